#include "pdfpages.h"
#include "testfiles.h"
#include "testpdf.h"
#include "tiffreadback.h"
#include "tiffwriter.h"
#include "vexlotool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using testpdf::Page;

namespace {

TiffDocumentInfo Info()
{
    TiffDocumentInfo info;
    info.documentName = QStringLiteral("letter.rtf");
    info.software = QStringLiteral("vexlo test");
    info.dpi = 200;
    return info;
}

bool IsDark(const tiffreadback::Page& page, int x, int y)
{
    return page.sample(x, y) < 64;
}

} // namespace

class TestTiffWriter : public QObject {
    Q_OBJECT

private slots:
    void threePagesInOrderWithTheirTags()
    {
        QTemporaryDir dir;
        const QString pdf = dir.filePath(QStringLiteral("in.pdf"));
        const QString tiff = dir.filePath(QStringLiteral("out.tiff"));
        QVERIFY(testpdf::Write(pdf, {Page::Grey, Page::Grey, Page::Grey}));

        ConvertPdfToTiff(pdf, tiff, Info());

        const auto pages = tiffreadback::Read(tiff);
        QCOMPARE(pages.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const auto& page = pages[i];
            // A4 at 200 dpi
            QVERIFY(qAbs(int(page.width) - 1654) <= 1);
            QVERIFY(qAbs(int(page.height) - 2339) <= 1);
            QCOMPARE(page.bits, uint16_t(8));
            QCOMPARE(page.compression, uint16_t(COMPRESSION_LZW));
            QCOMPARE(page.predictor, uint16_t(PREDICTOR_HORIZONTAL));
            QCOMPARE(page.resolutionUnit, uint16_t(RESUNIT_INCH));
            QCOMPARE(page.xResolution, 200.0f);
            QCOMPARE(page.yResolution, 200.0f);
            QCOMPARE(page.pageNumber, uint16_t(i));
            QCOMPARE(page.pageTotal, uint16_t(3));
            QCOMPARE(page.software, QStringLiteral("vexlo test"));
            QCOMPARE(page.documentName, QStringLiteral("letter.rtf"));
            // Page i carries its marker in column i and no other.
            for (int column = 0; column < 3; ++column)
                QCOMPARE(IsDark(page, testpdf::MarkerCentreX(column), testpdf::MarkerCentreY()), column == i);
        }
        QCOMPARE(testfiles::Entries(dir.path()),
                 QStringList({QStringLiteral("in.pdf"), QStringLiteral("out.tiff")}));
    }

    void greyPagesStayGreyColourPagesKeepColour()
    {
        QTemporaryDir dir;
        const QString pdf = dir.filePath(QStringLiteral("in.pdf"));
        const QString tiff = dir.filePath(QStringLiteral("out.tiff"));
        QVERIFY(testpdf::Write(pdf, {Page::Grey, Page::Colour, Page::Blank}));

        ConvertPdfToTiff(pdf, tiff, Info());

        const auto pages = tiffreadback::Read(tiff);
        QCOMPARE(pages.size(), 3);
        QCOMPARE(pages[0].samples, uint16_t(1));
        QCOMPARE(pages[0].photometric, uint16_t(PHOTOMETRIC_MINISBLACK));
        // The mid-grey band keeps its level; black stays black.
        QVERIFY(qAbs(pages[0].sample(400, int(4.5 * 200)) - 128) <= 2);
        QVERIFY(IsDark(pages[0], testpdf::MarkerCentreX(0), testpdf::MarkerCentreY()));

        QCOMPARE(pages[1].samples, uint16_t(3));
        QCOMPARE(pages[1].photometric, uint16_t(PHOTOMETRIC_RGB));
        const int redX = 400, redY = int(6.5 * 200);
        QVERIFY(pages[1].sample(redX, redY, 0) > 200);
        QVERIFY(pages[1].sample(redX, redY, 1) < 60);
        QVERIFY(pages[1].sample(redX, redY, 2) < 60);

        QCOMPARE(pages[2].samples, uint16_t(1));
        QCOMPARE(pages[2].sample(800, 800), 255);
    }

    void plainRgbIsUncompressedColour()
    {
        QTemporaryDir dir;
        const QString pdf = dir.filePath(QStringLiteral("in.pdf"));
        const QString tiff = dir.filePath(QStringLiteral("out.tiff"));
        QVERIFY(testpdf::Write(pdf, {Page::Grey}));
        TiffDocumentInfo info = Info();
        info.encoding = TiffEncoding::PlainRgb;

        ConvertPdfToTiff(pdf, tiff, info);

        const auto pages = tiffreadback::Read(tiff);
        QCOMPARE(pages.size(), 1);
        QCOMPARE(pages[0].samples, uint16_t(3));
        QCOMPARE(pages[0].compression, uint16_t(COMPRESSION_NONE));
    }

    void colourIsFoundInASinglePixel()
    {
        PageImage image;
        image.width = 3;
        image.height = 2;
        image.rgb = QByteArray(18, char(200));
        QVERIFY(!image.hasColour());
        image.rgb[17] = char(201); // blue of the last pixel
        QVERIFY(image.hasColour());
    }

    void failureLeavesNoPartialFile_data()
    {
        QTest::addColumn<QByteArray>("pdfBytes");
        QTest::newRow("not a pdf") << QByteArray("{\\rtf1 hello}");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut short") << QByteArray("%PDF-1.4\n1 0 obj << /Type /Catalog");
    }

    void failureLeavesNoPartialFile()
    {
        QFETCH(QByteArray, pdfBytes);
        QTemporaryDir dir;
        const QString pdf = dir.filePath(QStringLiteral("in.pdf"));
        const QString tiff = dir.filePath(QStringLiteral("out.tiff"));
        QFile file(pdf);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(pdfBytes);
        file.close();
        // An older good result stays as it was.
        QFile old(tiff);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old result");
        old.close();

        QVERIFY_THROWS_EXCEPTION(std::runtime_error, ConvertPdfToTiff(pdf, tiff, Info()));

        QCOMPARE(testfiles::Entries(dir.path()),
                 QStringList({QStringLiteral("in.pdf"), QStringLiteral("out.tiff")}));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old result"));
    }

    void unwritableFolderFailsCleanly()
    {
        QTemporaryDir dir;
        const QString pdf = dir.filePath(QStringLiteral("in.pdf"));
        QVERIFY(testpdf::Write(pdf, {Page::Grey}));
        const QString locked = testfiles::UnwritableFolder(dir);

        try {
            ConvertPdfToTiff(pdf, locked + QStringLiteral("/out.tiff"), Info());
            QFAIL("no exception");
        } catch (const std::runtime_error& error) {
            QVERIFY(QString::fromUtf8(error.what()).contains(QStringLiteral("output folder")));
        }
        QCOMPARE(testfiles::LeftOvers(locked), QStringList());
    }

    void writerRefusesMissingPages()
    {
        QTemporaryDir dir;
        const QString tiff = dir.filePath(QStringLiteral("out.tiff"));
        TiffWriter writer(tiff, 2, Info());
        PageImage image;
        image.width = 4;
        image.height = 4;
        image.rgb = QByteArray(48, char(255));
        writer.addPage(image);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, writer.finish());

        PageImage wrongSize = image;
        wrongSize.rgb.chop(3);
        TiffWriter other(dir.filePath(QStringLiteral("other.tiff")), 1, Info());
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, other.addPage(wrongSize));
    }
};

QTEST_MAIN(TestTiffWriter)
#include "test_tiffwriter.moc"
