#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

class Dialogs;

// Path texts use '/' as the separator. None of these helpers resolves "." or
// ".." or turns relative paths into absolute ones.

bool PathExists(const QString& path);
bool IsFolder(const QString& path);
// True for an existing regular file that this user can open for reading.
bool IsExistingFile(const QString& path);

QString GetFileName(const QString& path);
QString GetFolderPart(const QString& path);
QString StripExtension(const QString& name);
// Pairs of separators become one; a leading run of two or more keeps exactly
// two (a share prefix), a single leading one (the root) stays single.
QString CollapseSeparators(const QString& path);
// The name with each control character (line breaks, tabs, the rest of
// U+0000 to U+001F, U+007F to U+009F, and the Unicode line and paragraph
// separators) as '_': a name a line-based file (an Opticon load file) or a
// terminal can carry.
QString VisibleName(const QString& name);
// The stem a work file of the named message or document goes by: the stem
// itself when short, else its first bytes and a hash of the whole, so that
// the suffixes work files add never take a legal name past the file
// system's 255 bytes. Outputs keep their names.
QString WorkName(const QString& stem);

// A file's bytes as ReadFileToString reads them, before they become text:
// `twoByte` when the file starts FF or FE, and then without a last byte that
// has no partner. A missing file gives no bytes, an empty one "empty file".
// Failures are reported through its own guard and it goes on.
struct FileBytes {
    QByteArray bytes;
    bool twoByte = false;

    // Content held in memory judged as a file of it is read: two-byte when
    // it starts FF or FE. An empty content stays empty.
    static FileBytes ofContent(QByteArray content);
};
FileBytes ReadFileBytes(const QString& path, Dialogs& dialogs);

// The whole file, one character per byte (Latin-1, so any byte survives a
// read and write unchanged); a file starting FF or FE is read as two-byte
// text. A missing file gives an empty text, an empty one "empty file".
// Failures are reported through its own guard and it goes on.
QString ReadFileToString(const QString& path, Dialogs& dialogs);
// Writes characters up to U+00FF as single bytes; a text holding wider
// characters (read from a two-byte file) is written back as two-byte text.
// Throws StepError on failure.
void WriteTextFile(const QString& text, const QString& path);
// Writes the pieces one after the other as the file's bytes, so a large page
// made of a few edits of what was read is never put together in memory.
// Throws StepError on failure.
void WriteFilePieces(const QList<QByteArrayView>& pieces, const QString& path);
// Writes the bytes unless something already exists at the path.
void WriteBytesIfAbsent(const QByteArray& bytes, const QString& path);

// Never raises; a missing file is no error, a read-only one is removed too.
void DeleteFileQuietly(const QString& path);
// Removes the file even when it or its folder is read-only; throws StepError.
void ForceDeleteFile(const QString& path);
// Copies only when the source is a readable file and the destination's
// folder exists; never raises.
void CopyFileChecked(const QString& source, const QString& destination);
// Replaces the destination in one step (it is never left half written);
// never raises.
void CopyFileOverwriting(const QString& source, const QString& destination);

// The program's own folder for its work files: quillmark-<uid> inside $TEMP
// when that is set and not empty, otherwise inside the system's temporary
// folder ($TMPDIR, or /tmp). No trailing separator. Only the path: the
// folder is made, and checked, by RunWorkFolder (workfolder.h) when first
// used.
QString TempFolder();
// The folder of the running executable (links resolved), no trailing separator.
QString ProgramFolder();
