#include "captionprogressbar.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyleOption>
#include <algorithm>
#include <cmath>

CaptionProgressBar::CaptionProgressBar(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_StyledBackground, false);
}

void CaptionProgressBar::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    update();
}

void CaptionProgressBar::setValue(double value)
{
    const double held = std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 100.0);
    if (held == m_value)
        return;
    m_value = held;
    update();
}

QSize CaptionProgressBar::sizeHint() const
{
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(m_text) + 24, fm.height() + 12};
}

QSize CaptionProgressBar::minimumSizeHint() const
{
    const QFontMetrics fm(font());
    return {48, fm.height() + 12};
}

void CaptionProgressBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    const QRectF trough = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = 4.0;

    QPainterPath troughPath;
    troughPath.addRoundedRect(trough, radius, radius);
    painter.fillPath(troughPath, pal.color(QPalette::Base));

    const qreal filledWidth = trough.width() * m_value / 100.0;
    if (filledWidth > 0.0) {
        painter.save();
        painter.setClipRect(QRectF(trough.left(), trough.top(), filledWidth, trough.height()));
        painter.fillPath(troughPath, pal.color(isEnabled() ? QPalette::Highlight : QPalette::Mid));
        painter.restore();
    }
    painter.setPen(QPen(pal.color(QPalette::Mid), 1.0));
    painter.drawPath(troughPath);

    // The caption reads in the normal text colour over the empty trough and in
    // the highlighted text colour over the filled part.
    const QRect textRect = rect().adjusted(8, 0, -8, 0);
    const QString shown = fontMetrics().elidedText(m_text, Qt::ElideMiddle, textRect.width());
    const int split = qRound(trough.left() + filledWidth);
    painter.setPen(pal.color(QPalette::Text));
    painter.setClipRect(QRect(split, 0, width() - split, height()));
    painter.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine, shown);
    painter.setPen(pal.color(QPalette::HighlightedText));
    painter.setClipRect(QRect(0, 0, split, height()));
    painter.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine, shown);
}
