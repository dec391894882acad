#include "conversionrun.h"
#include "form1.h"
#include "formrunview.h"
#include "messageconverter.h"
#include "officeengine.h"
#include "officehostclient.h"
#include "progressbar.h"
#include "scripteddialogs.h"
#include "settingsstore.h"

#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include <tiffio.h>

namespace {

// Passes every change the run makes to the window's bar on to it, and lets
// the test see each caption the moment it is set, whatever the machine's speed.
class WatchedBar : public ProgressBar {
public:
    explicit WatchedBar(ProgressBar& bar) : m_bar(bar) {}

    QString text() const override { return m_bar.text(); }
    void setText(const QString& text) override
    {
        m_bar.setText(text);
        if (onText)
            onText(text);
    }
    double value() const override { return m_bar.value(); }
    void setValue(double value) override { m_bar.setValue(value); }

    std::function<void(const QString&)> onText;

private:
    ProgressBar& m_bar;
};

class WatchedView : public FormRunView {
public:
    WatchedView(Form1& form, ProgressBar& bar) : FormRunView(form), m_bar(bar) {}
    ProgressBar& progressBar() override { return m_bar; }

private:
    ProgressBar& m_bar;
};

} // namespace

// "Start Converting" in the real window over the sample messages, with the
// real office engine and vexlo: what the user sees while it runs and after.
class TestConversionGui : public QObject {
    Q_OBJECT

    struct Seen {
        QString text;
        double value;
        bool busy;
    };

private slots:
    void convertsTheSamplesFromTheWindow()
    {
        QTemporaryDir dir;
        const QString mail = dir.filePath(QStringLiteral("mail box"));
        const QString work = dir.filePath(QStringLiteral("work"));
        QDir().mkpath(mail);
        QDir().mkpath(work);
        QStringList messages;
        const QDir samples(QStringLiteral(QM_SOURCE_DIR "/samples"));
        for (const QString& name : samples.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name)) {
            QVERIFY(QFile::copy(samples.filePath(name), mail + QLatin1Char('/') + name));
            messages << mail + QLatin1Char('/') + name;
        }

        ScriptedDialogs dialogs;
        SettingsStore settings(dir.filePath(QStringLiteral("settings.ini")));
        settings.write(QStringLiteral("Option1"), QStringLiteral("False"));
        settings.write(QStringLiteral("Option2"), QStringLiteral("True"));

        SetOfficeHostProgram(QStringLiteral(QM_PROGRAM_DIR "/quillmark-office"));
        MessageConverter converter(ProgramOfficeEngine(), QStringLiteral(QM_PROGRAM_DIR "/vexlo"), work);
        ConversionRun run(converter);
        QList<bool> runningAtClick;
        bool secondClickQueued = false;
        QList<Seen> seen;
        QPushButton* start = nullptr;
        Form1::Hooks hooks;
        hooks.checkOfficeCanStart = [] { return true; };
        hooks.drawHomePageNumber = [] { return 50; };
        hooks.endProcess = [] {};
        hooks.startConverting = [&](Form1& form) {
            runningAtClick << run.IsConverting();
            WatchedBar bar(form.progressBar());
            // Every caption as it is set, with the bar's position and the
            // pointer at that moment. Once the first message is under way a
            // second click is queued: the run's next yield delivers it.
            bar.onText = [&](const QString& text) {
                seen.append({text, bar.value(), form.isBusy()});
                if (!secondClickQueued && text.startsWith(QLatin1String("Processing: "))) {
                    secondClickQueued = true;
                    QMetaObject::invokeMethod(
                        start, [&] { QTest::mouseClick(start, Qt::LeftButton); }, Qt::QueuedConnection);
                }
            };
            WatchedView view(form, bar);
            run.PushButton2_Click(view);
        };
        Form1 form(dialogs, settings, std::move(hooks), QStringLiteral(QM_PROGRAM_DIR));
        form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.appendItems(messages);
        QVERIFY(form.saveBesideOriginal());

        start = form.findChild<QPushButton*>(QStringLiteral("PushButton2"));
        QVERIFY(start);
        QTest::mouseClick(start, Qt::LeftButton);

        // The second click came while the run went on and was ignored: it
        // started no run of its own, which would have shown a second "Done.".
        QCOMPARE(runningAtClick, (QList<bool>{false, true}));
        QCOMPARE(dialogs.messages(), QStringList{QStringLiteral("Done.")});
        QVERIFY(!form.isBusy());
        QCOMPARE(form.progressBar().text(), QStringLiteral("Progress Bar"));
        QCOMPARE(form.progressBar().value(), 0.0);
        QVERIFY(!run.IsConverting());

        // The run's own captions, one per message; the renderer's wait adds
        // "Please wait.." captions only when a message takes long, and puts
        // the run's caption back afterwards.
        QStringList expected;
        for (const QString& message : messages)
            expected << QStringLiteral("Processing: ") + QFileInfo(message).fileName();
        const int count = int(messages.size());
        QStringList texts;
        for (const Seen& s : seen) {
            if (!expected.contains(s.text))
                continue;
            QVERIFY2(s.busy, qPrintable(s.text));
            if (texts.isEmpty() || texts.last() != s.text) {
                texts << s.text;
                const int i = int(texts.size());
                QCOMPARE(s.value, double(i) / count * 100.0);
            }
        }
        QCOMPARE(texts, expected);

        for (const QString& message : messages) {
            const QString tiffPath =
                mail + QLatin1Char('/') + QFileInfo(message).completeBaseName() + QStringLiteral(".tiff");
            TIFF* tiff = TIFFOpen(tiffPath.toLocal8Bit().constData(), "r");
            QVERIFY2(tiff, qPrintable(tiffPath));
            QVERIFY(TIFFNumberOfDirectories(tiff) >= 1);
            TIFFClose(tiff);
        }
        QCOMPARE(QDir(mail).entryList({QStringLiteral("*.tiff")}, QDir::Files).size(), messages.size());
    }
};

QTEST_MAIN(TestConversionGui)
#include "test_conversion_gui.moc"
