#include "rtflinks.h"

#include <QtTest>

// Fields of an RTF attachment that would pull a file of this machine onto
// its pages are emptied, however they are written; everything else stays.
class TestRtfLinks : public QObject {
    Q_OBJECT

private slots:
    void fieldsThatPullInFilesAreEmptied_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::newRow("picture by path")
            << QByteArray("{\\*\\fldinst INCLUDEPICTURE \"/usr/share/x.png\" \\\\d}");
        QTest::newRow("picture by URL") << QByteArray("{\\*\\fldinst INCLUDEPICTURE \"file:///etc/x.png\"}");
        QTest::newRow("lower case, words in front") << QByteArray("{\\*\\fldinst   includepicture x.png}");
        QTest::newRow("split into groups") << QByteArray("{\\*\\fldinst {INCLUDE}{\\b PICTURE} x.png}");
        QTest::newRow("hex escape") << QByteArray("{\\*\\fldinst \\'49NCLUDEPICTURE x.png}");
        QTest::newRow("unicode, stand-in skipped") << QByteArray("{\\*\\fldinst \\u73 xNCLUDEPICTURE x.png}");
        QTest::newRow("unicode, no stand-in") << QByteArray("{\\*\\fldinst \\uc0\\u73 NCLUDEPICTURE x.png}");
        QTest::newRow("nested in another field")
            << QByteArray("{\\*\\fldinst IF 1 = 1 {\\field{\\*\\fldinst INCLUDEPICTURE x.png}{\\fldrslt }}}");
        QTest::newRow("text") << QByteArray("{\\*\\fldinst INCLUDETEXT \"/etc/passwd\"}");
        QTest::newRow("import") << QByteArray("{\\*\\fldinst IMPORT x.wmf}");
        QTest::newRow("link") << QByteArray("{\\*\\fldinst LINK Excel.Sheet.8 \"/home/x.xls\" \"\" \\\\a}");
        QTest::newRow("dde") << QByteArray("{\\*\\fldinst DDEAUTO Excel \"/home/x.xls\"}");
    }

    void fieldsThatPullInFilesAreEmptied()
    {
        QFETCH(QByteArray, field);
        const QByteArray rtf =
            "{\\rtf1\\ansi Before {\\field" + field + "{\\fldrslt Saved result}} After\\par}";
        int emptied = 0;
        const QByteArray defused = DefuseRtfLinks(rtf, &emptied);
        QCOMPARE(emptied, 1);
        QCOMPARE(
            defused,
            QByteArray("{\\rtf1\\ansi Before {\\field{\\*\\fldinst }{\\fldrslt Saved result}} After\\par}"));
    }

    void otherFieldsAndContentStayAsTheyAre_data()
    {
        QTest::addColumn<QByteArray>("rtf");
        QTest::newRow("no field") << QByteArray("{\\rtf1\\ansi Plain INCLUDEPICTURE words\\par}");
        QTest::newRow("page and date fields")
            << QByteArray("{\\rtf1 {\\field{\\*\\fldinst PAGE \\\\* MERGEFORMAT}{\\fldrslt 1}}"
                          "{\\field{\\*\\fldinst DATE}{\\fldrslt today}}}");
        // Binary data may hold braces; they must not end the field early.
        QTest::newRow("braces in binary data")
            << QByteArray("{\\rtf1 {\\field{\\*\\fldinst PAGE {\\bin3 }}}}}{\\fldrslt 1}} INCLUDEPICTURE x}");
        QTest::newRow("escaped braces")
            << QByteArray("{\\rtf1 {\\field{\\*\\fldinst SYMBOL 40 \\{\\}}{\\fldrslt (}}}");
    }

    void otherFieldsAndContentStayAsTheyAre()
    {
        QFETCH(QByteArray, rtf);
        int emptied = -1;
        QCOMPARE(DefuseRtfLinks(rtf, &emptied), rtf);
        QCOMPARE(emptied, 0);
    }

    // A reader that meets the end of the file in an instruction takes what
    // it read, so a cut-off file is no way around.
    void cutOffInstructionIsRemoved()
    {
        int emptied = 0;
        QCOMPARE(DefuseRtfLinks("{\\rtf1 Text {\\field{\\*\\fldinst INCLUDEPICTURE /x.png", &emptied),
                 QByteArray("{\\rtf1 Text {\\field{\\*\\fldinst }"));
        QCOMPARE(emptied, 1);
    }

    void rtfIsKnownByItsContent()
    {
        QVERIFY(LooksLikeRtf("{\\rtf1\\ansi x}"));
        QVERIFY(LooksLikeRtf("\r\n {\\rtf1 x}"));
        QVERIFY(!LooksLikeRtf("PK\x03\x04"));
    }
};

QTEST_GUILESS_MAIN(TestRtfLinks)
#include "test_rtflinks.moc"
