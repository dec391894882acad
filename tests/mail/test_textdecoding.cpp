#include "textdecoding.h"
#include "utf16text.h"

#include <QtTest>

class TestTextDecoding : public QObject {
    Q_OBJECT

private slots:
    void declaredCharsetThenMetaThenUtf8ThenWindows1252()
    {
        QCOMPARE(DecodeText("Pchn\xb1\xe6", "iso-8859-2"), QStringLiteral("Pchnąć"));
        // Mail's own name for a charset that iconv calls otherwise.
        QCOMPARE(DecodeText("\xc7\xd1", "ks_c_5601-1987"), QStringLiteral("한"));
        QCOMPARE(DecodeText("<meta charset=\"koi8-r\">\xf0\xd2\xc9", {}, TextKind::Html).right(3),
                 QStringLiteral("При"));
        // The declaration outranks the page's own meta, which plain text has none of.
        QCOMPARE(DecodeText("<meta charset=\"koi8-r\">\xf0", "iso-8859-1", TextKind::Html).right(1),
                 QStringLiteral("ð"));
        QCOMPARE(DecodeText("<meta charset=\"koi8-r\">\xf0", {}, TextKind::Plain).right(1),
                 QStringLiteral("ð"));
        QCOMPARE(DecodeText("na\xc3\xafve"), QStringLiteral("naïve"));
        // windows-1252 takes every byte; its five unassigned ones keep their Latin-1 meaning.
        QCOMPARE(DecodeText("caf\xe9 \x80"), QStringLiteral("café €"));
        QCOMPARE(DecodeText("\x93q\x94 \x81"), QStringLiteral(u"\u201Cq\u201D \u0081"));
    }

    void aWrongOrUnknownDeclarationLosesNoText()
    {
        QCOMPARE(DecodeText("caf\xc3\xa9", "no-such-charset"), QStringLiteral("café"));
        QCOMPARE(DecodeText("caf\xe9", "x-unknown"), QStringLiteral("café"));
        // Bytes beyond ASCII prove an ASCII or UTF-8 declaration wrong.
        QCOMPARE(DecodeText("caf\xe9", "us-ascii"), QStringLiteral("café"));
        QCOMPARE(DecodeText("caf\xe9", "utf-8"), QStringLiteral("café"));
        QCOMPARE(DecodeText("\xe2\x80\x9cq\xe2\x80\x9d", "us-ascii"), QStringLiteral(u"\u201Cq\u201D"));
        // UTF-8 under a legacy label is taken as UTF-8 ...
        QCOMPARE(DecodeText("\xe4\xb8\xad\xe6\x96\x87", "iso-2022-jp"), QStringLiteral("中文"));
        // ... while a stray byte in text of that charset costs that byte only.
        QCOMPARE(DecodeText("\x82\xa0\xff\x82\xa2", "shift_jis"), QStringLiteral("あい"));
    }

    void aByteOrderMarkDecidesFirst()
    {
        const QString text = QStringLiteral("Grüße При 中");
        QCOMPARE(DecodeText(Utf16WithMark(text, true)), text);
        QCOMPARE(DecodeText(Utf16WithMark(text, false), "iso-8859-1"), text);
        QCOMPARE(DecodeText("\xEF\xBB\xBF" + text.toUtf8(), "windows-1252"), text);
        // A last byte without its partner is dropped, not shown.
        QCOMPARE(DecodeText(Utf16WithMark(QStringLiteral("ab"), true) + 'c'), QStringLiteral("ab"));
        QVERIFY(StartsWithUtf16Mark("\xFE\xFF"));
        QVERIFY(!StartsWithUtf16Mark("\xFF\xD8\xFF"));
        QVERIFY(DecodeText({}, "iso-8859-1").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTextDecoding)
#include "test_textdecoding.moc"
