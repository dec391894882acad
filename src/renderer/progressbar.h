#pragma once

#include <QString>

// The two properties of the window's progress bar that long work drives: the
// caption drawn on the bar and its position on a 0 to 100 scale (fractional
// positions are kept, not rounded).
class ProgressBar {
public:
    virtual ~ProgressBar() = default;
    virtual QString text() const = 0;
    virtual void setText(const QString& text) = 0;
    virtual double value() const = 0;
    virtual void setValue(double value) = 0;
};
