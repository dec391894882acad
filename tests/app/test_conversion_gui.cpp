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
#include <QTimer>
#include <QtTest>

#include <tiffio.h>

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
        int clicks = 0;
        Form1::Hooks hooks;
        hooks.checkOfficeCanStart = [] { return true; };
        hooks.drawHomePageNumber = [] { return 50; };
        hooks.endProcess = [] {};
        hooks.startConverting = [&](Form1& form) {
            ++clicks;
            FormRunView view(form);
            run.PushButton2_Click(view);
        };
        Form1 form(dialogs, settings, std::move(hooks), QStringLiteral(QM_PROGRAM_DIR));
        form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.appendItems(messages);
        QVERIFY(form.saveBesideOriginal());

        // Watches the window while the run yields to it, and clicks the
        // button a second time once the first message is under way.
        auto* start = form.findChild<QPushButton*>(QStringLiteral("PushButton2"));
        QVERIFY(start);
        QList<Seen> seen;
        QTimer watcher;
        watcher.setInterval(5);
        connect(&watcher, &QTimer::timeout, [&] {
            const ProgressBar& bar = form.progressBar();
            if (seen.isEmpty() || seen.last().text != bar.text() || seen.last().value != bar.value())
                seen.append({bar.text(), bar.value(), form.isBusy()});
            if (clicks == 1 && bar.text().startsWith(QLatin1String("Processing: ")))
                QTest::mouseClick(start, Qt::LeftButton);
        });
        watcher.start();
        QTest::mouseClick(start, Qt::LeftButton);
        watcher.stop();

        QCOMPARE(clicks, 2);
        QCOMPARE(dialogs.messages(), QStringList{QStringLiteral("Done.")});
        QVERIFY(!form.isBusy());
        QCOMPARE(form.progressBar().text(), QStringLiteral("Progress Bar"));
        QCOMPARE(form.progressBar().value(), 0.0);
        QVERIFY(!run.IsConverting());

        const int count = int(messages.size());
        QStringList texts;
        for (const Seen& s : seen) {
            if (!s.text.startsWith(QLatin1String("Processing: ")))
                continue;
            QVERIFY2(s.busy, qPrintable(s.text));
            if (texts.isEmpty() || texts.last() != s.text) {
                texts << s.text;
                const int i = int(texts.size());
                QCOMPARE(s.value, double(i) / count * 100.0);
            }
        }
        QStringList expected;
        for (const QString& message : messages)
            expected << QStringLiteral("Processing: ") + QFileInfo(message).fileName();
        QCOMPARE(texts, expected);

        for (const QString& message : messages) {
            const QString tiffPath = mail + QLatin1Char('/') + QFileInfo(message).completeBaseName() + QStringLiteral(".tiff");
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
