#pragma once

#include <QString>

// A tool ended from outside (the run's time limit) must not leave its hidden
// work files behind. The handler only unlinks the paths registered here,
// which is all a signal handler may safely do, and then exits.
enum class CleanupSlot {
    // One file.
    PartialOutput,
    // Folders whose files are numbered from 1: "1.pdf", "2.pdf", ... (the
    // laid-out documents) and "1.tiff", "2.tiff", ... (pages written one per
    // file that are not yet in place).
    WorkFolder,
    PartialPages,
};

void InstallTerminationCleanup();
// An empty path clears the slot.
void SetCleanupPath(CleanupSlot slot, const QString& path);
// For a folder slot: how many numbered files it holds now, and their suffix
// (".pdf"). They are unlinked before the folder is removed.
void SetCleanupFileCount(CleanupSlot slot, int count, const char* suffix);
