#pragma once

// Folder permissions do not stop root, and the tests may well run as root. A
// test about an unreadable folder therefore runs itself again as the user
// "nobody", in a child process of this same test program, and passes when
// that child passes.

#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QtTest>

#include <grp.h>
#include <unistd.h>

namespace unprivileged {

constexpr uid_t kNobody = 65534;

inline bool isRoot()
{
    return ::geteuid() == 0;
}

// Runs one test function of this program as "nobody". Returns false (and
// says why in `output`) when the child could not be started at all, so the
// caller can skip rather than fail.
inline bool runTestFunction(const char* function, bool& passed, QString& output)
{
    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments({QString::fromLatin1(function)});
    child.setProcessChannelMode(QProcess::MergedChannels);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), QStringLiteral("/tmp"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    child.setProcessEnvironment(env);
    child.setChildProcessModifier([] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(125);
    });
    child.start();
    if (!child.waitForFinished(60000)) {
        output = QStringLiteral("the child did not finish: ") + child.errorString();
        return false;
    }
    output = QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() == 125)
        return false;
    passed = child.exitCode() == 0;
    return true;
}

} // namespace unprivileged

// In a test function whose checks need folder permissions to bite: as root,
// hand the whole function to an unprivileged child and report its outcome.
#define QM_RUN_UNPRIVILEGED()                                                                                \
    do {                                                                                                     \
        if (unprivileged::isRoot()) {                                                                        \
            bool passed = false;                                                                             \
            QString output;                                                                                  \
            if (!unprivileged::runTestFunction(QTest::currentTestFunction(), passed, output))                \
                QSKIP(qPrintable(QStringLiteral("cannot run as an unprivileged user: ") + output));          \
            QVERIFY2(passed, qPrintable(output));                                                            \
            return;                                                                                          \
        }                                                                                                    \
    } while (false)
