#include "testfiles.h"
#include "testpdf.h"
#include "tiffreadback.h"
#include "vexlotool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <csignal>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using testpdf::Page;

namespace {

// Stands in for the office engine: lays every document out as the pages given.
struct FakeLayout {
    QList<Page> pages = {Page::Grey, Page::Colour, Page::Grey};
    QString failWith;
    bool writeNothing = false;
    int calls = 0;
    QString lastDocument;
    QString lastPdf;

    LayoutFunction function()
    {
        return [this](const QString& document, const QString& pdf) {
            ++calls;
            lastDocument = document;
            lastPdf = pdf;
            if (!failWith.isEmpty())
                throw std::runtime_error(failWith.toStdString());
            if (writeNothing)
                return;
            if (!testpdf::Write(pdf, pages))
                throw std::runtime_error("test PDF not written");
        };
    }
};

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

Outcome Run(const QStringList& arguments, FakeLayout& layout)
{
    Outcome outcome;
    QTextStream out(&outcome.out);
    QTextStream err(&outcome.err);
    outcome.code = RunVexlo(arguments, layout.function(), out, err);
    return outcome;
}

const QByteArray kRtf = "{\\rtf1\\ansi Hello}";

} // namespace

class TestVexloTool : public QObject {
    Q_OBJECT

private slots:
    void usageWithFewerThanTwoArguments()
    {
        FakeLayout layout;
        for (const QStringList& arguments : {QStringList(), QStringList{QStringLiteral("a.rtf")}}) {
            const Outcome outcome = Run(arguments, layout);
            QCOMPARE(outcome.code, 0);
            QCOMPARE(outcome.out, QStringLiteral("Usage: VEXLO.exe <msg_file> <output_file>\n"));
            QVERIFY(outcome.err.isEmpty());
        }
        QCOMPARE(layout.calls, 0);
    }

    void writesAllPagesAndIgnoresExtraArguments()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("my \"odd\" letter's ü.rtf"));
        const QString output = dir.filePath(QStringLiteral("out put ✓.tiff"));
        testfiles::Write(input, kRtf);
        FakeLayout layout;

        const Outcome outcome =
            Run({input, output, QStringLiteral("extra"), QStringLiteral("/nowhere/x.tiff")}, layout);

        QCOMPARE(outcome.code, 0);
        QVERIFY(outcome.out.isEmpty());
        QVERIFY(outcome.err.isEmpty());
        QCOMPARE(layout.lastDocument, input);
        const auto pages = tiffreadback::Read(output);
        QCOMPARE(pages.size(), 3);
        QCOMPARE(pages[0].samples, uint16_t(1));
        QCOMPARE(pages[1].samples, uint16_t(3));
        QCOMPARE(pages[0].documentName, QFileInfo(input).fileName());
        QCOMPARE(pages[2].pageNumber, uint16_t(2));
        // The intermediate PDF and its private folder are gone.
        QVERIFY(!QFileInfo::exists(layout.lastPdf));
        QVERIFY(!QFileInfo::exists(QFileInfo(layout.lastPdf).path()));
        QCOMPARE(testfiles::Entries(dir.path()).size(), 2);
        // A new file gets the usual permissions, not the temporary file's.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        QCOMPARE(QFileInfo(output).permission(QFile::ReadOther), !(mask & S_IROTH));
    }

    void outputNameAsLongAsAllowed()
    {
        // The hidden work name must not grow from the output's name.
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.rtf"));
        testfiles::Write(input, kRtf);
        const QString output = dir.filePath(QString(250, QLatin1Char('n')) + QStringLiteral(".tiff"));
        FakeLayout layout;

        const Outcome outcome = Run({input, output}, layout);

        QVERIFY2(outcome.code == 0, qPrintable(outcome.err));
        QCOMPARE(tiffreadback::Read(output).size(), 3);
    }

    // A path may look like an option: after "--" it is read as a path, and
    // the two-argument form takes one written "./--...".
    void pathsThatLookLikeOptions()
    {
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        testfiles::Write(QStringLiteral("--in.rtf"), kRtf);
        QVERIFY(QDir().mkdir(QStringLiteral("--out")));
        FakeLayout layout;

        const Outcome ended = Run({QStringLiteral("--dpi"), QStringLiteral("100"), QStringLiteral("--"),
                                   QStringLiteral("--in.rtf"), QStringLiteral("--out/a.tiff")},
                                  layout);
        const Outcome dotted = Run({QStringLiteral("./--in.rtf"), QStringLiteral("./--out/b.tiff")}, layout);
        const Outcome listed =
            Run({QStringLiteral("--output"), QStringLiteral("--out/c.tiff"), QStringLiteral("--"),
                 QStringLiteral("--in.rtf"), QStringLiteral("--help")},
                layout);
        QVERIFY(QDir::setCurrent(previous));

        QVERIFY2(ended.code == 0, qPrintable(ended.err));
        QVERIFY2(dotted.code == 0, qPrintable(dotted.err));
        QCOMPARE(tiffreadback::Read(dir.filePath(QStringLiteral("--out/a.tiff"))).size(), 3);
        QCOMPARE(tiffreadback::Read(dir.filePath(QStringLiteral("--out/a.tiff"))).first().xResolution,
                 100.0f);
        QCOMPARE(tiffreadback::Read(dir.filePath(QStringLiteral("--out/b.tiff"))).size(), 3);
        // After "--", "--help" is a document (one that does not exist).
        QCOMPARE(listed.code, 1);
        QVERIFY2(listed.err.contains(QStringLiteral("--help does not exist")), qPrintable(listed.err));
        QVERIFY(listed.out.isEmpty());
    }

    void badInputFailsWithOneLineAndNoOutput_data()
    {
        QTest::addColumn<QString>("inputName");
        QTest::addColumn<QByteArray>("inputBytes");
        QTest::addColumn<QString>("outputName");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing input") << QString() << QByteArray() << "out.tiff"
                                       << "does not exist";
        QTest::newRow("zero bytes") << "empty.rtf" << QByteArray() << "out.tiff"
                                    << "is empty";
        QTest::newRow("rtf that is not rtf") << "fake.rtf" << QByteArray("PK\x03\x04 zip bytes") << "out.tiff"
                                             << "is not an RTF document";
        QTest::newRow("missing output folder") << "in.rtf" << kRtf << "no such folder/out.tiff"
                                               << "does not exist";
        QTest::newRow("output is a folder") << "in.rtf" << kRtf << "."
                                            << "is a folder";
        QTest::newRow("no output named") << "in.rtf" << kRtf << QString() << "No output file";
    }

    void badInputFailsWithOneLineAndNoOutput()
    {
        QFETCH(QString, inputName);
        QFETCH(QByteArray, inputBytes);
        QFETCH(QString, outputName);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QString input = dir.filePath(QStringLiteral("missing.rtf"));
        if (!inputName.isEmpty()) {
            input = dir.filePath(inputName);
            testfiles::Write(input, inputBytes);
        }
        const QString output = outputName.isEmpty() ? QString() : dir.filePath(outputName);
        const QStringList before = testfiles::Entries(dir.path());
        FakeLayout layout;

        const Outcome outcome = Run({input, output}, layout);

        QCOMPARE(outcome.code, 1);
        QVERIFY2(outcome.err.startsWith(QStringLiteral("vexlo: ")), qPrintable(outcome.err));
        QVERIFY2(outcome.err.contains(reason), qPrintable(outcome.err));
        QCOMPARE(outcome.err.count(QLatin1Char('\n')), 1);
        QVERIFY(outcome.err.endsWith(QLatin1Char('\n')));
        QCOMPARE(layout.calls, 0);
        QCOMPARE(testfiles::Entries(dir.path()), before);
    }

    void unwritableOutputFolder()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.rtf"));
        testfiles::Write(input, kRtf);
        const QString locked = testfiles::UnwritableFolder(dir);
        FakeLayout layout;

        const Outcome outcome = Run({input, locked + QStringLiteral("/out.tiff")}, layout);

        QCOMPARE(outcome.code, 1);
        QVERIFY2(outcome.err.contains(QStringLiteral("Cannot write in the output folder")),
                 qPrintable(outcome.err));
        QCOMPARE(testfiles::LeftOvers(locked), QStringList());
        if (layout.calls > 0)
            QVERIFY(!QFileInfo::exists(QFileInfo(layout.lastPdf).path()));
    }

    // A full disk (here: the largest file this process may write) is named
    // as such, with what to do, rather than as libtiff's scanline; no
    // partial file stays.
    void aFullDiskIsNamed_data()
    {
        QTest::addColumn<QString>("pages");
        QTest::newRow("multi") << QStringLiteral("multi");
        QTest::newRow("single") << QStringLiteral("single");
    }

    void aFullDiskIsNamed()
    {
        QFETCH(QString, pages);
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.pdf"));
        QVERIFY(testpdf::Write(input, {Page::Colour, Page::Grey, Page::Colour}));
        FakeLayout layout;

        struct rlimit previous {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &previous), 0);
        struct rlimit small = previous;
        small.rlim_cur = 4096;
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const Outcome outcome =
            Run({QStringLiteral("--pages"), pages, input, dir.filePath(QStringLiteral("out.tiff"))}, layout);
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);

        QCOMPARE(outcome.code, 1);
        QCOMPARE(outcome.err,
                 QStringLiteral("vexlo: There is no space left on the disk of %1: free some space and "
                                "convert again.\n")
                     .arg(QFileInfo(dir.path()).absoluteFilePath()));
        QCOMPARE(testfiles::LeftOvers(dir.path()), QStringList());
    }

    void unreadableInput()
    {
        if (::geteuid() == 0)
            QSKIP("root reads every file");
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.rtf"));
        testfiles::Write(input, kRtf);
        QVERIFY(::chmod(QFile::encodeName(input).constData(), 0) == 0);
        FakeLayout layout;

        const Outcome outcome = Run({input, dir.filePath(QStringLiteral("out.tiff"))}, layout);

        QCOMPARE(outcome.code, 1);
        QVERIFY2(outcome.err.contains(QStringLiteral("cannot be read")), qPrintable(outcome.err));
        QCOMPARE(testfiles::Entries(dir.path()), QStringList{QStringLiteral("in.rtf")});
    }

    void layoutFailureIsReportedOnOneLine()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.rtf"));
        testfiles::Write(input, kRtf);
        FakeLayout layout;
        layout.failWith = QStringLiteral("LibreOffice cannot open the file\nGeneral error.");

        const Outcome outcome = Run({input, dir.filePath(QStringLiteral("out.tiff"))}, layout);

        QCOMPARE(outcome.code, 1);
        QCOMPARE(outcome.err, QStringLiteral("vexlo: LibreOffice cannot open the file General error.\n"));
        QVERIFY(!QFileInfo::exists(QFileInfo(layout.lastPdf).path()));
        QCOMPARE(testfiles::Entries(dir.path()), QStringList{QStringLiteral("in.rtf")});
    }

    void layoutThatWritesNothing()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.odt"));
        testfiles::Write(input, "contents are the office engine's business");
        FakeLayout layout;
        layout.writeNothing = true;

        const Outcome outcome = Run({input, dir.filePath(QStringLiteral("out.tiff"))}, layout);

        QCOMPARE(outcome.code, 1);
        QVERIFY2(outcome.err.contains(QStringLiteral("laid out no pages")), qPrintable(outcome.err));
        QCOMPARE(testfiles::Entries(dir.path()), QStringList{QStringLiteral("in.odt")});
    }

    // Options anywhere on the line; with --output the documents follow one
    // another, and a PDF among them is rasterised without a layout.
    void optionsAndSeveralDocuments()
    {
        QTemporaryDir dir;
        const QString rtf = dir.filePath(QStringLiteral("letter.rtf"));
        const QString pdf = dir.filePath(QStringLiteral("attached.pdf"));
        testfiles::Write(rtf, kRtf);
        QVERIFY(testpdf::Write(pdf, {Page::Colour}));
        const QString output = dir.filePath(QStringLiteral("out.tiff"));
        FakeLayout layout;

        const Outcome outcome =
            Run({QStringLiteral("--dpi"), QStringLiteral("300"), rtf, QStringLiteral("--output"), output, pdf,
                 QStringLiteral("--colour"), QStringLiteral("mono")},
                layout);

        QVERIFY2(outcome.code == 0, qPrintable(outcome.err));
        QCOMPARE(layout.calls, 1);
        QCOMPARE(layout.lastDocument, rtf);
        const auto pages = tiffreadback::Read(output);
        QCOMPARE(pages.size(), 4);
        for (const auto& page : pages) {
            QCOMPARE(page.xResolution, 300.0f);
            QVERIFY(qAbs(int(page.width) - 2480) <= 1);
            QCOMPARE(int(page.compression), int(COMPRESSION_CCITTFAX4));
            QCOMPARE(page.documentName, QStringLiteral("letter.rtf"));
        }
        QVERIFY(!QFileInfo::exists(layout.lastPdf));
    }

    void badOptionsFailOnOneLine_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("reason");
        QTest::newRow("dpi too low") << QStringList{"--dpi", "71"} << "--dpi needs a number from 72 to 600";
        QTest::newRow("dpi too high") << QStringList{"--dpi", "601"} << "--dpi needs";
        QTest::newRow("dpi not a number") << QStringList{"--dpi", "high"} << "--dpi needs";
        QTest::newRow("colour") << QStringList{"--colour", "sepia"} << "auto, colour, grey or mono";
        QTest::newRow("pages") << QStringList{"--pages", "some"} << "single or multi";
        QTest::newRow("prefix of digits") << QStringList{"--bates", "123"} << "Bates prefix";
        QTest::newRow("prefix with a comma") << QStringList{"--bates", "A,B"} << "Bates prefix";
        QTest::newRow("digits") << QStringList{"--bates", "A", "--bates-digits", "0"} << "--bates-digits";
        QTest::newRow("unknown") << QStringList{"--frobnicate", "x"} << "Unknown option --frobnicate";
        QTest::newRow("no value") << QStringList{"--dpi"} << "--dpi needs a value";
    }

    void badOptionsFailOnOneLine()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.rtf"));
        testfiles::Write(input, kRtf);
        FakeLayout layout;

        const Outcome outcome =
            Run(QStringList{input, dir.filePath(QStringLiteral("out.tiff"))} + options, layout);

        QCOMPARE(outcome.code, 1);
        QVERIFY2(outcome.err.contains(reason), qPrintable(outcome.err));
        QCOMPARE(outcome.err.count(QLatin1Char('\n')), 1);
        QCOMPARE(layout.calls, 0);
        QCOMPARE(testfiles::Entries(dir.path()), QStringList{QStringLiteral("in.rtf")});
    }

    void helpNamesEveryOption()
    {
        FakeLayout layout;
        const Outcome outcome = Run({QStringLiteral("--help")}, layout);
        QCOMPARE(outcome.code, 0);
        for (const char* option :
             {"--dpi", "--colour", "--pages", "--bates", "--bates-start", "--bates-digits", "--output"})
            QVERIFY2(outcome.out.contains(QLatin1String(option)), option);
    }
};

QTEST_MAIN(TestVexloTool)
#include "test_vexlotool.moc"
