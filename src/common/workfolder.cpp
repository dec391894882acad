#include "workfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr auto kLockName = "/.lock";
constexpr auto kHalfMadePrefix = "new-";
constexpr auto kKeptPrefix = "kept-";
// A folder is half made for the moment between its making and its lock; one
// that stays so for this long belongs to a process that died in between.
constexpr time_t kHalfMadeGraceSeconds = 60;

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

QString SystemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The mark of a folder this program made, held by the process that uses it
// for as long as it lives; the system lets go of it when the process ends in
// any way, SIGKILL included. -1 when it cannot be made.
int MarkFolder(const QString& folder)
{
    const int fd = ::open(native(folder + QLatin1String(kLockName)).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0 && ::flock(fd, LOCK_EX) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether a folder's mark is there and free: taken (into *fd), held by a
// living process, or absent.
enum class Mark { Taken, Held, Absent };

Mark TakeMark(const QString& folder, int* fd)
{
    *fd = ::open(native(folder + QLatin1String(kLockName)).constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (*fd < 0)
        return errno == ENOENT ? Mark::Absent : Mark::Held;
    if (::flock(*fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(*fd);
        *fd = -1;
        return Mark::Held;
    }
    return Mark::Taken;
}

bool OlderThan(const QString& path, time_t seconds)
{
    struct stat st {};
    if (::lstat(native(path).constData(), &st) != 0)
        return false;
    return std::time(nullptr) - st.st_mtime > seconds;
}

} // namespace

QString PrepareOwnFolder(const QString& folder)
{
    const QByteArray name = native(folder);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
        const int error = errno;
        // mkdir says ENOENT also where folders cannot be made at all (/proc).
        if (error == ENOENT && !QFileInfo::exists(QFileInfo(folder).absolutePath()))
            return QStringLiteral(
                       "the folder for work files %1 does not exist. Create it, or set TEMP to a folder that "
                       "exists")
                .arg(QFileInfo(folder).absolutePath());
        if (error == ENOSPC)
            return QStringLiteral("no space is left on its disk. Make room there, or set TEMP to a folder on "
                                  "another disk");
        return QStringLiteral("%1. Check that the temporary folder is writable, or set TEMP to a folder you "
                              "may write in")
            .arg(SystemReason(error));
    }
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return SystemReason(errno);
    // Never work in a folder another user made, nor through a link planted
    // for us: what we write there would be theirs to read or redirect.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return QStringLiteral(
                   "%1 is a link, not a folder, or belongs to another user, so the program does not "
                   "work in it. Remove it, or set TEMP to a folder of your own")
            .arg(folder);
    if ((st.st_mode & 0777) != 0700 && ::chmod(name.constData(), 0700) != 0)
        return QStringLiteral("its permissions cannot be set to this user only: %1").arg(SystemReason(errno));
    return {};
}

void RemoveAbandonedWorkFolders(const QString& parent)
{
    const QDir dir(parent);
    for (const QFileInfo& entry : dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        const QString name = entry.fileName();
        if (name.startsWith(QLatin1String(kKeptPrefix)))
            continue;
        const QString folder = entry.absoluteFilePath();
        const bool halfMade = name.startsWith(QLatin1String(kHalfMadePrefix));
        int fd = -1;
        const Mark mark = TakeMark(folder, &fd);
        // Only a half-made folder can be unmarked and still ours, and it is
        // left alone until its maker is surely gone.
        const bool abandoned =
            halfMade ? mark != Mark::Held && OlderThan(folder, kHalfMadeGraceSeconds) : mark == Mark::Taken;
        if (abandoned)
            QDir(folder).removeRecursively();
        if (fd >= 0)
            ::close(fd);
    }
}

RunWorkFolder::RunWorkFolder(const QString& parent, const QString& kind) : m_parent(parent)
{
    if (const QString problem = PrepareOwnFolder(parent); !problem.isEmpty()) {
        m_error = problem;
        return;
    }
    RemoveAbandonedWorkFolders(parent);
    // Made and locked under a name the clean-up passes by, and only then
    // given its own: no other process can take it for abandoned in between.
    QByteArray pattern =
        native(parent + QLatin1Char('/') + QLatin1String(kHalfMadePrefix) + QStringLiteral("XXXXXX"));
    if (!::mkdtemp(pattern.data())) {
        m_error = errno == ENOSPC
                      ? QStringLiteral("no space is left on its disk. Make room there, or set TEMP "
                                       "to a folder on another disk")
                      : SystemReason(errno);
        return;
    }
    const QString made = QFile::decodeName(pattern);
    const QString named = parent + QLatin1Char('/') + kind + QLatin1Char('-') + made.right(6);
    m_lock = MarkFolder(made);
    if (m_lock < 0 || ::rename(native(made).constData(), native(named).constData()) != 0) {
        m_error = SystemReason(errno);
        QDir(made).removeRecursively();
        if (m_lock >= 0)
            ::close(m_lock);
        m_lock = -1;
        return;
    }
    m_path = named;
}

RunWorkFolder::~RunWorkFolder()
{
    if (m_path.isEmpty())
        return;
    // For a look at the pages the engine made: the folder stays, under a name
    // that the clean-up of abandoned folders leaves alone.
    const bool keep =
        qEnvironmentVariableIsSet(kKeepWorkFilesVariable) &&
        QDir().rename(m_path, m_parent + QLatin1Char('/') + QLatin1String(kKeptPrefix) + m_path.right(6));
    if (!keep)
        QDir(m_path).removeRecursively();
    ::close(m_lock);
    // What a renderer or a worker killed during this run left goes with it.
    RemoveAbandonedWorkFolders(m_parent);
}

QString RunWorkFolder::problem() const
{
    if (isValid())
        return {};
    QString text = QStringLiteral("No work folder could be made in %1: %2.").arg(m_parent, m_error);
    if (!m_error.contains(QLatin1String(". ")))
        text += QStringLiteral(" Check that the temporary folder exists, is writable and has free space.");
    return text;
}
