#pragma once

#include <QString>
#include <QStringList>

class Dialogs;
class FileListTarget;
class SettingsStore;

// The ways of filling the list. The window's handlers call these; each of the
// button handlers runs under its own step guard.

// "Add EML File(s)": the multi-select file dialog.
void AddEmlFiles(Dialogs& dialogs, FileListTarget& list);
// "Add All EML File(s) In Folder": extension, folder, then the whole tree.
void AddAllFilesInFolder(Dialogs& dialogs, SettingsStore& settings, FileListTarget& list);
// Files and folders dropped onto the list, in drop order; folders are taken
// with every file below them.
void AddDroppedPaths(const QStringList& paths, FileListTarget& list);
// "Load Sample/Example Files".
void LoadSampleFiles(Dialogs& dialogs, SettingsStore& settings, FileListTarget& list, const QString& programFolder);
// Records the samples present at first start. Unguarded: a failure passes to
// the caller (start-up reports it as its own step).
void TakeSampleSnapshot(SettingsStore& settings, const QString& programFolder);
