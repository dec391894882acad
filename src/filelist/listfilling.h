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

// The samples folder inside the program folder (no trailing separator).
QString SamplesFolder(const QString& programFolder);
// True when at least one item's text equals the path exactly (letter case
// counting).
bool ListContains(const FileListTarget& list, const QString& path);
// "Load Sample/Example Files": appends the recorded samples that still exist
// and are not listed yet, then offers to open the samples folder.
void LoadSampleFiles(Dialogs& dialogs, SettingsStore& settings, FileListTarget& list, const QString& programFolder);
// Records the samples present now in "Snapshot". Unguarded: a failure passes
// to the caller (start-up reports it as its own step).
void TakeSampleSnapshot(SettingsStore& settings, const QString& programFolder);
// What start-up does: takes the snapshot only while none of this program's
// own is stored, so it is taken once for good (an empty samples folder leaves
// it to the next start). A record that names files outside this program's
// samples folder, another copy's, is taken again.
void EnsureSampleSnapshot(SettingsStore& settings, const QString& programFolder);
// The recorded sample paths, in the order they were listed.
QStringList ReadSampleSnapshot(const SettingsStore& settings);
