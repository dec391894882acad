#include "cliprocess.h"
#include "commandline.h"
#include "consoledialogs.h"
#include "stepguard.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestCommandLine : public QObject {
    Q_OBJECT

    static void touch(const QString& path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

private slots:
    void refusesArgumentsThatMakeNoSense_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("nothing") << QStringList();
        QTest::newRow("out without a folder")
            << QStringList{QStringLiteral("a.eml"), QStringLiteral("--out")};
        QTest::newRow("out with an empty folder")
            << QStringList{QStringLiteral("--out="), QStringLiteral("a.eml")};
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--fast"), QStringLiteral("a.eml")};
        QTest::newRow("only a folder for the output")
            << QStringList{QStringLiteral("-o"), QStringLiteral("/tmp")};
        QTest::newRow("time limit of no seconds")
            << QStringList{QStringLiteral("--page-time-limit"), QStringLiteral("0"), QStringLiteral("a.eml")};
        QTest::newRow("time limit that is no number")
            << QStringList{QStringLiteral("--page-time-limit"), QStringLiteral("a.eml")};
        QTest::newRow("dpi below 72") << QStringList{"--dpi", "71", "a.eml"};
        QTest::newRow("dpi above 600") << QStringList{"--dpi=601", "a.eml"};
        QTest::newRow("colour of no kind") << QStringList{"--colour", "sepia", "a.eml"};
        QTest::newRow("pages of no kind") << QStringList{"--pages", "double", "a.eml"};
        QTest::newRow("header line of no kind") << QStringList{"--header", "cc,bcc", "a.eml"};
        QTest::newRow("bates without a prefix") << QStringList{"--bates", "000001", "--out", "/tmp", "a.eml"};
        QTest::newRow("bates prefix with a comma")
            << QStringList{"--bates", "A,B1", "--out", "/tmp", "a.eml"};
        QTest::newRow("bates without out") << QStringList{"--bates", "ABC000001", "a.eml"};
        QTest::newRow("bates with multi-page files")
            << QStringList{"--bates", "ABC", "--pages", "multi", "--out", "/tmp", "a.eml"};
        QTest::newRow("dpi without a value") << QStringList{"a.eml", "--dpi"};
    }
    void refusesArgumentsThatMakeNoSense()
    {
        QFETCH(QStringList, arguments);
        QString error;
        QVERIFY(!ParseCommandLine(arguments, &error));
        QVERIFY(!error.isEmpty());

        // The program itself says so and exits with 2, converting nothing.
        const CliRun run = RunCli(arguments);
        QCOMPARE(run.exitCode, kExitBadArguments);
        QVERIFY2(run.err.contains(QLatin1String("--help")), qPrintable(run.err));
        QVERIFY(run.messageLines().isEmpty());
    }

    void readsPathsAndOptions()
    {
        QString error;
        const auto line =
            ParseCommandLine({QStringLiteral("--out=/x y"), QStringLiteral("a.eml"), QStringLiteral("--"),
                              QStringLiteral("-dash.eml"), QStringLiteral("--help")},
                             &error);
        QVERIFY2(line, qPrintable(error));
        QCOMPARE(line->outputFolder, QStringLiteral("/x y"));
        QCOMPARE(line->pageTimeLimitSeconds, 60);
        const auto limited = ParseCommandLine(
            {QStringLiteral("--page-time-limit"), QStringLiteral("5"), QStringLiteral("a.eml")}, &error);
        QVERIFY2(limited, qPrintable(error));
        QCOMPARE(limited->pageTimeLimitSeconds, 5);
        QCOMPARE(limited->paths, QStringList{QStringLiteral("a.eml")});
        QCOMPARE(line->paths, (QStringList{QStringLiteral("a.eml"), QStringLiteral("-dash.eml"),
                                           QStringLiteral("--help")}));
        QVERIFY(!line->help);
    }

    void helpExplainsUsageAndExitStatus()
    {
        const CliRun run = RunCli({QStringLiteral("--help")});
        QCOMPARE(run.exitCode, kExitAllConverted);
        QVERIFY(run.out.startsWith(QLatin1String(
            "Usage: quillmark-convert [--out DIR] [--page-time-limit SECONDS] [OPTIONS] PATH...")));
        QVERIFY(run.out.contains(QLatin1String("Exit status")));
    }

    void foldersStandForTheirMessagesAtAnyDepth()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        touch(root + QStringLiteral("/top/a.eml"));
        touch(root + QStringLiteral("/top/B.EML"));
        touch(root + QStringLiteral("/top/notes.txt"));
        touch(root + QStringLiteral("/top/._a.eml")); // a copy tool's hidden resource file
        touch(root + QStringLiteral("/top/deep/er/c.Eml"));
        touch(root + QStringLiteral("/single.eml"));

        QDir::setCurrent(root);
        QStringList unreadable;
        const QStringList messages = CollectMessages(
            {QStringLiteral("top"), QStringLiteral("single.eml"), QStringLiteral("gone.eml")}, &unreadable);
        QCOMPARE(messages,
                 (QStringList{root + QStringLiteral("/top/a.eml"), root + QStringLiteral("/top/B.EML"),
                              root + QStringLiteral("/top/deep/er/c.Eml"),
                              root + QStringLiteral("/single.eml"), root + QStringLiteral("/gone.eml")}));
        QVERIFY(unreadable.isEmpty());
    }

    void aNoMessageFolderIsNoSuccess()
    {
        QTemporaryDir dir;
        touch(dir.path() + QStringLiteral("/readme.txt"));
        const CliRun run = RunCli({dir.path()});
        QCOMPARE(run.exitCode, kExitSomeFailed);
        QVERIFY(run.err.contains(QLatin1String("no .eml files")));
    }

    void errorReportsBecomeOneLine()
    {
        const QString report =
            BuildErrorReport(QStringLiteral("the page cannot be read"),
                             QStringLiteral("in Quillmark2021/08/31.Form1.PushButton2_Click "), 208);
        QCOMPARE(OneLineMessage(report), QStringLiteral("step 208: the page cannot be read"));
        QCOMPARE(OneLineMessage(QStringLiteral("Done.\r\n\r\nmore")), QStringLiteral("Done. more"));

        ConsoleDialogs dialogs;
        QCOMPARE(dialogs.messageBox(QStringLiteral("go on?"), Dialogs::YesNo), Dialogs::AnswerYes);
        QCOMPARE(dialogs.takeMessages(), QStringList{QStringLiteral("go on?")});
        QVERIFY(dialogs.takeMessages().isEmpty());
    }

    void readsImagingOptions()
    {
        QString error;
        const auto line = ParseCommandLine({"--dpi=300", "--colour", "mono", "--header", "cc, attachments",
                                            "--attachments", "--bates", "VOL2-0099", "-o", "/out", "a.eml"},
                                           &error);
        QVERIFY2(line, qPrintable(error));
        const ImagingOptions& imaging = line->imaging;
        QCOMPARE(imaging.render.dpi, 300);
        QCOMPARE(imaging.render.colour, ColourMode::Mono);
        QVERIFY(imaging.headerCc && imaging.headerAttachments && imaging.attachments);
        QVERIFY(imaging.render.bates);
        QCOMPARE(imaging.render.bates->number(imaging.render.bates->first), QStringLiteral("VOL2-0099"));
        // Each numbered page is a file of its own.
        QCOMPARE(imaging.render.pages, PageFiles::Single);

        const auto plain = ParseCommandLine({"a.eml"}, &error);
        QVERIFY(plain && plain->imaging.changesNothing());
        const QString usage = UsageText();
        for (const char* option : {"--dpi", "--colour", "--pages single", "--header cc,attachments",
                                   "--attachments", "--bates PREFIX[START]"})
            QVERIFY2(usage.contains(QLatin1String(option)), option);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_commandline.moc"
