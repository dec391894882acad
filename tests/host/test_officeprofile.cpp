#include "lokruntime.h"

#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The pool of LibreOffice profiles: one per running host, never shared.
class TestOfficeProfile : public QObject {
    Q_OBJECT

private slots:
    void profilesInUseAreSkippedAndFreedOnRelease()
    {
        QTemporaryDir pool;
        auto first = OfficeProfile::acquire(pool.path());
        auto second = OfficeProfile::acquire(pool.path());
        QCOMPARE(first->folder(), pool.path() + QStringLiteral("/office-profile-1"));
        QCOMPARE(second->folder(), pool.path() + QStringLiteral("/office-profile-2"));
        QVERIFY(first->url().startsWith(QStringLiteral("file:///")));
        first.reset();
        QCOMPARE(OfficeProfile::acquire(pool.path())->folder(),
                 pool.path() + QStringLiteral("/office-profile-1"));
    }

    void lockOfAHostThatDiedIsTakenOver()
    {
        QTemporaryDir pool;
        QProcess gone;
        gone.start(QStringLiteral("sleep"), {QStringLiteral("0.1")});
        QVERIFY(gone.waitForStarted());
        const qint64 deadPid = gone.processId();
        QVERIFY(gone.waitForFinished());
        // A lock file exactly as a host leaves it when killed, naming the dead process.
        QByteArray content;
        {
            QLockFile sample(pool.path() + QStringLiteral("/sample.lock"));
            QVERIFY(sample.tryLock());
            QFile file(pool.path() + QStringLiteral("/sample.lock"));
            QVERIFY(file.open(QIODevice::ReadOnly));
            content = file.readAll();
        }
        content = QByteArray::number(deadPid) + content.mid(content.indexOf('\n'));
        QFile lock(pool.path() + QStringLiteral("/office-profile-1.lock"));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(content);
        lock.close();
        QCOMPARE(OfficeProfile::acquire(pool.path())->folder(),
                 pool.path() + QStringLiteral("/office-profile-1"));
    }

    void fullPoolIsAClearError()
    {
        QTemporaryDir pool;
        std::vector<std::unique_ptr<OfficeProfile>> held;
        try {
            for (int i = 0; i < 100; ++i)
                held.push_back(OfficeProfile::acquire(pool.path()));
            QFAIL("the pool never ran out");
        } catch (const std::runtime_error& e) {
            QVERIFY(QString::fromUtf8(e.what()).contains(QStringLiteral("in use")));
        }
        QVERIFY(held.size() >= 2);
    }

    // Whatever the profile held, documents may neither fetch what they link
    // to nor run macros; the profile's other settings stay.
    void safeguardsReplaceWhatTheProfileHeld()
    {
        QTemporaryDir dir;
        const QString settings = dir.filePath(QStringLiteral("user/registrymodifications.xcu"));
        WriteProfileSafeguards(dir.path());
        QFile fresh(settings);
        QVERIFY(fresh.open(QIODevice::ReadOnly));
        QVERIFY(fresh.readAll().contains("BlockUntrustedRefererLinks\" oor:op=\"fuse\"><value>true<"));
        fresh.close();

        QVERIFY(fresh.open(QIODevice::WriteOnly | QIODevice::Truncate));
        fresh.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<oor:items xmlns:oor=\"x\">\n"
                    "<item oor:path=\"/org.openoffice.Office.Common/Misc\"><prop oor:name=\"FirstRun\" "
                    "oor:op=\"fuse\"><value>false</value></prop></item>\n"
                    "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\"><prop "
                    "oor:name=\"MacroSecurityLevel\" oor:op=\"fuse\"><value>1</value></prop></item>\n"
                    "</oor:items>\n");
        fresh.close();
        WriteProfileSafeguards(dir.path());
        WriteProfileSafeguards(dir.path());

        QVERIFY(fresh.open(QIODevice::ReadOnly));
        const QByteArray text = fresh.readAll();
        QCOMPARE(text.count("MacroSecurityLevel"), 1);
        QVERIFY(text.contains("MacroSecurityLevel\" oor:op=\"fuse\"><value>3<"));
        QCOMPARE(text.count("BlockUntrustedRefererLinks"), 1);
        QVERIFY(text.contains("FirstRun"));
        QVERIFY(text.trimmed().endsWith("</oor:items>"));
    }
};

QTEST_GUILESS_MAIN(TestOfficeProfile)
#include "test_officeprofile.moc"
