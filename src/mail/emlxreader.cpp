#include "emlxreader.h"

#include "messagefile.h"
#include "mimeparts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

// GLib names a struct member "signals", which Qt defines as a keyword.
#undef signals
#include <gmime/gmime.h>
#define signals Q_SIGNALS

#include <stdexcept>

namespace {

// Apple Mail writes the count right-padded with blanks; nothing sane
// counts more than this for one message.
constexpr qint64 kLongestCountLine = 32;

[[noreturn]] void Fail(const QString& reason)
{
    throw std::runtime_error(reason.toStdString());
}

// The bytes of the message: after the count line, as many as it names;
// when the file was cut short or the count is wrong, up to the property
// list or the end.
QByteArray MessageBytes(const QByteArray& file, const QString& path)
{
    const qsizetype newline = file.indexOf('\n');
    const QByteArray countLine = file.left(newline < 0 ? file.size() : newline).trimmed();
    bool ok = false;
    const qlonglong count = countLine.toLongLong(&ok);
    if (newline < 0 || newline > kLongestCountLine || !ok || count < 0)
        Fail(QStringLiteral("%1 is no Apple Mail message: it does not start with the line that counts its "
                            "bytes")
                 .arg(path));
    const QByteArray rest = file.mid(newline + 1);
    if (count <= rest.size())
        return rest.left(qsizetype(count));
    const qsizetype plist = rest.lastIndexOf("<?xml");
    return plist > 0 ? rest.left(plist) : rest;
}

// The one file Apple Mail keeps for a part: Attachments/<id>/<part>/<name>.
QString StoredBody(const QString& attachments, const QString& partNumber, const QString& fileName)
{
    const QDir folder(attachments + QLatin1Char('/') + partNumber);
    if (!fileName.isEmpty() && QFileInfo(folder.filePath(fileName)).isFile())
        return folder.filePath(fileName);
    const QStringList files = folder.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    return files.size() == 1 ? folder.filePath(files.first()) : QString();
}

class PartRestorer {
public:
    PartRestorer(QString attachments, QStringList* notices)
        : m_attachments(std::move(attachments)), m_notices(notices)
    {
    }

    void walk(GMimeObject* object, const QString& number)
    {
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            const int count = g_mime_multipart_get_count(multipart);
            for (int i = 0; i < count; ++i) {
                const QString child = QString::number(i + 1);
                walk(g_mime_multipart_get_part(multipart, i),
                     number.isEmpty() ? child : number + QLatin1Char('.') + child);
            }
            return;
        }
        if (!GMIME_IS_PART(object) || g_mime_object_get_header(object, "X-Apple-Content-Length") == nullptr)
            return;
        restore(GMIME_PART(object), number.isEmpty() ? QStringLiteral("1") : number);
    }

private:
    void restore(GMimePart* part, const QString& number)
    {
        const char* name = g_mime_part_get_filename(part);
        const QString fileName = name ? QString::fromUtf8(name) : QString();
        const QString body =
            m_attachments.isEmpty() ? QString() : StoredBody(m_attachments, number, fileName);
        QFile file(body);
        if (body.isEmpty() || !file.open(QIODevice::ReadOnly)) {
            markMissing(part, fileName, number);
            return;
        }
        const QByteArray bytes = file.readAll();
        const GObjectPtr<GMimeStream> stream(
            g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size())));
        const GObjectPtr<GMimeDataWrapper> content(
            g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
        g_mime_part_set_content(part, content.get());
        g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
        g_mime_object_remove_header(GMIME_OBJECT(part), "X-Apple-Content-Length");
    }

    // The reader of the pages learns what is missing instead of finding an
    // empty attachment.
    void markMissing(GMimePart* part, const QString& fileName, const QString& number)
    {
        const QString shown = fileName.isEmpty() ? QStringLiteral("part %1").arg(number) : fileName;
        const QString notice =
            QStringLiteral("The attachment %1 was not downloaded by Apple Mail: its body is not in %2.")
                .arg(shown, QDir::cleanPath(m_attachments + QLatin1Char('/') + number));
        if (m_notices)
            m_notices->append(notice);
        const QByteArray text = notice.toUtf8() + '\n';
        const GObjectPtr<GMimeStream> stream(
            g_mime_stream_mem_new_with_buffer(text.constData(), size_t(text.size())));
        const GObjectPtr<GMimeDataWrapper> content(
            g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
        // Set as header lines, which GMime parses into the part's fields.
        g_mime_object_set_header(GMIME_OBJECT(part), "Content-Type", "text/plain; charset=utf-8", nullptr);
        g_mime_object_set_header(GMIME_OBJECT(part), "Content-Disposition", "inline", nullptr);
        g_mime_part_set_content(part, content.get());
        g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
        g_mime_object_remove_header(GMIME_OBJECT(part), "X-Apple-Content-Length");
    }

    QString m_attachments;
    QStringList* m_notices;
};

// Apple Mail keeps Messages/ and Attachments/ side by side.
QString AttachmentsFolder(const QString& path)
{
    const QFileInfo info(path);
    const QString id = info.fileName().section(QLatin1Char('.'), 0, 0);
    const QString folder = QDir::cleanPath(info.absolutePath() + QStringLiteral("/../Attachments/") + id);
    return QFileInfo(folder).isDir() ? folder : QString();
}

QByteArray Restored(const QByteArray& message, const QString& path, QStringList* notices)
{
    InitGMime();
    const GObjectPtr<GMimeStream> stream(
        g_mime_stream_mem_new_with_buffer(message.constData(), size_t(message.size())));
    const GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    const GObjectPtr<GMimeMessage> parsed(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!parsed)
        Fail(QStringLiteral("%1: the message inside cannot be read as a mail message").arg(path));
    const QString attachments = AttachmentsFolder(path);
    PartRestorer(attachments, notices).walk(g_mime_message_get_mime_part(parsed.get()), QString());
    const GObjectPtr<GMimeStream> out(g_mime_stream_mem_new());
    if (g_mime_object_write_to_stream(GMIME_OBJECT(parsed.get()), nullptr, out.get()) < 0)
        Fail(QStringLiteral("%1: the message cannot be put back together").arg(path));
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
    return QByteArray(reinterpret_cast<const char*>(bytes->data), qsizetype(bytes->len));
}

} // namespace

bool IsEmlxName(const QString& path)
{
    return path.endsWith(QLatin1String(".emlx"), Qt::CaseInsensitive);
}

QByteArray ReadEmlxMessage(const QString& path, QStringList* notices)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        Fail(QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString()));
    const QByteArray message = MessageBytes(file.readAll(), path);
    // Only a message with left-out bodies is rewritten; any other stays
    // byte for byte as Apple Mail stored it.
    if (!message.contains("X-Apple-Content-Length"))
        return message;
    return Restored(message, path, notices);
}

void ExtractEmlxMessage(const QString& path, const QString& destination, QStringList* notices)
{
    WriteMessageFile(destination, ReadEmlxMessage(path, notices));
}
