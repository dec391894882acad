#include "paths.h"

#include <QCryptographicHash>

#include "steperror.h"
#include "stepguard.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool startsTwoByte(QByteArrayView bytes)
{
    return !bytes.isEmpty() && (uchar(bytes[0]) == 0xFF || uchar(bytes[0]) == 0xFE);
}

// A last byte without a partner is dropped.
void dropUnpairedByte(QByteArray& bytes)
{
    bytes.truncate(bytes.size() & ~qsizetype(1));
}

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

QString systemError(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// One pass from the left: each non-overlapping "//" becomes "/".
QString collapsePairs(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == u'/' && i + 1 < text.size() && text[i + 1] == u'/')
            ++i;
    }
    return out;
}

// The length of a file as the system reports it; throws when it cannot.
qint64 fileLength(const QString& path)
{
    const QByteArray name = native(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0)
        raiseStepError(systemError(errno));
    return st.st_size;
}

// Reads up to `count` bytes from `offset` on (fewer when the file has shrunk
// meanwhile); throws on a read error.
QByteArray readAt(QFile& file, qint64 offset, qint64 count)
{
    if (!file.isOpen())
        raiseStepError(QStringLiteral("Bad file name or number"));
    if (!file.seek(offset))
        raiseStepError(file.errorString());
    QByteArray bytes = file.read(count);
    if (file.error() != QFileDevice::NoError)
        raiseStepError(file.errorString());
    return bytes;
}

bool blankOrEmpty(const QString& s)
{
    for (const QChar c : s)
        if (c != u' ')
            return false;
    return true;
}

} // namespace

bool PathExists(const QString& path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(native(path).constData(), &st) == 0;
}

bool IsFolder(const QString& path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(native(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsExistingFile(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QByteArray name = native(path);
    struct stat st {};
    // Only regular files are opened at all: opening a device or a pipe can
    // block or have effects of its own.
    if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular;
}

QString GetFileName(const QString& path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

QString GetFolderPart(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? QString() : path.left(slash + 1);
}

QString StripExtension(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot >= 1 ? name.left(dot) : name;
}

QString VisibleName(const QString& name)
{
    QString visible = name;
    for (QChar& c : visible)
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F) || c == QChar(0x2028) ||
            c == QChar(0x2029))
            c = QLatin1Char('_');
    return visible;
}

QString WorkName(const QString& stem)
{
    constexpr qsizetype kLongestStem = 96; // bytes, leaving room for ".att12.notice.1234abcd.part.pdf"
    constexpr qsizetype kKeptPrefix = 64;
    if (QFile::encodeName(stem).size() <= kLongestStem)
        return stem;
    QString prefix;
    for (qsizetype i = 0; i < stem.size(); ++i) {
        const qsizetype length = stem.at(i).isHighSurrogate() && i + 1 < stem.size() ? 2 : 1;
        if (QFile::encodeName(prefix + stem.mid(i, length)).size() > kKeptPrefix)
            break;
        prefix += stem.mid(i, length);
        i += length - 1;
    }
    const QByteArray digest =
        QCryptographicHash::hash(stem.toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
    return prefix + QLatin1Char('-') + QString::fromLatin1(digest);
}

QString CollapseSeparators(const QString& path)
{
    // One leading separator is the root of every absolute path here; only a
    // run of two or more is the network-share prefix that stays as two.
    if (!path.startsWith(QLatin1String("//")))
        return collapsePairs(path);
    qsizetype first = 1;
    while (first < path.size() && path[first] == u'/')
        ++first;
    return QStringLiteral("//") + collapsePairs(path.mid(first));
}

FileBytes FileBytes::ofContent(QByteArray content)
{
    const bool twoByte = startsTwoByte(content);
    FileBytes read{std::move(content), twoByte};
    if (read.twoByte)
        dropUnpairedByte(read.bytes);
    return read;
}

FileBytes ReadFileBytes(const QString& path, Dialogs& dialogs)
{
    StepGuard guard(dialogs, QStringLiteral("in Quillmark2021/08/31.Main.ReadFileToString "));
    guard.setFilePath(path);

    if (!PathExists(path)) // 100, never raises
        return {};
    qint64 size = 0;
    // A length that cannot be read counts as a true test, as every failing test does.
    if (guard.test(102, [&] { return (size = fileLength(path)) == 0; }))
        return {QByteArrayLiteral("empty file")};

    QFile file(path);
    // One opening serves both readings. When it fails, every later step would
    // fail again for the same reason; one report says all there is to say.
    if (!guard.step(104, [&] {
            if (!file.open(QIODevice::ReadOnly))
                raiseStepError(file.errorString());
        }))
        return {};

    const QByteArray first = guard.value<QByteArray>(108, [&] { return readAt(file, 0, 1); });
    FileBytes read;
    read.twoByte = guard.test(110, [&] { return startsTwoByte(first); });
    if (read.twoByte) {
        guard.step(112, [&] {
            read.bytes = readAt(file, 0, size);
            dropUnpairedByte(read.bytes);
        });
    } else {
        guard.step(114, [&] { read.bytes = QByteArray(size, Qt::Uninitialized); });
        guard.step(116, [&] {
            // Read in place: a large message is held once, not once more while it is read.
            if (!file.seek(0))
                raiseStepError(file.errorString());
            if (read.bytes.size() < size)
                read.bytes.resize(size);
            qint64 got = 0;
            while (got < size) {
                const qint64 chunk = file.read(read.bytes.data() + got, size - got);
                if (chunk < 0 || file.error() != QFileDevice::NoError)
                    raiseStepError(file.errorString());
                if (chunk == 0)
                    break; // shorter than it was a moment ago
                got += chunk;
            }
            read.bytes.truncate(got);
        });
    }
    file.close(); // 118, 120
    return read;  // 122
}

QString ReadFileToString(const QString& path, Dialogs& dialogs)
{
    const FileBytes read = ReadFileBytes(path, dialogs);
    if (!read.twoByte)
        return QString::fromLatin1(read.bytes);
    // Low byte first; the mark becomes the first character.
    const QByteArray& bytes = read.bytes;
    const qsizetype chars = bytes.size() / 2;
    QString wide(chars, Qt::Uninitialized);
    for (qsizetype i = 0; i < chars; ++i)
        wide[i] = QChar(char16_t(uchar(bytes[2 * i]) | (uchar(bytes[2 * i + 1]) << 8)));
    return wide;
}

void WriteTextFile(const QString& text, const QString& path)
{
    bool narrow = true;
    for (const QChar c : text) {
        if (c.unicode() > 0xFF) {
            narrow = false;
            break;
        }
    }
    QByteArray bytes;
    if (narrow) {
        bytes = text.toLatin1();
    } else {
        bytes.resize(text.size() * 2);
        for (qsizetype i = 0; i < text.size(); ++i) {
            bytes[2 * i] = char(text[i].unicode() & 0xFF);
            bytes[2 * i + 1] = char(text[i].unicode() >> 8);
        }
    }
    WriteFilePieces({bytes}, path);
}

void WriteFilePieces(const QList<QByteArrayView>& pieces, const QString& path)
{
    // A link at a work file's path is never followed: the write would land
    // wherever it points.
    const int fd =
        ::open(native(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        raiseStepError(errno == ELOOP ? QStringLiteral("%1 is a symbolic link; work files are never written "
                                                       "through one")
                                            .arg(path)
                                      : systemError(errno));
    QFile file;
    // Unbuffered: a buffer would only hold a second copy of a large piece.
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        raiseStepError(file.errorString());
    }
    for (const QByteArrayView piece : pieces)
        if (file.write(piece.data(), piece.size()) != piece.size())
            raiseStepError(file.errorString());
    if (!file.flush())
        raiseStepError(file.errorString());
    file.close();
    if (file.error() != QFileDevice::NoError)
        raiseStepError(file.errorString());
}

void WriteBytesIfAbsent(const QByteArray& bytes, const QString& path)
{
    QCoreApplication::processEvents();
    if (PathExists(path))
        return;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        raiseStepError(file.errorString());
    if (file.write(bytes) != bytes.size() || !file.flush())
        raiseStepError(file.errorString());
}

void ForceDeleteFile(const QString& path)
{
    const QByteArray name = native(path);
    if (::unlink(name.constData()) == 0)
        return;
    int err = errno;
    if (err == EACCES || err == EPERM) {
        // The folder may be read-only for us; open it up for the owner and retry.
        const QByteArray folder =
            native(GetFolderPart(path).isEmpty() ? QStringLiteral(".") : GetFolderPart(path));
        struct stat st {};
        if (::stat(folder.constData(), &st) == 0 &&
            ::chmod(folder.constData(), (st.st_mode & 07777) | S_IWUSR | S_IXUSR) == 0) {
            if (::unlink(name.constData()) == 0) {
                ::chmod(folder.constData(), st.st_mode & 07777);
                return;
            }
            err = errno;
            ::chmod(folder.constData(), st.st_mode & 07777);
        }
    }
    raiseStepError(QStringLiteral("Cannot delete %1: %2").arg(path, systemError(err)));
}

void DeleteFileQuietly(const QString& path)
{
    QCoreApplication::processEvents();
    if (path.isEmpty())
        return;
    const QByteArray name = native(path);
    if (::unlink(name.constData()) == 0 || errno == ENOENT)
        return;
    try {
        ForceDeleteFile(path);
    } catch (const std::exception&) {
    }
}

void CopyFileOverwriting(const QString& source, const QString& destination)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return;
    // A fresh file of our own (O_EXCL) renamed over the destination: a link
    // planted at the destination is replaced, never written through, which
    // QSaveFile would do.
    QTemporaryFile out(GetFolderPart(destination) + QStringLiteral(".copy-XXXXXX"));
    if (!out.open())
        return;
    char buffer[1 << 16];
    for (;;) {
        const qint64 n = in.read(buffer, sizeof buffer);
        if (n < 0)
            return;
        if (n == 0)
            break;
        if (out.write(buffer, n) != n)
            return;
    }
    if (!out.flush())
        return;
    if (::rename(native(out.fileName()).constData(), native(destination).constData()) == 0)
        out.setAutoRemove(false);
}

void CopyFileChecked(const QString& source, const QString& destination)
{
    if (blankOrEmpty(source) || blankOrEmpty(destination))
        return;
    const QString from = CollapseSeparators(source);
    const QString to = CollapseSeparators(destination);
    const bool sourceOk = IsExistingFile(from);
    const bool folderOk = IsFolder(GetFolderPart(to));
    if (sourceOk && folderOk)
        CopyFileOverwriting(from, to);
}

QString TempFolder()
{
    QString base = qEnvironmentVariable("TEMP");
    if (base.isEmpty())
        base = QDir::tempPath();
    while (base.size() > 1 && base.endsWith(u'/'))
        base.chop(1);
    if (base == QLatin1String("/"))
        base.clear();
    return base + QStringLiteral("/quillmark-") + QString::number(::getuid());
}

QString ProgramFolder()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    // Before the application object exists (command-line tools, early start).
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
}
