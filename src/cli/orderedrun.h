#pragma once

#include "productionsequence.h"
#include "workerpool.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

// A run whose pages are numbered in input order while every worker works:
// each message is laid out by some worker and its pages counted; numbers are
// given in input order as soon as every earlier message has its own; the
// numbered messages are stamped by any worker; and each is finished (its load
// file rows, its report row) in input order. The numbers, and so every file,
// are those of one worker, whatever the number of workers and whoever
// finishes first. Productions and Bates-numbered runs fill in the tasks.
class OrderedRun : public QObject {
public:
    struct Setup {
        int count = 0;
        qint64 firstNumber = 1;
        bool dedupe = false;
        // MD5s an earlier run produced, with their first numbers.
        QHash<QString, qint64> produced;
        QString workerProgram;
        QStringList workerArguments;
        int jobs = 1;
        std::chrono::milliseconds taskLimit{};
    };
    explicit OrderedRun(Setup setup);
    ~OrderedRun() override;

    // Until every message is finished or the run is stopped (a signal, or a
    // record that cannot be written). False when it was stopped.
    bool run();
    const QString& stopReason() const { return m_stopReason; }
    ProductionSequence& sequence() { return m_sequence; }
    const ProductionSequence& sequence() const { return m_sequence; }
    double seconds(int index) const { return m_seconds.value(index); }
    double elapsedSeconds() const { return m_clock.nsecsElapsed() / 1e9; }

protected:
    // The task that lays the message out; no value when it was settled
    // without a worker (failed, or left out through sequence()).
    virtual std::optional<WorkerTask> layoutTask(int index) = 0;
    virtual WorkerTask imagingTask(int index) = 0;
    // What a worker's layout answer says of the family.
    virtual Family familyOf(int index, const WorkerAnswer& answer) = 0;
    virtual void imaged(int /*index*/, const WorkerAnswer& /*answer*/) {}
    // A finished message, in input order. Throws std::runtime_error to stop
    // the run.
    virtual void record(int index) = 0;

private:
    enum class Flight { None, Layout, Image };
    struct InFlight {
        Flight flight = Flight::None;
        int generation = 0;
    };

    void dispatch();
    int nextToImage() const;
    int nextToLayOut() const;
    bool staleImaging() const;
    void take(const WorkerAnswer& answer);
    void advance();
    void settle();
    void stop(const QString& why);

    Setup m_setup;
    ProductionSequence m_sequence;
    std::unique_ptr<WorkerPool> m_pool;
    QList<InFlight> m_flights;
    QHash<int, double> m_seconds;
    bool m_stopped = false;
    QString m_stopReason;
    QElapsedTimer m_clock;
    QTimer m_stopCheck;
    QEventLoop m_loop;
};

// The reason a worker gave, with the first report of a failing step, which
// usually says what went wrong.
QString AnswerReason(const WorkerAnswer& answer);
