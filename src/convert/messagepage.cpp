// GLib's headers use "signals" as a name, which Qt defines as a keyword: they
// come first.
#include <gmime/gmime.h>

#include "messagepage.h"

#include "conversionrun.h"
#include "mhtmlreader.h"
#include "mimeparts.h"
#include "paths.h"
#include "stepguard.h"
#include "textdecoding.h"

#include <QByteArray>
#include <QRegularExpression>

#include <array>
#include <cctype>
#include <memory>

namespace {

// ---- GMime handles --------------------------------------------------------

struct ParserOptionsFree {
    void operator()(GMimeParserOptions* options) const { g_mime_parser_options_free(options); }
};

// Raw 8-bit text is taken as UTF-8 when it is valid UTF-8, else as windows-1252.
GMimeParserOptions* parserOptions()
{
    static const std::unique_ptr<GMimeParserOptions, ParserOptionsFree> options = [] {
        InitGMime();
        std::unique_ptr<GMimeParserOptions, ParserOptionsFree> made(g_mime_parser_options_new());
        const char* fallback[] = {"utf-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(made.get(), fallback);
        g_mime_parser_options_set_rfc2047_compliance_mode(made.get(), GMIME_RFC_COMPLIANCE_LOOSE);
        return made;
    }();
    return options.get();
}

// A page as an edit of the bytes it is built from: [from, to) replaced by
// `insert`, `tail` added at the end. The bytes around the edit are written
// straight from what was read, so a large attachment is never copied. The
// empty edit leaves the bytes as they are.
struct PageEdit {
    qsizetype from = 0;
    qsizetype to = 0;
    QByteArray insert;
    QByteArray tail;

    QList<QByteArrayView> pieces(QByteArrayView bytes) const
    {
        return {bytes.first(from), insert, bytes.sliced(to), tail};
    }
    QByteArray applied(QByteArrayView bytes) const
    {
        QByteArray out;
        out.reserve(bytes.size() - (to - from) + insert.size() + tail.size());
        for (const QByteArrayView piece : pieces(bytes))
            out.append(piece);
        return out;
    }
};

// ---- Text and HTML --------------------------------------------------------

bool isLatin1(QStringView text)
{
    for (const QChar c : text)
        if (c.unicode() > 0xFF)
            return false;
    return true;
}

enum class EscapeFor { Block, Body };

// Plain ASCII HTML: markup characters as entities, everything beyond ASCII as
// a numeric character reference. In the block '=' is escaped too, so the block
// can stand in a quoted-printable part, and line breaks become blanks.
QString escapeHtml(QStringView text, EscapeFor target)
{
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (const char32_t c : text.toUcs4()) {
        switch (c) {
        case U'&':
            out += u"&amp;";
            continue;
        case U'<':
            out += u"&lt;";
            continue;
        case U'>':
            out += u"&gt;";
            continue;
        case U'"':
            out += u"&quot;";
            continue;
        case U'=':
            out += target == EscapeFor::Block ? QStringView(u"&#61;") : QStringView(u"=");
            continue;
        default:
            break;
        }
        const bool keptBreak = target == EscapeFor::Body && (c == U'\t' || c == U'\n' || c == U'\r');
        if ((c < 0x20 && !keptBreak) || c == 0x7F)
            out += u' ';
        else if (c < 0x7F)
            out += QChar(char16_t(c));
        else
            out += QStringLiteral("&#%1;").arg(uint(c));
    }
    return out;
}

// The bytes of one encoded word's payload.
QByteArray decodeEncodedPayload(char encoding, const QByteArray& payload)
{
    if (encoding == 'b' || encoding == 'B')
        return QByteArray::fromBase64(payload);
    QByteArray bytes;
    bytes.reserve(payload.size());
    for (qsizetype i = 0; i < payload.size(); ++i) {
        const char c = payload[i];
        if (c == '_') {
            bytes += ' ';
        } else if (c == '=' && i + 2 < payload.size() && std::isxdigit(uchar(payload[i + 1])) &&
                   std::isxdigit(uchar(payload[i + 2]))) {
            bytes += char(QByteArray::fromHex(payload.mid(i + 1, 2)).at(0));
            i += 2;
        } else {
            bytes += c;
        }
    }
    return bytes;
}

// A header value as written: encoded words decoded, raw 8-bit bytes read as
// UTF-8 or windows-1252. Encoded words are decoded here rather than by GMime,
// which stops at the padding of a base64 word when it merges it with the next
// one, and so loses the rest of a long folded subject. Adjacent words in one
// charset are joined as bytes first: senders split multibyte characters
// across words.
QString decodeHeaderValue(QStringView value)
{
    if (!value.contains(u"=?"))
        return isLatin1(value) ? DecodeText(value.toLatin1()) : value.toString();
    // A page read as two-byte text already holds characters, not bytes.
    const QByteArray raw = isLatin1(value) ? value.toLatin1() : value.toUtf8();
    // Senders put raw blanks inside encoded words ("=?iso-8859-1?Q?Test
    // E-Mail?="); readers decode them anyway, and so do we.
    static const QRegularExpression word(QStringLiteral("=\\?([^?\\s]+)\\?([bBqQ])\\?([^?\\r\\n]*)\\?="));
    const QString rawText = QString::fromLatin1(raw);
    QString out;
    QByteArray pending;
    QByteArray pendingCharset;
    auto flush = [&] {
        if (!pending.isEmpty())
            out += DecodeText(pending, pendingCharset);
        pending.clear();
    };
    qsizetype at = 0;
    bool lastWasWord = false;
    for (auto it = word.globalMatch(rawText); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString between = rawText.mid(at, m.capturedStart() - at);
        // White space between two encoded words is not part of the text.
        if (!(lastWasWord && between.trimmed().isEmpty())) {
            flush();
            out += DecodeText(between.toLatin1());
        }
        QByteArray charset = m.captured(1).toLatin1();
        if (const qsizetype star = charset.indexOf('*'); star >= 0)
            charset.truncate(star); // RFC 2231 language suffix
        if (charset.compare(pendingCharset, Qt::CaseInsensitive) != 0)
            flush();
        pendingCharset = charset;
        pending += decodeEncodedPayload(m.captured(2).at(0).toLatin1(), m.captured(3).toLatin1());
        at = m.capturedEnd();
        lastWasWord = true;
    }
    flush();
    out += DecodeText(rawText.mid(at).toLatin1());
    return out;
}

QString shownLine(const QString& line, qsizetype labelLength, bool bracketAddresses)
{
    if (line.isEmpty())
        return {};
    QString text = line.left(labelLength) + decodeHeaderValue(QStringView(line).mid(labelLength));
    if (bracketAddresses) {
        text.replace(u'<', u'[');
        text.replace(u'>', u']');
    }
    return escapeHtml(text, EscapeFor::Block);
}

// ---- Finding the part a reader shows --------------------------------------

// ---- Rewriting one part in place ------------------------------------------

qsizetype lineEndBefore(const QByteArray& bytes, qsizetype position)
{
    if (position >= 2 && bytes[position - 2] == '\r' && bytes[position - 1] == '\n')
        return 2;
    if (position >= 1 && bytes[position - 1] == '\n')
        return 1;
    return 0;
}

QByteArray fieldName(const QByteArray& line)
{
    const qsizetype colon = line.indexOf(':');
    return colon > 0 ? line.left(colon).trimmed().toLower() : QByteArray();
}

// A header block cut into its fields, each with its continuation lines and
// line breaks exactly as written, and the blank line that ends it.
struct HeaderFields {
    QList<QByteArray> fields;
    QByteArray ending;
};

HeaderFields splitHeaderBlock(const QByteArray& block, const QByteArray& eol)
{
    HeaderFields split;
    split.ending = eol;
    qsizetype from = 0;
    while (from < block.size()) {
        qsizetype next = block.indexOf('\n', from);
        next = next < 0 ? block.size() : next + 1;
        QByteArray line = block.mid(from, next - from);
        from = next;
        if (line == "\r\n" || line == "\n") {
            split.ending = line;
            break;
        }
        if (!line.endsWith('\n'))
            line += eol;
        if ((line.startsWith(' ') || line.startsWith('\t')) && !split.fields.isEmpty())
            split.fields.last() += line;
        else
            split.fields.append(line);
    }
    return split;
}

// The part's header block with its type and encoding replaced; every other
// field, and the blank line that ends the block, stays as it was.
QByteArray rewriteHeaderBlock(const QByteArray& block, const QByteArray& eol, const QByteArray& contentType,
                              const QByteArray& encoding)
{
    const HeaderFields split = splitHeaderBlock(block, eol);
    QByteArray kept;
    for (const QByteArray& field : split.fields) {
        const QByteArray name = fieldName(field);
        if ((!contentType.isEmpty() && name == "content-type") ||
            (!encoding.isEmpty() && name == "content-transfer-encoding"))
            continue;
        kept += field;
    }
    if (!contentType.isEmpty())
        kept += "Content-Type: " + contentType + eol;
    if (!encoding.isEmpty())
        kept += "Content-Transfer-Encoding: " + encoding + eol;
    return kept + split.ending;
}

QByteArray encodeContent(const QByteArray& bytes, GMimeContentEncoding encoding, const QByteArray& eol)
{
    if (encoding != GMIME_CONTENT_ENCODING_BASE64 && encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE)
        return bytes;
    GMimeEncoding state;
    g_mime_encoding_init_encode(&state, encoding);
    QByteArray out(qsizetype(g_mime_encoding_outlen(&state, size_t(bytes.size()))), Qt::Uninitialized);
    out.resize(qsizetype(g_mime_encoding_flush(&state, bytes.constData(), size_t(bytes.size()), out.data())));
    if (eol == "\r\n")
        out.replace("\n", "\r\n");
    return out;
}

struct PartSpan {
    qsizetype headersBegin = -1; // first byte of the part's header block
    qsizetype contentBegin = -1; // first byte after the blank line
    qsizetype contentEnd = -1;   // end of the raw content, before the boundary's line break
};

// Where the part stands in the raw bytes. The parser keeps the message's
// stream, so a leaf's content is a window on it and headers know their offsets.
std::optional<PartSpan> locate(GMimeObject* part, bool topLevel, qint64 messageHeadersBegin,
                               const QByteArray& bytes)
{
    PartSpan span;
    if (GMIME_IS_PART(part)) {
        GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
        GMimeStream* stream = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
        if (!stream)
            return std::nullopt;
        span.contentBegin = qsizetype(stream->bound_start);
        span.contentEnd = stream->bound_end < 0 ? bytes.size() : qsizetype(stream->bound_end);
    }
    if (topLevel) {
        span.headersBegin = qsizetype(messageHeadersBegin);
    } else {
        GMimeHeaderList* headers = g_mime_object_get_header_list(part);
        const int count = headers ? g_mime_header_list_get_count(headers) : 0;
        for (int i = 0; i < count; ++i) {
            const gint64 offset = g_mime_header_get_offset(g_mime_header_list_get_header_at(headers, i));
            if (offset >= 0 && (span.headersBegin < 0 || offset < span.headersBegin))
                span.headersBegin = qsizetype(offset);
        }
        if (span.headersBegin < 0 && span.contentBegin >= 0)
            span.headersBegin = span.contentBegin - lineEndBefore(bytes, span.contentBegin);
    }
    if (span.headersBegin < 0 || span.headersBegin > bytes.size())
        return std::nullopt;
    if (GMIME_IS_PART(part) && !(span.headersBegin <= span.contentBegin &&
                                 span.contentBegin <= span.contentEnd && span.contentEnd <= bytes.size()))
        return std::nullopt;
    return span;
}

QByteArray lineEndingOf(const QByteArray& bytes, qsizetype near)
{
    const qsizetype lf = bytes.indexOf('\n', near);
    return lf > 0 && bytes[lf - 1] == '\r' ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
}

bool asciiIncompatible(const char* charset)
{
    if (!charset)
        return false;
    const QByteArray name = QByteArray(charset).toLower();
    return name.startsWith("utf-16") || name.startsWith("utf-32") || name.startsWith("ucs") ||
           name.startsWith("utf-7") || name.startsWith("utf16") || name.startsWith("utf32");
}

// <pre>, not a pre-wrap <div>: the office engine ignores the white-space
// property, so only <pre> keeps the message's line breaks on the page.
QByteArray plainTextAsHtml(const QString& text, const QString& block)
{
    const QString html = QStringLiteral("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                                        "charset=utf-8\"></head><body>") +
                         block +
                         QStringLiteral("<pre style=\"white-space: pre-wrap; font-family: monospace\">") +
                         escapeHtml(text, EscapeFor::Body) + QStringLiteral("</pre></body></html>\n");
    return html.toLatin1(); // escaped to plain ASCII
}

// The new raw text of the shown part: its header block and encoded content.
QByteArray rewritePart(GMimePart* part, const QByteArray& bytes, const PartSpan& span, const QString& block)
{
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    QByteArray decoded = DecodedContent(part);
    const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
    GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    const QByteArray eol = lineEndingOf(bytes, span.headersBegin);

    QByteArray newType;
    QByteArray newEncoding;
    QByteArray body;
    if (HasContentType(GMIME_OBJECT(part), "text", "html")) {
        if (asciiIncompatible(charset)) {
            decoded = DecodeText(decoded, charset).toUtf8();
            newType = "text/html; charset=utf-8";
        }
        const qsizetype at = qMax<qsizetype>(0, FindBodyTagEnd(QString::fromLatin1(decoded)));
        body = decoded.left(at) + block.toLatin1() + decoded.mid(at);
        if (encoding != GMIME_CONTENT_ENCODING_BASE64 && encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE &&
            encoding != GMIME_CONTENT_ENCODING_DEFAULT && encoding != GMIME_CONTENT_ENCODING_7BIT &&
            encoding != GMIME_CONTENT_ENCODING_8BIT && encoding != GMIME_CONTENT_ENCODING_BINARY) {
            // uuencode and the like: write something every reader decodes.
            encoding = GMIME_CONTENT_ENCODING_BASE64;
            newEncoding = "base64";
        }
    } else {
        body = plainTextAsHtml(DecodeText(decoded, charset), block);
        newType = "text/html; charset=utf-8";
        encoding = GMIME_CONTENT_ENCODING_BASE64;
        newEncoding = "base64";
    }

    // Text is encoded from its canonical line ends, so no CR ends up as "=0D".
    if (encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE)
        body.replace("\r\n", "\n");
    QByteArray encoded = encodeContent(body, encoding, eol);
    // The line break before the next boundary belongs to the boundary.
    const bool hadFinalBreak = span.contentEnd > span.contentBegin && bytes[span.contentEnd - 1] == '\n';
    if (!hadFinalBreak)
        while (encoded.endsWith('\n'))
            encoded.chop(encoded.endsWith("\r\n") ? 2 : 1);
    else if (!encoded.endsWith('\n'))
        encoded += eol;

    QByteArray headers = bytes.mid(span.headersBegin, span.contentBegin - span.headersBegin);
    if (!newType.isEmpty() || !newEncoding.isEmpty())
        headers = rewriteHeaderBlock(headers, eol, newType, newEncoding);
    return headers + encoded;
}

QByteArray blockPart(const QString& block, const QByteArray& eol)
{
    return "Content-Type: text/html; charset=utf-8" + eol + "Content-Transfer-Encoding: base64" + eol + eol +
           encodeContent(("<html><body>" + block + "</body></html>").toLatin1(),
                         GMIME_CONTENT_ENCODING_BASE64, eol);
}

// Where the line of the first delimiter "--boundary" ends, searched from
// `from`: the parser takes a line that begins with the delimiter as one.
qsizetype afterFirstDelimiter(const QByteArray& bytes, const QByteArray& boundary, qsizetype from)
{
    const QByteArray delimiter = "--" + boundary;
    for (qsizetype at = from; at >= 0 && at < bytes.size();) {
        if (bytes.mid(at, delimiter.size()) == delimiter) {
            const qsizetype lf = bytes.indexOf('\n', at);
            return lf < 0 ? -1 : lf + 1;
        }
        at = bytes.indexOf('\n', at);
        at = at < 0 ? -1 : at + 1;
    }
    return -1;
}

// A multipart with nothing to show (only attachments) gets a part of its own,
// in front of the others, that holds just the block. It goes in right after
// the first delimiter line, found in the text rather than through the parts,
// whose offsets a part without header lines does not have.
std::optional<PageEdit> prependBlockPart(GMimeMultipart* multipart, const QByteArray& bytes,
                                         qint64 headersEnd, const QString& block)
{
    const char* boundary = g_mime_multipart_get_boundary(multipart);
    if (!boundary || !*boundary || g_mime_multipart_get_count(multipart) == 0)
        return std::nullopt;
    const qsizetype at = afterFirstDelimiter(bytes, boundary, qMax<qint64>(0, headersEnd));
    if (at < 0)
        return std::nullopt;
    const QByteArray eol = lineEndingOf(bytes, at - 1);
    return PageEdit{at, at, blockPart(block, eol) + "--" + boundary + eol, {}};
}

// A message that is one attachment and nothing else (an image, a document)
// becomes a two-part message: the block, then the attachment with its own
// content fields and its content byte for byte.
std::optional<PageEdit> wrapWithBlockPart(const QByteArray& bytes, qint64 headersBegin, qint64 headersEnd,
                                          const QString& block)
{
    if (headersBegin < 0 || headersEnd < headersBegin || headersEnd > bytes.size())
        return std::nullopt;
    const QByteArray eol = lineEndingOf(bytes, qsizetype(headersBegin));
    qsizetype contentBegin = qsizetype(headersEnd);
    if (bytes.mid(contentBegin, 2) == "\r\n")
        contentBegin += 2;
    else if (bytes.mid(contentBegin, 1) == "\n")
        contentBegin += 1;
    const HeaderFields split = splitHeaderBlock(bytes.mid(headersBegin, headersEnd - headersBegin), eol);
    QByteArray outer;
    QByteArray inner;
    bool mimeVersion = false;
    for (const QByteArray& field : split.fields) {
        const QByteArray name = fieldName(field);
        mimeVersion = mimeVersion || name == "mime-version";
        (name.startsWith("content-") ? inner : outer) += field;
    }
    QByteArray boundary = "=_quillmark_block";
    while (bytes.contains(boundary))
        boundary += "_";
    if (!mimeVersion)
        outer += "MIME-Version: 1.0" + eol;
    outer += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"" + eol + eol + "--" + boundary +
             eol + blockPart(block, eol) + "--" + boundary + eol + inner + eol;
    // The closing delimiter goes on a line of its own.
    const bool endsInBreak = contentBegin < bytes.size() ? bytes.endsWith('\n') : outer.endsWith('\n');
    return PageEdit{qsizetype(headersBegin), contentBegin, outer,
                    (endsInBreak ? QByteArray() : eol) + "--" + boundary + "--" + eol};
}

// The end of the top header block: the first empty line, or an earlier end
// the parser found (a line that is no header field). The parser's own figure
// alone may belong to a forwarded message's headers.
qsizetype topHeadersEnd(const QByteArray& bytes, qsizetype headersBegin, qint64 parserEnd)
{
    qsizetype end = bytes.size();
    for (qsizetype at = headersBegin; at < bytes.size();) {
        if (bytes[at] == '\n' || bytes.mid(at, 2) == "\r\n") {
            end = at;
            break;
        }
        const qsizetype lf = bytes.indexOf('\n', at);
        if (lf < 0)
            break;
        at = lf + 1;
    }
    if (parserEnd >= headersBegin && parserEnd < end)
        end = qsizetype(parserEnd);
    return end;
}

// The whole body below the block as text, for a message whose structure hides
// it: a multipart without parts (no boundary, or one that never occurs), a
// part that cannot be placed. A reader would show such a message empty; here
// nothing of it is lost. The top header fields stay, but for type and encoding.
std::optional<PageEdit> bodyAsTextPage(GMimeObject* top, const QByteArray& bytes, qint64 headersBegin,
                                       qint64 parserHeadersEnd, const QString& block)
{
    if (headersBegin < 0 || headersBegin > bytes.size())
        return std::nullopt;
    const qsizetype begin = qsizetype(headersBegin);
    const qsizetype headersEnd = topHeadersEnd(bytes, begin, parserHeadersEnd);
    qsizetype contentBegin = headersEnd;
    if (bytes.mid(contentBegin, 2) == "\r\n")
        contentBegin += 2;
    else if (bytes.mid(contentBegin, 1) == "\n")
        contentBegin += 1;

    QString body;
    GMimeDataWrapper* content = GMIME_IS_PART(top) ? g_mime_part_get_content(GMIME_PART(top)) : nullptr;
    if (content) {
        body = DecodeText(DecodedContent(GMIME_PART(top)),
                          g_mime_object_get_content_type_parameter(top, "charset"));
    } else {
        body = DecodeText(bytes.mid(contentBegin));
    }
    const QByteArray eol = lineEndingOf(bytes, begin);
    const QByteArray headers =
        rewriteHeaderBlock(bytes.mid(begin, contentBegin - begin), eol, "text/html; charset=utf-8", "base64");
    return PageEdit{begin,
                    bytes.size(),
                    headers + encodeContent(plainTextAsHtml(body, block), GMIME_CONTENT_ENCODING_BASE64, eol),
                    {}};
}

struct BlockLabel {
    QLatin1StringView name;
    // How the block shows it, whatever the letter case and spacing of the message.
    QLatin1StringView label;
    QString HeaderLines::*slot;
};

constexpr std::array<BlockLabel, 4> kLabels = {{
    {QLatin1StringView("subject"), QLatin1StringView("Subject: "), &HeaderLines::subjectLine},
    {QLatin1StringView("from"), QLatin1StringView("From: "), &HeaderLines::fromLine},
    {QLatin1StringView("to"), QLatin1StringView("To: "), &HeaderLines::toLine},
    {QLatin1StringView("date"), QLatin1StringView("Date: "), &HeaderLines::dateLine},
}};

bool beginsWithBlank(QStringView line)
{
    return !line.isEmpty() && (line.front() == u' ' || line.front() == u'\t');
}

// The name of the field a header line opens, as written; empty when the line
// opens none (a continuation line, or text without a colon). Blanks between
// the name and its colon are old usage that readers still accept.
QStringView openedFieldName(QStringView line)
{
    if (beginsWithBlank(line))
        return {};
    const qsizetype colon = line.indexOf(u':');
    if (colon <= 0)
        return {};
    const QStringView name = line.first(colon).trimmed();
    for (const QChar c : name)
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F)
            return {};
    return name;
}

// The field that opens at lines[i] under the block's own label, its value
// with the continuation lines joined and the blanks after the colon dropped;
// `i` moves to its last line.
QString labelledField(const QList<QStringView>& lines, qsizetype& i, QLatin1StringView label)
{
    const QStringView first = lines[i];
    QString value = first.mid(first.indexOf(u':') + 1).toString();
    // Folded lines belong to the field: long recipient lists are folded.
    while (i + 1 < lines.size() && beginsWithBlank(lines[i + 1]))
        value += lines[++i];
    qsizetype blanks = 0;
    while (blanks < value.size() && (value[blanks] == u' ' || value[blanks] == u'\t'))
        ++blanks;
    return QString(label).append(QStringView(value).mid(blanks));
}

} // namespace

QList<QStringView> CutLines(QStringView text)
{
    QList<QStringView> lines;
    if (text.isEmpty())
        return lines;
    qsizetype from = 0;
    for (;;) {
        const qsizetype lf = text.indexOf(u'\n', from);
        if (lf < 0) {
            lines.append(text.mid(from));
            return lines;
        }
        const qsizetype end = (lf > from && text[lf - 1] == u'\r') ? lf - 1 : lf;
        lines.append(text.mid(from, end - from));
        from = lf + 1;
    }
}

HeaderLines ScanHeaderLines(const QList<QStringView>& lines)
{
    HeaderLines values;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        // The empty line ends the message's own header: below it lie the
        // body, quoted and forwarded mail and the parts' headers, whose From
        // and To lines are someone else's.
        if (lines[i].isEmpty())
            break;
        const QStringView name = openedFieldName(lines[i]);
        for (const BlockLabel& label : kLabels) {
            if (name.compare(label.name, Qt::CaseInsensitive) != 0)
                continue;
            values.*label.slot = labelledField(lines, i, label.label);
            break;
        }
        if (values.complete())
            break;
    }
    return values;
}

QString BuildHeaderBlock(const HeaderLines& values)
{
    const QString br = QStringLiteral("<br>");
    return shownLine(values.fromLine, 6, true) + br + shownLine(values.toLine, 4, true) + br +
           shownLine(values.subjectLine, 9, false) + br + shownLine(values.dateLine, 6, false) + br + br;
}

QString ScanCcLine(const QList<QStringView>& lines)
{
    QString found;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            break;
        if (openedFieldName(lines[i]).compare(QLatin1StringView("cc"), Qt::CaseInsensitive) == 0)
            found = labelledField(lines, i, QLatin1StringView("Cc: "));
    }
    return found;
}

QString BuildHeaderBlock(const HeaderLines& values, const QString& ccLine,
                         const QStringList& attachmentDescriptions)
{
    const QString br = QStringLiteral("<br>");
    QString block = BuildHeaderBlock(values);
    block.chop(br.size());
    if (!ccLine.isEmpty())
        block += shownLine(ccLine, 4, true) + br;
    if (!attachmentDescriptions.isEmpty())
        block +=
            escapeHtml(QStringLiteral("Attachments: ") + attachmentDescriptions.join(QStringLiteral(", ")),
                       EscapeFor::Block) +
            br;
    return block + br;
}

namespace {

// The block's own style sheet. Every rule carries !important and the
// weight of several ids, which no selector of a message (`body *`, `div`,
// `table`, ids of its own) reaches; `all: initial` drops what the block would
// inherit from the message's body (colour, size, case, spacing, zoom). The
// engine's default font and size are what a message without CSS shows, so
// plain mail looks as it always did. No '=' anywhere: the sheet goes into
// quoted-printable parts as it stands.
QString headerBlockStyle()
{
    QString element = QString::fromLatin1(kHeaderBlockTag);
    for (int i = 0; i < 6; ++i)
        element += QStringLiteral(":not(#qm%1)").arg(i);
    const QString pseudo =
        element + QStringLiteral("::first-line,") + element + QStringLiteral("::first-letter");
    const QString generated = element + QStringLiteral("::before,") + element + QStringLiteral("::after,") +
                              element + QStringLiteral(" br::before,") + element +
                              QStringLiteral(" br::after");
    return element +
           QStringLiteral(
               "{all:initial!important;display:block!important;color:#000!important;"
               "-webkit-text-fill-color:#000!important;background:#fff!important;zoom:1!important;"
               "direction:ltr!important;unicode-bidi:isolate!important;text-align:left!important;"
               "overflow-wrap:anywhere!important;color-scheme:light!important;column-span:all!important;"
               "align-self:flex-start!important}") +
           element + QStringLiteral(" br{all:revert!important}") + element + QStringLiteral(" style,") +
           element + QStringLiteral(" script{display:none!important}") + generated +
           QStringLiteral("{content:none!important;display:none!important}") + pseudo +
           QStringLiteral("{color:#000!important;-webkit-text-fill-color:#000!important;"
                          "background:transparent!important;font:inherit!important;"
                          "text-transform:none!important;letter-spacing:normal!important;"
                          "word-spacing:normal!important;text-shadow:none!important;float:none!important;"
                          "margin:0!important;padding:0!important;border:none!important}");
}

} // namespace

QString HeaderBlockElement(const QString& block)
{
    static const QString style = headerBlockStyle();
    const QString tag = QString::fromLatin1(kHeaderBlockTag);
    return u'<' + tag + QStringLiteral("><style>") + style + QStringLiteral("</style>") + block +
           QStringLiteral("</") + tag + u'>';
}

namespace {

// The same search in text and in bytes of one character each.
template <typename Text> qsizetype bodyTagEndIn(Text text)
{
    const qsizetype tag = text.indexOf(QLatin1StringView("<body"), 0, Qt::CaseInsensitive);
    if (tag < 0)
        return -1;
    const qsizetype close = text.indexOf(QLatin1Char('>'), tag);
    return close < 0 ? -1 : close + 1;
}

} // namespace

qsizetype FindBodyTagEnd(QStringView text)
{
    return bodyTagEndIn(text);
}

namespace {

// A message as the MIME parser reads it. Offsets count from its first field;
// blanks before it are skipped, as readers skip them, and kept aside. The
// parser reads the page's own bytes, not a copy of them.
class ParsedMessage {
public:
    explicit ParsedMessage(const QByteArray& page) : m_page(page)
    {
        if (page.isEmpty())
            return;
        m_skip = LeadingBlankCount(QByteArrayView(page));
        m_bytes = QByteArray::fromRawData(m_page.constData() + m_skip, m_page.size() - m_skip);
        m_stream = std::make_unique<BorrowedStream>(m_bytes);
        GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(m_stream->get()));
        g_mime_parser_set_persist_stream(parser.get(), TRUE);
        m_message.reset(g_mime_parser_construct_message(parser.get(), parserOptions()));
        m_top = m_message ? g_mime_message_get_mime_part(m_message.get()) : nullptr;
        m_headersBegin = g_mime_parser_get_headers_begin(parser.get());
        m_headersEnd = g_mime_parser_get_headers_end(parser.get());
        if (m_top) {
            // The part the office host's reader lays out, so the block is seen.
            m_shown = DisplayedPart(m_top);
            if (m_shown)
                m_shownSpan =
                    locate(GMIME_OBJECT(m_shown), GMIME_OBJECT(m_shown) == m_top, m_headersBegin, m_bytes);
        }
    }
    ParsedMessage(const ParsedMessage&) = delete;
    ParsedMessage& operator=(const ParsedMessage&) = delete;

    // True when `position` in the page lies in the content of the shown
    // part, and that part is HTML: a body tag there is the one shown.
    bool showsAsHtml(qsizetype position) const
    {
        const qsizetype at = position - m_skip;
        return m_shownSpan && HasContentType(GMIME_OBJECT(m_shown), "text", "html") &&
               at >= m_shownSpan->contentBegin && at < m_shownSpan->contentEnd;
    }

    // The edit of the page that puts the block into its shown part, in
    // offsets of the whole page.
    std::optional<PageEdit> withBlock(const QString& block) const
    {
        if (!m_top)
            return std::nullopt;
        std::optional<PageEdit> edit;
        if (m_shownSpan) {
            edit = PageEdit{m_shownSpan->headersBegin,
                            m_shownSpan->contentEnd,
                            rewritePart(m_shown, m_bytes, *m_shownSpan, block),
                            {}};
        } else if (!m_shown && GMIME_IS_MULTIPART(m_top)) {
            edit = prependBlockPart(GMIME_MULTIPART(m_top), m_bytes, m_headersEnd, block);
        } else if (!m_shown) {
            edit = wrapWithBlockPart(m_bytes, m_headersBegin, m_headersEnd, block);
        }
        if (!edit)
            edit = bodyAsTextPage(m_top, m_bytes, m_headersBegin, m_headersEnd, block);
        if (edit) {
            edit->from += m_skip;
            edit->to += m_skip;
        }
        return edit;
    }

private:
    // The bytes and their stream are declared first, so they outlive the
    // message parsed from them.
    const QByteArray m_page;
    qsizetype m_skip = 0;
    QByteArray m_bytes;
    std::unique_ptr<BorrowedStream> m_stream;
    GObjectPtr<GMimeMessage> m_message;
    GMimeObject* m_top = nullptr;
    GMimePart* m_shown = nullptr;
    std::optional<PartSpan> m_shownSpan;
    qint64 m_headersBegin = -1;
    qint64 m_headersEnd = -1;
};

// The page of text the MIME parser cannot read, the block above the whole
// text; no value for binary data.
std::optional<QByteArray> textPageOf(const QByteArray& page, const QString& block)
{
    if (page.isEmpty() || LooksBinary(QByteArrayView(page)))
        return std::nullopt;
    return "MIME-Version: 1.0\r\nContent-Type: text/html; charset=utf-8\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" +
           encodeContent(plainTextAsHtml(DecodeText(page), block), GMIME_CONTENT_ENCODING_BASE64, "\r\n");
}

// Where the block goes into a page of one byte per character: after the
// first body tag when that opens the HTML a reader shows, else in the part a
// reader shows, else above the text as a page of its own. One body tag in an
// attachment, or quoted in a plain-text part, would take the block where
// nobody sees it, or show it as markup.
PageEdit blockEdit(const QByteArray& page, const QString& block)
{
    const qsizetype bodyTag = bodyTagEndIn(QLatin1StringView(page));
    const ParsedMessage parsed(page);
    if (bodyTag >= 0 && parsed.showsAsHtml(bodyTag))
        return PageEdit{bodyTag, bodyTag, block.toLatin1(), {}};
    if (auto edit = parsed.withBlock(block))
        return *edit;
    if (auto rebuilt = textPageOf(page, block))
        return PageEdit{0, page.size(), *rebuilt, {}};
    return {};
}

// The UTF-8 bytes of two-byte text (the bytes as written, mark first, in
// either order); no value when they decode to binary data: UTF-32, or data
// that merely starts FF or FE.
std::optional<QByteArray> utf8OfTwoByteText(const QByteArray& bytes)
{
    const QString wide = DecodeText(bytes);
    // UTF-32 and binary data show zero characters among the header lines.
    if (LooksBinary(wide))
        return std::nullopt;
    return wide.toUtf8();
}

// A page as PrepareMessagePage builds it: the bytes it is parsed as, and
// whether the block may go in at all.
struct PageBytes {
    QByteArray bytes;
    bool takesBlock = true;
};

// The bytes of a work file ready to be cut and parsed. Two-byte text becomes
// the UTF-8 bytes of its characters: it is then scanned and parsed as the
// 8-bit message it is, and the office host reads the page as one.
PageBytes narrowed(FileBytes read)
{
    if (!read.twoByte)
        return {WithHeaderZeroBytesBlanked(std::move(read.bytes))};
    if (auto utf8 = utf8OfTwoByteText(read.bytes))
        return {WithHeaderZeroBytesBlanked(*std::move(utf8))};
    // Binary data reaches the office host as it is, to be refused there.
    return {std::move(read.bytes), false};
}

// The lines of the header: blank lines before the first field are no part of
// it, as readers skip them.
QList<QStringView> headerLines(const QString& text)
{
    return CutLines(QStringView(text).mid(LeadingBlankCount(text)));
}

// The header of the page as text, up to its first empty line: only the
// header is scanned, and a large message is not turned into text for it.
QString headerText(const QByteArray& page)
{
    const QByteArrayView view(page);
    const qsizetype skip = LeadingBlankCount(view);
    qsizetype end = view.indexOf("\n\n", skip);
    const qsizetype crlf = view.indexOf("\n\r\n", skip);
    if (end < 0 || (crlf >= 0 && crlf < end))
        end = crlf;
    return QString::fromLatin1(end < 0 ? view : view.first(end + 1));
}

} // namespace

void WriteMessagePage(const QByteArray& message, const QString& pagePath)
{
    const PageBytes page = narrowed(FileBytes::ofContent(message));
    PageEdit edit;
    if (page.takesBlock) {
        const QString head = headerText(page.bytes);
        edit =
            blockEdit(page.bytes, HeaderBlockElement(BuildHeaderBlock(ScanHeaderLines(headerLines(head)))));
    }
    WriteFilePieces(edit.pieces(page.bytes), pagePath);
}

void PrepareMessagePage(const QString& mhtPath, StepGuard& guard)
{
    PrepareMessagePage(mhtPath, guard, HeaderExtras());
}

void PrepareMessagePage(const QString& mhtPath, StepGuard& guard, const HeaderExtras& extras)
{
    // The page stays in the bytes it was read as, held once: a message with a
    // large attachment costs its size, not several times that as text.
    PageBytes page;
    guard.step(158, [&] { page = narrowed(ReadFileBytes(mhtPath, guard.dialogs())); });
    QString head;
    QList<QStringView> lines;
    guard.step(160, [&] {
        if (page.takesBlock) {
            head = headerText(page.bytes);
            lines = headerLines(head);
        }
    });
    HeaderLines values;
    QString ccLine;
    guard.step(162, [&] {
        values = ScanHeaderLines(lines);
        if (extras.cc)
            ccLine = ScanCcLine(lines);
    });
    QString block;
    guard.step(194, [&] {
        block = extras.cc || extras.attachments
                    ? BuildHeaderBlock(values, ccLine, extras.attachmentDescriptions)
                    : BuildHeaderBlock(values);
        block = HeaderBlockElement(block);
    });
    // A page that cannot be built is written back as it was read.
    PageEdit edit;
    guard.step(196, [&] {
        if (page.takesBlock)
            edit = blockEdit(page.bytes, block);
    });
    guard.step(204, [&] { WriteFilePieces(edit.pieces(page.bytes), mhtPath); });
}

void PrepareMessagePage(const QString& mhtPath, Dialogs& dialogs)
{
    StepGuard guard(dialogs, QString::fromLatin1(kConversionRunLocation));
    PrepareMessagePage(mhtPath, guard);
}
