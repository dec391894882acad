#pragma once

#include <QString>
#include <stdexcept>

// The one reading of an exception's text for a message: StepError and the
// standard and library exceptions that reach a guard all carry UTF-8.
inline QString ExceptionText(const std::exception& e)
{
    return QString::fromUtf8(e.what());
}

// A failing step. Unguarded code throws it (or any std::exception); the
// nearest guarded procedure reports it and resumes.
class StepError : public std::runtime_error {
public:
    explicit StepError(const QString& description) : std::runtime_error(description.toStdString()) {}
    QString description() const { return ExceptionText(*this); }
};

[[noreturn]] inline void raiseStepError(const QString& description)
{
    throw StepError(description);
}
