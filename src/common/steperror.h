#pragma once

#include <QString>
#include <stdexcept>

// A failing step. Unguarded code throws it (or any std::exception); the
// nearest guarded procedure reports it and resumes.
class StepError : public std::runtime_error
{
public:
    explicit StepError(const QString& description) : std::runtime_error(description.toStdString()) {}
    QString description() const { return QString::fromStdString(what()); }
};

[[noreturn]] inline void raiseStepError(const QString& description)
{
    throw StepError(description);
}
