#include "mhtmlreader.h"

#include "mimeparts.h"
#include "textdecoding.h"

#include <QFile>
#include <QFileInfo>

// GLib names a struct member "signals", which Qt defines as a keyword.
#undef signals
#include <gmime/gmime.h>
#define signals Q_SIGNALS

#include <stdexcept>

namespace {

std::runtime_error failure(const QString& text)
{
    return std::runtime_error(text.toStdString());
}

// Every part that the page can name by Content-ID or Content-Location. Mail
// clients refer across multipart boundaries, so the whole message is
// searched, not only the related part holding the page.
void collectParts(GMimeObject* object, GMimePart* shown, MailPage& page, int depth = 0)
{
    if (!object || depth > 64)
        return;
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner)
            collectParts(g_mime_message_get_mime_part(inner), shown, page, depth + 1);
        return;
    }
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i)
            collectParts(g_mime_multipart_get_part(multipart, i), shown, page, depth + 1);
        return;
    }
    if (!GMIME_IS_PART(object) || GMIME_PART(object) == shown)
        return;
    const char* id = g_mime_object_get_content_id(object);
    const char* location = g_mime_part_get_content_location(GMIME_PART(object));
    if (!id && !location)
        return;
    const qsizetype index = page.parts.size();
    page.parts.append({MimeTypeOf(object), DecodedContent(GMIME_PART(object))});
    if (id)
        page.byContentId.insert(NormalisedContentId(QString::fromUtf8(id)).toLower(), index);
    if (location)
        page.byLocation.insert(QString::fromUtf8(location).trimmed(), index);
}

QByteArray readWhole(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw failure(QStringLiteral("the page %1 cannot be read: %2").arg(path, file.errorString()));
    // Read to its size: a growing buffer would briefly take twice a large page.
    QByteArray bytes(file.size(), Qt::Uninitialized);
    qint64 got = 0;
    while (got < bytes.size()) {
        const qint64 chunk = file.read(bytes.data() + got, bytes.size() - got);
        if (chunk < 0)
            throw failure(QStringLiteral("the page %1 cannot be read: %2").arg(path, file.errorString()));
        if (chunk == 0)
            break;
        got += chunk;
    }
    bytes.truncate(got);
    return bytes;
}

} // namespace

const MailPart* MailPage::partWithContentId(const QString& id) const
{
    const auto it = byContentId.constFind(NormalisedContentId(id).toLower());
    return it == byContentId.constEnd() ? nullptr : &parts.at(*it);
}

const MailPart* MailPage::partAtLocation(const QString& location) const
{
    const auto it = byLocation.constFind(location);
    return it == byLocation.constEnd() ? nullptr : &parts.at(*it);
}

bool LooksLikeMhtml(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("mht") || suffix == QLatin1String("mhtml") || suffix == QLatin1String("eml"))
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(8192);
    const qsizetype blank = head.indexOf("\n\n") >= 0 ? head.indexOf("\n\n") : head.indexOf("\r\n\r\n");
    const QByteArray headers = blank >= 0 ? head.left(blank) : head;
    return headers.startsWith("MIME-Version:") || headers.contains("\nMIME-Version:") ||
           headers.contains("\nmime-version:");
}

QString PlainTextToHtml(const QString& text)
{
    return QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body>"
                          "<pre style=\"white-space: pre-wrap; overflow-wrap: anywhere; "
                          "font-family: monospace\">") +
           text.toHtmlEscaped() + QStringLiteral("</pre></body></html>");
}

MailPage ReadMhtmlPage(const QString& mhtPath)
{
    InitGMime();
    QByteArray bytes = readWhole(mhtPath);
    // A message saved as two-byte text is read as the text it holds; GMime
    // parses bytes, and every declared charset then stands as written.
    if (StartsWithUtf16Mark(bytes))
        bytes = DecodeText(bytes).toUtf8();
    bytes = WithHeaderZeroBytesBlanked(std::move(bytes));
    bytes.remove(0, LeadingBlankCount(bytes));
    if (LooksBinary(bytes))
        throw failure(QStringLiteral("the page %1 is not a MIME document").arg(mhtPath));

    // Parts stay windows on the bytes: a large attachment that the page
    // does not name costs nothing more.
    const BorrowedStream stream(bytes);
    GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_persist_stream(parser.get(), TRUE);
    GObjectPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    GMimeObject* body = message ? g_mime_message_get_mime_part(message.get()) : nullptr;

    // Text without MIME structure is shown as text, and a message without a
    // part that can be shown (only attachments, only headers) as an empty
    // page, as a reader would; neither is worth failing the message for.
    MailPage page;
    QString html;
    if (!body) {
        html = PlainTextToHtml(DecodeText(bytes));
    } else if (GMimePart* shown = DisplayedPart(body)) {
        collectParts(body, shown, page);
        const bool isHtml = HasContentType(GMIME_OBJECT(shown), "text", "html");
        const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(shown), "charset");
        const QString text =
            DecodeText(DecodedContent(shown), charset, isHtml ? TextKind::Html : TextKind::Plain);
        html = isHtml ? text : PlainTextToHtml(text);
    } else {
        html = QStringLiteral("<!DOCTYPE html><html><body></body></html>");
    }
    page.html = html.toUtf8();
    return page;
}

MailPage ReadHtmlPage(const QString& htmlPath)
{
    MailPage page;
    page.html = DecodeText(readWhole(htmlPath), {}, TextKind::Html).toUtf8();
    return page;
}
