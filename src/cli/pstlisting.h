#pragma once

#include "pstreader.h"

#include <QString>

class QIODevice;

// PST stores read in processes of their own: libpff reads damaged stores as
// they come, and a store that crashes it must cost only that store, never
// the run.

// The child's side of `--list-pst FILE`: one JSON line per item, folder or
// problem on `out`. 0 when the store could be listed, 1 (and a line with the
// reason) when not.
int ServePstListing(const QString& path, QIODevice& out);

// The child's side of `--extract-pst ID FILE DESTINATION`: the item as a
// MIME message at DESTINATION; 0, or 1 and the reason on `err`.
int ServePstExtraction(const QString& path, quint32 identifier, const QString& destination, QIODevice& err);

// The listing of the store at `path` by `program --list-pst`. Throws
// std::runtime_error with a reason for the user when the store cannot be
// listed, the child crashed included.
PstListing ListPstIsolated(const QString& program, const QString& path);

// The item written as a MIME message to `destination` by `program
// --extract-pst`. Throws std::runtime_error with a reason for the user.
void ExtractPstIsolated(const QString& program, const QString& path, quint32 identifier,
                        const QString& destination);
