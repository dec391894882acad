#include "consoledialogs.h"

#include <QRegularExpression>

int ConsoleDialogs::messageBox(const QString& text, int style, const QString&)
{
    m_messages.append(OneLineMessage(text));
    // Only a question whose "yes" goes on can be asked here; nobody is there
    // to answer, and the user started the conversion on purpose.
    return style == YesNo ? AnswerYes : AnswerOk;
}

QStringList ConsoleDialogs::takeMessages()
{
    return std::exchange(m_messages, {});
}

QString OneLineMessage(const QString& text)
{
    static const QRegularExpression stepLine(QStringLiteral("\\r\\nin \\S+ at line (\\d+)"));
    const QRegularExpressionMatch match = stepLine.match(text);
    if (match.hasMatch())
        return QStringLiteral("step %1: %2")
            .arg(match.captured(1), text.left(match.capturedStart()).simplified());
    return text.simplified();
}
