#include "cliprocess.h"
#include "commandline.h"
#include "runreport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

// quillmark-convert on whole archives, with the real engine: several
// workers, mbox files, the report, resume after a kill.
class TestBatch : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    static void writeFile(const QString& path, const QByteArray& bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    static QByteArray message(const QByteArray& subject, const QByteArray& body, const char* eol = "\r\n")
    {
        QByteArray text = "From: Ann <ann@example.org>\nTo: Bob <bob@example.org>\nSubject: " + subject +
                          "\nDate: Mon, 1 Jan 2024 10:00:00 +0000\nMIME-Version: 1.0\n"
                          "Content-Type: text/plain; charset=utf-8\n\n" +
                          body + "\n";
        text.replace("\n", eol);
        return text;
    }

    // A folder of messages we write ourselves, some several pages long.
    QString writeArchive(const QString& name, int count)
    {
        const QString root = m_dir.path() + QLatin1Char('/') + name;
        for (int i = 0; i < count; ++i) {
            QByteArray body;
            for (int line = 0; line < (i % 3 == 0 ? 120 : 5); ++line)
                body += "Line " + QByteArray::number(line) + " of message " + QByteArray::number(i) + "\n";
            writeFile(root + QStringLiteral("/f%1/m%2.eml").arg(i % 2).arg(i),
                      message("Message " + QByteArray::number(i), body));
        }
        return root;
    }

    static QMap<QString, QByteArray> tiffDigests(const QString& folder)
    {
        QMap<QString, QByteArray> digests;
        QDirIterator it(folder, {QStringLiteral("*.tiff")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                digests.insert(QDir(folder).relativeFilePath(path),
                               QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1));
        }
        return digests;
    }

    static QStringList hiddenLeftovers(const QString& folder)
    {
        QStringList found;
        QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (QFileInfo(path).fileName().startsWith(QLatin1Char('.')))
                found << path;
        }
        return found;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // Two workers make the same files as one, names included.
    void twoWorkersWriteWhatOneWrites()
    {
        const QString archive = writeArchive(QStringLiteral("jobs"), 6);
        // Two messages of one name: " (2)" is decided before any work starts.
        writeFile(archive + QStringLiteral("/f1/m0.eml"), message("Same name", "Other body"));
        const QString one = m_dir.path() + QStringLiteral("/jobs-1");
        const QString two = m_dir.path() + QStringLiteral("/jobs-2");
        const CliRun first =
            RunCli({QStringLiteral("--jobs"), QStringLiteral("1"), QStringLiteral("-o"), one, archive});
        const CliRun second =
            RunCli({QStringLiteral("--jobs"), QStringLiteral("2"), QStringLiteral("-o"), two, archive});
        QVERIFY2(first.exitCode == kExitAllConverted, qPrintable(first.out + first.err));
        QVERIFY2(second.exitCode == kExitAllConverted, qPrintable(second.out + second.err));
        const QMap<QString, QByteArray> digests = tiffDigests(one);
        QCOMPARE(digests.size(), 7);
        QVERIFY(digests.contains(QStringLiteral("m0 (2).tiff")));
        QCOMPARE(tiffDigests(two), digests);
        // Lines come as messages finish, numbered by their place in the input.
        QStringList numbers;
        for (const QString& line : second.messageLines())
            numbers << line.section(QLatin1Char(']'), 0, 0) + QLatin1Char(']');
        numbers.sort();
        QCOMPARE(numbers, (QStringList{"[1/7]", "[2/7]", "[3/7]", "[4/7]", "[5/7]", "[6/7]", "[7/7]"}));
        QVERIFY(second.out.contains(QLatin1String("7 of 7 messages converted.")));
    }

    // Messages of an mbox we write ourselves: LF and CRLF, "From " lines the
    // writer escaped, a last message without a final newline.
    void anMboxBecomesOneTiffPerMessage()
    {
        const QString folder = m_dir.path() + QStringLiteral("/mbox");
        QByteArray lf = "From ann@example.org Mon Jan  1 10:00:00 2024\n" + message("First", "Hello", "\n") +
                        "\nFrom ann@example.org Mon Jan  1 10:01:00 2024\n" +
                        message("Second", ">From the start of a line\nmore", "\n") +
                        "\nFrom ann@example.org Mon Jan  1 10:02:00 2024\n" +
                        message("Third", "no newline", "\n");
        lf.chop(1);
        writeFile(folder + QStringLiteral("/Inbox"), lf);
        QByteArray crlf = "From bob@example.org Mon Jan  1 11:00:00 2024\r\n" + message("CRLF one", "Hi") +
                          "\r\nFrom bob@example.org Mon Jan  1 11:01:00 2024\r\n" + message("CRLF two", "Ho");
        writeFile(folder + QStringLiteral("/sub/takeout.mbox"), crlf);
        writeFile(folder + QStringLiteral("/plain.eml"), message("Plain", "a file"));
        const QString report = m_dir.path() + QStringLiteral("/mbox-report.csv");

        // Without --mbox-scan a folder means its .eml files.
        const CliRun plain =
            RunCli({QStringLiteral("-o"), m_dir.path() + QStringLiteral("/mbox-plain"), folder});
        QCOMPARE(plain.exitCode, kExitAllConverted);
        QCOMPARE(tiffDigests(m_dir.path() + QStringLiteral("/mbox-plain")).keys(), QStringList{"plain.tiff"});

        const QString out = m_dir.path() + QStringLiteral("/mbox-out");
        const CliRun run = RunCli({QStringLiteral("--mbox-scan"), QStringLiteral("--report"), report,
                                   QStringLiteral("-o"), out, folder});
        QVERIFY2(run.exitCode == kExitAllConverted, qPrintable(run.out + run.err));
        QCOMPARE(tiffDigests(out).keys(),
                 (QStringList{"Inbox-00001.tiff", "Inbox-00002.tiff", "Inbox-00003.tiff", "plain.tiff",
                              "takeout-00001.tiff", "takeout-00002.tiff"}));
        QString error;
        const QList<ReportRow> rows = ReadReport(report, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(rows.size(), 6);
        for (const ReportRow& row : rows) {
            QCOMPARE(row.status, ReportStatus::Converted);
            QVERIFY(row.pages >= 1);
            QVERIFY(QFile::exists(row.output));
            QCOMPARE(row.message == 0, row.source.endsWith(QLatin1String("plain.eml")));
        }
    }

    // Legal names that load files and work files choke on: a line break
    // and a name of 244 bytes. Each message converts, the report reads back
    // row for row, the .opt has a line per image and a production's .dat a
    // row per document.
    void awkwardNamesConvertAndKeepLoadFilesWhole()
    {
        const QString folder = m_dir.path() + QStringLiteral("/awkward");
        const QString broken = folder + QStringLiteral("/line\nbreak.eml");
        const QString longStem = QString(240, QLatin1Char('n'));
        writeFile(broken, message("Broken name", "body one"));
        writeFile(folder + QLatin1Char('/') + longStem + QStringLiteral(".eml"),
                  message("Long name", "body two"));
        QVERIFY(QFile::exists(broken));

        const QString report = m_dir.path() + QStringLiteral("/awkward.csv");
        const QString out = m_dir.path() + QStringLiteral("/awkward-out");
        const CliRun plain = RunCli({QStringLiteral("--report"), report, QStringLiteral("-o"), out, folder});
        QVERIFY2(plain.exitCode == kExitAllConverted, qPrintable(plain.out + plain.err));
        QCOMPARE(tiffDigests(out).keys(),
                 (QStringList{QStringLiteral("line\nbreak.tiff"), longStem + ".tiff"}));
        QString error;
        const QList<ReportRow> rows = ReadReport(report, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(rows.size(), 2);
        QStringList sources;
        for (const ReportRow& row : rows) {
            QCOMPARE(row.status, ReportStatus::Converted);
            QVERIFY(QFile::exists(row.output));
            sources << row.source;
        }
        QVERIFY(sources.contains(broken));

        const QString numbered = m_dir.path() + QStringLiteral("/awkward-bates");
        const CliRun bates = RunCli(
            {QStringLiteral("--bates"), QStringLiteral("QM000001"), QStringLiteral("-o"), numbered, folder});
        QVERIFY2(bates.exitCode == kExitAllConverted, qPrintable(bates.out + bates.err));
        QFile opt(numbered + QStringLiteral("/QM.opt"));
        QVERIFY(opt.open(QIODevice::ReadOnly));
        const QStringList lines =
            QString::fromUtf8(opt.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        for (const QString& line : lines) {
            QVERIFY2(!line.contains(QLatin1Char('\n')), qPrintable(line));
            QCOMPARE(line.split(QLatin1Char(',')).size(), 7);
            QVERIFY2(QFile::exists(numbered + QLatin1Char('/') + line.section(QLatin1Char(','), 2, 2)),
                     qPrintable(line));
        }

        const QString volume = m_dir.path() + QStringLiteral("/awkward-volume");
        const QString volumeReport = m_dir.path() + QStringLiteral("/awkward-volume.csv");
        const CliRun production =
            RunCli({QStringLiteral("--production"), volume, QStringLiteral("--bates"),
                    QStringLiteral("ABC-000000001"), QStringLiteral("--report"), volumeReport, folder});
        QVERIFY2(production.exitCode == kExitAllConverted, qPrintable(production.out + production.err));
        QFile dat(volume + QStringLiteral("/DATA/VOL001.dat"));
        QVERIFY(dat.open(QIODevice::ReadOnly));
        const QString datText = QString::fromUtf8(dat.readAll());
        QCOMPARE(datText.count(QStringLiteral("\r\n")), 3);
        QVERIFY2(!datText.contains(QRegularExpression(QStringLiteral("[^\r]\n"))), qPrintable(datText));
        QVERIFY(datText.contains(QStringLiteral("line\u00AEbreak.eml")));
        QCOMPARE(ReadReport(volumeReport, &error).size(), 2);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    // Killed outright at random moments, and resumed each time: in the end
    // every message is converted once, no half-written TIFF is left, and the
    // report has one "converted" row for each.
    void aRunKilledAtAnyMomentResumes()
    {
        const QString archive = writeArchive(QStringLiteral("resume"), 24);
        const QString out = m_dir.path() + QStringLiteral("/resume-out");
        const QString report = m_dir.path() + QStringLiteral("/resume.jsonl");
        const QStringList arguments{QStringLiteral("--jobs"),
                                    QStringLiteral("2"),
                                    QStringLiteral("--report"),
                                    report,
                                    QStringLiteral("--resume"),
                                    QStringLiteral("-o"),
                                    out,
                                    archive};
        // What the killed runs leave in the program's own folder (work
        // folders, the engines' sockets and logs) the runs after them remove.
        const QString temp = m_dir.path() + QStringLiteral("/resume-temp");
        QVERIFY(QDir().mkpath(temp));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TEMP"), temp);
        QRandomGenerator random(20261208);
        int finished = -1;
        int kills = 0;
        for (int attempt = 0; attempt < 12 && finished != kExitAllConverted; ++attempt) {
            QProcess process;
            process.setProcessEnvironment(environment);
            process.start(QStringLiteral(QM_PROGRAM_DIR "/quillmark-convert"), arguments);
            QVERIFY(process.waitForStarted());
            // Early attempts die young; later ones are let run to the end.
            const int life = attempt < 4 ? int(random.bounded(150, 1500)) : 600000;
            if (!process.waitForFinished(life)) {
                ::kill(pid_t(process.processId()), SIGKILL);
                process.waitForFinished();
                ++kills;
                continue;
            }
            finished = process.exitCode();
        }
        QCOMPARE(finished, kExitAllConverted);
        QVERIFY2(kills >= 2, "the run ended before it could be killed");

        QString error;
        const QList<ReportRow> rows = ReadReport(report, &error);
        QMap<QString, int> converted;
        for (const ReportRow& row : rows)
            if (row.status == ReportStatus::Converted)
                ++converted[row.source];
        QCOMPARE(converted.size(), 24);
        for (auto it = converted.cbegin(); it != converted.cend(); ++it)
            QVERIFY2(it.value() == 1, qPrintable(it.key()));
        const QMap<QString, QByteArray> tiffs = tiffDigests(out);
        QCOMPARE(tiffs.size(), 24);
        for (const QString& name : tiffs.keys())
            QVERIFY2(TiffPageCount(out + QLatin1Char('/') + name) >= 1, qPrintable(name));
        QCOMPARE(hiddenLeftovers(out), QStringList());

        // A run with nothing left to do says so and succeeds.
        const CliRun again = RunCli(arguments, temp);
        QCOMPARE(again.exitCode, kExitAllConverted);
        QVERIFY2(again.out.contains(QLatin1String("24 messages already converted")), qPrintable(again.out));
        // Checked after that run: a killed run's worker ends on its parent's
        // death, but on a busy machine it may still hold its folder while the
        // run after it cleans up. Nothing may outlast the run after that.
        const QString own = temp + QStringLiteral("/quillmark-%1").arg(::getuid());
        const auto everything = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
        QVERIFY2(QDir(own).isEmpty(everything), qPrintable(QDir(own).entryList(everything).join(u' ')));
    }

    // Ctrl-C ends a run at once; the messages it did not convert are in the
    // report as skipped, and a resume converts them.
    void anInterruptedRunAccountsForEveryMessage()
    {
        const QString archive = writeArchive(QStringLiteral("interrupt"), 8);
        const QString out = m_dir.path() + QStringLiteral("/interrupt-out");
        const QString report = m_dir.path() + QStringLiteral("/interrupt.csv");
        QProcess process;
        process.start(QStringLiteral(QM_PROGRAM_DIR "/quillmark-convert"),
                      {QStringLiteral("--jobs"), QStringLiteral("1"), QStringLiteral("--report"), report,
                       QStringLiteral("-o"), out, archive});
        QVERIFY(process.waitForStarted());
        QByteArray seen;
        QTRY_VERIFY_WITH_TIMEOUT((seen += process.readAllStandardOutput()).contains("[1/8]"), 120000);
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), kExitInterrupted);

        QString error;
        const QList<ReportRow> rows = ReadReport(report, &error);
        QCOMPARE(rows.size(), 8);
        int skipped = 0;
        for (const ReportRow& row : rows)
            skipped += row.status == ReportStatus::Skipped ? 1 : 0;
        QVERIFY(skipped >= 1);
        const CliRun resumed = RunCli({QStringLiteral("--resume"), QStringLiteral("--report"), report,
                                       QStringLiteral("-o"), out, archive});
        QCOMPARE(resumed.exitCode, kExitAllConverted);
        // A renderer stopped with the run removes its partial file as it
        // ends; one stopped before it could say where its file is leaves it
        // to the next run into that folder, which removes what no renderer
        // holds.
        QCOMPARE(hiddenLeftovers(out), QStringList());
        QCOMPARE(tiffDigests(out).size(), 8);
    }
};

QTEST_GUILESS_MAIN(TestBatch)
#include "test_batch.moc"
