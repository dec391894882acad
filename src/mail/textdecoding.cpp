#include "textdecoding.h"

#include "mimeparts.h"

#include <QRegularExpression>
#include <QStringDecoder>

// GLib names a struct member "signals", which Qt defines as a keyword.
#undef signals
#include <gmime/gmime.h>
#define signals Q_SIGNALS

#include <cstdint>
#include <optional>

namespace {

// True when iconv converts from the charset to UTF-8. GMime's own filters
// open a converter for names iconv does not know, and then drop every byte
// beyond ASCII; they are used only for charsets that pass this.
bool iconvConverts(const char* iconvName)
{
    const GIConv converter = g_iconv_open("UTF-8", iconvName);
    if (reinterpret_cast<intptr_t>(converter) == -1)
        return false;
    g_iconv_close(converter);
    return true;
}

// A charset as mail names it, resolved to the converter's own name: GMime
// knows the names mail clients write ("ks_c_5601-1987", "gb2312" meaning
// GBK ...) that iconv alone does not. A charset without a converter is as
// good as none.
class DeclaredCharset {
public:
    explicit DeclaredCharset(QByteArrayView name)
    {
        const QByteArray trimmed = name.toByteArray().trimmed();
        if (trimmed.isEmpty())
            return;
        const char* iconvName = g_mime_charset_iconv_name(trimmed.constData());
        if (iconvName && iconvConverts(iconvName))
            m_iconvName = iconvName;
    }

    // The text when every byte belongs to the charset.
    std::optional<QString> decodeWhole(QByteArrayView bytes) const
    {
        if (!m_iconvName)
            return std::nullopt;
        gsize written = 0;
        GError* error = nullptr;
        gchar* converted =
            g_convert(bytes.data(), gssize(bytes.size()), "UTF-8", m_iconvName, nullptr, &written, &error);
        if (!converted) {
            g_clear_error(&error);
            return std::nullopt;
        }
        const QString text = QString::fromUtf8(converted, qsizetype(written));
        g_free(converted);
        return text;
    }

    // The text without the bytes the charset cannot hold: a stray byte in a
    // long Japanese or Chinese text should not turn all of it into nonsense.
    // No value for ASCII and UTF-8, which bytes beyond them show to be
    // declared wrongly.
    std::optional<QString> decodeSkippingStrayBytes(QByteArrayView bytes) const
    {
        if (!m_iconvName || isAsciiOrUtf8())
            return std::nullopt;
        const GObjectPtr<GMimeFilter> filter(g_mime_filter_charset_new(m_iconvName, "UTF-8"));
        if (!filter)
            return std::nullopt;
        const GObjectPtr<GMimeStream> memory(g_mime_stream_mem_new());
        const GObjectPtr<GMimeStream> filtered(g_mime_stream_filter_new(memory.get()));
        // The stream takes a reference of its own.
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), filter.get());
        g_mime_stream_write(filtered.get(), bytes.data(), size_t(bytes.size()));
        g_mime_stream_flush(filtered.get());
        const GByteArray* out = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory.get()));
        return QString::fromUtf8(reinterpret_cast<const char*>(out->data), qsizetype(out->len));
    }

private:
    bool isAsciiOrUtf8() const
    {
        for (const char* name : {"US-ASCII", "ASCII", "ANSI_X3.4-1968", "UTF-8", "UTF8"})
            if (g_ascii_strcasecmp(m_iconvName, name) == 0)
                return true;
        return false;
    }

    const char* m_iconvName = nullptr; // GMime's, valid for the process
};

std::optional<QString> decodeByMark(QByteArrayView bytes)
{
    std::optional<QStringConverter::Encoding> encoding;
    qsizetype markLength = 2;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        encoding = QStringConverter::Utf8;
        markLength = 3;
    } else if (bytes.startsWith("\xFF\xFE")) {
        encoding = QStringConverter::Utf16LE;
    } else if (bytes.startsWith("\xFE\xFF")) {
        encoding = QStringConverter::Utf16BE;
    }
    if (!encoding)
        return std::nullopt;
    // Not stateless: a last byte without its partner is dropped, not shown.
    QStringDecoder decoder(*encoding);
    return QString(decoder.decode(bytes.sliced(markLength)));
}

QByteArray metaCharset(QByteArrayView html)
{
    static const QRegularExpression meta(
        QStringLiteral("<meta[^>]+charset\\s*=\\s*[\"']?\\s*([A-Za-z0-9_.:-]+)"),
        QRegularExpression::CaseInsensitiveOption);
    const auto match = meta.match(QString::fromLatin1(html.first(qMin<qsizetype>(html.size(), 16384))));
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray();
}

std::optional<QString> decodeValidUtf8(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
    return text;
}

QString decodeWindows1252(QByteArrayView bytes)
{
    // Qt's converter gives the five bytes windows-1252 leaves unassigned their
    // Latin-1 meaning, so no byte is lost; iconv refuses the whole text.
    QStringDecoder windows1252("windows-1252");
    if (!windows1252.isValid())
        return QString::fromLatin1(bytes); // a Qt without ICU
    return windows1252.decode(bytes);
}

} // namespace

bool StartsWithUtf16Mark(QByteArrayView bytes)
{
    return bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF");
}

QString DecodeText(QByteArrayView bytes, QByteArrayView declaredCharset, TextKind kind)
{
    if (bytes.isEmpty())
        return {}; // GLib's converters refuse a null buffer, and there is nothing to convert
    if (auto text = decodeByMark(bytes))
        return *text;
    InitGMime();
    const DeclaredCharset declared(declaredCharset);
    if (auto text = declared.decodeWhole(bytes))
        return *text;
    if (kind == TextKind::Html)
        if (auto text = DeclaredCharset(metaCharset(bytes)).decodeWhole(bytes))
            return *text;
    if (auto text = decodeValidUtf8(bytes))
        return *text;
    if (auto text = declared.decodeSkippingStrayBytes(bytes))
        return *text;
    return decodeWindows1252(bytes);
}
