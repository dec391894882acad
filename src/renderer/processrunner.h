#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

class ProgressBar;
class QProcess;

// Added to the error number when a program cannot be started, so such a
// result never looks like an exit code the program chose itself.
inline constexpr int kCannotStartBase = -2147221504; // 0x80040000
// Error numbers added to kCannotStartBase.
inline constexpr int kErrorInvalidCall = 5;   // no program named
inline constexpr int kErrorFileNotFound = 53; // the program does not exist
inline constexpr int kErrorFileAccess = 75;   // exists but may not be run
// Returned when the time limit ended the process; no exit status of a real
// process (0..255, or 128 plus a signal) can take this value.
inline constexpr int kProcessTimedOut = 258;
// Returned when the process crashed. Qt gives no signal number for a crash
// (its exit code is then undefined), so none is made up.
inline constexpr int kProcessCrashed = 259;

inline constexpr std::chrono::milliseconds kDefaultTimeLimit = std::chrono::minutes(10);
inline constexpr std::chrono::milliseconds kPollInterval{100};

// What the wait does between looks at the process. The real one processes
// window events and sleeps on the wall clock; tests swap in a clock of their
// own so minutes of ticks run in milliseconds.
class WaitTiming {
public:
    virtual ~WaitTiming() = default;
    // A monotonic time in milliseconds; only differences matter.
    virtual qint64 nowMs() = 0;
    // Handles pending window events.
    virtual void processEvents() = 0;
    // Waits up to `interval`, returning early once `process` has ended.
    virtual void pause(QProcess& process, std::chrono::milliseconds interval) = 0;
};

// Real time: QCoreApplication::processEvents and an event loop that keeps the
// window painting while it waits.
WaitTiming& SystemWaitTiming();

struct RunLimits {
    // Added to (or replacing) this process's environment for the child.
    QMap<QString, QString> environment;
    // A tool that never ends must not hold the run forever.
    std::chrono::milliseconds timeLimit = kDefaultTimeLimit;
    // Null means SystemWaitTiming().
    WaitTiming* timing = nullptr;
    // When given, receives what the program printed on standard error (its
    // last 64 KiB), so its own reason can be shown; otherwise that output goes
    // to this process's standard error.
    QString* errorOutput = nullptr;
};

// Absent, or outside 0..6, means 6 (minimized without focus). There are no
// console windows to show or hide here, so the style is only kept for callers
// that pass one.
int EffectiveWindowStyle(std::optional<int> windowStyle);

// Starts `program` with `arguments` as a list (never through a shell, so no
// quoting) and waits for it, polling every 100 ms while window events keep
// being handled. From the 50th tick on, the bar's text counts the ticks and
// every 150 ticks its position creeps towards this item's share of the bar.
//
// Returns the exit code; kCannotStartBase plus an error number when the
// program cannot be started (the bar is then left alone); kProcessTimedOut
// when the time limit ended it; kProcessCrashed when it crashed.
int RunProcessAndWait(const QString& program, const QStringList& arguments, std::optional<int> windowStyle,
                      ProgressBar* progressBar, const QString& baseText, int startValue, int itemCount,
                      const RunLimits& limits = {});

// The bar's text and position after `tick` ticks of the wait (counted from 1).
void ShowWaitTick(ProgressBar& bar, int tick, const QString& baseText, int startValue, int itemCount);

// Halves go to the even neighbour: 2.5 -> 2, 3.5 -> 4.
double RoundHalfToEven(double value);
