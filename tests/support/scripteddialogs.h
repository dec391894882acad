#pragma once

#include "dialogs.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <QStringList>

// A Dialogs that records everything shown and answers from queues set up by
// the test. An empty queue answers OK / cancel.
class ScriptedDialogs : public Dialogs {
public:
    struct Shown {
        QString kind; // "message", "input", "files", "folder", "shell"
        QString text;
        int style = 0;
        QString title;
        QString extra; // default text, filter or start folder
    };

    QList<Shown> shown;
    QQueue<int> messageAnswers;
    QQueue<QString> inputAnswers;
    QQueue<QStringList> fileAnswers;
    QQueue<QString> folderAnswers;

    int messageBox(const QString& text, int style, const QString& title = {}) override
    {
        shown.append(
            {QStringLiteral("message"), text, style, title.isEmpty() ? applicationTitle() : title, {}});
        return messageAnswers.isEmpty() ? (style == YesNo ? AnswerNo : AnswerOk) : messageAnswers.dequeue();
    }
    QString inputBox(const QString& prompt, const QString& title, const QString& defaultText) override
    {
        shown.append({QStringLiteral("input"), prompt, 0, title, defaultText});
        return inputAnswers.isEmpty() ? QString() : inputAnswers.dequeue();
    }
    QStringList openFiles(const QString& title, const QString& filter, const QString& startFolder) override
    {
        shown.append({QStringLiteral("files"), title, 0, title, filter + QLatin1Char('|') + startFolder});
        return fileAnswers.isEmpty() ? QStringList() : fileAnswers.dequeue();
    }
    QString pickFolder(const QString& prompt, const QString& startFolder) override
    {
        shown.append({QStringLiteral("folder"), prompt, 0, {}, startFolder});
        return folderAnswers.isEmpty() ? QString() : folderAnswers.dequeue();
    }
    void openInShell(const QString& pathOrUrl) override
    {
        shown.append({QStringLiteral("shell"), pathOrUrl, 0, {}, {}});
    }

    QStringList messages() const
    {
        QStringList out;
        for (const auto& s : shown)
            if (s.kind == QLatin1String("message"))
                out << s.text;
        return out;
    }
};
