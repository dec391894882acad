// GLib's headers use "signals" as a name, which Qt defines as a keyword: they
// come first.
#include <gmime/gmime.h>

#include "mimebuilder.h"

#include "mimeparts.h"
#include "rtfbody.h"
#include "textdecoding.h"

#include <QCryptographicHash>
#include <QLocale>
#include <QMimeDatabase>
#include <QRegularExpression>

#include <algorithm>

namespace {

constexpr char kCrlf[] = "\r\n";

struct GFreeDeleter {
    void operator()(void* pointer) const { g_free(pointer); }
};

bool IsAsciiText(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() > 126 || c.unicode() < 32)
            return false;
    return true;
}

QByteArray Quoted(const QString& text)
{
    QByteArray quoted = text.toUtf8();
    quoted.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + quoted + '"';
}

QByteArray EncodedText(const QString& text)
{
    InitGMime();
    const QByteArray utf8 = text.simplified().toUtf8();
    const std::unique_ptr<char, GFreeDeleter> encoded(
        g_mime_utils_header_encode_text(nullptr, utf8.constData(), "utf-8"));
    return encoded ? QByteArray(encoded.get()) : utf8;
}

// "Name <addr>" entries as an address field: names quoted and encoded as
// needed, every address kept as it is.
QByteArray EncodedAddresses(const QStringList& entries)
{
    InitGMime();
    static const QRegularExpression kNamed(u"^(.*)<([^<>]*)>\\s*$"_qs);
    QList<QByteArray> fields;
    for (const QString& entry : entries) {
        const QRegularExpressionMatch match = kNamed.match(entry);
        QString name = match.hasMatch() ? match.captured(1).trimmed() : QString();
        QString address = match.hasMatch() ? match.captured(2).trimmed() : entry.trimmed();
        if (!address.contains(u'@') || address.startsWith(u'/')) {
            // Known only by name, or by an Exchange path no reader shows: the
            // name stands alone, as readers show such a recipient.
            if (name.isEmpty())
                name = address;
            if (!name.isEmpty())
                // Quoted even without specials: a bare phrase reads as no address.
                fields.append(IsAsciiText(name) ? Quoted(name) : EncodedText(name));
            continue;
        }
        const GObjectPtr<InternetAddressList> list(internet_address_list_new());
        const GObjectPtr<InternetAddress> mailbox(
            internet_address_mailbox_new(name.toUtf8().constData(), address.toUtf8().constData()));
        internet_address_list_add(list.get(), mailbox.get());
        const std::unique_ptr<char, GFreeDeleter> text(
            internet_address_list_to_string(list.get(), nullptr, TRUE));
        if (text)
            fields.append(QByteArray(text.get()));
    }
    return fields.join(", ");
}

// The first field of the name in a header as it arrived, unfolded; empty
// when it has none.
QByteArray TransportField(const QByteArray& headers, const QByteArray& name)
{
    const QList<QByteArray> lines = headers.split('\n');
    QByteArray value;
    bool inField = false;
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (inField) {
            if (!line.isEmpty() && (line[0] == ' ' || line[0] == '\t')) {
                value += ' ' + line.trimmed();
                continue;
            }
            break;
        }
        if (line.isEmpty())
            break;
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
            value = line.mid(colon + 1).trimmed();
            inField = true;
        }
    }
    return value;
}

QByteArray Base64Lines(const QByteArray& data)
{
    const QByteArray encoded = data.toBase64();
    QByteArray out;
    out.reserve(encoded.size() + encoded.size() / 76 * 2 + 2);
    for (qsizetype at = 0; at < encoded.size(); at += 76)
        out += encoded.mid(at, 76) + kCrlf;
    return out;
}

// A file name parameter: quoted when ASCII, RFC 2231 otherwise.
QByteArray NameParameter(const char* parameter, const QString& name)
{
    if (IsAsciiText(name))
        return QByteArray(parameter) + '=' + Quoted(name);
    return QByteArray(parameter) + "*=utf-8''" + name.toUtf8().toPercentEncoding();
}

struct Part {
    QByteArray header;
    QByteArray body;
    QByteArray bytes() const { return header + kCrlf + body; }
};

Part Multipart(const char* subtype, const QList<Part>& parts)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QList<QByteArray> bodies;
    for (const Part& part : parts) {
        bodies.append(part.bytes());
        hash.addData(bodies.last());
    }
    const QByteArray digest = hash.result().toHex().left(24);
    QByteArray boundary = "=_qm_" + QByteArray(subtype) + '_' + digest;
    for (int n = 2; std::any_of(bodies.cbegin(), bodies.cend(),
                                [&](const QByteArray& b) { return b.contains(boundary); });
         ++n)
        boundary = "=_qm_" + QByteArray(subtype) + '_' + digest + '_' + QByteArray::number(n);
    Part multipart;
    multipart.header =
        "Content-Type: multipart/" + QByteArray(subtype) + "; boundary=\"" + boundary + '"' + kCrlf;
    for (const QByteArray& body : bodies)
        multipart.body += "--" + boundary + kCrlf + body + kCrlf;
    multipart.body += "--" + boundary + "--" + kCrlf;
    return multipart;
}

Part TextPart(const char* subtype, const QString& text)
{
    return {"Content-Type: text/" + QByteArray(subtype) + "; charset=utf-8" + kCrlf +
                "Content-Transfer-Encoding: base64" + kCrlf,
            Base64Lines(text.toUtf8())};
}

QString Escaped(const QString& text)
{
    return text.toHtmlEscaped().replace(u'\n', u"<br>"_qs);
}

// The fields of a calendar, contact or task item as a reader lists them
// above its notes.
QString FieldsHtml(const MapiMessage& message)
{
    QString html = u"<table class=\"outlook-fields\">"_qs;
    for (const auto& [label, value] : message.extraFields)
        html += u"<tr><th align=\"left\">"_qs + Escaped(label) + u":</th><td>"_qs + Escaped(value) +
                u"</td></tr>"_qs;
    return html + u"</table><hr>"_qs;
}

QString FieldsText(const MapiMessage& message)
{
    QString text;
    for (const auto& [label, value] : message.extraFields)
        text += label + u": "_qs + value + u'\n';
    return text + u'\n';
}

QString WithFieldsHtml(const MapiMessage& message, QString html)
{
    if (message.extraFields.isEmpty())
        return html;
    static const QRegularExpression kBody(u"<body[^>]*>"_qs, QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = kBody.match(html);
    const qsizetype at = match.hasMatch() ? match.capturedEnd() : 0;
    return html.insert(at, FieldsHtml(message));
}

struct Body {
    bool html = false;
    QString text;
};

Body ChooseBody(const MapiMessage& message)
{
    if (!message.htmlBody.isEmpty()) {
        const QByteArray charset = !message.htmlCharset.isEmpty() ? message.htmlCharset.toLatin1()
                                   : message.internetCodePage ? MapiCodePageCharset(message.internetCodePage)
                                                              : QByteArray();
        return {true, DecodeText(message.htmlBody, charset, TextKind::Html)};
    }
    if (!message.compressedRtf.isEmpty()) {
        const RtfBody rtf = ReadRtfBody(DecompressRtf(message.compressedRtf));
        if (rtf.kind == RtfBody::Kind::Html)
            return {true, rtf.text};
        // The plain body is the RTF's own text, kept by the store; the RTF
        // is read only when it is missing.
        if (rtf.kind == RtfBody::Kind::Text && message.plainBody.trimmed().isEmpty())
            return {false, rtf.text};
    }
    return {false, message.plainBody};
}

QString AttachmentName(const MapiAttachment& attachment, int number)
{
    if (!attachment.fileName.trimmed().isEmpty())
        return attachment.fileName.trimmed();
    if (attachment.embedded) {
        const QString subject = attachment.embedded->subject.trimmed();
        return (subject.isEmpty() ? u"attachment %1"_qs.arg(number) : subject) + u".eml"_qs;
    }
    return u"attachment %1"_qs.arg(number);
}

QByteArray AttachmentType(const MapiAttachment& attachment, const QString& name)
{
    static const QRegularExpression kMimeType(u"^[a-z0-9!#$&^_.+-]+/[a-z0-9!#$&^_.+-]+$"_qs);
    if (kMimeType.match(attachment.mimeType).hasMatch())
        return attachment.mimeType.toLatin1();
    const QMimeType guessed = QMimeDatabase().mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    return guessed.isDefault() ? QByteArray("application/octet-stream") : guessed.name().toLatin1();
}

Part AttachmentPart(const MapiAttachment& attachment, int number, bool inlinePicture)
{
    const QString name = AttachmentName(attachment, number);
    Part part;
    if (attachment.embedded) {
        part.header = QByteArray("Content-Type: message/rfc822") + kCrlf;
        part.body = BuildMimeMessage(*attachment.embedded);
    } else {
        part.header = "Content-Type: " + AttachmentType(attachment, name) + "; " +
                      NameParameter("name", name) + kCrlf + "Content-Transfer-Encoding: base64" + kCrlf;
        part.body = Base64Lines(attachment.data);
    }
    part.header += QByteArray("Content-Disposition: ") + (inlinePicture ? "inline" : "attachment") + "; " +
                   NameParameter("filename", name) + kCrlf;
    if (!attachment.contentId.isEmpty())
        part.header += "Content-ID: <" + NormalisedContentId(attachment.contentId).toUtf8() + '>' + kCrlf;
    return part;
}

void AddHeader(QByteArray& header, const char* name, const QByteArray& value)
{
    if (!value.isEmpty())
        header += QByteArray(name) + ": " + value + kCrlf;
}

QByteArray AddressField(const QStringList& entries, const QString& display, const QByteArray& headers,
                        const char* name)
{
    if (!entries.isEmpty())
        return EncodedAddresses(entries);
    const QByteArray arrived = TransportField(headers, name);
    if (!arrived.isEmpty())
        return arrived;
    if (!display.trimmed().isEmpty())
        return EncodedAddresses(display.split(u';', Qt::SkipEmptyParts));
    return {};
}

QByteArray HeaderLines(const MapiMessage& message)
{
    QByteArray header;
    QByteArray from;
    if (!message.senderName.isEmpty() || !message.senderAddress.isEmpty())
        from = EncodedAddresses({message.senderAddress.isEmpty()
                                     ? message.senderName
                                     : message.senderName + u" <"_qs + message.senderAddress + u'>'});
    if (from.isEmpty())
        from = TransportField(message.transportHeaders, "From");
    AddHeader(header, "From", from);
    AddHeader(header, "To", AddressField(message.to, message.displayTo, message.transportHeaders, "To"));
    AddHeader(header, "Cc", AddressField(message.cc, message.displayCc, message.transportHeaders, "Cc"));
    AddHeader(header, "Bcc", AddressField(message.bcc, message.displayBcc, {}, "Bcc"));
    if (!message.subject.isEmpty())
        AddHeader(header, "Subject", EncodedText(message.subject));
    const QDateTime date = message.sent.isValid() ? message.sent : message.delivered;
    if (date.isValid())
        AddHeader(header, "Date",
                  QLocale::c().toString(date.toUTC(), u"ddd, d MMM yyyy HH:mm:ss '+0000'"_qs).toLatin1());
    else
        AddHeader(header, "Date", TransportField(message.transportHeaders, "Date"));
    const auto identifier = [](const QString& id) {
        const QString trimmed = id.trimmed();
        return trimmed.isEmpty() || trimmed.startsWith(u'<') ? trimmed.toUtf8()
                                                             : '<' + trimmed.toUtf8() + '>';
    };
    AddHeader(header, "Message-ID", identifier(message.messageId));
    AddHeader(header, "In-Reply-To", identifier(message.inReplyTo));
    header += QByteArray("MIME-Version: 1.0") + kCrlf;
    return header;
}

} // namespace

namespace {

struct BuiltParts {
    bool hasBody = false;
    Part content;
    QList<Part> attached;
};

BuiltParts BuildParts(const MapiMessage& message)
{
    BuiltParts built;
    Body body = ChooseBody(message);
    if (body.html) {
        body.text = WithFieldsHtml(message, body.text);
    } else if (!message.extraFields.isEmpty()) {
        body.text = FieldsText(message) + body.text;
    }
    built.hasBody = !body.text.trimmed().isEmpty();
    built.content = TextPart(body.html ? "html" : "plain", body.text);

    QList<Part> related;
    int number = 0;
    for (const MapiAttachment& attachment : message.attachments) {
        ++number;
        const bool picture =
            body.html && !attachment.embedded && !attachment.contentId.isEmpty() &&
            body.text.contains(u"cid:"_qs + NormalisedContentId(attachment.contentId), Qt::CaseInsensitive);
        if (picture)
            related.append(AttachmentPart(attachment, number, true));
        else
            built.attached.append(AttachmentPart(attachment, number, false));
    }
    if (!related.isEmpty()) {
        related.prepend(built.content);
        built.content = Multipart("related", related);
    }
    return built;
}

} // namespace

QByteArray BuildMimeMessage(const MapiMessage& message)
{
    BuiltParts built = BuildParts(message);
    Part content = built.content;
    if (!built.attached.isEmpty()) {
        built.attached.prepend(content);
        content = Multipart("mixed", built.attached);
    }
    return HeaderLines(message) + content.header + kCrlf + content.body;
}

QByteArray BuildMimeBodyPart(const MapiMessage& message)
{
    const BuiltParts built = BuildParts(message);
    return built.hasBody ? built.content.bytes() : QByteArray();
}

QList<QByteArray> BuildMimeAttachmentParts(const MapiMessage& message)
{
    QList<QByteArray> parts;
    for (const Part& part : BuildParts(message).attached)
        parts.append(part.bytes());
    return parts;
}
