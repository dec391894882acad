#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// What a message carries besides the text a reader shows, read with GMime.
struct MailAttachment {
    // As the message names it (encoded words and RFC 2231 undone); a name of
    // our own ("attachment 2.png") when it names none.
    QString fileName;
    // The declared type, lower case ("application/pdf").
    QByteArray mimeType;
    // The declared charset of a text part; empty when none is declared.
    QByteArray charset;
    // The content with its transfer encoding undone; for an attached message
    // the whole message.
    QByteArray content;
    bool isMessage = false;
};

// The attachments in the order of the message: parts marked as attachments,
// attached messages (whose own parts stay theirs), and any other part that
// the page a reader shows does not take in. Not attachments: the shown part,
// its alternatives, pictures and style sheets of a related page, inline text
// without a name (readers run it on below the text), signatures. Text that
// is no MIME message has none.
QList<MailAttachment> ReadAttachments(const QByteArray& messageBytes);
QList<MailAttachment> ReadAttachmentsOfFile(const QString& messagePath);

// "120 KB" as mail readers count: bytes below 1 KB, whole KB below 1 MB
// (never 0 KB), MB with one decimal above.
QString SizeText(qint64 bytes);

// "report.pdf (120 KB)".
QString Described(const MailAttachment& attachment);
