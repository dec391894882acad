#include "paths.h"
#include "scripteddialogs.h"
#include "steperror.h"
#include "stepguard.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kReadLocation = QStringLiteral("in Quillmark2021/08/31.Main.ReadFileToString ");

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestPaths : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString at(const QString& name) const { return m_dir.path() + u'/' + name; }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void splitsPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("folder");
        QTest::newRow("file in folder") << "/Mail/a.eml"
                                        << "a.eml"
                                        << "/Mail/";
        QTest::newRow("folder only") << "/Mail/"
                                     << ""
                                     << "/Mail/";
        QTest::newRow("bare name") << "a.eml"
                                   << "a.eml"
                                   << "";
        QTest::newRow("share") << "//server/share/a.eml"
                               << "a.eml"
                               << "//server/share/";
        QTest::newRow("empty") << ""
                               << ""
                               << "";
    }
    void splitsPaths()
    {
        QFETCH(QString, path);
        QFETCH(QString, fileName);
        QFETCH(QString, folder);
        QCOMPARE(GetFileName(path), fileName);
        QCOMPARE(GetFolderPart(path), folder);
    }

    void stripsTheLastExtension()
    {
        QCOMPARE(StripExtension(QStringLiteral("week.report")), QStringLiteral("week"));
        QCOMPARE(StripExtension(QStringLiteral("a.eml")), QStringLiteral("a"));
        QCOMPARE(StripExtension(QStringLiteral(".eml")), QStringLiteral(".eml"));
        QCOMPARE(StripExtension(QStringLiteral("note")), QStringLiteral("note"));
        QCOMPARE(StripExtension(QStringLiteral("a.")), QStringLiteral("a"));
        QCOMPARE(StripExtension(QStringLiteral("a.b.c")), QStringLiteral("a.b"));
        QCOMPARE(StripExtension(QString()), QString());
    }

    void collapsesSeparators_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("collapsed");
        QTest::newRow("doubled") << "C://Mail//a.eml"
                                 << "C:/Mail/a.eml";
        QTest::newRow("three become two") << "a///b"
                                          << "a//b";
        QTest::newRow("four become two") << "C:////x"
                                         << "C://x";
        QTest::newRow("share prefix of three") << "///server//share/a"
                                               << "//server/share/a";
        QTest::newRow("root stays single") << "/folder//a"
                                           << "/folder/a";
        QTest::newRow("leading two kept") << "//x"
                                          << "//x";
        QTest::newRow("separators only") << "/////"
                                         << "//";
        QTest::newRow("empty") << ""
                               << "";
    }
    void collapsesSeparators()
    {
        QFETCH(QString, path);
        QFETCH(QString, collapsed);
        QCOMPARE(CollapseSeparators(path), collapsed);
    }

    void testsFilesAndFolders()
    {
        const QString file = at(QStringLiteral("exists.txt"));
        writeBytes(file, "x");
        QVERIFY(PathExists(file));
        QVERIFY(IsExistingFile(file));
        QVERIFY(!IsFolder(file));

        QVERIFY(IsFolder(m_dir.path()));
        QVERIFY(IsFolder(m_dir.path() + u'/'));
        QVERIFY(PathExists(m_dir.path()));
        QVERIFY(!IsExistingFile(m_dir.path()));

        const QString missing = at(QStringLiteral("missing.txt"));
        QVERIFY(!PathExists(missing));
        QVERIFY(!IsFolder(missing));
        QVERIFY(!IsExistingFile(missing));
        QVERIFY(!PathExists(QString()) && !IsFolder(QString()) && !IsExistingFile(QString()));

        const QString broken = at(QStringLiteral("broken-link"));
        QVERIFY(QFile::link(missing, broken));
        QVERIFY(!IsExistingFile(broken));

        // '*' and '?' are ordinary characters in names here.
        const QString starred = at(QStringLiteral("a*b?.eml"));
        writeBytes(starred, "x");
        QVERIFY(IsExistingFile(starred));
    }

    void readsMissingAndEmptyFilesWithoutAMessage()
    {
        ScriptedDialogs dialogs;
        QCOMPARE(ReadFileToString(at(QStringLiteral("nothing-here")), dialogs), QString());
        const QString empty = at(QStringLiteral("empty.eml"));
        writeBytes(empty, {});
        QCOMPARE(ReadFileToString(empty, dialogs), QStringLiteral("empty file"));
        QVERIFY(dialogs.shown.isEmpty());
    }

    void readsTwoByteText()
    {
        ScriptedDialogs dialogs;
        const QString littleEndian = at(QStringLiteral("ff-fe.txt"));
        writeBytes(littleEndian, QByteArray("\xFF\xFEH\0i\0\x3A\x04", 8));
        QCOMPARE(ReadFileToString(littleEndian, dialogs), QStringView(u"\uFEFFHi\u043A").toString());

        // FE FF is read the same way, so its characters come out byte-swapped;
        // a last byte without a partner is dropped.
        const QString bigEndian = at(QStringLiteral("fe-ff.txt"));
        writeBytes(bigEndian, QByteArray("\xFE\xFF\0H\0", 5));
        QCOMPARE(ReadFileToString(bigEndian, dialogs), QStringView(u"\uFFFE\u4800").toString());
        QVERIFY(dialogs.shown.isEmpty());
    }

    void everyByteSurvivesAReadAndWrite()
    {
        ScriptedDialogs dialogs;
        QByteArray all;
        for (int round = 0; round < 2; ++round)
            for (int b = 0; b < 256; ++b)
                all.append(char(b));
        all.prepend("Subject: \r\n\n\r"); // must not start with FF or FE
        const QString path = at(QStringLiteral("bytes.eml"));
        writeBytes(path, all);
        const QString text = ReadFileToString(path, dialogs);
        QCOMPARE(text.size(), all.size());
        WriteTextFile(text, path);
        QCOMPARE(bytesOf(path), all);

        // Two-byte text goes back as two-byte text, mark included.
        const QByteArray wide("\xFF\xFE\x41\x00\x3A\x04\x0D\x00\x0A\x00", 10);
        writeBytes(path, wide);
        WriteTextFile(ReadFileToString(path, dialogs), path);
        QCOMPARE(bytesOf(path), wide);
        QVERIFY(dialogs.shown.isEmpty());
    }

    void reportsAnUnreadableFileOnceWithItsPath()
    {
        ScriptedDialogs dialogs;
        // A folder exists and has a length, but cannot be read as a file.
        QCOMPARE(ReadFileToString(m_dir.path(), dialogs), QString());
        QCOMPARE(dialogs.shown.size(), 1);
        const QString report = dialogs.shown[0].text;
        QVERIFY2(report.contains(kReadLocation + QStringLiteral("at line 104\r\r")), qPrintable(report));
        QVERIFY(report.endsWith(QStringLiteral("support@velmora.example\r\nf: ") + m_dir.path()));
        QCOMPARE(dialogs.shown[0].title, QStringLiteral("Application Error"));

        if (::geteuid() == 0)
            QSKIP("root reads files whatever their mode");
        const QString locked = at(QStringLiteral("locked.eml"));
        writeBytes(locked, "From: x\r\n");
        QVERIFY(QFile::setPermissions(locked, {}));
        QCOMPARE(ReadFileToString(locked, dialogs), QString());
        QCOMPARE(dialogs.shown.size(), 2);
        QVERIFY(dialogs.shown[1].text.endsWith(QStringLiteral("\r\nf: ") + locked));
    }

    void writeFailuresPassToTheCaller()
    {
        QVERIFY_THROWS_EXCEPTION(StepError,
                                 WriteTextFile(QStringLiteral("x"), at(QStringLiteral("no/such/a.mht"))));
        QVERIFY_THROWS_EXCEPTION(StepError, WriteBytesIfAbsent("x", at(QStringLiteral("no/such/a.bin"))));
    }

    void workFilesNeverWriteThroughALink()
    {
        // Someone plants links where the run will write its work files.
        const QString victim = at(QStringLiteral("victim.txt"));
        writeBytes(victim, "keep me");
        const QString page = at(QStringLiteral("planted.mht"));
        const QString copy = at(QStringLiteral("planted-copy.mht"));
        QVERIFY(QFile::link(victim, page));
        QVERIFY(QFile::link(victim, copy));
        const QString source = at(QStringLiteral("message.eml"));
        writeBytes(source, "From: a\r\n\r\nbody");

        QVERIFY_THROWS_EXCEPTION(StepError, WriteTextFile(QStringLiteral("page"), page));
        CopyFileChecked(source, copy);

        QCOMPARE(bytesOf(victim), QByteArray("keep me"));
        // The copy took the link's place instead.
        QVERIFY(!QFileInfo(copy).isSymLink());
        QCOMPARE(bytesOf(copy), QByteArray("From: a\r\n\r\nbody"));
    }

    void writesBytesOnlyWhenAbsent()
    {
        const QString path = at(QStringLiteral("tool.bin"));
        const QByteArray bytes("\0\x01\xFFzz", 5);
        WriteBytesIfAbsent(bytes, path);
        QCOMPARE(bytesOf(path), bytes);
        WriteBytesIfAbsent("other", path);
        QCOMPARE(bytesOf(path), bytes);
    }

    void deletesQuietlyAndForcibly()
    {
        DeleteFileQuietly(at(QStringLiteral("never-was")));
        DeleteFileQuietly(QString());
        QVERIFY_THROWS_EXCEPTION(StepError, ForceDeleteFile(at(QStringLiteral("never-was"))));

        // A read-only file in a read-only folder still goes; the folder keeps its mode.
        const QString folder = at(QStringLiteral("locked-folder"));
        QVERIFY(QDir().mkpath(folder));
        const QString file = folder + QStringLiteral("/ro.mht");
        writeBytes(file, "x");
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0444) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
        DeleteFileQuietly(file);
        QVERIFY(!PathExists(file));
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(folder).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0555));
        ::chmod(QFile::encodeName(folder).constData(), 0755);

        const QString second = at(QStringLiteral("ro2.mht"));
        writeBytes(second, "x");
        QVERIFY(QFile::setPermissions(second, QFileDevice::ReadOwner));
        ForceDeleteFile(second);
        QVERIFY(!PathExists(second));
    }

    void copiesOnlyFromAFileIntoAFolder()
    {
        const QString source = at(QStringLiteral("source.eml"));
        writeBytes(source, "new content");

        CopyFileChecked(source, at(QStringLiteral("no-folder/copy.eml")));
        QVERIFY(!PathExists(at(QStringLiteral("no-folder"))));

        // No separator: no folder part, nothing copied (and nothing lands in the working folder).
        CopyFileChecked(source, QStringLiteral("found-copy-without-folder.eml"));
        QVERIFY(!PathExists(QStringLiteral("found-copy-without-folder.eml")));

        CopyFileChecked(at(QStringLiteral("absent.eml")), at(QStringLiteral("copy.eml")));
        QVERIFY(!PathExists(at(QStringLiteral("copy.eml"))));
        CopyFileChecked(QStringLiteral("   "), at(QStringLiteral("copy.eml")));
        QVERIFY(!PathExists(at(QStringLiteral("copy.eml"))));

        const QString target = at(QStringLiteral("target.eml"));
        writeBytes(target, "old content that is longer");
        CopyFileChecked(source, target);
        QCOMPARE(bytesOf(target), QByteArray("new content"));

        // Doubled separators are tidied before the copy.
        const QString doubled = m_dir.path() + QStringLiteral("//doubled.eml");
        CopyFileChecked(source, doubled);
        QCOMPARE(bytesOf(at(QStringLiteral("doubled.eml"))), QByteArray("new content"));
    }

    void tempFolderIsAFolderOfItsOwnInTempOrTheSystemsTemporaryFolder()
    {
        const QByteArray saved = qgetenv("TEMP");
        const QString own = QStringLiteral("/quillmark-") + QString::number(::getuid());
        qputenv("TEMP", "/some/where/");
        QCOMPARE(TempFolder(), QStringLiteral("/some/where") + own);
        qunsetenv("TEMP");
        QCOMPARE(TempFolder(), QDir::tempPath() + own);
        if (!saved.isNull())
            qputenv("TEMP", saved);
    }

    // Names for line-based files and for work files, from legal names.
    void namesForLoadFilesAndWorkFiles()
    {
        QCOMPARE(VisibleName(QStringLiteral("a\nb\rc\td\u0085e\u2028f.eml")),
                 QStringLiteral("a_b_c_d_e_f.eml"));
        QCOMPARE(VisibleName(QStringLiteral("Grüße, 1.eml")), QStringLiteral("Grüße, 1.eml"));

        QCOMPARE(WorkName(QStringLiteral("short")), QStringLiteral("short"));
        const QString longStem = QString(240, QChar(u'\u00E4')); // 480 bytes
        const QString work = WorkName(longStem);
        QVERIFY(QFile::encodeName(work).size() <= 96);
        QVERIFY(work.startsWith(QString(32, QChar(u'\u00E4')) + QLatin1Char('-')));
        QVERIFY(WorkName(longStem + QLatin1Char('x')) != work);
        QCOMPARE(WorkName(longStem), work);
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "test_paths.moc"
