#include "attachmentpages.h"
#include "messagepage.h"
#include "officeconnection.h"
#include "officeengine.h"
#include "officehostclient.h"
#include "officestep.h"
#include "officetestsupport.h"
#include "pageengine.h"
#include "pagelayout.h"
#include "paths.h"
#include "scripteddialogs.h"
#include "stepguard.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <QPageSize>

#include <csignal>

using namespace officetest;

namespace {

// Sets an environment variable for as long as it lives.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const QString& value) : m_name(name), m_saved(qgetenv(name))
    {
        qputenv(name, QFile::encodeName(value));
    }
    ~ScopedVariable()
    {
        if (m_saved.isNull())
            qunsetenv(m_name);
        else
            qputenv(m_name, m_saved);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* m_name;
    QByteArray m_saved;
};

struct Conversion {
    bool pdfExists = false;
    QStringList reports;
    QList<int> steps;
};

} // namespace

class TestOfficeHost : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_count = 0;

    QString workPath(const QString& suffix)
    {
        return m_dir.path() + QStringLiteral("/work%1%2").arg(++m_count).arg(suffix);
    }

    QString writePage(const QByteArray& bytes, const QString& suffix = QStringLiteral(".mht"))
    {
        const QString path = workPath(suffix);
        writeFile(path, bytes);
        return path;
    }

    Conversion convert(const QString& mhtPath, const QString& pdfPath)
    {
        ScriptedDialogs dialogs;
        StepGuard guard(dialogs, QStringLiteral("in Test.Form1.PushButton2_Click "));
        ConvertPageToRtf(mhtPath, pdfPath, guard);
        Conversion result;
        result.pdfExists = QFile::exists(pdfPath);
        result.reports = dialogs.messages();
        static const QRegularExpression line(QStringLiteral("at line (\\d+)"));
        for (const QString& text : result.reports)
            result.steps << line.match(text).captured(1).toInt();
        return result;
    }

    // A page that must convert, used to show the engine is usable again.
    void verifyEngineWorks()
    {
        const QString pdf = workPath(QStringLiteral(".pdf"));
        const Conversion after = convert(writePage(relatedPage("<p>still working</p>")), pdf);
        QVERIFY2(after.reports.isEmpty(), qPrintable(after.reports.join(u'\n')));
        QVERIFY(after.pdfExists);
        QVERIFY(readPdf(pdf).text.contains(QStringLiteral("still working")));
    }

    // Converts an HTML body and returns the PDF's path, empty (with the
    // reports shown) when it failed.
    QString convertHtml(const QByteArray& html, const QByteArray& png = {})
    {
        const QString pdf = workPath(QStringLiteral(".pdf"));
        const Conversion result = convert(writePage(relatedPage(html, png)), pdf);
        if (!result.reports.isEmpty())
            qWarning("%s", qPrintable(result.reports.join(u'\n')));
        return result.pdfExists ? pdf : QString();
    }

    // A flat ODT whose only picture is a link to `url`.
    QString linkedPictureDocument(const QString& url)
    {
        const QString fodt = workPath(QStringLiteral(".fodt"));
        writeFile(
            fodt,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
            "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
            "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
            "xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
            "xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\" office:version=\"1.2\" "
            "office:mimetype=\"application/vnd.oasis.opendocument.text\"><office:body><office:text>"
            "<text:p>Before picture<draw:frame draw:name=\"p\" svg:width=\"5cm\" svg:height=\"5cm\" "
            "text:anchor-type=\"as-char\"><draw:image xlink:href=\"" +
                url.toUtf8() +
                "\" xlink:type=\"simple\" xlink:show=\"embed\" xlink:actuate=\"onLoad\"/>"
                "</draw:frame></text:p></office:text></office:body></office:document>\n");
        return fodt;
    }

    // The document saved by LibreOffice in `format` ("odt", "docx", "doc").
    QString savedAs(const QString& source, const QString& format)
    {
        static const QHash<QString, int> formats{
            {QStringLiteral("doc"), 0}, {QStringLiteral("docx"), 12}, {QStringLiteral("odt"), 23}};
        const QString target = workPath(QLatin1Char('.') + format);
        OfficeHostClient& client = SharedOfficeHost();
        const int handle =
            client.call({{QStringLiteral("op"), QStringLiteral("open")}, {QStringLiteral("path"), source}})
                .value(QStringLiteral("handle"))
                .toInt();
        client.call({{QStringLiteral("op"), QStringLiteral("save")},
                     {QStringLiteral("handle"), handle},
                     {QStringLiteral("path"), target},
                     {QStringLiteral("format"), formats.value(format)}});
        client.call({{QStringLiteral("op"), QStringLiteral("close")}, {QStringLiteral("handle"), handle}});
        return target;
    }

    // A message with its header block, laid out as the conversion lays it out.
    QString convertMessage(const QByteArray& html, const QByteArray& png = {})
    {
        const QString page = writePage("From: Ann Example <ann@x.example>\r\nTo: Bob <bob@x.example>\r\n"
                                       "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\n" +
                                       relatedPage(html, png));
        ScriptedDialogs dialogs;
        PrepareMessagePage(page, dialogs);
        if (!dialogs.messages().isEmpty())
            qWarning("%s", qPrintable(dialogs.messages().join(u'\n')));
        const QString pdf = workPath(QStringLiteral(".pdf"));
        const Conversion result = convert(page, pdf);
        if (!result.reports.isEmpty())
            qWarning("%s", qPrintable(result.reports.join(u'\n')));
        return result.pdfExists ? pdf : QString();
    }

    // The width of the first word box that is `text`, 0 when there is none.
    static double wordWidth(const PdfContent& pdf, const QString& text)
    {
        for (const WordBox& word : pdf.words)
            if (word.text == text)
                return word.right - word.left;
        return 0;
    }

    // Words that stand (partly) outside the printed text width.
    static QStringList wordsOutsideTheMargins(const PdfContent& pdf)
    {
        const double margin = 15 / 25.4 * 72;
        QStringList outside;
        for (const WordBox& word : pdf.words)
            if (word.left < margin - 1 || word.right > pdf.pageWidth - margin + 1)
                outside << QStringLiteral("%1 (%2..%3)").arg(word.text).arg(word.left).arg(word.right);
        return outside;
    }

    int refusedSoFar()
    {
        return SharedOfficeHost()
            .call({{QStringLiteral("op"), QStringLiteral("ping")}})
            .value(QStringLiteral("refused"))
            .toInt();
    }

private slots:
    void initTestCase()
    {
        SetOfficeHostProgram(QStringLiteral(QM_PROGRAM_DIR "/quillmark-office"));
        QVERIFY(m_dir.isValid());
    }

    void accentsScriptsAndInlineImagesReachThePage()
    {
        const QByteArray html =
            "<html><body><p>Gr\xc3\xbc\xc3\x9f"
            "e na\xc3\xafve caf\xc3\xa9</p>"
            "<p>\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xce\x93\xce\xb5\xce\xb9\xce\xac</p>"
            "<p>\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf</p>"
            "<p><img src=\"cid:picture@test\" width=\"200\" height=\"100\"></p></body></html>";
        const QString pdf = convertHtml(html, pngBytes(80, 40, Qt::red));
        QVERIFY(!pdf.isEmpty());
        const PdfContent content = readPdf(pdf);
        QVERIFY2(content.text.contains(QStringLiteral("Grüße naïve café")), qPrintable(content.text));
        QVERIFY(content.text.contains(QStringLiteral("Привет Γειά")));
        QVERIFY(content.text.contains(QStringLiteral("こんにちは")));
        // The cid: picture is served from the message: red on the page.
        QVERIFY(pixelsNear(firstPageImage(pdf), QColor(255, 0, 0)) > 100);
    }

    void pagesArePrintedOnTheLocalePaperWithMargins()
    {
        qputenv("LC_ALL", "en_US.UTF-8");
        QCOMPARE(PageGeometry::forLocale().layout.pageSize().id(), QPageSize::Letter);
        qputenv("LC_ALL", "de_DE.UTF-8");
        QCOMPARE(PageGeometry::forLocale().layout.pageSize().id(), QPageSize::A4);
        qputenv("LC_ALL", "C.UTF-8");
        const PageGeometry a4 = PageGeometry::forLocale();
        QCOMPARE(a4.layout.pageSize().id(), QPageSize::A4);
        QVERIFY(a4.layout.margins(QPageLayout::Millimeter).left() >= 15);

        // A page that asks for no margins and another paper still gets ours.
        const QString pdf = convertHtml("<html><head><style>@page { size: 5in 5in; margin: 0 }"
                                        "body { margin: 0 }</style></head><body><p>edge</p></body></html>");
        const PdfContent content = readPdf(pdf);
        QVERIFY(qAbs(content.pageWidth - 595) < 2);
        QVERIFY(!content.words.empty());
        QVERIFY(content.words.front().left >= 15 / 25.4 * 72 - 1);
    }

    void corpusMessagesConvertWithDecodedText()
    {
        const QString corpus = QStringLiteral(QM_CORPUS_DIR);
        if (!QDir(corpus).exists())
            QSKIP("the message corpus is not available");
        int converted = 0;
        int total = 0;
        QDirIterator it(corpus, {QStringLiteral("*.eml")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString message = it.next();
            ++total;
            const QString pdf = workPath(QStringLiteral(".pdf"));
            const Conversion result = convert(message, pdf);
            // The contract: a file exactly when nothing failed up to the save.
            QCOMPARE(result.pdfExists, !result.steps.contains(210));
            if (result.pdfExists)
                ++converted;
            else
                qInfo("%s: %s", qPrintable(message.mid(corpus.size())),
                      qPrintable(result.reports.value(0).section(u'\n', 0, 0)));
            if (message.endsWith(QLatin1String("test_polish_multipart_related_iso-8859-2_over_base64.eml")))
                QVERIFY(readPdf(pdf).text.contains(QStringLiteral("Pchnąć w tę łódź jeża")));
            if (message.endsWith(QLatin1String("test_japanese_plaintext_iso-2022-jp_over_7bit.eml")))
                QVERIFY(readPdf(pdf).text.contains(QStringLiteral("色")));
        }
        qInfo("%d of %d corpus messages converted", converted, total);
        QVERIFY(total > 0);
        QCOMPARE(converted, total);
    }

    void pathsWithSpacesAccentsAndHashesWork()
    {
        const QString folder = m_dir.path() + QStringLiteral("/Été 2026 #1 [mail] %20");
        QVERIFY(QDir().mkpath(folder));
        const QString page = folder + QStringLiteral("/naïve page.mht");
        QVERIFY(writeFile(page, relatedPage("<p>odd path</p>", pngBytes(10, 10))));
        const QString pdf = folder + QStringLiteral("/naïve page.pdf");
        const Conversion result = convert(page, pdf);
        QVERIFY2(result.reports.isEmpty(), qPrintable(result.reports.join(u'\n')));
        QVERIFY(result.pdfExists);
        QVERIFY(readPdf(pdf).text.contains(QStringLiteral("odd path")));
    }

    void textBeforeTheHtmlTagStillReadsAsHtml()
    {
        // A header block written in front of a page that has no body tag.
        const QByteArray html = "From: Ann<br>To: Bob<br><br><html><head><title>t</title></head>"
                                "<p>Body <b>bold</b></p></html>";
        const QString text = readPdf(convertHtml(html)).text;
        QVERIFY2(text.contains(QStringLiteral("Body bold")), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("From: Ann")));
        QVERIFY(!text.contains(QStringLiteral("<p>")));
        QVERIFY(!text.contains(QStringLiteral("<br>")));
    }

    void nothingIsFetchedFromTheNetwork()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        int requests = 0;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                ++requests;
                socket->deleteLater();
            }
        });
        const QByteArray port = QByteArray::number(server.serverPort());
        const QByteArray base = "http://127.0.0.1:" + port;
        // Every way a page can name another resource; the page engine gets
        // them all unchanged and must refuse each one.
        QByteArray html =
            "<html><head><meta http-equiv=\"refresh\" content=\"0; url=BASE/refresh.html\">"
            "<link rel=\"stylesheet\" href=\"BASE/sheet.css\"><link rel=\"prefetch\" href=\"BASE/prefetch\">"
            "<link rel=\"preload\" as=\"image\" href=\"BASE/preload.png\"><link rel=\"icon\" "
            "href=\"BASE/icon.ico\">"
            "<link rel=\"dns-prefetch\" href=\"//probe.invalid\"><link rel=\"preconnect\" href=\"BASE\">"
            "<style>@import url(BASE/import.css); p { background: url('BASE/css.png') }"
            "@font-face { font-family: F; src: url(BASE/font.woff) } h1 { font-family: F }</style>"
            "<script src=\"BASE/script.js\"></script><script>new Image().src='BASE/js.png'</script>"
            "</head><body background=\"BASE/body.png\"><h1>remote pictures</h1><p>para</p>"
            "<img src=\"BASE/img.png\" width=\"20\" height=\"20\"><img src=\"//127.0.0.1:PORT/noscheme.png\">"
            "<img srcset=\"BASE/set.png 2x\"><picture><source srcset=\"BASE/source.png\"><img></picture>"
            "<iframe src=\"BASE/frame.html\"></iframe><object data=\"BASE/object.swf\"></object>"
            "<embed src=\"BASE/embed.swf\"><video poster=\"BASE/poster.png\" src=\"BASE/video.mp4\"></video>"
            "<svg width=\"20\" height=\"20\"><image href=\"BASE/svg.png\" width=\"20\" height=\"20\"/></svg>"
            "<table background=\"BASE/table.png\"><tr><td style=\"background-image:url(BASE/cell.png)\">"
            "cell</td></tr></table><a href=\"BASE/link\" ping=\"BASE/ping\">link</a>"
            "<form action=\"BASE/form\"><input type=\"image\" src=\"BASE/input.png\"></form></body></html>";
        html.replace("BASE", base).replace("PORT", port);
        const int refusedBefore = refusedSoFar();
        const QString pdf = convertHtml(html);
        QVERIFY(!pdf.isEmpty());
        QVERIFY(readPdf(pdf).text.contains(QStringLiteral("remote pictures")));
        QTest::qWait(1000);
        QCOMPARE(requests, 0);
        // The engine was asked and said no, rather than never being asked.
        QVERIFY(refusedSoFar() - refusedBefore >= 5);
    }

    // An <object> or <embed> holds the load back until the page has been laid
    // out, and a refused stylesheet leaves nothing else that lays it out:
    // such pages used to stay half loaded until the time limit, most often
    // on an engine that had served a page just before.
    void pagesWithPluginElementsBehindARefusedStylesheetFinishLoading()
    {
        verifyEngineWorks();
        const QList<QByteArray> elements = {"<embed src=\"http://127.0.0.1:1/movie.swf\">",
                                            "<object data=\"http://127.0.0.1:1/movie.swf\"></object>"};
        QStringList stalled;
        SetOfficeCallTimeLimit(15000);
        for (int round = 0; round < 3; ++round)
            for (const QByteArray& element : elements) {
                const QString pdf = convertHtml("<html><head><link rel=\"stylesheet\" "
                                                "href=\"http://127.0.0.1:1/sheet.css\"></head>"
                                                "<body><p>plugin page</p>" +
                                                element + "</body></html>");
                if (pdf.isEmpty() || !readPdf(pdf).text.contains(QStringLiteral("plugin page")))
                    stalled
                        << QStringLiteral("%1 in round %2").arg(QString::fromLatin1(element)).arg(round + 1);
            }
        SetOfficeCallTimeLimit(OfficeHostClient::kDefaultCallTimeLimitMs);
        QVERIFY2(stalled.isEmpty(), qPrintable(stalled.join(u'\n')));
    }

    void wideContentIsScaledToTheTextWidth_data()
    {
        QTest::addColumn<int>("width");
        QTest::newRow("1200 px") << 1200;
        QTest::newRow("3000 px") << 3000;
    }

    void wideContentIsScaledToTheTextWidth()
    {
        QFETCH(int, width);
        QByteArray cells;
        for (int i = 0; i < 4; ++i)
            cells += "<td width=\"" + QByteArray::number(width / 4) + "\">column" + QByteArray::number(i) +
                     " alpha</td>";
        const QByteArray html = "<html><body><table width=\"" + QByteArray::number(width) +
                                "\" border=\"1\"><tr>" + cells + "</tr></table></body></html>";
        const PdfContent pdf = readPdf(convertHtml(html));
        QVERIFY(pdf.pageWidth > 0);
        const double margin = 15 / 25.4 * 72;
        QStringList outside;
        int columnWords = 0;
        for (const WordBox& word : pdf.words) {
            columnWords += word.text.startsWith(QLatin1String("column"));
            if (word.left < margin - 1 || word.right > pdf.pageWidth - margin + 1)
                outside << QStringLiteral("%1 (%2..%3)").arg(word.text).arg(word.left).arg(word.right);
        }
        QCOMPARE(columnWords, 4);
        QVERIFY2(outside.isEmpty(), qPrintable(outside.join(u' ')));
    }

    void invoiceRowsStayOnOneLine()
    {
        const QByteArray html =
            "<html><body><table width=\"100%\"><tr><td align=\"center\"><table width=\"600\">"
            "<tr><th align=\"left\">Item</th><th>Qty</th><th align=\"right\">Total</th></tr>"
            "<tr valign=\"top\"><td><table><tr><td><b>Golden</b> Earings</td></tr><tr><td>Hot city looks</td>"
            "</tr></table></td><td>1</td><td align=\"right\">$3.50</td></tr>"
            "<tr><td>Pink Shoes</td><td>2</td><td align=\"right\">$10.50</td></tr>"
            "</table></td></tr></table></body></html>";
        const PdfContent pdf = readPdf(convertHtml(html));
        auto find = [&](const QString& text) -> const WordBox* {
            for (const WordBox& word : pdf.words)
                if (word.text == text)
                    return &word;
            return nullptr;
        };
        const WordBox* item = find(QStringLiteral("Golden"));
        const WordBox* quantity = find(QStringLiteral("1"));
        const WordBox* price = find(QStringLiteral("$3.50"));
        QVERIFY(item && quantity && price);
        // Less than half a line apart: the nested table and the bold face move the
        // item by a few points, another line would be twelve or more.
        QVERIFY(qAbs(item->top - quantity->top) < 6 && qAbs(item->top - price->top) < 6);
        QVERIFY(item->right < quantity->left && quantity->right < price->left);
        // The price stands under its column's heading.
        const WordBox* heading = find(QStringLiteral("Total"));
        QVERIFY(heading && qAbs(heading->right - price->right) < 3);
    }

    void backgroundsAndDeepTablesShowAsTheReaderShowsThem()
    {
        QByteArray html = "<html><body style=\"background:#1b5e20;color:#ffffff\">"
                          "<table><tr><td style=\"background-color:#ffd600;color:#000\">sunny cell</td></tr>"
                          "</table>";
        for (int i = 0; i < 4; ++i)
            html += "<table><tr><td>level" + QByteArray::number(i + 1) + " ";
        html +=
            "deepest</td></tr></table></td></tr></table></td></tr></table></td></tr></table></body></html>";
        const QString pdf = convertHtml(html);
        const QString text = readPdf(pdf).text.simplified();
        for (const char* words : {"sunny cell", "level1", "level2", "level3", "level4 deepest"})
            QVERIFY2(text.contains(QLatin1String(words)), words);
        const QImage page = firstPageImage(pdf);
        QVERIFY(pixelsNear(page, QColor(0x1b, 0x5e, 0x20)) > page.width() * page.height() / 4);
        QVERIFY(pixelsNear(page, QColor(0xff, 0xd6, 0x00)) > 20);
    }

    void headerBlockReadsOnDarkAndStyledMail()
    {
        // A dark template that sets no text colour, and rules that reach every
        // element, the header's included, however they are weighted.
        const QByteArray css =
            "<style>body{background:#101010;font-size:7px;text-transform:uppercase;letter-spacing:6px;"
            "zoom:0.6;direction:rtl;font-family:monospace}"
            "body *{color:#202020!important;font-size:5px!important;background:#101010!important;"
            "zoom:0.5!important;letter-spacing:4px!important}"
            "div,table,span,p{color:#1a1a1a!important;text-transform:lowercase!important}"
            "*::first-line{color:#303030!important}*::before{content:'NOISE'}br{display:none!important}"
            "</style>";
        const QString plainPdf = convertMessage("<html><body><p>below</p></body></html>");
        const QString styledPdf =
            convertMessage("<html><head>" + css + "</head><body><p>below the header</p></body></html>");
        QVERIFY(!plainPdf.isEmpty() && !styledPdf.isEmpty());
        const PdfContent plain = readPdf(plainPdf);
        const PdfContent styled = readPdf(styledPdf);

        // Each line as written, on a line of its own.
        const QStringList lines = styled.text.split(u'\n');
        for (const char* line : {"From: Ann Example [ann@x.example]", "To: Bob [bob@x.example]",
                                 "Subject: test", "Date: Mon, 1 Jan 2024 10:00:00 +0000"})
            QVERIFY2(lines.contains(QLatin1String(line)), qPrintable(line + (u'\n' + styled.text)));
        // In the size of a page without CSS.
        const double plainWidth = wordWidth(plain, QStringLiteral("Example"));
        QVERIFY(plainWidth > 0);
        QVERIFY2(qAbs(wordWidth(styled, QStringLiteral("Example")) / plainWidth - 1) < 0.03,
                 qPrintable(QString::number(wordWidth(styled, QStringLiteral("Example")) / plainWidth)));

        // Dark text on a light ground where the block stands; the message's
        // own dark ground everywhere else.
        const WordBox* from = nullptr;
        const WordBox* date = nullptr;
        for (const WordBox& word : styled.words) {
            if (!from && word.text == QLatin1String("From:"))
                from = &word;
            if (!date && word.text == QLatin1String("Date:"))
                date = &word;
        }
        QVERIFY(from && date);
        constexpr double dpi = 50;
        const QImage page = firstPageImage(styledPdf, dpi);
        const double toPixels = dpi / 72;
        const QImage block =
            page.copy(QRect(QPoint(int(from->left * toPixels), int(from->top * toPixels)),
                            QPoint(int((styled.pageWidth / 2) * toPixels), int((date->top + 8) * toPixels))));
        const int area = block.width() * block.height();
        QVERIFY(area > 0);
        QVERIFY2(pixelsNear(block, Qt::white, 60) > area * 6 / 10, "the block's ground is not light");
        QVERIFY2(pixelsNear(block, Qt::black, 90) > area / 50, "the block's text is not dark");
        QVERIFY(pixelsNear(page, QColor(0x10, 0x10, 0x10)) > page.width() * page.height() / 2);
    }

    void widePicturesFitTheTextWidthAndLeaveTheTextItsSize()
    {
        const QByteArray words = "<p>measure these words</p>";
        const double reference = wordWidth(readPdf(convertHtml("<html><body>" + words + "</body></html>")),
                                           QStringLiteral("measure"));
        QVERIFY(reference > 0);
        // Two pictures 5,000 px wide, one sized by its attributes, one by CSS.
        const QByteArray html =
            "<html><body>" + words +
            "<img src=\"cid:picture@test\" width=\"5000\" height=\"1000\"><br>"
            "<img src=\"cid:picture@test\" style=\"width:5000px;height:1000px\"></body></html>";
        const QString pdf = convertHtml(html, pngBytes(500, 100, Qt::red));
        QVERIFY(!pdf.isEmpty());
        const PdfContent content = readPdf(pdf);
        const double ratio = wordWidth(content, QStringLiteral("measure")) / reference;
        QVERIFY2(qAbs(ratio - 1) < 0.05, qPrintable(QString::number(ratio)));

        // Each picture as wide as the text and a fifth as high, both on the page.
        constexpr double dpi = 50;
        const QImage page = firstPageImage(pdf, dpi);
        const double textWidth = (content.pageWidth - 2 * 15 / 25.4 * 72) * dpi / 72;
        const double expected = 2 * textWidth * textWidth / 5;
        const int red = pixelsNear(page, QColor(255, 0, 0));
        QVERIFY2(qAbs(red / expected - 1) < 0.1,
                 qPrintable(QStringLiteral("%1 of %2").arg(red).arg(expected)));

        // On a page that wider text still zooms out, a picture fills the text width all the same.
        const QString zoomed =
            convertHtml("<html><body><pre>" + QByteArray(3000, 'x') +
                            "</pre><img src=\"cid:picture@test\" width=\"5000\" height=\"1000\">"
                            "</body></html>",
                        pngBytes(500, 100, Qt::red));
        const int zoomedRed = pixelsNear(firstPageImage(zoomed, dpi), QColor(255, 0, 0));
        QVERIFY2(qAbs(zoomedRed / (expected / 2) - 1) < 0.1, qPrintable(QString::number(zoomedRed)));
    }

    void contentWiderThanHalfSizeWrapsRatherThanShrinkingFurther_data()
    {
        QTest::addColumn<QByteArray>("wide");
        QTest::addColumn<QStringList>("mustShow");
        QByteArray cells;
        QStringList columns;
        for (int i = 0; i < 4; ++i) {
            cells += "<td width=\"1500\">column" + QByteArray::number(i) + " alpha</td>";
            columns << QStringLiteral("column%1").arg(i);
        }
        QTest::newRow("6000 px table")
            << "<table border=\"1\" width=\"6000\"><tr>" + cells + "</tr></table>" << columns;
        QByteArray line;
        QStringList tokens;
        for (int i = 0; i < 400; ++i) {
            const QByteArray token = "t" + QByteArray::number(1000 + i);
            line += token + ' ';
            tokens << QString::fromLatin1(token);
        }
        QTest::newRow("pre with a 2,400 character line") << "<pre>" + line + "</pre>" << tokens;
        QTest::newRow("nowrap cell") << "<table><tr><td nowrap>" + line + "</td></tr></table>" << tokens;
    }

    void contentWiderThanHalfSizeWrapsRatherThanShrinkingFurther()
    {
        QFETCH(QByteArray, wide);
        QFETCH(QStringList, mustShow);
        const QByteArray words = "<p>measure these words</p>";
        const double reference = wordWidth(readPdf(convertHtml("<html><body>" + words + "</body></html>")),
                                           QStringLiteral("measure"));
        const PdfContent content = readPdf(convertHtml("<html><body>" + words + wide + "</body></html>"));
        const double ratio = wordWidth(content, QStringLiteral("measure")) / reference;
        QVERIFY2(ratio > 0.48 && ratio < 0.55, qPrintable(QString::number(ratio)));
        QStringList missing;
        for (const QString& word : mustShow)
            if (!content.text.contains(word))
                missing << word;
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u' ')));
        const QStringList outside = wordsOutsideTheMargins(content);
        QVERIFY2(outside.isEmpty(), qPrintable(outside.join(u' ')));
    }

    void pageThatRunsOutOfTimeFailsAloneAndTheEngineIsReplaced()
    {
        verifyEngineWorks();
        OfficeHostClient& host = SharedOfficeHost();
        const qint64 pid = host.hostProcessId();
        SetOfficeCallTimeLimit(1);
        const Conversion result =
            convert(writePage(relatedPage("<p>too slow</p>")), workPath(QStringLiteral(".pdf")));
        SetOfficeCallTimeLimit(OfficeHostClient::kDefaultCallTimeLimitMs);
        QCOMPARE(result.steps, QList<int>{210});
        QVERIFY2(result.reports.first().contains(QStringLiteral("did not load and print within")),
                 qPrintable(result.reports.first()));
        QVERIFY(!result.pdfExists);
        verifyEngineWorks();
        QVERIFY(host.hostProcessId() != pid);
    }

    void killedHostIsReplacedForTheNextMessage()
    {
        verifyEngineWorks();
        OfficeHostClient& host = SharedOfficeHost();
        const qint64 pid = host.hostProcessId();
        QVERIFY(pid > 0);
        ::kill(pid_t(pid), SIGKILL);
        QTest::qWait(200);
        verifyEngineWorks();
        QVERIFY(host.hostProcessId() != pid);
    }

    void hostDyingDuringACallFailsOnlyThatCall()
    {
        verifyEngineWorks();
        OfficeHostClient& host = SharedOfficeHost();
        const pid_t pid = pid_t(host.hostProcessId());
        ::kill(pid, SIGSTOP);
        QTimer::singleShot(300, [pid] { ::kill(pid, SIGKILL); });
        QElapsedTimer timer;
        timer.start();
        QVERIFY_THROWS_EXCEPTION(OfficeError, host.call({{QStringLiteral("op"), QStringLiteral("ping")}}));
        QVERIFY(timer.elapsed() < 30000);
        verifyEngineWorks();
    }

    void hungHostIsEndedAtTheTimeLimit()
    {
        verifyEngineWorks();
        OfficeHostClient& host = SharedOfficeHost();
        const pid_t pid = pid_t(host.hostProcessId());
        SetOfficeCallTimeLimit(3000);
        ::kill(pid, SIGSTOP);
        QElapsedTimer timer;
        timer.start();
        const Conversion result =
            convert(writePage(relatedPage("<p>never</p>")), workPath(QStringLiteral(".pdf")));
        const qint64 elapsed = timer.elapsed();
        SetOfficeCallTimeLimit(OfficeHostClient::kDefaultCallTimeLimitMs);

        QCOMPARE(result.steps, (QList<int>{206, 208, 210, 212}));
        QVERIFY2(result.reports.first().contains(QStringLiteral("the office engine did not answer within")),
                 qPrintable(result.reports.first()));
        QVERIFY(!result.pdfExists);
        QVERIFY2(elapsed < 15000, qPrintable(QString::number(elapsed)));
        QTRY_VERIFY_WITH_TIMEOUT(::kill(pid, 0) != 0, 5000); // the hung host is gone
        verifyEngineWorks();
    }

    void badInputFailsItsOwnCallOnly_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<bool>("mayConvert");

        QByteArray garbage(64 * 1024, '\0');
        for (qsizetype i = 0; i < garbage.size(); ++i)
            garbage[i] = char((i * 7919 + 13) % 251);
        QTest::newRow("binary garbage named .mht") << garbage << QStringLiteral(".mht") << false;
        QTest::newRow("corrupt MIME")
            << QByteArray(
                   "MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=\r\n\r\n--\r\n\x01\x02--")
            << QStringLiteral(".mht") << true;
        QTest::newRow("broken boundaries")
            << QByteArray("MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"B\"\r\n\r\n"
                          "--B\r\nContent-Type: text/html\r\n\r\n<p>no closing boundary<p>--C\r\n")
            << QStringLiteral(".mht") << true;
        QByteArray nested = "<html><body>";
        for (int i = 0; i < 10000; ++i)
            nested += "<table><tr><td>";
        nested += "bottom";
        QTest::newRow("10,000 nested tables") << relatedPage(nested) << QStringLiteral(".mht") << true;
        QByteArray big =
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"M\"\r\n\r\n"
            "--M\r\nContent-Type: text/html\r\n\r\n<p>large message</p>\r\n"
            "--M\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment\r\n"
            "Content-ID: <blob@test>\r\nContent-Transfer-Encoding: base64\r\n\r\n";
        big += garbage.repeated(600).toBase64(QByteArray::Base64Encoding);
        big += "\r\n--M--\r\n";
        QTest::newRow("50 MB message") << big << QStringLiteral(".mht") << true;
    }

    void badInputFailsItsOwnCallOnly()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, suffix);
        QFETCH(bool, mayConvert);
        const QString pdf = workPath(QStringLiteral(".pdf"));
        const Conversion result = convert(writePage(content, suffix), pdf);
        QCOMPARE(result.pdfExists, !result.steps.contains(210));
        if (!mayConvert) {
            QVERIFY(result.steps.contains(208));
            QVERIFY(!result.pdfExists);
        }
        QVERIFY(!result.steps.contains(206)); // the engine itself stayed up
        verifyEngineWorks();
    }

    void missingPageAndUnwritableTargetAreReported()
    {
        Conversion result =
            convert(m_dir.path() + QStringLiteral("/absent.mht"), workPath(QStringLiteral(".pdf")));
        QCOMPARE(result.steps, (QList<int>{208, 210}));
        QVERIFY(result.reports.first().contains(QStringLiteral("does not exist")));

        const QString page = writePage(relatedPage("<p>fine</p>"));
        result = convert(page, m_dir.path() + QStringLiteral("/no-such-folder/out.pdf"));
        QCOMPARE(result.steps, (QList<int>{210}));
        QVERIFY(!result.pdfExists);

        // A folder where the file should go cannot be replaced by it.
        const QString occupied = workPath(QStringLiteral(".pdf"));
        QDir().mkpath(occupied);
        result = convert(page, occupied);
        QCOMPARE(result.steps, (QList<int>{210}));
        QVERIFY(QFileInfo(occupied).isDir());
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral(".*part*")}, QDir::Files | QDir::Hidden).size(),
                 0);
        verifyEngineWorks();
    }

    void hostIsRestartedAfterItsDocumentQuota()
    {
        OfficeHostClient& host = SharedOfficeHost();
        host.stop();
        host.setRestartAfter(2);
        const int generation = host.generation();
        verifyEngineWorks(); // starts a host
        verifyEngineWorks();
        QCOMPARE(host.generation(), generation + 1);
        verifyEngineWorks(); // the third document goes to a fresh host
        QCOMPARE(host.generation(), generation + 2);
        host.setRestartAfter(200);
    }

    void rendererIsServedByTheRunningHostOrItsOwn()
    {
        verifyEngineWorks();
        const QString socket = OfficeHostSocketName();
        QVERIFY(!socket.isEmpty());
        auto opened = [] {
            return SharedOfficeHost()
                .call({{QStringLiteral("op"), QStringLiteral("ping")}})
                .value(QStringLiteral("opened"))
                .toInt();
        };
        const int before = opened();
        const QString page = writePage(relatedPage("<p>for the renderer</p>"));

        qputenv(kOfficeSocketVariable, socket.toUtf8());
        const QString pdf = workPath(QStringLiteral(".pdf"));
        LayOutAsPdf(page, pdf);
        QVERIFY(readPdf(pdf).text.contains(QStringLiteral("for the renderer")));
        QCOMPARE(opened(), before + 1); // laid out by the window's host

        // Without a host that answers, the renderer starts one of its own.
        qputenv(kOfficeSocketVariable, "quillmark-office-nobody-listens");
        const QString own = workPath(QStringLiteral(".pdf"));
        LayOutAsPdf(page, own);
        qunsetenv(kOfficeSocketVariable);
        QVERIFY(readPdf(own).text.contains(QStringLiteral("for the renderer")));
        QCOMPARE(opened(), before + 1);

        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 LayOutAsPdf(m_dir.path() + QStringLiteral("/absent.eml"), pdf));
    }

    void officeDocumentsAreLaidOutByLibreOffice()
    {
        if (!QFileInfo::exists(QStringLiteral("/usr/lib/libreoffice/program")))
            QSKIP("LibreOffice is not installed");
        const QString rtf = workPath(QStringLiteral(".rtf"));
        QVERIFY(writeFile(rtf, "{\\rtf1\\ansi{\\fonttbl{\\f0 Liberation Serif;}}\\f0 Office words\\par}"));
        const QString pdf = workPath(QStringLiteral(".pdf"));
        LayOutAsPdf(rtf, pdf);
        QVERIFY(readPdf(pdf).text.contains(QStringLiteral("Office words")));
    }

    // A production's text of an office document: a text document's words
    // and a workbook's every sheet, in order, as UTF-8 whatever the host's
    // locale, written beside the pages or alone.
    void officeTextIsUtf8AndHoldsEverySheet()
    {
        if (!QFileInfo::exists(QStringLiteral("/usr/lib/libreoffice/program")))
            QSKIP("LibreOffice is not installed");
        const ScopedVariable cLocale("LC_ALL", QStringLiteral("C"));
        SharedOfficeHost().stop(); // the next host starts under the C locale
        const QString rtf = workPath(QStringLiteral(".rtf"));
        QVERIFY(writeFile(rtf, "{\\rtf1\\ansi{\\fonttbl{\\f0 Liberation Serif;}}\\f0 Gr\\'fc\\'dfe "
                               "MARKERWRITER\\par}"));
        const QString pdf = workPath(QStringLiteral(".pdf"));
        const QString writerText = workPath(QStringLiteral(".txt"));
        EngineToPdf(ProgramOfficeEngine(), rtf, pdf, writerText);
        QCOMPARE(QString::fromUtf8(readFile(writerText)).trimmed(), QStringLiteral("Grüße MARKERWRITER"));

        const QString fods = workPath(QStringLiteral(".fods"));
        QVERIFY(writeFile(
            fods, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
                  "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
                  "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" office:version=\"1.2\" "
                  "office:mimetype=\"application/vnd.oasis.opendocument.spreadsheet\"><office:body>"
                  "<office:spreadsheet><table:table table:name=\"First\"><table:table-row>"
                  "<table:table-cell office:value-type=\"string\"><text:p>Grüße, MARKERSHEETONE</text:p>"
                  "</table:table-cell></table:table-row></table:table><table:table table:name=\"Second\">"
                  "<table:table-row><table:table-cell office:value-type=\"string\"><text:p>MARKERSHEETTWO"
                  "</text:p></table:table-cell></table:table-row></table:table></office:spreadsheet>"
                  "</office:body></office:document>\n"));
        const QString sheetText = workPath(QStringLiteral(".txt"));
        try {
            EngineToText(ProgramOfficeEngine(), fods, sheetText);
        } catch (const OfficeError& error) {
            SharedOfficeHost().stop();
            QSKIP(qPrintable(QStringLiteral("LibreOffice does not open workbooks here: %1")
                                 .arg(QString::fromUtf8(error.what()))));
        }
        const QString csv = QString::fromUtf8(readFile(sheetText));
        QVERIFY2(csv.contains(QStringLiteral("\"Grüße, MARKERSHEETONE\"")), qPrintable(csv));
        QVERIFY2(csv.indexOf(QLatin1String("MARKERSHEETONE")) < csv.indexOf(QLatin1String("MARKERSHEETTWO")),
                 qPrintable(csv));
        QCOMPARE(QDir(QFileInfo(sheetText).path()).entryList({QStringLiteral("*.sheet.csv")}), QStringList());
        SharedOfficeHost().stop();
    }

    // An office document (an attachment, say) that links a picture on a
    // server is laid out without it: LibreOffice asks no server for anything.
    void linkedPicturesOfOfficeDocumentsAreNotFetched()
    {
        if (!QFileInfo::exists(QStringLiteral("/usr/lib/libreoffice/program")))
            QSKIP("LibreOffice is not installed");
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QString fodt = workPath(QStringLiteral(".fodt"));
        QVERIFY(writeFile(
            fodt,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
            "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
            "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
            "xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
            "xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\" office:version=\"1.2\" "
            "office:mimetype=\"application/vnd.oasis.opendocument.text\"><office:body><office:text>"
            "<text:p>Linked picture<draw:frame draw:name=\"p\" svg:width=\"2cm\" svg:height=\"2cm\" "
            "text:anchor-type=\"as-char\"><draw:image xlink:href=\"http://127.0.0.1:" +
                QByteArray::number(server.serverPort()) +
                "/pic.png\" xlink:type=\"simple\" xlink:show=\"embed\" xlink:actuate=\"onLoad\"/>"
                "</draw:frame></text:p></office:text></office:body></office:document>\n"));
        const QString pdf = workPath(QStringLiteral(".pdf"));
        LayOutAsPdf(fodt, pdf);
        QVERIFY(readPdf(pdf).text.contains(QStringLiteral("Linked picture")));
        QVERIFY(!server.waitForNewConnection(500));
    }

    // A document from outside never brings a file of this machine onto its
    // pages: not a picture an RTF field names (by path, by file URL, or one
    // only this user may read), nor one a linked frame names in the formats
    // LibreOffice writes (ODT, DOCX, DOC).
    void localPicturesNeverReachOfficePages_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("reference");
        QTest::newRow("rtf field, path") << QStringLiteral("rtf") << QStringLiteral("path");
        QTest::newRow("rtf field, file URL") << QStringLiteral("rtf") << QStringLiteral("url");
        QTest::newRow("rtf field, private picture at home")
            << QStringLiteral("rtf") << QStringLiteral("home");
        QTest::newRow("odt frame") << QStringLiteral("odt") << QStringLiteral("url");
        QTest::newRow("docx picture") << QStringLiteral("docx") << QStringLiteral("url");
        QTest::newRow("doc field") << QStringLiteral("doc") << QStringLiteral("url");
    }

    void localPicturesNeverReachOfficePages()
    {
        QFETCH(QString, format);
        QFETCH(QString, reference);
        if (!QFileInfo::exists(QStringLiteral("/usr/lib/libreoffice/program")))
            QSKIP("LibreOffice is not installed");
        QTemporaryFile homePicture(QDir::homePath() + QStringLiteral("/.quillmark-test-XXXXXX.png"));
        QString picture = workPath(QStringLiteral(".png"));
        if (reference == QLatin1String("home")) {
            QVERIFY(homePicture.open());
            picture = homePicture.fileName();
            homePicture.close();
        }
        QVERIFY(writeFile(picture, pngBytes(200, 200, Qt::red)));
        QVERIFY(QFile::setPermissions(picture, QFile::ReadOwner | QFile::WriteOwner));
        const QString url = QUrl::fromLocalFile(picture).toString();
        const QString named = reference == QLatin1String("url") ? url : picture;

        QString document;
        if (format == QLatin1String("rtf")) {
            document = workPath(QStringLiteral(".rtf"));
            QVERIFY(writeFile(
                document, "{\\rtf1\\ansi{\\fonttbl{\\f0 Liberation Serif;}}\\f0 Before picture\\par\n"
                          "{\\field{\\*\\fldinst INCLUDEPICTURE \"" +
                              QFile::encodeName(named) + "\" \\\\d}{\\fldrslt }}\\par After picture\\par}"));
        } else {
            document = savedAs(linkedPictureDocument(url), format);
            if (format == QLatin1String("doc"))
                QVERIFY(readFile(document).contains(QFile::encodeName(QFileInfo(picture).fileName())));
        }
        const QString pdf = workPath(QStringLiteral(".pdf"));
        LayOutAsPdf(document, pdf);
        QVERIFY(readPdf(pdf).text.contains(QStringLiteral("Before picture")));
        QCOMPARE(pixelsNear(firstPageImage(pdf), Qt::red), 0);
    }

    // A host keeps what it writes (its socket, its log, the temporary files of
    // LibreOffice and of the page engine) in a folder of its own inside the
    // program's, and takes that along when it ends: nothing stays behind in
    // TEMP or TMPDIR.
    void aHostLeavesNothingInTheTemporaryFolders()
    {
        if (!QFileInfo::exists(QStringLiteral("/usr/lib/libreoffice/program")))
            QSKIP("LibreOffice is not installed");
        const QString temp = m_dir.path() + QStringLiteral("/temp");
        const QString tmp = m_dir.path() + QStringLiteral("/tmpdir");
        QVERIFY(QDir().mkpath(temp) && QDir().mkpath(tmp));
        const ScopedVariable tempVariable("TEMP", temp);
        const ScopedVariable tmpVariable("TMPDIR", tmp);
        const QString rtf = workPath(QStringLiteral(".rtf"));
        QVERIFY(writeFile(rtf, "{\\rtf1\\ansi Office words\\par}"));
        const QString pdf = workPath(QStringLiteral(".pdf"));
        {
            OfficeHostClient client(OfficeHostProgram());
            client.setProcessEventsWhileWaiting(false);
            const int handle =
                client.call({{QStringLiteral("op"), QStringLiteral("open")}, {QStringLiteral("path"), rtf}})
                    .value(QStringLiteral("handle"))
                    .toInt();
            client.call({{QStringLiteral("op"), QStringLiteral("save")},
                         {QStringLiteral("handle"), handle},
                         {QStringLiteral("path"), pdf},
                         {QStringLiteral("format"), int(kSaveFormatPdf)}});
            const QString folder = QFileInfo(client.socketName()).absolutePath();
            QCOMPARE(QFileInfo(folder).absolutePath(), TempFolder());
            QVERIFY(QFileInfo(folder).fileName().startsWith(QStringLiteral("host-")));
            QVERIFY(QFileInfo::exists(folder + QStringLiteral("/host.log")));
        }
        QVERIFY(readPdf(pdf).text.contains(QStringLiteral("Office words")));
        const auto everything = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
        QVERIFY2(QDir(tmp).isEmpty(everything), qPrintable(QDir(tmp).entryList(everything).join(u' ')));
        QCOMPARE(QDir(temp).entryList(everything), QStringList{QFileInfo(TempFolder()).fileName()});
        QVERIFY2(QDir(TempFolder()).isEmpty(everything),
                 qPrintable(QDir(TempFolder()).entryList(everything).join(u' ')));
    }

    void hostThatCannotStartIsAClearError()
    {
        OfficeHostClient missing(m_dir.path() + QStringLiteral("/no-such-host"));
        try {
            missing.ensureStarted();
            QFAIL("a missing host started");
        } catch (const OfficeError& e) {
            QVERIFY(e.description().contains(QStringLiteral("missing or cannot be run")));
        }
        // A host that ends at once, as one whose LibreOffice cannot load does.
        OfficeHostClient failing(QStringLiteral("/bin/false"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY_THROWS_EXCEPTION(OfficeError, failing.ensureStarted());
        QVERIFY(timer.elapsed() < 10000);
        QVERIFY(!failing.isRunning());
    }

    void callsDoNotNestWhileOneIsUnderWay()
    {
        verifyEngineWorks();
        OfficeHostClient& host = SharedOfficeHost();
        QString nestedError;
        // Events are processed while a call waits; a handler that calls the
        // engine again must be refused, not interleaved on the socket.
        QTimer::singleShot(0, [&] {
            try {
                host.call({{QStringLiteral("op"), QStringLiteral("ping")}});
            } catch (const OfficeError& e) {
                nestedError = e.description();
            }
        });
        const pid_t pid = pid_t(host.hostProcessId());
        ::kill(pid, SIGSTOP);
        QTimer::singleShot(500, [pid] { ::kill(pid, SIGCONT); });
        host.call({{QStringLiteral("op"), QStringLiteral("ping")}});
        QCOMPARE(nestedError, QStringLiteral("the office engine is busy with another call"));
        verifyEngineWorks();
    }

    void hostEndsWhenItsOwnerLeaves()
    {
        const QString name = m_dir.path() + QStringLiteral("/owner-test.socket");
        QProcess host;
        host.start(QStringLiteral(QM_PROGRAM_DIR "/quillmark-office"), {QStringLiteral("--socket"), name});
        QVERIFY(host.waitForStarted());
        QLocalSocket owner;
        QElapsedTimer waited;
        waited.start();
        for (owner.connectToServer(name); !owner.waitForConnected(100); owner.connectToServer(name)) {
            QVERIFY(waited.elapsed() < 60000);
            owner.abort();
            QTest::qWait(50);
        }
        QLocalSocket visitor;
        visitor.connectToServer(name);
        QVERIFY(visitor.waitForConnected(5000));
        visitor.disconnectFromServer();
        QVERIFY(!host.waitForFinished(1000)); // a visitor leaving changes nothing
        owner.disconnectFromServer();
        QVERIFY(host.waitForFinished(10000));
        QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    }
};

QTEST_GUILESS_MAIN(TestOfficeHost)
#include "test_officehost.moc"
