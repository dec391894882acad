#include "bitonal.h"
#include "partialfiles.h"
#include "renderoptions.h"
#include "testfiles.h"
#include "testpdf.h"
#include "tiffreadback.h"
#include "vexlotool.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <stdexcept>

using testpdf::Page;

// The imaging choices of archives and productions: colour modes, black and
// white, one file per page, several documents in a row, Bates numbers.
namespace {

constexpr int kDpi = testpdf::kDpi;

TiffDocumentInfo Info()
{
    TiffDocumentInfo info;
    info.documentName = QStringLiteral("in.pdf");
    info.software = QStringLiteral("vexlo test");
    return info;
}

RenderOptions Options(ColourMode colour, PageFiles files = PageFiles::Multi)
{
    RenderOptions options;
    options.colour = colour;
    options.pages = files;
    return options;
}

void SetPixel(PageImage& page, int x, int y, uchar r, uchar g, uchar b)
{
    auto* p = reinterpret_cast<uchar*>(page.rgb.data()) + (qsizetype(y) * page.width + x) * 3;
    p[0] = r;
    p[1] = g;
    p[2] = b;
}

int IndexOfMarker(const tiffreadback::Page& page)
{
    for (int n = 0; n < 4; ++n)
        if (page.isInk(testpdf::MarkerCentreX(n), testpdf::MarkerCentreY()))
            return n;
    return -1;
}

// Ink in the page outside the band along the bottom edge, right of its middle.
double InkOutsideCorner(const tiffreadback::Page& page)
{
    const int cornerTop = int(page.height) - kDpi;
    const int cornerLeft = int(page.width) / 2;
    int ink = 0;
    for (int y = 0; y < int(page.height); y += 2)
        for (int x = 0; x < int(page.width); x += 2)
            if ((y < cornerTop || x < cornerLeft) && page.isInk(x, y))
                ++ink;
    return ink;
}

} // namespace

class TestImaging : public QObject {
    Q_OBJECT

private slots:
    // A gradient is a picture: its greys come out as shares of black dots.
    // Beside it, type with anti-aliased edges is cut clean: paper stays
    // paper, strokes stay whole.
    void blackAndWhiteKeepsTextSharpAndPicturesGrey()
    {
        PageImage page;
        page.width = 512;
        page.height = 256;
        page.rgb = QByteArray(page.width * page.height * 3, char(255));
        for (int y = 0; y < page.height; ++y)
            for (int x = 0; x < 256; ++x)
                SetPixel(page, x, y, uchar(x), uchar(x), uchar(x));
        // Strokes three pixels wide with a grey edge on either side, every
        // 16 pixels: ink covers a quarter of the text area.
        for (int y = 0; y < page.height; ++y)
            for (int x = 288; x < 512; x += 16) {
                SetPixel(page, x, y, 140, 140, 140);
                for (int k = 1; k <= 3; ++k)
                    SetPixel(page, x + k, y, 0, 0, 0);
                SetPixel(page, x + 4, y, 200, 200, 200);
            }

        // A heading in brown (grey 85 to the eye), strokes of 6 on 6 of paper.
        page.rgb.append(QByteArray(page.width * 64 * 3, char(255)));
        page.height += 64;
        for (int y = 256; y < page.height; ++y)
            for (int x = 0; x < page.width; x += 12)
                for (int k = 0; k < 6; ++k)
                    SetPixel(page, x + k, y, 122, 75, 42);

        const BitonalPage bitonal = ToBitonal(page, kDpi);

        const auto blackShare = [&](int left, int width) {
            int black = 0;
            for (int y = 0; y < 256; ++y)
                for (int x = left; x < left + width; ++x)
                    black += bitonal.isBlack(x, y) ? 1 : 0;
            return double(black) / (width * 256);
        };
        for (int y = 256; y < page.height; ++y)
            for (int x = 0; x + 12 <= page.width; x += 12) {
                QVERIFY(bitonal.isBlack(x, y) && bitonal.isBlack(x + 5, y));
                QVERIFY(!bitonal.isBlack(x + 6, y) && !bitonal.isBlack(x + 11, y));
            }
        // Grey 48..80 is about 75% black, 176..208 about 25%.
        QVERIFY(qAbs(blackShare(48, 32) - 0.75) < 0.06);
        QVERIFY(qAbs(blackShare(176, 32) - 0.25) < 0.06);
        for (int y = 0; y < 256; ++y)
            for (int x = 288; x < 512; x += 16) {
                QVERIFY(bitonal.isBlack(x, y)); // a dark edge joins the stroke
                QVERIFY(bitonal.isBlack(x + 2, y));
                QVERIFY(!bitonal.isBlack(x + 4, y)); // a light edge joins the paper
                QVERIFY(!bitonal.isBlack(x + 8, y)); // paper gets no dots
            }
    }

    void colourModesWriteTheirSamples_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("bits");
        QTest::addColumn<QList<int>>("samples"); // of the grey page, then the colour page
        QTest::addColumn<int>("compression");
        QTest::newRow("auto") << int(ColourMode::Auto) << 8 << QList<int>{1, 3} << int(COMPRESSION_LZW);
        QTest::newRow("colour") << int(ColourMode::Colour) << 8 << QList<int>{3, 3} << int(COMPRESSION_LZW);
        QTest::newRow("grey") << int(ColourMode::Grey) << 8 << QList<int>{1, 1} << int(COMPRESSION_LZW);
        QTest::newRow("mono") << int(ColourMode::Mono) << 1 << QList<int>{1, 1} << int(COMPRESSION_CCITTFAX4);
    }

    void colourModesWriteTheirSamples()
    {
        QFETCH(int, mode);
        QFETCH(int, bits);
        QFETCH(QList<int>, samples);
        QFETCH(int, compression);
        QTemporaryDir dir;
        const QString pdf = dir.filePath(QStringLiteral("in.pdf"));
        const QString tiff = dir.filePath(QStringLiteral("out.tiff"));
        QVERIFY(testpdf::Write(pdf, {Page::Grey, Page::Colour}));

        QCOMPARE(ConvertPdfsToTiff({pdf}, tiff, Info(), Options(ColourMode(mode))), 2);

        const auto pages = tiffreadback::Read(tiff);
        QCOMPARE(pages.size(), 2);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(int(pages[i].bits), bits);
            QCOMPARE(int(pages[i].samples), samples[i]);
            QCOMPARE(int(pages[i].compression), compression);
            QCOMPARE(pages[i].xResolution, float(kDpi));
            QCOMPARE(IndexOfMarker(pages[i]), i);
        }
        const auto& colourPage = pages[1];
        const int redX = int(1.5 * kDpi);
        const int redY = int(6.5 * kDpi);
        if (ColourMode(mode) == ColourMode::Mono) {
            QCOMPARE(int(colourPage.photometric), int(PHOTOMETRIC_MINISWHITE));
            // The mid-grey band is dithered to about half black; the red
            // band, as dark as grey 87, to more than half.
            QVERIFY(qAbs(pages[0].inkShare(2 * kDpi, int(4.25 * kDpi), kDpi, kDpi / 2) - 0.5) < 0.08);
            QVERIFY(colourPage.inkShare(redX - 50, redY - 50, 100, 100) > 0.55);
        } else if (ColourMode(mode) == ColourMode::Grey) {
            // Red weighed as the eye sees it, not its red sample alone.
            QVERIFY(qAbs(colourPage.sample(redX, redY) - 87) <= 4);
        }
    }

    // The pages of several documents follow one another, one file each,
    // and a longer earlier version's extra pages go.
    void documentsInARowAsSinglePages()
    {
        QTemporaryDir dir;
        const QString first = dir.filePath(QStringLiteral("first.pdf"));
        const QString second = dir.filePath(QStringLiteral("second.pdf"));
        QVERIFY(testpdf::Write(first, {Page::Grey, Page::Grey}));
        QVERIFY(testpdf::Write(second, {Page::Colour}));
        const QString output = dir.filePath(QStringLiteral("msg.tiff"));
        for (const int stale : {3, 4, 5})
            testfiles::Write(PageFilePath(output, stale), "an earlier run's page");

        QCOMPARE(
            ConvertPdfsToTiff({first, second}, output, Info(), Options(ColourMode::Auto, PageFiles::Single)),
            3);

        QCOMPARE(ExistingPageFiles(output), (QStringList{dir.filePath(QStringLiteral("msg_0001.tiff")),
                                                         dir.filePath(QStringLiteral("msg_0002.tiff")),
                                                         dir.filePath(QStringLiteral("msg_0003.tiff"))}));
        QVERIFY(!QFileInfo::exists(PageFilePath(output, 4)));
        QVERIFY(!QFileInfo::exists(output));
        const QList<int> markers = {0, 1, 0};
        for (int n = 1; n <= 3; ++n) {
            const auto pages = tiffreadback::Read(PageFilePath(output, n));
            QCOMPARE(pages.size(), 1);
            QCOMPARE(IndexOfMarker(pages[0]), markers[n - 1]);
            QCOMPARE(int(pages[0].samples), n == 3 ? 3 : 1);
        }
        QCOMPARE(testfiles::Entries(dir.path()).filter(QStringLiteral(".part")), QStringList());
    }

    // One unreadable document fails them all before any page appears.
    void aBadDocumentLeavesNoPage()
    {
        QTemporaryDir dir;
        const QString good = dir.filePath(QStringLiteral("good.pdf"));
        const QString bad = dir.filePath(QStringLiteral("bad.pdf"));
        QVERIFY(testpdf::Write(good, {Page::Grey}));
        testfiles::Write(bad, "%PDF-1.4 and then nothing a reader could use");
        const QString output = dir.filePath(QStringLiteral("msg.tiff"));
        const QStringList before = testfiles::Entries(dir.path());

        QVERIFY_THROWS_EXCEPTION(
            std::runtime_error,
            ConvertPdfsToTiff({good, bad}, output, Info(), Options(ColourMode::Mono, PageFiles::Single)));
        QCOMPARE(testfiles::Entries(dir.path()), before);
    }

    // Every page carries its own number in the bottom right corner and
    // nothing anywhere else, in colour and in black and white alike.
    void batesNumbersStampEachPage()
    {
        QTemporaryDir dir;
        const QString pdf = dir.filePath(QStringLiteral("blank.pdf"));
        QVERIFY(testpdf::Write(pdf, {Page::Blank, Page::Blank, Page::Blank}));
        for (const ColourMode mode : {ColourMode::Auto, ColourMode::Mono}) {
            RenderOptions options = Options(mode);
            options.bates = BatesNumbering{QStringLiteral("ABC"), 9, 6};
            const QString tiff = dir.filePath(QStringLiteral("%1.tiff").arg(ColourModeName(mode)));
            ConvertPdfsToTiff({pdf}, tiff, Info(), options);

            const auto pages = tiffreadback::Read(tiff);
            QCOMPARE(pages.size(), 3);
            QList<std::vector<bool>> corners;
            for (const auto& page : pages) {
                QCOMPARE(InkOutsideCorner(page), 0.0);
                std::vector<bool> corner;
                for (int y = int(page.height) - kDpi; y < int(page.height); ++y)
                    for (int x = int(page.width) / 2; x < int(page.width); ++x)
                        corner.push_back(page.isInk(x, y));
                QVERIFY(std::count(corner.begin(), corner.end(), true) > 200);
                corners.append(corner);
            }
            // ABC000009, ABC000010, ABC000011: every stamp differs.
            QVERIFY(corners[0] != corners[1]);
            QVERIFY(corners[1] != corners[2]);
        }
    }

    void batesNumbersParsed()
    {
        const auto plain = BatesNumbering::parse(QStringLiteral("ABC000001"));
        QVERIFY(plain);
        QCOMPARE(plain->prefix, QStringLiteral("ABC"));
        QCOMPARE(plain->number(plain->first), QStringLiteral("ABC000001"));
        QCOMPARE(plain->number(1000000), QStringLiteral("ABC1000000"));
        const auto digitsInPrefix = BatesNumbering::parse(QStringLiteral("VOL2-0099"));
        QVERIFY(digitsInPrefix);
        QCOMPARE(digitsInPrefix->prefix, QStringLiteral("VOL2-"));
        QCOMPARE(digitsInPrefix->number(digitsInPrefix->first + 1), QStringLiteral("VOL2-0100"));
        const auto noNumber = BatesNumbering::parse(QStringLiteral("SMITH"));
        QVERIFY(noNumber);
        QCOMPARE(noNumber->number(noNumber->first), QStringLiteral("SMITH000001"));
        for (const char* bad : {"", "000123", "a/b1", "A,B1", "..1", "-x1"})
            QVERIFY2(!BatesNumbering::parse(QString::fromLatin1(bad)), bad);
    }

    // vexlo killed outright (kill -9) cannot remove its partial image or
    // folder of pages. A living renderer's is never touched; once it is gone,
    // the next run into the folder removes what it left.
    void partialFilesOfAKilledRendererGoWithTheNextRun_data()
    {
        QTest::addColumn<QString>("pages");
        QTest::newRow("one file") << QStringLiteral("multi");
        QTest::newRow("file per page") << QStringLiteral("single");
    }

    void partialFilesOfAKilledRendererGoWithTheNextRun()
    {
        QFETCH(QString, pages);
        const QString tool = QStringLiteral(QM_PROGRAM_DIR "/vexlo");
        if (!QFileInfo(tool).isExecutable())
            QSKIP("vexlo is not built");
        QTemporaryDir dir;
        const QString pdf = dir.filePath(QStringLiteral("long.pdf"));
        QVERIFY(testpdf::Write(pdf, QList<Page>(40, Page::Grey)));
        QProcess vexlo;
        vexlo.start(tool, {QStringLiteral("--dpi"), QStringLiteral("600"), QStringLiteral("--pages"), pages,
                           QStringLiteral("--output"), dir.filePath(QStringLiteral("out.tiff")), pdf});
        QVERIFY(vexlo.waitForStarted());
        QElapsedTimer clock;
        clock.start();
        QStringList partial;
        while (partial.isEmpty() && clock.elapsed() < 60000 && vexlo.state() == QProcess::Running) {
            QThread::msleep(10);
            partial = QDir(dir.path())
                          .entryList({QStringLiteral(".vexlo-*")},
                                     QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
        }
        QCOMPARE(partial.size(), 1);
        RemoveAbandonedPartials(dir.path());
        QVERIFY(QFileInfo::exists(dir.filePath(partial.first())));

        vexlo.kill();
        QVERIFY(vexlo.waitForFinished(10000));
        QCOMPARE(vexlo.exitStatus(), QProcess::CrashExit);
        QVERIFY(QFileInfo::exists(dir.filePath(partial.first())));

        const QString shortPdf = dir.filePath(QStringLiteral("short.pdf"));
        QVERIFY(testpdf::Write(shortPdf, {Page::Grey}));
        QCOMPARE(QProcess::execute(
                     tool, {QStringLiteral("--output"), dir.filePath(QStringLiteral("next.tiff")), shortPdf}),
                 0);
        QCOMPARE(testfiles::Entries(dir.path()),
                 (QStringList{QStringLiteral("long.pdf"), QStringLiteral("next.tiff"),
                              QStringLiteral("short.pdf")}));
    }

    // vexlo ended from outside (the run's time limit) while writing pages one
    // per file leaves neither finished pages nor its hidden folder.
    void endedFromOutsideLeavesNoPages()
    {
        const QString tool = QStringLiteral(QM_PROGRAM_DIR "/vexlo");
        if (!QFileInfo(tool).isExecutable())
            QSKIP("vexlo is not built");
        QTemporaryDir dir;
        const QString pdf = dir.filePath(QStringLiteral("long.pdf"));
        QVERIFY(testpdf::Write(pdf, QList<Page>(40, Page::Grey)));
        QProcess vexlo;
        vexlo.start(tool, {QStringLiteral("--dpi"), QStringLiteral("600"), QStringLiteral("--pages"),
                           QStringLiteral("single"), QStringLiteral("--output"),
                           dir.filePath(QStringLiteral("out.tiff")), pdf});
        QVERIFY(vexlo.waitForStarted());
        // Wait for the second page in the hidden folder.
        QElapsedTimer clock;
        clock.start();
        bool writing = false;
        while (!writing && clock.elapsed() < 60000 && vexlo.state() == QProcess::Running) {
            for (const QString& part :
                 QDir(dir.path()).entryList({QStringLiteral(".vexlo-*")}, QDir::Dirs | QDir::Hidden))
                writing = writing || QFileInfo::exists(dir.filePath(part + QStringLiteral("/2.tiff")));
            QThread::msleep(10);
        }
        QVERIFY(writing);
        ::kill(pid_t(vexlo.processId()), SIGTERM);
        QVERIFY(vexlo.waitForFinished(10000));
        QCOMPARE(vexlo.exitCode(), 128 + SIGTERM);
        QCOMPARE(testfiles::Entries(dir.path()), QStringList{QStringLiteral("long.pdf")});
    }
};

QTEST_MAIN(TestImaging)
#include "test_imaging.moc"
