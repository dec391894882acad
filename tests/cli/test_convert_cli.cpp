#include "cliprocess.h"
#include "commandline.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

// quillmark-convert with the real office engine and vexlo, over our sample
// messages and over input that is no message at all.
class TestConvertCli : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_work;

    static QStringList sampleNames()
    {
        return QDir(QStringLiteral(QM_SOURCE_DIR "/samples"))
            .entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    }

    static void writeFile(const QString& path, const QByteArray& bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_work = m_dir.path() + QStringLiteral("/work");
        QDir().mkpath(m_work);
        QVERIFY(QFile::exists(QStringLiteral(QM_PROGRAM_DIR "/vexlo")));
    }

    // Samples in a folder whose name holds blanks, quotes and non-ASCII
    // letters, mixed with a zero-byte message, a binary file and a path that
    // does not exist: the good ones convert, the others fail with a reason,
    // and the summary names them.
    void convertsSamplesAndNamesWhatFailed()
    {
        const QString mail = m_dir.path() + QStringLiteral("/Post 'Fach' \"Ölmühle\" Почта");
        QDir().mkpath(mail);
        const QStringList samples = sampleNames();
        QVERIFY(samples.size() >= 5);
        for (const QString& name : samples)
            QVERIFY(QFile::copy(QStringLiteral(QM_SOURCE_DIR "/samples/") + name,
                                mail + QLatin1Char('/') + name));
        writeFile(mail + QStringLiteral("/empty.eml"), {});
        writeFile(mail + QStringLiteral("/sub folder/binary.EML"),
                  QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
        const QString out = m_dir.path() + QStringLiteral("/out dir/ä");

        const CliRun run =
            RunCli({QStringLiteral("--out"), out, mail, mail + QStringLiteral("/missing.eml")}, m_work);

        QCOMPARE(run.exitCode, kExitSomeFailed);
        const QStringList lines = run.messageLines();
        const int total = int(samples.size()) + 3;
        QCOMPARE(lines.size(), total);
        // Numbered by place in the input, whichever worker finished first.
        QVERIFY(std::any_of(lines.cbegin(), lines.cend(), [&](const QString& line) {
            return line.startsWith(QStringLiteral("[%1/%1] ").arg(total));
        }));
        for (const QString& name : samples) {
            const QString tiff =
                out + QLatin1Char('/') + QFileInfo(name).completeBaseName() + QStringLiteral(".tiff");
            QVERIFY2(TiffPageCount(tiff) >= 1, qPrintable(tiff + QLatin1Char('\n') + run.out + run.err));
            QVERIFY(run.out.contains(mail + QLatin1Char('/') + name + QStringLiteral(" -> ")));
        }
        QVERIFY(TiffPageCount(out + QStringLiteral("/06-library-annual-report-long.tiff")) > 1);
        QVERIFY(run.out.contains(QStringLiteral("empty.eml: failed: the file is empty")));
        QVERIFY(run.out.contains(QStringLiteral("binary.EML: failed: the file holds binary data")));
        QVERIFY(run.out.contains(QStringLiteral("missing.eml: failed: the file does not exist")));
        QVERIFY2(run.out.contains(
                     QStringLiteral("%1 of %2 messages converted; 3 failed:").arg(samples.size()).arg(total)),
                 qPrintable(run.out));
        QVERIFY(!QFile::exists(out + QStringLiteral("/empty.tiff")));
    }

    void writesBesideTheMessageWithoutOut()
    {
        const QString mail = m_dir.path() + QStringLiteral("/beside it");
        QDir().mkpath(mail);
        const QString message = mail + QStringLiteral("/a b.eml");
        QVERIFY(QFile::copy(QStringLiteral(QM_SOURCE_DIR "/samples/") + sampleNames().first(), message));

        const CliRun run = RunCli({message}, m_work);
        QCOMPARE(run.exitCode, kExitAllConverted);
        QVERIFY(TiffPageCount(mail + QStringLiteral("/a b.tiff")) >= 1);
        QVERIFY(run.out.contains(QStringLiteral("1 of 1 message converted.")));
    }

    void aReadOnlyOutputFolderFailsEveryMessage()
    {
        if (geteuid() == 0)
            QSKIP("root writes into read-only folders");
        const QString out = m_dir.path() + QStringLiteral("/locked");
        QDir().mkpath(out);
        QFile::setPermissions(out, QFile::ReadOwner | QFile::ExeOwner);
        const CliRun run = RunCli(
            {QStringLiteral("--out"), out, QStringLiteral(QM_SOURCE_DIR "/samples/") + sampleNames().first()},
            m_work);
        QFile::setPermissions(out, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(run.exitCode, kExitSomeFailed);
        // The renderer's own reason, not just its exit status.
        QVERIFY2(
            run.out.contains(QLatin1String(": failed: the page renderer failed: Cannot write in the output")),
            qPrintable(run.out));
        QVERIFY(QDir(out).isEmpty());
    }

    // Two runs at once over messages of the same name, sharing one temporary
    // folder: each TIFF shows its own message, and no work folder is left.
    void concurrentRunsKeepTheirWorkFilesApart()
    {
        const auto message = [](const char* subject, const char* colour) {
            return QByteArray("From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: ") +
                   subject +
                   "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
                   "Content-Type: text/html\r\n\r\n<html><body style=\"background:" +
                   colour + "\"><p>" + subject + "</p></body></html>\r\n";
        };
        const QString root = m_dir.path() + QStringLiteral("/concurrent");
        writeFile(root + QStringLiteral("/red/msg.eml"), message("Red", "#ff0000"));
        writeFile(root + QStringLiteral("/blue/msg.eml"), message("Blue", "#0000ff"));
        const QString work = root + QStringLiteral("/work");
        QDir().mkpath(work);

        const auto start = [&](QProcess& process, const QString& colour) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("TEMP"), work);
            process.setProcessEnvironment(environment);
            process.start(QStringLiteral(QM_PROGRAM_DIR "/quillmark-convert"),
                          {root + QLatin1Char('/') + colour + QStringLiteral("/msg.eml")});
        };
        QProcess red;
        QProcess blue;
        start(red, QStringLiteral("red"));
        start(blue, QStringLiteral("blue"));
        QVERIFY(red.waitForFinished(300000));
        QVERIFY(blue.waitForFinished(300000));
        QCOMPARE(red.exitCode(), kExitAllConverted);
        QCOMPARE(blue.exitCode(), kExitAllConverted);

        QCOMPARE(DominantColour(root + QStringLiteral("/red/msg.tiff")), QLatin1Char('r'));
        QCOMPARE(DominantColour(root + QStringLiteral("/blue/msg.tiff")), QLatin1Char('b'));
        // Both runs worked in the program's own folder in TEMP, and took
        // their work files, engines' sockets and logs with them.
        const QString own = QStringLiteral("quillmark-%1").arg(::getuid());
        const auto everything = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
        QCOMPARE(QDir(work).entryList(everything), QStringList{own});
        QVERIFY2(QDir(work + QLatin1Char('/') + own).isEmpty(everything),
                 qPrintable(QDir(work + QLatin1Char('/') + own).entryList(everything).join(u' ')));
    }

    // Remote pictures and style sheets of a message stay unfetched: the page is
    // laid out from what the message holds.
    void fetchesNothingFromTheNetwork()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QByteArray base = "http://127.0.0.1:" + QByteArray::number(server.serverPort());
        const QString message = m_dir.path() + QStringLiteral("/remote/remote.eml");
        writeFile(
            message,
            "From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: Pictures\r\n"
            "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMIME-Version: 1.0\r\nContent-Type: text/html\r\n\r\n"
            "<html><head><link rel=\"stylesheet\" href=\"" +
                base +
                "/style.css\"></head><body>"
                "<img src=\"" +
                base + "/pixel.png\"><p style=\"background:url(" + base +
                "/bg.png)\">Hi</p>"
                "<iframe src=\"" +
                base + "/frame.html\"></iframe></body></html>\r\n");

        const CliRun run = RunCli({message}, m_work);
        QCOMPARE(run.exitCode, kExitAllConverted);
        QVERIFY(!server.waitForNewConnection(200));
        QVERIFY(!server.hasPendingConnections());
    }
};

QTEST_GUILESS_MAIN(TestConvertCli)
#include "test_convert_cli.moc"
