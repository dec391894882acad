#include "pdfpages.h"

#include <QFile>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// poppler prints its complaints about damaged files to standard error; the
// caller reports one reason of its own instead.
void SilencePoppler(const std::string&, void*) {}

} // namespace

PdfPages::PdfPages(const QString& pdfPath)
{
    poppler::set_debug_error_function(SilencePoppler, nullptr);
    document_.reset(poppler::document::load_from_file(QFile::encodeName(pdfPath).toStdString()));
    if (!document_)
        throw std::runtime_error("Cannot read the laid-out pages (" + pdfPath.toStdString() + ")");
    if (document_->is_locked())
        throw std::runtime_error("The laid-out pages are locked with a password");
}

PdfPages::~PdfPages() = default;

QString PdfPages::problemWith(const QString& pdfPath)
{
    poppler::set_debug_error_function(SilencePoppler, nullptr);
    const std::unique_ptr<poppler::document> document(
        poppler::document::load_from_file(QFile::encodeName(pdfPath).toStdString()));
    if (!document)
        return QStringLiteral("it cannot be read as PDF (damaged, or locked with a password)");
    if (document->is_locked())
        return QStringLiteral("it is locked with a password");
    if (document->pages() <= 0)
        return QStringLiteral("it has no pages");
    return {};
}

int PdfPages::count() const
{
    return document_->pages();
}

QString PdfPages::text(int index) const
{
    const std::unique_ptr<poppler::page> page(document_->create_page(index));
    if (!page)
        return {};
    const std::vector<char> utf8 = page->text().to_utf8();
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

PageImage PdfPages::render(int index, int dpi) const
{
    const std::unique_ptr<poppler::page> page(document_->create_page(index));
    if (!page)
        throw std::runtime_error("Page " + std::to_string(index + 1) + " cannot be read");

    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing);
    renderer.set_paper_color(0xffffffff);
    renderer.set_image_format(poppler::image::format_argb32);
    const poppler::image image = renderer.render_page(page.get(), dpi, dpi);
    if (!image.is_valid() || image.format() != poppler::image::format_argb32)
        throw std::runtime_error("Page " + std::to_string(index + 1) + " cannot be rasterised");

    PageImage result;
    result.width = image.width();
    result.height = image.height();
    result.rgb.resize(qsizetype(result.width) * result.height * 3);
    auto* target = reinterpret_cast<uchar*>(result.rgb.data());
    for (int y = 0; y < result.height; ++y) {
        const char* source = image.const_data() + qsizetype(y) * image.bytes_per_row();
        for (int x = 0; x < result.width; ++x) {
            // Each pixel is one native 32-bit word 0xAARRGGBB; the paper is
            // opaque, so alpha is always full.
            quint32 argb;
            std::memcpy(&argb, source + x * 4, 4);
            *target++ = uchar(argb >> 16);
            *target++ = uchar(argb >> 8);
            *target++ = uchar(argb);
        }
    }
    return result;
}
