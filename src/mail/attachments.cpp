// GLib's headers use "signals" as a name, which Qt defines as a keyword: they
// come first.
#include <gmime/gmime.h>

#include "attachments.h"

#include "mimeparts.h"

#include <QFile>
#include <QLocale>
#include <QStringDecoder>

namespace {

constexpr int kDeepestNesting = 64;

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

class AttachmentWalk {
public:
    explicit AttachmentWalk(GMimeObject* shown) : m_shown(shown) {}

    void visit(GMimeObject* object, GMimeObject* parent, int depth)
    {
        if (!object || depth > kDeepestNesting)
            return;
        if (GMIME_IS_MESSAGE_PART(object)) {
            addMessage(object);
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
        attachment.content = DecodedContent(GMIME_PART(object));
        if (const char* charset = g_mime_object_get_content_type_parameter(object, "charset"))
            attachment.charset = QByteArray(charset).trimmed();
        m_found.append(attachment);
    }

    QList<MailAttachment> found() const { return m_found; }

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

    void addMessage(GMimeObject* object)
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
        if (inner) {
            GObjectPtr<GMimeStream> memory(g_mime_stream_mem_new());
            g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, memory.get());
            const GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory.get()));
            attachment.content =
                QByteArray(reinterpret_cast<const char*>(bytes->data), qsizetype(bytes->len));
        }
        m_found.append(attachment);
    }

    GMimeObject* m_shown;
    QList<MailAttachment> m_found;
};

} // namespace

QList<MailAttachment> ReadAttachments(const QByteArray& messageBytes)
{
    QByteArray bytes = messageBytes;
    // A message saved as two-byte text is the text it holds.
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        QStringDecoder decoder(bytes.startsWith("\xFF\xFE") ? QStringConverter::Utf16LE
                                                            : QStringConverter::Utf16BE);
        bytes = QString(decoder.decode(bytes.mid(2))).toUtf8();
    }
    bytes.remove(0, LeadingBlankCount(bytes));
    if (bytes.isEmpty() || LooksBinary(bytes))
        return {};
    InitGMime();
    GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.constData(), gsize(bytes.size())));
    GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GObjectPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    GMimeObject* top = message ? g_mime_message_get_mime_part(message.get()) : nullptr;
    if (!top)
        return {};
    AttachmentWalk walk(GMIME_OBJECT(DisplayedPart(top)));
    // A message that is one attachment and nothing else has it as its body.
    walk.visit(top, nullptr, 0);
    return walk.found();
}

QList<MailAttachment> ReadAttachmentsOfFile(const QString& messagePath)
{
    QFile file(messagePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return ReadAttachments(file.readAll());
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
    return QStringLiteral("%1 (%2)").arg(attachment.fileName, SizeText(attachment.content.size()));
}
