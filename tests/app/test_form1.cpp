#include "captionprogressbar.h"
#include "filelistview.h"
#include "formfixture.h"
#include "progressbar.h"
#include "startup.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>

namespace {
QStringList reportsAt(const ScriptedDialogs& dialogs, int step)
{
    QStringList out;
    for (const auto& shown : dialogs.shown)
        if (shown.title == QLatin1String("Application Error") &&
            shown.text.contains(QStringLiteral("at line %1").arg(step)))
            out << shown.text;
    return out;
}

void moveOver(QWidget* widget)
{
    QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), widget->mapToGlobal(QPointF(2, 2)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &move);
}

const char* const kPushButtons[] = {"PushButton1", "PushButton2", "PushButton4",
                                    "PushButton6", "PushButton7", "PushButton9"};

// A settings file whose folder is a plain file: every write fails.
QString unwritableStore(const QTemporaryDir& dir)
{
    const QString blocker = dir.filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    file.open(QIODevice::WriteOnly);
    return blocker + QStringLiteral("/settings.ini");
}
} // namespace

class TestForm1 : public QObject {
    Q_OBJECT
private slots:
    void firstStartWithAnEmptyStore();
    void storedOptionsAreRestored_data();
    void storedOptionsAreRestored();
    void aBadStoredTruthIsReportedAndStartUpGoesOn();
    void aBrokenCursorFileIsReportedAndTheWindowStarts();
    void withoutSkinOrCursorTheWindowStartsQuietly();
    void theSampleSnapshotIsTakenOnce();
    void withoutTheOfficeEngineTheProgramEnds();
    void theHomePageOpensOnlyOnASeven_data();
    void theHomePageOpensOnlyOnASeven();
    void anUnwritableStoreIsReportedByTheStepThatWrote();
    void theApplicationTitleDropsTheLastWord();
    void pointerRules();
    void optionClicksStoreBothAndLockTheFolder();
    void typingStoresEveryChange();
    void typingIntoAnUnwritableStoreIsToldOnce();
    void browseSetsTheFolder_data();
    void browseSetsTheFolder();
    void cancellingBrowseChangesNothing();
    void startConvertingHandsTheWindowToTheRun();
    void closingEndsTheProcess();
    void focusFollowsTheLayout();
    void captionsAreNotClipped();
};

void TestForm1::firstStartWithAnEmptyStore()
{
    FormFixture f;
    Form1& form = f.load();

    const QString desktop = GetDesktopFolder();
    QVERIFY(desktop.endsWith(QLatin1Char('/')));
    QCOMPARE(f.child<QLineEdit>("Text1")->text(), desktop);
    QCOMPARE(f.settings->read(QStringLiteral("Text1")), desktop);
    QVERIFY(f.child<QRadioButton>("Option1")->isChecked());
    QVERIFY(!f.child<QRadioButton>("Option2")->isChecked());
    QVERIFY(f.child<QFrame>("Frame3")->isEnabled());
    QCOMPARE(f.settings->read(QStringLiteral("Option1")), QStringLiteral("True"));
    QCOMPARE(f.settings->read(QStringLiteral("Option2")), QStringLiteral("False"));

    QCOMPARE(form.windowTitle(), QStringLiteral("Quillmark Converter Software"));
    QVERIFY(!form.windowIcon().isNull());
    QCOMPARE(f.dialogs.applicationTitle(), QStringLiteral("Quillmark Converter"));
    auto* list = f.child<FileListView>("ListView1");
    QCOMPARE(list->headerItem()->text(0), QStringLiteral("EML File(s)"));
    QCOMPARE(list->columnCount(), 1);
    QCOMPARE(list->toolTip(),
             QStringLiteral("Drag and drop files here. Double-click item to remove it. Move | line "
                            "to right and out of window to reveal full names."));
    QCOMPARE(list->columnWidth(0), qRound(7000 * list->logicalDpiX() / 1440.0));
    // The control named ProgressBar1 is the bar the run drives, and it shows the caption.
    auto* bar = qobject_cast<CaptionProgressBar*>(f.child<QWidget>("ProgressBar1"));
    QVERIFY(bar);
    QCOMPARE(static_cast<ProgressBar*>(bar), &form.progressBar());
    QCOMPARE(bar->text(), QStringLiteral("Progress Bar"));

    QVERIFY(f.dialogs.shown.isEmpty());
    QVERIFY(form.hasHandCursor());
    QVERIFY(!form.styleSheet().isEmpty());
    QCOMPARE(f.calls, QStringList{QStringLiteral("office check")});
}

void TestForm1::storedOptionsAreRestored_data()
{
    QTest::addColumn<QString>("option1");
    QTest::addColumn<QString>("option2");
    QTest::addColumn<bool>("expect1");
    QTest::addColumn<bool>("expect2");
    QTest::newRow("words") << "False"
                           << "True" << false << true;
    QTest::newRow("numbers") << "0"
                             << "1" << false << true;
    QTest::newRow("folder chosen") << "TRUE"
                                   << "false" << true << false;
    // Clearing an option selects nothing else, as the store says.
    QTest::newRow("neither") << "False"
                             << "False" << false << false;
    // Selecting the first stores "Option2" = "False" before it is read.
    QTest::newRow("both") << "True"
                          << "True" << true << false;
}

void TestForm1::storedOptionsAreRestored()
{
    QFETCH(QString, option1);
    QFETCH(QString, option2);
    QFETCH(bool, expect1);
    QFETCH(bool, expect2);
    FormFixture f;
    f.store(QStringLiteral("Option1"), option1);
    f.store(QStringLiteral("Option2"), option2);
    f.store(QStringLiteral("Text1"), QStringLiteral("/srv/converted"));
    f.load();

    QCOMPARE(f.child<QRadioButton>("Option1")->isChecked(), expect1);
    QCOMPARE(f.child<QRadioButton>("Option2")->isChecked(), expect2);
    QCOMPARE(f.child<QFrame>("Frame3")->isEnabled(), expect1);
    QCOMPARE(f.child<QLineEdit>("Text1")->isEnabled(), expect1);
    QCOMPARE(f.child<QPushButton>("PushButton9")->isEnabled(), expect1);
    // Stored as typed, without a separator added.
    QCOMPARE(f.child<QLineEdit>("Text1")->text(), QStringLiteral("/srv/converted"));
    QVERIFY(f.dialogs.shown.isEmpty());
}

void TestForm1::aBadStoredTruthIsReportedAndStartUpGoesOn()
{
    FormFixture f;
    f.store(QStringLiteral("Option1"), QStringLiteral("maybe"));
    f.store(QStringLiteral("Option2"), QStringLiteral("True"));
    f.load();

    const QStringList reports = reportsAt(f.dialogs, 138);
    QCOMPARE(reports.size(), 1);
    QVERIFY(reports.first().contains(QStringLiteral("in Quillmark2021/08/31.Form1.Form_Load at line 138")));
    QCOMPARE(f.dialogs.shown.size(), 1);
    QVERIFY(f.child<QRadioButton>("Option2")->isChecked());
    QVERIFY(!f.child<QFrame>("Frame3")->isEnabled());
    QCOMPARE(f.calls, QStringList{QStringLiteral("office check")});
}

void TestForm1::aBrokenCursorFileIsReportedAndTheWindowStarts()
{
    FormFixture f;
    QFile cursor(f.programFolder + QStringLiteral("/HAND-M.CUR"));
    QVERIFY(cursor.open(QIODevice::WriteOnly | QIODevice::Truncate));
    cursor.write("not a cursor");
    cursor.close();
    Form1& form = f.load();

    QCOMPARE(reportsAt(f.dialogs, 104).size(), 1);
    QCOMPARE(f.dialogs.shown.size(), 1);
    QVERIFY(!form.hasHandCursor());
    QCOMPARE(form.windowTitle(), QStringLiteral("Quillmark Converter Software"));
    QCOMPARE(f.calls, QStringList{QStringLiteral("office check")});
}

void TestForm1::withoutSkinOrCursorTheWindowStartsQuietly()
{
    FormFixture f(false);
    Form1& form = f.load();
    QVERIFY(f.dialogs.shown.isEmpty());
    QVERIFY(form.styleSheet().isEmpty());
    QVERIFY(!form.hasHandCursor());
    moveOver(f.child<QPushButton>("PushButton1"));
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
}

void TestForm1::theSampleSnapshotIsTakenOnce()
{
    FormFixture f;
    QDir().mkpath(f.programFolder + QStringLiteral("/Samples"));
    QFile sample(f.programFolder + QStringLiteral("/Samples/hello.eml"));
    QVERIFY(sample.open(QIODevice::WriteOnly));
    sample.write("From: a@example.org\r\n\r\nHello\r\n");
    sample.close();

    f.load();
    const QString snapshot = f.settings->read(QStringLiteral("Snapshot"));
    QVERIFY(snapshot.contains(QStringLiteral("hello.eml")));

    // A later start with more samples keeps the first record.
    QFile later(f.programFolder + QStringLiteral("/Samples/later.eml"));
    QVERIFY(later.open(QIODevice::WriteOnly));
    later.close();
    f.load();
    QCOMPARE(f.settings->read(QStringLiteral("Snapshot")), snapshot);
    QVERIFY(f.dialogs.shown.isEmpty());
}

void TestForm1::withoutTheOfficeEngineTheProgramEnds()
{
    FormFixture f;
    f.officeCanStart = false;
    f.load();
    QCOMPARE(f.calls, (QStringList{QStringLiteral("office check"), QStringLiteral("end process")}));
    // Everything before the check was done.
    QVERIFY(!f.settings->read(QStringLiteral("Text1")).isEmpty());
}

void TestForm1::theHomePageOpensOnlyOnASeven_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("opens");
    QTest::newRow("1") << 1 << false;
    QTest::newRow("6") << 6 << false;
    QTest::newRow("7") << 7 << true;
    QTest::newRow("100") << 100 << false;
}

void TestForm1::theHomePageOpensOnlyOnASeven()
{
    QFETCH(int, number);
    QFETCH(bool, opens);
    FormFixture f;
    f.homePageNumber = number;
    f.load();
    QStringList opened;
    for (const auto& shown : f.dialogs.shown)
        if (shown.kind == QLatin1String("shell"))
            opened << shown.text;
    QCOMPARE(opened, opens ? QStringList{QStringLiteral("https://velmora.example/")} : QStringList());

    // The real draw stays within 1..100.
    for (int i = 0; i < 1000; ++i) {
        const int drawn = DrawHomePageNumber();
        QVERIFY(drawn >= 1 && drawn <= 100);
    }
}

void TestForm1::anUnwritableStoreIsReportedByTheStepThatWrote()
{
    FormFixture f;
    f.settings = std::make_unique<SettingsStore>(unwritableStore(f.dir));
    f.load();

    // The change handlers write; their failures belong to the steps that
    // changed the text and the option.
    QCOMPARE(reportsAt(f.dialogs, 136).size(), 1);
    QCOMPARE(reportsAt(f.dialogs, 138).size(), 1);
    QCOMPARE(f.child<QLineEdit>("Text1")->text(), GetDesktopFolder());
    QVERIFY(f.child<QRadioButton>("Option1")->isChecked());
    QVERIFY(f.child<QFrame>("Frame3")->isEnabled());
    QCOMPARE(f.calls, QStringList{QStringLiteral("office check")});
}

void TestForm1::theApplicationTitleDropsTheLastWord()
{
    QCOMPARE(ApplicationTitleFrom(QStringLiteral("Quillmark Converter Software")),
             QStringLiteral("Quillmark Converter"));
    QCOMPARE(ApplicationTitleFrom(QStringLiteral("A very long display name that keeps on going past forty")),
             QStringLiteral("A very long display name that keeps on"));
    QCOMPARE(ApplicationTitleFrom(QStringLiteral("Single")), QStringLiteral("Single"));
}

void TestForm1::pointerRules()
{
    FormFixture f;
    Form1& form = f.loadAndShow();
    QWidget* backgrounds[] = {&form, f.child<QWidget>("Frame1"), f.child<QWidget>("Frame3")};

    for (const char* name : kPushButtons) {
        moveOver(f.child<QPushButton>(name));
        QVERIFY2(form.cursor().shape() == Qt::BitmapCursor, name);
        for (QWidget* background : backgrounds) {
            moveOver(background);
            QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
            moveOver(f.child<QPushButton>(name));
        }
    }
    moveOver(f.child<FileListView>("ListView1")->viewport());
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);

    form.setBusy(true);
    QVERIFY(form.isBusy());
    for (const char* name : kPushButtons) {
        moveOver(f.child<QPushButton>(name));
        QCOMPARE(form.cursor().shape(), Qt::WaitCursor);
    }
    for (QWidget* background : backgrounds) {
        moveOver(background);
        QCOMPARE(form.cursor().shape(), Qt::WaitCursor);
    }
    moveOver(f.child<FileListView>("ListView1")->viewport());
    QCOMPARE(form.cursor().shape(), Qt::WaitCursor);

    form.setBusy(false);
    QVERIFY(!form.isBusy());
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
}

void TestForm1::optionClicksStoreBothAndLockTheFolder()
{
    FormFixture f;
    f.loadAndShow();
    auto* option1 = f.child<QRadioButton>("Option1");
    auto* option2 = f.child<QRadioButton>("Option2");

    QTest::mouseClick(option2, Qt::LeftButton, {}, QPoint(6, option2->height() / 2));
    QVERIFY(option2->isChecked() && !option1->isChecked());
    QCOMPARE(f.settings->read(QStringLiteral("Option1")), QStringLiteral("False"));
    QCOMPARE(f.settings->read(QStringLiteral("Option2")), QStringLiteral("True"));
    QVERIFY(!f.child<QLineEdit>("Text1")->isEnabled());
    QVERIFY(!f.child<QPushButton>("PushButton9")->isEnabled());
    const QString folder = f.child<QLineEdit>("Text1")->text();

    QTest::mouseClick(option1, Qt::LeftButton, {}, QPoint(6, option1->height() / 2));
    QVERIFY(option1->isChecked() && !option2->isChecked());
    QCOMPARE(f.settings->read(QStringLiteral("Option1")), QStringLiteral("True"));
    QCOMPARE(f.settings->read(QStringLiteral("Option2")), QStringLiteral("False"));
    QVERIFY(f.child<QLineEdit>("Text1")->isEnabled());
    QVERIFY(f.child<QPushButton>("PushButton9")->isEnabled());
    // The folder waited, unchanged, while the other option was chosen.
    QCOMPARE(f.child<QLineEdit>("Text1")->text(), folder);
    QCOMPARE(f.settings->read(QStringLiteral("Text1")), folder);
}

void TestForm1::typingStoresEveryChange()
{
    FormFixture f;
    f.store(QStringLiteral("Text1"), QStringLiteral("/o"));
    f.loadAndShow();
    auto* text1 = f.child<QLineEdit>("Text1");
    text1->setFocus();
    text1->end(false);

    QStringList storedAfterEachKey;
    for (const char c : {'u', 't', 'x'}) {
        QTest::keyClick(text1, c);
        storedAfterEachKey << f.settings->read(QStringLiteral("Text1"));
    }
    QTest::keyClick(text1, Qt::Key_Backspace);
    storedAfterEachKey << f.settings->read(QStringLiteral("Text1"));
    QCOMPARE(storedAfterEachKey, (QStringList{"/ou", "/out", "/outx", "/out"}));
    QVERIFY(f.dialogs.shown.isEmpty());
}

void TestForm1::typingIntoAnUnwritableStoreIsToldOnce()
{
    FormFixture f;
    f.settings = std::make_unique<SettingsStore>(unwritableStore(f.dir));
    f.loadAndShow();
    f.dialogs.shown.clear();
    auto* text1 = f.child<QLineEdit>("Text1");
    text1->setFocus();
    QTest::keyClicks(text1, QStringLiteral("abc"));

    QCOMPARE(f.dialogs.shown.size(), 1);
    QCOMPARE(f.dialogs.shown.first().style, Dialogs::Exclamation);
    QVERIFY(f.dialogs.shown.first().text.contains(QStringLiteral("not saved")));
    QVERIFY(text1->text().endsWith(QStringLiteral("abc")));
}

void TestForm1::browseSetsTheFolder_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("expectedText");
    QTest::newRow("folder") << "/data/Out/Mail"
                            << "/data/Out/Mail/";
    QTest::newRow("root keeps its one separator") << "/"
                                                  << "/";
    QTest::newRow("network share") << "//server/share"
                                   << "//server/share/";
}

void TestForm1::browseSetsTheFolder()
{
    QFETCH(QString, chosen);
    QFETCH(QString, expectedText);
    FormFixture f;
    f.store(QStringLiteral("LastFolderDot"), QStringLiteral("/earlier"));
    f.loadAndShow();

    f.dialogs.folderAnswers << chosen;
    QTest::mouseClick(f.child<QPushButton>("PushButton9"), Qt::LeftButton);
    QCOMPARE(f.dialogs.shown.size(), 1);
    QCOMPARE(f.dialogs.shown[0].kind, QStringLiteral("folder"));
    QCOMPARE(f.dialogs.shown[0].text, QStringLiteral("Please select folder:"));
    QCOMPARE(f.dialogs.shown[0].extra, QStringLiteral("/earlier"));
    QCOMPARE(f.child<QLineEdit>("Text1")->text(), expectedText);
    QCOMPARE(f.settings->read(QStringLiteral("Text1")), expectedText);
    QCOMPARE(f.settings->read(QStringLiteral("LastFolderDot")), chosen);

    // The next browse starts where this one ended.
    f.form->PushButton9_Click();
    QCOMPARE(f.dialogs.shown.size(), 2);
    QCOMPARE(f.dialogs.shown[1].extra, chosen);
    QCOMPARE(f.child<QLineEdit>("Text1")->text(), expectedText);
}

void TestForm1::cancellingBrowseChangesNothing()
{
    FormFixture f;
    f.store(QStringLiteral("Text1"), QStringLiteral("/kept/"));
    f.loadAndShow();
    f.form->PushButton9_Click();

    QCOMPARE(f.dialogs.shown.size(), 1);
    QCOMPARE(f.dialogs.shown[0].extra, QString());
    QCOMPARE(f.child<QLineEdit>("Text1")->text(), QStringLiteral("/kept/"));
    QCOMPARE(f.settings->read(QStringLiteral("Text1")), QStringLiteral("/kept/"));
    QCOMPARE(f.settings->read(QStringLiteral("LastFolderDot"), QStringLiteral("absent")),
             QStringLiteral("absent"));
}

void TestForm1::startConvertingHandsTheWindowToTheRun()
{
    FormFixture f;
    f.store(QStringLiteral("Text1"), QStringLiteral("/out/"));
    Form1& form = f.loadAndShow();
    form.appendItems(
        {QStringLiteral("/mail/b.eml"), QStringLiteral("/mail/a.eml"), QStringLiteral("/mail/b.eml")});

    QTest::mouseClick(f.child<QPushButton>("PushButton2"), Qt::LeftButton);
    QCOMPARE(f.converted, &form);
    QCOMPARE(form.itemCount(), 3);
    QCOMPARE(form.itemText(1), QStringLiteral("/mail/b.eml"));
    QCOMPARE(form.itemText(3), QStringLiteral("/mail/b.eml"));
    QCOMPARE(form.itemText(4), QString());
    QVERIFY(form.saveToFolder() && !form.saveBesideOriginal());
    QCOMPARE(form.destinationFolder(), QStringLiteral("/out/"));

    ProgressBar& bar = form.progressBar();
    bar.setValue(100.0 / 3.0);
    bar.setText(QStringLiteral("Processing: a.eml"));
    QCOMPARE(bar.value(), 100.0 / 3.0);
    QCOMPARE(bar.text(), QStringLiteral("Processing: a.eml"));
}

void TestForm1::closingEndsTheProcess()
{
    FormFixture f;
    Form1& form = f.loadAndShow();
    form.setBusy(true);
    QVERIFY(form.close());
    QCOMPARE(f.calls.last(), QStringLiteral("end process"));
    // Nothing is written on the way out.
    QCOMPARE(f.dialogs.shown.size(), 0);
}

void TestForm1::focusFollowsTheLayout()
{
    FormFixture f;
    f.loadAndShow();
    const QStringList expected{"ListView1", "PushButton1", "PushButton4", "PushButton7", "PushButton6",
                               "Option2",   "Option1",     "Text1",       "PushButton9", "PushButton2"};
    QStringList order;
    QWidget* w = f.child<QWidget>("ListView1");
    for (int i = 0; i < expected.size(); ++i) {
        order << w->objectName();
        do
            w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus || w->objectName().isEmpty() ||
               w->objectName().startsWith("qt_"));
    }
    QCOMPARE(order, expected);
}

void TestForm1::captionsAreNotClipped()
{
    // With the skin and in the native look, at the normal and a doubled font.
    for (const bool skinned : {true, false}) {
        for (const qreal scale : {1.0, 2.0}) {
            FormFixture f(skinned);
            f.create();
            QFont font = f.form->font();
            font.setPointSizeF(font.pointSizeF() * scale);
            f.form->setFont(font);
            f.form->Form_Load();
            f.form->show();
            QVERIFY(QTest::qWaitForWindowExposed(f.form.get()));
            for (auto* button : f.form->findChildren<QAbstractButton*>())
                QVERIFY2(button->width() >= button->sizeHint().width(), qPrintable(button->objectName()));
            auto* groupBox = f.child<QGroupBox>("Frame1");
            QVERIFY(groupBox->width() >= groupBox->fontMetrics().horizontalAdvance(groupBox->title()));
            auto* bar = f.child<QWidget>("ProgressBar1");
            QVERIFY(bar->height() >= bar->fontMetrics().height());
        }
    }
}

QTEST_MAIN(TestForm1)
#include "test_form1.moc"
