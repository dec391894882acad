#include "processrunner.h"

#include "childprocess.h"
#include "progressbar.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTimer>

#include <cmath>
#include <csignal>

namespace {

constexpr int kFirstTextTick = 50;
constexpr int kTicksPerMove = 150;

class SystemTiming final : public WaitTiming {
public:
    SystemTiming() { clock_.start(); }

    qint64 nowMs() override { return clock_.elapsed(); }

    void processEvents() override
    {
        if (QCoreApplication::instance())
            QCoreApplication::processEvents();
    }

    void pause(QProcess& process, std::chrono::milliseconds interval) override
    {
        if (process.state() == QProcess::NotRunning)
            return;
        if (!QCoreApplication::instance()) {
            process.waitForFinished(int(interval.count()));
            return;
        }
        // An event loop rather than a sleep: the window keeps painting, and
        // the wait ends the moment the process does instead of at the next
        // whole interval.
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
        timer.start(interval);
        if (process.state() != QProcess::NotRunning)
            loop.exec();
    }

private:
    QElapsedTimer clock_;
};

// The error number for a program QProcess could not start, in the numbering
// the callers already know.
int StartErrorNumber(const QString& program)
{
    if (program.isEmpty())
        return kErrorInvalidCall;
    const QString found =
        program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    if (found.isEmpty() || !QFileInfo::exists(found))
        return kErrorFileNotFound;
    return kErrorFileAccess;
}

constexpr qsizetype kMostErrorOutput = 64 * 1024;

int FinishedCode(const QProcess& process)
{
    if (process.exitStatus() == QProcess::CrashExit)
        return kProcessCrashed;
    return process.exitCode();
}

// Read as it comes so a talkative program never blocks on a full pipe; only
// the end is kept, where the reason of a failure is.
void CollectErrorOutput(QProcess& process, QString* into)
{
    if (!into)
        return;
    into->append(QString::fromLocal8Bit(process.readAllStandardError()));
    if (into->size() > kMostErrorOutput)
        into->remove(0, into->size() - kMostErrorOutput);
}

// Asks first, so the tool can remove its half-written files, then insists.
void EndProcess(QProcess& process)
{
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

WaitTiming& SystemWaitTiming()
{
    static SystemTiming timing;
    return timing;
}

int EffectiveWindowStyle(std::optional<int> windowStyle)
{
    if (!windowStyle || *windowStyle < 0 || *windowStyle > 6)
        return 6;
    return *windowStyle;
}

double RoundHalfToEven(double value)
{
    const double below = std::floor(value);
    const double fraction = value - below;
    if (fraction < 0.5)
        return below;
    if (fraction > 0.5)
        return below + 1;
    return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

void ShowWaitTick(ProgressBar& bar, int tick, const QString& baseText, int startValue, int itemCount)
{
    if (tick < kFirstTextTick)
        return;
    const int counter = tick - kFirstTextTick;
    QString text = baseText;
    if (!baseText.isEmpty())
        text += QStringLiteral(", ");
    text += QStringLiteral("Please wait.. ") + QString::number(counter);
    bar.setText(text);

    if (counter % kTicksPerMove != 0)
        return;
    // A run never passes fewer than one item; dividing by zero would put
    // infinity on the bar.
    const double share = 100.0 / std::max(itemCount, 1);
    const double step = RoundHalfToEven(share / 10);
    const double limit = RoundHalfToEven(share + startValue - step);
    const double position = double(counter / kTicksPerMove) * step + startValue;
    bar.setValue(position >= limit ? limit : position);
}

int RunProcessAndWait(const QString& program, const QStringList& arguments, std::optional<int> windowStyle,
                      ProgressBar* progressBar, const QString& baseText, int startValue, int itemCount,
                      const RunLimits& limits)
{
    // There are no console windows to show or hide here; every style starts
    // the program the same way.
    (void)EffectiveWindowStyle(windowStyle);
    WaitTiming& timing = limits.timing ? *limits.timing : SystemWaitTiming();

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = limits.environment.cbegin(); it != limits.environment.cend(); ++it)
        environment.insert(it.key(), it.value());
    process.setProcessEnvironment(environment);
    // Nothing may wait for input that never comes; what the tool prints on
    // standard error is the reason of a failure, kept for the caller or
    // passed on to our own.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(limits.errorOutput ? QProcess::SeparateChannels
                                                     : QProcess::ForwardedErrorChannel);
    // Closing the window ends its process at once, without unwinding; the tool
    // must not live on and keep writing into the user's folder.
    EndWithParent(process, SIGTERM);

    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(-1))
        return kCannotStartBase + StartErrorNumber(program);

    const qint64 startedAt = timing.nowMs();
    int tick = 0;
    int code = 0;
    bool running = true;
    while (running) {
        running = process.state() != QProcess::NotRunning;
        if (running && timing.nowMs() - startedAt >= limits.timeLimit.count()) {
            EndProcess(process);
            CollectErrorOutput(process, limits.errorOutput);
            code = kProcessTimedOut;
            break;
        }
        CollectErrorOutput(process, limits.errorOutput);
        if (!running)
            code = FinishedCode(process);
        timing.processEvents();
        // The tick after the end still counts for the bar, but nothing is
        // left to wait for.
        if (running)
            timing.pause(process, kPollInterval);
        if (progressBar) {
            timing.processEvents();
            ++tick;
            if (tick >= kFirstTextTick)
                timing.processEvents();
            ShowWaitTick(*progressBar, tick, baseText, startValue, itemCount);
            timing.processEvents();
        }
        timing.processEvents();
    }

    if (progressBar)
        progressBar->setText(baseText.isEmpty() ? QStringLiteral("Progress Bar") : baseText);
    return code;
}
