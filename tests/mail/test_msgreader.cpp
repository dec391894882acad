#include "mapimessage.h"
#include "messagefields.h"
#include "mimebuilder.h"
#include "msgreader.h"
#include "outlookparts.h"
#include "peakmemory.h"
#include "rtfbody.h"
#include "tnefreader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString ArchiveFile(const QString& name)
{
    return QStringLiteral(QM_SOURCE_DIR "/../shared/corpus/archives/") + name;
}

QByteArray Utf16(const QString& text)
{
    QByteArray bytes;
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a reader shows of a built message: its fields and the text of its body.
QString BodyText(const QByteArray& mime)
{
    QString text;
    for (const QByteArray& line : mime.split('\n')) {
        const QByteArray decoded = QByteArray::fromBase64(line.trimmed());
        if (!line.trimmed().isEmpty() && !line.contains(':') && !line.startsWith("--"))
            text += QString::fromUtf8(decoded);
    }
    return text;
}

} // namespace

class TestMsgReader : public QObject {
    Q_OBJECT

private slots:
    void mappingFillsFieldsByTag()
    {
        MapiMessage message;
        ApplyMapiProperty(message, 0x0037, MapiType::Unicode, Utf16(u"Grüße"_qs) + QByteArray(2, '\0'), 0);
        ApplyMapiProperty(message, 0x0C1A, MapiType::String8, "Ann \xC4rcher", 1252);
        // The Exchange path is replaced by the SMTP address, whatever the order.
        ApplyMapiProperty(message, 0x0C1F, MapiType::String8, "/O=ORG/CN=ANN", 1252);
        ApplyMapiProperty(message, 0x5D01, MapiType::String8, "ann@example.com", 1252);
        ApplyMapiProperty(message, 0x0C1F, MapiType::String8, "/O=ORG/CN=ANN", 1252);
        // 2024-01-02 03:04:05 UTC as a FILETIME.
        const quint64 ticks = (quint64(1704164645) * 10000000ULL) + 116444736000000000ULL;
        QByteArray time(8, '\0');
        qToLittleEndian(ticks, time.data());
        ApplyMapiProperty(message, 0x0039, MapiType::Time, time, 0);
        ApplyMapiProperty(message, 0x1013, MapiType::Binary, "<p>x</p>", 0);
        ApplyMapiProperty(message, 0x3FDE, MapiType::Int32, QByteArray("\xE9\xFD\0\0", 4), 0);
        ApplyMapiProperty(message, 0x0037, MapiType::Int32, QByteArray(4, '\0'), 0); // wrong type: ignored
        QCOMPARE(message.subject, u"Grüße"_qs);
        QCOMPARE(message.senderName, u"Ann Ärcher"_qs);
        QCOMPARE(message.senderAddress, u"ann@example.com"_qs);
        QCOMPARE(message.sent, QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC));
        QCOMPARE(message.htmlBody, QByteArray("<p>x</p>"));
        QCOMPARE(message.internetCodePage, 65001);

        MapiAttachment attachment;
        ApplyMapiAttachmentProperty(attachment, 0x3704, MapiType::String8, "REPORT~1.PDF", 0);
        ApplyMapiAttachmentProperty(attachment, 0x3707, MapiType::String8, "report 2024.pdf", 0);
        ApplyMapiAttachmentProperty(attachment, 0x3001, MapiType::String8, "Report", 0);
        ApplyMapiAttachmentProperty(attachment, 0x3705, MapiType::Int32, QByteArray("\x05\0\0\0", 4), 0);
        QCOMPARE(attachment.fileName, u"report 2024.pdf"_qs);
        QCOMPARE(attachment.method, 5);

        AddMapiRecipient(message, 1, u"Bo"_qs, u"bo@example.com"_qs);
        AddMapiRecipient(message, 2, QString(), u"cc@example.com"_qs);
        AddMapiRecipient(message, 0, u"Originator"_qs, u"o@example.com"_qs);
        QCOMPARE(message.to, QStringList{u"Bo <bo@example.com>"_qs});
        QCOMPARE(message.cc, QStringList{u"cc@example.com"_qs});
        QVERIFY(message.bcc.isEmpty());
    }

    void fileTimeRejectsZeroAndShortValues()
    {
        QVERIFY(!MapiFileTime(QByteArray(8, '\0')).isValid());
        QVERIFY(!MapiFileTime(QByteArray(4, '\x11')).isValid());
        QVERIFY(!MapiFileTime(QByteArray(8, '\xFF')).isValid());
    }

    void rtfFromHtmlGivesBackTheHtml()
    {
        const QByteArray rtf = "{\\rtf1\\ansi\\ansicpg1251\\fromhtml1 {\\fonttbl{\\f0 Arial;}}"
                               "{\\*\\htmltag19 <html><body>}\\htmlrtf {\\pard ignored\\par}\\htmlrtf0 "
                               "Hello \\'e4 \\{x\\}\\par"
                               "{\\*\\htmltag84 <img src=\"cid:a\">}{\\*\\mhtmltag84 <img src=\"x\">}"
                               "\\u8364 ?{\\*\\htmltag27 </body></html>}}";
        const RtfBody body = ReadRtfBody(rtf);
        QCOMPARE(body.kind, RtfBody::Kind::Html);
        QCOMPARE(body.text, u"<html><body>Hello д {x}\r\n<img src=\"cid:a\">€</body></html>"_qs);
    }

    void nativeRtfGivesItsText()
    {
        const QByteArray rtf = "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red0;}"
                               "{\\*\\generator x;}\\pard Line one\\par\\tab two \\'e9\\line three}";
        const RtfBody body = ReadRtfBody(rtf);
        QCOMPARE(body.kind, RtfBody::Kind::Text);
        QCOMPARE(body.text, u"Line one\n\ttwo é\nthree"_qs);
        QCOMPARE(ReadRtfBody("not rtf").kind, RtfBody::Kind::None);
    }

    void compressedRtfHeadersAreChecked()
    {
        // Stored uncompressed ("MELA"): the bytes after the header.
        const QByteArray raw = "{\\rtf1 hi}";
        QByteArray stored(16, '\0');
        qToLittleEndian<quint32>(quint32(12 + raw.size()), stored.data());
        qToLittleEndian<quint32>(quint32(raw.size()), stored.data() + 4);
        qToLittleEndian<quint32>(0x414C454D, stored.data() + 8);
        QCOMPARE(DecompressRtf(stored + raw), raw);
        // A stated size that is not the data's, or an unknown kind, is refused.
        QVERIFY(DecompressRtf(stored + raw + "x").isEmpty());
        QByteArray unknown = stored + raw;
        unknown[8] = 'Z';
        QVERIFY(DecompressRtf(unknown).isEmpty());
        QVERIFY(DecompressRtf("short").isEmpty());
    }

    void builtMimeIsDeterministicAndEncoded()
    {
        MapiMessage message;
        message.subject = u"Привет"_qs;
        message.senderName = u"Ann"_qs;
        message.senderAddress = u"/O=ORG/CN=ANN"_qs;
        message.to = {u"Bo Ünal <bo@example.com>"_qs};
        message.htmlBody = "<html><body><img src=\"cid:pic1\">Hi</body></html>";
        message.htmlCharset = u"utf-8"_qs;
        MapiAttachment picture;
        picture.fileName = u"pic.png"_qs;
        picture.contentId = u"<pic1>"_qs;
        picture.data = "PNG";
        MapiAttachment document;
        document.fileName = u"Bericht ä.pdf"_qs;
        document.data = QByteArray(1000, 'x');
        auto inner = std::make_shared<MapiMessage>();
        inner->subject = u"Inner"_qs;
        inner->plainBody = u"inside"_qs;
        MapiAttachment attached;
        attached.embedded = inner;
        message.attachments = {picture, document, attached};
        message.extraFields = {{u"Location"_qs, u"Room <1>"_qs}};

        const QByteArray mime = BuildMimeMessage(message);
        QCOMPARE(BuildMimeMessage(message), mime);
        const MessageFields fields = ReadMessageFields(mime);
        QCOMPARE(fields.subject, u"Привет"_qs);
        QCOMPARE(fields.from, u"\"Ann\""_qs);
        QVERIFY2(fields.to.contains(u"bo@example.com"_qs), qPrintable(fields.to));
        for (const char* expected :
             {"multipart/related", "multipart/mixed", "Content-ID: <pic1>",
              "filename*=utf-8''Bericht%20%C3%A4.pdf", "message/rfc822", "Subject: Inner"})
            QVERIFY2(mime.contains(expected), expected);
        QVERIFY(BodyText(mime).contains(u"Room &lt;1&gt;"_qs));
        for (const char c : mime)
            QVERIFY(uchar(c) < 128);
    }

    void corpusMessagesConvertOrFailWithAReason_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("word");
        QTest::addColumn<int>("attachments");
        QTest::newRow("ansi native rtf") << "apache-poi/quick.msg"
                                         << "Test the content transformer"
                                         << "quick brown fox" << 0;
        QTest::newRow("cp1251") << "apache-poi/ASCII_CP1251_LCID1049.msg"
                                << "Subject автоматически Subject"
                                << "" << 0;
        QTest::newRow("html binary only") << "apache-poi/HTMLBodyBinary_UTF-8.msg"
                                          << "Subject öäü Subject"
                                          << "" << 0;
        QTest::newRow("html in rtf, two attachments") << "apache-poi/attachment_test_msg.msg"
                                                      << "test pièce jointe 1"
                                                      << "" << 2;
        QTest::newRow("embedded msg") << "apache-poi/58214_with_attachment.msg"
                                      << "Master mail"
                                      << "Lorem" << 1;
        QTest::newRow("cp932") << "msgreader-js/nonUnicodeCP932.msg"
                               << "日本語 Non Unicode タイトル"
                               << "" << 0;
        // Attachments of every level: blue.png and the attached messages.
        QTest::newRow("three levels") << "msgreader-js/msgInMsgInMsg.msg"
                                      << "I have sub attachments!"
                                      << "" << 4;
        QTest::newRow("html sample") << "msgreader-net/HtmlSampleEmail.msg"
                                     << "HtmlSampleEmail"
                                     << "" << 0;
        QTest::newRow("blank") << "apache-poi/blank.msg"
                               << ""
                               << "" << 0;
    }

    void corpusMessagesConvertOrFailWithAReason()
    {
        QFETCH(QString, file);
        QFETCH(QString, subject);
        QFETCH(QString, word);
        QFETCH(int, attachments);
        const QString path = ArchiveFile(u"msg/"_qs + file);
        if (!QFileInfo::exists(path))
            QSKIP("the shared corpus is not on this machine");
        QString reason;
        const std::optional<QByteArray> mime = ReadOutlookMessageFile(path, &reason);
        QVERIFY2(mime, qPrintable(reason));
        QCOMPARE(ReadMessageFields(*mime).subject, subject);
        if (!word.isEmpty())
            QVERIFY(BodyText(*mime).contains(word, Qt::CaseInsensitive));
        QCOMPARE(int(mime->count("Content-Disposition: attachment")), attachments);
    }

    void damagedFilesFailWithAReason()
    {
        const QString fuzzed = ArchiveFile(
            u"msg/apache-poi/clusterfuzz-testcase-minimized-POIHSMFFuzzer-5336473854148608.msg"_qs);
        const QString good = ArchiveFile(u"msg/apache-poi/attachment_test_msg.msg"_qs);
        if (!QFileInfo::exists(good))
            QSKIP("the shared corpus is not on this machine");
        QString reason;
        QVERIFY(!ReadOutlookMessageFile(fuzzed, &reason));
        QVERIFY(!reason.isEmpty());

        QTemporaryDir folder;
        const QByteArray bytes = ReadAll(good);
        for (const qsizetype size : {qsizetype(0), qsizetype(600), bytes.size() / 2, bytes.size() - 1}) {
            const QString cut = folder.filePath(u"cut.msg"_qs);
            QFile file(cut);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(bytes.left(size));
            file.close();
            reason.clear();
            if (!ReadOutlookMessageFile(cut, &reason))
                QVERIFY2(!reason.isEmpty(), qPrintable(QString::number(size)));
        }
        // Bytes flipped all over: read or refused, never a crash.
        QByteArray flipped = bytes;
        for (qsizetype at = 512; at < flipped.size(); at += 97)
            flipped[at] = char(flipped[at] ^ 0x5A);
        const QString damaged = folder.filePath(u"flipped.msg"_qs);
        QFile file(damaged);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(flipped);
        file.close();
        ReadOutlookMessageFile(damaged, &reason);
    }

    void tnefFixturesRead_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("attachments");
        QTest::addColumn<QString>("firstName");
        QTest::newRow("quick") << "apache-poi/quick-winmail.dat" << 5 << "quick.doc";
        QTest::newRow("sample1") << "apache-poi/winmail-sample1.dat" << 2 << "zappa_av1.jpg";
        QTest::newRow("two files") << "tnef/two-files.tnef" << 2 << "AUTHORS";
        QTest::newRow("umlaut") << "tnefparse/umlaut.tnef" << 3 << "";
        QTest::newRow("body") << "tnef/body.tnef" << 0 << "";
    }

    void tnefFixturesRead()
    {
        QFETCH(QString, file);
        QFETCH(int, attachments);
        QFETCH(QString, firstName);
        const QString path = ArchiveFile(u"tnef/"_qs + file);
        if (!QFileInfo::exists(path))
            QSKIP("the shared corpus is not on this machine");
        QString reason;
        const std::optional<MapiMessage> item = ReadTnef(ReadAll(path), &reason);
        QVERIFY2(item, qPrintable(reason));
        QCOMPARE(item->attachments.size(), attachments);
        if (!firstName.isEmpty())
            QCOMPARE(item->attachments.first().fileName, firstName);
    }

    void malformedTnefFailsWithAReason()
    {
        const QString path = ArchiveFile(u"tnef/apache-poi/oom.tnef"_qs);
        if (!QFileInfo::exists(path))
            QSKIP("the shared corpus is not on this machine");
        QString reason;
        const std::optional<MapiMessage> item = ReadTnef(ReadAll(path), &reason);
        QVERIFY(!item || item->attachments.isEmpty());
        QVERIFY(!ReadTnef("plain text", &reason));
        QVERIFY(!reason.isEmpty());
    }

    void winmailPartBecomesBodyAndAttachments()
    {
        const QString path = ArchiveFile(u"tnef/apache-poi/bug52400-winmail-with-attachments.dat"_qs);
        if (!QFileInfo::exists(path))
            QSKIP("the shared corpus is not on this machine");
        QTemporaryDir folder;
        const QString message = folder.filePath(u"m.eml"_qs);
        QFile file(message);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("From: a@example.com\r\nTo: b@example.com\r\nSubject: rich\r\nMIME-Version: 1.0\r\n"
                   "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                   "Content-Type: text/plain\r\n\r\n\r\n--b\r\n"
                   "Content-Type: application/ms-tnef; name=\"winmail.dat\"\r\n"
                   "Content-Disposition: attachment; filename=\"winmail.dat\"\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\n" +
                   ReadAll(path).toBase64() + "\r\n--b--\r\n");
        file.close();
        QVERIFY(ExpandOutlookParts(message, folder.path()).isEmpty());
        const QByteArray expanded = ReadAll(message);
        QVERIFY(!expanded.contains("ms-tnef"));
        QVERIFY(expanded.contains("text/html"));
        QCOMPARE(int(expanded.count("Content-Disposition: attachment")), 2);
        QCOMPARE(ReadMessageFields(expanded).subject, u"rich"_qs);
    }

    // Most mail has no Outlook part, and a large message is not read into
    // memory only to find that out; it stays as it was.
    void mailWithoutOutlookPartsIsLeftAsItIs()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(u"large.eml"_qs);
        const QByteArray message =
            MessageWithLargeAttachment("From: a@example.com\r\nMIME-Version: 1.0\r\n", 50 * 1024 * 1024);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(message) == message.size());
        file.close();
        QStringList problems;
        const std::optional<qint64> growth =
            PeakMemory::growthWhile([&] { problems = ExpandOutlookParts(path, folder.path()); });
        QVERIFY(problems.isEmpty());
        QVERIFY(ReadAll(path) == message);
        if (!growth)
            QSKIP("no peak of the memory held is kept here");
        QVERIFY2(*growth < message.size() / 4, qPrintable(QStringLiteral("%1 MB more").arg(*growth >> 20)));
    }
};

QTEST_GUILESS_MAIN(TestMsgReader)
#include "test_msgreader.moc"
