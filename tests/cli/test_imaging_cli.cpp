#include "../renderer/tiffreadback.h"
#include "cliprocess.h"
#include "commandline.h"
#include "imagingmessages.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using imagingmessages::Attachment;

// A production run of quillmark-convert with the real office host and
// vexlo: black and white pages, one file each, Bates numbers counting on
// across messages, the load file beside the images.
class TestImagingCli : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_work;

    // Ink at the bottom right, where the number goes, and the page's share of it.
    static bool HasStamp(const tiffreadback::Page& page)
    {
        const int dpi = int(page.xResolution);
        return page.inkShare(int(page.width) - 3 * dpi, int(page.height) - dpi / 2, 3 * dpi, dpi / 2) > 0.005;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_work = m_dir.filePath(QStringLiteral("work"));
        QDir().mkpath(m_work);
    }

    void productionWithBatesNumbersAndLoadFile()
    {
        const QString mail = m_dir.filePath(QStringLiteral("mail"));
        QDir().mkpath(mail);
        // Input order, not name order, decides the numbers.
        const QString second = mail + QStringLiteral("/a first in the folder.eml");
        const QString first = mail + QStringLiteral("/figures, with a comma.eml");
        QVERIFY(
            imagingmessages::WriteFile(first, imagingmessages::MessageWithAttachments(
                                                  {{"image/png", "chart.png", imagingmessages::RedPng()}})));
        QVERIFY(
            QFile::copy(QStringLiteral(QM_SOURCE_DIR "/samples/01-community-garden-welcome.eml"), second));
        const QString missing = mail + QStringLiteral("/missing.eml");
        const QString out = m_dir.filePath(QStringLiteral("production"));

        const CliRun run =
            RunCli({"--out", out, "--colour", "mono", "--dpi", "150", "--attachments", "--header",
                    "cc,attachments", "--bates", "QM000098", first, missing, second},
                   m_work);

        QCOMPARE(run.exitCode, kExitSomeFailed); // the missing message
        // The message itself, the picture, the attached message, the notice
        // for the unknown file; then the one-page sample.
        const QStringList firstPages = {"figures_ with a comma_0001.tiff", "figures_ with a comma_0002.tiff",
                                        "figures_ with a comma_0003.tiff", "figures_ with a comma_0004.tiff"};
        QVERIFY2(run.out.contains(QStringLiteral("-> %1/%2 to %3 (4 pages, QM000098 to QM000101)")
                                      .arg(out, firstPages.first(), firstPages.last())),
                 qPrintable(run.out + run.err));
        QVERIFY(run.out.contains(QStringLiteral("(1 page, QM000102 to QM000102)")));
        QFile loadFile(out + QStringLiteral("/QM.opt"));
        QVERIFY(loadFile.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(loadFile.readAll()),
                 QStringLiteral("QM000098,QM,figures_ with a comma_0001.tiff,Y,,,4\r\n"
                                "QM000099,QM,figures_ with a comma_0002.tiff,,,,\r\n"
                                "QM000100,QM,figures_ with a comma_0003.tiff,,,,\r\n"
                                "QM000101,QM,figures_ with a comma_0004.tiff,,,,\r\n"
                                "QM000102,QM,a first in the folder_0001.tiff,Y,,,1\r\n"));

        QStringList images = QDir(out).entryList({QStringLiteral("*.tiff")}, QDir::Files, QDir::Name);
        QCOMPARE(images.size(), 5);
        for (const QString& name : std::as_const(images)) {
            const auto pages = tiffreadback::Read(out + QLatin1Char('/') + name);
            QCOMPARE(pages.size(), 1);
            const auto& page = pages.first();
            QCOMPARE(int(page.compression), int(COMPRESSION_CCITTFAX4));
            QCOMPARE(int(page.bits), 1);
            QCOMPARE(int(page.photometric), int(PHOTOMETRIC_MINISWHITE));
            QCOMPARE(page.xResolution, 150.0f);
            QVERIFY2(HasStamp(page), qPrintable(name));
        }
        // The picture's page: dark red dithered to more than half black at
        // the top middle of the page, white paper below it.
        const auto picture = tiffreadback::Read(out + QLatin1Char('/') + firstPages.at(1)).first();
        const int dpi = 150;
        const int middle = int(picture.width) / 2;
        const double red = picture.inkShare(middle - dpi / 2, dpi, dpi, dpi / 2);
        QVERIFY2(red > 0.55 && red < 0.85, qPrintable(QString::number(red)));
        QCOMPARE(picture.inkShare(middle - dpi / 2, 4 * dpi, dpi, dpi), 0.0);
        QVERIFY(QDir(out).entryList(QDir::Hidden | QDir::Files).filter(QStringLiteral(".part")).isEmpty());
    }

    // One file per page without numbers; a second run with fewer pages
    // leaves none of the first run's extra pages behind.
    void singlePagesReplaceAnEarlierRun()
    {
        const QString out = m_dir.filePath(QStringLiteral("single"));
        const QString message = m_dir.filePath(QStringLiteral("report.eml"));
        QVERIFY(
            QFile::copy(QStringLiteral(QM_SOURCE_DIR "/samples/06-library-annual-report-long.eml"), message));
        const CliRun longRun = RunCli({"--out", out, "--pages", "single", message}, m_work);
        QCOMPARE(longRun.exitCode, kExitAllConverted);
        const int longPages = int(QDir(out).entryList({QStringLiteral("report_*.tiff")}).size());
        QVERIFY2(longPages > 1, qPrintable(longRun.out));

        QFile::remove(message);
        QVERIFY(
            QFile::copy(QStringLiteral(QM_SOURCE_DIR "/samples/01-community-garden-welcome.eml"), message));
        const CliRun shortRun = RunCli({"--out", out, "--pages=single", "--colour", "grey", message}, m_work);

        QCOMPARE(shortRun.exitCode, kExitAllConverted);
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("report_0001.tiff")});
        const auto page = tiffreadback::Read(out + QStringLiteral("/report_0001.tiff")).first();
        QCOMPARE(int(page.samples), 1);
        QCOMPARE(int(page.compression), int(COMPRESSION_LZW));
    }
};

QTEST_GUILESS_MAIN(TestImagingCli)
#include "test_imaging_cli.moc"
