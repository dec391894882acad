#include "cliprocess.h"
#include "commandline.h"
#include "runreport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// quillmark-convert on Outlook stores, Apple Mail files and Maildirs, with
// the real engine: names by folder, the report's folder column, a killed run
// resumed, a damaged store.
namespace {

const QString kPstFolder = QStringLiteral(QM_SOURCE_DIR "/../shared/corpus/archives/pst/");

QStringList TiffsBelow(const QString& folder)
{
    QStringList tiffs;
    QDirIterator it(folder, {QStringLiteral("*.tiff")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        tiffs << QDir(folder).relativeFilePath(it.next());
    tiffs.sort();
    return tiffs;
}

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class TestArchiveRuns : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void aStoreBecomesFoldersOfTiffs()
    {
        const QString pst = kPstFolder + QStringLiteral("ingest-file/testPST.pst");
        if (!QFile::exists(pst))
            QSKIP("the shared corpus is not on this machine");
        const QString out = m_dir.filePath(QStringLiteral("store-out"));
        const QString report = m_dir.filePath(QStringLiteral("store.csv"));
        const CliRun run = RunCli({QStringLiteral("--jobs"), QStringLiteral("2"), QStringLiteral("--report"),
                                   report, QStringLiteral("--out"), out, pst});
        QVERIFY2(run.exitCode == kExitAllConverted, qPrintable(run.out + run.err));
        const QStringList tiffs = TiffsBelow(out);
        QCOMPARE(tiffs.size(), 6);
        const QString folder = QStringLiteral("testPST/Début du fichier de données Outlook");
        for (int i = 0; i < 6; ++i)
            QVERIFY2(tiffs[i].startsWith(folder) &&
                         tiffs[i].endsWith(QStringLiteral("/0000%1.tiff").arg(i + 1)),
                     qPrintable(tiffs[i]));

        QString error;
        const QList<ReportRow> rows = ReadReport(report, &error);
        QCOMPARE(rows.size(), 6);
        for (const ReportRow& row : rows) {
            QCOMPARE(row.source, QDir::cleanPath(pst));
            QVERIFY(row.folder.startsWith(QStringLiteral("Début du fichier")));
            QVERIFY(row.message >= 1 && row.message <= 6);
            QVERIFY(TiffPageCount(row.output) >= 1);
        }
    }

    // Killed while converting, then resumed: every item once, none twice.
    void aKilledRunOverAStoreResumesWithoutDoubles()
    {
        const QString pst = kPstFolder + QStringLiteral("ingest-file/testPST.pst");
        if (!QFile::exists(pst))
            QSKIP("the shared corpus is not on this machine");
        const QString out = m_dir.filePath(QStringLiteral("resume-out"));
        const QString report = m_dir.filePath(QStringLiteral("resume.jsonl"));
        const QStringList arguments{QStringLiteral("--jobs"),
                                    QStringLiteral("1"),
                                    QStringLiteral("--report"),
                                    report,
                                    QStringLiteral("--resume"),
                                    QStringLiteral("--out"),
                                    out,
                                    pst};
        int kills = 0;
        int finished = -1;
        for (int attempt = 0; attempt < 8 && finished != kExitAllConverted; ++attempt) {
            QProcess process;
            process.start(QStringLiteral(QM_PROGRAM_DIR "/quillmark-convert"), arguments);
            QVERIFY(process.waitForStarted());
            if (attempt < 2) {
                // Killed once a message or two of this attempt are done.
                const qsizetype before = TiffsBelow(out).size();
                for (int wait = 0; wait < 1200 && TiffsBelow(out).size() <= before; ++wait)
                    process.waitForFinished(100);
                if (process.state() != QProcess::NotRunning) {
                    ::kill(pid_t(process.processId()), SIGKILL);
                    process.waitForFinished();
                    ++kills;
                    continue;
                }
            }
            process.waitForFinished(600000);
            finished = process.exitCode();
        }
        QCOMPARE(finished, kExitAllConverted);
        QVERIFY2(kills >= 1, "the run ended before it could be killed");
        QString error;
        QMap<QString, int> converted;
        for (const ReportRow& row : ReadReport(report, &error))
            if (row.status == ReportStatus::Converted)
                ++converted[row.folder + QLatin1Char('#') + QString::number(row.message)];
        QCOMPARE(converted.size(), 6);
        for (auto it = converted.cbegin(); it != converted.cend(); ++it)
            QVERIFY2(it.value() == 1, qPrintable(it.key()));
        QCOMPARE(TiffsBelow(out).size(), 6);
    }

    // Bytes overwritten in the middle of a copy: what can be read converts,
    // the rest fails with a reason, and the run itself never falls over.
    void aDamagedStoreConvertsWhatCanBeRead()
    {
        const QString source = kPstFolder + QStringLiteral("ingest-file/testPST.pst");
        if (!QFile::exists(source))
            QSKIP("the shared corpus is not on this machine");
        QFile original(source);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QByteArray bytes = original.readAll();
        for (qsizetype i = bytes.size() / 2; i < bytes.size() / 2 + 40000; i += 7)
            bytes[i] = char(0xA5 ^ i);
        const QString damaged = m_dir.filePath(QStringLiteral("damaged/testPST.pst"));
        WriteFile(damaged, bytes);
        const QString cut = m_dir.filePath(QStringLiteral("damaged/cut.pst"));
        WriteFile(cut, bytes.left(bytes.size() / 4));

        const CliRun run =
            RunCli({QStringLiteral("--out"), m_dir.filePath(QStringLiteral("damaged-out")), damaged, cut});
        QVERIFY2(run.exitCode == kExitAllConverted || run.exitCode == kExitSomeFailed,
                 qPrintable(run.out + run.err));
        for (const QString& line : run.messageLines())
            QVERIFY2(line.contains(QLatin1String(" -> ")) || line.contains(QLatin1String("failed: ")),
                     qPrintable(line));
        QVERIFY2(run.err.contains(cut) || run.out.contains(cut), qPrintable(run.err));
    }

    // A production reads the store's items like any message; the load file
    // names the store, the folder and the number of each.
    void aProductionNamesTheStoreFolderAndNumber()
    {
        const QString pst = kPstFolder + QStringLiteral("pstsdk/submessage.pst");
        if (!QFile::exists(pst))
            QSKIP("the shared corpus is not on this machine");
        const QString volume = m_dir.filePath(QStringLiteral("production"));
        const CliRun run = RunCli({QStringLiteral("--production"), volume, QStringLiteral("--bates"),
                                   QStringLiteral("PST000001"), pst});
        QVERIFY2(run.exitCode == kExitAllConverted, qPrintable(run.out + run.err));
        QFile dat(volume + QStringLiteral("/DATA/VOL001.dat"));
        QVERIFY(dat.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(dat.readAll());
        QVERIFY2(text.contains(QDir::cleanPath(pst) + QStringLiteral(" (")) &&
                     text.contains(QLatin1String("/submessage, message 1)")),
                 qPrintable(text));
    }

    void emlxAndMaildirMessagesConvert()
    {
        const QString root = m_dir.filePath(QStringLiteral("apple"));
        const QByteArray message =
            "From: Ann <ann@example.org>\nTo: Bob <bob@example.org>\nSubject: Apple pie\n"
            "Date: Mon, 1 Jan 2024 10:00:00 +0000\n\nThe recipe follows.\n";
        WriteFile(root + QStringLiteral("/Messages/41.emlx"),
                  QByteArray::number(message.size()) + "\n" + message + "<?xml version=\"1.0\"?><plist/>");
        WriteFile(root + QStringLiteral("/Maildir/cur/1700000001.M1.host:2,S"), message);
        WriteFile(root + QStringLiteral("/Maildir/new/1700000002.M2.host"), message);
        QDir().mkpath(root + QStringLiteral("/Maildir/tmp"));
        const CliRun run = RunCli({QStringLiteral("--maildir-scan"), root});
        QVERIFY2(run.exitCode == kExitAllConverted, qPrintable(run.out + run.err));
        QCOMPARE(run.messageLines().size(), 3);
        QVERIFY(QFile::exists(root + QStringLiteral("/Messages/41.tiff")));
        // Not in cur/ or new/, where a mail reader would take it for mail.
        QVERIFY(QFile::exists(root + QStringLiteral("/Maildir/1700000001.M1.host.tiff")));
        QVERIFY(QFile::exists(root + QStringLiteral("/Maildir/1700000002.M2.host.tiff")));
    }
};

QTEST_GUILESS_MAIN(TestArchiveRuns)
#include "test_archiveruns.moc"
