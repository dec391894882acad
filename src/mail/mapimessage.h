#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>

// An Outlook item as the stores that hold one describe it (an MSG file, a
// PST folder, a TNEF winmail.dat): named fields filled from MAPI properties,
// in one place, so every store reads a property the same way. The item is
// then written as a MIME message (mimebuilder.h) and converted like an .eml.

struct MapiMessage;

struct MapiAttachment {
    // The long name, else the short name, else the display name; empty when
    // the store names none (the MIME writer then calls it "attachment N").
    QString fileName;
    // PR_ATTACH_MIME_TAG, lower case; empty when the store names none (the
    // MIME writer then guesses it from the name).
    QString mimeType;
    // For cid: pictures in an HTML body.
    QString contentId;
    // An inline picture, not listed by a reader as an attachment.
    bool hidden = false;
    // 1 by value, 5 an embedded message, 6 OLE ...
    int method = 1;
    // Which name fileName holds: 3 long, 2 short, 1 display name, 0 none;
    // a better one read later replaces a worse one read first.
    int nameRank = 0;
    // The bytes (empty when `embedded` is set).
    QByteArray data;
    // An attached message.
    std::shared_ptr<MapiMessage> embedded;
};

struct MapiMessage {
    // IPM.Note, IPM.Appointment, IPM.Contact, ...
    QString messageClass;
    QString subject, senderName, senderAddress;
    // "Name <addr>" each, from the recipient table.
    QStringList to, cc, bcc;
    // PR_DISPLAY_TO/CC/BCC: names only, "; " separated; shown when the item
    // has no recipient table.
    QString displayTo, displayCc, displayBcc;
    // PR_CLIENT_SUBMIT_TIME, else the delivery time.
    QDateTime sent;
    QDateTime delivered;
    QString messageId, inReplyTo;
    // PR_TRANSPORT_MESSAGE_HEADERS when present: the header of the message as
    // it arrived; its From, To, Cc and Date stand in for fields the item lacks.
    QByteArray transportHeaders;
    QString plainBody;
    QByteArray htmlBody;
    // The charset of htmlBody; empty when unknown (the internet code page's).
    QString htmlCharset;
    // PR_RTF_COMPRESSED as stored.
    QByteArray compressedRtf;
    // PR_INTERNET_CPID, 0 when absent.
    int internetCodePage = 0;
    // Calendar, contact and task fields as a reader shows them
    // ("Location", "Start", ...), in the order they were read.
    QList<QPair<QString, QString>> extraFields;
    QList<MapiAttachment> attachments;
};

// The one mapping of MAPI property tags onto the fields above, shared by the
// PST, MSG and TNEF readers. `type` is the MAPI property type (0x001F UTF-16LE,
// 0x001E 8-bit text in `codePage`, 0x0102 binary, 0x0040 FILETIME, 0x0003
// int32, 0x000B bool ...); `value` the raw stored bytes (for fixed-size types
// the little-endian value). Unknown tags and values of an unexpected type
// are ignored.
void ApplyMapiProperty(MapiMessage& message, quint16 id, quint16 type, const QByteArray& value, int codePage);
void ApplyMapiAttachmentProperty(MapiAttachment& attachment, quint16 id, quint16 type,
                                 const QByteArray& value, int codePage);

// Recipients come from the recipient table: type 1 To, 2 Cc, 3 Bcc (others,
// such as the originator, are left out).
void AddMapiRecipient(MapiMessage& message, int recipientType, const QString& name, const QString& address);

// The text of a string property: UTF-16LE for 0x001F, `codePage` (a Windows
// code page number; 0 or unknown: Windows-1252) for 0x001E, a trailing NUL
// dropped. Empty for other types.
QString MapiString(quint16 type, const QByteArray& value, int codePage);

// The charset name a Windows code page number stands for ("windows-1252"
// for 0).
QByteArray MapiCodePageCharset(int codePage);

// A FILETIME (100 ns ticks since 1601, little-endian) as UTC; invalid for
// zero, too short or out of range values.
QDateTime MapiFileTime(const QByteArray& value);

namespace MapiType {
inline constexpr quint16 Int16 = 0x0002;
inline constexpr quint16 Int32 = 0x0003;
inline constexpr quint16 Double = 0x0005;
inline constexpr quint16 Bool = 0x000B;
inline constexpr quint16 Object = 0x000D;
inline constexpr quint16 Int64 = 0x0014;
inline constexpr quint16 String8 = 0x001E;
inline constexpr quint16 Unicode = 0x001F;
inline constexpr quint16 Time = 0x0040;
inline constexpr quint16 Binary = 0x0102;
} // namespace MapiType
