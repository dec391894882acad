#pragma once

#include "productiondocument.h"

#include <QHash>
#include <QList>
#include <QString>

#include <optional>

// The order of a production, whatever order its workers finish in. Messages
// are laid out in parallel and come back in any order; a message gets its
// numbers only once every message before it has its own (or has failed, or
// is a duplicate), so the numbers are those one worker would give. Numbered
// families are imaged in parallel, and a message is finished (written to the
// load files) only once every message before it is, in input order.
class ProductionSequence {
public:
    enum class State {
        Waiting,   // not laid out yet
        LaidOut,   // its pages are counted
        Failed,    // takes no numbers
        Numbered,  // its numbers are known; to be imaged
        Duplicate, // an earlier message with the same bytes stands for it
        Imaged,    // its images, text and natives are in the volume
    };

    // `count` messages whose numbers start at `firstNumber`. With `dedupe`,
    // a message whose MD5 is that of a produced one is a duplicate; `produced`
    // holds the MD5s that an earlier run of the same production produced,
    // each with its family's first number.
    ProductionSequence(int count, qint64 firstNumber, bool dedupe, QHash<QString, qint64> produced = {});

    int count() const { return int(m_messages.size()); }
    State state(int index) const { return m_messages[index].state; }
    // Counts resets, so an answer for numbers that were taken back is known.
    int generation(int index) const { return m_messages[index].generation; }
    const Family& family(int index) const { return m_messages[index].family; }
    const QString& reason(int index) const { return m_messages[index].reason; }
    qint64 firstNumber(int index) const { return m_messages[index].begin; }
    qint64 duplicateOf(int index) const { return m_messages[index].duplicateOf; }
    const QString& md5(int index) const { return m_messages[index].md5; }
    qint64 nextNumber() const { return m_next; }
    // Messages before this one are all finished.
    int finished() const { return m_finished; }

    void setMd5(int index, const QString& md5);
    // The first number of the produced family with this MD5, when one is
    // known already: the message need not even be laid out.
    std::optional<qint64> producedCopy(const QString& md5) const;
    // A message left out before its layout because its copy is numbered.
    void skipAsDuplicate(int index);

    void laidOut(int index, Family family);
    void failed(int index, const QString& reason);
    // Numbers every message that can be numbered now; returns them (and the
    // duplicates found) in order.
    QList<int> assign();

    void imaged(int index);
    // The family's images could not be made after its numbers were given:
    // it fails, and every later message gives its numbers back to be
    // numbered (and imaged) again, so the numbers stay without a gap.
    // Returns the messages whose imaging was under way or done with numbers
    // that are now taken back.
    QList<int> imagingFailed(int index, const QString& reason);

    // The messages that can now be finished, in order.
    QList<int> takeFinished();

private:
    struct Message {
        State state = State::Waiting;
        Family family;
        QString md5;
        QString reason;
        qint64 begin = 0;
        qint64 duplicateOf = 0;
        // Left out before its layout: has no family to number.
        bool skipped = false;
        int generation = 0;
    };

    void rebuildProduced();

    QList<Message> m_messages;
    bool m_dedupe;
    QHash<QString, qint64> m_earlier;
    QHash<QString, qint64> m_produced;
    qint64 m_next;
    int m_numbered = 0; // messages before this one are numbered or decided
    int m_finished = 0;
};
