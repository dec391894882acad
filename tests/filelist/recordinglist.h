#pragma once

#include "filelisttarget.h"

#include <QList>
#include <QStringList>

// A plain list that remembers how it was filled: how many appends it took,
// and whether the busy pointer was showing during each.
class RecordingList : public FileListTarget {
public:
    QStringList paths;
    bool busy = false;
    QList<bool> busyAtAppend;
    QList<bool> busyChanges;

    void appendItems(const QStringList& items) override
    {
        busyAtAppend << busy;
        paths += items;
    }
    QStringList items() const override { return paths; }
    int itemCount() const override { return int(paths.size()); }
    void setBusy(bool value) override
    {
        busy = value;
        busyChanges << value;
    }
    bool isBusy() const override { return busy; }
};
