#include "../host/officetestsupport.h"
#include "cliprocess.h"
#include "imagingmessages.h"
#include "officeengine.h"
#include "officehostclient.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFont>
#include <QImage>
#include <QMap>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <tiffio.h>

#include <csignal>

using imagingmessages::Attachment;
using imagingmessages::Base64Lines;

namespace {

// --- messages we write ourselves -------------------------------------------

QByteArray PictureWithWords(const QString& words)
{
    QImage image(900, 220, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(72);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(image.rect(), Qt::AlignCenter, words);
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A forwarded message that carries a PDF of its own.
QByteArray InnerMessage()
{
    return "From: Dana Dell <dana@example.org>\r\nTo: Ann Archer <ann@example.org>\r\n"
           "Subject: Earlier thread\r\nDate: Mon, 1 Apr 2024 08:00:00 +0000\r\n"
           "Message-ID: <inner@example.org>\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"IN\"\r\n\r\n"
           "--IN\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nWords of the inner message "
           "MARKERINNER.\r\n"
           "--IN\r\n" +
           imagingmessages::AttachedPart({"application/pdf", "inner.pdf",
                                          imagingmessages::PdfWithText(QStringLiteral("MARKERINNERPDF"))}) +
           "--IN--\r\n";
}

QByteArray FamilyMessage(const QByteArray& docx, const QByteArray& xlsx)
{
    QList<Attachment> attachments{
        {"application/pdf", "report.pdf", imagingmessages::PdfWithText(QStringLiteral("MARKERPDF figures"))},
        {"image/png", "scan.png", PictureWithWords(QStringLiteral("INVOICE 4711"))}};
    if (!docx.isEmpty())
        attachments.append(
            {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", "notes.docx", docx});
    // Natives are handed over as they came and never opened: any ZIP
    // package stands for a workbook here.
    const QByteArray package = docx.isEmpty() ? QByteArray("PK\x03\x04 a package") : docx;
    attachments.append({"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "figures.xlsx",
                        xlsx.isEmpty() ? package : xlsx});
    attachments.append({"application/zip", "bundle.zip", package + "zip"});
    QByteArray message = "From: Ann Archer <ann@example.org>\r\nTo: Bob Baker <bob@example.org>\r\n"
                         "Cc: Carol Clerk <carol@example.org>\r\nBcc: Hidden Hugh <hugh@example.org>\r\n"
                         "Subject: Figures for the quarter\r\nDate: Tue, 2 Apr 2024 09:30:00 +0200\r\n"
                         "Message-ID: <family@example.org>\r\nIn-Reply-To: <earlier@example.org>\r\n"
                         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"MIX\"\r\n\r\n"
                         "--MIX\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
                         "Please find the figures attached. MARKERMAIL\r\n";
    for (const Attachment& attachment : attachments)
        message += "--MIX\r\n" + imagingmessages::AttachedPart(attachment);
    message += "--MIX\r\nContent-Type: message/rfc822\r\nContent-Disposition: attachment; "
               "filename=\"earlier.eml\"\r\n\r\n" +
               InnerMessage();
    return message + "--MIX--\r\n";
}

QByteArray PlainMessage(int number, const QString& marker)
{
    return QStringLiteral("From: Pat Plain <pat@example.org>\r\nTo: Quinn <quinn@example.org>\r\n"
                          "Subject: Note %1\r\nDate: Wed, 3 Apr 2024 10:0%2:00 +0000\r\n\r\n"
                          "A plain note, number %1. %3\r\n")
        .arg(number)
        .arg(number % 10)
        .arg(marker)
        .toUtf8();
}

QByteArray BinaryFile()
{
    QByteArray bytes(4096, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 31 % 251);
    return bytes;
}

// --- an independent reader of the volume ------------------------------------

struct Dat {
    QStringList header;
    QList<QStringList> rows;
    QString problem;
    QString value(qsizetype row, const char* field) const
    {
        return rows[row].value(header.indexOf(QLatin1String(field)));
    }
};

Dat ReadDat(const QString& path)
{
    Dat dat;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        dat.problem = QStringLiteral("no .dat");
        return dat;
    }
    const QString text = QString::fromUtf8(file.readAll());
    if (!text.endsWith(QLatin1String("\r\n")))
        dat.problem = QStringLiteral("the .dat does not end in CR LF");
    QStringList lines = text.split(QStringLiteral("\r\n"));
    lines.removeLast();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        if (!line.startsWith(u'\u00FE') || !line.endsWith(u'\u00FE') || line.contains(QLatin1Char('\n'))) {
            dat.problem = QStringLiteral("line %1 is not a quoted row").arg(i);
            return dat;
        }
        QStringList fields = line.mid(1, line.size() - 2).split(QStringLiteral("\u00FE\u0014\u00FE"));
        for (QString& field : fields)
            field.replace(u'\u00AE', u'\n');
        if (i == 0)
            dat.header = fields;
        else
            dat.rows.append(fields);
    }
    return dat;
}

QList<QStringList> ReadOpt(const QString& path)
{
    QFile file(path);
    QList<QStringList> lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QString& line :
         QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        lines.append(line.split(QLatin1Char(',')));
    return lines;
}

QString FromVolume(const QString& root, QString link)
{
    return root + QLatin1Char('/') + link.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Image {
    int bits = 0;
    int compression = 0;
    float dpi = 0;
    int pages = 0;
    // Ink in the bottom right corner, where the stamp goes.
    int cornerInk = 0;
};

Image ReadImage(const QString& path)
{
    Image image;
    TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff)
        return image;
    uint16_t bits = 0;
    uint16_t compression = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &image.dpi);
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    image.bits = bits;
    image.compression = compression;
    std::vector<unsigned char> row(size_t(TIFFScanlineSize(tiff)));
    const uint32_t cornerFrom = height - uint32_t(image.dpi * 0.6);
    for (uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(tiff, row.data(), y) < 0)
            break;
        if (y < cornerFrom || bits != 1)
            continue;
        for (uint32_t x = width - uint32_t(image.dpi * 3); x < width; ++x)
            if (row[x / 8] & (0x80 >> (x % 8)))
                ++image.cornerInk;
    }
    do {
        ++image.pages;
    } while (TIFFReadDirectory(tiff));
    TIFFClose(tiff);
    return image;
}

// Every file of the volume but the record a resumed run reads, by path.
QMap<QString, QByteArray> VolumeFiles(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (!relative.startsWith(QLatin1String(".quillmark/")))
            files.insert(relative, QCryptographicHash::hash(ReadAll(path), QCryptographicHash::Sha256));
    }
    return files;
}

} // namespace

// Productions of messages we write ourselves, made by quillmark-convert
// with the real page engine, LibreOffice, poppler, Tesseract and vexlo, and
// read back through their load files.
class TestProduction : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_input;
    QByteArray m_docx;
    QByteArray m_xlsx;
    QByteArray m_family;
    CliRun m_two;
    CliRun m_one;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    static bool HasLibreOffice() { return QFileInfo::exists(QStringLiteral("/usr/lib/libreoffice/program")); }

    // An office document made by LibreOffice from one we write: `source`
    // saved in `format` (12 DOCX, 51 XLSX).
    QByteArray MakeOffice(const QString& source, const QByteArray& content, int format, const QString& name)
    {
        const QString made = path(name);
        if (!imagingmessages::WriteFile(path(source), content))
            return {};
        OfficeHostClient& host = SharedOfficeHost();
        try {
            const int handle = host.call({{QStringLiteral("op"), QStringLiteral("open")},
                                          {QStringLiteral("path"), path(source)}})
                                   .value(QStringLiteral("handle"))
                                   .toInt();
            host.call({{QStringLiteral("op"), QStringLiteral("save")},
                       {QStringLiteral("handle"), handle},
                       {QStringLiteral("path"), made},
                       {QStringLiteral("format"), format}});
            host.call({{QStringLiteral("op"), QStringLiteral("close")}, {QStringLiteral("handle"), handle}});
        } catch (const OfficeError& error) {
            // A LibreOffice without the part for this kind (Calc) leaves
            // those checks out.
            qWarning("%s cannot be made: %s", qPrintable(name), error.what());
            return {};
        }
        return officetest::readFile(made);
    }

    CliRun Produce(const QString& folder, const QStringList& extra, const QStringList& inputs)
    {
        const QString work = path(QStringLiteral("work-") + QFileInfo(folder).fileName());
        QDir().mkpath(work);
        return RunCli(QStringList{QStringLiteral("--production"), folder, QStringLiteral("--bates"),
                                  QStringLiteral("ABC-000000001")} +
                          extra + inputs,
                      work);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        SetOfficeHostProgram(QStringLiteral(QM_PROGRAM_DIR "/quillmark-office"));
        if (HasLibreOffice()) {
            m_docx = MakeOffice(QStringLiteral("notes.rtf"),
                                "{\\rtf1\\ansi{\\fonttbl{\\f0 Liberation Serif;}}\\f0 Words of the DOCX "
                                "document MARKERDOCX\\par}",
                                12, QStringLiteral("notes.docx"));
            m_xlsx = MakeOffice(QStringLiteral("figures.csv"), "Region,Total\nNorth,MARKERXLSX\n", 51,
                                QStringLiteral("figures.xlsx"));
            SharedOfficeHost().stop();
        }
        m_input = path(QStringLiteral("in"));
        QDir().mkpath(m_input);
        m_family = FamilyMessage(m_docx, m_xlsx);
        QVERIFY(imagingmessages::WriteFile(m_input + QStringLiteral("/01-family.eml"), m_family));
        QVERIFY(imagingmessages::WriteFile(m_input + QStringLiteral("/02-copy.eml"), m_family));
        QVERIFY(imagingmessages::WriteFile(m_input + QStringLiteral("/03-plain.eml"),
                                           PlainMessage(3, QStringLiteral("MARKERPLAIN"))));
        QVERIFY(imagingmessages::WriteFile(m_input + QStringLiteral("/04-broken.eml"), BinaryFile()));

        const QStringList options{QStringLiteral("--ocr"), QStringLiteral("--custodian"),
                                  QStringLiteral("Ann Archer")};
        m_two = Produce(path(QStringLiteral("two")),
                        options + QStringList{QStringLiteral("--jobs"), QStringLiteral("2"),
                                              QStringLiteral("--report"), path(QStringLiteral("two.csv"))},
                        {m_input});
        m_one = Produce(path(QStringLiteral("one")),
                        options + QStringList{QStringLiteral("--jobs"), QStringLiteral("1")}, {m_input});
    }

    // The failing message is reported and the run goes on; what was
    // produced passes the check the run ends with.
    void theRunEndsWithItsCheck()
    {
        QCOMPARE(m_two.exitCode, 1);
        QVERIFY2(m_two.out.contains(QLatin1String("04-broken.eml: failed: the file holds binary data")),
                 qPrintable(m_two.out));
        QVERIFY2(m_two.out.contains(QLatin1String("02-copy.eml -> duplicate of ABC-000000001")),
                 qPrintable(m_two.out));
        QVERIFY2(m_two.out.contains(QLatin1String("Verified ")), qPrintable(m_two.out + m_two.err));
        QVERIFY2(m_two.out.contains(QLatin1String("nothing wrong")), qPrintable(m_two.out + m_two.err));
    }

    void productionReadsBackThroughItsLoadFiles()
    {
        const QString root = path(QStringLiteral("two"));
        const Dat dat = ReadDat(root + QStringLiteral("/DATA/VOL001.dat"));
        QVERIFY2(dat.problem.isEmpty(), qPrintable(dat.problem));
        for (const char* field :
             {"BEGBATES", "ENDBATES",  "BEGATTACH",  "ENDATTACH", "PARENTBATES", "ATTACHCOUNT", "PAGECOUNT",
              "DOCTYPE",  "CUSTODIAN", "FROM",       "TO",        "CC",          "BCC",         "SUBJECT",
              "DATESENT", "TIMESENT",  "MESSAGEID",  "INREPLYTO", "FILENAME",    "FILEEXT",     "FILESIZE",
              "MD5HASH",  "SHA1HASH",  "SOURCEPATH", "TEXTLINK",  "NATIVELINK"})
            QVERIFY2(dat.header.contains(QLatin1String(field)), field);
        for (const QStringList& row : dat.rows)
            QCOMPARE(row.size(), dat.header.size());

        // The family in the order of the message, the attached message's
        // own PDF right after it, then the plain message; the copy and the
        // broken file are not there.
        QStringList names;
        for (qsizetype i = 0; i < dat.rows.size(); ++i)
            names << dat.value(i, "FILENAME");
        QStringList expected{QStringLiteral("01-family.eml"), QStringLiteral("report.pdf"),
                             QStringLiteral("scan.png")};
        if (!m_docx.isEmpty())
            expected << QStringLiteral("notes.docx");
        expected << QStringLiteral("figures.xlsx") << QStringLiteral("bundle.zip")
                 << QStringLiteral("earlier.eml") << QStringLiteral("inner.pdf")
                 << QStringLiteral("03-plain.eml");
        QCOMPARE(names, expected);
        const qsizetype family = expected.size() - 1;
        const qsizetype inner = family - 1;
        const qsizetype forwarded = family - 2;

        // Numbers run on without a gap; each family's range holds its
        // documents; parents are the documents attached to.
        const QList<QStringList> opt = ReadOpt(root + QStringLiteral("/DATA/VOL001.opt"));
        for (qsizetype i = 0; i < opt.size(); ++i) {
            QCOMPARE(opt[i].size(), 7);
            QCOMPARE(opt[i][0], QStringLiteral("ABC-%1").arg(i + 1, 9, 10, QLatin1Char('0')));
            QCOMPARE(opt[i][1], QStringLiteral("VOL001"));
            QCOMPARE(opt[i][2], QStringLiteral("IMAGES\\0001\\%1.tif").arg(opt[i][0]));
        }
        qsizetype page = 0;
        for (qsizetype i = 0; i < dat.rows.size(); ++i) {
            const int pages = dat.value(i, "PAGECOUNT").toInt();
            QVERIFY(pages >= 1);
            QCOMPARE(dat.value(i, "BEGBATES"), opt[page][0]);
            QCOMPARE(opt[page][3], QStringLiteral("Y"));
            QCOMPARE(opt[page][6].toInt(), pages);
            page += pages;
            QCOMPARE(dat.value(i, "ENDBATES"), opt[page - 1][0]);
            const bool inFamily = i < family;
            QCOMPARE(dat.value(i, "BEGATTACH"),
                     inFamily ? dat.value(0, "BEGBATES") : dat.value(i, "BEGBATES"));
            QCOMPARE(dat.value(i, "ENDATTACH"),
                     inFamily ? dat.value(family - 1, "ENDBATES") : dat.value(i, "ENDBATES"));
            QCOMPARE(dat.value(i, "DOCTYPE"),
                     QString::fromLatin1(i == 0 || i == family ? "email" : "attachment"));
            QCOMPARE(dat.value(i, "CUSTODIAN"), QStringLiteral("Ann Archer"));
            const QString parent = i == 0 || i == family ? QString()
                                   : i == inner          ? dat.value(forwarded, "BEGBATES")
                                                         : dat.value(0, "BEGBATES");
            QCOMPARE(dat.value(i, "PARENTBATES"), parent);
        }
        QCOMPARE(page, opt.size());
        QCOMPARE(dat.value(0, "ATTACHCOUNT").toInt(), int(forwarded));
        QCOMPARE(dat.value(forwarded, "ATTACHCOUNT"), QStringLiteral("1"));

        // The message's own fields.
        QCOMPARE(dat.value(0, "FROM"), QStringLiteral("Ann Archer <ann@example.org>"));
        QCOMPARE(dat.value(0, "CC"), QStringLiteral("Carol Clerk <carol@example.org>"));
        QCOMPARE(dat.value(0, "BCC"), QStringLiteral("Hidden Hugh <hugh@example.org>"));
        QCOMPARE(dat.value(0, "SUBJECT"), QStringLiteral("Figures for the quarter"));
        QCOMPARE(dat.value(0, "DATESENT"), QStringLiteral("04/02/2024"));
        QCOMPARE(dat.value(0, "TIMESENT"), QStringLiteral("09:30:00 +0200"));
        QCOMPARE(dat.value(0, "MESSAGEID"), QStringLiteral("<family@example.org>"));
        QCOMPARE(dat.value(0, "INREPLYTO"), QStringLiteral("<earlier@example.org>"));
        QCOMPARE(dat.value(0, "MD5HASH"),
                 QString::fromLatin1(QCryptographicHash::hash(m_family, QCryptographicHash::Md5).toHex()));
        QCOMPARE(dat.value(0, "FILESIZE").toLongLong(), qlonglong(m_family.size()));
        QCOMPARE(dat.value(0, "SOURCEPATH"), m_input + QStringLiteral("/01-family.eml"));
        QCOMPARE(dat.value(forwarded, "FROM"), QStringLiteral("Dana Dell <dana@example.org>"));
        QCOMPARE(dat.value(forwarded, "MESSAGEID"), QStringLiteral("<inner@example.org>"));

        // Text per document, named by its first number, with what a reader
        // of it sees.
        for (qsizetype i = 0; i < dat.rows.size(); ++i)
            QCOMPARE(dat.value(i, "TEXTLINK"),
                     QStringLiteral("TEXT\\0001\\%1.txt").arg(dat.value(i, "BEGBATES")));
        const auto text = [&](qsizetype row) {
            return QString::fromUtf8(ReadAll(FromVolume(root, dat.value(row, "TEXTLINK"))));
        };
        const QString mail = text(0);
        QVERIFY2(mail.startsWith(QLatin1String("From: Ann Archer <ann@example.org>\r\nTo: Bob Baker")),
                 qPrintable(mail));
        QVERIFY2(mail.contains(QLatin1String("Bcc: Hidden Hugh")), qPrintable(mail));
        QVERIFY2(mail.contains(QLatin1String("MARKERMAIL")), qPrintable(mail));
        // The page's own header block is not repeated below the lines.
        QCOMPARE(mail.count(QLatin1String("Figures for the quarter")), 1);
        QVERIFY(text(1).contains(QLatin1String("MARKERPDF")));
        QVERIFY2(text(2).contains(QLatin1String("4711")), qPrintable(text(2)));
        if (!m_docx.isEmpty())
            QVERIFY2(text(3).contains(QLatin1String("MARKERDOCX")), qPrintable(text(3)));
        // A workbook handed over as it came still has its cells as text.
        if (!m_xlsx.isEmpty()) {
            const qsizetype workbook = names.indexOf(QLatin1String("figures.xlsx"));
            QVERIFY2(text(workbook).contains(QLatin1String("North,MARKERXLSX")), qPrintable(text(workbook)));
        }
        QVERIFY2(text(forwarded).contains(QLatin1String("MARKERINNER")), qPrintable(text(forwarded)));
        QVERIFY2(text(forwarded).startsWith(QLatin1String("From: Dana Dell")), qPrintable(text(forwarded)));
        QVERIFY(text(inner).contains(QLatin1String("MARKERINNERPDF")));
        QVERIFY(text(family).contains(QLatin1String("MARKERPLAIN")));

        // Natives byte for byte under their first number, each with one
        // slip sheet page; no other document has a native.
        for (qsizetype i = 0; i < dat.rows.size(); ++i) {
            const QString name = dat.value(i, "FILENAME");
            const bool native = name == QLatin1String("figures.xlsx") || name == QLatin1String("bundle.zip");
            const QString link = dat.value(i, "NATIVELINK");
            QCOMPARE(link.isEmpty(), !native);
            if (!native)
                continue;
            QCOMPARE(link, QStringLiteral("NATIVES\\0001\\%1.%2")
                               .arg(dat.value(i, "BEGBATES"), dat.value(i, "FILEEXT")));
            const QByteArray bytes = ReadAll(FromVolume(root, link));
            QCOMPARE(QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex()),
                     dat.value(i, "MD5HASH"));
            QCOMPARE(dat.value(i, "PAGECOUNT"), QStringLiteral("1"));
        }

        // Every page: one 1-bit Group 4 image at 300 dpi, stamped.
        for (const QStringList& line : opt) {
            const Image image = ReadImage(FromVolume(root, line[2]));
            QCOMPARE(image.pages, 1);
            QCOMPARE(image.bits, 1);
            QCOMPARE(image.compression, int(COMPRESSION_CCITTFAX4));
            QCOMPARE(image.dpi, 300.0f);
            QVERIFY2(image.cornerInk > 200, qPrintable(line[0]));
        }
    }

    void twoWorkersMakeTheSameVolumeAsOne()
    {
        QVERIFY2(m_one.exitCode == m_two.exitCode, qPrintable(m_one.out + m_one.err));
        const QMap<QString, QByteArray> one = VolumeFiles(path(QStringLiteral("one")));
        const QMap<QString, QByteArray> two = VolumeFiles(path(QStringLiteral("two")));
        QVERIFY(one.size() > 10);
        QCOMPARE(one.keys(), two.keys());
        for (auto it = one.cbegin(); it != one.cend(); ++it)
            QVERIFY2(two.value(it.key()) == it.value(), qPrintable(it.key()));
    }

    void reportNamesTheCopyThatStandsForADuplicate()
    {
        const QString report = QString::fromUtf8(ReadAll(path(QStringLiteral("two.csv"))));
        QVERIFY2(report.startsWith(QLatin1String(
                     "source,message,output,pages,status,reason,seconds,bates,duplicate_of,folder\n")),
                 qPrintable(report));
        const QStringList lines = report.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 5);
        QVERIFY2(lines[1].contains(QLatin1String(",converted,")) &&
                     lines[1].contains(QLatin1String("\"ABC-000000001 to ABC-")),
                 qPrintable(lines[1]));
        QVERIFY2(lines[2].contains(QLatin1String("02-copy.eml")) &&
                     lines[2].contains(QLatin1String(",duplicate,")) &&
                     lines[2].endsWith(QLatin1String(",\"ABC-000000001\",\"\"")),
                 qPrintable(lines[2]));
        QVERIFY2(lines[4].contains(QLatin1String(",failed,")) &&
                     lines[4].contains(QLatin1String("binary data")),
                 qPrintable(lines[4]));
    }

    void verifyFindsWhatIsMissing()
    {
        const QString copy = path(QStringLiteral("damaged"));
        QDirIterator it(path(QStringLiteral("one")), QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString from = it.next();
            const QString to =
                copy + QLatin1Char('/') + QDir(path(QStringLiteral("one"))).relativeFilePath(from);
            QDir().mkpath(QFileInfo(to).absolutePath());
            QVERIFY(QFile::copy(from, to));
        }
        const CliRun good = RunCli({QStringLiteral("--verify"), copy});
        QVERIFY2(good.exitCode == 0, qPrintable(good.out + good.err));
        QVERIFY(QFile::remove(copy + QStringLiteral("/IMAGES/0001/ABC-000000002.tif")));
        QVERIFY(QFile::remove(copy + QStringLiteral("/TEXT/0001/ABC-000000001.txt")));
        const CliRun bad = RunCli({QStringLiteral("--verify"), copy});
        QCOMPARE(bad.exitCode, 1);
        QVERIFY2(bad.err.contains(QLatin1String("ABC-000000002.tif is missing")), qPrintable(bad.err));
        QVERIFY2(bad.err.contains(QLatin1String("TEXT\\0001\\ABC-000000001.txt is missing")),
                 qPrintable(bad.err));
    }

    // A production killed outright and resumed is the production that ran
    // through: no number lost, none given twice.
    void resumeAfterAKillLeavesNoGapNorDouble()
    {
        const QString input = path(QStringLiteral("notes"));
        QDir().mkpath(input);
        for (int i = 1; i <= 8; ++i)
            QVERIFY(imagingmessages::WriteFile(input + QStringLiteral("/note-%1.eml").arg(i),
                                               PlainMessage(i, QStringLiteral("NOTE%1").arg(i))));
        const CliRun whole =
            Produce(path(QStringLiteral("whole")), {QStringLiteral("--jobs"), QStringLiteral("2")}, {input});
        QVERIFY2(whole.exitCode == 0, qPrintable(whole.out + whole.err));

        const QString killed = path(QStringLiteral("killed"));
        const QString work = path(QStringLiteral("work-killed"));
        QDir().mkpath(work);
        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TEMP"), work);
        run.setProcessEnvironment(environment);
        run.start(QStringLiteral(QM_PROGRAM_DIR "/quillmark-convert"),
                  {QStringLiteral("--production"), killed, QStringLiteral("--bates"),
                   QStringLiteral("ABC-000000001"), QStringLiteral("--jobs"), QStringLiteral("2"), input});
        QVERIFY(run.waitForStarted());
        const QString journal = killed + QStringLiteral("/.quillmark/VOL001.journal");
        QElapsedTimer clock;
        clock.start();
        // The settings line and two finished messages.
        while (ReadAll(journal).count('\n') < 3 && run.state() == QProcess::Running &&
               clock.elapsed() < 300000)
            QThread::msleep(20);
        if (run.state() != QProcess::Running)
            QSKIP("the production finished before it could be killed");
        ::kill(pid_t(run.processId()), SIGKILL);
        QVERIFY(run.waitForFinished());
        QVERIFY(ReadAll(journal).count('\n') < 9);

        const CliRun resumed = Produce(
            killed, {QStringLiteral("--jobs"), QStringLiteral("2"), QStringLiteral("--resume")}, {input});
        QVERIFY2(resumed.exitCode == 0, qPrintable(resumed.out + resumed.err));
        QVERIFY2(resumed.out.contains(QLatin1String("already finished, resumed after")),
                 qPrintable(resumed.out));
        QCOMPARE(VolumeFiles(killed), VolumeFiles(path(QStringLiteral("whole"))));

        // Other numbers cannot continue it.
        const CliRun other = RunCli({QStringLiteral("--production"), killed, QStringLiteral("--bates"),
                                     QStringLiteral("XYZ000001"), QStringLiteral("--resume"), input});
        QCOMPARE(other.exitCode, 2);
        QVERIFY2(other.err.contains(QLatin1String("other numbers")), qPrintable(other.err));
    }
};

QTEST_MAIN(TestProduction)
#include "test_production.moc"
