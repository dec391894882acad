#pragma once

#include <QString>

class Dialogs;

// The folder picker, opened at startFolder (nothing preselected when it is
// empty or names no folder). Returns the chosen folder without a trailing
// '/' ("/" itself for the root), or an empty text when cancelled.
QString BrowseForFolder(Dialogs& dialogs, const QString& prompt, const QString& startFolder);
