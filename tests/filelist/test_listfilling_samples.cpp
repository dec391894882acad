#include "recordinglist.h"
#include "samplefiles.h"
#include "scripteddialogs.h"
#include "settingsstore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

namespace {

const QString kQuestion = QStringLiteral("Would you like this software to open the folder where these sample "
                                         "files are stored (so that you can view "
                                         "them before working with them)?");

void writeFile(const QString& path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("Subject: sample\r\n\r\nbody\r\n");
}

class ThrowingList : public RecordingList {
public:
    QStringList items() const override { throw std::runtime_error("Cannot read the list"); }
};

} // namespace

class TestSampleFiles : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_program;
    QString m_samples;
    std::unique_ptr<SettingsStore> m_settings;

    void addSamples(const QStringList& names)
    {
        for (const QString& name : names)
            writeFile(m_samples + u'/' + name);
    }

private slots:
    void init()
    {
        m_program = m_tmp.path() + u'/' + QTest::currentTestFunction() + QStringLiteral("/program");
        m_samples = m_program + QStringLiteral("/Samples");
        QVERIFY(QDir().mkpath(m_samples));
        m_settings =
            std::make_unique<SettingsStore>(m_tmp.filePath(QTest::currentTestFunction() + QString(".ini")));
    }

    void snapshotIsTakenOnceAndKeptForGood()
    {
        // A file manager's hidden file in the folder is no sample.
        addSamples({"c.eml", "a.eml", "b.eml", ".directory"});
        EnsureSampleSnapshot(*m_settings, m_program);
        const QString expected = m_samples + "/a.eml|" + m_samples + "/b.eml|" + m_samples + "/c.eml";
        QCOMPARE(m_settings->read("Snapshot"), expected);
        QCOMPARE(SamplesFolder(m_program), m_samples);

        // Later changes to the folder do not touch the record.
        addSamples({"late.eml"});
        QVERIFY(QFile::remove(m_samples + "/b.eml"));
        EnsureSampleSnapshot(*m_settings, m_program);
        QCOMPARE(m_settings->read("Snapshot"), expected);
    }

    void emptyOrMissingFolderIsTriedAgainNextStart()
    {
        EnsureSampleSnapshot(*m_settings, m_program);
        QCOMPARE(m_settings->read("Snapshot", "absent"), QString());

        addSamples({"first.eml"});
        EnsureSampleSnapshot(*m_settings, m_program);
        QCOMPARE(m_settings->read("Snapshot"), m_samples + "/first.eml");

        QTemporaryDir store;
        SettingsStore fresh(store.filePath("s.ini"));
        TakeSampleSnapshot(fresh, m_program + "/nowhere");
        QCOMPARE(fresh.read("Snapshot", "absent"), QString());
    }

    // Another copy of the program (the build tree, an installed one) wrote
    // its own samples into the shared store.
    void anotherCopysSnapshotIsTakenAgain()
    {
        addSamples({"a.eml"});
        const QString other = m_tmp.path() + QStringLiteral("/other/program/Samples");
        for (const QString& stored : {other + "/a.eml", m_samples + "/a.eml|" + other + "/b.eml",
                                      m_samples + "/nested/a.eml", m_program + "/a.eml"}) {
            m_settings->write("Snapshot", stored);
            EnsureSampleSnapshot(*m_settings, m_program);
            QCOMPARE(m_settings->read("Snapshot"), m_samples + "/a.eml");
        }
        RecordingList list;
        ScriptedDialogs dialogs;
        LoadSampleFiles(dialogs, *m_settings, list, m_program);
        QCOMPARE(list.paths, QStringList{m_samples + "/a.eml"});
    }

    void loadingAddsWhatIsRecordedStillThereAndNotListed()
    {
        addSamples({"a.eml", "b.eml", "c.eml"});
        EnsureSampleSnapshot(*m_settings, m_program);
        addSamples({"late.eml"});
        QVERIFY(QFile::remove(m_samples + "/b.eml"));

        ScriptedDialogs dialogs;
        dialogs.setApplicationTitle("Quillmark Converter");
        RecordingList list;
        list.paths << m_samples + "/C.eml" << m_samples + "/c.eml";
        LoadSampleFiles(dialogs, *m_settings, list, m_program);
        QCOMPARE(list.paths, QStringList({m_samples + "/C.eml", m_samples + "/c.eml", m_samples + "/a.eml"}));

        // A second press adds nothing but asks again.
        LoadSampleFiles(dialogs, *m_settings, list, m_program);
        QCOMPARE(list.paths.size(), 3);
        QCOMPARE(dialogs.shown.size(), 2);
        for (const auto& shown : std::as_const(dialogs.shown)) {
            QCOMPARE(shown.text, kQuestion);
            QCOMPARE(shown.style, Dialogs::YesNo);
            QCOMPARE(shown.title, QStringLiteral("Quillmark Converter"));
        }
    }

    void yesOpensTheSamplesFolderNoDoesNot()
    {
        ScriptedDialogs dialogs;
        RecordingList list;
        dialogs.messageAnswers << Dialogs::AnswerNo << Dialogs::AnswerYes;
        LoadSampleFiles(dialogs, *m_settings, list, m_program); // no snapshot at all: nothing, still asked
        LoadSampleFiles(dialogs, *m_settings, list, m_program);
        QVERIFY(list.paths.isEmpty());
        QCOMPARE(dialogs.shown.size(), 3);
        QCOMPARE(dialogs.shown[2].kind, QStringLiteral("shell"));
        QCOMPARE(dialogs.shown[2].text, m_samples);
    }

    void pathsWithTheSeparatorReadBackExactly()
    {
        m_program = m_tmp.path() + "/odd|name 100%/program";
        m_samples = m_program + "/Samples";
        QVERIFY(QDir().mkpath(m_samples));
        addSamples({"x|y.eml", "%7C.eml"});
        EnsureSampleSnapshot(*m_settings, m_program);
        QCOMPARE(ReadSampleSnapshot(*m_settings),
                 QStringList({m_samples + "/%7C.eml", m_samples + "/x|y.eml"}));

        RecordingList list;
        ScriptedDialogs dialogs;
        LoadSampleFiles(dialogs, *m_settings, list, m_program);
        QCOMPARE(list.paths, ReadSampleSnapshot(*m_settings));
    }

    void failureIsReportedAndEndsTheLoading()
    {
        addSamples({"a.eml"});
        EnsureSampleSnapshot(*m_settings, m_program);
        ScriptedDialogs dialogs;
        ThrowingList list;
        LoadSampleFiles(dialogs, *m_settings, list, m_program);
        QCOMPARE(dialogs.shown.size(), 1);
        QCOMPARE(dialogs.shown[0].title, QStringLiteral("Application Error"));
        QVERIFY(dialogs.shown[0].text.startsWith(
            "Cannot read the list\r\nin Quillmark2021/08/31.Form1.PushButton7_Click at line 100\r\r"));
    }

    // The samples we ship: each a complete message, all of them in the
    // program folder's Samples once built.
    void shippedSamplesAreInstalled()
    {
        const QDir source(QStringLiteral(QM_SOURCE_DIR "/samples"));
        const QStringList names = source.entryList({"*.eml"}, QDir::Files, QDir::Name);
        QVERIFY2(names.size() >= 6 && names.size() <= 8, qPrintable(names.join(u' ')));
        for (const QString& name : names) {
            QFile shipped(source.filePath(name));
            QVERIFY(shipped.open(QIODevice::ReadOnly));
            const QByteArray bytes = shipped.readAll();
            const QByteArray head = bytes.left(bytes.indexOf("\r\n\r\n"));
            for (const char* field :
                 {"\r\nFrom: ", "\r\nTo: ", "\r\nSubject: ", "\r\nDate: ", "\r\nMIME-Version: 1.0"})
                QVERIFY2(("\r\n" + head).contains(field), qPrintable(name + ": no " + field));
            QVERIFY2(!bytes.contains("\n") || bytes.count("\n") == bytes.count("\r\n"),
                     qPrintable(name + ": lines must end in CR LF"));

            QFile installed(QStringLiteral(QM_PROGRAM_DIR "/Samples/") + name);
            QVERIFY2(installed.open(QIODevice::ReadOnly), qPrintable(installed.fileName()));
            QCOMPARE(installed.readAll(), bytes);
        }
    }
};

QTEST_MAIN(TestSampleFiles)
#include "test_listfilling_samples.moc"
