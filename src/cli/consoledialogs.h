#pragma once

#include "dialogs.h"

#include <QStringList>

// Dialogs for a program without a window: nothing is asked, and what a
// window would show is kept so the caller can print it where it belongs.
class ConsoleDialogs : public Dialogs {
public:
    int messageBox(const QString& text, int style, const QString& title = {}) override;
    QString inputBox(const QString&, const QString&, const QString&) override { return {}; }
    QStringList openFiles(const QString&, const QString&, const QString&) override { return {}; }
    QString pickFolder(const QString&, const QString&) override { return {}; }
    void openInShell(const QString&) override {}

    // The messages shown since the last call, each shortened to one line: an
    // error report becomes "step N: description".
    QStringList takeMessages();

private:
    QStringList m_messages;
};

// "step 208: the page could not be opened" for an error report; other texts
// with their line breaks turned into blanks.
QString OneLineMessage(const QString& text);
