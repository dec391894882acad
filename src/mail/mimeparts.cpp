#include "mimeparts.h"

#include "textdecoding.h"

#include <algorithm>
#include <limits>
#include <type_traits>

// GLib names a struct member "signals", which Qt defines as a keyword.
#undef signals
#include <gmime/gmime.h>
#define signals Q_SIGNALS

namespace {

bool isAttachment(GMimeObject* object)
{
    const char* disposition = g_mime_object_get_disposition(object);
    return disposition && g_ascii_strcasecmp(disposition, "attachment") == 0;
}

GMimePart* displayedPart(GMimeObject* object, int depth)
{
    if (!object || depth > 64)
        return nullptr;
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        return inner ? displayedPart(g_mime_message_get_mime_part(inner), depth + 1) : nullptr;
    }
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        const int count = g_mime_multipart_get_count(multipart);
        if (count <= 0)
            return nullptr;
        if (HasContentType(object, "multipart", "related")) {
            if (const char* start = g_mime_object_get_content_type_parameter(object, "start")) {
                const QString wanted = NormalisedContentId(QString::fromUtf8(start));
                for (int i = 0; i < count; ++i) {
                    GMimeObject* child = g_mime_multipart_get_part(multipart, i);
                    const char* id = g_mime_object_get_content_id(child);
                    if (id && NormalisedContentId(QString::fromUtf8(id)) == wanted)
                        return displayedPart(child, depth + 1);
                }
            }
            return displayedPart(g_mime_multipart_get_part(multipart, 0), depth + 1);
        }
        if (HasContentType(object, "multipart", "alternative")) {
            // Readers show the richest version they can: HTML over plain text.
            GMimePart* plain = nullptr;
            for (int i = count - 1; i >= 0; --i) {
                GMimePart* candidate = displayedPart(g_mime_multipart_get_part(multipart, i), depth + 1);
                if (!candidate)
                    continue;
                if (HasContentType(GMIME_OBJECT(candidate), "text", "html"))
                    return candidate;
                if (!plain)
                    plain = candidate;
            }
            return plain;
        }
        for (int i = 0; i < count; ++i) {
            GMimeObject* child = g_mime_multipart_get_part(multipart, i);
            if (isAttachment(child))
                continue;
            if (GMimePart* found = displayedPart(child, depth + 1))
                return found;
        }
        return nullptr;
    }
    if (GMIME_IS_PART(object) &&
        (HasContentType(object, "text", "html") || HasContentType(object, "text", "plain")))
        return GMIME_PART(object);
    return nullptr;
}

// One code for bytes and for text of one byte per character, so the message
// page and the reader judge a message alike.
template <typename View> char32_t unitAt(View view, qsizetype i)
{
    if constexpr (std::is_same_v<View, QStringView>)
        return view[i].unicode();
    else
        return static_cast<unsigned char>(view[i]);
}

template <typename View> qsizetype leadingBlankCount(View view)
{
    qsizetype skip = 0;
    while (skip < view.size()) {
        const char32_t c = unitAt(view, skip);
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            break;
        ++skip;
    }
    return skip;
}

// How far a header section is searched for control characters: a file whose
// first 8 KiB hold no blank line is judged by those.
constexpr qsizetype kHeadLimit = 8192;

// The header section as judged: up to the blank line, whichever line break
// it or the line before it uses, and no further than kHeadLimit.
template <typename View> View headerSection(View view, View blankLine, View crlfBlankLine)
{
    qsizetype end = view.indexOf(blankLine);
    const qsizetype crlf = view.indexOf(crlfBlankLine);
    if (end < 0 || (crlf >= 0 && crlf < end))
        end = crlf;
    const qsizetype limit = end < 0 ? kHeadLimit : qMin<qsizetype>(end, kHeadLimit);
    return view.first(qMin(limit, view.size()));
}

// The zero bytes of a binary part below the header section are no sign. One
// zero byte alone is no sign either: writers slip one into a good message
// (a saved draft's padding, a broken gateway), and readers show it. Binary
// data holds them by the dozen, and other control characters besides. ESC is
// no sign: raw ISO-2022 header words switch their character sets with it.
template <typename View> bool looksBinary(View view, View blankLine, View crlfBlankLine)
{
    const View head = headerSection(view, blankLine, crlfBlankLine);
    qsizetype zeros = 0;
    qsizetype control = 0;
    for (qsizetype i = 0; i < head.size(); ++i) {
        const char32_t c = unitAt(head, i);
        if (c == 0 && ++zeros > 1)
            return true;
        if (c < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f' && c != 0x1B)
            ++control;
    }
    return control * 20 > head.size();
}

} // namespace

void GObjectUnref::operator()(void* object) const
{
    if (object)
        g_object_unref(object);
}

BorrowedStream::BorrowedStream(QByteArray bytes)
    : m_bytes(std::move(bytes)), m_array(std::make_unique<GByteArray>()),
      m_stream((InitGMime(), g_mime_stream_mem_new()))
{
    // The stream only reads its array, and never frees one it does not own.
    if (m_bytes.size() > qsizetype(std::numeric_limits<guint>::max()))
        return;
    m_array->data = reinterpret_cast<guint8*>(const_cast<char*>(m_bytes.constData()));
    m_array->len = guint(m_bytes.size());
    g_mime_stream_mem_set_byte_array(GMIME_STREAM_MEM(m_stream.get()), m_array.get());
}

BorrowedStream::~BorrowedStream() = default;

void InitGMime()
{
    static const bool done = [] {
        g_mime_init();
        return true;
    }();
    Q_UNUSED(done);
}

bool HasContentType(GMimeObject* object, const char* type, const char* subtype)
{
    GMimeContentType* contentType = g_mime_object_get_content_type(object);
    return contentType && g_mime_content_type_is_type(contentType, type, subtype);
}

QByteArray MimeTypeOf(GMimeObject* object)
{
    GMimeContentType* contentType = g_mime_object_get_content_type(object);
    if (!contentType)
        return QByteArrayLiteral("application/octet-stream");
    gchar* text = g_mime_content_type_get_mime_type(contentType);
    QByteArray type = QByteArray(text).toLower();
    g_free(text);
    return type;
}

QByteArray DecodedContent(GMimePart* part)
{
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content)
        return {};
    GObjectPtr<GMimeStream> memory(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, memory.get());
    const GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory.get()));
    return QByteArray(reinterpret_cast<const char*>(bytes->data), qsizetype(bytes->len));
}

QString NormalisedContentId(const QString& id)
{
    QString text = id.trimmed();
    if (text.startsWith(u'<') && text.endsWith(u'>'))
        text = text.mid(1, text.size() - 2);
    return text;
}

GMimePart* DisplayedPart(GMimeObject* top)
{
    return displayedPart(top, 0);
}

qsizetype LeadingBlankCount(QByteArrayView bytes)
{
    return leadingBlankCount(bytes);
}

qsizetype LeadingBlankCount(QStringView text)
{
    return leadingBlankCount(text);
}

bool LooksBinary(QByteArrayView bytes)
{
    // Two-byte text is full of zero bytes, the high halves of its ASCII
    // characters: it is judged by the characters it holds.
    if (StartsWithUtf16Mark(bytes))
        return LooksBinary(
            QStringView(DecodeText(bytes.first(qMin<qsizetype>(bytes.size(), 2 * kHeadLimit)))));
    return looksBinary(bytes, QByteArrayView("\n\n"), QByteArrayView("\n\r\n"));
}

bool LooksBinary(QStringView text)
{
    return looksBinary(text, QStringView(u"\n\n"), QStringView(u"\n\r\n"));
}

QByteArray WithHeaderZeroBytesBlanked(QByteArray bytes)
{
    if (LooksBinary(bytes))
        return bytes;
    const qsizetype head =
        headerSection(QByteArrayView(bytes), QByteArrayView("\n\n"), QByteArrayView("\n\r\n")).size();
    if (QByteArrayView(bytes).first(head).contains('\0'))
        std::replace(bytes.begin(), bytes.begin() + head, '\0', ' ');
    return bytes;
}

QString WithHeaderZeroBytesBlanked(QString text)
{
    if (LooksBinary(QStringView(text)))
        return text;
    const qsizetype head =
        headerSection(QStringView(text), QStringView(u"\n\n"), QStringView(u"\n\r\n")).size();
    if (QStringView(text).first(head).contains(QChar(0)))
        std::replace(text.begin(), text.begin() + head, QChar(0), QChar(u' '));
    return text;
}
