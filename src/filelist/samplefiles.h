#pragma once

#include <QString>
#include <QStringList>

class Dialogs;
class FileListTarget;
class SettingsStore;

// The sample messages that travel with the program, in Samples/ of the
// program folder, and the record of them that start-up keeps in "Snapshot".

// The samples folder inside the program folder (no trailing separator).
QString SamplesFolder(const QString& programFolder);
// True when at least one item's text equals the path exactly (letter case
// counting).
bool ListContains(const FileListTarget& list, const QString& path);
// "Load Sample/Example Files": appends the recorded samples that still exist
// and are not listed yet, then offers to open the samples folder.
void LoadSampleFiles(Dialogs& dialogs, SettingsStore& settings, FileListTarget& list,
                     const QString& programFolder);
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
