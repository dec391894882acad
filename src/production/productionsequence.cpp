#include "productionsequence.h"

ProductionSequence::ProductionSequence(int count, qint64 firstNumber, bool dedupe,
                                       QHash<QString, qint64> produced)
    : m_messages(count), m_dedupe(dedupe), m_earlier(std::move(produced)), m_produced(m_earlier),
      m_next(firstNumber)
{
}

void ProductionSequence::setMd5(int index, const QString& md5)
{
    m_messages[index].md5 = md5;
}

std::optional<qint64> ProductionSequence::producedCopy(const QString& md5) const
{
    if (!m_dedupe || md5.isEmpty())
        return std::nullopt;
    const auto found = m_produced.constFind(md5);
    if (found == m_produced.constEnd())
        return std::nullopt;
    return *found;
}

void ProductionSequence::skipAsDuplicate(int index)
{
    Message& message = m_messages[index];
    message.skipped = true;
    message.state = State::LaidOut;
}

void ProductionSequence::laidOut(int index, Family family)
{
    Message& message = m_messages[index];
    message.family = std::move(family);
    message.skipped = false;
    message.state = State::LaidOut;
}

void ProductionSequence::failed(int index, const QString& reason)
{
    m_messages[index].reason = reason;
    m_messages[index].state = State::Failed;
}

QList<int> ProductionSequence::assign()
{
    QList<int> decided;
    while (m_numbered < m_messages.size()) {
        Message& message = m_messages[m_numbered];
        if (message.state == State::Waiting)
            break;
        if (message.state == State::LaidOut) {
            if (const std::optional<qint64> copy = producedCopy(message.md5)) {
                message.state = State::Duplicate;
                message.duplicateOf = *copy;
            } else if (message.skipped) {
                // Its copy gave its numbers back: it is laid out after all.
                message.skipped = false;
                message.state = State::Waiting;
                break;
            } else {
                message.state = State::Numbered;
                message.begin = m_next;
                m_next += message.family.pageCount();
                if (m_dedupe && !message.md5.isEmpty() && !m_produced.contains(message.md5))
                    m_produced.insert(message.md5, message.begin);
            }
            decided.append(m_numbered);
        }
        ++m_numbered;
    }
    return decided;
}

void ProductionSequence::imaged(int index)
{
    if (m_messages[index].state == State::Numbered)
        m_messages[index].state = State::Imaged;
}

QList<int> ProductionSequence::imagingFailed(int index, const QString& reason)
{
    QList<int> stale;
    Message& failing = m_messages[index];
    m_next = failing.begin;
    failing.state = State::Failed;
    failing.reason = reason;
    for (qsizetype later = index + 1; later < m_messages.size(); ++later) {
        Message& message = m_messages[later];
        if (message.state == State::Numbered || message.state == State::Imaged)
            stale.append(int(later));
        if (message.state == State::Numbered || message.state == State::Imaged ||
            message.state == State::Duplicate) {
            message.state = State::LaidOut;
            message.begin = 0;
            message.duplicateOf = 0;
            ++message.generation;
        }
    }
    ++failing.generation;
    m_numbered = index + 1;
    rebuildProduced();
    return stale;
}

void ProductionSequence::rebuildProduced()
{
    m_produced = m_earlier;
    for (int i = 0; i < m_numbered; ++i) {
        const Message& message = m_messages[i];
        if ((message.state == State::Numbered || message.state == State::Imaged) && !message.md5.isEmpty() &&
            !m_produced.contains(message.md5))
            m_produced.insert(message.md5, message.begin);
    }
}

QList<int> ProductionSequence::takeFinished()
{
    QList<int> finished;
    while (m_finished < m_numbered) {
        const State state = m_messages[m_finished].state;
        if (state != State::Failed && state != State::Duplicate && state != State::Imaged)
            break;
        finished.append(m_finished++);
    }
    return finished;
}
