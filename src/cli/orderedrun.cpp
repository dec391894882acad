#include "orderedrun.h"

#include "batchrun.h"

namespace {

// How far layout may run ahead of the first unfinished message: enough to
// keep every worker busy, little enough that the work folders stay small.
constexpr int kLookAheadPerWorker = 3;

} // namespace

QString AnswerReason(const WorkerAnswer& answer)
{
    QString reason = answer.reason.isEmpty() ? QStringLiteral("it could not be laid out") : answer.reason;
    if (!answer.reports.isEmpty())
        reason += QStringLiteral(" (%1)").arg(answer.reports.first());
    return reason;
}

OrderedRun::OrderedRun(Setup setup)
    : m_setup(std::move(setup)),
      m_sequence(m_setup.count, m_setup.firstNumber, m_setup.dedupe, m_setup.produced),
      m_flights(m_setup.count)
{
}

OrderedRun::~OrderedRun() = default;

bool OrderedRun::run()
{
    m_clock.start();
    if (m_sequence.count() == 0)
        return true;
    m_pool = std::make_unique<WorkerPool>(m_setup.workerProgram, m_setup.workerArguments,
                                          std::min(m_setup.jobs, m_sequence.count()), m_setup.taskLimit);
    connect(m_pool.get(), &WorkerPool::answered, this, [this](const WorkerAnswer& answer) { take(answer); });
    connect(&m_stopCheck, &QTimer::timeout, this, [this] {
        if (StopSignalSeen() != 0)
            stop(QStringLiteral("stopped by signal %1").arg(StopSignalSeen()));
    });
    m_stopCheck.start(200);
    advance();
    if (!m_stopped && m_sequence.finished() < m_sequence.count())
        m_loop.exec();
    m_stopCheck.stop();
    m_pool->stop();
    return !m_stopped;
}

bool OrderedRun::staleImaging() const
{
    for (int i = 0; i < m_flights.size(); ++i)
        if (m_flights[i].flight == Flight::Image && m_flights[i].generation != m_sequence.generation(i))
            return true;
    return false;
}

// Numbered messages are stamped first, so that finished work leaves the
// work folders; numbers taken back are not given out again while their old
// stamping is still under way.
int OrderedRun::nextToImage() const
{
    if (staleImaging())
        return -1;
    for (int i = m_sequence.finished(); i < m_sequence.count(); ++i)
        if (m_sequence.state(i) == ProductionSequence::State::Numbered && m_flights[i].flight == Flight::None)
            return i;
    return -1;
}

int OrderedRun::nextToLayOut() const
{
    const int last =
        std::min(m_sequence.count(), m_sequence.finished() + kLookAheadPerWorker * m_setup.jobs + 2);
    for (int i = m_sequence.finished(); i < last; ++i)
        if (m_sequence.state(i) == ProductionSequence::State::Waiting && m_flights[i].flight == Flight::None)
            return i;
    return -1;
}

void OrderedRun::dispatch()
{
    while (!m_stopped && m_pool->hasIdleWorker()) {
        if (const int index = nextToImage(); index >= 0) {
            m_flights[index] = {Flight::Image, m_sequence.generation(index)};
            m_pool->submit(imagingTask(index));
            continue;
        }
        const int index = nextToLayOut();
        if (index < 0)
            return;
        if (std::optional<WorkerTask> task = layoutTask(index)) {
            m_flights[index] = {Flight::Layout, m_sequence.generation(index)};
            m_pool->submit(*task);
        } else {
            settle();
        }
    }
}

void OrderedRun::take(const WorkerAnswer& answer)
{
    const int index = answer.index;
    const InFlight flight = std::exchange(m_flights[index], {});
    m_seconds[index] += answer.seconds;
    if (flight.flight == Flight::Layout) {
        if (answer.converted)
            m_sequence.laidOut(index, familyOf(index, answer));
        else
            m_sequence.failed(index, AnswerReason(answer));
    } else if (flight.flight == Flight::Image && flight.generation == m_sequence.generation(index)) {
        if (answer.converted) {
            imaged(index, answer);
            m_sequence.imaged(index);
        } else {
            m_sequence.imagingFailed(
                index, QStringLiteral("its pages could not be stamped: %1").arg(AnswerReason(answer)));
        }
    }
    // Not from inside the pool's signal: the next task may start a worker,
    // which may answer at once.
    QTimer::singleShot(0, this, [this] { advance(); });
}

void OrderedRun::advance()
{
    settle();
    if (!m_stopped && m_sequence.finished() < m_sequence.count())
        dispatch();
}

void OrderedRun::settle()
{
    if (m_stopped)
        return;
    m_sequence.assign();
    for (const int index : m_sequence.takeFinished()) {
        try {
            record(index);
        } catch (const std::exception& failure) {
            stop(QString::fromUtf8(failure.what()));
            return;
        }
    }
    if (m_sequence.finished() == m_sequence.count())
        m_loop.quit();
}

void OrderedRun::stop(const QString& why)
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_stopReason = why;
    m_stopCheck.stop();
    if (m_pool)
        m_pool->stop();
    m_loop.quit();
}
