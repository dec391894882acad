// GLib's headers use "signals" as a name, which Qt defines as a keyword: they
// come first.
#include <gmime/gmime.h>

#include "attachments.h"

#include "mimeparts.h"
#include "textdecoding.h"

#include <QByteArrayMatcher>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

namespace {

constexpr int kDeepestNesting = 64;
constexpr qint64 kChunk = 1 << 16;

bool dispositionIs(GMimeObject* object, const char* wanted)
{
    const char* disposition = g_mime_object_get_disposition(object);
    return disposition && g_ascii_strcasecmp(disposition, wanted) == 0;
}

QString extensionFor(const QByteArray& mimeType)
{
    static const QList<QPair<QByteArray, QString>> known = {
        {"application/pdf", QStringLiteral("pdf")}, {"image/png", QStringLiteral("png")},
        {"image/jpeg", QStringLiteral("jpg")},      {"image/gif", QStringLiteral("gif")},
        {"image/tiff", QStringLiteral("tiff")},     {"image/bmp", QStringLiteral("bmp")},
        {"text/plain", QStringLiteral("txt")},      {"text/html", QStringLiteral("html")},
        {"message/rfc822", QStringLiteral("eml")},  {"text/calendar", QStringLiteral("ics")},
    };
    for (const auto& [type, extension] : known)
        if (type == mimeType)
            return extension;
    return QStringLiteral("bin");
}

// A GMime stream on a file descriptor of our own opening, so that the flags
// (no following links, not inherited by children) are ours to choose. Null
// with errno set when the file cannot be opened.
GObjectPtr<GMimeStream> openStream(const QString& path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return nullptr;
    return GObjectPtr<GMimeStream>(g_mime_stream_fs_new(fd));
}

// Writes one content file through `write`, which streams into it; the size
// written. A file that cannot be written in full fails the message: an
// attachment cut short or left out would go unseen.
qint64 writeContentFile(const QString& path, const QString& name,
                        const std::function<gint64(GMimeStream*)>& write)
{
    errno = 0;
    GObjectPtr<GMimeStream> out = openStream(path, O_WRONLY | O_CREAT | O_TRUNC);
    bool written = out && write(out.get()) >= 0;
    int error = errno;
    if (out && g_mime_stream_close(out.get()) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written)
        throw std::runtime_error(
            QStringLiteral("the attachment %1 could not be written to the work folder (%2); make room in the "
                           "temporary folder and convert the message again")
                .arg(name, error ? QString::fromLocal8Bit(std::strerror(error))
                                 : QStringLiteral("the work file could not be written"))
                .toStdString());
    return QFileInfo(path).size();
}

// Copies bytes [begin, end) of the file into the stream a block at a time.
gint64 copyRange(QFile& file, qint64 begin, qint64 end, GMimeStream* out)
{
    if (!file.seek(begin))
        return -1;
    for (qint64 at = begin; at < end;) {
        const QByteArray block = file.read(qMin(kChunk, end - at));
        if (block.isEmpty() || g_mime_stream_write(out, block.constData(), size_t(block.size())) < 0)
            return -1;
        at += block.size();
    }
    return end - begin;
}

// Where the first line at or after `from` that begins with `delimiter`
// starts, less the line break before it (which belongs to the delimiter);
// the end of the file when there is none.
qint64 endBeforeDelimiter(QFile& file, qint64 from, const QByteArray& delimiter)
{
    const QByteArray pattern = '\n' + delimiter;
    const QByteArrayMatcher matcher(pattern);
    for (qint64 at = from; file.seek(at);) {
        const QByteArray block = file.read(kChunk + pattern.size());
        const qsizetype found = matcher.indexIn(block);
        if (found >= 0) {
            const qint64 lineBreak = at + found;
            return found > 0 && block[found - 1] == '\r' ? lineBreak - 1 : lineBreak;
        }
        if (block.size() <= pattern.size())
            break;
        at += block.size() - pattern.size();
    }
    return file.size();
}

// The bytes an attached message takes in the message file: from its first
// field up to the delimiter of the multipart around it. No value when GMime
// gives no offsets for its fields.
std::optional<std::pair<qint64, qint64>> messageSpan(GMimeMessage* inner, GMimeObject* parent, QFile& file)
{
    GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(inner));
    const int count = headers ? g_mime_header_list_get_count(headers) : 0;
    qint64 begin = -1;
    for (int i = 0; i < count; ++i) {
        const gint64 offset = g_mime_header_get_offset(g_mime_header_list_get_header_at(headers, i));
        if (offset >= 0 && (begin < 0 || offset < begin))
            begin = offset;
    }
    if (begin < 0 || begin > file.size())
        return std::nullopt;
    const char* boundary = parent && GMIME_IS_MULTIPART(parent)
                               ? g_mime_multipart_get_boundary(GMIME_MULTIPART(parent))
                               : nullptr;
    const qint64 end =
        boundary && *boundary ? endBeforeDelimiter(file, begin, "--" + QByteArray(boundary)) : file.size();
    return std::make_pair(begin, qMax(begin, end));
}

class AttachmentWalk {
public:
    AttachmentWalk(GMimeObject* shown, QFile& message, MailAttachments& found)
        : m_shown(shown), m_message(message), m_found(found)
    {
    }

    void visit(GMimeObject* object, GMimeObject* parent, int depth)
    {
        if (!object || depth > kDeepestNesting)
            return;
        if (GMIME_IS_MESSAGE_PART(object)) {
            addMessage(object, parent);
            return;
        }
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            const int count = g_mime_multipart_get_count(multipart);
            for (int i = 0; i < count; ++i)
                visit(g_mime_multipart_get_part(multipart, i), object, depth + 1);
            return;
        }
        if (!GMIME_IS_PART(object) || object == m_shown || !isAttachment(object, parent))
            return;
        MailAttachment attachment;
        attachment.mimeType = MimeTypeOf(object);
        attachment.fileName = nameOf(object, attachment.mimeType);
        if (const char* charset = g_mime_object_get_content_type_parameter(object, "charset"))
            attachment.charset = QByteArray(charset).trimmed();
        GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(object));
        attachment.contentPath = m_found.nextContentPath();
        // The data wrapper undoes the transfer encoding a block at a time.
        attachment.size =
            writeContentFile(attachment.contentPath, attachment.fileName, [&](GMimeStream* out) {
                return content ? gint64(g_mime_data_wrapper_write_to_stream(content, out)) : gint64(0);
            });
        m_found.append(std::move(attachment));
    }

private:
    bool isAttachment(GMimeObject* part, GMimeObject* parent) const
    {
        if (dispositionIs(part, "attachment"))
            return true;
        if (parent && HasContentType(parent, "multipart", "alternative"))
            return false;
        // The pictures and style sheets of a related page belong to the page.
        if (parent && HasContentType(parent, "multipart", "related") &&
            g_mime_multipart_get_part(GMIME_MULTIPART(parent), 0) != part)
            return false;
        if (parent && HasContentType(parent, "multipart", "signed"))
            return false;
        const bool named = g_mime_part_get_filename(GMIME_PART(part)) != nullptr;
        if (!named && (HasContentType(part, "text", "plain") || HasContentType(part, "text", "html")))
            return false;
        return true;
    }

    QString nameOf(GMimeObject* part, const QByteArray& mimeType)
    {
        if (const char* name = g_mime_part_get_filename(GMIME_PART(part)); name && *name)
            return QString::fromUtf8(name).trimmed();
        return madeUpName(mimeType);
    }

    QString madeUpName(const QByteArray& mimeType)
    {
        return QStringLiteral("attachment %1.%2").arg(m_found.size() + 1).arg(extensionFor(mimeType));
    }

    void addMessage(GMimeObject* object, GMimeObject* parent)
    {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        MailAttachment attachment;
        attachment.isMessage = true;
        attachment.mimeType = QByteArrayLiteral("message/rfc822");
        const char* fileName = g_mime_object_get_content_disposition_parameter(object, "filename");
        if (!fileName)
            fileName = g_mime_object_get_content_type_parameter(object, "name");
        const char* subject = inner ? g_mime_message_get_subject(inner) : nullptr;
        if (fileName && *fileName)
            attachment.fileName = QString::fromUtf8(fileName).trimmed();
        else if (subject && *subject)
            attachment.fileName = QString::fromUtf8(subject).trimmed() + QStringLiteral(".eml");
        else
            attachment.fileName = madeUpName(attachment.mimeType);
        attachment.contentPath = m_found.nextContentPath();
        // The message as the sender attached it, byte for byte; GMime's own
        // writing would change its line breaks.
        const auto span = inner ? messageSpan(inner, parent, m_message) : std::nullopt;
        attachment.size =
            writeContentFile(attachment.contentPath, attachment.fileName, [&](GMimeStream* out) {
                if (span)
                    return copyRange(m_message, span->first, span->second, out);
                return inner ? gint64(g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out))
                             : gint64(0);
            });
        m_found.append(std::move(attachment));
    }

    GMimeObject* m_shown;
    QFile& m_message;
    MailAttachments& m_found;
};

// A message saved as two-byte text, as the UTF-8 text it holds, for GMime,
// which parses bytes; decoded a block at a time into a file of the work
// folder that goes with the returned object.
std::unique_ptr<QTemporaryFile> narrowedCopy(QFile& wide, const QString& workFolder, const QString& stem)
{
    const QByteArray mark = wide.read(2);
    QStringDecoder decoder(mark == "\xFF\xFE" ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
    auto narrow = std::make_unique<QTemporaryFile>(workFolder + QLatin1Char('/') + stem +
                                                   QStringLiteral(".XXXXXX.eml"));
    if (!narrow->open())
        return nullptr;
    while (!wide.atEnd()) {
        const QByteArray utf8 = QString(decoder.decode(wide.read(kChunk))).toUtf8();
        if (narrow->write(utf8) != utf8.size())
            return nullptr;
    }
    if (!narrow->flush())
        return nullptr;
    return narrow;
}

// The start of a message as the page has it: a lone zero byte among its
// header lines a blank (WithHeaderZeroBytesBlanked). GMime, reading the file
// itself, would take the field after that byte into the one it ends.
QByteArray blankedStart(QFile& message)
{
    message.seek(0);
    const QByteArray start = message.read(kChunk);
    message.seek(0);
    return WithHeaderZeroBytesBlanked(start);
}

// The message with its start replaced by `start`, the rest as it stands, in
// a file of the work folder that goes with the returned object.
std::unique_ptr<QTemporaryFile> blankedCopy(QFile& message, const QByteArray& start,
                                            const QString& workFolder, const QString& stem)
{
    auto copy = std::make_unique<QTemporaryFile>(workFolder + QLatin1Char('/') + stem +
                                                 QStringLiteral(".XXXXXX.eml"));
    if (!copy->open() || copy->write(start) != start.size() || !message.seek(start.size()))
        return nullptr;
    while (!message.atEnd()) {
        const QByteArray block = message.read(kChunk);
        if (copy->write(block) != block.size())
            return nullptr;
    }
    if (!copy->flush())
        return nullptr;
    return copy;
}

// Where the first field begins: readers skip blank lines before it.
qint64 firstFieldOffset(QFile& file)
{
    qint64 skip = 0;
    file.seek(0);
    while (!file.atEnd()) {
        const QByteArray block = file.read(kChunk);
        const qsizetype blanks = LeadingBlankCount(block);
        skip += blanks;
        if (blanks < block.size())
            break;
    }
    return skip;
}

} // namespace

QByteArray MailAttachment::head(qint64 count) const
{
    QFile file(contentPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(count);
}

MailAttachments::MailAttachments(QString workFolder, QString stem)
    : m_workFolder(std::move(workFolder)), m_stem(std::move(stem))
{
}

MailAttachments::~MailAttachments()
{
    removeFiles();
}

MailAttachments::MailAttachments(MailAttachments&& other) noexcept
    : m_workFolder(std::move(other.m_workFolder)), m_stem(std::move(other.m_stem)),
      m_files(std::exchange(other.m_files, {})), m_list(std::exchange(other.m_list, {}))
{
}

MailAttachments& MailAttachments::operator=(MailAttachments&& other) noexcept
{
    if (this != &other) {
        removeFiles();
        m_workFolder = std::move(other.m_workFolder);
        m_stem = std::move(other.m_stem);
        m_files = std::exchange(other.m_files, {});
        m_list = std::exchange(other.m_list, {});
    }
    return *this;
}

QString MailAttachments::nextContentPath()
{
    const QString path =
        m_workFolder + QLatin1Char('/') + m_stem + QStringLiteral(".att%1.content").arg(m_files.size() + 1);
    m_files.append(path);
    return path;
}

void MailAttachments::removeFiles()
{
    for (const QString& path : std::as_const(m_files))
        QFile::remove(path);
    m_files.clear();
}

MailAttachments ReadAttachments(const QString& messagePath, const QString& workFolder, const QString& stem)
{
    MailAttachments found(workFolder, stem);
    QFile file(messagePath);
    if (!file.open(QIODevice::ReadOnly))
        return found;
    // GMime parses the bytes of a file: two-byte text, and a header with a
    // lone zero byte, are parsed from a copy fit for it.
    std::unique_ptr<QTemporaryFile> narrowed;
    bool copied = true;
    if (StartsWithUtf16Mark(file.peek(2))) {
        narrowed = narrowedCopy(file, workFolder, stem);
    } else if (const QByteArray start = blankedStart(file); start != file.peek(start.size())) {
        narrowed = blankedCopy(file, start, workFolder, stem);
    } else {
        copied = false;
    }
    if (copied && !narrowed)
        throw std::runtime_error(
            QStringLiteral("the message's text could not be copied to the work folder to find its "
                           "attachments; make room in the temporary folder and convert it again")
                .toStdString());
    QFile& text = narrowed ? *narrowed : file;
    const qint64 begin = firstFieldOffset(text);
    text.seek(begin);
    const QByteArray head = text.read(2 * MailAttachment::kHeadSize);
    if (head.isEmpty() || LooksBinary(head))
        return found;

    InitGMime();
    GObjectPtr<GMimeStream> stream = openStream(text.fileName(), O_RDONLY);
    if (!stream || g_mime_stream_seek(stream.get(), begin, GMIME_STREAM_SEEK_SET) != begin)
        return found;
    // A seekable stream lets the parser leave every part's content in the
    // file, to be decoded from there.
    GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_persist_stream(parser.get(), TRUE);
    GObjectPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    GMimeObject* top = message ? g_mime_message_get_mime_part(message.get()) : nullptr;
    if (!top)
        return found;
    AttachmentWalk walk(GMIME_OBJECT(DisplayedPart(top)), text, found);
    // A message that is one attachment and nothing else has it as its body.
    walk.visit(top, nullptr, 0);
    return found;
}

QString SizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg(qMax<qint64>(1, (bytes + 512) / 1024));
    return QStringLiteral("%1 MB").arg(double(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

QString Described(const MailAttachment& attachment)
{
    return QStringLiteral("%1 (%2)").arg(attachment.fileName, SizeText(attachment.size));
}
