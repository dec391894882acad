#pragma once

#include <QString>

// A tool ended from outside (the run's time limit) must not leave its hidden
// work files behind. The handler only removes the paths registered here,
// with the system calls a signal handler may make, and then exits.
enum class CleanupSlot {
    // One file: a multi-page TIFF not yet in place.
    PartialOutput,
    // Folders, emptied and removed: the laid-out documents, and pages
    // written one per file that are not yet in place.
    WorkFolder,
    PartialPages,
};

void InstallTerminationCleanup();
// An empty path clears the slot.
void SetCleanupPath(CleanupSlot slot, const QString& path);
