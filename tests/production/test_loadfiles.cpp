#include "journal.h"
#include "loadfiles.h"
#include "productiondocument.h"
#include "tiffwriter.h"
#include "verify.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <csv.h>

namespace {

const BatesNumbering kNumbering{QStringLiteral("ABC-"), 1, 9};

LaidOutDocument Document(LaidOutDocument::Type type, int parent, int pages, const QString& name)
{
    LaidOutDocument document;
    document.type = type;
    document.parent = parent;
    document.pages = pages;
    document.fileName = name;
    return document;
}

// A message with a PDF, an attached message and the attached message's own
// picture.
Family NestedFamily()
{
    Family family;
    family.documents = {Document(LaidOutDocument::Type::Email, -1, 2, QStringLiteral("a.eml")),
                        Document(LaidOutDocument::Type::Attachment, 0, 3, QStringLiteral("r.pdf")),
                        Document(LaidOutDocument::Type::Attachment, 0, 1, QStringLiteral("fwd.eml")),
                        Document(LaidOutDocument::Type::Attachment, 2, 1, QStringLiteral("p.png"))};
    return family;
}

// The reader a review platform has: split on the quoted separator, strip the
// outer quotes, turn ® back into line breaks.
QStringList ReadConcordance(const QByteArray& row)
{
    QString text = QString::fromUtf8(row);
    if (!text.endsWith(QLatin1String("\r\n")) || text.count(QLatin1Char('\n')) != 1)
        return {};
    text.chop(2);
    if (!text.startsWith(u'\u00FE') || !text.endsWith(u'\u00FE'))
        return {};
    QStringList fields = text.mid(1, text.size() - 2).split(QStringLiteral("\u00FE\u0014\u00FE"));
    for (QString& field : fields)
        field.replace(u'\u00AE', u'\n');
    return fields;
}

QList<QByteArrayList> ReadCsv(const QByteArray& bytes)
{
    struct State {
        QList<QByteArrayList> records;
        QByteArrayList record;
    } state;
    csv_parser parser;
    csv_init(&parser, CSV_APPEND_NULL);
    const auto field = [](void* data, size_t length, void* self) {
        static_cast<State*>(self)->record.append(
            QByteArray(static_cast<const char*>(data), qsizetype(length)));
    };
    const auto end = [](int, void* self) {
        auto* s = static_cast<State*>(self);
        s->records.append(std::exchange(s->record, {}));
    };
    csv_parse(&parser, bytes.constData(), size_t(bytes.size()), field, end, &state);
    csv_fini(&parser, field, end, &state);
    csv_free(&parser);
    return state.records;
}

void WriteFile(const QString& path, const QByteArray& bytes = "text\r\n")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

void WritePage(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    TiffDocumentInfo info;
    info.dpi = 300;
    info.colour = ColourMode::Mono;
    TiffWriter writer(path, 1, info);
    PageImage page;
    page.width = 40;
    page.height = 60;
    page.rgb = QByteArray(40 * 60 * 3, char(255));
    writer.addPage(page);
    writer.finish();
}

// A small volume written the way a production writes one: the nested family,
// then a message alone.
void WriteVolume(const VolumeLayout& layout)
{
    LoadFiles files(layout);
    files.start();
    const Family family = NestedFamily();
    const QList<NumberedDocument> numbers = NumberFamily(family, 1);
    for (qsizetype i = 0; i < family.documents.size(); ++i) {
        RowContext context;
        context.textLink = layout.textPath(numbers[i].begin);
        WriteFile(layout.absolute(context.textLink));
        files.add(DocumentValues(family.documents[i], numbers[i], layout.numbering(), context),
                  numbers[i].begin, family.documents[i].pages);
        for (qint64 n = numbers[i].begin; n <= numbers[i].end; ++n)
            WritePage(layout.absolute(layout.imagePath(n)));
    }
    Family alone;
    alone.documents = {Document(LaidOutDocument::Type::Email, -1, 1, QStringLiteral("b.eml"))};
    const QList<NumberedDocument> single = NumberFamily(alone, 8);
    files.add(DocumentValues(alone.documents[0], single[0], layout.numbering(), {}), 8, 1);
    WritePage(layout.absolute(layout.imagePath(8)));
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestLoadFiles : public QObject {
    Q_OBJECT

private slots:
    void numbersRunThroughTheFamily()
    {
        const QList<NumberedDocument> numbers = NumberFamily(NestedFamily(), 41);
        QCOMPARE(numbers.size(), 4);
        const QList<qint64> begins{numbers[0].begin, numbers[1].begin, numbers[2].begin, numbers[3].begin};
        QCOMPARE(begins, (QList<qint64>{41, 43, 46, 47}));
        QCOMPARE(numbers[3].end, 47);
        for (const NumberedDocument& document : numbers) {
            QCOMPARE(document.familyBegin, 41);
            QCOMPARE(document.familyEnd, 47);
        }
        // The attached message's picture hangs from the attached message.
        QCOMPARE(numbers[1].parentBegin, 41);
        QCOMPARE(numbers[3].parentBegin, 46);
        QCOMPARE(numbers[0].attachCount, 2);
        QCOMPARE(numbers[2].attachCount, 1);
        QCOMPARE(numbers[1].attachCount, 0);
    }

    void foldersHoldAThousandImages()
    {
        const VolumeLayout layout(QStringLiteral("/v"), BatesNumbering{QStringLiteral("ABC-"), 5, 9},
                                  QStringLiteral("VOL001"));
        QCOMPARE(layout.imagePath(5), QStringLiteral("IMAGES/0001/ABC-000000005.tif"));
        QCOMPARE(layout.imagePath(1004), QStringLiteral("IMAGES/0001/ABC-000001004.tif"));
        QCOMPARE(layout.imagePath(1005), QStringLiteral("IMAGES/0002/ABC-000001005.tif"));
        QCOMPARE(layout.textPath(1005), QStringLiteral("TEXT/0002/ABC-000001005.txt"));
        QCOMPARE(layout.nativePath(7, QStringLiteral("xlsx")),
                 QStringLiteral("NATIVES/0001/ABC-000000007.xlsx"));
        QCOMPARE(VolumeLayout::loadFilePath(layout.imagePath(5)),
                 QStringLiteral("IMAGES\\0001\\ABC-000000005.tif"));
        QCOMPARE(layout.datPath(), QStringLiteral("DATA/VOL001.dat"));
    }

    void extensionsNameOnlyFiles()
    {
        LaidOutDocument document;
        document.fileName = QStringLiteral("Budget.Q1.XLSX");
        QCOMPARE(document.extension(), QStringLiteral("xlsx"));
        for (const char* name : {"noextension", "a.x/../y", "evil.ex\nt", "a.tar/", "x.verylongextension"}) {
            document.fileName = QString::fromLatin1(name);
            QVERIFY2(document.extension().isEmpty(), name);
        }
    }

    void rowsKeepTheirFieldsWhateverTheValues()
    {
        LaidOutDocument document = Document(LaidOutDocument::Type::Email, -1, 2, QStringLiteral("a.eml"));
        document.subject = QStringLiteral("Two\r\nlines\nand\rmore");
        document.from = QStringLiteral("þorn þ <t@example.org>þ");
        document.to = QStringLiteral("sep\u0014arated, and \"quoted\", comma");
        const QList<NumberedDocument> numbers = NumberFamily(NestedFamily(), 1);
        RowContext context{QStringLiteral("Ann"), QStringLiteral("/m/a.mbox (message 3)"),
                           QStringLiteral("TEXT/0001/ABC-000000001.txt"), QString()};
        const QStringList values = DocumentValues(document, numbers[0], kNumbering, context);
        QCOMPARE(values.size(), ProductionFields().size());

        const QStringList header = ReadConcordance(ConcordanceRow(ProductionFields()));
        QCOMPARE(header, ProductionFields());
        const QStringList read = ReadConcordance(ConcordanceRow(values));
        QCOMPARE(read.size(), header.size());
        const auto field = [&](const char* name) { return read.at(header.indexOf(QLatin1String(name))); };
        QCOMPARE(field("SUBJECT"), QStringLiteral("Two\nlines\nand\nmore"));
        QCOMPARE(field("FROM"), document.from);
        QCOMPARE(field("TO"), QStringLiteral("sep arated, and \"quoted\", comma"));
        QCOMPARE(field("BEGBATES"), QStringLiteral("ABC-000000001"));
        QCOMPARE(field("ENDATTACH"), QStringLiteral("ABC-000000007"));
        QCOMPARE(field("PARENTBATES"), QString());
        QCOMPARE(field("DOCTYPE"), QStringLiteral("email"));
        QCOMPARE(field("TEXTLINK"), QStringLiteral("TEXT\\0001\\ABC-000000001.txt"));
        QCOMPARE(field("SOURCEPATH"), context.sourcePath);

        const QList<QByteArrayList> csv = ReadCsv(CsvRow(ProductionFields()) + CsvRow(values));
        QCOMPARE(csv.size(), 2);
        QCOMPARE(csv[1].size(), ProductionFields().size());
        QCOMPARE(QString::fromUtf8(csv[1].at(header.indexOf(QLatin1String("SUBJECT")))), document.subject);
        QCOMPARE(QString::fromUtf8(csv[1].at(header.indexOf(QLatin1String("TO")))), document.to);
    }

    void opticonMarksEachDocumentsFirstPage()
    {
        const VolumeLayout layout(QStringLiteral("/v"), BatesNumbering{QStringLiteral("ABC-"), 1, 9},
                                  QStringLiteral("VOL007"));
        QCOMPARE(OpticonLines(layout, 1000, 2),
                 QByteArray("ABC-000001000,VOL007,IMAGES\\0001\\ABC-000001000.tif,Y,,,2\r\n"
                            "ABC-000001001,VOL007,IMAGES\\0002\\ABC-000001001.tif,,,,\r\n"));
    }

    void journalResumesFromItsLastWholeLine()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("state/VOL001.journal"));
        const QJsonObject settings{{QStringLiteral("prefix"), QStringLiteral("ABC-")}};
        JournalEntry produced;
        produced.key = QStringLiteral("/m/a.eml\n0");
        produced.status = JournalEntry::Status::Produced;
        produced.md5 = QStringLiteral("aa");
        produced.documents = {{{QStringLiteral("x")}, 1, 2}, {{QStringLiteral("y")}, 3, 4}};
        JournalEntry duplicate;
        duplicate.key = QStringLiteral("/m/b.eml\n0");
        duplicate.status = JournalEntry::Status::Duplicate;
        duplicate.duplicateOf = QStringLiteral("ABC-000000001");
        {
            Journal journal;
            QString error;
            QVERIFY2(journal.open(path, settings, false, &error), qPrintable(error));
            journal.append(produced);
            journal.append(duplicate);
        }
        // A kill in the middle of the next line.
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write("{\"key\":\"/m/c.eml");
        }
        Journal resumed;
        QString error;
        QVERIFY2(resumed.open(path, settings, true, &error), qPrintable(error));
        QCOMPARE(resumed.entries().size(), 2);
        QCOMPARE(resumed.entries()[0].endNumber(), 6);
        QCOMPARE(resumed.entries()[0].documents[1].values, QStringList{QStringLiteral("y")});
        QCOMPARE(resumed.entries()[1].status, JournalEntry::Status::Duplicate);
        QCOMPARE(resumed.entries()[1].duplicateOf, duplicate.duplicateOf);
        QVERIFY(!ReadAll(path).contains("/m/c.eml"));
        resumed.append(duplicate);

        Journal other;
        QVERIFY(!other.open(path, {{QStringLiteral("prefix"), QStringLiteral("XYZ")}}, true, &error));
        QVERIFY2(error.contains(QLatin1String("--bates")), qPrintable(error));
        // Without resume the production starts afresh.
        Journal fresh;
        QVERIFY(fresh.open(path, settings, false, &error));
        QVERIFY(fresh.entries().isEmpty());
    }

    void verifyPassesAWholeVolume()
    {
        QTemporaryDir dir;
        const VolumeLayout layout(dir.path(), kNumbering, QStringLiteral("VOL001"));
        WriteVolume(layout);
        const VerifyResult result = VerifyProduction(dir.path());
        QVERIFY2(result.problems.isEmpty(), qPrintable(result.problems.join(QLatin1Char('\n'))));
        QCOMPARE(result.documents, 5);
        QCOMPARE(result.pages, 8);
    }

    void verifyFindsWhatIsWrong()
    {
        QTemporaryDir dir;
        const VolumeLayout layout(dir.path(), kNumbering, QStringLiteral("VOL001"));
        WriteVolume(layout);
        QFile::remove(layout.absolute(layout.imagePath(3)));
        WriteFile(layout.absolute(layout.imagePath(4)), "II*\0not really");
        QFile::remove(layout.absolute(layout.textPath(3)));
        // A row that lost a field, and the last page given twice.
        QByteArray dat = ReadAll(layout.absolute(layout.datPath()));
        const qsizetype row = dat.indexOf("\r\n") + 2;
        dat.replace(dat.indexOf("\xc3\xbe\x14\xc3\xbe", row), 5, "");
        WriteFile(layout.absolute(layout.datPath()), dat);
        const QByteArray opt = ReadAll(layout.absolute(layout.optPath()));
        WriteFile(layout.absolute(layout.optPath()),
                  opt + opt.mid(opt.lastIndexOf("\r\nABC-000000008,") + 2));

        const QString problems = VerifyProduction(dir.path()).problems.join(QLatin1Char('\n'));
        QVERIFY2(problems.contains(QLatin1String("ABC-000000003.tif is missing")), qPrintable(problems));
        QVERIFY2(problems.contains(QLatin1String("ABC-000000004.tif is damaged")), qPrintable(problems));
        QVERIFY2(problems.contains(QLatin1String("TEXTLINK TEXT\\0001\\ABC-000000003.txt is missing")),
                 qPrintable(problems));
        QVERIFY2(problems.contains(QLatin1String("row 1 has 25 fields, the header 26")),
                 qPrintable(problems));
        QVERIFY2(problems.contains(QLatin1String("the number 8 is used twice")), qPrintable(problems));
    }

    void verifyFindsGapsAndBrokenFamilies()
    {
        QTemporaryDir dir;
        const VolumeLayout layout(dir.path(), kNumbering, QStringLiteral("VOL001"));
        WriteVolume(layout);
        // The lone message moved from 8 to 9: a gap, and the .dat disagrees.
        QByteArray opt = ReadAll(layout.absolute(layout.optPath()));
        opt.replace("ABC-000000008,", "ABC-000000009,");
        WriteFile(layout.absolute(layout.optPath()), opt);
        // The PDF's family ends before its last attachment.
        QString dat = QString::fromUtf8(ReadAll(layout.absolute(layout.datPath())));
        const QString range = QStringLiteral("ABC-000000007\u00FE\u0014\u00FEABC-000000006");
        QVERIFY(dat.contains(range));
        dat.replace(range, QStringLiteral("ABC-000000006\u00FE\u0014\u00FEABC-000000006"));
        WriteFile(layout.absolute(layout.datPath()), dat.toUtf8());

        const QString problems = VerifyProduction(dir.path()).problems.join(QLatin1Char('\n'));
        QVERIFY2(problems.contains(QLatin1String("jump from 7 to 9")), qPrintable(problems));
        QVERIFY2(problems.contains(QLatin1String("the .opt marks no document at 8")), qPrintable(problems));
        QVERIFY2(problems.contains(QLatin1String("outside its family")), qPrintable(problems));
    }
};

QTEST_GUILESS_MAIN(TestLoadFiles)
#include "test_loadfiles.moc"
