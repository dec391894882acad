#include "settingsstore.h"
#include "steperror.h"

#include <QTemporaryDir>
#include <QTest>

class TestSettingsStore : public QObject {
    Q_OBJECT
private slots:
    void truthWordsAndNumbers_data();
    void truthWordsAndNumbers();
    void truthRejectsOtherTexts_data();
    void truthRejectsOtherTexts();
    void absentKeysGiveTheReadersDefault();
    void valuesSurviveAReopenExactly_data();
    void valuesSurviveAReopenExactly();
    void truthValuesAreWrittenAsWords();
    void handEditedCommasStayOneText();
    void aStoreThatCannotBeWrittenSaysSo();

private:
    QTemporaryDir m_dir;
};

void TestSettingsStore::truthWordsAndNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("expected");
    QTest::newRow("True") << "True" << true;
    QTest::newRow("false lower") << "false" << false;
    QTest::newRow("TRUE upper") << "TRUE" << true;
    QTest::newRow("fAlSe mixed") << "fAlSe" << false;
    QTest::newRow("1") << "1" << true;
    QTest::newRow("0") << "0" << false;
    QTest::newRow("-1") << "-1" << true;
    QTest::newRow("2.5") << "2.5" << true;
    QTest::newRow("0.0") << "0.0" << false;
    QTest::newRow("padded") << " True " << true;
}

void TestSettingsStore::truthWordsAndNumbers()
{
    QFETCH(QString, text);
    QFETCH(bool, expected);
    QCOMPARE(SettingsStore::parseTruth(text), expected);

    SettingsStore store(m_dir.filePath(QStringLiteral("truth.ini")));
    store.write(QStringLiteral("Option1"), text);
    QCOMPARE(store.readTruth(QStringLiteral("Option1"), !expected), expected);
}

void TestSettingsStore::truthRejectsOtherTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("yes") << "yes";
    QTest::newRow("Truthy") << "Truthy";
    QTest::newRow("number and word") << "1 True";
}

void TestSettingsStore::truthRejectsOtherTexts()
{
    QFETCH(QString, text);
    QVERIFY_THROWS_EXCEPTION(StepError, SettingsStore::parseTruth(text));
}

void TestSettingsStore::absentKeysGiveTheReadersDefault()
{
    SettingsStore store(m_dir.filePath(QStringLiteral("absent.ini")));
    QCOMPARE(store.read(QStringLiteral("Extension"), QStringLiteral("eml")), QStringLiteral("eml"));
    QVERIFY(store.read(QStringLiteral("Snapshot")).isEmpty());
    QCOMPARE(store.readTruth(QStringLiteral("Option1"), true), true);
    QCOMPARE(store.readTruth(QStringLiteral("Option2"), false), false);

    // A value stored as empty text is present: the default does not apply.
    store.write(QStringLiteral("LastFolder"), QString());
    QCOMPARE(store.read(QStringLiteral("LastFolder"), QStringLiteral("/x")), QString());
}

void TestSettingsStore::valuesSurviveAReopenExactly_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("folder") << "/home/anna/Desktop/";
    QTest::newRow("commas read back as one text") << "/mail/a, b, c/";
    QTest::newRow("ini punctuation") << "x=1; [section] \"quoted\" #not a comment";
    QTest::newRow("backslashes") << "C:\\Out\\Mail\\";
    QTest::newRow("non-Latin") << "/home/zoë/Почта/邮件/";
    QTest::newRow("line breaks") << "first\r\nsecond\rthird\n";
    QTest::newRow("surrounding blanks") << "  padded  ";
}

void TestSettingsStore::valuesSurviveAReopenExactly()
{
    QFETCH(QString, value);
    const QString file = m_dir.filePath(QStringLiteral("reopen.ini"));
    {
        SettingsStore store(file);
        store.write(QStringLiteral("Text1"), value);
    }
    // A second store on the same file stands for the next start of the program.
    SettingsStore reopened(file);
    QCOMPARE(reopened.read(QStringLiteral("Text1")), value);
}

void TestSettingsStore::truthValuesAreWrittenAsWords()
{
    const QString file = m_dir.filePath(QStringLiteral("words.ini"));
    SettingsStore store(file);
    store.writeTruth(QStringLiteral("Option1"), true);
    store.writeTruth(QStringLiteral("Option2"), false);
    QCOMPARE(store.read(QStringLiteral("Option1")), QStringLiteral("True"));
    QCOMPARE(store.read(QStringLiteral("Option2")), QStringLiteral("False"));
}

void TestSettingsStore::handEditedCommasStayOneText()
{
    const QString path = m_dir.filePath(QStringLiteral("edited.ini"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Quillmark%20Converter%20Software]\nText1=/mail/a, b/\nOption1=False\n");
    file.close();
    SettingsStore store(path);
    QCOMPARE(store.read(QStringLiteral("Text1")), QStringLiteral("/mail/a, b/"));
    QCOMPARE(store.readTruth(QStringLiteral("Option1"), true), false);
}

void TestSettingsStore::aStoreThatCannotBeWrittenSaysSo()
{
    // A plain file where the store's folder should be: the write cannot land.
    const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    SettingsStore store(blocker + QStringLiteral("/settings.ini"));
    QVERIFY_THROWS_EXCEPTION(StepError, store.write(QStringLiteral("Text1"), QStringLiteral("/out/")));
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "test_settingsstore.moc"
