#include "mhtmlreader.h"
#include "peakmemory.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray pngBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class TestMhtmlReader : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_count = 0;

    // Writes a message and reads its page.
    MailPage readPage(const QByteArray& message)
    {
        const QString mht = m_dir.path() + QStringLiteral("/page%1.mht").arg(++m_count);
        QFile file(mht);
        file.open(QIODevice::WriteOnly);
        file.write(message);
        file.close();
        return ReadMhtmlPage(mht);
    }

    QString read(const QByteArray& message) { return QString::fromUtf8(readPage(message).html); }

private slots:
    void plainTextIsEscapedInAWrappingMonospaceBlock()
    {
        const QString html = PlainTextToHtml(QStringLiteral("a <b> & c\n  indented"));
        QVERIFY(html.contains(QStringLiteral("a &lt;b&gt; &amp; c\n  indented")));
        QVERIFY(html.contains(QStringLiteral("white-space: pre-wrap")));
        QVERIFY(html.contains(QStringLiteral("monospace")));
    }

    void relatedPageShowsItsStartPartWithItsPartsAtHand()
    {
        const QByteArray png = pngBytes(40, 30);
        const QByteArray message =
            "MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=\"R\"; start=\"<page@x>\"\r\n\r\n"
            "--R\r\nContent-Type: image/png\r\nContent-ID: <img1@x>\r\nContent-Transfer-Encoding: "
            "base64\r\n\r\n" +
            png.toBase64() +
            "\r\n"
            "--R\r\nContent-Type: text/html; charset=iso-8859-1\r\nContent-ID: <page@x>\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
            "<html><body><p>Caf=E9</p><img src=3D\"cid:img1@x\"><img src=3D\"logo.gif\"></body></html>\r\n"
            "--R\r\nContent-Type: image/GIF\r\nContent-Location: logo.gif\r\n\r\nGIF89a\r\n"
            "--R--\r\n";
        const MailPage page = readPage(message);
        const QString html = QString::fromUtf8(page.html);
        QVERIFY(html.contains(QStringLiteral("Café")));
        // The page stays as the sender wrote it; the engine resolves its
        // references against the parts.
        QVERIFY(html.contains(QStringLiteral("src=\"cid:img1@x\"")));
        QCOMPARE(page.parts.size(), 2);
        for (const QString& id : {QStringLiteral("img1@x"), QStringLiteral("<IMG1@x>")}) {
            const MailPart* image = page.partWithContentId(id);
            QVERIFY2(image, qPrintable(id));
            QCOMPARE(image->data, png);
            QCOMPARE(image->mimeType, QByteArray("image/png"));
        }
        QVERIFY(!page.partWithContentId(QStringLiteral("gone@x")));
        QVERIFY(!page.partWithContentId(QStringLiteral("page@x"))); // the page is no part of itself
        const MailPart* logo = page.partAtLocation(QStringLiteral("logo.gif"));
        QVERIFY(logo);
        QCOMPARE(logo->mimeType, QByteArray("image/gif"));
    }

    void partToShowFollowsTheMessageStructure_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("unexpected");
        QTest::newRow("alternative: last html wins")
            << QByteArray("MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=A\r\n\r\n"
                          "--A\r\nContent-Type: text/plain\r\n\r\nplain version\r\n"
                          "--A\r\nContent-Type: text/html\r\n\r\n<p>first html</p>\r\n"
                          "--A\r\nContent-Type: text/html\r\n\r\n<p>second html</p>\r\n"
                          "--A\r\nContent-Type: application/x-other\r\n\r\nother\r\n--A--\r\n")
            << QStringLiteral("second html") << QStringLiteral("plain version");
        QTest::newRow("alternative: plain when no html")
            << QByteArray("MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=A\r\n\r\n"
                          "--A\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nonly <plain>\r\n--A--\r\n")
            << QStringLiteral("only &lt;plain&gt;") << QString();
        QTest::newRow("mixed: first displayable, attachments skipped")
            << QByteArray("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=M\r\n\r\n"
                          "--M\r\nContent-Type: text/plain\r\nContent-Disposition: "
                          "attachment\r\n\r\nattached text\r\n"
                          "--M\r\nContent-Type: multipart/alternative; boundary=A\r\n\r\n"
                          "--A\r\nContent-Type: text/plain\r\n\r\nbody plain\r\n"
                          "--A\r\nContent-Type: text/html\r\n\r\n<b>body html</b>\r\n--A--\r\n"
                          "--M\r\nContent-Type: text/html\r\n\r\nlater part\r\n--M--\r\n")
            << QStringLiteral("body html") << QStringLiteral("attached text");
        QTest::newRow("related without start: first part")
            << QByteArray("MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=R\r\n\r\n"
                          "--R\r\nContent-Type: text/html\r\n\r\n<p>root page</p>\r\n"
                          "--R\r\nContent-Type: text/html\r\nContent-Location: other.html\r\n\r\nnot "
                          "shown\r\n--R--\r\n")
            << QStringLiteral("root page") << QStringLiteral("not shown");
    }

    void partToShowFollowsTheMessageStructure()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, expected);
        QFETCH(QString, unexpected);
        const QString html = read(message);
        QVERIFY2(html.contains(expected), qPrintable(html));
        if (!unexpected.isEmpty())
            QVERIFY(!html.contains(unexpected));
    }

    void messagesWithoutAPageShowWhatTheyHave()
    {
        // Nothing displayable: an empty page rather than a failed message.
        QString html = read("MIME-Version: 1.0\r\nContent-Type: image/png\r\n\r\nnot a page\r\n");
        QVERIFY(html.contains(QStringLiteral("<body></body>")));
        QVERIFY(
            readPage("MIME-Version: 1.0\r\nContent-Type: image/png\r\n\r\nnot a page\r\n").parts.isEmpty());
        QVERIFY(!html.contains(QStringLiteral("not a page")));
        // Only a content type and no message headers at all.
        html = read("Content-Type: text/plain; charset=x-invalid\r\n\r\nbody text\r\n");
        QVERIFY(html.contains(QStringLiteral("body text")));
        // Text that is no MIME at all is shown as text.
        html = read("\n\nJust a note, no headers.\n");
        QVERIFY(html.contains(QStringLiteral("Just a note")));
    }

    // Written as mail goes out from old clients: the body's charset missing
    // or wrong. 会議の資料を送ります in Shift_JIS and in ISO-2022-JP.
    void bodiesInCharsetsNobodyDeclaredAreReadAsWritten()
    {
        const QString japanese = QStringLiteral("会議の資料を送ります");
        QString html =
            read("Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                 "\x89\xef\x8b"
                 "c\x82\xcc\x8e\x91\x97\xbf\x82\xf0\x91\x97\x82\xe8\x82\xdc\x82\xb7\r\n");
        QVERIFY2(html.contains(japanese), qPrintable(html));
        html = read(
            "Content-Type: text/html\r\n\r\n<html><body>\x1b$B2q5D$N;qNA$rAw$j$^$9\x1b(B</body></html>\r\n");
        QVERIFY2(html.contains(japanese), qPrintable(html));
    }

    void twoByteMessagesAreReadAsTheTextTheyHold()
    {
        const QString message =
            QStringLiteral("MIME-Version: 1.0\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
                           "<p>Gr\u00fc\u00dfe \u041f\u0440\u0438</p>\r\n");
        QByteArray little("\xFF\xFE");
        QByteArray big("\xFE\xFF");
        for (const QChar c : message) {
            little += char(c.unicode() & 0xff);
            little += char(c.unicode() >> 8);
            big += char(c.unicode() >> 8);
            big += char(c.unicode() & 0xff);
        }
        for (const QByteArray& bytes : {little, big}) {
            const QString html = read(bytes);
            QVERIFY2(html.contains(QStringLiteral("<p>Grüße При</p>")), qPrintable(html));
        }
    }

    void unreadableInputGivesAClearError()
    {
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, read(QByteArray("\x00\x01\x02\xff\xfe garbage", 13)));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 ReadMhtmlPage(m_dir.path() + QStringLiteral("/absent.mht")));
        // A broken boundary still shows what can be read.
        const QString html = read("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=X\r\n\r\n"
                                  "--X\r\nContent-Type: text/plain\r\n\r\ntruncated body");
        QVERIFY(html.contains(QStringLiteral("truncated body")));
    }

    // The office host reads a page with a large attachment holding it once:
    // the parts the page does not show stay where they are in it.
    void largeAttachmentsAreNotCopied()
    {
        const QByteArray message =
            MessageWithLargeAttachment("From: a@example.com\r\nMIME-Version: 1.0\r\n", 50 * 1024 * 1024);
        const QString path = m_dir.path() + QStringLiteral("/large.mht");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(message) == message.size());
        file.close();
        MailPage page;
        const std::optional<qint64> growth = PeakMemory::growthWhile([&] { page = ReadMhtmlPage(path); });
        QVERIFY(QString::fromUtf8(page.html).contains(QStringLiteral("See attached.")));
        if (!growth)
            QSKIP("no peak of the memory held is kept here");
        QVERIFY2(
            *growth < message.size() * 3 / 2,
            qPrintable(
                QStringLiteral("%1 MB more for a %2 MB page").arg(*growth >> 20).arg(message.size() >> 20)));
    }
};

QTEST_GUILESS_MAIN(TestMhtmlReader)
#include "test_mhtmlreader.moc"
