#include "batesstamp.h"

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

namespace {

constexpr double kPointSize = 10.0;
// From the paper's right and bottom edges to the patch: within the 1.5 cm
// margin the page engine prints with, so the stamp covers no text.
constexpr double kInsetInches = 0.25;

} // namespace

void StampBatesNumber(PageImage& page, const QString& text, int dpi)
{
    if (text.isEmpty() || page.width <= 0 || page.height <= 0)
        return;
    // The page's own bytes, painted in place: rows of RGB without padding.
    QImage image(reinterpret_cast<uchar*>(page.rgb.data()), page.width, page.height, page.width * 3,
                 QImage::Format_RGB888);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    font.setPixelSize(std::max(8, int(kPointSize / 72.0 * dpi + 0.5)));
    painter.setFont(font);
    const QFontMetrics metrics(font, &image);
    const int padding = std::max(2, dpi / 50);
    const int inset = int(kInsetInches * dpi);
    const int textWidth = metrics.horizontalAdvance(text);
    const QRect patch(page.width - inset - textWidth - 2 * padding,
                      page.height - inset - metrics.height() - 2 * padding, textWidth + 2 * padding,
                      metrics.height() + 2 * padding);
    painter.fillRect(patch, Qt::white);
    painter.setPen(Qt::black);
    painter.drawText(patch.adjusted(padding, padding, -padding, -padding), Qt::AlignRight | Qt::AlignVCenter,
                     text);
}
