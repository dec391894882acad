#pragma once

#include "dialogs.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

inline constexpr const char* kSupportAddress = "support@velmora.example";

// Builds the report text exactly as the user sees it. Only a report about a
// file being read names it, on a last "f: " line; an empty path still gets the
// line, so the user sees that the file name itself was missing.
QString BuildErrorReport(const QString& description, const QString& location, int step,
                         const std::optional<QString>& filePath = std::nullopt);

// Shows the "Application Error" box (warning icon, OK, modal) for one failed step.
void ReportUnexpectedError(Dialogs& dialogs, const QString& location, int step, const QString& description,
                           const std::optional<QString>& filePath = std::nullopt);

// The guard of a procedure whose steps are numbered. Each step runs inside
// step(); an exception is reported with the step's number and the procedure
// goes on with its next statement. A throwing call into an unguarded
// procedure abandons the rest of that procedure, which is what unwinding does.
class StepGuard {
public:
    StepGuard(Dialogs& dialogs, QString location) : m_dialogs(dialogs), m_location(std::move(location)) {}
    StepGuard(const StepGuard&) = delete;
    StepGuard& operator=(const StepGuard&) = delete;

    // Reports name this file on a last "f: " line (only ReadFileToString uses it).
    void setFilePath(const QString& path) { m_filePath = path; }

    // Runs one step; returns false when it failed (already reported).
    bool step(int number, const std::function<void()>& body);

    // The test of a conditional: a failing test is reported and counts as
    // true, so execution goes on with the first branch.
    bool test(int number, const std::function<bool()>& condition);

    // Runs a step that yields a value; on failure the fallback is returned.
    template <typename T> T value(int number, const std::function<T()>& body, T fallback = T())
    {
        T result = fallback;
        step(number, [&] { result = body(); });
        return result;
    }

    const QString& location() const { return m_location; }
    Dialogs& dialogs() const { return m_dialogs; }
    // What each failed step raised, in order, so a caller can name the cause
    // of a result rather than only its consequence.
    const QStringList& failures() const { return m_failures; }

private:
    void report(int number, const QString& description);

    Dialogs& m_dialogs;
    QString m_location;
    std::optional<QString> m_filePath;
    QStringList m_failures;
};
