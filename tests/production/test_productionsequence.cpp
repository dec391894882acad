#include "productionsequence.h"

#include <QTest>

#include <algorithm>
#include <numeric>
#include <random>

namespace {

using State = ProductionSequence::State;

Family FamilyOf(QList<int> pages)
{
    Family family;
    for (qsizetype i = 0; i < pages.size(); ++i) {
        LaidOutDocument document;
        document.type = i == 0 ? LaidOutDocument::Type::Email : LaidOutDocument::Type::Attachment;
        document.parent = i == 0 ? -1 : 0;
        document.pages = pages[i];
        family.documents.append(document);
    }
    return family;
}

// Lays out and images every message in the order given, numbering and
// finishing as a run does after each answer; returns the first numbers.
QList<qint64> RunInOrder(const QList<int>& order, const QList<QList<int>>& pages)
{
    ProductionSequence sequence(int(pages.size()), 100, false);
    QList<int> finished;
    for (const int index : order) {
        sequence.laidOut(index, FamilyOf(pages[index]));
        sequence.assign();
        finished += sequence.takeFinished();
    }
    QList<qint64> firsts;
    for (int i = 0; i < sequence.count(); ++i) {
        if (sequence.state(i) != State::Numbered)
            return {};
        firsts.append(sequence.firstNumber(i));
    }
    if (!finished.isEmpty())
        return {}; // nothing is finished before it is imaged
    for (auto it = order.crbegin(); it != order.crend(); ++it) {
        sequence.imaged(*it);
        finished += sequence.takeFinished();
    }
    QList<int> inOrder(pages.size());
    std::iota(inOrder.begin(), inOrder.end(), 0);
    return finished == inOrder ? firsts : QList<qint64>{};
}

} // namespace

class TestProductionSequence : public QObject {
    Q_OBJECT

private slots:
    // Whatever order the workers finish in, the numbers are those of one
    // worker taking the messages in input order.
    void numbersFollowInputOrderWhateverTheAnswers()
    {
        const QList<QList<int>> pages{{2}, {1, 3}, {1}, {4, 1, 1}, {1}};
        const QList<qint64> expected{100, 102, 106, 107, 113};
        QCOMPARE(RunInOrder({0, 1, 2, 3, 4}, pages), expected);
        QCOMPARE(RunInOrder({4, 3, 2, 1, 0}, pages), expected);
        std::mt19937 random(7);
        QList<int> order{0, 1, 2, 3, 4};
        for (int round = 0; round < 20; ++round) {
            std::shuffle(order.begin(), order.end(), random);
            QCOMPARE(RunInOrder(order, pages), expected);
        }
    }

    void aFailedMessageTakesNoNumbers()
    {
        ProductionSequence sequence(3, 1, false);
        sequence.laidOut(2, FamilyOf({2}));
        QVERIFY(sequence.assign().isEmpty());
        sequence.failed(0, QStringLiteral("binary"));
        QVERIFY(sequence.assign().isEmpty());
        QCOMPARE(sequence.takeFinished(), QList<int>{0});
        sequence.laidOut(1, FamilyOf({1}));
        QCOMPARE(sequence.assign(), (QList<int>{1, 2}));
        QCOMPARE(sequence.firstNumber(1), 1);
        QCOMPARE(sequence.firstNumber(2), 2);
        QCOMPARE(sequence.nextNumber(), 4);
    }

    // The first copy in input order is produced; the others point at it. A
    // copy of a message that failed is no duplicate of anything.
    void duplicatesPointAtTheFirstProducedCopy()
    {
        ProductionSequence sequence(5, 1, true, {{QStringLiteral("old"), 77}});
        const QStringList md5s{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("a"),
                               QStringLiteral("b"), QStringLiteral("old")};
        for (int i = 0; i < 5; ++i)
            sequence.setMd5(i, md5s[i]);
        sequence.laidOut(2, FamilyOf({1}));
        sequence.laidOut(0, FamilyOf({3}));
        sequence.failed(1, QStringLiteral("broken"));
        sequence.laidOut(3, FamilyOf({1}));
        sequence.laidOut(4, FamilyOf({1}));
        sequence.assign();
        QCOMPARE(sequence.state(0), State::Numbered);
        QCOMPARE(sequence.state(2), State::Duplicate);
        QCOMPARE(sequence.duplicateOf(2), 1);
        QCOMPARE(sequence.state(3), State::Numbered);
        QCOMPARE(sequence.firstNumber(3), 4);
        QCOMPARE(sequence.state(4), State::Duplicate);
        QCOMPARE(sequence.duplicateOf(4), 77);
        // Without dedupe every copy is produced.
        ProductionSequence all(2, 1, false);
        all.setMd5(0, QStringLiteral("a"));
        all.setMd5(1, QStringLiteral("a"));
        all.laidOut(0, FamilyOf({1}));
        all.laidOut(1, FamilyOf({1}));
        all.assign();
        QCOMPARE(all.state(1), State::Numbered);
        QVERIFY(!all.producedCopy(QStringLiteral("a")));
    }

    // A family whose images cannot be made after all gives its numbers back,
    // and so does every later one: the numbers close up without a gap.
    void imagingFailureRenumbersWhatFollows()
    {
        ProductionSequence sequence(4, 10, true);
        for (int i = 0; i < 4; ++i)
            sequence.setMd5(i, QStringLiteral("m%1").arg(i));
        sequence.setMd5(3, QStringLiteral("m1"));
        sequence.laidOut(0, FamilyOf({2}));
        sequence.laidOut(1, FamilyOf({3}));
        sequence.laidOut(2, FamilyOf({1}));
        sequence.assign();
        QVERIFY(sequence.producedCopy(QStringLiteral("m1")));
        sequence.skipAsDuplicate(3);
        sequence.assign();
        QCOMPARE(sequence.state(3), State::Duplicate);
        sequence.imaged(0);
        sequence.imaged(2);
        const int before = sequence.generation(2);

        QCOMPARE(sequence.imagingFailed(1, QStringLiteral("disk full")), QList<int>{2});
        QCOMPARE(sequence.state(1), State::Failed);
        QVERIFY(sequence.generation(2) != before);
        QCOMPARE(sequence.takeFinished(), (QList<int>{0, 1}));
        sequence.assign();
        QCOMPARE(sequence.state(2), State::Numbered);
        QCOMPARE(sequence.firstNumber(2), 12);
        // The copy of the failed message was never laid out: it is now.
        QCOMPARE(sequence.state(3), State::Waiting);
        QVERIFY(!sequence.producedCopy(QStringLiteral("m1")));
        sequence.laidOut(3, FamilyOf({2}));
        sequence.assign();
        QCOMPARE(sequence.firstNumber(3), 13);
        sequence.imaged(3);
        sequence.imaged(2);
        QCOMPARE(sequence.takeFinished(), (QList<int>{2, 3}));
        QCOMPARE(sequence.nextNumber(), 15);
    }
};

QTEST_GUILESS_MAIN(TestProductionSequence)
#include "test_productionsequence.moc"
