#include "../host/scriptedofficeengine.h"
#include "officechecks.h"
#include "scripteddialogs.h"

#include <QtTest>

class TestOfficeChecks : public QObject {
    Q_OBJECT

private slots:
    void startableEngineIsCreatedAndReleasedSilently()
    {
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        QVERIFY(CheckWordCanStart(dialogs, engine));
        QCOMPARE(engine.calls, (QStringList{"create", "quit"}));
        QVERIFY(dialogs.shown.isEmpty());
    }

    void failedQuitAfterAGoodStartDoesNotStopStartUp()
    {
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        engine.failQuit = true;
        QVERIFY(CheckWordCanStart(dialogs, engine));
        QVERIFY(dialogs.shown.isEmpty());
    }

    void engineThatCannotStartShowsTheAdviceInFiveParagraphs()
    {
        ScriptedDialogs dialogs;
        dialogs.setApplicationTitle(QStringLiteral("Quillmark Converter"));
        ScriptedOfficeEngine engine;
        engine.failCreate = true;
        QVERIFY(!CheckWordCanStart(dialogs, engine));
        QCOMPARE(dialogs.shown.size(), 1);
        const auto& box = dialogs.shown.first();
        QCOMPARE(box.style, Dialogs::OkOnly);
        QCOMPARE(box.title, QStringLiteral("Quillmark Converter"));
        const QStringList paragraphs = box.text.split(QStringLiteral("\r\n\r\n"));
        QCOMPARE(paragraphs.size(), 5);
        QCOMPARE(paragraphs[0],
                 QStringLiteral("Error 842001. A normal instance of the page engine could not be created."));
        QVERIFY(paragraphs[2].contains(QStringLiteral("quillmark-office stands beside quillmark")));
        QCOMPARE(paragraphs[4], QStringLiteral("4. LibreOffice Writer is needed only for attached office "
                                               "documents; mail is laid out without it."));
        QVERIFY(!box.text.endsWith(u'\n'));
    }

    void promptShowsOnlyForAnInstanceNamedExactlyMicrosoftWord_data()
    {
        QTest::addColumn<QString>("runningName");
        QTest::addColumn<bool>("failAttach");
        QTest::addColumn<bool>("prompted");
        QTest::newRow("none running") << QString() << false << false;
        QTest::newRow("word running") << QStringLiteral("Microsoft Word") << false << true;
        QTest::newRow("other case") << QStringLiteral("microsoft word") << false << false;
        QTest::newRow("other application") << QStringLiteral("LibreOffice") << false << false;
        QTest::newRow("attach fails") << QStringLiteral("Microsoft Word") << true << false;
    }

    void promptShowsOnlyForAnInstanceNamedExactlyMicrosoftWord()
    {
        QFETCH(QString, runningName);
        QFETCH(bool, failAttach);
        QFETCH(bool, prompted);
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        engine.runningName = runningName;
        engine.failAttach = failAttach;
        dialogs.messageAnswers.enqueue(Dialogs::AnswerYes);
        QCOMPARE(IsWordRunning(engine), prompted);
        QVERIFY(!WarnIfWordRunning(dialogs, engine)); // Yes, or no prompt: go on
        QCOMPARE(dialogs.shown.size(), prompted ? 1 : 0);
        QVERIFY(!engine.calls.contains(QStringLiteral("quit"))); // a running instance is never closed
    }

    void answeringNoStopsTheRun()
    {
        ScriptedDialogs dialogs;
        ScriptedOfficeEngine engine;
        engine.runningName = QStringLiteral("Microsoft Word");
        dialogs.messageAnswers.enqueue(Dialogs::AnswerNo);
        QVERIFY(WarnIfWordRunning(dialogs, engine));
        const auto& box = dialogs.shown.first();
        QCOMPARE(box.style, Dialogs::YesNo);
        QCOMPARE(box.text,
                 QStringLiteral(
                     "Word may be open. It is recommended that you close Word first. Use Ctrl+Alt+Del > Task "
                     "Manager > WINWORD.EXE if necessary.\r\n\r\nWould you like to proceed anyway?"));
    }

    void realEngineNeverFindsARunningInstance() { QVERIFY(!IsWordRunning(ProgramOfficeEngine())); }
};

QTEST_GUILESS_MAIN(TestOfficeChecks)
#include "test_officechecks.moc"
