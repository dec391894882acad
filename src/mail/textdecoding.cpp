#include "textdecoding.h"

#include "mimeparts.h"

#include <QRegularExpression>
#include <QStringDecoder>

#include <uchardet/uchardet.h>

// GLib names a struct member "signals", which Qt defines as a keyword.
#undef signals
#include <gmime/gmime.h>
#define signals Q_SIGNALS

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>

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

    // A charset the bytes could be in, not one that bytes beyond ASCII prove
    // wrong: its reading is worth more than any guess.
    bool isLegacy() const { return m_iconvName && !isAsciiOrUtf8(); }

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

// ---- Charsets nobody declared ----------------------------------------------

// Text in an ISO-2022 charset is 7-bit: read as ASCII it shows its escape
// codes. Its designations name the charset outright, so they are believed
// before any guess; each family is tried from its plainest member on.
std::optional<QString> decodeIso2022(QByteArrayView bytes)
{
    if (!bytes.contains('\x1b'))
        return std::nullopt;
    struct Family {
        std::array<const char*, 7> designations;
        std::array<const char*, 3> charsets;
    };
    static constexpr std::array<Family, 3> kFamilies = {{
        {{"\x1b$B", "\x1b$@", "\x1b(J", "\x1b(I", "\x1b$(D", "\x1b$A", "\x1b$(C"},
         {"ISO-2022-JP", "ISO-2022-JP-2", "ISO-2022-JP-3"}},
        {{"\x1b$)C"}, {"ISO-2022-KR"}},
        {{"\x1b$)A", "\x1b$)G", "\x1b$*H", "\x1b$+I"}, {"ISO-2022-CN", "ISO-2022-CN-EXT"}},
    }};
    for (const Family& family : kFamilies) {
        const bool designated = std::any_of(family.designations.begin(), family.designations.end(),
                                            [&](const char* d) { return d && bytes.contains(d); });
        if (!designated)
            continue;
        for (const char* charset : family.charsets)
            if (charset)
                if (auto text = DeclaredCharset(charset).decodeWhole(bytes))
                    return text;
    }
    return std::nullopt;
}

struct DetectorFree {
    void operator()(uchardet_t detector) const { uchardet_delete(detector); }
};
using Detector = std::unique_ptr<std::remove_pointer_t<uchardet_t>, DetectorFree>;

// Enough of a long text to tell its charset by.
constexpr qsizetype kDetectionSample = 64 * 1024;
// A guess of a one-byte charset other than Latin rests on the bytes beyond
// ASCII: a name or two with accents ("Bjørn Åse") is guessed Hebrew or
// Cyrillic, a sentence in the script itself is not.
constexpr qsizetype kOneByteEvidence = 12;

// The guesses worth more than windows-1252: the multibyte charsets, whose
// byte patterns tell them apart, and the one-byte ones of other scripts. A
// guess among the Latin charsets is no better than windows-1252 on short
// text, and often worse (punctuation guessed Central European or
// Vietnamese), so it is not taken.
bool trustedGuess(const QByteArray& charset, qsizetype bytesBeyondAscii)
{
    static const QList<QByteArray> multibyte = {"SHIFT_JIS",   "EUC-JP",      "EUC-KR",    "UHC",
                                                "GB18030",     "BIG5",        "EUC-TW",    "ISO-2022-JP",
                                                "ISO-2022-KR", "ISO-2022-CN", "HZ-GB-2312"};
    static const QList<QByteArray> otherScripts = {"KOI8-R",       "KOI8-U",     "WINDOWS-1251", "ISO-8859-5",
                                                   "IBM855",       "IBM866",     "MAC-CYRILLIC", "ISO-8859-7",
                                                   "WINDOWS-1253", "ISO-8859-8", "WINDOWS-1255", "ISO-8859-6",
                                                   "WINDOWS-1256", "TIS-620",    "ISO-8859-11"};
    const QByteArray name = charset.toUpper();
    if (multibyte.contains(name))
        return true;
    return otherScripts.contains(name) && bytesBeyondAscii >= kOneByteEvidence;
}

// The text in the charset uchardet finds, when the guess is one to trust
// and every byte belongs to it.
std::optional<QString> decodeDetected(QByteArrayView bytes)
{
    const QByteArrayView sample = bytes.first(qMin(bytes.size(), kDetectionSample));
    const Detector detector(uchardet_new());
    if (!detector || uchardet_handle_data(detector.get(), sample.data(), size_t(sample.size())) != 0)
        return std::nullopt;
    uchardet_data_end(detector.get());
    const char* guess = uchardet_get_charset(detector.get());
    const qsizetype beyondAscii =
        std::count_if(sample.begin(), sample.end(), [](char c) { return uchar(c) >= 0x80; });
    if (!guess || !trustedGuess(QByteArray(guess), beyondAscii))
        return std::nullopt;
    return DeclaredCharset(guess).decodeWhole(bytes);
}

// ---- Marks, meta, UTF-8 and the last resort --------------------------------

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
    // A missing, unknown, ASCII or UTF-8 declaration says nothing against
    // designations in the text itself.
    if (!declared.isLegacy())
        if (auto text = decodeIso2022(bytes))
            return *text;
    if (auto text = declared.decodeWhole(bytes))
        return *text;
    if (kind == TextKind::Html)
        if (auto text = DeclaredCharset(metaCharset(bytes)).decodeWhole(bytes))
            return *text;
    if (auto text = decodeValidUtf8(bytes))
        return *text;
    // A charset the bytes fit but for a few stray ones outranks a guess.
    if (!declared.isLegacy())
        if (auto text = decodeDetected(bytes))
            return *text;
    if (auto text = declared.decodeSkippingStrayBytes(bytes))
        return *text;
    return decodeWindows1252(bytes);
}
