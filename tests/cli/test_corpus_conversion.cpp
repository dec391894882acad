#include "cliprocess.h"
#include "commandline.h"
#include "messageconverter.h"
#include "messagepage.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-page.h>

#include <memory>

#include <unistd.h>

// Every message of the shared corpus, converted once by quillmark-convert
// with the real page engine: a TIFF of at least one page with the header
// block on the first page, or a failure of that message alone that says why.
class TestCorpusConversion : public QObject {
    Q_OBJECT

    static QString latin1File(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
    }

    // The text of the work document's first page: the page the recipient saw,
    // as the page engine printed it.
    static QString firstPageText(const QString& pdfPath)
    {
        std::unique_ptr<poppler::document> document(
            poppler::document::load_from_file(QFile::encodeName(pdfPath).toStdString()));
        if (!document || document->pages() < 1)
            return {};
        std::unique_ptr<poppler::page> page(document->create_page(0));
        const auto utf8 = page->text().to_utf8();
        return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
    }

    void convertsFolder(const QString& name)
    {
        const QString corpus = QStringLiteral(QM_SOURCE_DIR "/../shared/corpus/") + name;
        if (!QDir(corpus).exists())
            QSKIP("the shared corpus is not on this machine");

        QStringList messages;
        QDirIterator it(corpus, {QStringLiteral("*.eml"), QStringLiteral("*.EML")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            messages << QDir::cleanPath(it.next());
        QVERIFY(!messages.isEmpty());
        // One worker, its work files kept: a work file is reused by the next
        // message of the same name, so only the last one's PDF is there to
        // look at.
        QHash<QString, QString> lastOfName;
        for (const QString& message : std::as_const(messages))
            lastOfName[QFileInfo(message).completeBaseName()] = message;

        QTemporaryDir dir;
        const QString out = dir.path() + QStringLiteral("/out");
        const QString work = dir.path() + QStringLiteral("/work");
        QDir().mkpath(work);

        // Names repeat across the corpus's folders, so the results are told
        // apart by the line that names each message's output.
        qputenv(kKeepWorkFilesVariable, "1");
        const CliRun run =
            RunCli({QStringLiteral("--jobs"), QStringLiteral("1"), QStringLiteral("--out"), out, corpus},
                   work, 1500000);
        qunsetenv(kKeepWorkFilesVariable);
        // Work folders live in the program's own folder inside TEMP.
        const QString own = work + QStringLiteral("/quillmark-") + QString::number(::getuid());
        QStringList kept;
        for (const QString& folder : QDir(own).entryList({QStringLiteral("kept-*")}, QDir::Dirs))
            kept << own + QLatin1Char('/') + folder;
        QVERIFY2(!kept.isEmpty(), qPrintable(own));
        const QStringList lines = run.messageLines();
        QCOMPARE(lines.size(), messages.size());

        static const QRegularExpression converted(QStringLiteral("^\\[\\d+/\\d+\\] (.*) -> (.*)$"));
        static const QRegularExpression failed(QStringLiteral("^\\[\\d+/\\d+\\] (.*): failed: (.+)$"));
        int failures = 0;
        int withSubject = 0;
        int withBlock = 0;
        for (const QString& line : lines) {
            const auto ok = converted.match(line);
            if (!ok.hasMatch()) {
                const auto bad = failed.match(line);
                QVERIFY2(bad.hasMatch(), qPrintable(line));
                ++failures;
                qInfo("%s", qPrintable(line));
                continue;
            }
            const QString message = ok.captured(1);
            const QString tiff = ok.captured(2);
            QVERIFY2(TiffPageCount(tiff) >= 1, qPrintable(line));

            // The PDF the page engine made is the page vexlo rasterised.
            const QString baseName = QFileInfo(message).completeBaseName();
            if (lastOfName.value(baseName) != message)
                continue;
            QString pdf;
            for (const QString& folder : std::as_const(kept))
                if (QFile::exists(folder + QLatin1Char('/') + baseName + QStringLiteral(".pdf")))
                    pdf = folder + QLatin1Char('/') + baseName + QStringLiteral(".pdf");
            const HeaderLines header = ScanHeaderLines(CutLines(latin1File(message)));
            const QString text = firstPageText(pdf);
            if (!header.subjectLine.isEmpty()) {
                ++withSubject;
                const qsizetype at = text.indexOf(QLatin1String("Subject:"));
                if (at < 0) {
                    qInfo("no header block: %s", qPrintable(message));
                    continue;
                }
                // Encoded words are shown decoded.
                QVERIFY2(!text.mid(at, 200).contains(QLatin1String("=?")),
                         qPrintable(line + text.mid(at, 200)));
                ++withBlock;
            }
        }
        // Only the few files that are not mail at all may fail.
        QVERIFY2(failures * 20 <= lines.size(), qPrintable(run.out));
        // A message whose header lines a mail reader cannot find (a first
        // line that continues nothing, say) may show its raw text instead.
        qInfo("header block found for %d of %d messages with a subject", withBlock, withSubject);
        QVERIFY(withSubject * 2 >= lastOfName.size());
        QVERIFY(withBlock * 10 >= withSubject * 9);
        QCOMPARE(run.exitCode, failures == 0 ? kExitAllConverted : kExitSomeFailed);
    }

private slots:
    void realWorldMessagesBecomeTiffsOrSayWhyNot() { convertsFolder(QStringLiteral("eml")); }
    // Odd and hostile MIME, and the 1 MB messages that once stalled the engine.
    void parserTestMessagesBecomeTiffsOrSayWhyNot() { convertsFolder(QStringLiteral("eml-extra")); }
    void newslettersReceiptsAndInvoicesBecomeTiffs() { convertsFolder(QStringLiteral("html-mail")); }
};

QTEST_GUILESS_MAIN(TestCorpusConversion)
#include "test_corpus_conversion.moc"
