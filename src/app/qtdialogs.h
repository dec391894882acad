#pragma once

#include "dialogs.h"

#include <QPointer>
#include <QWidget>

// Dialogs on the desktop: message boxes, the input box, the file and folder
// pickers and the shell, all modal over the given window.
class QtDialogs : public Dialogs {
public:
    explicit QtDialogs(QWidget* owner = nullptr) : m_owner(owner) {}
    void setOwner(QWidget* owner) { m_owner = owner; }

    int messageBox(const QString& text, int style, const QString& title = {}) override;
    QString inputBox(const QString& prompt, const QString& title, const QString& defaultText) override;
    QStringList openFiles(const QString& title, const QString& filter, const QString& startFolder) override;
    QString pickFolder(const QString& prompt, const QString& startFolder) override;
    void openInShell(const QString& pathOrUrl) override;

    // "Description|*.ext|..." pairs as the Qt filter "Description (*.ext);;...";
    // a filter without '|' is taken as written.
    static QString toQtFilter(const QString& filter);
    // Paragraph breaks written as CR LF or CR become line feeds.
    static QString toDisplayText(const QString& text);

private:
    QString titleOr(const QString& title) const { return title.isEmpty() ? applicationTitle() : title; }

    QPointer<QWidget> m_owner;
};
