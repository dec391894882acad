#include "outputfolder.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

// The disk, the user's quota, or the largest file this process may write.
bool IsNoSpaceError(int error)
{
    return error == ENOSPC || error == EFBIG || error == EDQUOT;
}

} // namespace

FolderProblem MakeRunFolder(const QString& folder, const QString& what)
{
    // The folders to make, outermost first, below the nearest one that exists.
    QStringList missing;
    QString existing = QFileInfo(folder).absoluteFilePath();
    while (!QFileInfo::exists(existing) && QFileInfo(existing).absolutePath() != existing) {
        missing.prepend(existing);
        existing = QFileInfo(existing).absolutePath();
    }
    if (!QFileInfo(existing).isDir())
        return {QStringLiteral("%1 %2 cannot be made: %3 is a file, not a folder; name another folder")
                    .arg(what, folder, existing),
                true};
    for (const QString& path : std::as_const(missing)) {
        if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0 || errno == EEXIST)
            continue;
        const int error = errno;
        const QString parent = QFileInfo(path).absolutePath();
        if (IsNoSpaceError(error))
            return {
                QStringLiteral("there is no space left on the disk of %1: free some space and convert again")
                    .arg(parent)};
        if (error == EACCES || error == EPERM || error == EROFS)
            return {QStringLiteral("%1 %2 cannot be made: the folder %3 may not be written in (%4); name a "
                                   "folder you may write in, or change the permissions of %3")
                        .arg(what, folder, parent, QString::fromLocal8Bit(std::strerror(error)))};
        return {QStringLiteral("%1 %2 cannot be made: %3")
                    .arg(what, folder, QString::fromLocal8Bit(std::strerror(error)))};
    }
    if (!QFileInfo(folder).isDir())
        return {QStringLiteral("%1 %2 is a file, not a folder; name another folder").arg(what, folder), true};
    return {};
}
