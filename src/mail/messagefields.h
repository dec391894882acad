#pragma once

#include <QByteArray>
#include <QString>

// The fields of a message's own header that a production lists, decoded
// (encoded words undone) as a reader shows them. Empty where the message has
// no such field.
struct MessageFields {
    QString from;
    QString to;
    QString cc;
    QString bcc;
    QString subject;
    // The Date field as it stands.
    QString date;
    // In the sender's own zone, as the Date field gives it: MM/DD/YYYY, and
    // HH:MM:SS followed by the offset (+0200).
    QString dateSent;
    QString timeSent;
    QString messageId;
    QString inReplyTo;
};

// Read with GMime; a text that is no message has no fields.
MessageFields ReadMessageFields(const QByteArray& messageBytes);
