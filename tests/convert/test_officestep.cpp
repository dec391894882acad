#include "../host/scriptedofficeengine.h"
#include "officestep.h"
#include "scripteddialogs.h"
#include "stepguard.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class TestOfficeStep : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_mht;
    QString m_rtf;

    // The step numbers named in the reports, in the order they were shown.
    static QList<int> reportedSteps(const ScriptedDialogs& dialogs)
    {
        QList<int> steps;
        static const QRegularExpression line(QStringLiteral("at line (\\d+)"));
        for (const QString& text : dialogs.messages()) {
            const auto match = line.match(text);
            if (match.hasMatch())
                steps << match.captured(1).toInt();
        }
        return steps;
    }

    // Nothing but the page and, on success, the RTF may be left in the folder.
    QStringList leftovers() const
    {
        return QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

private slots:
    void init()
    {
        m_mht = m_dir.path() + QStringLiteral("/page.mht");
        m_rtf = m_dir.path() + QStringLiteral("/page.pdf");
        QFile::remove(m_rtf);
        QFile page(m_mht);
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.write("MIME-Version: 1.0\r\n\r\nhello");
    }

    void successfulConversionMakesTheFourCallsAndLeavesOnlyThePdf()
    {
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        StepGuard guard(dialogs, QStringLiteral("in Test.Form1.Run "));
        ConvertPageToRtf(m_mht, m_rtf, guard, engine);

        QCOMPARE(engine.calls, (QStringList{"create", "open", "save 17", "quit"}));
        QVERIFY(dialogs.messages().isEmpty());
        QCOMPARE(engine.lastOpen.FileName, m_mht);
        QCOMPARE(engine.lastOpen.Format, qint16(0));
        QCOMPARE(engine.lastOpen.AddToRecentFiles, false);
        QCOMPARE(engine.lastSave.AddToRecentFiles, true);
        QVERIFY(QFile::exists(m_rtf));
        QCOMPARE(leftovers(), (QStringList{"page.mht", "page.pdf"}));
    }

    void engineThatCannotStartReportsAllFourCalls()
    {
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        engine.failCreate = true;
        StepGuard guard(dialogs, QStringLiteral("in Test.Form1.Run "));
        ConvertPageToRtf(m_mht, m_rtf, guard, engine);

        QCOMPARE(reportedSteps(dialogs), (QList<int>{206, 208, 210, 212}));
        QVERIFY(dialogs.messages().first().contains(QStringLiteral("cannot create the engine")));
        QVERIFY(!QFile::exists(m_rtf));
    }

    void unreadablePageReportsOpenAndSaveButStillQuits()
    {
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        engine.failOpen = true;
        StepGuard guard(dialogs, QStringLiteral("in Test.Form1.Run "));
        ConvertPageToRtf(m_mht, m_rtf, guard, engine);

        QCOMPARE(reportedSteps(dialogs), (QList<int>{208, 210}));
        QCOMPARE(engine.calls, (QStringList{"create", "open", "quit"}));
        QVERIFY(!QFile::exists(m_rtf));
    }

    void failedSaveLeavesNoFileEvenWhenTheEngineWroteHalfOfOne()
    {
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        engine.failSave = true;
        engine.leavePartialFileOnFailedSave = true;
        StepGuard guard(dialogs, QStringLiteral("in Test.Form1.Run "));
        ConvertPageToRtf(m_mht, m_rtf, guard, engine);

        QCOMPARE(reportedSteps(dialogs), (QList<int>{210}));
        QVERIFY(dialogs.messages().first().contains(QStringLiteral("the disk is full")));
        QCOMPARE(engine.calls.last(), QStringLiteral("quit"));
        QCOMPARE(leftovers(), (QStringList{"page.mht"}));
    }

    void failedQuitIsReportedAndKeepsTheFinishedDocument()
    {
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        engine.failQuit = true;
        StepGuard guard(dialogs, QStringLiteral("in Test.Form1.Run "));
        ConvertPageToRtf(m_mht, m_rtf, guard, engine);

        QCOMPARE(reportedSteps(dialogs), (QList<int>{212}));
        QVERIFY(QFile::exists(m_rtf));
    }

    void rtfPathInAMissingFolderFailsTheSaveCleanly()
    {
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        StepGuard guard(dialogs, QStringLiteral("in Test.Form1.Run "));
        const QString rtf = m_dir.path() + QStringLiteral("/missing/page.pdf");
        ConvertPageToRtf(m_mht, rtf, guard, engine);

        QCOMPARE(reportedSteps(dialogs), (QList<int>{210}));
        QVERIFY(!QFile::exists(rtf));
        QCOMPARE(engine.calls.last(), QStringLiteral("quit"));
    }

    void threeMessagesUseThreeInstancesEachQuitBeforeTheNext()
    {
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        StepGuard guard(dialogs, QStringLiteral("in Test.Form1.Run "));
        for (int i = 0; i < 3; ++i) {
            QFile::remove(m_rtf);
            ConvertPageToRtf(m_mht, m_rtf, guard, engine);
            QVERIFY(QFile::exists(m_rtf));
        }
        QCOMPARE(
            engine.calls.join(u' '),
            QStringLiteral("create open save 17 quit create open save 17 quit create open save 17 quit"));
    }
};

QTEST_GUILESS_MAIN(TestOfficeStep)
#include "test_officestep.moc"
