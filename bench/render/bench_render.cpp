// Cost of the page images: documents of 1, 10 and 100 pages laid out once by
// the office engine, then rasterised and written as the compact TIFF (grey or
// colour per page, LZW with predictor) and, in the same run, as plain
// uncompressed 24-bit RGB. Also the whole tool, started as the run starts it.

#include "pagelayout.h"
#include "pdfpages.h"
#include "processrunner.h"
#include "vexlotool.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <exception>
#include <functional>
#include <stdexcept>

namespace {

// Mail-like pages: a header block, then paragraphs; every fifth page has a
// coloured line, as quoted mail and signatures often do.
QByteArray MailRtf(int pages)
{
    QByteArray rtf = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Liberation Sans;}}"
                     "{\\colortbl;\\red0\\green0\\blue0;\\red30\\green60\\blue200;}\\f0\\fs20 "
                     "\\b From: Someone <someone@example.org>\\par To: Another <b@example.org>\\par "
                     "Subject: Quarterly figures\\par Date: Mon, 7 Dec 2026 10:00:00 +0000\\b0\\par\\par ";
    for (int page = 0; page < pages; ++page) {
        if (page % 5 == 4)
            rtf += "\\cf2 > A quoted line in blue, as mail readers colour them.\\cf1\\par ";
        for (int line = 0; line < 40; ++line)
            rtf += "Paragraph " + QByteArray::number(line) + " of page " + QByteArray::number(page + 1) +
                   ": the figures for the quarter are attached, please check the totals.\\par ";
        if (page + 1 < pages)
            rtf += "\\page ";
    }
    return rtf + "}";
}

struct Figures {
    double seconds = 0;
    qint64 bytes = 0;
};

Figures Time(const std::function<void()>& work, const QString& output = {})
{
    QElapsedTimer timer;
    timer.start();
    work();
    Figures figures;
    figures.seconds = timer.nsecsElapsed() / 1e9;
    if (!output.isEmpty())
        figures.bytes = QFileInfo(output).size();
    return figures;
}

void Row(const char* what, int pages, const Figures& figures)
{
    std::printf("  %-34s %7.2f s %8.1f pages/s", what, figures.seconds, pages / figures.seconds);
    if (figures.bytes > 0)
        std::printf(" %10.0f bytes/page", double(figures.bytes) / pages);
    std::printf("\n");
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString tool = QStringLiteral(QM_PROGRAM_DIR "/vexlo");
    try {
        for (const int requested : {1, 10, 100}) {
            const QString rtf = dir.filePath(QStringLiteral("mail%1.rtf").arg(requested));
            const QString pdf = dir.filePath(QStringLiteral("mail%1.pdf").arg(requested));
            QFile file(rtf);
            if (!file.open(QIODevice::WriteOnly) || file.write(MailRtf(requested)) < 0)
                throw std::runtime_error("cannot write the test document");
            file.close();

            const Figures layout = Time([&] { LayOutAsPdf(rtf, pdf); });
            const int pages = PdfPages(pdf).count();
            std::printf("%d-page document (%d pages laid out)\n", requested, pages);
            Row("layout to PDF (engine loaded)", pages, layout);

            Row("rasterise only", pages, Time([&] {
                    const PdfPages source(pdf);
                    for (int i = 0; i < source.count(); ++i)
                        source.render(i, kPageDpi);
                }));

            TiffDocumentInfo info;
            info.software = QStringLiteral("bench");
            info.dpi = kPageDpi;
            const QString compact = dir.filePath(QStringLiteral("compact.tiff"));
            const QString plain = dir.filePath(QStringLiteral("plain.tiff"));
            info.encoding = TiffEncoding::Compact;
            Row("rasterise + TIFF grey/RGB LZW", pages,
                Time([&] { ConvertPdfToTiff(pdf, compact, info); }, compact));
            info.encoding = TiffEncoding::PlainRgb;
            Row("rasterise + TIFF RGB uncompressed", pages,
                Time([&] { ConvertPdfToTiff(pdf, plain, info); }, plain));

            if (QFileInfo(tool).isExecutable()) {
                const QString output = dir.filePath(QStringLiteral("tool.tiff"));
                int code = 0;
                const Figures whole = Time(
                    [&] {
                        code = RunProcessAndWait(tool, {rtf, output}, 0, nullptr, {}, 0, 1);
                    },
                    output);
                Row(code == 0 ? "vexlo process, own LibreOffice" : "vexlo process FAILED", pages, whole);
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_render: %s\n", error.what());
        return 1;
    }
    return 0;
}
