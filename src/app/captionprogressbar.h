#pragma once

#include "progressbar.h"

#include <QWidget>

// The window's progress bar: a trough filled to a fractional position on a 0
// to 100 scale, with a caption drawn across it.
class CaptionProgressBar : public QWidget, public ProgressBar {
    Q_OBJECT
public:
    explicit CaptionProgressBar(QWidget* parent = nullptr);

    QString text() const override { return m_text; }
    void setText(const QString& text) override;
    double value() const override { return m_value; }
    // Positions outside 0..100 are held at the nearer end.
    void setValue(double value) override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    double m_value = 0.0;
};
