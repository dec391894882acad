#pragma once

#include <QString>
#include <QStringList>

class Dialogs;

// Folder paths, each ending in '/', in insertion order.
using FolderList = QStringList;

// Appends every folder below the entries of the list, level by level: all
// children of the starting folders, then all grandchildren, and so on; each
// family in name order. A folder that cannot be listed (no permission, gone)
// is removed from the list together with everything below it, and its
// siblings are still scanned. Folders reached through symbolic links are
// scanned, but a folder already visited (same device and inode) never again,
// so a link back up the tree cannot loop. Yields to the window as it goes.
// Unexpected failures are reported through the dialogs and the scan goes on.
// When unreadable is given, the folders left out because they could not be
// listed are appended to it.
void GetSubDirectories2016(Dialogs& dialogs, FolderList& folderList, bool recurse,
                           FolderList* unreadable = nullptr);

// The regular files of one folder (hidden ones included) whose names match
// the pattern ("*" any run, "?" one character, case-insensitive; a final
// ".*" also matches names without a dot), in name order, without the
// folder. Only names that open as readable regular files are kept. A missing
// folder gives no names; a folder that exists but cannot be listed throws
// StepError.
QStringList ListFilesInFolder(const QString& folder, const QString& pattern);

// True for a hidden file's name: one that starts with a dot. Folder scans
// leave such files out; they are the file managers' and tools' own
// (.directory, .DS_Store), never messages a user collected.
bool IsHiddenName(const QString& name);

// True when a folder name holds control characters (C0, DEL, C1) or text
// that did not decode from the file-name encoding. Any script is fine.
bool HasOddCharacters(const QString& text);
