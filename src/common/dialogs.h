#pragma once

#include <QString>
#include <QStringList>

// Everything the program asks of the user or the desktop goes through this
// interface, so tests can script the answers and record what was shown.
class Dialogs {
public:
    // Message box styles and answers, with the values of the original platform.
    static constexpr int OkOnly = 0;
    static constexpr int YesNo = 4;
    static constexpr int Exclamation = 48;
    static constexpr int AnswerOk = 1;
    static constexpr int AnswerYes = 6;
    static constexpr int AnswerNo = 7;

    virtual ~Dialogs() = default;

    // Shows a modal box; an empty title means the application title.
    virtual int messageBox(const QString& text, int style, const QString& title = {}) = 0;
    // Returns the text typed, or an empty text when cancelled.
    virtual QString inputBox(const QString& prompt, const QString& title, const QString& defaultText) = 0;
    // Multi-select open dialog; an empty list when cancelled.
    virtual QStringList openFiles(const QString& title, const QString& filter,
                                  const QString& startFolder) = 0;
    // Returns the chosen folder without a trailing separator (the root keeps
    // its own), or an empty text when cancelled.
    virtual QString pickFolder(const QString& prompt, const QString& startFolder) = 0;
    // Opens a folder or a web address in the desktop shell.
    virtual void openInShell(const QString& pathOrUrl) = 0;

    void setApplicationTitle(const QString& title) { m_title = title; }
    QString applicationTitle() const { return m_title; }

private:
    QString m_title;
};
