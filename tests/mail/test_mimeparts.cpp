#include "mimeparts.h"
#include "utf16text.h"

#include <QtTest>

class TestMimeParts : public QObject {
    Q_OBJECT

private slots:
    // The one test of binary data, asked by the office host's reader and by
    // the conversion before it builds a page.
    void binaryDataIsToldByItsHeaderSection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("binary");
        const QByteArray headers = "From: Ann <ann@example.org>\r\nSubject: Hi\r\n";
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("zero bytes among the fields")
            << QByteArray("From: Ann\r\nSub\0ject: x\0\r\n\r\nbody", 31) << true;
        // One zero byte is a writer's slip in a message a reader shows.
        QTest::newRow("one zero byte first") << QByteArray("\0", 1) + headers + "\r\nbody" << false;
        QTest::newRow("one zero byte among the fields")
            << QByteArray("From: Ann\r\nSub\0ject: x\r\n\r\nbody", 30) << false;
        QTest::newRow("zero byte and control characters")
            << QByteArray("From: Ann\r\n\0\x01\x02Subject: x\r\n\r\n", 25) << true;
        QTest::newRow("raw iso-2022-jp subject") << QByteArray("Subject: \x1b$B2q5D\x1b(B\n\nbody") << false;
        QByteArray garbage(8192, Qt::Uninitialized);
        for (qsizetype i = 0; i < garbage.size(); ++i)
            garbage[i] = char((i * 131 + 17) % 256);
        QTest::newRow("garbage") << garbage << true;
        QTest::newRow("zip archive") << QByteArray("PK\x03\x04\x14\0\0\0", 8) + "\nFrom: a\n\n" << true;
        QTest::newRow("control characters") << QByteArray("From: a\x01\x02\x03\x04\x05\x06\r\n\r\n") << true;
        QTest::newRow("zero bytes in a part below, CRLF")
            << headers + "\r\n" + QByteArray("\x89PNG\0\0\0\x0d", 8) << false;
        QTest::newRow("zero bytes in a part below, LF") << QByteArray("Subject: x\n\n\0\0\0", 15) << false;
        QTest::newRow("zero bytes below a CRLF blank line after LF fields")
            << QByteArray("Subject: x\nFrom: a\n\r\n\0\0\0", 24) << false;
        QTest::newRow("two-byte text, low byte first")
            << Utf16WithMark(QString::fromLatin1(headers + "\r\nHi"), true) << false;
        QTest::newRow("two-byte text, high byte first")
            << Utf16WithMark(QString::fromLatin1(headers + "\r\nHi"), false) << false;
        QTest::newRow("four-byte text") << QByteArray("\xFF\xFE\0\0S\0\0\0u\0\0\0", 12) << true;
    }
    void binaryDataIsToldByItsHeaderSection()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, binary);
        QCOMPARE(LooksBinary(bytes), binary);
    }
};

QTEST_GUILESS_MAIN(TestMimeParts)
#include "test_mimeparts.moc"
