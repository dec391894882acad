#include "errorof.h"
#include "mapimessage.h"
#include "mimebuilder.h"
#include "pstreader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <stdexcept>

// The PST fixtures of the shared corpus, checked against what their
// SOURCES.md says each store holds.
namespace {

QString Fixture(const char* name)
{
    return QStringLiteral(QM_SOURCE_DIR "/../shared/corpus/archives/pst/") + QLatin1String(name);
}

int CountNested(const MapiMessage& message)
{
    int levels = 0;
    for (const MapiAttachment& attachment : message.attachments)
        if (attachment.embedded)
            levels = std::max(levels, 1 + CountNested(*attachment.embedded));
    return levels;
}

} // namespace

class TestPstReader : public QObject {
    Q_OBJECT

private:
    static QString requireFixture(const char* name)
    {
        const QString path = Fixture(name);
        if (!QFile::exists(path))
            return {};
        return path;
    }

private slots:
    void listsEveryItemFolderByFolder()
    {
        const QString path = requireFixture("ingest-file/testPST.pst");
        if (path.isEmpty())
            QSKIP("the shared corpus is not on this machine");
        const PstListing listing = ListPst(path);
        QCOMPARE(listing.items.size(), 6);
        QVERIFY2(listing.problems.isEmpty(), qPrintable(listing.problems.join(u'\n')));
        for (int i = 0; i < listing.items.size(); ++i) {
            QVERIFY(listing.items[i].folderPath.startsWith(
                QStringLiteral("Début du fichier de données Outlook")));
            QCOMPARE(listing.items[i].folderPath, listing.items[0].folderPath);
            QCOMPARE(listing.items[i].number, i + 1);
        }

        const QString empty = requireFixture("outlook-pst-rs/Empty.pst");
        QVERIFY(ListPst(empty).items.isEmpty());

        // An Outlook password locks only Outlook's window: the items read.
        const QString locked = requireFixture("java-libpst/passworded.pst");
        const PstListing lockedListing = ListPst(locked);
        QVERIFY(lockedListing.items.size() >= 2);
        for (const PstItem& item : lockedListing.items)
            QVERIFY(!ReadPstItem(locked, item.identifier).messageClass.isEmpty());

        // Items at the top of the store and in a folder below it.
        const PstListing unicode = ListPst(requireFixture("pstsdk/test_unicode.pst"));
        QCOMPARE(unicode.items.size(), 2);
    }

    void readsHeaderBodyAndRecipients()
    {
        const QString path = requireFixture("ingest-file/testPST.pst");
        if (path.isEmpty())
            QSKIP("the shared corpus is not on this machine");
        const PstListing listing = ListPst(path);
        QVERIFY(!listing.items.isEmpty());
        int withBodies = 0;
        for (const PstItem& item : listing.items) {
            const MapiMessage message = ReadPstItem(path, item.identifier);
            QVERIFY(!message.subject.isEmpty());
            QVERIFY(message.messageClass.startsWith(QLatin1String("IPM.Note")));
            if (!message.plainBody.isEmpty() || !message.htmlBody.isEmpty())
                ++withBodies;
            const QByteArray mime = BuildMimeMessage(message);
            QVERIFY(mime.contains("Subject:"));
        }
        QCOMPARE(withBodies, 6);

        const QString ansi = requireFixture("pstsdk/test_ansi.pst");
        const PstListing ansiListing = ListPst(ansi);
        QCOMPARE(ansiListing.items.size(), 1);
        QVERIFY(ansiListing.items[0].folderPath.endsWith(QLatin1String("Folder")));
        const MapiMessage post = ReadPstItem(ansi, ansiListing.items[0].identifier);
        QCOMPARE(post.subject, QStringLiteral("Post"));
        QCOMPARE(post.messageClass, QStringLiteral("IPM.Post"));

        const QString many = requireFixture("ruby-msg/200_recipients.pst");
        const MapiMessage crowded = ReadPstItem(many, ListPst(many).items.value(0).identifier);
        QCOMPARE(crowded.to.size() + crowded.cc.size() + crowded.bcc.size(), 200);
    }

    void readsAttachmentsAndAttachedMessages()
    {
        const QString sub = requireFixture("pstsdk/submessage.pst");
        if (sub.isEmpty())
            QSKIP("the shared corpus is not on this machine");
        const MapiMessage outer = ReadPstItem(sub, ListPst(sub).items.value(0).identifier);
        QCOMPARE(outer.attachments.size(), 1);
        QVERIFY(outer.attachments[0].embedded);
        QCOMPARE(outer.attachments[0].embedded->subject, QStringLiteral("This is an embedded message"));

        const QString nested = requireFixture("pst-extractor/alpha-beta-gamma-delta.pst");
        const MapiMessage alpha = ReadPstItem(nested, ListPst(nested).items.value(0).identifier);
        QCOMPARE(alpha.subject, QStringLiteral("Alpha"));
        QCOMPARE(CountNested(alpha), 3);
        QStringList subjects;
        for (const MapiMessage* at = &alpha; at;) {
            subjects << at->subject;
            const MapiMessage* next = nullptr;
            for (const MapiAttachment& attachment : at->attachments) {
                if (attachment.embedded)
                    next = attachment.embedded.get();
                else
                    QVERIFY(attachment.data.startsWith("\x89PNG"));
            }
            at = next;
        }
        QCOMPARE(subjects, (QStringList{"Alpha", "Beta", "Gamma", "Delta"}));

        const QString inline_ = requireFixture("ruby-msg/attachAndInline.pst");
        const MapiMessage pictures = ReadPstItem(inline_, ListPst(inline_).items.value(0).identifier);
        QCOMPARE(pictures.attachments.size(), 2);
        int withId = 0;
        for (const MapiAttachment& attachment : pictures.attachments) {
            QVERIFY(attachment.data.startsWith("\x89PNG"));
            withId += attachment.contentId.isEmpty() ? 0 : 1;
        }
        QCOMPARE(withId, 1);
    }

    void tellsWhyAFileCannotBeRead()
    {
        QTemporaryDir dir;
        const QString notPst = dir.filePath(QStringLiteral("letter.pst"));
        QFile file(notPst);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("Dear reader,\nthis is a letter.\n");
        file.close();
        QVERIFY(ErrorOf([&] { ListPst(notPst); }).contains(QLatin1String("not an Outlook data file")));
        QVERIFY(ErrorOf([&] {
                    ListPst(dir.filePath(QStringLiteral("gone.pst")));
                }).contains(QLatin1String("does not exist")));

        const QString source = requireFixture("ingest-file/testPST.pst");
        if (source.isEmpty())
            QSKIP("the shared corpus is not on this machine");
        const QList<PstItem> items = ListPst(source).items;
        // Cut in the middle: what is left either lists or says why, and an
        // item that is gone is an error, never a crash or an empty message.
        QFile whole(source);
        QVERIFY(whole.open(QIODevice::ReadOnly));
        const QByteArray bytes = whole.readAll();
        const QString cut = dir.filePath(QStringLiteral("cut.pst"));
        QFile cutFile(cut);
        QVERIFY(cutFile.open(QIODevice::WriteOnly));
        cutFile.write(bytes.left(bytes.size() / 3));
        cutFile.close();
        int readable = 0;
        QString reason;
        try {
            const PstListing listing = ListPst(cut);
            for (const PstItem& item : listing.items) {
                const QString error = ErrorOf([&] { ReadPstItem(cut, item.identifier); });
                readable += error.isEmpty() ? 1 : 0;
            }
        } catch (const std::runtime_error& error) {
            reason = QString::fromUtf8(error.what());
        }
        QVERIFY(readable < items.size() || !reason.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPstReader)
#include "test_pstreader.moc"
