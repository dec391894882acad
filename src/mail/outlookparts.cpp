// GLib's headers use "signals" as a name, which Qt defines as a keyword: they
// come first.
#include <gmime/gmime.h>

#include "outlookparts.h"

#include "mimebuilder.h"
#include "mimeparts.h"
#include "msgreader.h"
#include "tnefreader.h"

#include <QFile>
#include <QSaveFile>
#include <QTemporaryFile>

#include <array>
#include <vector>

namespace {

// Nesting beyond this is damage, not mail.
constexpr int kDeepestNesting = 32;

GObjectPtr<GMimeObject> ParsePart(const QByteArray& bytes)
{
    const GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(
        reinterpret_cast<const char*>(bytes.constData()), size_t(bytes.size())));
    const GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    return GObjectPtr<GMimeObject>(g_mime_parser_construct_part(parser.get(), nullptr));
}

QString PartFileName(GMimeObject* object)
{
    if (!GMIME_IS_PART(object))
        return {};
    const char* name = g_mime_part_get_filename(GMIME_PART(object));
    return name ? QString::fromUtf8(name) : QString();
}

class Expander {
public:
    explicit Expander(QString workFolder) : m_workFolder(std::move(workFolder)) {}

    bool changed() const { return m_changed; }
    const QStringList& problems() const { return m_problems; }

    void expandMessage(GMimeMessage* message, int depth)
    {
        if (depth > kDeepestNesting)
            return;
        GMimeObject* top = g_mime_message_get_mime_part(message);
        if (!top)
            return;
        if (GMIME_IS_PART(top) && IsTnefPart(MimeTypeOf(top), PartFileName(top))) {
            // A message that is nothing but its winmail.dat.
            const GObjectPtr<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
            g_object_ref(top);
            const GObjectPtr<GMimeObject> tnef(top);
            g_mime_multipart_add(mixed.get(), tnef.get());
            g_mime_message_set_mime_part(message, GMIME_OBJECT(mixed.get()));
            top = GMIME_OBJECT(mixed.get());
        }
        expandObject(message, top, depth);
    }

private:
    void expandObject(GMimeMessage* message, GMimeObject* object, int depth)
    {
        if (GMIME_IS_MESSAGE_PART(object)) {
            if (GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object)))
                expandMessage(inner, depth + 1);
            return;
        }
        if (!GMIME_IS_MULTIPART(object))
            return;
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
            GMimeObject* child = g_mime_multipart_get_part(multipart, i);
            if (GMIME_IS_PART(child) && IsTnefPart(MimeTypeOf(child), PartFileName(child)))
                i = expandTnef(message, multipart, i);
            else if (GMIME_IS_PART(child) && !HasContentType(child, "text", "*") && expandMsg(multipart, i))
                continue;
            else
                expandObject(message, child, depth);
        }
    }

    // Returns the index of the last part put in the TNEF part's place.
    int expandTnef(GMimeMessage* message, GMimeMultipart* multipart, int index)
    {
        GMimeObject* part = g_mime_multipart_get_part(multipart, index);
        const QString name = PartFileName(part).isEmpty() ? u"winmail.dat"_qs : PartFileName(part);
        QString reason;
        const std::optional<MapiMessage> item = ReadTnef(DecodedContent(GMIME_PART(part)), &reason);
        if (!item) {
            m_problems.append(u"%1: %2; it is kept as an attachment"_qs.arg(name, reason));
            return index;
        }
        std::vector<GObjectPtr<GMimeObject>> replacements;
        const QByteArray body = BuildMimeBodyPart(*item);
        const bool useBody = !body.isEmpty() && wantsBody(message, *item);
        GMimeObject* shown =
            useBody ? GMIME_OBJECT(DisplayedPart(g_mime_message_get_mime_part(message))) : nullptr;
        for (const QByteArray& bytes : BuildMimeAttachmentParts(*item))
            if (GObjectPtr<GMimeObject> parsed = ParsePart(bytes))
                replacements.push_back(std::move(parsed));
        g_mime_multipart_remove_at(multipart, index);
        int at = index;
        if (useBody) {
            GObjectPtr<GMimeObject> bodyPart = ParsePart(body);
            if (shown && replaceShown(g_mime_message_get_mime_part(message), shown, bodyPart.get())) {
                // The shown part stood in for the TNEF body; it is replaced.
            } else if (bodyPart) {
                // First, so a reader shows it before the attachments.
                g_mime_multipart_insert(multipart, 0, bodyPart.get());
                ++at;
            }
        }
        for (const GObjectPtr<GMimeObject>& replacement : replacements)
            g_mime_multipart_insert(multipart, at++, replacement.get());
        m_changed = true;
        return at - 1;
    }

    // The TNEF body is better than no body, and HTML better than plain text.
    static bool wantsBody(GMimeMessage* message, const MapiMessage& item)
    {
        GMimePart* shown = DisplayedPart(g_mime_message_get_mime_part(message));
        if (!shown)
            return true;
        if (HasContentType(GMIME_OBJECT(shown), "text", "html"))
            return false;
        const bool tnefHtml = !item.htmlBody.isEmpty() || !item.compressedRtf.isEmpty();
        const QByteArray text = DecodedContent(shown).trimmed();
        return text.isEmpty() || tnefHtml;
    }

    // Puts `replacement` where `shown` stands, searching from `object`.
    static bool replaceShown(GMimeObject* object, GMimeObject* shown, GMimeObject* replacement)
    {
        if (!replacement || !GMIME_IS_MULTIPART(object))
            return false;
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
            GMimeObject* child = g_mime_multipart_get_part(multipart, i);
            if (child == shown) {
                g_mime_multipart_replace(multipart, i, replacement);
                return true;
            }
            if (replaceShown(child, shown, replacement))
                return true;
        }
        return false;
    }

    // An attached .msg file becomes an attached message.
    bool expandMsg(GMimeMultipart* multipart, int index)
    {
        GMimeObject* part = g_mime_multipart_get_part(multipart, index);
        const QByteArray content = DecodedContent(GMIME_PART(part));
        if (!content.startsWith("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"))
            return false;
        QTemporaryFile file(m_workFolder + u"/outlook-XXXXXX.msg"_qs);
        if (!file.open() || file.write(content) != content.size() || !file.flush())
            return false;
        if (!HoldsOutlookMessage(file.fileName()))
            return false;
        const QString name = PartFileName(part).isEmpty() ? u"attachment.msg"_qs : PartFileName(part);
        QString reason;
        const std::optional<QByteArray> bytes = ReadOutlookMessageFile(file.fileName(), &reason);
        if (!bytes) {
            m_problems.append(u"%1: %2; it is kept as an attachment"_qs.arg(name, reason));
            return false;
        }
        const QByteArray wrapped =
            QByteArray("Content-Type: message/rfc822\r\nContent-Disposition: attachment\r\n\r\n") + *bytes;
        GObjectPtr<GMimeObject> replacement = ParsePart(wrapped);
        if (!replacement)
            return false;
        g_mime_multipart_replace(multipart, index, replacement.get());
        m_changed = true;
        return true;
    }

    QString m_workFolder;
    bool m_changed = false;
    QStringList m_problems;
};

// Looked for a piece at a time, so a message with a large attachment is not
// held in memory just to learn that it has no Outlook part.
bool namesOutlookPart(QFile& file)
{
    static const std::array<QByteArrayView, 5> kMarkers = {"ms-tnef", "winmail.dat", "WINMAIL.DAT",
                                                           "0M8R4KGxGuE", ".msg"};
    constexpr qsizetype kPiece = 1 << 20;
    constexpr qsizetype kOverlap = 16; // longer than any marker
    QByteArray window;
    while (true) {
        const QByteArray piece = file.read(kPiece);
        if (piece.isEmpty())
            break;
        window = window.right(kOverlap) + piece;
        for (const QByteArrayView marker : kMarkers)
            if (window.contains(marker))
                return file.seek(0);
    }
    return false;
}

} // namespace

QStringList ExpandOutlookParts(const QString& messagePath, const QString& workFolder)
{
    InitGMime();
    QFile file(messagePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Most mail has none: only a message that names one is read whole, parsed and written.
    if (!namesOutlookPart(file))
        return {};
    const QByteArray bytes = file.readAll();
    file.close();
    const GObjectPtr<GMimeStream> stream(
        g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size())));
    const GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    const GObjectPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message)
        return {};
    Expander expander(workFolder);
    expander.expandMessage(message.get(), 0);
    if (!expander.changed())
        return expander.problems();
    const GObjectPtr<GMimeStream> out(g_mime_stream_mem_new());
    g_mime_object_write_to_stream(GMIME_OBJECT(message.get()), nullptr, out.get());
    const GByteArray* written = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
    QSaveFile save(messagePath);
    QStringList problems = expander.problems();
    if (!save.open(QIODevice::WriteOnly) ||
        save.write(reinterpret_cast<const char*>(written->data), qint64(written->len)) !=
            qint64(written->len) ||
        !save.commit())
        problems.append(
            u"the message with its winmail.dat expanded could not be written to %1"_qs.arg(messagePath));
    return problems;
}
