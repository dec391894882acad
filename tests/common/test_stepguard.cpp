#include "scripteddialogs.h"
#include "steperror.h"
#include "stepguard.h"

#include <QStringList>
#include <QtTest>

#include <stdexcept>

namespace {

const QString kFormLoad = QStringLiteral("in Quillmark2021/08/31.Form1.Form_Load ");

// An unguarded procedure: its error passes to the guarded caller.
void unguardedHelper(QStringList& trace)
{
    trace << QStringLiteral("helper start");
    raiseStepError(QStringLiteral("helper failed"));
    trace << QStringLiteral("helper rest"); // never reached
}

} // namespace

class TestStepGuard : public QObject {
    Q_OBJECT

private slots:
    void reportTextIsExact()
    {
        QCOMPARE(BuildErrorReport(QStringLiteral("D"), kFormLoad, 104),
                 QStringLiteral("D\r\nin Quillmark2021/08/31.Form1.Form_Load at line 104\r\r"
                                "Please email screenshot of this message to support@velmora.example"));
        // An empty description starts the report with the line break.
        QVERIFY(BuildErrorReport({}, kFormLoad, 100).startsWith(QStringLiteral("\r\nin Quillmark")));
        QCOMPARE(BuildErrorReport(QStringLiteral("Permission denied"),
                                  QStringLiteral("in Quillmark2021/08/31.Main.ReadFileToString "), 104,
                                  QStringLiteral("/tmp/a.mht")),
                 QStringLiteral(
                     "Permission denied\r\nin Quillmark2021/08/31.Main.ReadFileToString at line 104\r\r"
                     "Please email screenshot of this message to support@velmora.example\r\nf: /tmp/a.mht"));
        // A report about a file keeps its "f: " line even when the path is empty.
        QVERIFY(BuildErrorReport(QStringLiteral("x"), kFormLoad, 100, QString())
                    .endsWith(QStringLiteral("\r\nf: ")));
    }

    void reportIsAWarningBoxTitledApplicationError()
    {
        ScriptedDialogs dialogs;
        dialogs.setApplicationTitle(QStringLiteral("Quillmark Converter"));
        ReportUnexpectedError(dialogs, kFormLoad, 108, QStringLiteral("Disk full"));
        QCOMPARE(dialogs.shown.size(), 1);
        QCOMPARE(dialogs.shown[0].style, Dialogs::Exclamation);
        QCOMPARE(dialogs.shown[0].title, QStringLiteral("Application Error"));
        QCOMPARE(dialogs.shown[0].text, BuildErrorReport(QStringLiteral("Disk full"), kFormLoad, 108));
    }

    void failingStepsAreReportedAndTheProcedureGoesOn()
    {
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, kFormLoad);
        QStringList trace;
        guard.step(100, [&] { trace << QStringLiteral("100"); });
        // Texts of both kinds of exception come through as UTF-8.
        guard.step(102, [&] { raiseStepError(QStringLiteral(u"first \u201EM\u00FCll\u201C")); });
        guard.step(104, [&] { trace << QStringLiteral("104"); });
        guard.step(106, [&] { throw std::runtime_error("second \xC3\xBC"); });
        guard.step(108, [&] { throw 42; });
        guard.step(110, [&] { trace << QStringLiteral("110"); });

        QCOMPARE(trace, (QStringList{QStringLiteral("100"), QStringLiteral("104"), QStringLiteral("110")}));
        QCOMPARE(
            dialogs.messages(),
            (QStringList{BuildErrorReport(QStringLiteral(u"first \u201EM\u00FCll\u201C"), kFormLoad, 102),
                         BuildErrorReport(QStringLiteral(u"second \u00FC"), kFormLoad, 106),
                         BuildErrorReport(QStringLiteral("Unknown error"), kFormLoad, 108)}));
    }

    void failingTestGoesOnWithTheFirstBranch()
    {
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, kFormLoad);
        QStringList trace;
        if (guard.test(102, [&]() -> bool { raiseStepError(QStringLiteral("no cursor file")); }))
            guard.step(104, [&] { trace << QStringLiteral("then"); });
        else
            guard.step(106, [&] { trace << QStringLiteral("else"); });
        QCOMPARE(trace, QStringList{QStringLiteral("then")});
        QCOMPARE(dialogs.messages(),
                 QStringList{BuildErrorReport(QStringLiteral("no cursor file"), kFormLoad, 102)});

        // A test that holds or fails without an error takes its branch as usual.
        QVERIFY(!guard.test(108, [] { return false; }));
        QCOMPARE(dialogs.shown.size(), 1);
    }

    void failingCallAbandonsTheRestOfTheUnguardedProcedure()
    {
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, kFormLoad);
        QStringList trace;
        guard.step(108, [&] { unguardedHelper(trace); });
        guard.step(110, [&] { trace << QStringLiteral("110"); });
        QCOMPARE(trace, (QStringList{QStringLiteral("helper start"), QStringLiteral("110")}));
        QCOMPARE(dialogs.messages(),
                 QStringList{BuildErrorReport(QStringLiteral("helper failed"), kFormLoad, 108)});
    }

    void valueFallsBackWhenItsStepFails()
    {
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, kFormLoad);
        QCOMPARE(guard.value<int>(
                     100, [] { return 7; }, -1),
                 7);
        QCOMPARE(guard.value<int>(
                     102, []() -> int { throw std::runtime_error("bad"); }, -1),
                 -1);
        QCOMPARE(dialogs.shown.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestStepGuard)
#include "test_stepguard.moc"
