#pragma once

#include "attachments.h"

#include <QString>
#include <QStringList>

class OfficeEngine;

// How an attachment is laid out, told from its first bytes before its name
// or declared type, which senders get wrong.
enum class AttachmentKind { Pdf, Picture, TiffPicture, Text, Html, Message, Office, Unknown };
AttachmentKind KindOf(const MailAttachment& attachment);

// Lays each attachment out as PDF in the work folder, for the renderer to
// put after the message's own pages: PDFs as they are (checked by poppler),
// pictures fitted to a page of our own and text, HTML and attached messages
// (with their own header block) by the page engine, office documents by
// LibreOffice, both in the office host. An attachment that cannot be laid out
// gets a page of our own that says so, with its name, type and size, so it
// never silently disappears. Nothing in an attachment is opened by any other
// program, and the page engine fetches nothing.
class AttachmentPages {
public:
    AttachmentPages(OfficeEngine& engine, QString workFolder, QString baseName);

    // One PDF per attachment, in order. Throws std::runtime_error only when
    // not even the notice page can be made.
    QStringList layOut(const QList<MailAttachment>& attachments);

    // Every work file made so far, for the caller to remove.
    const QStringList& workFiles() const { return m_workFiles; }

private:
    QString layOutOne(const MailAttachment& attachment, int number);
    QString noticePage(const MailAttachment& attachment, const QString& reason, int number);
    QString workPath(int number, const QString& suffix);
    void engineToPdf(const QString& documentPath, const QString& pdfPath);

    OfficeEngine& m_engine;
    QString m_workFolder;
    QString m_baseName;
    QStringList m_workFiles;
};
