#include "cliprocess.h"
#include "commandline.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <grp.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

// The limits of quillmark-convert and the reasons it gives when it cannot
// write, with the real page engine and vexlo.
class TestLimits : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_work;

    QString writeMessage(const QString& name, const QByteArray& html)
    {
        const QString path = m_dir.path() + QLatin1Char('/') + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write("From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: Pages\r\n"
                   "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
                   "Content-Type: text/html; charset=utf-8\r\n\r\n" +
                   html + "\r\n");
        return path;
    }

    static QString readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // quillmark-convert as the user "nobody" when this is root, since
    // permissions do not stop root; as another user when it cannot write in
    // `readOnly`. No value when neither can be had.
    static std::optional<CliRun> runUnprivileged(const QStringList& arguments, const QString& readOnly)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), QStringLiteral("/tmp"));
        environment.insert(QStringLiteral("TEMP"), QStringLiteral("/tmp"));
        process.setProcessEnvironment(environment);
        if (::geteuid() == 0)
            process.setChildProcessModifier([] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                    ::_exit(125);
            });
        else if (::access(QFile::encodeName(readOnly).constData(), W_OK) == 0)
            return std::nullopt;
        process.start(QStringLiteral(QM_PROGRAM_DIR "/quillmark-convert"), arguments);
        if (!process.waitForFinished(120000) || process.exitCode() == 125)
            return std::nullopt;
        CliRun run;
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_work = m_dir.path() + QStringLiteral("/work");
        QDir().mkpath(m_work);
    }

    // A small message whose style forces a page break after every line
    // lays out as more pages than --max-pages allows: it fails once laid
    // out, before a page is rasterised, and the report row says why.
    void aMessageOfTooManyPagesFailsQuicklyWithTheReason()
    {
        QByteArray html = "<html><body>";
        for (int i = 0; i < 40; ++i)
            html += "<p style=\"break-after: page\">page " + QByteArray::number(i) + "</p>";
        html += "</body></html>";
        const QString message = writeMessage(QStringLiteral("breaks.eml"), html);
        const QString out = m_dir.path() + QStringLiteral("/out-pages");
        const QString report = m_dir.path() + QStringLiteral("/pages.csv");

        QElapsedTimer clock;
        clock.start();
        const CliRun run = RunCli({QStringLiteral("--max-pages"), QStringLiteral("10"),
                                   QStringLiteral("--out"), out, QStringLiteral("--report"), report, message},
                                  m_work);

        QCOMPARE(run.exitCode, kExitSomeFailed);
        QVERIFY2(clock.elapsed() < 120000, qPrintable(QString::number(clock.elapsed())));
        const QString rows = readFile(report);
        QVERIFY2(rows.contains(QLatin1String("the message lays out as ")) &&
                     rows.contains(QLatin1String(" pages, more than the limit of 10 pages (--max-pages)")),
                 qPrintable(rows + run.out + run.err));
        QVERIFY(!QFileInfo::exists(out + QStringLiteral("/breaks.tiff")));
    }

    // A page that does not load within --page-time-limit fails with the page
    // engine's own reason in the report, said once on standard output.
    void thePageEnginesTimeLimitIsTheReportedReason()
    {
        const QString message = writeMessage(
            QStringLiteral("tall.eml"), "<html><body><div style=\"height: 1e9px\">tall</div></body></html>");
        const QString report = m_dir.path() + QStringLiteral("/tall.csv");
        const CliRun run =
            RunCli({QStringLiteral("--page-time-limit"), QStringLiteral("2"), QStringLiteral("--out"),
                    m_dir.path() + QStringLiteral("/out-tall"), QStringLiteral("--report"), report, message},
                   m_work);

        QCOMPARE(run.exitCode, kExitSomeFailed);
        const QString rows = readFile(report);
        QVERIFY2(rows.contains(QLatin1String("did not load and print within 2 seconds")),
                 qPrintable(rows + run.out + run.err));
        QCOMPARE(run.out.count(QLatin1String("within 2 seconds")), 1);
    }

    // The folder for work files (TEMP) that does not exist is named, with
    // what to do, instead of a failure of the office engine.
    void aMissingWorkFolderIsNamed()
    {
        const QString message = writeMessage(QStringLiteral("short.eml"), "<html><body>Hi</body></html>");
        const QString missing = m_dir.path() + QStringLiteral("/no such folder");
        const CliRun run =
            RunCli({QStringLiteral("--out"), m_dir.path() + QStringLiteral("/out-temp"), message}, missing);

        QCOMPARE(run.exitCode, kExitSomeFailed);
        const QString said = run.out + run.err;
        QVERIFY2(said.contains(QStringLiteral("the folder for work files %1 does not exist").arg(missing)),
                 qPrintable(said));
        QVERIFY2(!said.contains(QLatin1String("office engine")), qPrintable(said));
    }

    // An output folder that cannot be made because its parent may not be
    // written in is a failure to write (1), not a bad argument (2); a file
    // where the folder should be stays a bad argument. Run as "nobody",
    // since permissions do not stop root.
    void anOutputFolderUnderAReadOnlyParentIsAFailureToWrite()
    {
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
        const QString parent = m_dir.path() + QStringLiteral("/read-only");
        QDir().mkpath(parent);
        QVERIFY(::chmod(QFile::encodeName(parent).constData(), 0555) == 0);
        const QString message = writeMessage(QStringLiteral("ro.eml"), "<html><body>Hi</body></html>");

        const std::optional<CliRun> run =
            runUnprivileged({QStringLiteral("--out"), parent + QStringLiteral("/out"), message}, parent);
        if (!run)
            QSKIP("cannot run as an unprivileged user, and this one may write in a read-only folder");
        const QString err = run->err;
        QCOMPARE(run->exitCode, kExitSomeFailed);
        QVERIFY2(
            err.contains(QStringLiteral("the output folder %1/out cannot be made: the folder %1 may not be "
                                        "written in")
                             .arg(parent)),
            qPrintable(err));

        const QString file = m_dir.path() + QStringLiteral("/a file");
        QVERIFY(QFile(file).open(QIODevice::WriteOnly));
        const CliRun onFile =
            RunCli({QStringLiteral("--out"), file + QStringLiteral("/out"), message}, m_work);
        QCOMPARE(onFile.exitCode, kExitBadArguments);
        QVERIFY2(onFile.err.contains(QStringLiteral("is a file, not a folder")), qPrintable(onFile.err));
    }

    // Likewise a report that cannot be written (1), while a file that is no
    // report stays a bad argument (2).
    void aReportThatCannotBeWrittenIsAFailureToWrite()
    {
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
        const QString parent = m_dir.path() + QStringLiteral("/read-only report");
        QDir().mkpath(parent);
        QVERIFY(::chmod(QFile::encodeName(parent).constData(), 0555) == 0);
        const QString out = m_dir.path() + QStringLiteral("/open out");
        QDir().mkpath(out);
        QVERIFY(::chmod(QFile::encodeName(out).constData(), 0777) == 0);
        const QString message = writeMessage(QStringLiteral("report.eml"), "<html><body>Hi</body></html>");

        const std::optional<CliRun> run =
            runUnprivileged({QStringLiteral("--out"), out, QStringLiteral("--report"),
                             parent + QStringLiteral("/r.csv"), message},
                            parent);
        if (!run)
            QSKIP("cannot run as an unprivileged user, and this one may write in a read-only folder");
        QCOMPARE(run->exitCode, kExitSomeFailed);
        QVERIFY2(run->err.contains(QLatin1String("Cannot open the report")), qPrintable(run->err));

        const QString other = m_dir.path() + QStringLiteral("/notes.csv");
        QFile notes(other);
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write("my,own,notes\n");
        notes.close();
        const CliRun wrong =
            RunCli({QStringLiteral("--out"), out, QStringLiteral("--report"), other, message}, m_work);
        QCOMPARE(wrong.exitCode, kExitBadArguments);
        QVERIFY2(wrong.err.contains(QLatin1String("is no report of quillmark-convert")),
                 qPrintable(wrong.err));
    }
};

QTEST_GUILESS_MAIN(TestLimits)
#include "test_limits.moc"
