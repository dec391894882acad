#include "mapimessage.h"

#include "textdecoding.h"

#include <QTimeZone>
#include <QtEndian>

#include <optional>

namespace {

enum : quint16 {
    kMessageClass = 0x001A,
    kSubject = 0x0037,
    kSubmitTime = 0x0039,
    kSentRepresentingName = 0x0042,
    kStartDate = 0x0060,
    kEndDate = 0x0061,
    kSentRepresentingAddress = 0x0065,
    kTransportHeaders = 0x007D,
    kSenderName = 0x0C1A,
    kSenderAddress = 0x0C1F,
    kDisplayBcc = 0x0E02,
    kDisplayCc = 0x0E03,
    kDisplayTo = 0x0E04,
    kDeliveryTime = 0x0E06,
    kBody = 0x1000,
    kRtfCompressed = 0x1009,
    kHtml = 0x1013,
    kMessageId = 0x1035,
    kInReplyTo = 0x1042,
    kDisplayName = 0x3001,
    kAttachData = 0x3701,
    kAttachShortName = 0x3704,
    kAttachMethod = 0x3705,
    kAttachLongName = 0x3707,
    kAttachMimeTag = 0x370E,
    kAttachContentId = 0x3712,
    kGivenName = 0x3A06,
    kBusinessPhone = 0x3A08,
    kHomePhone = 0x3A09,
    kSurname = 0x3A11,
    kCompany = 0x3A16,
    kJobTitle = 0x3A17,
    kMobilePhone = 0x3A1C,
    kInternetCodePage = 0x3FDE,
    kSenderSmtpAddress = 0x5D01,
    kAttachHidden = 0x7FFE,
};

bool IsString(quint16 type)
{
    return type == MapiType::Unicode || type == MapiType::String8;
}

std::optional<qint32> MapiInt(quint16 type, const QByteArray& value)
{
    if (type == MapiType::Int32 && value.size() >= 4)
        return qFromLittleEndian<qint32>(value.constData());
    if ((type == MapiType::Int16 || type == MapiType::Bool) && value.size() >= 2)
        return qFromLittleEndian<qint16>(value.constData());
    if (type == MapiType::Bool && value.size() == 1)
        return value[0];
    return std::nullopt;
}

void SetIfEmpty(QString& field, const QString& value)
{
    if (field.isEmpty())
        field = value;
}

// Exchange items name their sender by an X.500 path ("/O=ORG/OU=.../CN=...")
// where an internet address is expected; the SMTP address wins over it.
bool IsInternetAddress(const QString& address)
{
    return address.contains(u'@') && !address.startsWith(u'/');
}

void SetSenderAddress(MapiMessage& message, quint16 id, const QString& address)
{
    if (address.isEmpty())
        return;
    if (id == kSenderSmtpAddress || message.senderAddress.isEmpty() ||
        (!IsInternetAddress(message.senderAddress) && IsInternetAddress(address)))
        message.senderAddress = address;
}

void AddExtraField(MapiMessage& message, const QString& label, const QString& value)
{
    if (!value.isEmpty())
        message.extraFields.append({label, value});
}

QString FieldTime(const QDateTime& time)
{
    return time.isValid() ? time.toString(u"ddd, d MMM yyyy HH:mm 'UTC'"_qs) : QString();
}

} // namespace

QString MapiString(quint16 type, const QByteArray& value, int codePage)
{
    QString text;
    if (type == MapiType::Unicode) {
        const qsizetype units = value.size() / 2;
        text.resize(units);
        for (qsizetype i = 0; i < units; ++i)
            text[i] = QChar(qFromLittleEndian<quint16>(value.constData() + 2 * i));
    } else if (type == MapiType::String8) {
        text = DecodeText(value, MapiCodePageCharset(codePage));
    }
    while (text.endsWith(QChar(0)))
        text.chop(1);
    return text;
}

QByteArray MapiCodePageCharset(int codePage)
{
    switch (codePage) {
    case 0:
        return "windows-1252";
    case 65001:
        return "utf-8";
    case 20127:
        return "us-ascii";
    case 932:
        return "shift_jis";
    case 936:
        return "gbk";
    case 949:
        return "euc-kr";
    case 950:
        return "big5";
    case 20866:
        return "koi8-r";
    case 21866:
        return "koi8-u";
    case 50220:
    case 50221:
    case 50222:
        return "iso-2022-jp";
    case 51932:
        return "euc-jp";
    case 52936:
        return "hz-gb-2312";
    case 54936:
        return "gb18030";
    default:
        break;
    }
    if (codePage >= 28591 && codePage <= 28606)
        return "iso-8859-" + QByteArray::number(codePage - 28590);
    if ((codePage >= 1250 && codePage <= 1258) || codePage == 874)
        return "windows-" + QByteArray::number(codePage);
    return "cp" + QByteArray::number(codePage);
}

QDateTime MapiFileTime(const QByteArray& value)
{
    if (value.size() < 8)
        return {};
    const quint64 ticks = qFromLittleEndian<quint64>(value.constData());
    // 1601-01-01 to 1970-01-01 in 100 ns ticks.
    constexpr quint64 kUnixEpoch = 116444736000000000ULL;
    // Past the year 9999 no reader shows a date.
    constexpr quint64 kLatest = kUnixEpoch + 253402300799ULL * 10000000ULL;
    if (ticks == 0 || ticks < kUnixEpoch / 2 || ticks > kLatest)
        return {};
    const qint64 msecs = (qint64(ticks) - qint64(kUnixEpoch)) / 10000;
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

void ApplyMapiProperty(MapiMessage& message, quint16 id, quint16 type, const QByteArray& value, int codePage)
{
    const QString text = IsString(type) ? MapiString(type, value, codePage) : QString();
    switch (id) {
    case kMessageClass:
        message.messageClass = text;
        break;
    case kSubject:
        message.subject = text;
        break;
    case kSenderName:
        if (!text.isEmpty())
            message.senderName = text;
        break;
    case kSentRepresentingName:
        SetIfEmpty(message.senderName, text);
        break;
    case kSenderAddress:
    case kSenderSmtpAddress:
    case kSentRepresentingAddress:
        SetSenderAddress(message, id, text);
        break;
    case kDisplayTo:
        message.displayTo = text;
        break;
    case kDisplayCc:
        message.displayCc = text;
        break;
    case kDisplayBcc:
        message.displayBcc = text;
        break;
    case kSubmitTime:
        if (type == MapiType::Time)
            message.sent = MapiFileTime(value);
        break;
    case kDeliveryTime:
        if (type == MapiType::Time)
            message.delivered = MapiFileTime(value);
        break;
    case kMessageId:
        message.messageId = text;
        break;
    case kInReplyTo:
        message.inReplyTo = text;
        break;
    case kTransportHeaders:
        message.transportHeaders = text.toUtf8();
        break;
    case kBody:
        message.plainBody = text;
        break;
    case kHtml:
        if (type == MapiType::Binary) {
            message.htmlBody = value;
        } else if (IsString(type)) {
            message.htmlBody = text.toUtf8();
            message.htmlCharset = u"utf-8"_qs;
        }
        break;
    case kRtfCompressed:
        if (type == MapiType::Binary)
            message.compressedRtf = value;
        break;
    case kInternetCodePage:
        message.internetCodePage = MapiInt(type, value).value_or(0);
        break;
    case kStartDate:
        if (type == MapiType::Time)
            AddExtraField(message, u"Start"_qs, FieldTime(MapiFileTime(value)));
        break;
    case kEndDate:
        if (type == MapiType::Time)
            AddExtraField(message, u"End"_qs, FieldTime(MapiFileTime(value)));
        break;
    case kDisplayName:
        if (message.messageClass.startsWith(u"IPM.Contact"_qs, Qt::CaseInsensitive))
            AddExtraField(message, u"Name"_qs, text);
        break;
    case kGivenName:
        AddExtraField(message, u"Given name"_qs, text);
        break;
    case kSurname:
        AddExtraField(message, u"Surname"_qs, text);
        break;
    case kCompany:
        AddExtraField(message, u"Company"_qs, text);
        break;
    case kJobTitle:
        AddExtraField(message, u"Job title"_qs, text);
        break;
    case kBusinessPhone:
        AddExtraField(message, u"Business phone"_qs, text);
        break;
    case kHomePhone:
        AddExtraField(message, u"Home phone"_qs, text);
        break;
    case kMobilePhone:
        AddExtraField(message, u"Mobile phone"_qs, text);
        break;
    default:
        break;
    }
}

void ApplyMapiAttachmentProperty(MapiAttachment& attachment, quint16 id, quint16 type,
                                 const QByteArray& value, int codePage)
{
    const QString text = IsString(type) ? MapiString(type, value, codePage) : QString();
    switch (id) {
    case kAttachLongName:
        if (!text.isEmpty()) {
            attachment.fileName = text;
            attachment.nameRank = 3;
        }
        break;
    case kAttachShortName:
        if (!text.isEmpty() && attachment.nameRank < 2) {
            attachment.fileName = text;
            attachment.nameRank = 2;
        }
        break;
    case kDisplayName:
        if (!text.isEmpty() && attachment.nameRank < 1) {
            attachment.fileName = text;
            attachment.nameRank = 1;
        }
        break;
    case kAttachMimeTag:
        attachment.mimeType = text.trimmed().toLower();
        break;
    case kAttachContentId:
        attachment.contentId = text.trimmed();
        break;
    case kAttachData:
        if (type == MapiType::Binary)
            attachment.data = value;
        break;
    case kAttachMethod:
        attachment.method = MapiInt(type, value).value_or(attachment.method);
        break;
    case kAttachHidden:
        attachment.hidden = MapiInt(type, value).value_or(0) != 0;
        break;
    default:
        break;
    }
}

void AddMapiRecipient(MapiMessage& message, int recipientType, const QString& name, const QString& address)
{
    QStringList* list = recipientType == 1   ? &message.to
                        : recipientType == 2 ? &message.cc
                        : recipientType == 3 ? &message.bcc
                                             : nullptr;
    if (!list)
        return;
    const QString trimmedName = name.trimmed();
    const QString trimmedAddress = address.trimmed();
    if (trimmedAddress.isEmpty() || trimmedAddress == trimmedName)
        list->append(trimmedName);
    else if (trimmedName.isEmpty())
        list->append(trimmedAddress);
    else
        list->append(trimmedName + u" <"_qs + trimmedAddress + u'>');
}
