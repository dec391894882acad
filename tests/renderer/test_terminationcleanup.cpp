#include "terminationcleanup.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

// The handler ends the process, so each case runs in a child of its own.
class TestTerminationCleanup : public QObject {
    Q_OBJECT

    static void touch(const QString& path)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
    }

private slots:
    void endedToolLeavesNoWorkFolderWhateverItHolds()
    {
        QTemporaryDir dir;
        const QString work = dir.filePath(QStringLiteral("vexlo-work"));
        const QString output = dir.filePath(QStringLiteral(".vexlo-1.tiff.part"));
        QVERIFY(QDir().mkdir(work));
        touch(work + QStringLiteral("/pages.pdf"));
        // What the office engine keeps beside a PDF while it writes it.
        touch(work + QStringLiteral("/.~lock.pages.pdf#"));
        touch(work + QStringLiteral("/lu1234.tmp"));
        touch(output);
        // Pages written one per file, not yet moved into place.
        const QString pages = dir.filePath(QStringLiteral(".vexlo-2.part"));
        QVERIFY(QDir().mkdir(pages));
        touch(pages + QStringLiteral("/1.tiff"));
        touch(pages + QStringLiteral("/2.tiff"));
        const QString kept = dir.filePath(QStringLiteral("kept.eml"));
        touch(kept);

        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            InstallTerminationCleanup();
            SetCleanupPath(CleanupSlot::WorkFolder, work);
            SetCleanupPath(CleanupSlot::PartialPages, pages);
            SetCleanupPath(CleanupSlot::PartialOutput, output);
            ::raise(SIGTERM);
            ::_exit(0); // not reached when the handler runs
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 128 + SIGTERM);
        QVERIFY(!QFileInfo::exists(work));
        QVERIFY(!QFileInfo::exists(output));
        QVERIFY(!QFileInfo::exists(pages));
        QVERIFY(QFileInfo::exists(kept));
    }
};

QTEST_GUILESS_MAIN(TestTerminationCleanup)
#include "test_terminationcleanup.moc"
