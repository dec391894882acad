#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QString>

// Messages of our own for the imaging options: a message with a Cc line and
// attachments of every kind a production meets. Needs a QGuiApplication for
// the PDF's text.
namespace imagingmessages {

inline QByteArray Base64Lines(const QByteArray& bytes)
{
    const QByteArray encoded = bytes.toBase64();
    QByteArray lines;
    for (qsizetype at = 0; at < encoded.size(); at += 76)
        lines += encoded.mid(at, 76) + "\r\n";
    return lines;
}

// One A4 page with `words` on it, as a PDF.
inline QByteArray PdfWithText(const QString& words)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setResolution(72);
    QPainter painter(&writer);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(14);
    painter.setFont(font);
    painter.drawText(QPointF(72, 144), words);
    painter.end();
    return bytes;
}

inline QByteArray RedPng(int width = 300, int height = 200)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(220, 20, 20));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Bytes no program here reads.
inline QByteArray UnknownBytes()
{
    QByteArray bytes("QMX\x01\x00\x07", 6);
    for (int i = 0; i < 2000; ++i)
        bytes += char(i * 37 % 256);
    return bytes;
}

struct Attachment {
    QByteArray type;
    QByteArray fileName; // empty: no name
    QByteArray content;
};

inline QByteArray AttachedPart(const Attachment& attachment)
{
    QByteArray part = "Content-Type: " + attachment.type;
    if (!attachment.fileName.isEmpty())
        part += "; name=\"" + attachment.fileName + "\"";
    part += "\r\nContent-Disposition: attachment";
    if (!attachment.fileName.isEmpty())
        part += "; filename=\"" + attachment.fileName + "\"";
    return part + "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Base64Lines(attachment.content);
}

inline QByteArray InnerMessage()
{
    return "From: Dana Dell <dana@example.org>\r\nTo: Ann Archer <ann@example.org>\r\n"
           "Subject: Earlier thread\r\nDate: Mon, 1 Apr 2024 08:00:00 +0000\r\n\r\n"
           "Words of the attached message.\r\n";
}

// From Ann to Bob with Carol in Cc, and after the text the attachments given,
// then an attached message and a file of a type nobody reads.
inline QByteArray MessageWithAttachments(const QList<Attachment>& attachments)
{
    QByteArray message = "From: Ann Archer <ann@example.org>\r\nTo: Bob Baker <bob@example.org>\r\n"
                         "Cc: Carol Clerk <carol@example.org>,\r\n Eve Even <eve@example.org>\r\n"
                         "Subject: Figures for the quarter\r\nDate: Tue, 2 Apr 2024 09:30:00 +0000\r\n"
                         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"MIX\"\r\n\r\n"
                         "--MIX\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
                         "Please find the figures attached.\r\n";
    for (const Attachment& attachment : attachments)
        message += "--MIX\r\n" + AttachedPart(attachment);
    message +=
        "--MIX\r\nContent-Type: message/rfc822\r\nContent-Disposition: attachment\r\n\r\n" + InnerMessage();
    message += "--MIX\r\n" + AttachedPart({"application/x-quillmark-sample", "data.qmx", UnknownBytes()});
    return message + "--MIX--\r\n";
}

inline bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace imagingmessages
