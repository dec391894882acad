#include "../folders/unprivilegedrun.h"
#include "listfilling.h"
#include "recordinglist.h"
#include "scripteddialogs.h"
#include "settingsstore.h"
#include "testtree.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>
#include <sys/stat.h>

namespace {

// Every file a small message, so the fillers take them for mail.
void make(const QString& root, const QStringList& entries)
{
    MakeTree(root, entries, "From: a@example.org\r\n\r\nhello\r\n");
}

const QString kExtensionPrompt = QStringLiteral(
    "Enter file extension to load:\r\r(* for all files, txt for all txt files, doc for all doc files, etc.)");

QStringList prefixed(const QString& root, const QStringList& names)
{
    QStringList out;
    for (const QString& name : names)
        out << root + u'/' + name;
    return out;
}

// A list that refuses every append, to see the handlers' guards at work.
class FailingList : public RecordingList {
public:
    void appendItems(const QStringList&) override { throw std::runtime_error("The list is full"); }
};

} // namespace

class TestListFilling : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_root;

    // The tree the folder tests add from.
    void makeMailTree()
    {
        make(m_root, {"Mail/a.eml", "Mail/B.EML", "Mail/~lock.eml", "Mail/note.txt", "Mail/.hidden.eml",
                      "Mail/.directory", "Mail/sub/.DS_Store", "Mail/sub/c.eml", "Mail/sub/deeper/d.eml",
                      "Mail/other/e.eml", "Mail/empty/"});
    }

private slots:
    void init()
    {
        QVERIFY(m_tmp.isValid());
        m_root = m_tmp.path() + QStringLiteral("/") + QTest::currentTestFunction();
        QVERIFY(QDir().mkpath(m_root));
    }

    void addFilesFromTheDialog()
    {
        ScriptedDialogs dialogs;
        RecordingList list;
        dialogs.fileAnswers << QStringList{"/mail/one.eml"}
                            << QStringList{"/mail/b.eml", "/mail//a.EML", "/mail/b.eml"} << QStringList{};
        AddEmlFiles(dialogs, list);
        AddEmlFiles(dialogs, list);
        AddEmlFiles(dialogs, list); // cancelled

        QCOMPARE(list.paths, QStringList({"/mail/one.eml", "/mail/b.eml", "/mail/a.EML", "/mail/b.eml"}));
        QCOMPARE(dialogs.shown.size(), 3);
        for (const auto& shown : std::as_const(dialogs.shown)) {
            QCOMPARE(shown.kind, QStringLiteral("files"));
            QCOMPARE(shown.title, QStringLiteral("Add File(s) - Hold Ctrl to select multiple files"));
            QVERIFY(shown.extra.startsWith(QStringLiteral("EML Files (*.eml)|")));
        }
        QVERIFY(list.busyChanges.isEmpty());
    }

    void cancellingLeavesTheSettingsAlone()
    {
        QTemporaryDir store;
        SettingsStore settings(store.filePath("s.ini"));
        ScriptedDialogs dialogs;
        RecordingList list;

        // The input box cancelled: no picker, "Extension" still absent.
        AddAllFilesInFolder(dialogs, settings, list);
        QCOMPARE(dialogs.shown.size(), 1);
        QCOMPARE(settings.read("Extension", "absent"), QStringLiteral("absent"));

        // The picker cancelled: the extension typed is kept, "LastFolder" is not touched.
        settings.write("LastFolder", "/earlier");
        dialogs.inputAnswers << "txt";
        AddAllFilesInFolder(dialogs, settings, list);
        QCOMPARE(settings.read("Extension"), QStringLiteral("txt"));
        QCOMPARE(settings.read("LastFolder"), QStringLiteral("/earlier"));
        QCOMPARE(dialogs.shown.last().kind, QStringLiteral("folder"));
        QCOMPARE(dialogs.shown.last().extra, QStringLiteral("/earlier"));

        QVERIFY(list.paths.isEmpty());
        QVERIFY(list.busyChanges.isEmpty());
        QVERIFY(dialogs.messages().isEmpty());
    }

    void addAllScansTheWholeTree()
    {
        makeMailTree();
        QTemporaryDir store;
        SettingsStore settings(store.filePath("s.ini"));
        ScriptedDialogs dialogs;
        dialogs.setApplicationTitle("Quillmark Converter");
        RecordingList list;

        dialogs.inputAnswers << "eml";
        dialogs.folderAnswers << m_root + "/Mail/";
        AddAllFilesInFolder(dialogs, settings, list);

        // Hidden files stay out, whatever their extension.
        QCOMPARE(list.paths, prefixed(m_root, {"Mail/a.eml", "Mail/B.EML", "Mail/other/e.eml",
                                               "Mail/sub/c.eml", "Mail/sub/deeper/d.eml"}));
        QCOMPARE(dialogs.shown.size(), 2);
        QCOMPARE(dialogs.shown[0].text, kExtensionPrompt);
        QCOMPARE(dialogs.shown[0].title, QStringLiteral("Quillmark Converter"));
        QCOMPARE(dialogs.shown[0].extra, QStringLiteral("eml"));
        QCOMPARE(dialogs.shown[1].text, QStringLiteral("Please select folder:"));
        QCOMPARE(dialogs.shown[1].extra, QString());
        QCOMPARE(settings.read("Extension"), QStringLiteral("eml"));
        QCOMPARE(settings.read("LastFolder"), m_root + "/Mail");
        QCOMPARE(list.busyChanges, QList<bool>({true, false}));
        QVERIFY(!list.busyAtAppend.contains(false));

        // "*" takes every file; the last answers come back as defaults.
        dialogs.inputAnswers << "*";
        dialogs.folderAnswers << m_root + "/Mail/sub";
        list.paths.clear();
        AddAllFilesInFolder(dialogs, settings, list);
        QCOMPARE(dialogs.shown[2].extra, QStringLiteral("eml"));
        QCOMPARE(dialogs.shown[3].extra, m_root + "/Mail");
        QCOMPARE(list.paths, prefixed(m_root, {"Mail/sub/c.eml", "Mail/sub/deeper/d.eml"}));

        dialogs.inputAnswers << "TXT";
        dialogs.folderAnswers << m_root;
        list.paths.clear();
        AddAllFilesInFolder(dialogs, settings, list);
        QCOMPARE(list.paths, prefixed(m_root, {"Mail/note.txt"}));
        QVERIFY(dialogs.messages().isEmpty());
    }

    void dropTakesFilesAsTheyAreAndFoldersWhole()
    {
        makeMailTree();
        make(m_root, {"Other/x.doc", "Other/~tmp.doc", "loose.txt"});
        ScriptedDialogs dialogs;
        RecordingList list;

        AddDroppedPaths(dialogs,
                        {m_root + "/Other/", m_root + "/loose.txt", m_root + "/Mail", "/nowhere/ghost.EML"},
                        list);

        QCOMPARE(list.paths,
                 prefixed(m_root, {"Other/x.doc", "loose.txt", "Mail/a.eml", "Mail/B.EML", "Mail/note.txt",
                                   "Mail/other/e.eml", "Mail/sub/c.eml", "Mail/sub/deeper/d.eml"})
                     << "/nowhere/ghost.EML");
        QVERIFY(dialogs.shown.isEmpty());
        QVERIFY(list.busyChanges.isEmpty());

        // The same drop again adds everything again: the list keeps duplicates.
        const qsizetype before = list.paths.size();
        AddDroppedPaths({m_root + "/Other"}, list);
        QCOMPARE(list.paths.size(), before + 1);
    }

    void manyFilesArriveInOrderAndInBatches()
    {
        QStringList names;
        for (int i = 0; i < 4500; ++i)
            names << QStringLiteral("many/m%1.eml").arg(i, 5, 10, QLatin1Char('0'));
        make(m_root, names);
        RecordingList list;
        AddDroppedPaths({m_root + "/many"}, list);
        QCOMPARE(list.paths, prefixed(m_root, names));
        QVERIFY2(list.busyAtAppend.size() < 10, "items must not reach the list one by one");
    }

    void unreadableFoldersInADropAreNamedNotFatal()
    {
        QM_RUN_UNPRIVILEGED();

        make(m_root, {"Top/ok.eml", "Top/locked/secret.eml", "Top/open/fine.eml", "Sealed/inner.eml"});
        const QByteArray locked = QFile::encodeName(m_root + "/Top/locked");
        const QByteArray sealed = QFile::encodeName(m_root + "/Sealed");
        QVERIFY(::chmod(locked.constData(), 0) == 0);
        QVERIFY(::chmod(sealed.constData(), 0) == 0);

        ScriptedDialogs dialogs;
        RecordingList list;
        AddDroppedPaths(dialogs, {m_root + "/Sealed", m_root + "/Top"}, list);
        RecordingList quiet;
        AddDroppedPaths({m_root + "/Sealed", m_root + "/Top"}, quiet);
        ::chmod(locked.constData(), 0755);
        ::chmod(sealed.constData(), 0755);

        QCOMPARE(list.paths, prefixed(m_root, {"Top/ok.eml", "Top/open/fine.eml"}));
        QCOMPARE(quiet.paths, list.paths);
        QCOMPARE(dialogs.messages().size(), 1);
        QVERIFY(dialogs.messages().first().contains(m_root + "/Sealed\r\n" + m_root + "/Top/locked"));
        QCOMPARE(dialogs.shown.first().style, Dialogs::OkOnly);
    }

    void failuresAreReportedAndTheHandlersGoOn()
    {
        makeMailTree();
        ScriptedDialogs dialogs;
        FailingList list;
        dialogs.fileAnswers << QStringList{"/a.eml", "/b.eml"};
        AddEmlFiles(dialogs, list);
        QCOMPARE(dialogs.messages().size(), 1);
        QVERIFY(dialogs.messages().first().startsWith(
            "The list is full\r\nin Quillmark2021/08/31.Form1.PushButton1_Click at line 140\r\r"));
        QCOMPARE(dialogs.shown.last().title, QStringLiteral("Application Error"));

        // The busy pointer comes back although the appends failed.
        QTemporaryDir store;
        SettingsStore settings(store.filePath("s.ini"));
        dialogs.shown.clear();
        dialogs.inputAnswers << "eml";
        dialogs.folderAnswers << m_root + "/Mail";
        AddAllFilesInFolder(dialogs, settings, list);
        QVERIFY(!dialogs.messages().isEmpty());
        for (const QString& report : dialogs.messages())
            QVERIFY(report.contains("in Quillmark2021/08/31.Form1.PushButton4_Click at line 132"));
        QCOMPARE(list.busyChanges, QList<bool>({true, false}));
    }
};

QTEST_MAIN(TestListFilling)
#include "test_listfilling.moc"
