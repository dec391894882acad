#include "mboxreader.h"

#include "mimeparts.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

// GLib names a struct member "signals", which Qt defines as a keyword.
#undef signals
#include <gmime/gmime.h>
#define signals Q_SIGNALS

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Few system calls per message, and nothing that matters beside a page
// engine's memory.
constexpr qint64 CopyBlock = 64 * 1024;

std::runtime_error failure(const QString& text)
{
    return std::runtime_error(text.toStdString());
}

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

struct GFree {
    void operator()(void* memory) const { g_free(memory); }
};

// An mbox open for reading. Reads go by position, so they never move the file
// offset that GMime's stream reads from.
class MboxFile {
public:
    explicit MboxFile(const QString& path) : m_file(path)
    {
        const QFileInfo info(path);
        if (!info.exists())
            throw failure(QStringLiteral("The mbox %1 does not exist. Check its name and folder.").arg(path));
        if (!info.isFile())
            throw failure(
                QStringLiteral("%1 is not a file, so it is no mbox. Name the mbox file itself.").arg(path));
        if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            throw failure(QStringLiteral("The mbox %1 cannot be read: %2. Check that you may read it.")
                              .arg(path, m_file.errorString()));
        m_size = m_file.size();
    }

    int handle() const { return m_file.handle(); }
    qint64 size() const { return m_size; }
    QString path() const { return m_file.fileName(); }

    // Up to `length` bytes at `offset`; fewer only at the end of the file.
    QByteArray readAt(qint64 offset, qint64 length) const
    {
        QByteArray bytes(length, Qt::Uninitialized);
        qint64 done = 0;
        while (done < length) {
            const ssize_t n = ::pread(handle(), bytes.data() + done, size_t(length - done), offset + done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw failure(QStringLiteral("Reading the mbox %1 failed: %2. Check the disk and try again.")
                                  .arg(path(), systemError(errno)));
            if (n == 0)
                break;
            done += n;
        }
        bytes.truncate(done);
        return bytes;
    }

private:
    QFile m_file;
    qint64 m_size = 0;
};

// The line break that ends the bytes before `offset`: the writer's, when a
// separator follows.
qint64 lineBreakBefore(const MboxFile& file, qint64 offset)
{
    const QByteArray tail = file.readAt(qMax<qint64>(0, offset - 2), qMin<qint64>(offset, 2));
    if (tail.endsWith("\r\n"))
        return 2;
    return tail.endsWith('\n') ? 1 : 0;
}

// Writers end every message with a blank line, the last one too; a file that
// ends in a blank line keeps the message's own line break and drops theirs.
qint64 blankLineBefore(const MboxFile& file, qint64 offset)
{
    const QByteArray tail = file.readAt(qMax<qint64>(0, offset - 4), qMin<qint64>(offset, 4));
    if (tail.endsWith("\r\n\r\n"))
        return 2;
    return tail.endsWith("\n\n") ? 1 : 0;
}

// True when the lines after the "From " line at `separator` look like the
// start of a header: a field name and its colon first, and nothing but
// fields and their continuations up to the blank line or as far as it looks.
// A writer that escapes nothing leaves "From " lines in bodies ("From the
// minutes: ..."), which prose or a blank line follows; readers go on with the
// message there, and so does the scan.
bool headerFollows(const MboxFile& file, qint64 separator)
{
    constexpr qint64 kLookAhead = 4096;
    constexpr int kLinesJudged = 4;
    static const QRegularExpression field(QStringLiteral(R"(^[!-9;-~]+[ \t]*:)"));
    const QByteArray bytes = file.readAt(separator, kLookAhead);
    qsizetype at = bytes.indexOf('\n');
    if (at < 0)
        return false;
    for (int judged = 0; judged < kLinesJudged; ++judged) {
        const qsizetype from = at + 1;
        at = bytes.indexOf('\n', from);
        if (at < 0)
            return judged > 0; // a field line too long to see the end of
        QByteArrayView line = QByteArrayView(bytes).sliced(from, at - from);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            return judged > 0;
        const bool continuation = line.front() == ' ' || line.front() == '\t';
        if (continuation && judged == 0)
            return false;
        if (!continuation && !field.match(QString::fromLatin1(line)).hasMatch())
            return false;
    }
    return true;
}

// The separators of an mbox as GMime's parser finds them, reading the file as
// a stream. Each message it builds is dropped at once; its content stays on
// disk, so memory holds no more than one message's header and structure.
class SeparatorScan {
public:
    explicit SeparatorScan(const MboxFile& file) : m_stream(g_mime_stream_fs_new(file.handle()))
    {
        g_mime_stream_fs_set_owner(GMIME_STREAM_FS(m_stream.get()), FALSE); // MboxFile closes it
        startAt(0);
    }

    // The next message: its separator's offset and its first byte. False
    // after the last message.
    bool next(qint64& separator, qint64& begin)
    {
        const GObjectPtr<GMimeMessage> message(g_mime_parser_construct_message(m_parser.get(), nullptr));
        separator = g_mime_parser_get_mbox_marker_offset(m_parser.get());
        begin = g_mime_parser_get_headers_begin(m_parser.get());
        if (!message) {
            // Either there is no further separator, or GMime could not read a
            // message's header and stops for good. That message still counts
            // (its conversion reports what is wrong with it); the scan goes on
            // with a new parser just past its separator.
            const std::unique_ptr<char, GFree> line(g_mime_parser_get_mbox_marker(m_parser.get()));
            if (!line || separator <= m_lastSeparator)
                return false;
            startAt(separator + 1);
        }
        m_lastSeparator = separator;
        return true;
    }

    // Where the parser has read to; after the last message, the end of the file.
    qint64 position() const { return g_mime_parser_tell(m_parser.get()); }

private:
    void startAt(qint64 offset)
    {
        // The parser takes the stream's position as its own, so its offsets
        // stay those of the file.
        g_mime_stream_seek(m_stream.get(), offset, GMIME_STREAM_SEEK_SET);
        m_parser.reset(g_mime_parser_new_with_stream(m_stream.get()));
        g_mime_parser_set_format(m_parser.get(), GMIME_FORMAT_MBOX);
    }

    GObjectPtr<GMimeStream> m_stream;
    GObjectPtr<GMimeParser> m_parser;
    qint64 m_lastSeparator = -1;
};

// Undoes the mboxrd escape while the bytes stream past: a line that matches
// ^>+From loses its first '>'. Only the start of a line is held back, and only
// while it may still turn out to be such a line, so long lines cost nothing.
class FromUnescaper {
public:
    void feed(QByteArrayView bytes, QByteArray& out)
    {
        qsizetype i = 0;
        while (i < bytes.size()) {
            if (m_atLineStart && m_held.isEmpty() && bytes[i] != '>')
                m_atLineStart = false;
            if (!m_atLineStart) {
                const qsizetype newline = bytes.indexOf('\n', i);
                const qsizetype stop = newline < 0 ? bytes.size() : newline + 1;
                out.append(bytes.sliced(i, stop - i));
                i = stop;
                m_atLineStart = newline >= 0;
                continue;
            }
            m_held.append(bytes[i++]);
            const Verdict verdict = judge(m_held);
            if (verdict == Verdict::Undecided)
                continue;
            out.append(verdict == Verdict::Escaped ? QByteArrayView(m_held).sliced(1)
                                                   : QByteArrayView(m_held));
            m_atLineStart = m_held.endsWith('\n');
            m_held.clear();
        }
    }

    // The start of a last line that ended while undecided, as it was.
    void finish(QByteArray& out)
    {
        out.append(m_held);
        m_held.clear();
    }

private:
    enum class Verdict { Undecided, Escaped, Plain };

    // `start` begins with '>'.
    static Verdict judge(QByteArrayView start)
    {
        qsizetype quotes = 0;
        while (quotes < start.size() && start[quotes] == '>')
            ++quotes;
        const QByteArrayView rest = start.sliced(quotes);
        const QByteArrayView from("From ");
        if (rest.size() > from.size() || !from.startsWith(rest))
            return Verdict::Plain;
        return rest.size() == from.size() ? Verdict::Escaped : Verdict::Undecided;
    }

    QByteArray m_held;
    bool m_atLineStart = true; // the message starts right after its separator line
};

// The file a message is copied to. It is opened without following a link at
// its path, which would put the copy wherever the link points, and removed
// again unless the copy completes, so that nobody converts half a message.
class MessageFile {
public:
    MessageFile(const QString& path, const MboxFile& source) : m_path(path)
    {
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0)
            throw failure(
                errno == ELOOP
                    ? QStringLiteral("%1 is a symbolic link; a message is never written through one. "
                                     "Remove the link or choose another place.")
                          .arg(path)
                    : QStringLiteral("The message file %1 cannot be created: %2. Check that its folder "
                                     "exists and that you may write in it.")
                          .arg(path, systemError(errno)));
        if (!m_file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            throw failure(
                QStringLiteral("The message file %1 cannot be written: %2.").arg(path, m_file.errorString()));
        }
        // Emptied, and removed after a failure, only once it is known to be
        // a plain file of its own: neither a device nor the mbox itself.
        struct stat target {};
        struct stat mbox {};
        if (::fstat(fd, &target) != 0 || ::fstat(source.handle(), &mbox) != 0)
            throw failure(
                QStringLiteral("The message file %1 cannot be examined: %2.").arg(path, systemError(errno)));
        if (!S_ISREG(target.st_mode))
            throw failure(
                QStringLiteral("%1 is not a plain file; a message is only copied to one. Choose a file "
                               "name for the message.")
                    .arg(path));
        if (target.st_dev == mbox.st_dev && target.st_ino == mbox.st_ino)
            throw failure(QStringLiteral("%1 is the mbox itself; copying a message onto it would destroy the "
                                         "folder. Choose another place for the message.")
                              .arg(path));
        if (::ftruncate(fd, 0) != 0)
            throw failure(
                QStringLiteral("The message file %1 cannot be emptied: %2.").arg(path, systemError(errno)));
        m_removeUnlessDone = true;
    }

    ~MessageFile()
    {
        if (!m_removeUnlessDone)
            return;
        m_file.close();
        ::unlink(QFile::encodeName(m_path).constData());
    }

    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;

    void write(QByteArrayView bytes)
    {
        if (m_file.write(bytes.data(), bytes.size()) != bytes.size())
            throw writeFailure();
    }

    void finish()
    {
        m_file.close();
        if (m_file.error() != QFileDevice::NoError)
            throw writeFailure();
        m_removeUnlessDone = false;
    }

private:
    std::runtime_error writeFailure() const
    {
        return failure(QStringLiteral("Writing the message file %1 failed: %2. Check that the disk has room.")
                           .arg(m_path, m_file.errorString()));
    }

    const QString m_path;
    QFile m_file;
    bool m_removeUnlessDone = false;
};

} // namespace

QList<MboxEntry> ScanMbox(const QString& path)
{
    InitGMime();
    const MboxFile file(path);
    if (file.size() == 0)
        return {};
    // GMime would skip anything before the first separator, and would read a
    // plain message with a "From " line in its body as a folder.
    if (file.readAt(0, 5) != QByteArrayView("From "))
        throw failure(
            QStringLiteral("%1 is not an mbox: it does not begin with a \"From \" separator line. If it "
                           "holds a single message, convert it as an .eml file.")
                .arg(path));

    QList<MboxEntry> entries;
    SeparatorScan scan(file);
    qint64 separator = 0;
    qint64 begin = 0;
    while (scan.next(separator, begin)) {
        if (!entries.isEmpty() && !headerFollows(file, separator))
            continue; // a line of the message before
        if (!entries.isEmpty())
            entries.last().end = qMax(entries.last().begin, separator - lineBreakBefore(file, separator));
        entries.append({begin, begin});
    }
    // GMime takes a failed read for the end of the file.
    const qint64 end = scan.position();
    if (end < file.size())
        throw failure(
            QStringLiteral("Reading the mbox %1 stopped at byte %2 of %3. Check the disk and try again.")
                .arg(path)
                .arg(end)
                .arg(file.size()));
    // A separator with nothing after it starts no message, for GMime.
    if (!entries.isEmpty())
        entries.last().end = qMax(entries.last().begin, end - blankLineBefore(file, end));
    return entries;
}

void ExtractMboxMessage(const QString& mboxPath, const MboxEntry& entry, const QString& destination)
{
    const MboxFile source(mboxPath);
    if (entry.begin < 0 || entry.end < entry.begin || entry.end > source.size())
        throw failure(
            QStringLiteral("Bytes %1 to %2 are no message of the mbox %3, which has %4 bytes: it has "
                           "changed since it was read. Read it again.")
                .arg(entry.begin)
                .arg(entry.end)
                .arg(mboxPath)
                .arg(source.size()));
    MessageFile output(destination, source);
    FromUnescaper unescaper;
    QByteArray restored;
    for (qint64 at = entry.begin; at < entry.end;) {
        const QByteArray block = source.readAt(at, qMin(CopyBlock, entry.end - at));
        if (block.isEmpty())
            throw failure(
                QStringLiteral("The mbox %1 ended at byte %2, inside the message being copied: it has "
                               "changed since it was read. Read it again.")
                    .arg(mboxPath)
                    .arg(at));
        restored.clear();
        unescaper.feed(block, restored);
        output.write(restored);
        at += block.size();
    }
    restored.clear();
    unescaper.finish(restored);
    output.write(restored);
    output.finish();
}

bool LooksLikeMbox(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    // A separator line is short; its date has a time of day and a year.
    QByteArray line = file.read(1024);
    const qsizetype newline = line.indexOf('\n');
    if (newline >= 0)
        line.truncate(newline);
    if (line.endsWith('\r'))
        line.chop(1);
    static const QRegularExpression separator(
        QStringLiteral(R"(^From \S+ +(?=.*\b\d{1,2}:\d\d\b)(?=.*\b\d{4}\b)\S)"));
    return separator.match(QString::fromLatin1(line)).hasMatch();
}
