#include "processrunner.h"
#include "progressbar.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

class RecordingBar final : public ProgressBar {
public:
    QString text() const override { return text_; }
    void setText(const QString& text) override
    {
        text_ = text;
        texts.append(text);
    }
    double value() const override { return value_; }
    void setValue(double value) override
    {
        value_ = value;
        values.append(value);
    }

    QStringList texts;
    QList<double> values;

private:
    QString text_;
    double value_ = 0;
};

// Time passes only when the runner pauses. The child runs until the test's
// flag file appears, which this clock creates during pause number
// `endDuringPause`, so the child ends at a tick the test chooses.
class FakeTiming final : public WaitTiming {
public:
    explicit FakeTiming(QString flagPath = {}, int endDuringPause = -1)
        : flagPath_(std::move(flagPath)), endDuringPause_(endDuringPause)
    {
    }

    qint64 nowMs() override { return now_; }
    void processEvents() override {}
    void pause(QProcess& process, std::chrono::milliseconds interval) override
    {
        now_ += interval.count();
        ++pauses;
        if (pauses == endDuringPause_) {
            QFile flag(flagPath_);
            QVERIFY(flag.open(QIODevice::WriteOnly));
            flag.close();
            QVERIFY(process.waitForFinished(10000));
        }
    }

    int pauses = 0;

private:
    qint64 now_ = 0;
    QString flagPath_;
    int endDuringPause_;
};

// A child that waits for a flag file and then ends with status 3.
QStringList WaitForFlagArguments(const QString& flagPath)
{
    return {QStringLiteral("-c"), QStringLiteral("while [ ! -e \"$1\" ]; do sleep 0.01; done; exit 3"),
            QStringLiteral("sh"), flagPath};
}

} // namespace

class TestProcessRunner : public QObject {
    Q_OBJECT

private slots:
    void barTextCountsTicksFromTheFiftieth()
    {
        QTemporaryDir dir;
        const QString flag = dir.filePath(QStringLiteral("flag"));
        FakeTiming timing(flag, 60);
        RecordingBar bar;
        const QString base = QStringLiteral("Processing: a.eml");
        RunLimits limits;
        limits.timing = &timing;

        const int code =
            RunProcessAndWait(QStringLiteral("sh"), WaitForFlagArguments(flag), 0, &bar, base, 0, 1, limits);

        QCOMPARE(code, 3);
        // Pauses 1..60 while it runs; tick 61 sees the end and does not sleep.
        QCOMPARE(timing.pauses, 60);
        QCOMPARE(bar.texts.size(), 12 + 1);
        QCOMPARE(bar.texts.first(), QStringLiteral("Processing: a.eml, Please wait.. 0"));
        QCOMPARE(bar.texts.at(11), QStringLiteral("Processing: a.eml, Please wait.. 11"));
        QCOMPARE(bar.texts.last(), base);
        QCOMPARE(bar.values, QList<double>{0.0});
    }

    void emptyBaseTextAndShortWait()
    {
        QTemporaryDir dir;
        const QString flag = dir.filePath(QStringLiteral("flag"));
        {
            FakeTiming timing(flag, 49);
            RecordingBar bar;
            RunLimits limits;
            limits.timing = &timing;
            RunProcessAndWait(QStringLiteral("sh"), WaitForFlagArguments(flag), 0, &bar, {}, 40, 2, limits);
            // Tick 50 comes after the end: the last tick still counts.
            QCOMPARE(bar.texts,
                     QStringList({QStringLiteral("Please wait.. 0"), QStringLiteral("Progress Bar")}));
            QCOMPARE(bar.values, QList<double>{40.0});
        }
        QFile::remove(flag);
        {
            FakeTiming timing(flag, 48);
            RecordingBar bar;
            RunLimits limits;
            limits.timing = &timing;
            RunProcessAndWait(QStringLiteral("sh"), WaitForFlagArguments(flag), 0, &bar, {}, 40, 2, limits);
            QCOMPARE(bar.texts, QStringList{QStringLiteral("Progress Bar")});
            QVERIFY(bar.values.isEmpty());
        }
    }

    void positionCreepsToItsLimit()
    {
        QTemporaryDir dir;
        const QString flag = dir.filePath(QStringLiteral("flag"));
        FakeTiming timing(flag, 1600);
        RecordingBar bar;
        RunLimits limits;
        limits.timing = &timing;
        RunProcessAndWait(QStringLiteral("sh"), WaitForFlagArguments(flag), 0, &bar, QStringLiteral("x"), 0,
                          1, limits);
        // Ticks 50, 200, ... 1550: one file, start 0 climbs by 10 up to 90.
        QCOMPARE(bar.values, QList<double>({0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 90}));
    }

    void positionRounding_data()
    {
        QTest::addColumn<int>("items");
        QTest::addColumn<int>("start");
        QTest::addColumn<QList<double>>("positions");
        // share 25, step 2.5 -> 2 (halves to even), limit 48
        QTest::newRow("four items") << 4 << 25
                                    << QList<double>{25, 27, 29, 31, 33, 35, 37, 39, 41, 43, 45, 47, 48, 48};
        // share 100/3, step 3.33 -> 3, limit 63.33 - 3 -> 63
        QTest::newRow("three items") << 3 << 33
                                     << QList<double>{33, 36, 39, 42, 45, 48, 51, 54, 57, 60, 63, 63, 63, 63};
        // share 20, step 2, limit 98: the step never moves it past the bar's end
        QTest::newRow("last of five")
            << 5 << 80 << QList<double>{80, 82, 84, 86, 88, 90, 92, 94, 96, 98, 98, 98, 98, 98};
        // share 5, step 0.5 -> 0: the position stays where it was
        QTest::newRow("twenty items") << 20 << 10 << QList<double>(14, 10);
        // share 100/6 = 16.67, step 1.67 -> 2, limit 14.67 -> 15
        QTest::newRow("six items") << 6 << 0
                                   << QList<double>{0, 2, 4, 6, 8, 10, 12, 14, 15, 15, 15, 15, 15, 15};
        // A run never passes 0; if it did, it counts as one item.
        QTest::newRow("no items") << 0 << 0
                                  << QList<double>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 90, 90, 90, 90};
    }

    void positionRounding()
    {
        QFETCH(int, items);
        QFETCH(int, start);
        QFETCH(QList<double>, positions);
        RecordingBar bar;
        for (int tick = 1; tick <= 50 + 13 * 150; ++tick)
            ShowWaitTick(bar, tick, QStringLiteral("b"), start, items);
        QCOMPARE(bar.values, positions);
        QCOMPARE(bar.texts.size(), 13 * 150 + 1);
        QCOMPARE(bar.texts.last(), QStringLiteral("b, Please wait.. 1950"));
    }

    void roundingHalvesGoToEven()
    {
        QCOMPARE(RoundHalfToEven(2.5), 2.0);
        QCOMPARE(RoundHalfToEven(3.5), 4.0);
        QCOMPARE(RoundHalfToEven(0.5), 0.0);
        QCOMPARE(RoundHalfToEven(47.5), 48.0);
        QCOMPARE(RoundHalfToEven(2.4999), 2.0);
        QCOMPARE(RoundHalfToEven(2.5001), 3.0);
        QCOMPARE(RoundHalfToEven(-2.5), -2.0);
    }

    void windowStyleOutsideItsRangeMeansSix()
    {
        QCOMPARE(EffectiveWindowStyle(std::nullopt), 6);
        QCOMPARE(EffectiveWindowStyle(-1), 6);
        QCOMPARE(EffectiveWindowStyle(7), 6);
        QCOMPARE(EffectiveWindowStyle(0), 0);
        QCOMPARE(EffectiveWindowStyle(5), 5);
    }

    void withoutBarNothingIsShown()
    {
        QTemporaryDir dir;
        const QString flag = dir.filePath(QStringLiteral("flag"));
        FakeTiming timing(flag, 400);
        RunLimits limits;
        limits.timing = &timing;
        QCOMPARE(RunProcessAndWait(QStringLiteral("sh"), WaitForFlagArguments(flag), {}, nullptr,
                                   QStringLiteral("x"), 0, 1, limits),
                 3);
        QCOMPARE(timing.pauses, 400);
    }

    void timeLimitEndsAHangingTool()
    {
        FakeTiming timing;
        RecordingBar bar;
        RunLimits limits;
        limits.timing = &timing;
        limits.timeLimit = 7s;
        QElapsedTimer real;
        real.start();
        const int code = RunProcessAndWait(QStringLiteral("sleep"), {QStringLiteral("600")}, 0, &bar,
                                           QStringLiteral("Processing: a.eml"), 0, 1, limits);
        QCOMPARE(code, kProcessTimedOut);
        QCOMPARE(timing.pauses, 70);
        QCOMPARE(bar.texts.last(), QStringLiteral("Processing: a.eml"));
        QVERIFY(real.elapsed() < 30000);
    }

    void timeLimitOnTheRealClock()
    {
        RunLimits limits;
        limits.timeLimit = 300ms;
        QCOMPARE(
            RunProcessAndWait(QStringLiteral("sleep"), {QStringLiteral("600")}, 0, nullptr, {}, 0, 1, limits),
            kProcessTimedOut);
    }

    void realShortProcess()
    {
        RecordingBar bar;
        QCOMPARE(RunProcessAndWait(QStringLiteral("sh"),
                                   {QStringLiteral("-c"), QStringLiteral("sleep 0.3; exit 7")}, 0, &bar,
                                   QStringLiteral("Processing: a.eml"), 5, 3),
                 7);
        QCOMPARE(bar.texts, QStringList{QStringLiteral("Processing: a.eml")});
        QVERIFY(bar.values.isEmpty());
    }

    void waitEndsWithTheProcess()
    {
        // The pause must not sit out its whole interval once the child is gone.
        QProcess process;
        process.start(QStringLiteral("sleep"), {QStringLiteral("0.2")});
        QVERIFY(process.waitForStarted());
        QElapsedTimer timer;
        timer.start();
        SystemWaitTiming().pause(process, 20s);
        QVERIFY2(timer.elapsed() < 10000, "the pause outlived the process");
        QCOMPARE(process.state(), QProcess::NotRunning);
    }

    void aCrashIsNotMistakenForAnExitStatus()
    {
        // A program that exits 137 on purpose is not a crash; one killed by a
        // signal is, whatever the exit code happens to read.
        QCOMPARE(RunProcessAndWait(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("kill -9 $$")},
                                   0, nullptr, {}, 0, 1),
                 kProcessCrashed);
        QCOMPARE(RunProcessAndWait(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("exit 137")},
                                   0, nullptr, {}, 0, 1),
                 137);
    }

    void errorOutputIsKeptForTheCaller()
    {
        QString errors;
        RunLimits limits;
        limits.errorOutput = &errors;
        // More than a pipe holds, so a reader that waits for the end would
        // hang the program; only the end, with the reason, is kept.
        const QString script =
            QStringLiteral("i=0; while [ $i -lt 3000 ]; do echo 'noise noise noise noise noise "
                           "noise noise noise' >&2; i=$((i+1)); done; "
                           "echo 'vexlo: No space left on device.' >&2; exit 1");
        QCOMPARE(RunProcessAndWait(QStringLiteral("sh"), {QStringLiteral("-c"), script}, 0, nullptr, {}, 0, 1,
                                   limits),
                 1);
        QVERIFY(errors.size() <= 64 * 1024);
        QVERIFY(errors.endsWith(QStringLiteral("vexlo: No space left on device.\n")));
    }

    void argumentsAndEnvironmentArriveUnchanged()
    {
        QTemporaryDir dir;
        const QString outFile = dir.filePath(QStringLiteral("args.txt"));
        const QStringList passed = {
            QStringLiteral("C:/My Documents/a b.rtf"),
            QStringLiteral("\"quoted\" and 'single'"),
            QStringLiteral("Grüße aus Köln – 東京 ✓.tiff"),
            QStringLiteral("$HOME; * `id` | > x"),
            QString(),
            QStringLiteral("back\\slash"),
        };
        RunLimits limits;
        limits.environment.insert(QStringLiteral("QUILLMARK_OFFICE_SOCKET"),
                                  QStringLiteral("/run/user/1/qm office"));
        QStringList arguments = {
            QStringLiteral("-c"),
            QStringLiteral("out=$1; shift; { printf '%s\\n' \"$QUILLMARK_OFFICE_SOCKET\"; "
                           "printf '%s\\n' \"$@\"; } > \"$out\""),
            QStringLiteral("sh"), outFile};
        arguments += passed;
        QCOMPARE(RunProcessAndWait(QStringLiteral("sh"), arguments, 0, nullptr, {}, 0, 1, limits), 0);
        QFile file(outFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        QCOMPARE(lines.takeLast(), QString());
        QCOMPARE(lines.takeFirst(), QStringLiteral("/run/user/1/qm office"));
        QCOMPARE(lines, passed);
    }

    void programThatCannotStart()
    {
        RecordingBar bar;
        bar.setText(QStringLiteral("before"));
        bar.texts.clear();
        QTemporaryDir dir;
        QCOMPARE(RunProcessAndWait(dir.filePath(QStringLiteral("missing tool")), {}, 0, &bar,
                                   QStringLiteral("b"), 0, 1),
                 kCannotStartBase + kErrorFileNotFound);
        QCOMPARE(
            RunProcessAndWait(QStringLiteral("no-such-program-here"), {}, 0, &bar, QStringLiteral("b"), 0, 1),
            kCannotStartBase + kErrorFileNotFound);

        const QString notExecutable = dir.filePath(QStringLiteral("plain.txt"));
        QFile file(notExecutable);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nexit 0\n");
        file.close();
        QCOMPARE(RunProcessAndWait(notExecutable, {}, 0, &bar, QStringLiteral("b"), 0, 1),
                 kCannotStartBase + kErrorFileAccess);
        QCOMPARE(RunProcessAndWait(QString(), {}, 0, &bar, QStringLiteral("b"), 0, 1),
                 kCannotStartBase + kErrorInvalidCall);

        // Nothing was waited for, so the bar was never touched.
        QVERIFY(bar.texts.isEmpty());
        QVERIFY(bar.values.isEmpty());
        QCOMPARE(bar.text(), QStringLiteral("before"));
    }
};

QTEST_GUILESS_MAIN(TestProcessRunner)
#include "test_processrunner.moc"
