#include "../host/scriptedofficeengine.h"
#include "conversionrun.h"
#include "messageconverter.h"
#include "paths.h"
#include "progressbar.h"
#include "runview.h"
#include "scripteddialogs.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

class RecordingBar : public ProgressBar {
public:
    QString text() const override { return m_text; }
    void setText(const QString& text) override
    {
        const bool changed = text != m_text;
        m_text = text;
        if (changed && text.startsWith(QLatin1String("Processing: ")) && !text.contains(QLatin1Char('(')))
            starts << qMakePair(text, m_value);
        if (onText)
            onText(text);
    }
    double value() const override { return m_value; }
    void setValue(double value) override
    {
        if (failSetValue)
            throw std::runtime_error("the bar is gone");
        m_value = value;
    }

    QList<QPair<QString, double>> starts; // text and position as each message began
    std::function<void(const QString&)> onText;
    bool failSetValue = false;

private:
    QString m_text = QStringLiteral("Progress Bar");
    double m_value = 0;
};

class ListView : public RunView {
public:
    QStringList items;
    bool option1 = false;
    bool option2 = true;
    QString folder;
    RecordingBar bar;
    ScriptedDialogs asked;
    bool busy = false;
    QList<bool> busyChanges;
    mutable int folderReads = 0;
    int folderReadsBeforeFailure = -1; // never

    int itemCount() const override { return int(items.size()); }
    QString itemText(int index) const override { return items.at(index - 1); }
    bool saveToFolder() const override { return option1; }
    bool saveBesideOriginal() const override { return option2; }
    QString destinationFolder() const override
    {
        if (++folderReads > folderReadsBeforeFailure && folderReadsBeforeFailure >= 0)
            throw std::runtime_error("the folder text is gone");
        return folder;
    }
    ProgressBar& progressBar() override { return bar; }
    void setBusy(bool value) override
    {
        busy = value;
        busyChanges << value;
    }
    bool isBusy() const override { return busy; }
    Dialogs& dialogs() override { return asked; }
};

QList<int> ReportedSteps(const ScriptedDialogs& dialogs)
{
    QList<int> steps;
    static const QRegularExpression line(QStringLiteral("PushButton2_Click at line (\\d+)"));
    for (const auto& shown : dialogs.shown) {
        const auto match = line.match(shown.text);
        if (match.hasMatch())
            steps << match.captured(1).toInt();
    }
    return steps;
}

} // namespace

// The run over a scripted engine and a stand-in for vexlo: a shell script that
// logs its arguments and environment and writes a file at the output path,
// or fails for an RTF whose name holds "vexlofail".
class TestConversionRun : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_work;
    QString m_mail;
    QString m_vexlo;
    QString m_log;

    QString writeMessage(const QString& path, const QByteArray& subject = "Hello")
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write("From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: " + subject +
                   "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\nContent-Type: text/html\r\n\r\n"
                   "<html><body>Hi</body></html>\r\n");
        return path;
    }

    QStringList vexloCalls() const
    {
        QFile file(m_log);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    struct Rig {
        ScriptedOfficeEngine engine;
        MessageConverter converter;
        ConversionRun run;
        Rig(const QString& vexlo, const QString& work, const QString& log)
            : converter(engine, vexlo, work), run(converter)
        {
            converter.setEnvironmentSource([log] {
                return QMap<QString, QString>{
                    {QStringLiteral("QUILLMARK_OFFICE_SOCKET"), QStringLiteral("sock-1")},
                    {QStringLiteral("VEXLO_LOG"), log}};
            });
        }
    };

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        const QString root =
            m_dir.path() + QStringLiteral("/") + QString::fromLatin1(QTest::currentTestFunction()) +
            QLatin1Char('-') +
            QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_'));
        m_work = root + QStringLiteral("/work");
        m_mail = root + QStringLiteral("/mail");
        m_log = root + QStringLiteral("/vexlo.log");
        QDir().mkpath(m_work);
        QDir().mkpath(m_mail);
        m_vexlo = m_dir.path() + QStringLiteral("/vexlo");
        QFile script(m_vexlo);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(
            "#!/bin/sh\n"
            "echo \"$1|$2|$QUILLMARK_OFFICE_SOCKET\" >> \"$VEXLO_LOG\"\n"
            "cat \"${1%.pdf}.mht\" >> \"$VEXLO_LOG.pages\"\n"
            "case \"$1\" in *vexlofail*) echo 'cannot lay out' >&2; exit 1;; esac\n"
            "case \"$1\" in *vexlokill*) : > \"${2%/*}/.vexlo-Ab12Cd.tiff.part\"; kill -9 $$;; esac\n"
            "printf 'II*' > \"$2\"\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void convertsEveryMessageInOrder()
    {
        Rig rig(m_vexlo, m_work, m_log);
        ListView view;
        for (const char* name : {"a.eml", "b.eml", "week.report.eml", "d.eml"})
            view.items << writeMessage(m_mail + QLatin1Char('/') + QLatin1String(name));

        rig.run.PushButton2_Click(view);

        const QList<QPair<QString, double>> expected{{QStringLiteral("Processing: a.eml"), 25.0},
                                                     {QStringLiteral("Processing: b.eml"), 50.0},
                                                     {QStringLiteral("Processing: week.report.eml"), 75.0},
                                                     {QStringLiteral("Processing: d.eml"), 100.0}};
        QCOMPARE(view.bar.starts, expected);
        QCOMPARE(view.bar.text(), QStringLiteral("Progress Bar"));
        QCOMPARE(view.bar.value(), 0.0);
        QVERIFY(!view.busy);
        QVERIFY(view.busyChanges.contains(true));
        QCOMPARE(view.asked.messages(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(view.asked.shown.first().title, view.asked.applicationTitle());
        QVERIFY(!rig.run.IsConverting());

        QCOMPARE(rig.engine.calls.count(QStringLiteral("create")), 4);
        QCOMPARE(rig.engine.calls.count(QStringLiteral("quit")), 4);
        const QStringList calls = vexloCalls();
        QCOMPARE(calls.size(), 4);
        // The work files are in a folder of this run's own, inside the work
        // folder, and go with it at the end of the run.
        const QStringList third = calls.at(2).split(QLatin1Char('|'));
        QCOMPARE(QFileInfo(third.at(0)).fileName(), QStringLiteral("week.report.pdf"));
        QCOMPARE(QFileInfo(QFileInfo(third.at(0)).absolutePath()).absolutePath(), m_work);
        QCOMPARE(third.at(1), CollapseSeparators(m_mail + QStringLiteral("/week.report.tiff")));
        QCOMPARE(third.at(2), QStringLiteral("sock-1"));
        for (const char* name : {"a", "b", "week.report", "d"})
            QVERIFY(QFile::exists(m_mail + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".tiff")));
        QVERIFY(QDir(m_work).isEmpty());
        QFile pages(m_log + QStringLiteral(".pages"));
        QVERIFY(pages.open(QIODevice::ReadOnly));
        QVERIFY(pages.readAll().contains("Subject: Hello<br>"));
    }

    // A renderer killed outright cannot remove its half-written image; the
    // run that saw it die does, and goes on with the next message.
    void partialImageOfAKilledRendererIsRemoved()
    {
        Rig rig(m_vexlo, m_work, m_log);
        ListView view;
        view.items << writeMessage(m_mail + QStringLiteral("/vexlokill.eml"))
                   << writeMessage(m_mail + QStringLiteral("/after.eml"));

        rig.run.PushButton2_Click(view);

        QCOMPARE(rig.run.lastSummary().messages, 2);
        QVERIFY(QFile::exists(m_mail + QStringLiteral("/after.tiff")));
        QVERIFY(!QFile::exists(m_mail + QStringLiteral("/vexlokill.tiff")));
        QCOMPARE(QDir(m_mail).entryList({QStringLiteral(".vexlo-*")}, QDir::Files | QDir::Hidden),
                 QStringList());
    }

    void stopsEarlyWithoutTouchingAnything_data()
    {
        QTest::addColumn<int>("items");
        QTest::addColumn<bool>("option1");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("officeOpenAnswerStop");
        QTest::addColumn<QString>("message");
        const QString noFolder = QStringLiteral("Folder does not exist. Please select another folder.");
        QTest::newRow("empty list") << 0 << false << QString() << false << QStringLiteral("No files added.");
        QTest::newRow("empty folder text") << 1 << true << QString() << false << noFolder;
        QTest::newRow("missing folder")
            << 1 << true << QStringLiteral("/no/such/folder") << false << noFolder;
        QTest::newRow("folder names a file") << 1 << true << QStringLiteral("FILE") << false << noFolder;
        QTest::newRow("office open, user declines") << 1 << false << QString() << true << QString();
    }
    void stopsEarlyWithoutTouchingAnything()
    {
        QFETCH(int, items);
        QFETCH(bool, option1);
        QFETCH(QString, folder);
        QFETCH(bool, officeOpenAnswerStop);
        QFETCH(QString, message);

        ScriptedOfficeEngine engine;
        MessageConverter converter(engine, m_vexlo, m_work);
        converter.setEnvironmentSource([this] {
            return QMap<QString, QString>{{QStringLiteral("VEXLO_LOG"), m_log}};
        });
        int warnings = 0;
        ConversionRun run(converter, [&](Dialogs&) {
            ++warnings;
            return officeOpenAnswerStop;
        });
        ListView view;
        for (int i = 0; i < items; ++i)
            view.items << writeMessage(m_mail + QStringLiteral("/m%1.eml").arg(i));
        view.option1 = option1;
        view.option2 = !option1;
        view.folder = folder == QLatin1String("FILE") ? view.items.first() : folder;
        view.bar.setValue(42);

        run.PushButton2_Click(view);

        QCOMPARE(view.asked.messages(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(warnings, message.isEmpty() ? 1 : 0);
        QVERIFY(view.busyChanges.isEmpty());
        QCOMPARE(view.bar.value(), 42.0);
        QCOMPARE(view.bar.text(), QStringLiteral("Progress Bar"));
        QVERIFY(engine.calls.isEmpty());
        QVERIFY(QDir(m_work).isEmpty());
        QVERIFY(!run.IsConverting());

        // The button works again at once.
        view.items = QStringList{writeMessage(m_mail + QStringLiteral("/again.eml"))};
        view.option1 = false;
        view.option2 = true;
        view.asked.shown.clear();
        officeOpenAnswerStop = false;
        run.PushButton2_Click(view);
        QCOMPARE(view.asked.messages(), QStringList{QStringLiteral("Done.")});
    }

    void outputFollowsTheChosenOption()
    {
        Rig rig(m_vexlo, m_work, m_log);
        const QString out = m_dir.path() + QStringLiteral("/out");
        QDir().mkpath(out);
        ListView view;
        view.items << writeMessage(m_mail + QStringLiteral("/a.eml"));
        // A missing folder text does not matter when results go beside the message.
        view.folder = QStringLiteral("/no/such/folder");
        rig.run.PushButton2_Click(view);
        QVERIFY(QFile::exists(m_mail + QStringLiteral("/a.tiff")));

        view.option1 = true;
        view.option2 = false;
        view.folder = out + QLatin1Char('/');
        view.asked.shown.clear();
        rig.run.PushButton2_Click(view);
        QCOMPARE(view.asked.messages(), QStringList{QStringLiteral("Done.")});
        QVERIFY(QFile::exists(out + QStringLiteral("/a.tiff")));

        // With neither option the message's own folder is used.
        QFile::remove(m_mail + QStringLiteral("/a.tiff"));
        view.option1 = false;
        view.folder.clear();
        view.asked.shown.clear();
        rig.run.PushButton2_Click(view);
        QCOMPARE(view.asked.messages(), QStringList{QStringLiteral("Done.")});
        QVERIFY(QFile::exists(m_mail + QStringLiteral("/a.tiff")));
    }

    void sameNameInOneRunKeepsBothResults()
    {
        Rig rig(m_vexlo, m_work, m_log);
        const QString out = m_dir.path() + QStringLiteral("/same");
        QDir().mkpath(out);
        ListView view;
        view.option1 = true;
        view.option2 = false;
        view.folder = out;
        view.items << writeMessage(m_mail + QStringLiteral("/x/a.eml"))
                   << writeMessage(m_mail + QStringLiteral("/y/a.eml"))
                   << writeMessage(m_mail + QStringLiteral("/z/a.eml"));
        QFile old(out + QStringLiteral("/a.tiff"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("from an earlier run");
        old.close();

        for (int run = 0; run < 2; ++run) {
            rig.run.PushButton2_Click(view);
            QCOMPARE(QDir(out).entryList(QDir::Files),
                     (QStringList{QStringLiteral("a (2).tiff"), QStringLiteral("a (3).tiff"),
                                  QStringLiteral("a.tiff")}));
        }
        QFile replaced(out + QStringLiteral("/a.tiff"));
        QVERIFY(replaced.open(QIODevice::ReadOnly));
        QCOMPARE(replaced.readAll(), QByteArray("II*"));
    }

    void aResultNeverReplacesItsOwnMessage()
    {
        Rig rig(m_vexlo, m_work, m_log);
        ListView view;
        const QString message = writeMessage(m_mail + QStringLiteral("/scan.tiff"));
        view.items << message;
        rig.run.PushButton2_Click(view);
        QVERIFY(QFile(message).open(QIODevice::ReadOnly));
        QCOMPARE(QFileInfo(message).size(),
                 QFileInfo(writeMessage(m_dir.path() + QStringLiteral("/ref.eml"))).size());
        QVERIFY(QFile::exists(m_mail + QStringLiteral("/scan (2).tiff")));
    }

    void failuresAreCountedAndNamed()
    {
        Rig rig(m_vexlo, m_work, m_log);
        ListView view;
        const QString empty = m_mail + QStringLiteral("/empty.eml");
        QFile(empty).open(QIODevice::WriteOnly);
        const QString binary = m_mail + QStringLiteral("/binary.eml");
        QFile bin(binary);
        QVERIFY(bin.open(QIODevice::WriteOnly));
        bin.write(QByteArray("\x7f"
                             "ELF\x02\x01\x01\x00\x00\x00",
                             10));
        bin.close();
        QDir().mkpath(m_mail + QStringLiteral("/folder.eml"));
        // Zero bytes in a part below the headers are no reason to refuse.
        const QString binaryPart = m_mail + QStringLiteral("/binarypart.eml");
        QFile part(binaryPart);
        QVERIFY(part.open(QIODevice::WriteOnly));
        part.write(QByteArray("Subject: UTF-16\r\nContent-Type: text/plain; charset=utf-16le\r\n"
                              "Content-Transfer-Encoding: binary\r\n\r\nH\0i\0",
                              102));
        part.close();
        view.items << writeMessage(m_mail + QStringLiteral("/good.eml"))
                   << m_mail + QStringLiteral("/missing.eml") << m_mail + QStringLiteral("/folder.eml")
                   << empty << binary << writeMessage(m_mail + QStringLiteral("/vexlofail.eml"))
                   << binaryPart;

        rig.run.PushButton2_Click(view);

        QCOMPARE(
            view.asked.messages(),
            QStringList{QStringLiteral("Done.\r\n\r\n5 of 7 messages produced no TIFF file:\r\n"
                                       "missing.eml: the file does not exist\r\n"
                                       "folder.eml: it is a folder, not a message file\r\n"
                                       "empty.eml: the file is empty\r\n"
                                       "binary.eml: the file holds binary data, not an e-mail message\r\n"
                                       "vexlofail.eml: the page renderer failed: cannot lay out")});
        QCOMPARE(rig.run.lastSummary().messages, 7);
        // Only the three real messages reached the engine.
        QCOMPARE(rig.engine.calls.count(QStringLiteral("create")), 3);
        QVERIFY(QFile::exists(m_mail + QStringLiteral("/binarypart.tiff")));
        QVERIFY(QFile::exists(m_mail + QStringLiteral("/good.tiff")));
        QVERIFY(!QFile::exists(m_mail + QStringLiteral("/empty.tiff")));
    }

    void failingStepsAreReportedAndTheRunGoesOn()
    {
        Rig rig(m_vexlo, m_work, m_log);
        rig.engine.failCreate = true;
        ListView view;
        view.items << writeMessage(m_mail + QStringLiteral("/a.eml"))
                   << writeMessage(m_mail + QStringLiteral("/b.eml"));

        rig.run.PushButton2_Click(view);

        QCOMPARE(ReportedSteps(view.asked), (QList<int>{206, 208, 210, 212, 206, 208, 210, 212}));
        QCOMPARE(view.asked.shown.first().title, QStringLiteral("Application Error"));
        QVERIFY(vexloCalls().isEmpty());
        QVERIFY(view.asked.messages().last().startsWith(QStringLiteral("Done.\r\n\r\n2 of 2 messages")));
        QCOMPARE(view.bar.text(), QStringLiteral("Progress Bar"));
        QVERIFY(!view.busy);
    }

    void aFailingBarIsReportedAtItsStep()
    {
        Rig rig(m_vexlo, m_work, m_log);
        ListView view;
        view.items << writeMessage(m_mail + QStringLiteral("/a.eml"));
        view.bar.failSetValue = true;
        rig.run.PushButton2_Click(view);
        QCOMPARE(ReportedSteps(view.asked), (QList<int>{130, 230}));
        QCOMPARE(view.asked.messages().last(), QStringLiteral("Done."));
        QVERIFY(QFile::exists(m_mail + QStringLiteral("/a.tiff")));
    }

    // The destination check reads the folder text once; forming the output
    // path reads it again, and a failure there is that step's own.
    void aFailingOutputPathIsReportedAtItsStep()
    {
        Rig rig(m_vexlo, m_work, m_log);
        ListView view;
        view.items << writeMessage(m_mail + QStringLiteral("/a.eml"));
        view.option1 = true;
        view.option2 = false;
        view.folder = m_dir.path();
        view.folderReadsBeforeFailure = 1;
        rig.run.PushButton2_Click(view);
        QCOMPARE(ReportedSteps(view.asked), QList<int>{144});
        QVERIFY(view.asked.messages().last().startsWith(QStringLiteral("Done.")));
    }

    void aFailedConversionKeepsTheEarlierTiff_data()
    {
        QTest::addColumn<bool>("engineDown");
        QTest::newRow("renderer fails") << false;
        QTest::newRow("engine down") << true;
    }
    void aFailedConversionKeepsTheEarlierTiff()
    {
        QFETCH(bool, engineDown);
        Rig rig(m_vexlo, m_work, m_log);
        rig.engine.failCreate = engineDown;
        ListView view;
        view.items << writeMessage(m_mail + QStringLiteral("/vexlofail.eml"));
        const QString earlier = m_mail + QStringLiteral("/vexlofail.tiff");
        QFile tiff(earlier);
        QVERIFY(tiff.open(QIODevice::WriteOnly));
        tiff.write("an earlier good result");
        tiff.close();

        rig.run.PushButton2_Click(view);

        QVERIFY(view.asked.messages().last().contains(QStringLiteral("1 of 1 message produced no TIFF")));
        QVERIFY(tiff.open(QIODevice::ReadOnly));
        QCOMPARE(tiff.readAll(), QByteArray("an earlier good result"));
    }

    void aWorkFolderThatCannotBeMadeFailsEachMessageWithAdvice()
    {
        Rig rig(m_vexlo, m_dir.path() + QStringLiteral("/no/such/folder"), m_log);
        ListView view;
        view.items << writeMessage(m_mail + QStringLiteral("/a.eml"));
        rig.run.PushButton2_Click(view);
        const QString done = view.asked.messages().last();
        QVERIFY2(done.contains(QStringLiteral("a.eml: No work folder could be made in")), qPrintable(done));
        QVERIFY(
            done.contains(QStringLiteral("does not exist. Create it, or set TEMP to a folder that exists")));
        QVERIFY(vexloCalls().isEmpty());
        QVERIFY(rig.engine.calls.isEmpty());
    }

    void theClosingMessageListsAtMostTwentyFailures()
    {
        RunSummary summary;
        summary.messages = 30;
        for (int i = 1; i <= 25; ++i)
            summary.failures.append({QStringLiteral("m%1.eml").arg(i), QStringLiteral("reason %1").arg(i)});
        const QStringList lines = DoneMessage(summary).split(QStringLiteral("\r\n"));
        QCOMPARE(lines.first(), QStringLiteral("Done."));
        QCOMPARE(lines.at(2), QStringLiteral("25 of 30 messages produced no TIFF file:"));
        QCOMPARE(lines.at(3), QStringLiteral("m1.eml: reason 1"));
        QCOMPARE(lines.at(22), QStringLiteral("m20.eml: reason 20"));
        QCOMPARE(lines.last(), QStringLiteral("and 5 more"));
        QCOMPARE(lines.size(), 24);
    }

    void aShortenedListEndsTheRunEarly()
    {
        Rig rig(m_vexlo, m_work, m_log);
        ListView view;
        for (const char* name : {"a.eml", "b.eml", "c.eml"})
            view.items << writeMessage(m_mail + QLatin1Char('/') + QLatin1String(name));
        view.bar.onText = [&](const QString& text) {
            if (text == QLatin1String("Processing: a.eml"))
                view.items = view.items.mid(0, 1);
        };
        rig.run.PushButton2_Click(view);
        QCOMPARE(view.bar.starts.size(), 1);
        QCOMPARE(view.asked.messages(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(rig.run.lastSummary().messages, 1);
    }

    void aSecondClickDuringTheRunIsIgnored()
    {
        Rig rig(m_vexlo, m_work, m_log);
        ListView view;
        view.items << writeMessage(m_mail + QStringLiteral("/a.eml"))
                   << writeMessage(m_mail + QStringLiteral("/b.eml"));
        bool wasConverting = false;
        view.bar.onText = [&](const QString& text) {
            if (text == QLatin1String("Processing: a.eml")) {
                wasConverting = rig.run.IsConverting();
                rig.run.PushButton2_Click(view);
            }
        };
        rig.run.PushButton2_Click(view);
        QVERIFY(wasConverting);
        QCOMPARE(view.bar.starts.size(), 2);
        QCOMPARE(rig.engine.calls.count(QStringLiteral("create")), 2);
        QCOMPARE(view.asked.messages(), QStringList{QStringLiteral("Done.")});
        QVERIFY(!rig.run.IsConverting());
    }
};

QTEST_GUILESS_MAIN(TestConversionRun)
#include "test_conversionrun.moc"
