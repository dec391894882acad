// GLib's headers use "signals" as a name, which Qt defines as a keyword.
#include <gmime/gmime.h>

#include "messagepage.h"
#include "mhtmlreader.h"
#include "paths.h"
#include "peakmemory.h"
#include "scripteddialogs.h"
#include "stepguard.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

HeaderLines scan(const QString& text)
{
    return ScanHeaderLines(CutLines(text));
}

// The block for a message; blanks before its first field are no part of it.
QString blockOf(const QByteArray& message)
{
    qsizetype skip = 0;
    while (skip < message.size() && QByteArrayView(" \t\r\n").contains(message[skip]))
        ++skip;
    return BuildHeaderBlock(scan(QString::fromLatin1(message.mid(skip))));
}

// The HTML the office host lays out for a page, or empty when it refuses it.
QString hostView(const QString& pagePath)
{
    try {
        return QString::fromUtf8(ReadMhtmlPage(pagePath).html);
    } catch (const std::exception&) {
        return {};
    }
}

struct Unref {
    void operator()(gpointer p) const
    {
        if (p)
            g_object_unref(p);
    }
};

struct DecodedPart {
    QByteArray type;
    QByteArray content;
};

void collectParts(GMimeObject* object, QList<DecodedPart>& parts)
{
    if (GMIME_IS_MESSAGE_PART(object)) {
        if (GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object)))
            if (GMimeObject* top = g_mime_message_get_mime_part(inner))
                collectParts(top, parts);
        return;
    }
    if (GMIME_IS_MULTIPART(object)) {
        for (int i = 0; i < g_mime_multipart_get_count(GMIME_MULTIPART(object)); ++i)
            collectParts(g_mime_multipart_get_part(GMIME_MULTIPART(object), i), parts);
        return;
    }
    if (!GMIME_IS_PART(object))
        return;
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(object));
    if (!content)
        return;
    std::unique_ptr<GMimeStream, Unref> out(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, out.get());
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
    char* type = g_mime_content_type_get_mime_type(g_mime_object_get_content_type(object));
    parts.append(
        {QByteArray(type).toLower(), QByteArray(reinterpret_cast<const char*>(array->data), array->len)});
    g_free(type);
}

// Every leaf part of a message, forwarded messages included, transfer-decoded.
QList<DecodedPart> decodedParts(const QByteArray& message)
{
    QList<DecodedPart> parts;
    std::unique_ptr<GMimeStream, Unref> stream(
        g_mime_stream_mem_new_with_buffer(message.constData(), message.size()));
    std::unique_ptr<GMimeParser, Unref> parser(g_mime_parser_new_with_stream(stream.get()));
    std::unique_ptr<GMimeMessage, Unref> parsed(g_mime_parser_construct_message(parser.get(), nullptr));
    if (parsed && g_mime_message_get_mime_part(parsed.get()))
        collectParts(g_mime_message_get_mime_part(parsed.get()), parts);
    return parts;
}

bool somePartHolds(const QByteArray& message, const QString& block)
{
    const QByteArray needle = block.toLatin1();
    for (const DecodedPart& part : decodedParts(message))
        if (part.content.contains(needle))
            return true;
    return false;
}

const QByteArray kHeaders = "From: Ann <ann>\r\n"
                            "To: Bob <bob>\r\n"
                            "Subject: Test\r\n"
                            "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\n";
// The block of kHeaders as the page holds it.
const QString kExampleBlock = HeaderBlockElement(QStringLiteral(
    "From: Ann [ann]<br>To: Bob [bob]<br>Subject: Test<br>Date: Mon, 1 Jan 2024 10:00:00 +0000<br><br>"));

} // namespace

class TestMessagePage : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ScriptedDialogs m_dialogs;

    // Prepares the message as a work file and returns that file's path.
    QString pageOf(const QByteArray& message, const QString& name = QStringLiteral("work.mht"))
    {
        const QString path = m_dir.path() + u'/' + name;
        writeBytes(path, message);
        PrepareMessagePage(path, m_dialogs);
        return path;
    }

    // Writes the message as a work file, prepares it and returns the page.
    QByteArray prepared(const QByteArray& message, const QString& name = QStringLiteral("work.mht"))
    {
        const QString path = m_dir.path() + u'/' + name;
        writeBytes(path, message);
        PrepareMessagePage(path, m_dialogs);
        return bytesOf(path);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        g_mime_init();
    }
    void cleanup() { QVERIFY2(m_dialogs.shown.isEmpty(), qPrintable(m_dialogs.messages().join(u'\n'))); }

    void workedExample()
    {
        const QByteArray message = kHeaders + "MIME-Version: 1.0\r\nContent-Type: text/html\r\n\r\n"
                                              "<html><body style=\"margin:0\">Hello</body></html>\r\n";
        const QByteArray page = prepared(message);
        const qsizetype at = message.indexOf("Hello");
        QCOMPARE(page, message.left(at) + kExampleBlock.toLatin1() + message.mid(at));
    }

    void whichLinesTheScanTakes()
    {
        // A later line replaces an earlier one until all four are known; then the scan stops.
        const HeaderLines values =
            scan(QStringLiteral("Subject: old\r\nReply-To: r <r>\r\nfrom: lower\r\n"
                                " From: indented\r\nSubject: new\r\nFrom: f\r\nTo: t\r\n"
                                "Date: d\r\n\r\nSubject: body\r\nFrom: body\r\n"));
        QCOMPARE(values.subjectLine, QStringLiteral("Subject: new"));
        QCOMPARE(values.fromLine, QStringLiteral("From: f"));
        QCOMPARE(values.toLine, QStringLiteral("To: t"));
        QCOMPARE(values.dateLine, QStringLiteral("Date: d"));

        // Without a To line the scan still ends with the header: the body's
        // lines are quoted or forwarded mail, never this message's own.
        const HeaderLines noTo = scan(QStringLiteral(
            "From: a\r\nSubject: s\r\nDate: d\r\n\r\n> From: quoted\r\nFrom: forwarded\r\nTo: someone\r\n"));
        QCOMPARE(noTo.fromLine, QStringLiteral("From: a"));
        QCOMPARE(noTo.toLine, QString());
        QCOMPARE(BuildHeaderBlock(noTo), QStringLiteral("From: a<br><br>Subject: s<br>Date: d<br><br>"));
        QVERIFY(scan(QString()).fromLine.isEmpty());
        QCOMPARE(scan(QStringLiteral("\r\nFrom: after an empty first line\r\n")).fromLine, QString());
    }

    // A list digest without To or Date: the forwarded message's header and
    // the parts' headers below must not fill the gaps or replace the sender.
    void blockShowsOnlyTheMessagesOwnHeader()
    {
        const QByteArray message = "From: List <list@x.example>\r\nSubject: Digest 12\r\n"
                                   "Content-Type: multipart/mixed; boundary=d\r\n\r\n"
                                   "--d\r\nContent-Type: text/plain\r\nSubject: part heading\r\n\r\n"
                                   "From: quoted <q@x.example>\r\n"
                                   "--d\r\nContent-Type: message/rfc822\r\n\r\n"
                                   "From: Inner <i@x.example>\r\nTo: Reader <r@x.example>\r\n"
                                   "Date: Tue, 2 Jan 2024 09:00:00 +0000\r\nSubject: inner\r\n\r\nhello\r\n"
                                   "--d--\r\n";
        const QString own =
            QStringLiteral("From: List [list@x.example]<br><br>Subject: Digest 12<br><br><br>");
        QCOMPARE(blockOf(message), own);
        QVERIFY(hostView(pageOf(message)).contains(own));

        const QString nested =
            QStringLiteral(QM_CORPUS_DIR "/../eml-extra/james-mime4j/mimetools_multi-nested.eml");
        if (!QFile::exists(nested))
            QSKIP("the message corpus is not on this machine");
        const QString block = blockOf(bytesOf(nested));
        QVERIFY2(block.startsWith(QStringLiteral("From: Lord John Whorfin [whorfin@yoyodyne.com]<br>")),
                 qPrintable(block));
        QVERIFY2(
            block.contains(QStringLiteral("<br>Subject: A complex nested multipart example<br><br><br>")),
            qPrintable(block));
    }

    void blockGoesAfterTheFirstBodyTagInAnyCase()
    {
        const QByteArray message =
            kHeaders +
            "Content-Type: text/html\r\n\r\n<HTML><BODY BGCOLOR=white>One</BODY>\r\n<body>Two</body>";
        const QByteArray page = prepared(message);
        const qsizetype at = message.indexOf("One");
        QCOMPARE(page, message.left(at) + kExampleBlock.toLatin1() + message.mid(at));
        QCOMPARE(FindBodyTagEnd(u"<bodyx>"), 7);
        QCOMPARE(FindBodyTagEnd(u"no tag"), -1);
    }

    void eachMessageStartsAfresh()
    {
        prepared(kHeaders + "Content-Type: text/html\r\n\r\n<body>first</body>", QStringLiteral("one.mht"));
        const QByteArray second =
            prepared("From: Cy <cy>\r\nTo: Di\r\nSubject: Second\r\nContent-Type: text/html\r\n\r\n"
                     "<body>x</body>",
                     QStringLiteral("two.mht"));
        QVERIFY(second.contains(
            HeaderBlockElement(QStringLiteral("From: Cy [cy]<br>To: Di<br>Subject: Second<br><br><br>"))
                .toLatin1() +
            "x"));
        QVERIFY(!second.contains("Ann"));
    }

    // The file ends lines with LF alone; taken as one line, the From value
    // would be the whole file.
    void linesEndAtABareLineFeed()
    {
        const QByteArray message =
            QByteArray(kHeaders).replace("\r\n", "\n") + "Content-Type: text/html\n\n<body>Hi</body>\n";
        const QByteArray page = prepared(message);
        const qsizetype at = message.indexOf("Hi");
        QCOMPARE(page, message.left(at) + kExampleBlock.toLatin1() + message.mid(at));
        // A CR on its own stays inside its line.
        QCOMPARE(CutLines(u"a\rb\r\nc\n").size(), 3);
        QCOMPARE(CutLines(u"a\rb\r\nc\n").front(), QStringView(u"a\rb"));
    }

    void foldedLinesAreJoined()
    {
        const HeaderLines values =
            scan(QStringLiteral("To: Ann <ann@x.example>,\r\n\tBob <bob@x.example>,\r\n"
                                " Cy <cy@x.example>\r\nFrom: f\r\nSubject: s\r\nDate: d\r\n"));
        QCOMPARE(values.toLine,
                 QStringLiteral("To: Ann <ann@x.example>,\tBob <bob@x.example>, Cy <cy@x.example>"));
        QVERIFY(BuildHeaderBlock(values).contains(QStringLiteral("Cy [cy@x.example]")));
    }

    // Mail writes field names in any case and the colon with or without a
    // blank; the block shows its own labels all the same.
    void fieldsInAnyCaseAndSpacing()
    {
        const QString header = QStringLiteral("DATE:Mon, 06 May 2024 10:00:00 +0000\r\nfrom:Ann <ann>\r\n"
                                              "tO:\t Bob <bob>\r\nSUBJECT :  Hello\r\n"
                                              "cc:\r\n Cy <cy>\r\nX-Note:Date: not mine\r\n\r\n");
        const HeaderLines values = scan(header);
        QCOMPARE(values.dateLine, QStringLiteral("Date: Mon, 06 May 2024 10:00:00 +0000"));
        QCOMPARE(values.fromLine, QStringLiteral("From: Ann <ann>"));
        QCOMPARE(values.toLine, QStringLiteral("To: Bob <bob>"));
        QCOMPARE(values.subjectLine, QStringLiteral("Subject: Hello"));
        QCOMPARE(ScanCcLine(CutLines(header)), QStringLiteral("Cc: Cy <cy>"));
        QCOMPARE(BuildHeaderBlock(values),
                 QStringLiteral("From: Ann [ann]<br>To: Bob [bob]<br>Subject: Hello<br>"
                                "Date: Mon, 06 May 2024 10:00:00 +0000<br><br>"));

        // Neither a name with a blank inside nor an indented line opens a field.
        const HeaderLines others =
            scan(QStringLiteral("Re Date: x\r\nX-A: a\r\n Date: folded\r\nFrom: f\r\n"));
        QCOMPARE(others.dateLine, QString());
        QCOMPARE(others.fromLine, QStringLiteral("From: f"));
    }

    void encodedWordsAndRawBytesAreDecoded_data()
    {
        QTest::addColumn<QByteArray>("subject");
        QTest::addColumn<QString>("shown");
        QTest::newRow("base64 utf-8")
            << QByteArray("=?utf-8?B?0J/RgNC40LLQtdGC?=") << "&#1055;&#1088;&#1080;&#1074;&#1077;&#1090;";
        QTest::newRow("q latin-1") << QByteArray("=?iso-8859-1?Q?Caf=E9_au_lait?=") << "Caf&#233; au lait";
        QTest::newRow("two words") << QByteArray("=?utf-8?Q?a?= =?utf-8?Q?b?= c") << "ab c";
        QTest::newRow("raw blank inside a word")
            << QByteArray("=?iso-8859-1?Q?Test E-Mail?=") << "Test E-Mail";
        QTest::newRow("raw utf-8") << QByteArray("Caf\xC3\xA9") << "Caf&#233;";
        QTest::newRow("raw windows-1252")
            << QByteArray("\x93quoted\x94 \x80 caf\xE9") << "&#8220;quoted&#8221; &#8364; caf&#233;";
        QTest::newRow("emoji") << QByteArray("=?UTF-8?B?8J+Ygw==?=") << "&#128515;";
        QTest::newRow("not an encoded word") << QByteArray("2+2=4") << "2+2&#61;4";
        // A folded subject whose first base64 word ends in padding: every word counts.
        QTest::newRow("padded word, folded")
            << QByteArray("=?utf-8?b?0J/RgNC4INCy?=\r\n =?utf-8?b?0YvRgQ==?=")
            << "&#1055;&#1088;&#1080; &#1074;&#1099;&#1089;";
        // A character whose bytes are split across two words.
        QTest::newRow("split character") << QByteArray("=?utf-8?B?w6k=?=") << "&#233;";
        QTest::newRow("split across words")
            << QByteArray("=?utf-8?Q?caf=C3?= =?utf-8?Q?=A9?=") << "caf&#233;";
        QTest::newRow("text around words")
            << QByteArray("Re: =?iso-8859-1?Q?caf=E9?= now") << "Re: caf&#233; now";
        // Raw words in a charset nobody declared; 会議 in ISO-2022-JP, and
        // Привет, как дела? in KOI8-R.
        QTest::newRow("raw iso-2022-jp") << QByteArray("\x1b$B2q5D\x1b(B 5/6") << "&#20250;&#35696; 5/6";
        QTest::newRow("raw koi8-r") << QByteArray("\xf0\xd2\xc9\xd7\xc5\xd4, \xcb\xc1\xcb \xc4\xc5\xcc\xc1?")
                                    << "&#1055;&#1088;&#1080;&#1074;&#1077;&#1090;, &#1082;&#1072;&#1082; "
                                       "&#1076;&#1077;&#1083;&#1072;?";
    }
    void encodedWordsAndRawBytesAreDecoded()
    {
        QFETCH(QByteArray, subject);
        QFETCH(QString, shown);
        HeaderLines values;
        values.subjectLine = QStringLiteral("Subject: ") + QString::fromLatin1(subject);
        QCOMPARE(BuildHeaderBlock(values),
                 QStringLiteral("<br><br>Subject: ") + shown + QStringLiteral("<br><br><br>"));
    }

    void blockIsSafeHtml()
    {
        HeaderLines values;
        values.fromLine = QStringLiteral("From: \"A & B\" <a=b@x>");
        values.subjectLine = QStringLiteral("Subject: <script>alert(1)</script> a=3D\x01");
        const QString block = BuildHeaderBlock(values);
        QCOMPARE(block,
                 QStringLiteral("From: &quot;A &amp; B&quot; [a&#61;b@x]<br><br>Subject: &lt;script&gt;"
                                "alert(1)&lt;/script&gt; a&#61;3D <br><br><br>"));

        // Inserted raw into a quoted-printable part, the block decodes to itself.
        const QByteArray message = "From: A=B <ab@x>\r\nSubject: 50% =?utf-8?Q?caf=C3=A9?=\r\n"
                                   "Content-Type: text/html; charset=iso-8859-1\r\n"
                                   "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                                   "<body>caf=E9 =3D</body>\r\n";
        const QList<DecodedPart> parts = decodedParts(prepared(message));
        QCOMPARE(parts.size(), 1);
        QCOMPARE(parts[0].content,
                 "<body>" +
                     HeaderBlockElement(
                         QStringLiteral("From: A&#61;B [ab@x]<br><br>Subject: 50% caf&#233;<br><br><br>"))
                         .toLatin1() +
                     "caf\xE9 =</body>\r\n");
    }

    void plainTextMessageBecomesHtmlWithTheBlock()
    {
        const QByteArray message = kHeaders + "Content-Type: text/plain; charset=iso-8859-1\r\n"
                                              "Content-Transfer-Encoding: 8bit\r\n\r\n"
                                              "Dear Bob,\r\n  caf\xE9 <tag> & more\r\n";
        const QByteArray page = prepared(message);
        QVERIFY(page.startsWith(kHeaders)); // other header lines stay as they were
        QVERIFY(!page.contains("text/plain"));
        const QList<DecodedPart> parts = decodedParts(page);
        QCOMPARE(parts.size(), 1);
        QCOMPARE(parts[0].type, QByteArray("text/html"));
        const QByteArray html = parts[0].content;
        QVERIFY(html.contains("<body>" + kExampleBlock.toLatin1() +
                              "<pre style=\"white-space: pre-wrap; font-family: monospace\">"
                              "Dear Bob,\r\n  caf&#233; &lt;tag&gt; &amp; more\r\n</pre>"));

        // A message with no MIME headers at all is plain text too.
        const QByteArray bare = prepared("From: a\nSubject: plain\n\nline one\nline two\n");
        QVERIFY(bare.startsWith("From: a\nSubject: plain\n"));
        QVERIFY(somePartHolds(bare, QStringLiteral("From: a<br><br>Subject: plain<br><br><br>")));
    }

    void encodedHtmlPartGetsTheBlockAndNothingElseChanges()
    {
        const QByteArray html =
            QByteArray("<html><body class=\"m\">\xC3\xA9t\xC3\xA9</body></html>").toBase64();
        const QByteArray head = kHeaders +
                                "Content-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n"
                                "--b1\r\nContent-Type: text/plain\r\n\r\nplain <body text\r\n--b1\r\n";
        const QByteArray part =
            "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" + html +
            "\r\n";
        const QByteArray tail = "--b1--\r\nepilogue\r\n";
        const QByteArray page = prepared(head + part + tail);
        QVERIFY(page.startsWith(head));
        QVERIFY(page.endsWith(tail));
        const QList<DecodedPart> parts = decodedParts(page);
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts[0].content, QByteArray("plain <body text"));
        QCOMPARE(parts[1].content,
                 "<html><body class=\"m\">" + kExampleBlock.toLatin1() + "\xC3\xA9t\xC3\xA9</body></html>");
    }

    void rootOfRelatedAndPartsWithoutBodyTag()
    {
        // The root named by "start" is shown; its HTML has no body tag, so the block leads it.
        const QByteArray message = kHeaders +
                                   "Content-Type: multipart/related; boundary=r; start=\"<root@x>\"\r\n\r\n"
                                   "--r\r\nContent-Type: image/gif\r\nContent-ID: "
                                   "<img@x>\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                                   "R0lGODlhAQABAAAAACw=\r\n"
                                   "--r\r\nContent-Type: text/html\r\nContent-ID: <root@x>\r\n"
                                   "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                                   "<p>Hi =3D there</p>\r\n--r--\r\n";
        const QList<DecodedPart> parts = decodedParts(prepared(message));
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts[1].content, kExampleBlock.toLatin1() + "<p>Hi = there</p>");
    }

    void forwardedMessageShowsItsOwnPart()
    {
        const QByteArray head = kHeaders +
                                "Content-Type: multipart/mixed; boundary=m\r\n\r\n"
                                "--m\r\nContent-Type: text/plain\r\nContent-Disposition: attachment\r\n\r\n"
                                "notes.txt\r\n--m\r\nContent-Type: message/rfc822\r\n\r\n"
                                "From: Inner <i@x>\r\nSubject: inner\r\n";
        const QByteArray page = prepared(head + "\r\nforwarded text\r\n--m--\r\n");
        QVERIFY(page.startsWith(head));
        QVERIFY(page.endsWith("\r\n--m--\r\n"));
        const QList<DecodedPart> parts = decodedParts(page);
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts[0].content, QByteArray("notes.txt"));
        QCOMPARE(parts[1].type, QByteArray("text/html"));
        QVERIFY(parts[1].content.contains(kExampleBlock.toLatin1() +
                                          "<pre style=\"white-space: pre-wrap; font-family: monospace\">"
                                          "forwarded text</pre>"));
    }

    void attachmentsOnlyGetABlockPartInFront()
    {
        const QByteArray message =
            kHeaders + "Content-Type: multipart/mixed; boundary=m\r\n\r\n"
                       "--m\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment\r\n"
                       "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n--m--\r\n";
        const QByteArray page = prepared(message);
        const QList<DecodedPart> parts = decodedParts(page);
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts[0].type, QByteArray("text/html"));
        QVERIFY(parts[0].content.contains(kExampleBlock.toLatin1()));
        QCOMPARE(parts[1].content, QByteArray("%PDF-"));

        // A message that is nothing but an image becomes the block and the image.
        const QByteArray image = kHeaders + "MIME-Version: 1.0\r\nContent-Type: image/png; name=a.png\r\n"
                                            "Content-Transfer-Encoding: base64\r\n\r\niVBORw0K\r\n";
        const QByteArray wrapped = prepared(image);
        QVERIFY(wrapped.startsWith(kHeaders + "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;"));
        QVERIFY(wrapped.contains(
            "Content-Type: image/png; name=a.png\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            "iVBORw0K\r\n--"));
        const QList<DecodedPart> wrappedParts = decodedParts(wrapped);
        QCOMPARE(wrappedParts.size(), 2);
        QVERIFY(wrappedParts[0].content.contains(kExampleBlock.toLatin1()));
        QCOMPARE(wrappedParts[1].type, QByteArray("image/png"));
        QCOMPARE(wrappedParts[1].content, QByteArray("\x89PNG\r\n"));
    }

    // The first body tag is taken as it stands only where a reader shows it.
    void bodyTagOutsideTheShownPart()
    {
        // An HTML attachment after the text: the text part gets the block, the attachment stays.
        const QByteArray attachment =
            "--m\r\nContent-Type: text/html\r\nContent-Disposition: attachment\r\n\r\n"
            "<html><body>report</body></html>\r\n--m--\r\n";
        const QByteArray head = kHeaders + "Content-Type: multipart/mixed; boundary=m\r\n\r\n";
        const QByteArray page =
            prepared(head + "--m\r\nContent-Type: text/plain\r\n\r\nSee the report.\r\n" + attachment);
        QVERIFY(page.startsWith(head + "--m\r\n"));
        QVERIFY(page.endsWith(attachment));
        const QString shown = hostView(m_dir.path() + QStringLiteral("/work.mht"));
        QVERIFY(shown.contains(kExampleBlock + QStringLiteral("<pre")));
        QVERIFY(shown.contains(QStringLiteral("See the report.")));

        // HTML source quoted in plain text, and a message without a type, are text:
        // the block goes above the text and the tags show as written.
        for (const QByteArray& type : {QByteArray("Content-Type: text/plain\r\n"), QByteArray()}) {
            const QString view = hostView(pageOf(kHeaders + type + "\r\nUse <body> here.\r\n"));
            QVERIFY2(view.contains(kExampleBlock + QStringLiteral("<pre")), qPrintable(view));
            QVERIFY(view.contains(QStringLiteral("Use &lt;body&gt; here.")));
        }
    }

    // Messages whose structure a parser cannot follow still show the block,
    // and all of their text.
    void brokenStructureStillShowsTheBlock_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("text");
        const QByteArray multipart = "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                                     "--b\r\nContent-Type: text/plain\r\n\r\nHello there\r\n--b--\r\n";
        // Saved messages that open with a line of blanks, or a blank before the first field.
        QTest::newRow("blank line first")
            << QByteArray(300, ' ') + "\n" + kHeaders + multipart << "Hello there";
        QTest::newRow("blank before first field") << " " + kHeaders + multipart << "Hello there";
        QTest::newRow("blank lines first") << "\r\n\r\n" + kHeaders + multipart << "Hello there";
        QTest::newRow("multipart without boundary")
            << kHeaders + "Content-Type: multipart/report;\r\n\r\nNo parts & no boundary\r\n"
            << "No parts &amp; no boundary";
        QTest::newRow("boundary never used")
            << kHeaders + "Content-Type: multipart/mixed; boundary=x\r\n\r\n--y\r\n\r\nLost part\r\n--x--\r\n"
            << "Lost part";
        QTest::newRow("folded type without semicolon")
            << kHeaders + "Content-Type: multipart/mixed\r\n\tboundary=\"b\"\r\n\r\n--b\r\n"
                          "Content-Type: image/png\r\n\r\nAAAA\r\n--b--\r\n"
            << "Content-Type: image/png";
        QTest::newRow("headers only") << kHeaders + "Content-Type: multipart/mixed; boundary=b"
                                      << "<pre";
        QTest::newRow("no MIME at all") << "Some words first\r\n" + kHeaders + "\r\nbody text\r\n"
                                        << "Some words first";
    }
    void brokenStructureStillShowsTheBlock()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, text);
        const QString path = pageOf(message);
        const QByteArray page = bytesOf(path);
        const QString view = hostView(path);
        QVERIFY2(view.contains(kExampleBlock), qPrintable(view));
        QVERIFY2(view.contains(text), qPrintable(view));
        if (!QByteArrayView(message).startsWith("Some")) {
            // Everything before the first field and the fields but type and encoding stay.
            const qsizetype first = message.indexOf("From:");
            QVERIFY(page.startsWith(message.left(first) + kHeaders));
        }
    }

    // Zero bytes among the header lines: binary data that merely holds a
    // "From: " line reaches the office host unchanged, for it to refuse.
    void binaryDataStaysAsItIs()
    {
        const QByteArray binary = QByteArray("PK\x03\x04\0\0\x01", 7) + "\nFrom: Ann <ann>\n\n" +
                                  QByteArray("\0\x01\x02\x03", 4).repeated(64);
        const QString path = pageOf(binary);
        QCOMPARE(bytesOf(path), binary);
        QCOMPARE(hostView(path), QString());
    }

    // One zero byte near the start of a good message: the reader shows it
    // with its block and body like any other. Ending the last field, it would
    // take the blank line into that field, and the HTML would show as text.
    void aLoneZeroByteIsNoBinaryData_data()
    {
        QTest::addColumn<QByteArray>("message");
        const QByteArray html = "<html><body><b>The figures</b> are attached.</body></html>\r\n";
        const QByteArray type = "Content-Type: text/html\r\n\r\n";
        QTest::newRow("first byte") << QByteArray(1, '\0') + kHeaders + type + html;
        QTest::newRow("ending the type")
            << kHeaders + QByteArray(type).insert(type.indexOf('\r'), '\0') + html;
        QTest::newRow("ending the subject")
            << QByteArray(kHeaders).insert(kHeaders.indexOf("Test") + 4, '\0') + type + html;
        QTest::newRow("start of the body") << kHeaders + type + '\0' + html;
    }
    void aLoneZeroByteIsNoBinaryData()
    {
        QFETCH(QByteArray, message);
        QVERIFY(!LooksBinary(message));
        const QString view = hostView(pageOf(message));
        QVERIFY2(view.contains(QStringLiteral("<b>The figures</b> are attached.")), qPrintable(view));
        QVERIFY2(view.contains(kExampleBlock.left(kExampleBlock.indexOf(QStringLiteral("Test")) + 4)),
                 qPrintable(view));
    }

    void badInput()
    {
        // A missing work file is written back empty; an empty one is read as
        // "empty file", shown as text like any text without MIME structure.
        const QString missing = m_dir.path() + QStringLiteral("/missing.mht");
        PrepareMessagePage(missing, m_dialogs);
        QVERIFY(PathExists(missing));
        QCOMPARE(bytesOf(missing), QByteArray());
        const QString emptyBlock = HeaderBlockElement(BuildHeaderBlock(HeaderLines()));
        const QString emptyPage = hostView(pageOf({}));
        QVERIFY2(emptyPage.contains(emptyBlock + QStringLiteral("<pre")), qPrintable(emptyPage));
        QVERIFY(emptyPage.contains(QStringLiteral("empty file</pre>")));
        QVERIFY(somePartHolds(prepared("Hello,\r\nno headers <here>.\r\n"),
                              emptyBlock + QStringLiteral("<pre style=\"white-space: pre-wrap; font-family: "
                                                          "monospace\">Hello,\r\nno headers &lt;here&gt;.")));

        // Binary garbage reaches the office host as it is, to be refused there.
        QByteArray garbage(64 * 1024, Qt::Uninitialized);
        QRandomGenerator random(7);
        for (char& c : garbage)
            c = char(random.bounded(256));
        garbage[0] = '\x01';
        QCOMPARE(prepared(garbage), garbage);

        // A body tag without its '>' is no usable tag: the shown part gets the block.
        const QByteArray open = kHeaders + "Content-Type: text/html\r\n\r\n<p>x</p><body";
        QVERIFY(somePartHolds(prepared(open), kExampleBlock));
        // Data that merely starts FF or FE is no two-byte text and is never
        // cut into MIME bytes: four-byte text, a picture.
        const QByteArray utf32("\xFF\xFE\0\0H\0\0\0i\0\0\0", 12);
        QCOMPARE(prepared(utf32), utf32);
        const QByteArray jpeg("\xFF\xD8\xFF\xE0\0\x10JFIF\0\x01", 12);
        QCOMPARE(prepared(jpeg), jpeg);
    }

    // Messages saved as two-byte text, in either byte order, show their block
    // and their text like any other message.
    void twoByteMessagesGetTheBlock_data()
    {
        QTest::addColumn<bool>("lowByteFirst");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("plain, low byte first") << true << QByteArray("Content-Type: text/plain\r\n\r\n");
        QTest::newRow("plain, high byte first") << false << QByteArray("Content-Type: text/plain\r\n\r\n");
        QTest::newRow("html") << true << QByteArray("Content-Type: text/html\r\n\r\n<html><body>");
    }
    void twoByteMessagesGetTheBlock()
    {
        QFETCH(bool, lowByteFirst);
        QFETCH(QByteArray, content);
        const QString umlauts = QStringLiteral(u"Gr\u00FC\u00DFe aus K\u00F6ln");
        const QString text = QString::fromLatin1(kHeaders).replace(
                                 QStringLiteral("Test"), QStringLiteral(u"Test \u041F\u0440\u0438")) +
                             QString::fromLatin1(content) + umlauts + QStringLiteral("\r\n");
        QByteArray bytes(lowByteFirst ? "\xFF\xFE" : "\xFE\xFF");
        for (const QChar c : text) {
            const char low = char(c.unicode() & 0xFF);
            const char high = char(c.unicode() >> 8);
            bytes.append(lowByteFirst ? low : high).append(lowByteFirst ? high : low);
        }
        const QString path = pageOf(bytes);
        QVERIFY(!bytesOf(path).startsWith("\xFF") && !bytesOf(path).startsWith("\xFE"));
        const QString view = hostView(path);
        QVERIFY2(view.contains(QString(kExampleBlock)
                                   .replace(QStringLiteral("Subject: Test"),
                                            QStringLiteral("Subject: Test &#1055;&#1088;&#1080;"))),
                 qPrintable(view.left(2000)));
        QVERIFY2(view.contains(umlauts) || view.contains(QStringLiteral("Gr&#252;&#223;e aus K&#246;ln")),
                 qPrintable(view.left(2000)));
    }

    // Each step of the page reports under its own number, and a failing step
    // does not end the run it belongs to.
    void failuresAreReportedAtTheirOwnSteps()
    {
        const QString unwritable = m_dir.path() + QStringLiteral("/no such folder/work.mht");
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, QStringLiteral("in Test.Page "));
        PrepareMessagePage(unwritable, guard);
        QCOMPARE(dialogs.shown.size(), 1);
        QVERIFY2(dialogs.shown.first().text.contains(QStringLiteral("\r\nin Test.Page at line 204")),
                 qPrintable(dialogs.shown.first().text));

        // On its own guard it reports as the conversion run does.
        ScriptedDialogs alone;
        PrepareMessagePage(unwritable, alone);
        QCOMPARE(alone.shown.size(), 1);
        QVERIFY(alone.shown.first().text.contains(QStringLiteral("PushButton2_Click at line 204")));
    }

    // 50 MB: a short text body and a large attachment that must come
    // through untouched, with the message held once, not once per copy of it.
    void largeMessage()
    {
        const QByteArray message = MessageWithLargeAttachment(kHeaders, 50 * 1024 * 1024);
        const QString path = m_dir.path() + QStringLiteral("/large.mht");
        writeBytes(path, message);
        const std::optional<qint64> growth =
            PeakMemory::growthWhile([&] { PrepareMessagePage(path, m_dialogs); });

        const QByteArray page = bytesOf(path);
        const qsizetype attachmentAt = message.indexOf("--big\r\nContent-Type: application/octet-stream");
        QVERIFY(page.startsWith(kHeaders + "Content-Type: multipart/mixed; boundary=big\r\n\r\n--big\r\n"));
        QVERIFY(page.endsWith(QByteArrayView(message).sliced(attachmentAt)));
        QVERIFY(somePartHolds(page, kExampleBlock));
        if (!growth)
            QSKIP("no peak of the memory held is kept here");
        QVERIFY2(*growth < message.size() * 3 / 2, qPrintable(QStringLiteral("%1 MB more for a %2 MB message")
                                                                  .arg(*growth >> 20)
                                                                  .arg(message.size() >> 20)));
    }

    // Every real message shows its block where the office host looks: the
    // page it lays out holds it. A message whose first body tag is shown keeps
    // every byte but the block.
    void everyCorpusMessageGetsTheBlock()
    {
        const QString corpus = QStringLiteral(QM_CORPUS_DIR);
        if (!QDir(corpus).exists())
            QSKIP("the message corpus is not on this machine");
        const QString pagePath = m_dir.path() + QStringLiteral("/corpus.mht");
        QStringList missed;
        int count = 0;
        QDirIterator it(corpus, {QStringLiteral("*.eml")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString source = it.next();
            const QByteArray original = bytesOf(source);
            const QString block = HeaderBlockElement(blockOf(original));
            const QByteArray page = prepared(original, QStringLiteral("corpus.mht"));
            ++count;
            if (!hostView(pagePath).contains(block))
                missed << source;
            // The first body tag is passed over only where the host would not show the block there.
            const qsizetype at = FindBodyTagEnd(QString::fromLatin1(original));
            const QByteArray atFirstTag = original.left(at) + block.toLatin1() + original.mid(at);
            if (at >= 0 && page != atFirstTag) {
                writeBytes(pagePath, atFirstTag);
                if (hostView(pagePath).contains(block))
                    missed << source + QStringLiteral(" (not at its first body tag)");
            }
        }
        QVERIFY(count > 0);
        QVERIFY2(missed.isEmpty(),
                 qPrintable(QStringLiteral("%1 of %2 without the block:\n").arg(missed.size()).arg(count) +
                            missed.join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TestMessagePage)
#include "test_messagepage.moc"
