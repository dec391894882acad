#include "textdecoding.h"
#include "utf16text.h"

#include <QtTest>

#include <glib.h>

namespace {

// The text in a charset, by iconv.
QByteArray encoded(const char* charset, const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    gsize written = 0;
    gchar* bytes = g_convert(utf8.constData(), utf8.size(), charset, "UTF-8", nullptr, &written, nullptr);
    const QByteArray out(bytes, qsizetype(written));
    g_free(bytes);
    return out;
}

} // namespace

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

    // Bodies and header words in a charset nobody declared, or one declared
    // wrongly, read as their sender wrote them.
    void charsetsNobodyDeclaredAreFound()
    {
        const QString japanese = QStringLiteral("会議の資料を送ります。来週の予定もご確認ください。");
        const QByteArray jis = encoded("ISO-2022-JP", japanese);
        QVERIFY(jis.startsWith("\x1b$B"));
        QCOMPARE(DecodeText(jis), japanese);
        QCOMPARE(DecodeText(jis, "us-ascii"), japanese);
        QCOMPARE(DecodeText(jis, "utf-8", TextKind::Html), japanese);
        QCOMPARE(DecodeText(encoded("ISO-2022-KR", QStringLiteral("안녕하세요"))),
                 QStringLiteral("안녕하세요"));

        const QString russian = QStringLiteral("Привет! Высылаю отчёт за май, посмотри до пятницы.");
        QCOMPARE(DecodeText(encoded("KOI8-R", russian)), russian);
        QCOMPARE(DecodeText(encoded("WINDOWS-1251", russian), "x-unknown"), russian);
        QCOMPARE(DecodeText(encoded("SHIFT_JIS", japanese), "utf-8"), japanese);
        QCOMPARE(DecodeText(encoded("EUC-JP", japanese)), japanese);
        QCOMPARE(DecodeText(encoded("GB18030", QStringLiteral("你好，这是一封测试邮件。"))),
                 QStringLiteral("你好，这是一封测试邮件。"));

        // Text valid as declared keeps its declaration.
        QCOMPARE(DecodeText(encoded("KOI8-R", russian), "iso-8859-1"),
                 QString::fromLatin1(encoded("KOI8-R", russian)));
        QCOMPARE(DecodeText(jis, "shift_jis").left(1), QStringLiteral("\x1b"));
    }

    // On a few accented letters a guess is no better than windows-1252: names
    // and punctuation stay as Western mail writes them.
    void shortWesternTextIsNotGuessedAway_data()
    {
        QTest::addColumn<QString>("text");
        for (const char16_t* text : {u"Bjørn Åse", u"ÆØÅ æøå", u"ÀÉÎÕÜ", u"It’s done — thanks", u"»Zitat«",
                                     u"Señor Muñoz", u"“Hello”", u"Grüße aus München, schöne Straße"})
            QTest::newRow(QString::fromUtf16(text).toUtf8().constData()) << QString::fromUtf16(text);
    }
    void shortWesternTextIsNotGuessedAway()
    {
        QFETCH(QString, text);
        QCOMPARE(DecodeText(encoded("WINDOWS-1252", text)), text);
        QCOMPARE(DecodeText(encoded("WINDOWS-1252", text), "utf-8"), text);
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
