#pragma once

#include <QString>

// A tool ended from outside (the run's time limit) must not leave its hidden
// work files behind. The handler only unlinks the paths registered here,
// which is all a signal handler may safely do, and then exits.
enum class CleanupSlot { PartialOutput, WorkFile, WorkFolder };

void InstallTerminationCleanup();
// An empty path clears the slot. Files are unlinked before the folder is
// removed, together with whatever else it holds.
void SetCleanupPath(CleanupSlot slot, const QString& path);
