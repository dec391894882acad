// GLib's headers use "signals" as a name, which Qt defines as a keyword: they
// come first.
#include <gmime/gmime.h>

#include "messagefields.h"

#include "mimeparts.h"

namespace {

QString Owned(char* text)
{
    const QString value = text ? QString::fromUtf8(text).trimmed() : QString();
    g_free(text);
    return value;
}

QString Addresses(InternetAddressList* list)
{
    if (!list || internet_address_list_length(list) == 0)
        return {};
    return Owned(internet_address_list_to_string(list, nullptr, FALSE));
}

QString Formatted(GDateTime* date, const char* format)
{
    return date ? Owned(g_date_time_format(date, format)) : QString();
}

QString HeaderText(GMimeMessage* message, const char* name)
{
    const char* value = g_mime_object_get_header(GMIME_OBJECT(message), name);
    return value ? QString::fromUtf8(value).simplified() : QString();
}

} // namespace

MessageFields ReadMessageFields(const QByteArray& messageBytes)
{
    MessageFields fields;
    const QByteArray blanked = WithHeaderZeroBytesBlanked(messageBytes);
    const QByteArray bytes = blanked.mid(LeadingBlankCount(blanked));
    if (bytes.isEmpty() || LooksBinary(bytes))
        return fields;
    InitGMime();
    GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.constData(), gsize(bytes.size())));
    GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GObjectPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message)
        return fields;
    GMimeMessage* m = message.get();
    fields.from = Addresses(g_mime_message_get_from(m));
    fields.to = Addresses(g_mime_message_get_to(m));
    fields.cc = Addresses(g_mime_message_get_cc(m));
    fields.bcc = Addresses(g_mime_message_get_bcc(m));
    if (const char* subject = g_mime_message_get_subject(m))
        fields.subject = QString::fromUtf8(subject).simplified();
    fields.date = HeaderText(m, "Date");
    GDateTime* date = g_mime_message_get_date(m);
    fields.dateSent = Formatted(date, "%m/%d/%Y");
    fields.timeSent = Formatted(date, "%H:%M:%S %z");
    if (const char* id = g_mime_message_get_message_id(m))
        fields.messageId = QStringLiteral("<%1>").arg(QString::fromUtf8(id).trimmed());
    fields.inReplyTo = HeaderText(m, "In-Reply-To");
    return fields;
}
