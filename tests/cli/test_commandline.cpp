#include "batchinput.h"
#include "batchrun.h"
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
        QTest::newRow("no pages") << QStringList{QStringLiteral("--max-pages=0"), QStringLiteral("a.eml")};
        QTest::newRow("more pages than a message may have")
            << QStringList{QStringLiteral("--max-pages=100001"), QStringLiteral("a.eml")};
        QTest::newRow("no workers") << QStringList{QStringLiteral("--jobs=0"), QStringLiteral("a.eml")};
        QTest::newRow("shard past the last")
            << QStringList{QStringLiteral("--shard"), QStringLiteral("4/4"), QStringLiteral("a.eml")};
        QTest::newRow("shard of no parts")
            << QStringList{QStringLiteral("--shard=0/0"), QStringLiteral("a.eml")};
        QTest::newRow("shard that is no fraction")
            << QStringList{QStringLiteral("--shard=1"), QStringLiteral("a.eml")};
        QTest::newRow("resume without a report")
            << QStringList{QStringLiteral("--resume"), QStringLiteral("a.eml")};
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
        QTest::newRow("bates split into shards")
            << QStringList{"--bates", "ABC", "--out", "/tmp", "--shard", "0/2", "a.eml"};
        QTest::newRow("bates resumed")
            << QStringList{"--bates", "ABC", "--out", "/tmp", "--report", "r.csv", "--resume", "a.eml"};
        QTest::newRow("production without numbers") << QStringList{"--production", "/p", "a.eml"};
        QTest::newRow("production with out")
            << QStringList{"--production", "/p", "--bates", "A1", "-o", "/o", "a.eml"};
        QTest::newRow("production in shards")
            << QStringList{"--production", "/p", "--bates", "A1", "--shard", "0/2", "a.eml"};
        QTest::newRow("production with multi-page files")
            << QStringList{"--production", "/p", "--bates", "A1", "--pages", "multi", "a.eml"};
        QTest::newRow("volume that is a path")
            << QStringList{"--production", "/p", "--bates", "A1", "--volume", "../V", "a.eml"};
        QTest::newRow("volume with a line break")
            << QStringList{"--production", "/p", "--bates", "A1", "--volume", "V\n2", "a.eml"};
        QTest::newRow("natives of no kind")
            << QStringList{"--production", "/p", "--bates", "A1", "--natives", "spreadsheets,pdf", "a.eml"};
        QTest::newRow("dedupe both ways")
            << QStringList{"--production", "/p", "--bates", "A1", "--dedupe", "--no-dedupe", "a.eml"};
        QTest::newRow("production options without a production") << QStringList{"--ocr", "a.eml"};
        QTest::newRow("verify without a folder") << QStringList{"--verify="};
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

    // A production takes the protocol's defaults unless told otherwise,
    // and resumes from its own record.
    void readsProductionOptions()
    {
        QString error;
        const auto line = ParseCommandLine(
            {"--production", "/p", "--bates", "ABC-000000001", "--resume", "--natives", "media", "a.eml"},
            &error, 2);
        QVERIFY2(line, qPrintable(error));
        QVERIFY(line->production);
        QCOMPARE(line->production->folder, QStringLiteral("/p"));
        QCOMPARE(line->production->volume, QStringLiteral("VOL001"));
        QVERIFY(line->production->dedupe && !line->production->ocr);
        QCOMPARE(line->production->natives.text(), QStringLiteral("media"));
        QCOMPARE(line->imaging.render.dpi, 300);
        QCOMPARE(line->imaging.render.colour, ColourMode::Mono);
        QCOMPARE(line->imaging.render.pages, PageFiles::Single);
        QCOMPARE(line->imaging.render.bates->prefix, QStringLiteral("ABC-"));
        QCOMPARE(line->imaging.render.bates->digits, 9);
        QCOMPARE(line->jobs, 2);

        const auto chosen =
            ParseCommandLine({"--production", "/p", "--bates", "X1", "--dpi", "200", "--colour", "grey",
                              "--no-dedupe", "--natives", "none", "--volume", "PROD_02.b", "a.eml"},
                             &error);
        QVERIFY2(chosen, qPrintable(error));
        QCOMPARE(chosen->imaging.render.dpi, 200);
        QCOMPARE(chosen->imaging.render.colour, ColourMode::Grey);
        QVERIFY(!chosen->production->dedupe);
        QCOMPARE(chosen->production->natives.text(), QStringLiteral("none"));
        QCOMPARE(chosen->production->volume, QStringLiteral("PROD_02.b"));

        const auto verify = ParseCommandLine({"--verify", "/p"}, &error);
        QVERIFY2(verify, qPrintable(error));
        QCOMPARE(verify->verifyFolder, QStringLiteral("/p"));
    }

    void readsPathsAndOptions()
    {
        QString error;
        const auto line =
            ParseCommandLine({QStringLiteral("--out=/x y"), QStringLiteral("a.eml"), QStringLiteral("--"),
                              QStringLiteral("-dash.eml"), QStringLiteral("--help")},
                             &error, 3);
        QVERIFY2(line, qPrintable(error));
        QCOMPARE(line->outputFolder, QStringLiteral("/x y"));
        QCOMPARE(line->pageTimeLimitSeconds, 60);
        QCOMPARE(line->maxPages, 2000);
        QCOMPARE(line->jobs, 3);
        QCOMPARE(line->paths, (QStringList{QStringLiteral("a.eml"), QStringLiteral("-dash.eml"),
                                           QStringLiteral("--help")}));
        QVERIFY(!line->help);

        const auto all =
            ParseCommandLine({QStringLiteral("--page-time-limit"), QStringLiteral("5"), QStringLiteral("-j"),
                              QStringLiteral("2"), QStringLiteral("--shard"), QStringLiteral("3/8"),
                              QStringLiteral("--report=r.jsonl"), QStringLiteral("--resume"),
                              QStringLiteral("--mbox-scan"), QStringLiteral("-q"), QStringLiteral("a.eml")},
                             &error);
        QVERIFY2(all, qPrintable(error));
        QCOMPARE(all->pageTimeLimitSeconds, 5);
        QCOMPARE(all->jobs, 2);
        QCOMPARE(all->shard.index, 3);
        QCOMPARE(all->shard.count, 8);
        QCOMPARE(all->reportPath, QStringLiteral("r.jsonl"));
        QVERIFY(all->resume && all->mboxScan && all->quiet);
        QCOMPARE(ParseCommandLine({QStringLiteral("--max-pages=100000"), QStringLiteral("a.eml")}, &error)
                     ->maxPages,
                 100000);
    }

    // What a production asks for, and what the workers of its run are told.
    void readsImagingOptions()
    {
        QString error;
        const auto line =
            ParseCommandLine({"--dpi=300", "--color", "mono", "--header", "cc, attachments", "--attachments",
                              "--bates", "VOL2-0099", "-o", "/out", "-j", "4", "a.eml"},
                             &error);
        QVERIFY2(line, qPrintable(error));
        const ImagingOptions& imaging = line->imaging;
        QCOMPARE(imaging.render.dpi, 300);
        QCOMPARE(imaging.render.colour, ColourMode::Mono);
        QVERIFY(imaging.headerCc && imaging.headerAttachments && imaging.attachments);
        QVERIFY(imaging.render.bates);
        QCOMPARE(imaging.render.bates->number(imaging.render.bates->first), QStringLiteral("VOL2-0099"));
        // Each numbered page is a file of its own; the numbers follow the
        // input order with every worker.
        QCOMPARE(imaging.render.pages, PageFiles::Single);
        QCOMPARE(line->jobs, 4);

        const QStringList forWorkers = ImagingArguments(imaging);
        const auto worker = ParseCommandLine(QStringList{"--worker"} + forWorkers, &error);
        QVERIFY2(worker, qPrintable(error));
        QCOMPARE(ImagingArguments(worker->imaging), forWorkers);

        const auto plain = ParseCommandLine({"a.eml"}, &error);
        QVERIFY(plain && plain->imaging.changesNothing());
        QVERIFY(ImagingArguments(plain->imaging).isEmpty());
    }

    void helpAndVersionAsQtProgramsHaveThem()
    {
        const CliRun help = RunCli({QStringLiteral("--help")});
        QCOMPARE(help.exitCode, kExitAllConverted);
        QVERIFY2(help.out.startsWith(QLatin1String("Usage: quillmark-convert [options] PATH...")),
                 qPrintable(help.out));
        for (const char* option :
             {"--out",       "--jobs",    "--page-time-limit", "--mbox-scan", "--report",     "--resume",
              "--shard",     "--quiet",   "--version",         "Exit status", "--dpi",        "--colour",
              "--pages",     "--header",  "--attachments",     "--bates",     "--production", "--volume",
              "--custodian", "--natives", "--no-dedupe",       "--ocr",       "--verify",     "--max-pages"})
            QVERIFY2(help.out.contains(QLatin1String(option)), option);
        QVERIFY(!help.out.contains(QLatin1String("--worker")));

        const CliRun version = RunCli({QStringLiteral("--version")});
        QCOMPARE(version.exitCode, kExitAllConverted);
        QVERIFY2(version.out.startsWith(QLatin1String("quillmark-convert ")), qPrintable(version.out));
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
        const CollectedInput input = CollectInput(
            {QStringLiteral("top"), QStringLiteral("single.eml"), QStringLiteral("gone.eml")}, false);
        QStringList messages;
        for (const InputMessage& message : input.messages)
            messages << message.source;
        QCOMPARE(messages,
                 (QStringList{root + QStringLiteral("/top/a.eml"), root + QStringLiteral("/top/B.EML"),
                              root + QStringLiteral("/top/deep/er/c.Eml"),
                              root + QStringLiteral("/single.eml"), root + QStringLiteral("/gone.eml")}));
        QVERIFY(input.problems.isEmpty());
    }

    void namesAreDecidedForTheWholeInput()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        QList<InputMessage> messages;
        const auto add = [&](const QString& source, int number = 0, int width = 5) {
            InputMessage message;
            message.kind = number > 0 ? InputKind::Mbox : InputKind::File;
            message.source = root + source;
            message.number = number;
            message.numberWidth = width;
            messages.append(message);
        };
        add(QStringLiteral("/a/report.eml"));
        add(QStringLiteral("/b/report.eml"));
        add(QStringLiteral("/Inbox"), 7);
        add(QStringLiteral("/takeout.mbox"), 12, 6);
        add(QStringLiteral("/c/report.eml"));
        AssignOutputPaths(messages, root + QStringLiteral("/out"));
        QStringList names;
        for (const InputMessage& message : messages)
            names << QFileInfo(message.outputPath).fileName();
        // Every name is taken once, failed or not, so any number of workers,
        // in any order of finishing, writes the same files.
        QCOMPARE(names, (QStringList{"report.tiff", "report (2).tiff", "Inbox-00007.tiff",
                                     "takeout-000012.tiff", "report (3).tiff"}));
        QCOMPARE(messages.at(3).displayName(), root + QStringLiteral("/takeout.mbox (message 12)"));
    }

    void shardsAreDisjointAndCoverTheInput()
    {
        QTemporaryDir dir;
        for (int i = 0; i < 300; ++i)
            touch(dir.path() + QStringLiteral("/d%1/m%2.eml").arg(i % 7).arg(i));
        const QList<InputMessage> all = CollectInput({dir.path()}, false).messages;
        QCOMPARE(all.size(), 300);
        // Mounted elsewhere, the same archive splits the same way.
        QTemporaryDir elsewhere;
        QVERIFY(QFile::link(dir.path(), elsewhere.path() + QStringLiteral("/archive")));
        const QList<InputMessage> mounted =
            CollectInput({elsewhere.path() + QStringLiteral("/archive")}, false).messages;
        QCOMPARE(mounted.size(), 300);

        QList<int> owners(all.size(), -1);
        for (int index = 0; index < 4; ++index) {
            int mine = 0;
            for (qsizetype i = 0; i < all.size(); ++i) {
                const bool in = InShard(all.at(i), Shard{index, 4});
                QCOMPARE(InShard(mounted.at(i), Shard{index, 4}), in);
                if (!in)
                    continue;
                QCOMPARE(owners.at(i), -1);
                owners[i] = index;
                ++mine;
            }
            // A fair hash gives each part about a quarter.
            QVERIFY2(mine > 40 && mine < 110, qPrintable(QString::number(mine)));
        }
        QVERIFY(!owners.contains(-1));
        QVERIFY(InShard(all.first(), Shard{0, 1}));
    }

    void progressSaysWhereTheRunIs()
    {
        QCOMPARE(ProgressLine(0, 200, 0), QStringLiteral("0/200 0%"));
        QCOMPARE(ProgressLine(50, 200, 25), QStringLiteral("50/200 25%, 2.00 messages/s, 1 min 15 s left"));
        QCOMPARE(ProgressLine(9000, 10000, 600),
                 QStringLiteral("9000/10000 90%, 15.0 messages/s, 1 min 7 s left"));
        QCOMPARE(ChooseProgress(false, true), Progress::InPlace);
        QCOMPARE(ChooseProgress(false, false), Progress::Lines);
        QCOMPARE(ChooseProgress(true, true), Progress::Quiet);
    }

    void aNoMessageFolderIsNoSuccess()
    {
        QTemporaryDir dir;
        touch(dir.path() + QStringLiteral("/readme.txt"));
        const CliRun run = RunCli({dir.path()});
        QCOMPARE(run.exitCode, kExitSomeFailed);
        QVERIFY(run.err.contains(QLatin1String("no .eml files or mbox messages found")));
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
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_commandline.moc"
