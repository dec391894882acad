#include "folderscan.h"

#include "dialogs.h"
#include "paths.h"
#include "steperror.h"
#include "stepguard.h"

#include <QCoreApplication>
#include <QFile>
#include <QPair>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

namespace {

const QString kScanLocation = QStringLiteral("in DornelTitle2021/08/31.AddFolder.GetSubDirectories2016 ");

// The platform's limits, in bytes of the encoded name: a path must leave room
// for its terminating NUL within PATH_MAX, a name fits NAME_MAX.
constexpr qsizetype kPathLimit = 4096;
constexpr qsizetype kNameLimit = 256;

// How often a long file listing lets the window breathe.
constexpr int kNamesPerYield = 2000;

using FolderKey = QPair<quint64, quint64>;
using VisitedFolders = QSet<FolderKey>;

struct DirCloser {
    void operator()(DIR* dir) const
    {
        if (dir)
            ::closedir(dir);
    }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

void yieldToWindow()
{
    QCoreApplication::processEvents();
}

bool isDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool identify(const QByteArray& nativePath, FolderKey& key)
{
    struct stat st {};
    if (::stat(nativePath.constData(), &st) != 0)
        return false;
    key = {quint64(st.st_dev), quint64(st.st_ino)};
    return true;
}

// The failures after which a folder leaves the result: it may not be read,
// or it is no longer there.
bool dropsFolder(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return true;
    default:
        return false;
    }
}

struct SubFolderListing {
    QList<QByteArray> names;
    int error = 0;
};

// Names of the folders directly inside a folder (links to folders included),
// as the file system spells them.
SubFolderListing listSubFolders(const QByteArray& nativeFolder)
{
    SubFolderListing out;
    const DirHandle dir(::opendir(nativeFolder.constData()));
    if (!dir) {
        out.error = errno;
        return out;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry)
            break;
        if (isDotOrDotDot(entry->d_name))
            continue;
        bool isDir = entry->d_type == DT_DIR;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            isDir = ::stat((nativeFolder + entry->d_name).constData(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (isDir)
            out.names.append(QByteArray(entry->d_name));
    }
    out.error = errno;
    return out;
}

// The order in which folder and file names are listed: letter case ignored
// first, then counted, so the order is stable whatever the file system does.
bool NameOrderLess(const QString& a, const QString& b)
{
    const int folded = QString::compare(a, b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a < b;
}

// A name that does not survive decoding and encoding again would give a path
// that names a different folder, or none.
bool decodesCleanly(const QByteArray& raw, const QString& decoded)
{
    return QFile::encodeName(decoded) == raw;
}

// What one scan carries through its levels: the folders entered so far, and
// where to note the folders left out.
struct ScanState {
    VisitedFolders visited;
    FolderList* unreadable = nullptr;
};

// Lists the children of one folder into newFolders. A folder that cannot be
// listed is not reported: it is taken out of the list it came from, so its
// files are not listed either, and the caller goes on with the next folder.

void scanChildren(const QString& folder, const QByteArray& nativeFolder, FolderList& folderList,
                  FolderList& newFolders, ScanState& state)
{
    const SubFolderListing listing = listSubFolders(nativeFolder);
    if (listing.error != 0) {
        if (dropsFolder(listing.error) && folderList.removeOne(folder) && state.unreadable)
            state.unreadable->append(folder);
        return;
    }

    struct Child {
        QByteArray raw;
        QString name;
    };
    QList<Child> children;
    children.reserve(listing.names.size());
    for (const QByteArray& raw : listing.names)
        children.append({raw, QFile::decodeName(raw)});
    std::sort(children.begin(), children.end(),
              [](const Child& a, const Child& b) { return NameOrderLess(a.name, b.name); });

    for (const Child& child : children) {
        yieldToWindow();
        if (child.raw.size() >= kNameLimit)
            continue;
        if (HasOddCharacters(child.name) || !decodesCleanly(child.raw, child.name))
            continue;
        if (child.name == QLatin1String(".") || child.name == QLatin1String(".."))
            continue;
        FolderKey key;
        if (identify(nativeFolder + child.raw, key)) {
            if (state.visited.contains(key))
                continue;
            state.visited.insert(key);
        }
        newFolders.append(folder + child.name + QLatin1Char('/'));
    }
}

void scanLevel(Dialogs& dialogs, FolderList& folderList, bool recurse, ScanState& state)
{
    StepGuard guard(dialogs, kScanLocation);

    FolderList newFolders;
    // A stable copy: dropping an unreadable folder from the list must not
    // make the loop skip the folder after it.
    const FolderList entries = folderList;
    for (const QString& folder : entries) {
        if (guard.test(108, [&] { return !IsFolder(folder); }))
            continue;
        QByteArray nativeFolder;
        guard.step(110, [&] { nativeFolder = QFile::encodeName(folder); });
        if (nativeFolder.isEmpty() || nativeFolder.size() >= kPathLimit)
            continue;
        guard.step(114, yieldToWindow);
        // There is no attribute here that keeps a folder out of the scan:
        // hidden (dot) folders are scanned like any other.
        guard.step(118, [&] { scanChildren(folder, nativeFolder, folderList, newFolders, state); });
    }

    if (recurse && !newFolders.isEmpty())
        guard.step(150, [&] { scanLevel(dialogs, newFolders, true, state); });

    for (const QString& found : newFolders) {
        if (!guard.test(154, [&] { return IsFolder(found); }))
            continue;
        guard.step(156, yieldToWindow);
        guard.step(160, [&] { folderList.append(found); });
    }
}

// Glob matching on case-folded texts; '*' backtracks to its last position.
bool globMatch(const QString& name, const QString& pattern)
{
    qsizetype n = 0, p = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

// A name pattern, folded once so a long listing does not fold it per name.
class NamePattern {
public:
    explicit NamePattern(const QString& pattern)
        : m_folded(pattern.toCaseFolded()), m_dotStarTail(m_folded.endsWith(QLatin1String(".*")))
    {
    }

    bool matches(const QString& name) const
    {
        const QString folded = name.toCaseFolded();
        if (globMatch(folded, m_folded))
            return true;
        // As on the platform the extension habit comes from, "name.*" also
        // takes a name without any dot, so "*.*" lists every file.
        return m_dotStarTail && !folded.contains(u'.') && globMatch(folded + u'.', m_folded);
    }

private:
    QString m_folded;
    bool m_dotStarTail;
};

} // namespace

void GetSubDirectories2016(Dialogs& dialogs, FolderList& folderList, bool recurse, FolderList* unreadable)
{
    ScanState state;
    state.unreadable = unreadable;
    for (const QString& folder : folderList) {
        FolderKey key;
        if (identify(QFile::encodeName(folder), key))
            state.visited.insert(key);
    }
    scanLevel(dialogs, folderList, recurse, state);
}

bool IsHiddenName(const QString& name)
{
    return name.startsWith(u'.');
}

bool HasOddCharacters(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 32 || (c >= 127 && c <= 159) || c == 0xFFFD)
            return true;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            ++i;
            continue;
        }
        if (QChar::isSurrogate(c))
            return true;
    }
    return false;
}

QStringList ListFilesInFolder(const QString& folder, const QString& pattern)
{
    const QString base = folder.endsWith(u'/') ? folder : folder + u'/';
    const QByteArray nativeBase = QFile::encodeName(base);
    const DirHandle dir(::opendir(nativeBase.constData()));
    if (!dir) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return {};
        raiseStepError(QStringLiteral("The folder %1 cannot be read: %2")
                           .arg(folder, QString::fromLocal8Bit(std::strerror(error))));
    }

    const NamePattern namePattern(pattern);
    QStringList names;
    int seen = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry)
            break;
        if (entry->d_type == DT_DIR || isDotOrDotDot(entry->d_name))
            continue;
        if (++seen % kNamesPerYield == 0)
            yieldToWindow();
        const QString name = QFile::decodeName(entry->d_name);
        if (namePattern.matches(name) && IsExistingFile(base + name))
            names.append(name);
    }
    if (const int error = errno; error != 0) {
        raiseStepError(QStringLiteral("The folder %1 could not be read to the end: %2")
                           .arg(folder, QString::fromLocal8Bit(std::strerror(error))));
    }
    std::sort(names.begin(), names.end(), NameOrderLess);
    return names;
}
