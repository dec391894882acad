#include "stepguard.h"

#include "steperror.h"

namespace {
const QString kCrLf = QStringLiteral("\r\n");
}

QString BuildErrorReport(const QString& description, const QString& location, int step,
                         const std::optional<QString>& filePath)
{
    QString text = description + kCrLf + location + QStringLiteral("at line ") + QString::number(step) +
                   QStringLiteral("\r\r") + QStringLiteral("Please email screenshot of this message to ") +
                   QString::fromLatin1(kSupportAddress);
    if (filePath)
        text += kCrLf + QStringLiteral("f: ") + *filePath;
    return text;
}

void ReportUnexpectedError(Dialogs& dialogs, const QString& location, int step, const QString& description,
                           const std::optional<QString>& filePath)
{
    dialogs.messageBox(BuildErrorReport(description, location, step, filePath), Dialogs::Exclamation,
                       QStringLiteral("Application Error"));
}

void StepGuard::report(int number, const QString& description)
{
    m_failures.append(description);
    ReportUnexpectedError(m_dialogs, m_location, number, description, m_filePath);
}

bool StepGuard::step(int number, const std::function<void()>& body)
{
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        report(number, ExceptionText(e));
    } catch (...) {
        report(number, QStringLiteral("Unknown error"));
    }
    return false;
}

bool StepGuard::test(int number, const std::function<bool()>& condition)
{
    bool result = true;
    step(number, [&] { result = condition(); });
    return result;
}
