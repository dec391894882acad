#include "batchinput.h"
#include "pstlisting.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

// Archives as the command line collects them: the items of a PST by folder,
// Apple Mail's .emlx files and Maildirs; no conversion.
namespace {

const QString kTestPst =
    QStringLiteral(QM_SOURCE_DIR "/../shared/corpus/archives/pst/ingest-file/testPST.pst");

void Write(const QString& path, const QByteArray& bytes = "From: a@example.com\n\nHello\n")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QStringList Sources(const CollectedInput& input, const QString& root)
{
    QStringList sources;
    for (const InputMessage& message : input.messages)
        sources << QDir(root).relativeFilePath(message.source);
    return sources;
}

} // namespace

class TestArchiveInput : public QObject {
    Q_OBJECT

private slots:
    void pstItemsAreNamedByStoreFolderAndNumber()
    {
        if (!QFile::exists(kTestPst))
            QSKIP("the shared corpus is not on this machine");
        QTemporaryDir dir;
        const QString pst = dir.filePath(QStringLiteral("Team Mail.pst"));
        QVERIFY(QFile::copy(kTestPst, pst));

        // Listed by the program in a process of its own, as a run lists it.
        const InputOptions isolated{false, false, QStringLiteral(QM_PROGRAM_DIR "/quillmark-convert")};
        CollectedInput input = CollectInput({pst}, isolated);
        QVERIFY2(input.problems.isEmpty(), qPrintable(input.problems.join(u'\n')));
        QCOMPARE(input.messages.size(), 6);
        const CollectedInput inProcess = CollectInput({pst}, InputOptions{});
        QCOMPARE(inProcess.messages.size(), 6);
        for (qsizetype i = 0; i < input.messages.size(); ++i) {
            const InputMessage& message = input.messages[i];
            QCOMPARE(message.kind, InputKind::Pst);
            QCOMPARE(message.number, int(i + 1));
            QCOMPARE(message.pstItem, inProcess.messages[i].pstItem);
            QCOMPARE(message.folder, inProcess.messages[i].folder);
        }

        const QString folder = input.messages.first().folder;
        AssignOutputPaths(input.messages, dir.filePath(QStringLiteral("out")));
        QCOMPARE(input.messages[0].outputPath,
                 dir.filePath(QStringLiteral("out/Team Mail/") + folder + QStringLiteral("/00001.tiff")));
        QCOMPARE(input.messages[5].outputPath,
                 dir.filePath(QStringLiteral("out/Team Mail/") + folder + QStringLiteral("/00006.tiff")));
        AssignOutputPaths(input.messages, QString());
        QCOMPARE(input.messages[1].outputPath,
                 dir.filePath(QStringLiteral("Team Mail/") + folder + QStringLiteral("/00002.tiff")));
        QCOMPARE(input.messages[1].displayName(), pst + QStringLiteral(" (%1, message 2)").arg(folder));

        // In a folder, found by its name like a .eml file.
        QCOMPARE(CollectInput({dir.path()}, InputOptions{}).messages.size(), 6);

        // The parts of a shard split the store's items between them.
        QHash<quint32, int> owners;
        for (int k = 0; k < 3; ++k)
            for (const InputMessage& message : std::as_const(input.messages))
                if (InShard(message, Shard{k, 3})) {
                    QVERIFY(!owners.contains(message.pstItem));
                    owners.insert(message.pstItem, k);
                }
        QCOMPARE(owners.size(), 6);
    }

    // A store that stops the reader costs that store, with a reason, and
    // never the other inputs.
    void aStoreThatCannotBeListedSaysWhy()
    {
        QTemporaryDir dir;
        const QString crashing = dir.filePath(QStringLiteral("crash.sh"));
        Write(crashing, "#!/bin/sh\nkill -SEGV $$\n");
        QFile::setPermissions(crashing, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString pst = dir.filePath(QStringLiteral("store.pst"));
        Write(pst, "!BDN and then nothing a store needs");
        const QString eml = dir.filePath(QStringLiteral("note.eml"));
        Write(eml);

        const CollectedInput crashed = CollectInput({pst, eml}, InputOptions{false, false, crashing});
        QCOMPARE(Sources(crashed, dir.path()), QStringList{QStringLiteral("note.eml")});
        QCOMPARE(crashed.problems.size(), 1);
        QVERIFY2(crashed.problems.first().contains(pst) &&
                     crashed.problems.first().contains(QLatin1String("crashed")),
                 qPrintable(crashed.problems.first()));

        const CollectedInput damaged = CollectInput(
            {pst}, InputOptions{false, false, QStringLiteral(QM_PROGRAM_DIR "/quillmark-convert")});
        QVERIFY(damaged.messages.isEmpty());
        QCOMPARE(damaged.problems.size(), 1);
        QVERIFY2(damaged.problems.first().contains(QLatin1String("Outlook data file")),
                 qPrintable(damaged.problems.first()));

        Write(pst, "just some text");
        const CollectedInput text = CollectInput({pst}, InputOptions{});
        QVERIFY2(text.problems.value(0).contains(QLatin1String("not an Outlook data file")),
                 qPrintable(text.problems.value(0)));
    }

    void emlxFilesAreMessagesOfTheirOwn()
    {
        QTemporaryDir dir;
        const QByteArray message = "From: a@example.com\nSubject: Hi\n\nHello\n";
        Write(dir.filePath(QStringLiteral("Messages/12.emlx")),
              QByteArray::number(message.size()) + "\n" + message + "<?xml version=\"1.0\"?><plist/>");
        Write(dir.filePath(QStringLiteral("Messages/13.partial.emlx")), "4\nabc\n");
        Write(dir.filePath(QStringLiteral("Outlook/saved.MSG")), "\xD0\xCF\x11\xE0");
        const CollectedInput withMsg = CollectInput({dir.path()}, InputOptions{});
        QVERIFY(Sources(withMsg, dir.path()).contains(QStringLiteral("Outlook/saved.MSG")));
        QFile::remove(dir.filePath(QStringLiteral("Outlook/saved.MSG")));
        CollectedInput input = CollectInput({dir.path()}, InputOptions{});
        QCOMPARE(Sources(input, dir.path()), (QStringList{QStringLiteral("Messages/12.emlx"),
                                                          QStringLiteral("Messages/13.partial.emlx")}));
        AssignOutputPaths(input.messages, QString());
        QCOMPARE(QFileInfo(input.messages[0].outputPath).fileName(), QStringLiteral("12.tiff"));
        QCOMPARE(QFileInfo(input.messages[1].outputPath).fileName(), QStringLiteral("13.tiff"));

        const QString taken = dir.filePath(QStringLiteral("taken.eml"));
        TakeOutMessage(input.messages[0], taken);
        QFile file(taken);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), message);

        Write(dir.filePath(QStringLiteral("bad.emlx")), message);
        const CollectedInput bad = CollectInput({dir.filePath(QStringLiteral("bad.emlx"))}, InputOptions{});
        try {
            TakeOutMessage(bad.messages.value(0), taken);
            QFAIL("a file without its byte count was taken as a message");
        } catch (const std::runtime_error& error) {
            QVERIFY2(QString::fromUtf8(error.what()).contains(QLatin1String("Apple Mail")), error.what());
        }
    }

    void maildirsStandForTheMessagesInCurAndNew()
    {
        QTemporaryDir dir;
        const QString mail = dir.filePath(QStringLiteral("Mail"));
        Write(mail + QStringLiteral("/work/cur/1700000001.M1P2.host:2,S"));
        Write(mail + QStringLiteral("/work/cur/1700000002.M3P4.host:2,RS"));
        Write(mail + QStringLiteral("/work/new/1700000003.M5P6.host"));
        Write(mail + QStringLiteral("/work/new/.hidden"));
        Write(mail + QStringLiteral("/work/tmp/1700000004.M7P8.host")); // still being delivered
        Write(mail + QStringLiteral("/work/.Sent/cur/1700000005.M9P0.host:2,S"));
        Write(mail + QStringLiteral("/work/.Sent/new/.keep"));
        Write(mail + QStringLiteral("/notes/readme.eml"));

        // Without the flag a folder scan takes only what it always took.
        QCOMPARE(Sources(CollectInput({mail}, InputOptions{}), mail),
                 QStringList{QStringLiteral("notes/readme.eml")});

        const QStringList all{QStringLiteral("notes/readme.eml"),
                              QStringLiteral("work/.Sent/cur/1700000005.M9P0.host:2,S"),
                              QStringLiteral("work/cur/1700000001.M1P2.host:2,S"),
                              QStringLiteral("work/cur/1700000002.M3P4.host:2,RS"),
                              QStringLiteral("work/new/1700000003.M5P6.host")};
        QStringList found = Sources(CollectInput({mail}, InputOptions{false, true, {}}), mail);
        std::sort(found.begin(), found.end());
        QCOMPARE(found, all);

        // A Maildir named on the command line is read as one, its Maildir++
        // folders included.
        found = Sources(CollectInput({mail + QStringLiteral("/work")}, InputOptions{}), mail);
        std::sort(found.begin(), found.end());
        QCOMPARE(found, all.mid(1));

        // Their TIFFs go into the Maildir's own folder, named without flags,
        // never into cur/ or new/, where they would pass for mail.
        CollectedInput work = CollectInput({mail + QStringLiteral("/work")}, InputOptions{});
        AssignOutputPaths(work.messages, QString());
        QStringList outputs;
        for (const InputMessage& message : std::as_const(work.messages))
            outputs << QDir(mail).relativeFilePath(message.outputPath);
        std::sort(outputs.begin(), outputs.end());
        QCOMPARE(outputs, (QStringList{QStringLiteral("work/.Sent/1700000005.M9P0.host.tiff"),
                                       QStringLiteral("work/1700000001.M1P2.host.tiff"),
                                       QStringLiteral("work/1700000002.M3P4.host.tiff"),
                                       QStringLiteral("work/1700000003.M5P6.host.tiff")}));
    }
};

QTEST_GUILESS_MAIN(TestArchiveInput)
#include "test_archiveinput.moc"
