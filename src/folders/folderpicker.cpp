#include "folderpicker.h"

#include "dialogs.h"

QString BrowseForFolder(Dialogs& dialogs, const QString& prompt, const QString& startFolder)
{
    QString chosen = dialogs.pickFolder(prompt, startFolder);
    // Whatever the dialog implementation hands back, callers append their own
    // separator, so a trailing one must not be doubled.
    while (chosen.size() > 1 && chosen.endsWith(u'/'))
        chosen.chop(1);
    return chosen;
}
