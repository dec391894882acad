#pragma once

#include <QColor>
#include <QList>
#include <QPainter>
#include <QPdfWriter>
#include <QString>

// PDFs for the renderer tests, drawn with shapes only so no font is needed.
// Every page is A4 and carries a black square whose horizontal position tells
// the page's number, so the order of pages can be checked in the image.
namespace testpdf {

enum class Page { Grey, Colour, Blank };

inline constexpr int kDpi = 200;
// Marker square of page n (from 0): left edge at (1 + n) inches, one inch
// from the top, half an inch wide.
inline int MarkerCentreX(int pageIndex)
{
    return int((1.25 + pageIndex) * kDpi);
}
inline int MarkerCentreY()
{
    return int(1.25 * kDpi);
}

inline bool Write(const QString& path, const QList<Page>& pages)
{
    QPdfWriter writer(path);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setResolution(72);
    QPainter painter;
    if (!painter.begin(&writer))
        return false;
    const double inch = 72;
    for (int i = 0; i < pages.size(); ++i) {
        if (i > 0)
            writer.newPage();
        if (pages[i] == Page::Blank)
            continue;
        painter.fillRect(QRectF((1 + i) * inch, inch, inch / 2, inch / 2), Qt::black);
        painter.fillRect(QRectF(inch, 4 * inch, 4 * inch, inch), QColor(128, 128, 128));
        if (pages[i] == Page::Colour)
            painter.fillRect(QRectF(inch, 6 * inch, 2 * inch, inch), QColor(220, 30, 30));
    }
    return painter.end();
}

} // namespace testpdf
