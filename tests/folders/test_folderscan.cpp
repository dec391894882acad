#include "folderscan.h"
#include "scripteddialogs.h"
#include "testtree.h"
#include "unprivilegedrun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The scan's result relative to the root, so failures read well.
QStringList relative(const QString& root, const FolderList& folders)
{
    QStringList out;
    for (const QString& folder : folders)
        out << (folder.startsWith(root) ? folder.mid(root.size()) : folder);
    return out;
}

// What the scans of the running test reported; cleanup() fails the test
// when there is anything.
QStringList g_unexpectedReports;

FolderList scan(const QString& start, bool recurse = true, FolderList* unreadable = nullptr)
{
    ScriptedDialogs dialogs;
    FolderList folders{start};
    GetSubDirectories2016(dialogs, folders, recurse, unreadable);
    // The scan reports only the unexpected; none of these trees is.
    g_unexpectedReports += dialogs.messages();
    return folders;
}

} // namespace

class TestFolderScan : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        const QStringList reports = std::exchange(g_unexpectedReports, {});
        QVERIFY2(reports.isEmpty(), qPrintable(QStringLiteral("unexpected report: ") + reports.join(u'\n')));
    }

    void levelByLevelInNameOrder()
    {
        QTemporaryDir tmp;
        const QString root = tmp.path() + u'/';
        MakeTree(tmp.path(), {"A/B/C/", "A/D/"});
        QCOMPARE(relative(root, scan(root + "A/")), QStringList({"A/", "A/B/", "A/D/", "A/B/C/"}));

        // Deeper and wider: each level complete before the next, families in
        // the order of their parents, names ordered ignoring letter case.
        MakeTree(tmp.path(), {"T/d/x/", "T/B/z/", "T/B/Y/", "T/B/z/deep/", "T/a/"});
        QCOMPARE(relative(root, scan(root + "T/")),
                 QStringList({"T/", "T/a/", "T/B/", "T/d/", "T/B/Y/", "T/B/z/", "T/d/x/", "T/B/z/deep/"}));

        QCOMPARE(relative(root, scan(root + "T/", false)), QStringList({"T/", "T/a/", "T/B/", "T/d/"}));
    }

    void leavesAndOddStarts()
    {
        QTemporaryDir tmp;
        const QString root = tmp.path() + u'/';
        MakeTree(tmp.path(), {"leaf/file.eml"});
        QCOMPARE(relative(root, scan(root + "leaf/")), QStringList({"leaf/"}));

        // A starting entry that is no folder is passed over and left as it was.
        QCOMPARE(relative(root, scan(root + "missing/")), QStringList({"missing/"}));
    }

    void hiddenAndForeignNamesAreScannedOddOnesSkipped()
    {
        QTemporaryDir tmp;
        const QString root = tmp.path() + u'/';
        MakeTree(tmp.path(), {"S/.hidden/inner/", QStringLiteral("S/Ελληνικά/"), QStringLiteral("S/日本/"),
                              "S/why?/", QStringLiteral("S/bell\u0007/"), QStringLiteral("S/c1\u0085/")});
        // A name that is not valid in the file-name encoding.
        const QByteArray undecodable = QFile::encodeName(root + "S/").append("bad\xff");
        QVERIFY(::mkdir(undecodable.constData(), 0755) == 0);
        const FolderList result = scan(root + "S/");
        ::rmdir(undecodable.constData()); // QTemporaryDir cannot name it to remove it

        QCOMPARE(relative(root, result),
                 QStringList({"S/", "S/.hidden/", QStringLiteral("S/why?/"), QStringLiteral("S/Ελληνικά/"),
                              QStringLiteral("S/日本/"), "S/.hidden/inner/"}));
    }

    void symlinkLoopsEndAndLinkedFoldersAreScannedOnce()
    {
        QTemporaryDir tmp;
        const QString root = tmp.path() + u'/';
        MakeTree(tmp.path(), {"A/B/", "X/Y/"});
        QVERIFY(QFile::link(root + "A", root + "A/B/up"));    // back to the start
        QVERIFY(QFile::link(root + "A/B", root + "A/same"));  // a folder already found
        QVERIFY(QFile::link(root + "X", root + "A/outside")); // new ground
        QVERIFY(QFile::link(root + "nowhere", root + "A/dangling"));

        QCOMPARE(relative(root, scan(root + "A/")),
                 QStringList({"A/", "A/B/", "A/outside/", "A/outside/Y/"}));
    }

    void unreadableFolderIsDroppedWhileSiblingsStay()
    {
        QM_RUN_UNPRIVILEGED();

        QTemporaryDir tmp;
        const QString root = tmp.path() + u'/';
        MakeTree(tmp.path(), {"A/B/hidden/", "A/C/D/", "A/E/"});
        QVERIFY(::chmod(QFile::encodeName(root + "A/B").constData(), 0) == 0);

        FolderList unreadable;
        const FolderList result = scan(root + "A/", true, &unreadable);
        ::chmod(QFile::encodeName(root + "A/B").constData(), 0755);

        QCOMPARE(relative(root, result), QStringList({"A/", "A/C/", "A/E/", "A/C/D/"}));
        QCOMPARE(relative(root, unreadable), QStringList({"A/B/"}));

        // An unreadable starting folder leaves the list altogether.
        QVERIFY(::chmod(QFile::encodeName(root + "A").constData(), 0) == 0);
        const FolderList start = scan(root + "A/");
        ::chmod(QFile::encodeName(root + "A").constData(), 0755);
        QVERIFY2(start.isEmpty(), qPrintable(start.join(u' ')));
    }

    void oddCharacters()
    {
        for (const QString& fine :
             {QString(), QStringLiteral("why?"), QStringLiteral("Почта 日本 😀"), QStringLiteral("Résumé ÿ")})
            QVERIFY2(!HasOddCharacters(fine), qPrintable(fine));
        for (const QString& odd :
             {QStringLiteral("a\tb"), QStringLiteral("a\u007f"), QStringLiteral("a\u009f"),
              QStringLiteral("a\ufffd"), QString(QChar(0xD800))})
            QVERIFY2(HasOddCharacters(odd), qPrintable(odd));
    }

    void listsMatchingRegularFilesInNameOrder()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.path();
        MakeTree(dir,
                 {"b.eml", "NOTE.EML", "a.Eml", ".hidden.eml", "a.emlx", "README", "x.eml/", "sub/c.eml"});
        QVERIFY(QFile::link(dir + "/b.eml", dir + "/link.eml"));
        QVERIFY(QFile::link(dir + "/gone", dir + "/dangling.eml"));
        QVERIFY(::mkfifo(QFile::encodeName(dir + "/pipe.eml").constData(), 0644) == 0);

        const QStringList eml = {".hidden.eml", "a.Eml", "b.eml", "link.eml", "NOTE.EML"};
        QCOMPARE(ListFilesInFolder(dir, "*.eml"), eml);
        QCOMPARE(ListFilesInFolder(dir + u'/', "*.EML"), eml);
        QCOMPARE(ListFilesInFolder(dir, "*.*"),
                 QStringList({".hidden.eml", "a.Eml", "a.emlx", "b.eml", "link.eml", "NOTE.EML", "README"}));
        QCOMPARE(ListFilesInFolder(dir, "?.eml*"), QStringList({"a.Eml", "a.emlx", "b.eml"}));
        QVERIFY(ListFilesInFolder(dir, "*.txt").isEmpty());
        QVERIFY(ListFilesInFolder(dir + "/missing", "*.*").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFolderScan)
#include "test_folderscan.moc"
