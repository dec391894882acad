#include "mhtmlreader.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

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

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Every src/href/background value and CSS url() left in the HTML.
QStringList references(const QString& html)
{
    QStringList out;
    static const QRegularExpression attribute(
        QStringLiteral("\\b(?:src|href|background|srcset|lowsrc|poster|data|action)\\s*=\\s*\"([^\"]*)\""),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression url(QStringLiteral("url\\(\\s*\"?([^\")]*)"),
                                        QRegularExpression::CaseInsensitiveOption);
    for (const auto* pattern : {&attribute, &url}) {
        auto it = pattern->globalMatch(html);
        while (it.hasNext())
            out << it.next().captured(1);
    }
    return out;
}

// The value a property ends up with in the style of the cell holding `text`,
// the last declaration winning as in CSS; empty when the cell declares none.
QString cellProperty(const QString& html, const QString& text, const QString& property)
{
    const QRegularExpression cell(QStringLiteral("<t[dh]\\b([^>]*)>") + QRegularExpression::escape(text) +
                                  u'<');
    const QString attributes = cell.match(html).captured(1);
    const QRegularExpression style(QStringLiteral("style=\"([^\"]*)\""));
    QString value;
    for (const QString& declaration : style.match(attributes).captured(1).split(u';')) {
        const qsizetype colon = declaration.indexOf(u':');
        if (colon > 0 && declaration.left(colon).trimmed() == property)
            value = declaration.mid(colon + 1).trimmed();
    }
    return value;
}

} // namespace

class TestMhtmlReader : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_count = 0;

    // Writes a message and reads it; returns the page's HTML and its folder.
    QString read(const QByteArray& message, QString* folderOut = nullptr)
    {
        const QString folder = m_dir.path() + QStringLiteral("/page%1").arg(++m_count);
        QDir().mkpath(folder);
        const QString mht = folder + QStringLiteral(".mht");
        QFile file(mht);
        file.open(QIODevice::WriteOnly);
        file.write(message);
        file.close();
        if (folderOut)
            *folderOut = folder;
        return readAll(ReadMhtmlPage(mht, folder, PageGeometry::a4()));
    }

private slots:
    void remoteReferencesAreRemovedAndLocalOnesRewritten()
    {
        const QHash<QString, QString> local{
            {QStringLiteral("cid:logo@x"), QStringLiteral("part-1.png")},
            {QStringLiteral("http://example.com/known.png"), QStringLiteral("part-2.png")}};
        const QString html = IsolateHtml(
            QStringLiteral(
                "<html><head><link rel=stylesheet href=\"http://evil.example/a.css\"><base "
                "href=\"http://evil.example/\">"
                "<meta http-equiv=refresh content=\"0;url=http://evil.example/\">"
                "<style><!-- @import url(http://evil.example/b.css); body { background: "
                "url('https://evil.example/bg.png') }"
                " .x { background-image: url(cid:logo@x) } --></style>"
                "<script>fetch('http://evil.example/')</script></head>"
                "<body background=\"http://evil.example/tile.gif\" onload=\"go()\">"
                "<img src=\"cid:logo@x\"><img src='CID:LOGO@X'><img src=\"http://example.com/known.png\">"
                "<img src=\"http://evil.example/track.gif\" srcset=\"http://evil.example/2x.gif 2x\">"
                "<img src=//evil.example/noscheme.gif><img src=\"ftp://evil.example/f.gif\"><img "
                "src=\"file:///etc/passwd\">"
                "<img src=\"cid:missing@x\"><img src=\"data:image/png;base64,AAAA\">"
                "<iframe src=\"http://evil.example/frame\"></iframe><object "
                "data=\"http://evil.example/o\"></object>"
                "<div style=\"background:url(&quot;http://evil.example/q.png&quot;)\">text</div>"
                "<a href=\"https://example.com/page\">a link is no fetch</a><SCRIPT src=x.js></SCRIPT>"
                "<table "
                "background=\"https://evil.example/t.png\"><tr><td>cell</td></tr></table></body></html>"),
            local);

        QStringList refs = references(html);
        refs.sort();
        QCOMPARE(refs, (QStringList{"data:image/png;base64,AAAA", "https://example.com/page", "part-1.png",
                                    "part-1.png", "part-1.png", "part-2.png"}));
        QVERIFY(!html.contains(QStringLiteral("evil"), Qt::CaseInsensitive));
        QVERIFY(!html.contains(QStringLiteral("script"), Qt::CaseInsensitive));
        QVERIFY(!html.contains(QStringLiteral("onload"), Qt::CaseInsensitive));
        QVERIFY(html.contains(QStringLiteral("charset=utf-8")));
        QVERIFY(html.contains(QStringLiteral("a link is no fetch")));
        QVERIFY(html.contains(QStringLiteral("cell")));
    }

    void cellsCarryTheTextPropertiesOfTheirRowAndTable()
    {
        // A newsletter's header strip: white on green, set on the row.
        const QString html = IsolateHtml(
            QStringLiteral(
                "<table style=\"color: #333333; font-family: Georgia\">"
                "<tr style=\"background: #2f7d4f; color: #ffffff; text-align: center; padding: 4px\">"
                "<th>Day</th><td style=\"color: red\">Own colour<table><tr><td>Nested</td></tr></table></td>"
                "<td bgcolor=\"#eeeeee\" align=\"right\">Own background</td></tr>"
                "<tr><td>Monday</td></tr>"
                "<tr bgcolor=\"ffcc00\"><td style=\"font-family: Verdana\">Legacy</td></tr>"
                "<tr style=\"background: url(data:image/png;base64,AAAA) no-repeat "
                "#123456\"><td>Data</td></tr>"
                "<tr bgcolor=\"red; background-image: url(x)\"><td>Injected</td></tr>"
                "</table><table><tr><td>Plain</td></tr></table>"),
            {});
        auto property = [&](const char* cell, const char* name) {
            return cellProperty(html, QLatin1String(cell), QLatin1String(name));
        };
        QCOMPARE(property("Day", "color"), QStringLiteral("#ffffff"));
        QCOMPARE(property("Day", "background-color"), QStringLiteral("#2f7d4f"));
        QCOMPARE(property("Day", "font-family"), QStringLiteral("Georgia"));
        QCOMPARE(property("Day", "text-align"), QStringLiteral("center"));
        QCOMPARE(property("Day", "padding"), QString()); // not inherited

        // What a cell sets itself, by style or attribute, wins.
        QCOMPARE(property("Own colour", "color"), QStringLiteral("red"));
        QCOMPARE(property("Own colour", "background-color"), QStringLiteral("#2f7d4f"));
        QCOMPARE(property("Own background", "background-color"), QString());
        QCOMPARE(property("Own background", "text-align"), QString());
        QCOMPARE(property("Own background", "color"), QStringLiteral("#ffffff"));
        QCOMPARE(property("Legacy", "font-family"), QStringLiteral("Verdana"));
        QCOMPARE(property("Legacy", "background-color"), QStringLiteral("#ffcc00"));

        // A nested table takes its cell's colour, not its font or background.
        QCOMPARE(property("Nested", "color"), QStringLiteral("red"));
        QCOMPARE(property("Nested", "font-family"), QString());
        QCOMPARE(property("Nested", "background-color"), QString());

        // A row passes on nothing beyond its end; a table beyond its own.
        QCOMPARE(property("Monday", "color"), QStringLiteral("#333333"));
        QCOMPARE(property("Monday", "background-color"), QString());
        QVERIFY2(html.contains(QStringLiteral("<td>Plain</td>")), qPrintable(html));

        // The colour is found in a shorthand whose image holds a ';', and a
        // bgcolor that is no colour brings nothing into a style.
        QCOMPARE(property("Data", "background-color"), QStringLiteral("#123456"));
        QCOMPARE(property("Injected", "background-image"), QString());
        QCOMPARE(property("Injected", "background-color"), QString());
    }

    void tablesAreKeptAtMostTwoDeepWithoutLosingText()
    {
        // A newsletter: a centring frame, the content table, a price table
        // inside it, and a badge table inside that.
        const QString out = SimplifyTables(QStringLiteral(
            "<table width=\"100%\"><tr><td align=\"center\" bgcolor=\"#eee\">"
            "<table width=\"600\"><tr><td>Header</td></tr><tr><td>Intro text"
            "<table><tr><td>Monday</td><td>Bun<table><tr><td>new</td><td>!</td></tr></table></td></tr>"
            "<tr><td>Tuesday</td><td>Rye</td></tr></table></td></tr></table></td></tr></table>"));
        QVERIFY2(
            out.startsWith(QStringLiteral("<div style=\"text-align: center; background-color: #eee; \">")),
            qPrintable(out));
        // Frame and content table are one column wide: blocks. The price
        // table is kept, the badge inside it too (two deep).
        QCOMPARE(out.count(QStringLiteral("<table")), 2);
        QCOMPARE(out.count(QStringLiteral("</table")), 2);
        QVERIFY(out.contains(QStringLiteral("<div style=\"text-align: left; \">Header</div>")));
        for (const char* word : {"Header", "Intro text", "Monday", "Bun", "new", "Tuesday", "Rye"})
            QVERIFY(out.contains(QLatin1String(word)));

        const QString three = SimplifyTables(QStringLiteral(
            "<table><tr><td>1</td><td><table><tr><td>2</td><td>"
            "<table><tr><td>new</td><td>!</td></tr></table></td></tr></table></td></tr></table>"));
        QVERIFY2(three.contains(QStringLiteral("<span>new</span> <span>!</span><br>")), qPrintable(three));

        QString deep;
        for (int i = 0; i < 10000; ++i)
            deep += QStringLiteral("<table><tr><td>a</td><td>");
        deep += QStringLiteral("deep text");
        for (int i = 0; i < 10000; ++i)
            deep += QStringLiteral("</td></tr></table>");
        const QString flat = SimplifyTables(deep);
        QVERIFY(flat.contains(QStringLiteral("deep text")));
        QCOMPARE(flat.count(QStringLiteral("<table")), 2);
        QCOMPARE(flat.count(QStringLiteral("</table")), 2);
        // Stray closing tags do not unbalance what follows.
        QCOMPARE(SimplifyTables(QStringLiteral("</table></td><p>x</p>")), QStringLiteral("</td><p>x</p>"));
    }

    void wideTablesAndImagesAreScaledToTheTextWidth()
    {
        const QString out = FitHtmlToWidth(
            QStringLiteral(
                "<table width=\"1000\"><tr><td width=\"600\">a</td><td width=400 nowrap>b</td></tr></table>"
                "<table width=\"300\"><tr><td>small</td></tr></table>"
                "<div style=\"width: 900px; white-space: nowrap\">c</div>"
                "<img src=\"part-1.png\"><img src=\"x.png\" width=\"1200\" height=\"300\">"),
            500, {{QStringLiteral("part-1.png"), QSize(2000, 100)}});
        // The widest box (1000) sets one factor for all, so columns keep their
        // proportions; each image is then held to the text width.
        QVERIFY2(out.contains(QStringLiteral("<table width=\"500\">")), qPrintable(out));
        QVERIFY(out.contains(QStringLiteral("<td width=\"300\">")));
        QVERIFY(out.contains(QStringLiteral("<td width=\"200\">")));
        QVERIFY(out.contains(QStringLiteral("<table width=\"150\">")));
        QVERIFY(out.contains(QStringLiteral("width: 450px")));
        QVERIFY(!out.contains(QStringLiteral("nowrap")));
        QVERIFY(out.contains(QStringLiteral("<img src=\"part-1.png\" width=\"500\" height=\"25\">")));
        QVERIFY(out.contains(QStringLiteral("<img src=\"x.png\" width=\"500\" height=\"125\">")));

        const QString narrow =
            QStringLiteral("<table width=\"400\"><tr><td width=\"200\">a</td></tr></table>");
        QCOMPARE(FitHtmlToWidth(narrow, 500, {}), narrow);
    }

    void textIsDecodedByDeclaredThenMetaThenUtf8ThenWindows1252()
    {
        QCOMPARE(DecodeText(QByteArray("Pchn\xb1\xe6"), QStringLiteral("iso-8859-2"), false),
                 QStringLiteral("Pchnąć"));
        QCOMPARE(DecodeText(QByteArray("<meta charset=\"koi8-r\">\xf0\xd2\xc9"), {}, true).right(3),
                 QStringLiteral("При"));
        QCOMPARE(DecodeText(QByteArray("na\xc3\xafve"), {}, false), QStringLiteral("naïve"));
        QCOMPARE(DecodeText(QByteArray("caf\xe9 \x80"), {}, false), QStringLiteral("café €"));
        // A wrong declaration must not lose the text.
        QCOMPARE(DecodeText(QByteArray("caf\xc3\xa9"), QStringLiteral("no-such-charset"), false),
                 QStringLiteral("café"));
    }

    void plainTextIsEscapedInAWrappingMonospaceBlock()
    {
        const QString html = PlainTextToHtml(QStringLiteral("a <b> & c\n  indented"));
        QVERIFY(html.contains(QStringLiteral("a &lt;b&gt; &amp; c\n  indented")));
        QVERIFY(html.contains(QStringLiteral("white-space: pre-wrap")));
        QVERIFY(html.contains(QStringLiteral("monospace")));
    }

    void relatedPageShowsItsStartPartWithImagesWrittenBeside()
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
            "<html><body><p>Caf=E9</p><img src=3D\"cid:img1@x\"><img src=3D\"cid:gone@x\"></body></html>\r\n"
            "--R--\r\n";
        QString folder;
        const QString html = read(message, &folder);
        QVERIFY(html.contains(QStringLiteral("Café")));
        const QStringList refs = references(html);
        QCOMPARE(refs, QStringList{QStringLiteral("part-1.png")});
        QFile image(folder + QStringLiteral("/part-1.png"));
        QVERIFY(image.open(QIODevice::ReadOnly));
        QCOMPARE(image.readAll(), png);
        QVERIFY(html.contains(QStringLiteral("@page { size: 21cm 29.7cm")));
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
        QVERIFY(!html.contains(QStringLiteral("not a page")));
        // Only a content type and no message headers at all.
        html = read("Content-Type: text/plain; charset=x-invalid\r\n\r\nbody text\r\n");
        QVERIFY(html.contains(QStringLiteral("body text")));
        // Text that is no MIME at all is shown as text.
        html = read("\n\nJust a note, no headers.\n");
        QVERIFY(html.contains(QStringLiteral("Just a note")));
    }

    void unreadableInputGivesAClearError()
    {
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, read(QByteArray("\x00\x01\x02\xff\xfe garbage", 15)));
        QVERIFY_THROWS_EXCEPTION(
            std::runtime_error,
            ReadMhtmlPage(m_dir.path() + QStringLiteral("/absent.mht"), m_dir.path(), PageGeometry::a4()));
        // A broken boundary still shows what can be read.
        const QString html = read("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=X\r\n\r\n"
                                  "--X\r\nContent-Type: text/plain\r\n\r\ntruncated body");
        QVERIFY(html.contains(QStringLiteral("truncated body")));
    }

    void paperFollowsTheLocale()
    {
        qputenv("LC_ALL", "en_US.UTF-8");
        QCOMPARE(PageGeometry::forLocale().cssSize, PageGeometry::letter().cssSize);
        qputenv("LC_ALL", "de_DE.UTF-8");
        QCOMPARE(PageGeometry::forLocale().cssSize, PageGeometry::a4().cssSize);
        qputenv("LC_ALL", "C.UTF-8");
        QCOMPARE(PageGeometry::forLocale().cssSize, PageGeometry::a4().cssSize);
    }
};

QTEST_GUILESS_MAIN(TestMhtmlReader)
#include "test_mhtmlreader.moc"
