#include "listfilling.h"

#include "dialogs.h"
#include "filelisttarget.h"
#include "settingsstore.h"

// Placeholders until the list fillers land; the window links against these.
void AddEmlFiles(Dialogs&, FileListTarget&) {}
void AddAllFilesInFolder(Dialogs&, SettingsStore&, FileListTarget&) {}
void AddDroppedPaths(const QStringList&, FileListTarget&) {}
void LoadSampleFiles(Dialogs&, SettingsStore&, FileListTarget&, const QString&) {}
void TakeSampleSnapshot(SettingsStore&, const QString&) {}
