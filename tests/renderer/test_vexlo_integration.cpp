#include "processrunner.h"
#include "testfiles.h"
#include "tiffreadback.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

// The real vexlo with the real office engine, from the program folder.
namespace {

const QString kTool = QStringLiteral(QM_PROGRAM_DIR "/vexlo");

struct Result {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Result RunTool(const QStringList& arguments, const QString& officeSocket = {})
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QUILLMARK_OFFICE_SOCKET"));
    if (!officeSocket.isEmpty())
        environment.insert(QStringLiteral("QUILLMARK_OFFICE_SOCKET"), officeSocket);
    process.setProcessEnvironment(environment);
    process.start(kTool, arguments);
    Result result;
    if (!process.waitForFinished(600000)) {
        process.kill();
        return result;
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// Three pages of growing length, the second with red text, so the order and
// the colour of each page show in the image.
QByteArray ThreePageRtf()
{
    QByteArray rtf = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Liberation Serif;}}"
                     "{\\colortbl;\\red0\\green0\\blue0;\\red220\\green0\\blue0;}\\f0\\fs24 ";
    rtf += "First page, one line.\\par\\page ";
    for (int i = 0; i < 10; ++i)
        rtf += "\\cf2 Second page, red line " + QByteArray::number(i) + ".\\par ";
    rtf += "\\cf1\\page ";
    for (int i = 0; i < 30; ++i)
        rtf += "Third page, line " + QByteArray::number(i) + ".\\par ";
    rtf += "}";
    return rtf;
}

int InkedRows(const tiffreadback::Page& page)
{
    int rows = 0;
    for (uint32_t y = 0; y < page.height; ++y) {
        for (uint32_t x = 0; x < page.width; ++x) {
            int darkest = 255;
            for (int channel = 0; channel < page.samples; ++channel)
                darkest = std::min(darkest, page.sample(int(x), int(y), channel));
            if (darkest < 128) {
                ++rows;
                break;
            }
        }
    }
    return rows;
}

} // namespace

class TestVexloIntegration : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!QFileInfo(kTool).isExecutable())
            QSKIP("vexlo is not built");
    }

    void usageLine()
    {
        const Result result = RunTool({QStringLiteral("only-one.rtf")});
        QCOMPARE(result.code, 0);
        QCOMPARE(result.out, QByteArray("Usage: VEXLO.exe <msg_file> <output_file>\n"));
        QVERIFY(result.err.isEmpty());
    }

    void threePageDocumentWithoutOfficeHost()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("letter.rtf"));
        const QString output = dir.filePath(QStringLiteral("letter.tiff"));
        testfiles::Write(input, ThreePageRtf());

        const Result result = RunTool({input, output, QStringLiteral("ignored")});

        QVERIFY2(result.code == 0, result.err.constData());
        const auto pages = tiffreadback::Read(output);
        QCOMPARE(pages.size(), 3);
        QCOMPARE(pages[0].samples, uint16_t(1));
        QCOMPARE(pages[1].samples, uint16_t(3));
        QCOMPARE(pages[2].samples, uint16_t(1));
        QCOMPARE(pages[0].xResolution, 200.0f);
        QCOMPARE(pages[2].pageNumber, uint16_t(2));
        QCOMPARE(pages[2].pageTotal, uint16_t(3));
        QCOMPARE(pages[0].documentName, QStringLiteral("letter.rtf"));
        const int first = InkedRows(pages[0]);
        const int second = InkedRows(pages[1]);
        const int third = InkedRows(pages[2]);
        QVERIFY2(first > 0 && first < second && second < third,
                 qPrintable(QStringLiteral("%1 %2 %3").arg(first).arg(second).arg(third)));
        QCOMPARE(testfiles::Entries(dir.path()).size(), 2);
    }

    void officeHostThatDoesNotAnswer()
    {
        // A socket name nobody listens on: the tool lays out on its own.
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("a.rtf"));
        const QString output = dir.filePath(QStringLiteral("a.tiff"));
        testfiles::Write(input, "{\\rtf1\\ansi One page.}");
        const Result result = RunTool({input, output}, dir.filePath(QStringLiteral("nobody-listens")));
        QVERIFY2(result.code == 0, result.err.constData());
        QCOMPARE(tiffreadback::Read(output).size(), 1);
    }

    void throughTheOfficeHost()
    {
        const QString hostProgram = QStringLiteral(QM_PROGRAM_DIR "/quillmark-office");
        if (!QFileInfo(hostProgram).isExecutable())
            QSKIP("the office host is not built");
        QTemporaryDir dir;
        const QString socket = dir.filePath(QStringLiteral("office.sock"));
        QProcess host;
        host.setProcessChannelMode(QProcess::ForwardedChannels);
        host.start(hostProgram, {QStringLiteral("--socket"), socket});
        QVERIFY(host.waitForStarted());
        // The host listens only once LibreOffice is loaded.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket) || host.state() != QProcess::Running, 120000);
        QVERIFY2(host.state() == QProcess::Running, "the office host ended early");

        const QString input = dir.filePath(QStringLiteral("a.rtf"));
        const QString output = dir.filePath(QStringLiteral("a.tiff"));
        testfiles::Write(input, ThreePageRtf());
        const Result result = RunTool({input, output}, socket);

        host.kill();
        host.waitForFinished();
        QVERIFY2(result.code == 0, result.err.constData());
        QCOMPARE(tiffreadback::Read(output).size(), 3);
    }

    void runnerPassesOddPathsUnchanged()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("with \"quotes\" and 'blanks' é"));
        QVERIFY(QDir().mkdir(folder));
        const QString input = folder + QStringLiteral("/Grüße \"aus\" Köln.rtf");
        const QString output = folder + QStringLiteral("/Grüße \"aus\" Köln.tiff");
        testfiles::Write(input, "{\\rtf1\\ansi One page.}");

        const int code =
            RunProcessAndWait(kTool, {input, output}, 0, nullptr, QStringLiteral("Processing: x"), 0, 1);

        QCOMPARE(code, 0);
        QCOMPARE(tiffreadback::Read(output).size(), 1);
    }

    void threeHundredPages()
    {
        QTemporaryDir dir;
        QByteArray rtf = "{\\rtf1\\ansi ";
        for (int page = 1; page <= 300; ++page)
            rtf += "Page " + QByteArray::number(page) + (page < 300 ? ".\\page " : ".");
        rtf += "}";
        const QString input = dir.filePath(QStringLiteral("long.rtf"));
        const QString output = dir.filePath(QStringLiteral("long.tiff"));
        testfiles::Write(input, rtf);

        const Result result = RunTool({input, output});

        QVERIFY2(result.code == 0, result.err.constData());
        QCOMPARE(tiffreadback::CountPages(output), 300);
    }

    void timeLimitLeavesNothingBehind()
    {
        // A long document outlives a short limit; the ended tool must leave
        // neither a partial image nor its work folder.
        QTemporaryDir dir;
        const QString work = dir.filePath(QStringLiteral("tmp"));
        const QString out = dir.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkdir(work));
        QVERIFY(QDir().mkdir(out));
        QByteArray rtf = "{\\rtf1\\ansi ";
        for (int page = 0; page < 200; ++page)
            rtf += "Page " + QByteArray::number(page) + ".\\page ";
        rtf += "}";
        const QString input = dir.filePath(QStringLiteral("long.rtf"));
        testfiles::Write(input, rtf);
        RunLimits limits;
        limits.timeLimit = std::chrono::milliseconds(2500);
        limits.environment.insert(QStringLiteral("TMPDIR"), work);

        const int code = RunProcessAndWait(kTool, {input, out + QStringLiteral("/long.tiff")}, 0, nullptr, {},
                                           0, 1, limits);

        QCOMPARE(code, kProcessTimedOut);
        QCOMPARE(testfiles::Entries(out), QStringList());
        QCOMPARE(testfiles::Entries(work).filter(QStringLiteral("vexlo")), QStringList());
    }

    void badInputEndsNonZeroWithoutOutput_data()
    {
        QTest::addColumn<QByteArray>("inputBytes");
        QTest::addColumn<QString>("outputFolder");
        QTest::newRow("rtf that is not rtf") << QByteArray("\x89PNG garbage \x01\x02") << ".";
        QTest::newRow("zero bytes") << QByteArray() << ".";
        QTest::newRow("missing output folder") << QByteArray("{\\rtf1 x}") << "missing";
    }

    void badInputEndsNonZeroWithoutOutput()
    {
        QFETCH(QByteArray, inputBytes);
        QFETCH(QString, outputFolder);
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.rtf"));
        testfiles::Write(input, inputBytes);

        const Result result = RunTool({input, dir.filePath(outputFolder + QStringLiteral("/out.tiff"))});

        QVERIFY(result.code > 0);
        QVERIFY(result.err.startsWith("vexlo: "));
        QCOMPARE(result.err.count('\n'), 1);
        QCOMPARE(testfiles::Entries(dir.path()), QStringList{QStringLiteral("in.rtf")});
    }

    void unwritableOutputFolder()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in.rtf"));
        testfiles::Write(input, "{\\rtf1\\ansi One page.}");
        const QString locked = testfiles::UnwritableFolder(dir);

        const Result result = RunTool({input, locked + QStringLiteral("/out.tiff")});

        QVERIFY(result.code > 0);
        QVERIFY(result.err.contains("output folder"));
        QCOMPARE(testfiles::LeftOvers(locked), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestVexloIntegration)
#include "test_vexlo_integration.moc"
