#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// What a message carries besides the text a reader shows. An attachment's
// content is never held in memory: it is decoded as a stream into a file of
// the run's work folder (a 200 MB attachment costs 200 MB of disk, not of
// memory), and everything after the reading (the header block's line, the
// pages, a copy of the original) works from that file.
//
// A reader of a store that is no MIME message (a PST folder, a TNEF
// winmail.dat, an MSG file) makes attachments of the same shape: it asks a
// MailAttachments for the next content path, writes the attachment's bytes
// there as it reads them, a block at a time, and appends the attachment with
// that path, its size and what the store says of its name and type. The file
// then belongs to the MailAttachments, which removes it, whether or not it
// was appended.
struct MailAttachment {
    // As the message names it (encoded words and RFC 2231 undone); a name of
    // our own ("attachment 2.png") when it names none.
    QString fileName;
    // The declared type, lower case ("application/pdf").
    QByteArray mimeType;
    // The declared charset of a text part; empty when none is declared.
    QByteArray charset;
    bool isMessage = false;
    // The content with its transfer encoding undone (for an attached message
    // the whole message), and its size in bytes.
    QString contentPath;
    qint64 size = 0;

    // How many first bytes the kind of a content is told from.
    static constexpr qint64 kHeadSize = 8192;
    // The first bytes of the content, fewer when it is shorter; empty when
    // the file cannot be read.
    QByteArray head(qint64 count = kHeadSize) const;
};

// The attachments of one message, in its order, and the content files they
// were decoded into: "<stem>.att<N>.content" in the work folder, all removed
// when this goes. Moves, never copies, so one owner removes them.
class MailAttachments {
public:
    MailAttachments(QString workFolder, QString stem);
    ~MailAttachments();
    MailAttachments(MailAttachments&& other) noexcept;
    MailAttachments& operator=(MailAttachments&& other) noexcept;
    MailAttachments(const MailAttachments&) = delete;
    MailAttachments& operator=(const MailAttachments&) = delete;

    // Where the next attachment's content is written; from now on removed
    // with the others.
    QString nextContentPath();
    void append(MailAttachment attachment) { m_list.append(std::move(attachment)); }

    const QList<MailAttachment>& list() const { return m_list; }
    qsizetype size() const { return m_list.size(); }
    bool isEmpty() const { return m_list.isEmpty(); }
    const MailAttachment& operator[](qsizetype i) const { return m_list[i]; }
    QList<MailAttachment>::const_iterator begin() const { return m_list.cbegin(); }
    QList<MailAttachment>::const_iterator end() const { return m_list.cend(); }

private:
    void removeFiles();

    QString m_workFolder;
    QString m_stem;
    QStringList m_files;
    QList<MailAttachment> m_list;
};

// The attachments of the message file, in the order of the message: parts
// marked as attachments, attached messages (whose own parts stay theirs),
// and any other part that the page a reader shows does not take in. Not
// attachments: the shown part, its alternatives, pictures and style sheets of
// a related page, inline text without a name (readers run it on below the
// text), signatures. Text that is no MIME message, a file that cannot be
// read and binary data have none. The message is parsed from the file, not
// read into memory. Throws std::runtime_error when a content file cannot be
// written (the work folder's disk full): an attachment left out would go
// unseen.
MailAttachments ReadAttachments(const QString& messagePath, const QString& workFolder, const QString& stem);

// "120 KB" as mail readers count: bytes below 1 KB, whole KB below 1 MB
// (never 0 KB), MB with one decimal above.
QString SizeText(qint64 bytes);

// "report.pdf (120 KB)".
QString Described(const MailAttachment& attachment);
