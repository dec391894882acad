#pragma once

#include <QString>
#include <QStringList>

// What filling the list needs of the window: the list's items (full paths, in
// order, duplicates allowed) and the busy pointer. The window implements it;
// tests use a plain one.
class FileListTarget {
public:
    virtual ~FileListTarget() = default;
    virtual void appendItems(const QStringList& paths) = 0;
    virtual QStringList items() const = 0;
    virtual int itemCount() const = 0;
    // The hourglass pointer is the busy state (removing and clearing do nothing).
    virtual void setBusy(bool busy) = 0;
    virtual bool isBusy() const = 0;
};
