#pragma once

#include <QString>
#include <QStringList>

class Dialogs;
class FileListTarget;
class SettingsStore;

// The ways of filling the list. The window's handlers call these; each of the
// button handlers runs under its own step guard. Items are appended in
// batches, so a tree of many thousands of files neither freezes the window
// nor makes the list slow.

// "Add EML File(s)": the multi-select file dialog.
void AddEmlFiles(Dialogs& dialogs, FileListTarget& list);
// "Add All EML File(s) In Folder": extension, folder, then the whole tree.
void AddAllFilesInFolder(Dialogs& dialogs, SettingsStore& settings, FileListTarget& list);
// Files and folders dropped onto the list, in drop order; files are taken as
// they are, folders with every file below them. Folders that cannot be read
// are left out; when a folder that was found cannot be listed, one plain
// message names it afterwards (so nothing goes missing unseen).
void AddDroppedPaths(Dialogs& dialogs, const QStringList& paths, FileListTarget& list);
// The same without a window to report to: what cannot be listed goes to the
// log instead of a message.
void AddDroppedPaths(const QStringList& paths, FileListTarget& list);
