#include "cliprocess.h"
#include "commandline.h"
#include "messagepage.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// Every message of the real-world corpus, converted once by quillmark-convert
// with the real office engine: a TIFF of at least one page with the header
// block at the top of the page, or a failure that says why.
class TestCorpusConversion : public QObject {
    Q_OBJECT

    static QString latin1File(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
    }

    // Letters up to the first RTF line break, control words removed: enough
    // to see which header labels the first lines of the document hold.
    static QString rtfBodyText(const QString& rtf)
    {
        const qsizetype start = rtf.indexOf(QLatin1String("\\pard"));
        QString text = rtf.mid(start < 0 ? 0 : start, 6000);
        static const QRegularExpression control(QStringLiteral("\\\\[a-z]+-?\\d* ?|[{}]"));
        return text.replace(control, QString());
    }

private slots:
    void everyMessageBecomesATiffOrSaysWhyNot()
    {
        const QString corpus = QStringLiteral(QM_CORPUS_DIR);
        if (!QDir(corpus).exists())
            QSKIP("the shared corpus is not on this machine");

        QStringList messages;
        QDirIterator it(corpus, {QStringLiteral("*.eml"), QStringLiteral("*.EML")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            messages << QDir::cleanPath(it.next());
        QVERIFY(!messages.isEmpty());
        // A work file is reused by the next message of the same name; only
        // the last one's RTF is still there to look at.
        QHash<QString, QString> lastOfName;
        for (const QString& message : std::as_const(messages))
            lastOfName[QFileInfo(message).completeBaseName()] = message;

        QTemporaryDir dir;
        const QString out = dir.path() + QStringLiteral("/out");
        const QString work = dir.path() + QStringLiteral("/work");
        QDir().mkpath(work);

        // Names repeat across the corpus's folders, so the results are told
        // apart by the line that names each message's output.
        const CliRun run = RunCli({QStringLiteral("--out"), out, corpus}, work, 1500000);
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

            // The RTF the office engine made is the page vexlo laid out.
            const QString baseName = QFileInfo(message).completeBaseName();
            if (lastOfName.value(baseName) != message)
                continue;
            const QString rtf = work + QLatin1Char('/') + baseName + QStringLiteral(".rtf");
            const HeaderLines header = ScanHeaderLines(CutLines(latin1File(message)));
            const QString text = rtfBodyText(latin1File(rtf));
            if (!header.subjectLine.isEmpty()) {
                ++withSubject;
                const qsizetype at = text.indexOf(QLatin1String("Subject:"));
                if (at < 0) {
                    qInfo("no header block: %s", qPrintable(message));
                    continue;
                }
                // Encoded words are shown decoded.
                QVERIFY2(!text.mid(at, 200).contains(QLatin1String("=?")), qPrintable(line + text.mid(at, 200)));
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
};

QTEST_GUILESS_MAIN(TestCorpusConversion)
#include "test_corpus_conversion.moc"
