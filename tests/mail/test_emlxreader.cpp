#include "emlxreader.h"
#include "errorof.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <stdexcept>

namespace {

void Write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray Emlx(const QByteArray& message)
{
    return QByteArray::number(message.size()) + "      \n" + message +
           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>flags</key>"
           "<integer>8590195713</integer></dict></plist>\n";
}

const QByteArray kPartial = "From: Ada <ada@example.com>\r\n"
                            "To: Bob <bob@example.com>\r\n"
                            "Subject: Minutes\r\n"
                            "MIME-Version: 1.0\r\n"
                            "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
                            "\r\n"
                            "--b1\r\n"
                            "Content-Type: text/plain\r\n"
                            "\r\n"
                            "The minutes are attached.\r\n"
                            "--b1\r\n"
                            "Content-Type: text/plain; name=minutes.txt\r\n"
                            "Content-Disposition: attachment; filename=minutes.txt\r\n"
                            "Content-Transfer-Encoding: base64\r\n"
                            "X-Apple-Content-Length: 20\r\n"
                            "\r\n"
                            "\r\n"
                            "--b1\r\n"
                            "Content-Type: application/pdf; name=agenda.pdf\r\n"
                            "Content-Disposition: attachment; filename=agenda.pdf\r\n"
                            "Content-Transfer-Encoding: base64\r\n"
                            "X-Apple-Content-Length: 999\r\n"
                            "\r\n"
                            "\r\n"
                            "--b1--\r\n";

} // namespace

class TestEmlxReader : public QObject {
    Q_OBJECT

private slots:
    void takesTheCountedBytesAndLeavesThePlist()
    {
        QTemporaryDir dir;
        const QByteArray message = "From: a@example.com\nSubject: Hello\n\nBody text\n";
        const QString path = dir.filePath(QStringLiteral("12.emlx"));
        Write(path, Emlx(message));
        QCOMPARE(ReadEmlxMessage(path, nullptr), message);

        // Cut short, or a count larger than the file: the message up to the
        // property list or the end.
        Write(path, QByteArray("4000\n") + message + "<?xml version=\"1.0\"?><plist/>");
        QCOMPARE(ReadEmlxMessage(path, nullptr), message);

        Write(path, message);
        QVERIFY(ErrorOf([&] {
                    ReadEmlxMessage(path, nullptr);
                }).contains(QLatin1String("no Apple Mail message")));
    }

    void putsBackTheBodiesOfAPartialMessage()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Messages/77.partial.emlx"));
        Write(path, Emlx(kPartial));
        Write(dir.filePath(QStringLiteral("Attachments/77/2/minutes.txt")), "Item 1: the budget.\n");
        QStringList notices;
        const QByteArray restored = ReadEmlxMessage(path, &notices);
        QVERIFY(restored.contains(QByteArray("Item 1: the budget.\n").toBase64()));
        QVERIFY(!restored.contains("X-Apple-Content-Length"));
        // Part 3 has no file: the message says so, and so does the notice.
        QCOMPARE(notices.size(), 1);
        QVERIFY(notices.first().contains(QLatin1String("agenda.pdf")));
        QVERIFY(restored.contains("agenda.pdf was not downloaded"));
        QVERIFY(restored.contains("The minutes are attached."));
    }

    void readsTheCorpusFixtures()
    {
        const QString root = QStringLiteral(QM_SOURCE_DIR "/../shared/corpus/archives/emlx/");
        if (!QFile::exists(root))
            QSKIP("the shared corpus is not on this machine");
        QVERIFY(
            ReadEmlxMessage(root + QStringLiteral("emlx-python/plaintext.emlx"), nullptr).contains("\n\n"));
        QVERIFY(
            ReadEmlxMessage(root + QStringLiteral("emlx-python/richtext.emlx"), nullptr).contains("<html"));
        QVERIFY(!ErrorOf([&] {
                     ReadEmlxMessage(root + QStringLiteral("emlx-rust/broken2.emlx"), nullptr);
                 }).isEmpty());
        QVERIFY(!ReadEmlxMessage(root + QStringLiteral("emlx-rust/broken1.emlx"), nullptr).isEmpty());
        QVERIFY(
            !ReadEmlxMessage(root + QStringLiteral("emlx-rust/broken3.emlx"), nullptr).contains("<plist"));

        QStringList notices;
        const QByteArray restored = ReadEmlxMessage(
            root + QStringLiteral("partial-emlx-converter/Messages/114892.partial.emlx"), &notices);
        QVERIFY2(notices.isEmpty(), qPrintable(notices.join(u'\n')));
        QFile doc(root + QStringLiteral("partial-emlx-converter/Attachments/114892/2.4/original.doc"));
        QVERIFY(doc.open(QIODevice::ReadOnly));
        const QByteArray base64 = doc.readAll().toBase64();
        QVERIFY(QByteArray(restored).replace("\r", "").replace("\n", "").contains(base64.left(4000)));
    }
};

QTEST_GUILESS_MAIN(TestEmlxReader)
#include "test_emlxreader.moc"
