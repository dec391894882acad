#include "attachmentpages.h"
#include "attachments.h"
#include "imagingmessages.h"
#include "imagingoptions.h"
#include "messagepage.h"
#include "mhtmlreader.h"
#include "scripteddialogs.h"
#include "stepguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

using imagingmessages::Attachment;

// What a message carries besides its text, and what the header block says
// of it, without the office host.
class TestAttachments : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString pageWith(const QByteArray& message, const HeaderExtras& extras)
    {
        const QString path = m_dir.filePath(QStringLiteral("page.mht"));
        if (!imagingmessages::WriteFile(path, message))
            return {};
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, QStringLiteral("in Test.Page "));
        PrepareMessagePage(path, guard, extras);
        // What the page engine is given to show.
        return QString::fromUtf8(ReadMhtmlPage(path).html);
    }

    // The attachments of a message written to a file of the test, their
    // content decoded into the test's folder.
    MailAttachments read(const QByteArray& message, const QString& name = QStringLiteral("message.eml"))
    {
        const QString path = m_dir.filePath(name);
        if (!imagingmessages::WriteFile(path, message))
            qFatal("cannot write %s", qPrintable(path));
        return ReadAttachments(path, m_dir.path(), QStringLiteral("msg"));
    }

    static QByteArray contentOf(const MailAttachment& attachment)
    {
        QFile file(attachment.contentPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QStringList contentFiles() const
    {
        return QDir(m_dir.path()).entryList({QStringLiteral("msg.*")}, QDir::Files | QDir::Hidden);
    }

    static QByteArray Message()
    {
        return imagingmessages::MessageWithAttachments(
            {{"application/pdf", "report.pdf", QByteArray(2000, 'p')},
             {"image/png", "chart.png", QByteArray(700, 'c')}});
    }

private slots:
    // Each content is decoded into a file of its own, byte for byte, and the
    // files go with the attachments, not before.
    void attachmentsInTheOrderOfTheMessage()
    {
        QStringList files;
        {
            MailAttachments found = read(Message());
            QCOMPARE(found.size(), 4);
            QStringList names;
            for (const MailAttachment& attachment : found)
                names << Described(attachment);
            QCOMPARE(names, (QStringList{"report.pdf (2 KB)", "chart.png (700 bytes)",
                                         QStringLiteral("Earlier thread.eml (%1 bytes)").arg(found[2].size),
                                         "data.qmx (2 KB)"}));
            QCOMPARE(contentOf(found[0]), QByteArray(2000, 'p'));
            QCOMPARE(contentOf(found[1]), QByteArray(700, 'c'));
            QVERIFY(found[2].isMessage);
            QCOMPARE(QFileInfo(found[2].contentPath).size(), found[2].size);
            // As attached, byte for byte, up to the line break of the delimiter.
            QCOMPARE(contentOf(found[2]) + "\r\n", imagingmessages::InnerMessage());
            QCOMPARE(found[3].mimeType, QByteArray("application/x-quillmark-sample"));
            QCOMPARE(contentOf(found[3]), imagingmessages::UnknownBytes());
            QCOMPARE(found[3].head(4), imagingmessages::UnknownBytes().left(4));

            // Moved, the files stay: one owner removes them.
            const MailAttachments moved = std::move(found);
            for (const MailAttachment& attachment : moved) {
                QVERIFY(QFileInfo(attachment.contentPath).absolutePath() == m_dir.path());
                files << attachment.contentPath;
            }
            QCOMPARE(contentFiles().size(), 4);
        }
        for (const QString& file : files)
            QVERIFY2(!QFileInfo::exists(file), qPrintable(file));
        QCOMPARE(contentFiles(), QStringList());
    }

    // A message saved as two-byte text has the attachments of the text it
    // holds; its narrowed copy leaves nothing behind.
    void attachmentsOfTwoByteText()
    {
        const QByteArray message = Message();
        QString text = QString::fromLatin1(message);
        QByteArray wide("\xFF\xFE");
        wide.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
        {
            const MailAttachments found = read(wide);
            QCOMPARE(found.size(), 4);
            QCOMPARE(contentOf(found[0]), QByteArray(2000, 'p'));
            QCOMPARE(contentFiles().size(), 4);
        }
        QCOMPARE(contentFiles(), QStringList());
        QVERIFY(read(QByteArray("\0\0\0binary\r\n", 11)).isEmpty());
        QVERIFY(ReadAttachments(m_dir.filePath(QStringLiteral("missing.eml")), m_dir.path(),
                                QStringLiteral("msg"))
                    .isEmpty());
    }

    // A lone zero byte first, or ending the field before the message's type,
    // hides no attachment; the copy parsed instead leaves nothing behind.
    void attachmentsBehindALoneZeroByte()
    {
        const QByteArray message = Message();
        const qsizetype type = message.indexOf("\r\nContent-Type: multipart/");
        QVERIFY(type > 0);
        for (const QByteArray& slipped :
             {QByteArray(1, '\0') + message, QByteArray(message).insert(type, '\0')}) {
            {
                const MailAttachments found = read(slipped);
                QCOMPARE(found.size(), 4);
                QCOMPARE(contentOf(found[0]), QByteArray(2000, 'p'));
            }
            QCOMPARE(contentFiles(), QStringList());
        }
    }

    // A content that cannot be written fails loudly, naming the attachment,
    // and what was written before it still goes.
    void contentThatCannotBeWritten()
    {
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("msg.att2.content")));
        try {
            read(Message());
            QFAIL("no failure reported");
        } catch (const std::runtime_error& error) {
            const QString reason = QString::fromUtf8(error.what());
            QVERIFY2(reason.contains(QStringLiteral("chart.png could not be written to the work folder")),
                     qPrintable(reason));
        }
        QVERIFY(QDir(m_dir.path()).rmdir(QStringLiteral("msg.att2.content")));
        QCOMPARE(contentFiles(), QStringList());
    }

    // The page's own pictures, its alternatives, text a reader runs on below
    // the body and signatures are no attachments; an unnamed picture is one,
    // with a name of our own.
    void onlyWhatTheSenderAttached()
    {
        const QByteArray message =
            "From: a@example.org\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
            "boundary=\"M\"\r\n\r\n"
            "--M\r\nContent-Type: multipart/signed; boundary=\"S\"\r\n\r\n"
            "--S\r\nContent-Type: multipart/alternative; boundary=\"A\"\r\n\r\n"
            "--A\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
            "--A\r\nContent-Type: multipart/related; boundary=\"R\"\r\n\r\n"
            "--R\r\nContent-Type: text/html\r\n\r\n<html><body><img src=\"cid:logo\"></body></html>\r\n"
            "--R\r\nContent-Type: image/png\r\nContent-ID: <logo>\r\n\r\nPNG\r\n"
            "--R--\r\n--A--\r\n"
            "--S\r\nContent-Type: application/pgp-signature\r\n\r\nSIG\r\n--S--\r\n"
            "--M\r\nContent-Type: text/plain\r\n\r\nmailing list footer\r\n"
            "--M\r\nContent-Type: image/gif\r\n\r\nGIF89a\r\n"
            "--M\r\nContent-Type: text/plain; name=\"notes.txt\"\r\n\r\nnamed text\r\n"
            "--M--\r\n";
        QStringList names;
        for (const MailAttachment& attachment : read(message))
            names << attachment.fileName;
        QCOMPARE(names, (QStringList{"attachment 1.gif", "notes.txt"}));
        QVERIFY(read("just some text\r\n").isEmpty());
    }

    void sizesAsMailReadersGiveThem()
    {
        QCOMPARE(SizeText(0), QStringLiteral("0 bytes"));
        QCOMPARE(SizeText(1023), QStringLiteral("1023 bytes"));
        QCOMPARE(SizeText(1024), QStringLiteral("1 KB"));
        QCOMPARE(SizeText(122880), QStringLiteral("120 KB"));
        QCOMPARE(SizeText(5 * 1024 * 1024 + 300 * 1024), QStringLiteral("5.3 MB"));
    }

    // The kind comes from the bytes: senders name and declare types wrongly.
    void kindsTakenFromTheContent_data()
    {
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("kind");
        QTest::newRow("pdf declared as bytes") << QByteArray("application/octet-stream") << "scan.bin"
                                               << QByteArray("%PDF-1.7\n...") << int(AttachmentKind::Pdf);
        QTest::newRow("png named jpg") << QByteArray("image/jpeg") << "x.jpg"
                                       << QByteArray("\x89PNG\r\n\x1a\n....") << int(AttachmentKind::Picture);
        QTest::newRow("tiff") << QByteArray("image/tiff") << "fax.tif" << QByteArray("II*\0....", 8)
                              << int(AttachmentKind::TiffPicture);
        QTest::newRow("docx") << QByteArray("application/octet-stream") << "Notes.DOCX"
                              << QByteArray("PK\x03\x04....") << int(AttachmentKind::Office);
        QTest::newRow("encrypted docx") << QByteArray("application/vnd.ms-office") << "locked.docx"
                                        << QByteArray("\xD0\xCF\x11\xE0....") << int(AttachmentKind::Office);
        QTest::newRow("docx that is no docx") << QByteArray("application/msword") << "fake.docx"
                                              << QByteArray("plain words") << int(AttachmentKind::Unknown);
        QTest::newRow("rtf unnamed") << QByteArray("application/rtf") << "attachment 1.bin"
                                     << QByteArray("{\\rtf1 hi}") << int(AttachmentKind::Office);
        QTest::newRow("zip archive") << QByteArray("application/zip") << "all.zip"
                                     << QByteArray("PK\x03\x04....") << int(AttachmentKind::Unknown);
        QTest::newRow("html") << QByteArray("text/html") << "page.htm" << QByteArray("<p>hi</p>")
                              << int(AttachmentKind::Html);
        QTest::newRow("calendar") << QByteArray("text/calendar") << "invite.ics"
                                  << QByteArray("BEGIN:VCALENDAR") << int(AttachmentKind::Text);
        QTest::newRow("text with zero bytes")
            << QByteArray("text/plain") << "odd.txt" << QByteArray("a\0b", 3) << int(AttachmentKind::Unknown);
    }

    void kindsTakenFromTheContent()
    {
        QFETCH(QByteArray, type);
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(int, kind);
        MailAttachment attachment;
        attachment.mimeType = type;
        attachment.fileName = name;
        attachment.contentPath = m_dir.filePath(QStringLiteral("content"));
        QVERIFY(imagingmessages::WriteFile(attachment.contentPath, content));
        attachment.size = content.size();
        QCOMPARE(int(KindOf(attachment)), kind);
    }

    // Cc and attachments below the four lines, only when asked for; the Cc
    // line of an attached message is not the message's own.
    void headerBlockWithCcAndAttachments()
    {
        HeaderExtras extras;
        extras.cc = true;
        extras.attachments = true;
        extras.attachmentDescriptions = {QStringLiteral("report.pdf (2 KB)"),
                                         QStringLiteral("a<b>.png (1 KB)")};
        const QString page = pageWith(Message(), extras);
        QVERIFY2(
            page.contains(QStringLiteral("Date: Tue, 2 Apr 2024 09:30:00 +0000<br>"
                                         "Cc: Carol Clerk [carol@example.org], Eve Even [eve@example.org]<br>"
                                         "Attachments: report.pdf (2 KB), a&lt;b&gt;.png (1 KB)<br><br>")),
            qPrintable(page.left(2000)));

        const QString plain = pageWith(Message(), HeaderExtras());
        QVERIFY(plain.contains(QStringLiteral("Date: Tue, 2 Apr 2024 09:30:00 +0000<br><br>")));
        QVERIFY(!plain.contains(QStringLiteral("Cc: Carol")));

        const QByteArray forwarded = "From: a@example.org\r\nSubject: s\r\n\r\nCc: not@example.org\r\n";
        QCOMPARE(ScanCcLine(CutLines(QString::fromLatin1(forwarded))), QString());
        const QString noCc = pageWith(forwarded, extras);
        QVERIFY(!noCc.contains(QStringLiteral("Cc: not@example.org<br>")));
    }

    // The window's options give the renderer the original two arguments.
    void rendererArguments()
    {
        ImagingOptions options;
        QCOMPARE(RendererArguments(options, 0, {"m.pdf"}, "m.tiff"), (QStringList{"m.pdf", "m.tiff"}));
        // A destination folder named like an option stays a path.
        QCOMPARE(RendererArguments(options, 0, {"m.pdf"}, "--out/m.tiff"),
                 (QStringList{"m.pdf", "./--out/m.tiff"}));
        options.render.dpi = 300;
        options.render.colour = ColourMode::Mono;
        options.render.pages = PageFiles::Single;
        options.render.bates = BatesNumbering{QStringLiteral("ABC"), 1, 6};
        QCOMPARE(RendererArguments(options, 42, {"m.pdf", "a.pdf"}, "m.tiff"),
                 (QStringList{"--dpi", "300", "--colour", "mono", "--pages", "single", "--bates", "ABC",
                              "--bates-start", "42", "--bates-digits", "6", "--output", "m.tiff", "m.pdf",
                              "a.pdf"}));
    }
};

QTEST_MAIN(TestAttachments)
#include "test_attachments.moc"
