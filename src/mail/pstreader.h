#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>

struct MapiMessage;

// Outlook data files (PST, OST) read through libpff one item at a time: the
// folders and their items are listed without reading any item, and an item
// is read only when its turn comes, so memory follows the largest item, never
// the store.

// One item of a store: where a reader sees it, and how to find it again.
struct PstItem {
    // The folder's names from the top of the store, '/'-separated; a '/'
    // inside a name is kept as '_'.
    QString folderPath;
    // 1, 2, ... within its folder, in the store's order.
    int number = 0;
    // libpff's identifier of the item (its descriptor).
    quint32 identifier = 0;
};

struct PstListing {
    QList<PstItem> items;
    // Folders or items that could not be read, each with a reason.
    QStringList problems;
};

// True when the file starts with the PST/OST signature ("!BDN").
bool IsPstFile(const QString& path);

// Every item of every folder, folder by folder in depth-first order. Throws
// std::runtime_error with a reason for the user when the file cannot be
// opened as a store at all.
PstListing ListPst(const QString& path);

// The item with `identifier` as named fields, its recipients, attachments and
// attached messages included. Throws std::runtime_error with a reason for the
// user when the store or the item cannot be read.
MapiMessage ReadPstItem(const QString& path, quint32 identifier);

// ReadPstItem written as a MIME message to `destination` (never through a
// symbolic link there). Throws std::runtime_error.
void ExtractPstItem(const QString& path, quint32 identifier, const QString& destination);
