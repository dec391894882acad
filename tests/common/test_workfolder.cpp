#include "paths.h"
#include "workfolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

void touch(const QString& path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

void makeOlder(const QString& path, int seconds)
{
    const timeval then{time(nullptr) - seconds, 0};
    const timeval times[2] = {then, then};
    QVERIFY(::utimes(QFile::encodeName(path).constData(), times) == 0);
}

// A folder as this program leaves it when killed: marked, with work in it.
void leaveRunFolder(const QString& folder)
{
    QVERIFY(QDir().mkpath(folder));
    touch(folder + QStringLiteral("/.lock"));
    touch(folder + QStringLiteral("/a.mht"));
}

} // namespace

// The program's own folder for work files and the run folders in it.
class TestWorkFolder : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_temp; // what TEMP names in each test
    QByteArray m_savedTemp;

private slots:
    void initTestCase() { m_savedTemp = qgetenv("TEMP"); }
    void cleanupTestCase()
    {
        if (m_savedTemp.isNull())
            qunsetenv("TEMP");
        else
            qputenv("TEMP", m_savedTemp);
    }
    void init()
    {
        m_temp = m_dir.path() + QLatin1Char('/') + QString::fromLatin1(QTest::currentTestFunction());
        QVERIFY(QDir().mkpath(m_temp));
        qputenv("TEMP", QFile::encodeName(m_temp));
    }

    // Folders of the user's own in TEMP, whatever their names, are none of
    // the program's business: runs work one level down, in a folder of
    // their own, and leave TEMP as they found it.
    void runsLeaveTheUsersFoldersInTempAlone()
    {
        const QString own = m_temp + QStringLiteral("/quillmark-") + QString::number(::getuid());
        QCOMPARE(TempFolder(), own);
        leaveRunFolder(m_temp + QStringLiteral("/run-holiday"));
        QVERIFY(QDir().mkpath(m_temp + QStringLiteral("/new-plans")));
        makeOlder(m_temp + QStringLiteral("/new-plans"), 3600);
        QStringList expected = QDir(m_temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        expected << QStringLiteral("quillmark-%1").arg(::getuid());
        expected.sort();

        {
            const RunWorkFolder run(TempFolder());
            QVERIFY2(run.isValid(), qPrintable(run.problem()));
            QCOMPARE(QFileInfo(run.path()).absolutePath(), own);
        }
        QVERIFY(QFileInfo::exists(m_temp + QStringLiteral("/run-holiday/a.mht")));
        QVERIFY(QFileInfo::exists(m_temp + QStringLiteral("/new-plans")));
        QCOMPARE(QDir(m_temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), expected);
        QVERIFY(QDir(own).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));

        struct stat st {};
        QVERIFY(::lstat(QFile::encodeName(own).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0700));
    }

    void anOwnFolderThatIsALinkOrAnotherUsersIsRefused()
    {
        const QString own = TempFolder();
        const QString elsewhere = m_temp + QStringLiteral("/elsewhere");
        QVERIFY(QDir().mkpath(elsewhere));
        QVERIFY(QFile::link(elsewhere, own));
        {
            const RunWorkFolder run(own);
            QVERIFY(!run.isValid());
            QVERIFY2(run.problem().contains(QStringLiteral("set TEMP to a folder of your own")),
                     qPrintable(run.problem()));
        }
        QVERIFY(QDir(elsewhere).isEmpty());

        QVERIFY(QFile::remove(own));
        QVERIFY(QDir().mkdir(own));
        if (::getuid() != 0)
            QSKIP("only root can give a folder to another user");
        QVERIFY(::chown(QFile::encodeName(own).constData(), 65534, 65534) == 0);
        const RunWorkFolder run(own);
        QVERIFY(!run.isValid());
        QVERIFY(run.problem().contains(QStringLiteral("belongs to another user")));
    }

    void aWorkFolderThatCannotBeMadeSaysWhy()
    {
        qputenv("TEMP", QFile::encodeName(m_temp + QStringLiteral("/missing")));
        const RunWorkFolder run(TempFolder());
        QVERIFY(!run.isValid());
        QVERIFY2(run.problem().contains(m_temp + QStringLiteral("/missing does not exist")),
                 qPrintable(run.problem()));
        QVERIFY(run.problem().contains(QStringLiteral("set TEMP to a folder that exists")));
    }

    // One left by a run killed outright, one of a run still going, one that
    // is no folder of ours, and folders killed between making and marking.
    void onlyFoldersOfProcessesThatDiedAreRemoved()
    {
        const QString own = TempFolder();
        QCOMPARE(PrepareOwnFolder(own), QString());
        const QString dead = own + QStringLiteral("/run-dead01");
        const QString deadHost = own + QStringLiteral("/host-dead02");
        const QString alive = own + QStringLiteral("/run-alive1");
        const QString unmarked = own + QStringLiteral("/run-notour");
        const QString halfMadeLong = own + QStringLiteral("/new-old001");
        const QString halfMadeNow = own + QStringLiteral("/new-now001");
        for (const QString& folder : {dead, deadHost, alive})
            leaveRunFolder(folder);
        for (const QString& folder : {unmarked, halfMadeLong, halfMadeNow})
            QVERIFY(QDir().mkpath(folder));
        makeOlder(halfMadeLong, 3600);
        const int held = ::open(QFile::encodeName(alive + QStringLiteral("/.lock")).constData(), O_RDWR);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);

        {
            const RunWorkFolder next(own);
            QVERIFY(next.isValid());
            QVERIFY(!QFileInfo::exists(dead));
            QVERIFY(!QFileInfo::exists(deadHost));
            QVERIFY(!QFileInfo::exists(halfMadeLong));
            // A process killed while this run works leaves its folder; it
            // goes when the run ends.
            leaveRunFolder(dead);
        }
        ::close(held);
        QVERIFY(!QFileInfo::exists(dead));
        QVERIFY(QFileInfo::exists(alive + QStringLiteral("/a.mht")));
        QVERIFY(QFileInfo::exists(unmarked));
        QVERIFY(QFileInfo::exists(halfMadeNow));
    }

    void runsStartingTogetherNeverRemoveEachOthersFolders()
    {
        // Each start clears abandoned folders while the others are being
        // made; none may take a new one for abandoned.
        const QString own = TempFolder();
        std::atomic<int> lost{0};
        const auto runs = [&] {
            for (int i = 0; i < 40; ++i) {
                const RunWorkFolder folder(own);
                QFile file(folder.path() + QStringLiteral("/a.mht"));
                if (!folder.isValid() || !file.open(QIODevice::WriteOnly) ||
                    !QFileInfo::exists(folder.path()))
                    ++lost;
            }
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back(runs);
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(lost.load(), 0);
        QVERIFY(QDir(own).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWorkFolder)
#include "test_workfolder.moc"
