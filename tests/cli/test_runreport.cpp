#include "runreport.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

// Readable failures of QCOMPARE on rows.
char* toString(const ReportRow& row)
{
    return QTest::toString(QStringLiteral("{%1 #%2 -> %3, %4 pages, status %5, \"%6\", %7 s}")
                               .arg(row.source)
                               .arg(row.message)
                               .arg(row.output)
                               .arg(row.pages)
                               .arg(int(row.status))
                               .arg(row.reason)
                               .arg(row.seconds));
}

namespace {

ReportRow Row(const QString& source, int message, ReportStatus status, const QString& reason = {})
{
    return {source, message, source + QStringLiteral(".tiff"), 3, status, reason, 1.25};
}

// Values that break naive quoting or line splitting.
QList<ReportRow> AwkwardRows()
{
    return {
        {QStringLiteral("/mail/a,b \"quoted\".eml"), 0, QStringLiteral("/out/a,b \"quoted\".tiff"), 12,
         ReportStatus::Converted, QString(), 3.14159},
        {QStringLiteral("/mail/two\nlines\r\n.pst"), 7, QStringLiteral(" spaced out "), 0,
         ReportStatus::Failed, QStringLiteral("the page engine said:\n\"no\",\"never\"\n"), 0, QString(),
         QString(), QStringLiteral("Top, \"of\"\nstore/Inbox")},
        {QStringLiteral("/Пошта/邮件 🙂.eml"), 1, QString(), 0, ReportStatus::Skipped,
         QStringLiteral("\""), 60.5},
        {QStringLiteral("source"), 0, QStringLiteral("output"), 1, ReportStatus::Converted,
         QStringLiteral("reason"), 0.005},
    };
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

bool Append(const QString& path, const QList<ReportRow>& rows, QString* error)
{
    RunReport report;
    if (!report.open(path, error))
        return false;
    for (const ReportRow& row : rows) {
        if (!report.write(row, error))
            return false;
    }
    return true;
}

QList<ReportRow> Read(const QString& path)
{
    QString error;
    const QList<ReportRow> rows = ReadReport(path, &error);
    if (!error.isEmpty())
        qWarning() << error;
    return rows;
}

} // namespace

class TestRunReport : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString path(const QString& name) const { return dir_.filePath(name); }

    static void addFormats()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("csv") << QStringLiteral("report.csv");
        QTest::newRow("json lines") << QStringLiteral("Report.JSONL");
    }

private slots:
    void roundTripsAwkwardValues_data() { addFormats(); }
    void roundTripsAwkwardValues()
    {
        QFETCH(QString, name);
        const QString file = path(name);
        QString error;
        QVERIFY2(Append(file, AwkwardRows(), &error), qPrintable(error));

        QList<ReportRow> expected = AwkwardRows();
        // Seconds are kept to the hundredth.
        expected[0].seconds = 3.14;
        expected[3].seconds = 0.01;
        QCOMPARE(Read(file), expected);

        const QByteArray firstLine = ReadAll(file).split('\n').first();
        if (name.endsWith(QLatin1String(".csv")))
            QCOMPARE(firstLine, QByteArray("source,message,output,pages,status,reason,seconds,folder"));
        else
            QVERIFY(QJsonDocument::fromJson(firstLine).object().value(QLatin1String("message")).isNull());
    }

    void writesTheHeaderOnceAcrossReopening()
    {
        const QString file = path(QStringLiteral("reopened.csv"));
        WriteAll(file, {}); // made empty beforehand, as by `touch`
        QString error;
        QVERIFY2(Append(file, {Row(QStringLiteral("/a.eml"), 0, ReportStatus::Converted)}, &error),
                 qPrintable(error));
        QVERIFY2(Append(file, {Row(QStringLiteral("/b.mbox"), 2, ReportStatus::Failed)}, &error),
                 qPrintable(error));
        QVERIFY2(Append(file, {}, &error), qPrintable(error));

        const QByteArray bytes = ReadAll(file);
        QCOMPARE(bytes.count("source,message"), 1);
        QVERIFY(bytes.startsWith("source,message"));
        QCOMPARE(Read(file), (QList<ReportRow>{Row(QStringLiteral("/a.eml"), 0, ReportStatus::Converted),
                                               Row(QStringLiteral("/b.mbox"), 2, ReportStatus::Failed)}));
    }

    // A kill can cut the last row anywhere, inside a quoted comma, quote or
    // line break too; the next run's rows must still read back whole.
    void recoversFromATornLastRowCutAnywhere_data() { addFormats(); }
    void recoversFromATornLastRowCutAnywhere()
    {
        QFETCH(QString, name);
        const QString file = path(QStringLiteral("torn-") + name);
        const ReportRow first = Row(QStringLiteral("/first.eml"), 0, ReportStatus::Converted);
        const ReportRow torn = AwkwardRows().at(1);
        const ReportRow next =
            Row(QStringLiteral("/next.mbox"), 4, ReportStatus::Skipped, QStringLiteral("done"));
        QString error;
        QVERIFY2(Append(file, {first}, &error), qPrintable(error));
        const qsizetype tornStart = ReadAll(file).size();
        QVERIFY2(Append(file, {torn}, &error), qPrintable(error));
        const QByteArray whole = ReadAll(file);

        for (qsizetype cut = tornStart; cut < whole.size(); ++cut) {
            WriteAll(file, whole.left(cut));
            // Only a JSON line that lost nothing but its line break is whole.
            const bool keptWhole = name.endsWith(QLatin1String("JSONL")) && cut == whole.size() - 1;
            const QList<ReportRow> before = keptWhole ? QList{first, torn} : QList{first};
            QCOMPARE(Read(file), before);

            QVERIFY2(Append(file, {next}, &error), qPrintable(error));
            QCOMPARE(Read(file), before + QList{next});
            // Opening a report that ends whole adds nothing.
            const QByteArray sealed = ReadAll(file);
            QVERIFY2(Append(file, {}, &error), qPrintable(error));
            QCOMPARE(ReadAll(file), sealed);
        }
    }

    // A row cut short by a full disk is closed off by the next write of the
    // same run, so the rows after it stay readable.
    void recoversFromAShortWrite_data() { addFormats(); }
    void recoversFromAShortWrite()
    {
        QFETCH(QString, name);
        const QString file = path(QStringLiteral("short-") + name);
        const ReportRow first = Row(QStringLiteral("/first.eml"), 0, ReportStatus::Converted);
        const ReportRow next = Row(QStringLiteral("/next.eml"), 0, ReportStatus::Converted);
        RunReport report;
        QString error;
        QVERIFY2(report.open(file, &error), qPrintable(error));
        QVERIFY2(report.write(first, &error), qPrintable(error));

        rlimit limit{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlimit small{rlim_t(ReadAll(file).size() + 20), limit.rlim_max};
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool wrote = report.write(AwkwardRows().at(1), &error);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!wrote);
        QVERIFY2(error.contains(file), qPrintable(error));

        QVERIFY2(report.write(next, &error), qPrintable(error));
        QCOMPARE(Read(file), (QList{first, next}));
    }

    void explainsWhatItCannotUse()
    {
        QString error;
        QVERIFY(ReadReport(path(QStringLiteral("never-written.csv")), &error).isEmpty());
        QVERIFY(error.isEmpty());

        RunReport report;
        const QString inMissingFolder = path(QStringLiteral("missing/report.csv"));
        QVERIFY(!report.open(inMissingFolder, &error));
        QVERIFY2(error.contains(inMissingFolder), qPrintable(error));

        // Someone else's table is not appended to.
        const QString foreign = path(QStringLiteral("prices.csv"));
        WriteAll(foreign, "item,price\ntea,3\n");
        error.clear();
        QVERIFY(!report.open(foreign, &error));
        QVERIFY2(error.contains(foreign), qPrintable(error));
        QCOMPARE(ReadAll(foreign), QByteArray("item,price\ntea,3\n"));
    }

    // Reports of runs before PST folders had a column resume as they are.
    void readsAndExtendsReportsWithoutTheFolderColumn()
    {
        const QString csv = path(QStringLiteral("older.csv"));
        const QByteArray older = "source,message,output,pages,status,reason,seconds\n"
                                 "/a.eml,,/a.eml.tiff,3,converted,,1.25\n";
        WriteAll(csv, older);
        QString error;
        QVERIFY2(Append(csv, {Row(QStringLiteral("/b.mbox"), 2, ReportStatus::Failed)}, &error),
                 qPrintable(error));
        QCOMPARE(ReadAll(csv), older + "\"/b.mbox\",2,\"/b.mbox.tiff\",3,failed,\"\",1.25\n");
        QCOMPARE(Read(csv), (QList{Row(QStringLiteral("/a.eml"), 0, ReportStatus::Converted),
                                   Row(QStringLiteral("/b.mbox"), 2, ReportStatus::Failed)}));

        // A PST row would lose the folder that tells its messages apart.
        ReportRow pst = Row(QStringLiteral("/c.pst"), 1, ReportStatus::Converted);
        pst.folder = QStringLiteral("Top/Inbox");
        QVERIFY(!Append(csv, {pst}, &error));
        QVERIFY2(error.contains(QLatin1String("folder")), qPrintable(error));
        QCOMPARE(Read(csv).size(), 2);
    }

    // As saved by a spreadsheet or edited by hand: CRLF, unquoted fields,
    // and lines that are no row among the rows.
    void readsReportsEditedElsewhere()
    {
        const QString csv = path(QStringLiteral("edited.csv"));
        WriteAll(csv, "source,message,output,pages,status,reason,seconds\r\n"
                      "/a.eml,,/a.eml.tiff,3,converted,,1.25\r\n"
                      "/x.eml,,/x.tiff,3,finished,,1\r\n"
                      "/y.eml,,/y.tiff,3,failed\r\n"
                      "/b.mbox,2,/b.mbox.tiff,3,failed,,1.25\r\n");
        QCOMPARE(Read(csv), (QList{Row(QStringLiteral("/a.eml"), 0, ReportStatus::Converted),
                                   Row(QStringLiteral("/b.mbox"), 2, ReportStatus::Failed)}));

        const QString jsonl = path(QStringLiteral("edited.jsonl"));
        WriteAll(jsonl, "{\"source\":\"/a.eml\",\"message\":null,\"output\":\"/a.eml.tiff\",\"pages\":3,"
                        "\"status\":\"converted\",\"reason\":\"\",\"seconds\":1.25}\r\n"
                        "not json\n\n"
                        "{\"source\":\"/x.eml\",\"message\":1.5,\"output\":\"\",\"pages\":3,"
                        "\"status\":\"failed\",\"reason\":\"\",\"seconds\":1}\n");
        QCOMPARE(Read(jsonl), (QList{Row(QStringLiteral("/a.eml"), 0, ReportStatus::Converted)}));
    }
};

QTEST_GUILESS_MAIN(TestRunReport)
#include "test_runreport.moc"
