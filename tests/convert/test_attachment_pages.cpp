#include "../host/officetestsupport.h"
#include "attachmentpages.h"
#include "attachments.h"
#include "imagingmessages.h"
#include "messageconverter.h"
#include "officeengine.h"
#include "officehostclient.h"
#include "renderoptions.h"
#include "scripteddialogs.h"
#include "stepguard.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <tiffio.h>

using imagingmessages::Attachment;

// The pages of attachments with the real office host: poppler, the page
// engine and LibreOffice, on a message of our own.
class TestAttachmentPages : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_docx;

    static bool HasLibreOffice() { return QFileInfo::exists(QStringLiteral("/usr/lib/libreoffice/program")); }

    // A DOCX made by LibreOffice itself from a small RTF.
    QByteArray MakeDocx()
    {
        const QString rtf = m_dir.filePath(QStringLiteral("notes.rtf"));
        const QString docx = m_dir.filePath(QStringLiteral("notes.docx"));
        if (!imagingmessages::WriteFile(
                rtf, "{\\rtf1\\ansi{\\fonttbl{\\f0 Liberation Serif;}}\\f0 Words of the DOCX document\\par}"))
            return {};
        OfficeHostClient& host = SharedOfficeHost();
        const int handle =
            host.call({{QStringLiteral("op"), QStringLiteral("open")}, {QStringLiteral("path"), rtf}})
                .value(QStringLiteral("handle"))
                .toInt();
        host.call({{QStringLiteral("op"), QStringLiteral("save")},
                   {QStringLiteral("handle"), handle},
                   {QStringLiteral("path"), docx},
                   {QStringLiteral("format"), 12}});
        host.call({{QStringLiteral("op"), QStringLiteral("close")}, {QStringLiteral("handle"), handle}});
        return officetest::readFile(docx);
    }

    QByteArray Message() const
    {
        QList<Attachment> attachments = {
            {"application/pdf", "report.pdf",
             imagingmessages::PdfWithText(QStringLiteral("Quarterly numbers PDF"))},
            {"image/png", "chart.png", imagingmessages::RedPng()}};
        if (!m_docx.isEmpty())
            attachments.append({"application/vnd.openxmlformats-officedocument.wordprocessingml.document",
                                "notes.docx", m_docx});
        attachments.append({"application/pdf", "broken.pdf", "%PDF-1.4 nothing follows"});
        return imagingmessages::MessageWithAttachments(attachments);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        SetOfficeHostProgram(QStringLiteral(QM_PROGRAM_DIR "/quillmark-office"));
        if (HasLibreOffice())
            m_docx = MakeDocx();
    }

    // Each attachment becomes pages of its own, in order, and those that
    // cannot be laid out say so with their name, type and size.
    void everyAttachmentGetsPages()
    {
        const QString work = m_dir.filePath(QStringLiteral("work"));
        QDir().mkpath(work);
        const QString message = m_dir.filePath(QStringLiteral("pages.eml"));
        QVERIFY(imagingmessages::WriteFile(message, Message()));
        const MailAttachments attachments = ReadAttachments(message, work, QStringLiteral("msg"));
        AttachmentPages pages(ProgramOfficeEngine(), work, QStringLiteral("msg"));

        const QStringList pdfs = pages.layOut(attachments.list());

        QCOMPARE(pdfs.size(), attachments.size());
        int at = 0;
        QVERIFY(officetest::readPdf(pdfs[at++]).text.contains(QStringLiteral("Quarterly numbers PDF")));
        const QImage picture = officetest::firstPageImage(pdfs[at++]);
        QVERIFY(officetest::pixelsNear(picture, QColor(220, 20, 20)) > 500);
        if (!m_docx.isEmpty())
            QVERIFY(
                officetest::readPdf(pdfs[at++]).text.contains(QStringLiteral("Words of the DOCX document")));
        const QString broken = officetest::readPdf(pdfs[at++]).text;
        QVERIFY2(broken.contains(QStringLiteral("Attachment not shown")) &&
                     broken.contains(QStringLiteral("broken.pdf")),
                 qPrintable(broken));
        QVERIFY(broken.contains(QStringLiteral("cannot be read as PDF")));
        // The attached message has a header block of its own.
        const QString inner = officetest::readPdf(pdfs[at++]).text;
        QVERIFY2(inner.contains(QStringLiteral("From: Dana Dell [dana@example.org]")), qPrintable(inner));
        QVERIFY(inner.contains(QStringLiteral("Subject: Earlier thread")));
        QVERIFY(inner.contains(QStringLiteral("Words of the attached message.")));
        const QString unknown = officetest::readPdf(pdfs[at++]).text;
        QVERIFY2(unknown.contains(QStringLiteral("data.qmx")), qPrintable(unknown));
        QVERIFY(unknown.contains(QStringLiteral("application/x-quillmark-sample")));
        QVERIFY(unknown.contains(QStringLiteral("2 KB")));
        for (const QString& file : pages.workFiles())
            QFile::remove(file);
    }

    // The whole message: its own page with Cc and the attachments named,
    // then every attachment's pages, in one TIFF; the work files go.
    void messageWithAttachmentsInOneTiff()
    {
        const QString message = m_dir.filePath(QStringLiteral("figures.eml"));
        QVERIFY(imagingmessages::WriteFile(message, Message()));
        const QString work = m_dir.filePath(QStringLiteral("run"));
        QDir().mkpath(work);
        MessageConverter converter(ProgramOfficeEngine(), QStringLiteral(QM_PROGRAM_DIR "/vexlo"), work);
        ImagingOptions options;
        options.render.dpi = 100;
        options.headerCc = true;
        options.headerAttachments = true;
        options.attachments = true;
        converter.setImagingOptions(options);
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, QStringLiteral("in Test.Run "));
        const QString output = m_dir.filePath(QStringLiteral("figures.tiff"));

        const MessageResult result =
            converter.convert(guard, message, FormWorkPaths(message, work), output, nullptr, 1);

        QVERIFY2(result.converted, qPrintable(result.reason));
        const int attachments = m_docx.isEmpty() ? 5 : 6;
        QCOMPARE(result.pages, 1 + attachments);
        QCOMPARE(result.outputPaths, QStringList{output});
        TIFF* tiff = TIFFOpen(QFile::encodeName(output).constData(), "r");
        QVERIFY(tiff);
        QList<int> samples;
        do {
            uint16_t count = 0;
            float resolution = 0;
            TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &count);
            TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &resolution);
            QCOMPARE(resolution, 100.0f);
            samples << count;
        } while (TIFFReadDirectory(tiff));
        TIFFClose(tiff);
        // Only the picture's page has colour.
        QCOMPARE(samples.size(), 1 + attachments);
        QCOMPARE(samples.count(3), 1);
        QCOMPARE(samples.at(2), 3);
        QCOMPARE(QDir(work).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".att")),
                 QStringList());
        QVERIFY2(dialogs.shown.isEmpty(), qPrintable(dialogs.shown.value(0).text));

        // The message's own page, laid out again by the same steps.
        const QString page = FormWorkPaths(message, work).rtfPath;
        QVERIFY(QFileInfo::exists(page));
        const QString text = officetest::readPdf(page).text;
        QVERIFY2(
            text.contains(QStringLiteral("Cc: Carol Clerk [carol@example.org], Eve Even [eve@example.org]")),
            qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("Attachments: report.pdf (")));
        QVERIFY(text.contains(QStringLiteral("chart.png (")));
        QVERIFY(text.contains(QStringLiteral("data.qmx (2 KB)")));
    }
};

QTEST_MAIN(TestAttachmentPages)
#include "test_attachment_pages.moc"
