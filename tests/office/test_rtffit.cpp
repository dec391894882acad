#include "rtffit.h"

#include <QRegularExpression>
#include <QtTest>

namespace
{

QList<int> cellBoundaries(const QByteArray& rtf)
{
    QList<int> out;
    static const QRegularExpression cellx(QStringLiteral("\\\\cellx(-?\\d+)"));
    auto it = cellx.globalMatch(QString::fromLatin1(rtf));
    while (it.hasNext())
        out << it.next().captured(1).toInt();
    return out;
}

} // namespace

class TestRtfFit : public QObject
{
    Q_OBJECT

private slots:
    void tablesPastTheMarginAreScaledByOneFactor()
    {
        // Text width 12000 - 1000 - 1000 = 10000 twips; the widest row ends at 20000.
        const QByteArray rtf = "{\\rtf1\\paperw12000\\margl1000\\margr1000 "
                               "\\trowd\\trleft-100\\cellx5000\\cellx20000 a\\cell b\\cell\\row "
                               "{\\*\\nesttableprops\\trowd\\cellx8000\\cellx12000\\nestrow}"
                               "text with \\\\cellx99999 escaped}";
        const QByteArray out = FitRtfTablesToWidth(rtf);
        QCOMPARE(cellBoundaries(out), (QList<int>{2500, 10000, 4000, 6000, 99999}));
        QVERIFY(out.contains("\\trleft-50"));
        QVERIFY(out.contains("text with \\\\cellx99999 escaped"));
    }

    void narrowSectionDecides()
    {
        // The document is wide enough, but a section has wider margins.
        const QByteArray rtf = "{\\rtf1\\paperw12000\\margl1000\\margr1000 \\sectd\\pgwsxn12000\\marglsxn2000"
                               "\\margrsxn2000 \\trowd\\cellx9000 x\\cell\\row}";
        QCOMPARE(cellBoundaries(FitRtfTablesToWidth(rtf)), QList<int>{8000});
    }

    void documentsThatFitAreUntouched()
    {
        const QByteArray rtf = "{\\rtf1\\paperw12000\\margl1000\\margr1000 \\trowd\\cellx10000 x\\cell\\row}";
        QCOMPARE(FitRtfTablesToWidth(rtf), rtf);
        QCOMPARE(FitRtfTablesToWidth(QByteArray("{\\rtf1 no tables}")), QByteArray("{\\rtf1 no tables}"));
        // Binary picture data that happens to spell a control word is not touched.
        const QByteArray binary = "{\\rtf1\\paperw2000\\margl100\\margr100 {\\pict\\bin12 \\cellx999999}}";
        QCOMPARE(FitRtfTablesToWidth(binary), binary);
        QCOMPARE(FitRtfTablesToWidth(QByteArray("\\")), QByteArray("\\"));
    }
};

QTEST_GUILESS_MAIN(TestRtfFit)
#include "test_rtffit.moc"
