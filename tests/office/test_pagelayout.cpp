#include "officeengine.h"
#include "officetestsupport.h"
#include "pagelayout.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace officetest;

// LayOutAsPdf without a host: LibreOffice is loaded into this process, as the
// renderer does when it runs alone from a shell.
class TestPageLayout : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void documentIsLaidOutInProcessWhenNoHostAnswers()
    {
        // A name that nobody serves must not stop the renderer.
        qputenv(kOfficeSocketVariable, "quillmark-office-nobody-serves-this");
        const QString page = m_dir.path() + QStringLiteral("/page.mht");
        QByteArray paragraphs;
        for (int i = 0; i < 120; ++i)
            paragraphs += "<p>Paragraph " + QByteArray::number(i) + " \xc5\xbc\xc3\xb3\xc5\x82w</p>";
        QVERIFY(writeFile(page, relatedPage("<html><body>" + paragraphs + "</body></html>")));
        const QString pdf = m_dir.path() + QStringLiteral("/page.pdf");
        LayOutAsPdf(page, pdf);
        const PdfContent content = readPdf(pdf);
        QVERIFY(content.pages >= 2);
        QVERIFY(content.text.contains(QStringLiteral("Paragraph 119 żółw")));

        // The same runtime serves a second document.
        const QString rtf = m_dir.path() + QStringLiteral("/doc.rtf");
        QVERIFY(writeFile(rtf, "{\\rtf1\\ansi Second document\\par}"));
        LayOutAsPdf(rtf, pdf);
        QVERIFY(readPdf(pdf).text.contains(QStringLiteral("Second document")));
    }

    void failuresGiveOneLineReasons()
    {
        qunsetenv(kOfficeSocketVariable);
        const QString pdf = m_dir.path() + QStringLiteral("/x.pdf");
        try {
            LayOutAsPdf(m_dir.path() + QStringLiteral("/absent.rtf"), pdf);
            QFAIL("a missing document was laid out");
        } catch (const std::runtime_error& e) {
            QVERIFY(QString::fromUtf8(e.what()).contains(QStringLiteral("does not exist")));
            QVERIFY(!QString::fromUtf8(e.what()).contains(u'\n'));
        }
        const QString rtf = m_dir.path() + QStringLiteral("/ok.rtf");
        QVERIFY(writeFile(rtf, "{\\rtf1\\ansi fine\\par}"));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 LayOutAsPdf(rtf, m_dir.path() + QStringLiteral("/no/such/dir/x.pdf")));
    }
};

QTEST_GUILESS_MAIN(TestPageLayout)
#include "test_pagelayout.moc"
