// Time from a process's start to the main window shown, with the window's own
// start-up: the skin, the settings, and the office check that waits for the
// office host to answer. Each round is a fresh process (this program started
// again with --once), so nothing is warm but the machine's caches. Prints
// figures; judges nothing.
//   bench_startup PROGRAM_DIR [rounds, default 7]

#include "form1.h"
#include "officechecks.h"
#include "officeengine.h"
#include "officehostclient.h"
#include "qtdialogs.h"
#include "settingsstore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

// Seconds since this process was started by the kernel.
double secondsSinceProcessStart()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    const double startTicks = fields.value(19).toDouble(); // field 22 of the whole line
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return now.tv_sec + now.tv_nsec / 1e9 - startTicks / double(sysconf(_SC_CLK_TCK));
}

int once(int argc, char** argv, const QString& programDir)
{
    QApplication app(argc, argv);
    SetOfficeHostProgram(programDir + QStringLiteral("/quillmark-office"));
    SettingsStore settings;
    QtDialogs dialogs;
    OfficeEngine& engine = ProgramOfficeEngine();
    Form1::Hooks hooks;
    hooks.checkOfficeCanStart = [&] { return CheckWordCanStart(dialogs, engine); };
    Form1 form(dialogs, settings, std::move(hooks), programDir);
    dialogs.setOwner(&form);
    form.Form_Load();
    form.show();
    QCoreApplication::processEvents();
    std::printf("%.3f\n", secondsSinceProcessStart());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && QByteArray(argv[1]) == "--once")
        return once(argc, argv, QString::fromLocal8Bit(argv[2]));
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_startup PROGRAM_DIR [rounds]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 7;
    QTemporaryDir settingsHome; // the user's own settings stay untouched
    QList<double> times;
    for (int i = 0; i <= rounds; ++i) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), settingsHome.path());
        child.setProcessEnvironment(env);
        child.start(QString::fromLocal8Bit(argv[0]),
                    {QStringLiteral("--once"), QString::fromLocal8Bit(argv[1])});
        child.waitForFinished(120000);
        const double seconds = child.readAllStandardOutput().trimmed().toDouble();
        if (i > 0) // the first round warms the machine's caches
            times << seconds;
    }
    std::sort(times.begin(), times.end());
    std::printf("start to window shown, %d warm starts: min %.3f s, median %.3f s, max %.3f s\n",
                int(times.size()), times.first(), times.at(times.size() / 2), times.last());
    return 0;
}
