#pragma once

#include <QString>

// Why a folder a run writes into (--out, --production) could not be made.
struct FolderProblem {
    QString reason;
    // A path that names a file where a folder must be is the user's
    // argument to correct; a folder that may not be written in, or a full
    // disk, stops the run like any other failure to write.
    bool badArgument = false;
};

// Makes `folder` and its missing parents. An empty reason when the folder is
// there; `what` names it in the reason ("the output folder").
FolderProblem MakeRunFolder(const QString& folder, const QString& what);
