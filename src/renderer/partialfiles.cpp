#include "partialfiles.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

const QStringList kPartialNames = {QStringLiteral(".vexlo-*.tiff.part"), QStringLiteral(".vexlo-*.part")};

bool SameFile(int fd, const QString& path, struct stat* seen)
{
    struct stat named {};
    return ::fstat(fd, seen) == 0 && ::lstat(QFile::encodeName(path).constData(), &named) == 0 &&
           named.st_dev == seen->st_dev && named.st_ino == seen->st_ino;
}

int OpenForLock(const QString& path)
{
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

PartialLock::~PartialLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

PartialLock::PartialLock(PartialLock&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

PartialLock& PartialLock::operator=(PartialLock&& other) noexcept
{
    std::swap(m_fd, other.m_fd);
    return *this;
}

bool PartialLock::lock(const QString& path)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = OpenForLock(path);
    if (m_fd < 0)
        return false;
    // A clean-up holds the lock only while it removes the file; waiting
    // for it tells whether this file is still the one at `path`.
    struct stat seen {};
    if (::flock(m_fd, LOCK_EX) != 0 || !SameFile(m_fd, path, &seen)) {
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

void RemoveAbandonedPartials(const QString& folder)
{
    const QDir dir(folder);
    const auto filter = QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks;
    for (const QFileInfo& entry : dir.entryInfoList(kPartialNames, filter)) {
        const QString path = entry.absoluteFilePath();
        const int fd = OpenForLock(path);
        if (fd < 0)
            continue;
        struct stat seen {};
        // Held: its renderer is alive. Not the same file any more: it was
        // renamed into place, or replaced, since it was listed.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && SameFile(fd, path, &seen) && seen.st_uid == ::getuid()) {
            if (S_ISDIR(seen.st_mode))
                QDir(path).removeRecursively();
            else
                ::unlink(QFile::encodeName(path).constData());
        }
        ::close(fd);
    }
}
