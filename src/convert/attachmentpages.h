#pragma once

#include "attachments.h"

#include <QString>
#include <QStringList>

class OfficeEngine;

// Has the engine lay the document out and save its pages as `pdfPath` and,
// when `textPath` is not empty, its text there. Throws std::runtime_error
// (OfficeError) with the engine's reason; no PDF is left behind then.
void EngineToPdf(OfficeEngine& engine, const QString& documentPath, const QString& pdfPath,
                 const QString& textPath = {});
// Has the engine write only the text of the document (a workbook kept as it
// came) as `textPath`, UTF-8. Throws std::runtime_error (OfficeError) with
// the engine's reason.
void EngineToText(OfficeEngine& engine, const QString& documentPath, const QString& textPath);

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

    // One attachment, `number` naming its work files: its pages, or the
    // notice page and why. The engine writes the text of what it lays out
    // (text, HTML, office documents) to `textPath` when it is given. Throws
    // std::runtime_error only when not even the notice page can be made.
    struct Laid {
        QString pdf;
        QString notice;
    };
    Laid layOutAttachment(const MailAttachment& attachment, int number, const QString& textPath = {});

    // Every work file made so far, for the caller to remove.
    const QStringList& workFiles() const { return m_workFiles; }

private:
    QString layOutOne(const MailAttachment& attachment, int number, const QString& textPath);
    QString noticePage(const MailAttachment& attachment, const QString& reason, int number);
    QString workPath(int number, const QString& suffix);
    void engineToPdf(const QString& documentPath, const QString& pdfPath, const QString& textPath = {});

    OfficeEngine& m_engine;
    QString m_workFolder;
    QString m_baseName;
    QStringList m_workFiles;
};
