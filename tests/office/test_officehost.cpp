#include "officeconnection.h"
#include "officeengine.h"
#include "officehostclient.h"
#include "officestep.h"
#include "officetestsupport.h"
#include "pagelayout.h"
#include "scripteddialogs.h"
#include "stepguard.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

using namespace officetest;

namespace
{

struct Conversion {
    bool rtfExists = false;
    QStringList reports;
    QList<int> steps;
};

} // namespace

class TestOfficeHost : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_count = 0;

    QString workPath(const QString& suffix)
    {
        return m_dir.path() + QStringLiteral("/work%1%2").arg(++m_count).arg(suffix);
    }

    QString writePage(const QByteArray& bytes, const QString& suffix = QStringLiteral(".mht"))
    {
        const QString path = workPath(suffix);
        writeFile(path, bytes);
        return path;
    }

    Conversion convert(const QString& mhtPath, const QString& rtfPath)
    {
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, QStringLiteral("in Test.Form1.PushButton2_Click "));
        ConvertPageToRtf(mhtPath, rtfPath, guard);
        Conversion result;
        result.rtfExists = QFile::exists(rtfPath);
        result.reports = dialogs.messages();
        static const QRegularExpression line(QStringLiteral("at line (\\d+)"));
        for (const QString& text : result.reports)
            result.steps << line.match(text).captured(1).toInt();
        return result;
    }

    // Lays a document out through the engine itself, as the renderer does.
    PdfContent layOut(const QString& documentPath)
    {
        const QString pdf = workPath(QStringLiteral(".pdf"));
        auto application = LibreOfficeEngine().create();
        OpenOptions open;
        open.FileName = documentPath;
        SaveOptions save;
        save.FileName = pdf;
        save.FileFormat = kSaveFormatPdf;
        application->open(open)->saveAs(save);
        application->quit();
        return readPdf(pdf);
    }

    // A page that must convert, used to show the engine is usable again.
    void verifyEngineWorks()
    {
        const QString rtf = workPath(QStringLiteral(".rtf"));
        const Conversion after = convert(writePage(relatedPage("<p>still working</p>")), rtf);
        QVERIFY2(after.reports.isEmpty(), qPrintable(after.reports.join(u'\n')));
        QVERIFY(after.rtfExists);
        QVERIFY(readFile(rtf).startsWith("{\\rtf"));
    }

private slots:
    void initTestCase()
    {
        SetOfficeHostProgram(QStringLiteral(QM_PROGRAM_DIR "/quillmark-office"));
        QVERIFY(m_dir.isValid());
    }

    void accentsScriptsAndInlineImagesReachTheRtf()
    {
        const QByteArray html =
            "<html><body><p>Gr\xc3\xbc\xc3\x9f"
            "e na\xc3\xafve caf\xc3\xa9</p>"
            "<p>\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xce\x93\xce\xb5\xce\xb9\xce\xac</p>"
            "<p>\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf</p>"
            "<p><img src=\"cid:picture@test\" width=\"80\" height=\"40\"></p></body></html>";
        const QString rtf = workPath(QStringLiteral(".rtf"));
        const Conversion result = convert(writePage(relatedPage(html, pngBytes(80, 40))), rtf);
        QVERIFY2(result.reports.isEmpty(), qPrintable(result.reports.join(u'\n')));
        QVERIFY(result.rtfExists);

        const QByteArray rtfBytes = readFile(rtf);
        QVERIFY(rtfBytes.contains("\\pngblip") || rtfBytes.contains("\\jpegblip"));
        QVERIFY(rtfBytes.contains("\\u12371")); // こ, kept as Unicode in the RTF

        const PdfContent pdf = layOut(rtf);
        QVERIFY2(pdf.text.contains(QStringLiteral("Grüße naïve café")), qPrintable(pdf.text));
        QVERIFY(pdf.text.contains(QStringLiteral("Привет Γειά")));
    }

    void corpusMessagesConvertWithDecodedText()
    {
        const QString corpus = QStringLiteral(QM_CORPUS_DIR);
        if (!QDir(corpus).exists())
            QSKIP("the message corpus is not available");
        int converted = 0;
        int total = 0;
        QDirIterator it(corpus, {QStringLiteral("*.eml")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString message = it.next();
            ++total;
            const QString rtf = workPath(QStringLiteral(".rtf"));
            const Conversion result = convert(message, rtf);
            // The contract: a file exactly when nothing failed up to the save.
            QCOMPARE(result.rtfExists, !result.steps.contains(210));
            if (result.rtfExists)
                ++converted;
            else
                qInfo("%s: %s", qPrintable(message.mid(corpus.size())),
                      qPrintable(result.reports.value(0).section(u'\n', 0, 0)));
            if (message.endsWith(QLatin1String("test_polish_multipart_related_iso-8859-2_over_base64.eml")))
                QVERIFY(layOut(rtf).text.contains(QStringLiteral("Pchnąć w tę łódź jeża")));
            if (message.endsWith(QLatin1String("test_japanese_plaintext_iso-2022-jp_over_7bit.eml")))
                QVERIFY(readFile(rtf).contains("\\u33394")); // 色
        }
        qInfo("%d of %d corpus messages converted", converted, total);
        QVERIFY(total > 0);
        QVERIFY(converted * 10 >= total * 9);
    }

    void pathsWithSpacesAccentsAndHashesWork()
    {
        const QString folder = m_dir.path() + QStringLiteral("/Été 2026 #1 [mail] %20");
        QVERIFY(QDir().mkpath(folder));
        const QString page = folder + QStringLiteral("/naïve page.mht");
        QVERIFY(writeFile(page, relatedPage("<p>odd path</p>", pngBytes(10, 10))));
        const QString rtf = folder + QStringLiteral("/naïve page.rtf");
        const Conversion result = convert(page, rtf);
        QVERIFY2(result.reports.isEmpty(), qPrintable(result.reports.join(u'\n')));
        QVERIFY(result.rtfExists);
        QVERIFY(layOut(rtf).text.contains(QStringLiteral("odd path")));
    }

    void textBeforeTheHtmlTagStillReadsAsHtml()
    {
        // A header block written in front of a page that has no body tag.
        const QByteArray html = "From: Ann<br>To: Bob<br><br><html><head><title>t</title></head>"
                                "<p>Body <b>bold</b></p></html>";
        const QString rtf = workPath(QStringLiteral(".rtf"));
        QVERIFY(convert(writePage(relatedPage(html)), rtf).rtfExists);
        const QString text = layOut(rtf).text;
        QVERIFY2(text.contains(QStringLiteral("Body bold")), qPrintable(text));
        QVERIFY(!text.contains(QStringLiteral("<p>")));
        QVERIFY(!text.contains(QStringLiteral("<br>")));
    }

    void nothingIsFetchedFromTheNetwork()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        int requests = 0;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                ++requests;
                socket->deleteLater();
            }
        });
        const QByteArray base = "http://127.0.0.1:" + QByteArray::number(server.serverPort());
        const QByteArray html = "<html><head><link rel=\"stylesheet\" href=\"" + base +
                                "/sheet.css\">"
                                "<style>@import url(" +
                                base + "/import.css); p { background: url('" + base +
                                "/css.png') }</style></head>"
                                "<body background=\"" +
                                base +
                                "/body.png\"><p>remote pictures</p>"
                                "<img src=\"" +
                                base +
                                "/img.png\" width=\"20\" height=\"20\">"
                                "<img src=\"//127.0.0.1:" +
                                QByteArray::number(server.serverPort()) +
                                "/noscheme.png\">"
                                "<img srcset=\"" +
                                base + "/set.png 2x\"><iframe src=\"" + base +
                                "/frame.html\"></iframe>"
                                "<table background=\"" +
                                base + "/table.png\"><tr><td style=\"background-image:url(" + base +
                                "/cell.png)\">cell</td></tr></table><script src=\"" + base +
                                "/script.js\"></script></body></html>";
        const QString rtf = workPath(QStringLiteral(".rtf"));
        const Conversion result = convert(writePage(relatedPage(html)), rtf);
        QVERIFY(result.rtfExists);
        QVERIFY(layOut(rtf).text.contains(QStringLiteral("remote pictures")));
        QTest::qWait(500);
        QCOMPARE(requests, 0);
        QVERIFY(!readFile(rtf).contains("127.0.0.1"));
    }

    void wideTableStaysInsideThePageMargins()
    {
        QByteArray cells;
        for (int i = 0; i < 4; ++i)
            cells +=
                "<td width=\"250\">column" + QByteArray::number(i) + " alpha beta gamma delta epsilon</td>";
        // A table sized by its content: long words that cannot break.
        QByteArray unbreakable;
        for (int i = 0; i < 5; ++i)
            unbreakable +=
                "<td>cipher" + QByteArray::number(i) + "_TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384</td>";
        const QByteArray html = "<html><body><p>Newsletter</p><table width=\"1000\" border=\"1\"><tr>" +
                                cells + "</tr></table><table border=\"1\"><tr><td>a</td>" + unbreakable +
                                "</tr><tr><td>b</td><td>c</td></tr></table>"
                                "<p><img src=\"cid:picture@test\"></p></body></html>";
        const QString rtf = workPath(QStringLiteral(".rtf"));
        QVERIFY(convert(writePage(relatedPage(html, pngBytes(1400, 100))), rtf).rtfExists);
        const PdfContent pdf = layOut(rtf);
        QVERIFY(pdf.pageWidth > 0);
        const double margin = 2.0 / 2.54 * 72; // 2 cm
        QStringList outside;
        int columnWords = 0;
        int cipherWords = 0;
        for (const WordBox& word : pdf.words) {
            columnWords += word.text.startsWith(QLatin1String("column"));
            cipherWords += word.text.startsWith(QLatin1String("cipher"));
            if (word.left < margin - 1 || word.right > pdf.pageWidth - margin + 1)
                outside << QStringLiteral("%1 (%2..%3)").arg(word.text).arg(word.left).arg(word.right);
        }
        QCOMPARE(columnWords, 4);
        QCOMPARE(cipherWords, 5);
        QVERIFY2(outside.isEmpty(), qPrintable(outside.join(u' ')));
    }

    void nestedNewsletterTablesKeepAllTheirText()
    {
        // Frame, content column, price table, badge table: the shape of most
        // newsletters. LibreOffice drops a table three deep from its RTF when
        // text precedes it in its cell.
        const QByteArray html =
            "<html><body><table width=\"100%\"><tr><td align=\"center\">"
            "<table width=\"600\"><tr><td>Column heading</td></tr><tr><td><p>Intro paragraph</p>"
            "<table><tr><td>Monday</td><td>Rhubarb bun <table><tr><td>Badge</td><td>new</td></tr></table>"
            "</td></tr><tr><td>Tuesday</td><td>Rye loaf</td></tr></table>"
            "<table><tr><td>left</td><td>lead text<table><tr><td>deeper</td><td>still</td></tr></table>"
            "</td></tr></table><table><tr><td>a1</td><td>text one<table><tr><td>b1</td><td>text two"
            "<table><tr><td>third level</td><td>end</td></tr></table></td></tr></table></td></tr></table>"
            "<p>Closing words</p></td></tr></table></td></tr></table></body></html>";
        const QString rtf = workPath(QStringLiteral(".rtf"));
        QVERIFY(convert(writePage(relatedPage(html)), rtf).rtfExists);
        const QString text = layOut(rtf).text.simplified();
        for (const char* words : {"Column heading", "Intro paragraph", "Monday", "Rhubarb bun", "Badge",
                                  "new", "Tuesday", "Rye loaf", "lead text", "deeper", "still", "text one",
                                  "text two", "third level", "Closing words"})
            QVERIFY2(text.contains(QLatin1String(words)), words);
    }

    void killedHostIsReplacedForTheNextMessage()
    {
        verifyEngineWorks();
        OfficeHostClient& host = SharedOfficeHost();
        const qint64 pid = host.hostProcessId();
        QVERIFY(pid > 0);
        ::kill(pid_t(pid), SIGKILL);
        QTest::qWait(200);
        verifyEngineWorks();
        QVERIFY(host.hostProcessId() != pid);
    }

    void hostDyingDuringACallFailsOnlyThatCall()
    {
        verifyEngineWorks();
        OfficeHostClient& host = SharedOfficeHost();
        const pid_t pid = pid_t(host.hostProcessId());
        ::kill(pid, SIGSTOP);
        QTimer::singleShot(300, [pid] { ::kill(pid, SIGKILL); });
        QElapsedTimer timer;
        timer.start();
        QVERIFY_THROWS_EXCEPTION(OfficeError, host.call({{QStringLiteral("op"), QStringLiteral("ping")}}));
        QVERIFY(timer.elapsed() < 30000);
        verifyEngineWorks();
    }

    void hungHostIsEndedAtTheTimeLimit()
    {
        verifyEngineWorks();
        OfficeHostClient& host = SharedOfficeHost();
        const pid_t pid = pid_t(host.hostProcessId());
        SetOfficeCallTimeLimit(3000);
        ::kill(pid, SIGSTOP);
        QElapsedTimer timer;
        timer.start();
        const Conversion result =
            convert(writePage(relatedPage("<p>never</p>")), workPath(QStringLiteral(".rtf")));
        const qint64 elapsed = timer.elapsed();
        SetOfficeCallTimeLimit(120000);

        QCOMPARE(result.steps, (QList<int>{206, 208, 210, 212}));
        QVERIFY2(result.reports.first().contains(
                     QStringLiteral("the office engine did not answer within 3 seconds")),
                 qPrintable(result.reports.first()));
        QVERIFY(!result.rtfExists);
        QVERIFY2(elapsed < 15000, qPrintable(QString::number(elapsed)));
        QTRY_VERIFY_WITH_TIMEOUT(::kill(pid, 0) != 0, 5000); // the hung host is gone
        verifyEngineWorks();
    }

    void badInputFailsItsOwnCallOnly_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<bool>("mayConvert");

        QByteArray garbage(64 * 1024, '\0');
        for (qsizetype i = 0; i < garbage.size(); ++i)
            garbage[i] = char((i * 7919 + 13) % 251);
        QTest::newRow("binary garbage named .mht") << garbage << QStringLiteral(".mht") << false;
        QTest::newRow("corrupt MIME")
            << QByteArray(
                   "MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=\r\n\r\n--\r\n\x01\x02--")
            << QStringLiteral(".mht") << true;
        QTest::newRow("broken boundaries")
            << QByteArray("MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"B\"\r\n\r\n"
                          "--B\r\nContent-Type: text/html\r\n\r\n<p>no closing boundary<p>--C\r\n")
            << QStringLiteral(".mht") << true;
        QByteArray nested = "<html><body>";
        for (int i = 0; i < 10000; ++i)
            nested += "<table><tr><td>";
        nested += "bottom";
        QTest::newRow("10,000 nested tables") << relatedPage(nested) << QStringLiteral(".mht") << true;
        QByteArray big =
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"M\"\r\n\r\n"
            "--M\r\nContent-Type: text/html\r\n\r\n<p>large message</p>\r\n"
            "--M\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment\r\n"
            "Content-ID: <blob@test>\r\nContent-Transfer-Encoding: base64\r\n\r\n";
        big += garbage.repeated(600).toBase64(QByteArray::Base64Encoding);
        big += "\r\n--M--\r\n";
        QTest::newRow("50 MB message") << big << QStringLiteral(".mht") << true;
    }

    void badInputFailsItsOwnCallOnly()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, suffix);
        QFETCH(bool, mayConvert);
        const QString rtf = workPath(QStringLiteral(".rtf"));
        const Conversion result = convert(writePage(content, suffix), rtf);
        QCOMPARE(result.rtfExists, !result.steps.contains(210));
        if (!mayConvert) {
            QVERIFY(result.steps.contains(208));
            QVERIFY(!result.rtfExists);
        }
        QVERIFY(!result.steps.contains(206)); // the engine itself stayed up
        verifyEngineWorks();
    }

    void missingPageAndUnwritableTargetAreReported()
    {
        Conversion result =
            convert(m_dir.path() + QStringLiteral("/absent.mht"), workPath(QStringLiteral(".rtf")));
        QCOMPARE(result.steps, (QList<int>{208, 210}));
        QVERIFY(result.reports.first().contains(QStringLiteral("does not exist")));

        const QString page = writePage(relatedPage("<p>fine</p>"));
        result = convert(page, m_dir.path() + QStringLiteral("/no-such-folder/out.rtf"));
        QCOMPARE(result.steps, (QList<int>{210}));
        QVERIFY(!result.rtfExists);

        // A folder where the file should go cannot be replaced by it.
        const QString occupied = workPath(QStringLiteral(".rtf"));
        QDir().mkpath(occupied);
        result = convert(page, occupied);
        QCOMPARE(result.steps, (QList<int>{210}));
        QVERIFY(QFileInfo(occupied).isDir());
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral(".*part*")}, QDir::Files | QDir::Hidden).size(),
                 0);
        verifyEngineWorks();
    }

    void hostIsRestartedAfterItsDocumentQuota()
    {
        OfficeHostClient& host = SharedOfficeHost();
        host.stop();
        host.setRestartAfter(2);
        const int generation = host.generation();
        verifyEngineWorks(); // starts a host
        verifyEngineWorks();
        QCOMPARE(host.generation(), generation + 1);
        verifyEngineWorks(); // the third document goes to a fresh host
        QCOMPARE(host.generation(), generation + 2);
        host.setRestartAfter(200);
    }

    void rendererIsServedByTheRunningHost()
    {
        verifyEngineWorks();
        const QString socket = OfficeHostSocketName();
        QVERIFY(!socket.isEmpty());
        const int opened = SharedOfficeHost()
                               .call({{QStringLiteral("op"), QStringLiteral("ping")}})
                               .value(QStringLiteral("opened"))
                               .toInt();
        const QString rtf = workPath(QStringLiteral(".rtf"));
        QVERIFY(convert(writePage(relatedPage("<p>for the renderer</p>")), rtf).rtfExists);

        qputenv(kOfficeSocketVariable, socket.toUtf8());
        const QString pdf = workPath(QStringLiteral(".pdf"));
        LayOutAsPdf(rtf, pdf);
        qunsetenv(kOfficeSocketVariable);
        QVERIFY(readPdf(pdf).text.contains(QStringLiteral("for the renderer")));
        // Two documents more in the host: the page, and the renderer's RTF.
        const int after = SharedOfficeHost()
                              .call({{QStringLiteral("op"), QStringLiteral("ping")}})
                              .value(QStringLiteral("opened"))
                              .toInt();
        QCOMPARE(after, opened + 2);

        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 LayOutAsPdf(m_dir.path() + QStringLiteral("/absent.rtf"), pdf));
    }

    void hostThatCannotStartIsAClearError()
    {
        OfficeHostClient missing(m_dir.path() + QStringLiteral("/no-such-host"));
        try {
            missing.ensureStarted();
            QFAIL("a missing host started");
        } catch (const OfficeError& e) {
            QVERIFY(e.description().contains(QStringLiteral("missing or cannot be run")));
        }
        // A host that ends at once, as one whose LibreOffice cannot load does.
        OfficeHostClient failing(QStringLiteral("/bin/false"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY_THROWS_EXCEPTION(OfficeError, failing.ensureStarted());
        QVERIFY(timer.elapsed() < 10000);
        QVERIFY(!failing.isRunning());
    }

    void callsDoNotNestWhileOneIsUnderWay()
    {
        verifyEngineWorks();
        OfficeHostClient& host = SharedOfficeHost();
        QString nestedError;
        // Events are processed while a call waits; a handler that calls the
        // engine again must be refused, not interleaved on the socket.
        QTimer::singleShot(0, [&] {
            try {
                host.call({{QStringLiteral("op"), QStringLiteral("ping")}});
            } catch (const OfficeError& e) {
                nestedError = e.description();
            }
        });
        const pid_t pid = pid_t(host.hostProcessId());
        ::kill(pid, SIGSTOP);
        QTimer::singleShot(500, [pid] { ::kill(pid, SIGCONT); });
        host.call({{QStringLiteral("op"), QStringLiteral("ping")}});
        QCOMPARE(nestedError, QStringLiteral("the office engine is busy with another call"));
        verifyEngineWorks();
    }

    void hostEndsWhenItsOwnerLeaves()
    {
        const QString name =
            QStringLiteral("quillmark-office-test-%1").arg(QCoreApplication::applicationPid());
        QProcess host;
        host.start(QStringLiteral(QM_PROGRAM_DIR "/quillmark-office"), {QStringLiteral("--socket"), name});
        QVERIFY(host.waitForStarted());
        QLocalSocket owner;
        QElapsedTimer waited;
        waited.start();
        for (owner.connectToServer(name); !owner.waitForConnected(100); owner.connectToServer(name)) {
            QVERIFY(waited.elapsed() < 60000);
            owner.abort();
            QTest::qWait(50);
        }
        QLocalSocket visitor;
        visitor.connectToServer(name);
        QVERIFY(visitor.waitForConnected(5000));
        visitor.disconnectFromServer();
        QVERIFY(!host.waitForFinished(1000)); // a visitor leaving changes nothing
        owner.disconnectFromServer();
        QVERIFY(host.waitForFinished(10000));
        QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    }
};

QTEST_GUILESS_MAIN(TestOfficeHost)
#include "test_officehost.moc"
