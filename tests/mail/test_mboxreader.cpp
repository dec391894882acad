#include "errorof.h"
#include "mboxreader.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <stdexcept>

namespace {

const QByteArray Separator = "From sender@example.com Mon Jan  1 10:00:00 2024";

// As an mboxrd writer stores messages: a separator line, one more '>' on
// every line matching ^>*From , and a line break after the message.
QByteArray mboxOf(const QList<QByteArray>& messages, const QByteArray& eol, bool endsInLastMessage = false)
{
    static const QRegularExpression fromLine(QStringLiteral("^(>*From )"),
                                             QRegularExpression::MultilineOption);
    QByteArray mbox;
    for (const QByteArray& message : messages) {
        mbox += Separator + eol +
                QString::fromLatin1(message).replace(fromLine, QStringLiteral(">\\1")).toLatin1();
        if (!endsInLastMessage || &message != &messages.last())
            mbox += eol;
    }
    return mbox;
}

} // namespace

class TestMboxReader : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QString& name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(bytes);
        return path;
    }

    QByteArray extract(const QString& mbox, const MboxEntry& entry)
    {
        const QString path = m_dir.filePath(QStringLiteral("message.eml"));
        ExtractMboxMessage(mbox, entry, path);
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }

    void verifyRoundTrip(const QList<QByteArray>& messages, const QByteArray& eol,
                         bool endsInLastMessage = false)
    {
        const QString mbox = write(QStringLiteral("folder"), mboxOf(messages, eol, endsInLastMessage));
        const QList<MboxEntry> entries = ScanMbox(mbox);
        QCOMPARE(entries.size(), messages.size());
        for (qsizetype i = 0; i < entries.size(); ++i)
            QCOMPARE(extract(mbox, entries[i]), messages[i]);
    }

private slots:
    void messagesComeBackAsTheSenderWroteThem_data()
    {
        QTest::addColumn<QByteArray>("eol");
        QTest::addColumn<bool>("endsInLastMessage");
        QTest::newRow("LF, blank line at the end") << QByteArray("\n") << false;
        QTest::newRow("CRLF, blank line at the end") << QByteArray("\r\n") << false;
        QTest::newRow("LF, file ends inside the last line") << QByteArray("\n") << true;
        QTest::newRow("CRLF, file ends inside the last line") << QByteArray("\r\n") << true;
    }

    void messagesComeBackAsTheSenderWroteThem()
    {
        QFETCH(QByteArray, eol);
        QFETCH(bool, endsInLastMessage);
        QList<QByteArray> messages = {
            "Subject: quoting\n\nFrom the top\n>From once\n>>From twice\n>From\nFrom\n > From\n",
            "Subject: attachment\nContent-Type: multipart/mixed; boundary=B\n\n--B\n\nSee the minutes.\n"
            "--B\nContent-Type: text/plain\nContent-Disposition: attachment; filename=minutes.txt\n\n"
            "From the minutes of the meeting:\n>From the floor\n--B--\n",
            "Subject: no final newline\n\nlast line",
            "Subject: empty body\n\n",
            endsInLastMessage ? "Subject: last\n\ncut off\n>>Fro"
                              : "Subject: last\n\nends with its newline\n",
        };
        for (QByteArray& message : messages)
            message.replace("\n", eol);
        verifyRoundTrip(messages, eol, endsInLastMessage);
    }

    void manyMessagesKeepTheirOrder()
    {
        QList<QByteArray> messages;
        for (int i = 0; i < 300; ++i)
            messages.append(QStringLiteral("Subject: message %1\n\nbody %1\n").arg(i).toLatin1());
        const QList<MboxEntry> entries = ScanMbox(write(QStringLiteral("many"), mboxOf(messages, "\n")));
        QCOMPARE(entries.size(), messages.size());
        for (qsizetype i = 1; i < entries.size(); ++i)
            QVERIFY(entries[i - 1].end < entries[i].begin);
        verifyRoundTrip(messages, "\n");
    }

    // What follows a "From " line that GMime cannot read as a header is no
    // message: it stays with the one before, and the scan finds the rest.
    void aMessageGMimeCannotReadDoesNotHideTheRest()
    {
        const QString mbox = write(
            QStringLiteral("unreadable"),
            mboxOf({"Subject: one\n\nfine\n", "this line is no header\n\nbody\n", "Subject: three\n\nfine\n"},
                   "\n"));
        const QList<MboxEntry> entries = ScanMbox(mbox);
        QCOMPARE(entries.size(), 2);
        QCOMPARE(extract(mbox, entries[0]),
                 "Subject: one\n\nfine\n\n" + Separator + "\nthis line is no header\n\nbody\n");
        QCOMPARE(extract(mbox, entries[1]), QByteArray("Subject: three\n\nfine\n"));
    }

    // A writer that escapes nothing: "From " lines in a body, prose or a
    // blank line after them, do not split the message; one with a header
    // after it does.
    void unescapedFromLinesInABodyStayInTheirMessage_data()
    {
        QTest::addColumn<QByteArray>("eol");
        QTest::newRow("LF") << QByteArray("\n");
        QTest::newRow("CRLF") << QByteArray("\r\n");
    }
    void unescapedFromLinesInABodyStayInTheirMessage()
    {
        QFETCH(QByteArray, eol);
        QByteArray first = "From: Ann <ann@x.example>\nSubject: minutes\n"
                           "Content-Type: multipart/mixed; boundary=B\n\n--B\n\nSee below.\n\n"
                           "From the minutes of the meeting:\nall agreed.\n\nFrom\n\n"
                           "From Bob, with thanks\n--B\nContent-Type: text/plain\n\n"
                           "From here on: the plan\n--B--\n";
        QByteArray second = "Received: by x.example\n\tfor <bob@x.example>\nSubject: two\n\nFrom me\n";
        first.replace("\n", eol);
        second.replace("\n", eol);
        const QByteArray separator = "From ann@x.example Tue May  7 09:00:00 2024" + eol;
        const QString mbox =
            write(QStringLiteral("unescaped"), separator + first + eol + separator + second + eol);
        const QList<MboxEntry> entries = ScanMbox(mbox);
        QCOMPARE(entries.size(), 2);
        QCOMPARE(extract(mbox, entries[0]), first);
        QCOMPARE(extract(mbox, entries[1]), second);
    }

    // Single messages that begin with a separator line, as many are kept:
    // read as a folder, each is one message.
    void corpusMessagesWithASeparatorAreOneMessage()
    {
        const QDir corpus(QStringLiteral(QM_SOURCE_DIR "/../shared/corpus"));
        if (!corpus.exists())
            QSKIP("the message corpus is not on this machine");
        int seen = 0;
        QDirIterator it(corpus.path(), {QStringLiteral("*.eml")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly) || file.read(5) != "From ")
                continue;
            ++seen;
            QVERIFY2(ScanMbox(path).size() == 1, qPrintable(path));
        }
        QVERIFY(seen > 0);
    }

    void escapesAcrossCopyBlocksAndLongLinesAreUndone()
    {
        const QByteArray head = "Subject: long\n\n";
        // The escaped line starts three bytes before the first block ends.
        const QByteArray padding(64 * 1024 - 3 - head.size() - 1, 'x');
        verifyRoundTrip(
            {head + padding + "\n>>From here\n" + QByteArray(300 * 1024, 'y') + "\n>From there\n"}, "\n");
    }

    void whatIsNoMboxIsRefusedAndAnEmptyFileHoldsNoMessages()
    {
        const QString eml =
            write(QStringLiteral("note.eml"), "From: a@example.com\n\nbody\n" + Separator + "\n");
        QVERIFY(ErrorOf([&] { ScanMbox(eml); }).contains(QStringLiteral("%1 is not an mbox").arg(eml)));
        const QString missing = m_dir.filePath(QStringLiteral("missing"));
        QVERIFY(ErrorOf([&] { ScanMbox(missing); }).contains(missing));
        QVERIFY(!ErrorOf([&] { ScanMbox(m_dir.path()); }).isEmpty());
        QVERIFY(ScanMbox(write(QStringLiteral("empty"), {})).isEmpty());
        QVERIFY(ScanMbox(write(QStringLiteral("separator only"), Separator + "\n")).isEmpty());
    }

    void separatorLinesAreRecognisedWhateverTheFileName_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<bool>("mbox");
        QTest::newRow("desktop client") << QByteArray("From - Mon Jan 01 10:00:00 2024\n") << true;
        QTest::newRow("export") << QByteArray("From 17812@xxx Mon Jan 01 10:00:00 +0000 2024\r\n") << true;
        QTest::newRow("terminal client") << Separator + "\nSubject: x\n" << true;
        QTest::newRow("message header") << QByteArray("From: a@example.com\n") << false;
        QTest::newRow("prose") << QByteArray("From here to there\n") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }

    void separatorLinesAreRecognisedWhateverTheFileName()
    {
        QFETCH(QByteArray, head);
        QFETCH(bool, mbox);
        QCOMPARE(LooksLikeMbox(write(QStringLiteral("Inbox"), head)), mbox);
    }

    void aCopyNeverLandsOnALinkTheMboxOrOutsideIt()
    {
        const QByteArray folder = mboxOf({"Subject: one\n\nbody\n"}, "\n");
        const QString mbox = write(QStringLiteral("folder"), folder);
        const MboxEntry entry = ScanMbox(mbox).first();
        const QString victim = write(QStringLiteral("victim"), "keep");
        const QString link = m_dir.filePath(QStringLiteral("link.eml"));
        QVERIFY(QFile::link(victim, link));
        QVERIFY(ErrorOf([&] {
                    ExtractMboxMessage(mbox, entry, link);
                }).contains(QStringLiteral("symbolic link")));
        QVERIFY(!ErrorOf([&] { ExtractMboxMessage(mbox, entry, mbox); }).isEmpty());
        QVERIFY(!ErrorOf([&] { ExtractMboxMessage(mbox, entry, QStringLiteral("/dev/null")); }).isEmpty());
        QVERIFY(QFile::exists(QStringLiteral("/dev/null")));
        const QString outside = m_dir.filePath(QStringLiteral("outside.eml"));
        QVERIFY(!ErrorOf([&] {
                     ExtractMboxMessage(mbox, {entry.begin, folder.size() + 1}, outside);
                 }).isEmpty());
        QVERIFY(!QFile::exists(outside));
        QFile victimFile(victim), mboxFile(mbox);
        QVERIFY(victimFile.open(QIODevice::ReadOnly) && mboxFile.open(QIODevice::ReadOnly));
        QCOMPARE(victimFile.readAll(), QByteArray("keep"));
        QCOMPARE(mboxFile.readAll(), folder);
    }
};

QTEST_GUILESS_MAIN(TestMboxReader)
#include "test_mboxreader.moc"
