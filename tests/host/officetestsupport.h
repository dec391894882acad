#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QString>

#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <memory>
#include <vector>

// Helpers shared by the office integration tests.
namespace officetest {

inline QByteArray pngBytes(int width, int height, Qt::GlobalColor color = Qt::darkGreen)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// An HTML page with an inline image, as the message page code writes it.
inline QByteArray relatedPage(const QByteArray& html, const QByteArray& png = {})
{
    QByteArray message =
        "MIME-Version: 1.0\r\nSubject: test\r\n"
        "Content-Type: multipart/related; boundary=\"REL\"\r\n\r\n"
        "--REL\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        html.toBase64(QByteArray::Base64Encoding) + "\r\n";
    if (!png.isEmpty())
        message += "--REL\r\nContent-Type: image/png\r\nContent-ID: <picture@test>\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\n" +
                   png.toBase64() + "\r\n";
    return message + "--REL--\r\n";
}

struct WordBox {
    QString text;
    double left, right, top;
    int page;
};

struct PdfContent {
    int pages = 0;
    double pageWidth = 0;
    QString text;
    std::vector<WordBox> words;
};

inline PdfContent readPdf(const QString& path)
{
    PdfContent content;
    std::unique_ptr<poppler::document> document(
        poppler::document::load_from_file(QFile::encodeName(path).toStdString()));
    if (!document)
        return content;
    content.pages = document->pages();
    for (int i = 0; i < content.pages; ++i) {
        std::unique_ptr<poppler::page> page(document->create_page(i));
        if (!page)
            continue;
        content.pageWidth = page->page_rect().width();
        const auto utf8 = page->text().to_utf8();
        content.text += QString::fromUtf8(utf8.data(), qsizetype(utf8.size())) + u'\n';
        for (const auto& box : page->text_list()) {
            const auto word = box.text().to_utf8();
            content.words.push_back({QString::fromUtf8(word.data(), qsizetype(word.size())),
                                     box.bbox().left(), box.bbox().right(), box.bbox().top(), i});
        }
    }
    return content;
}

// The first page of a PDF as a picture, at `dpi`.
inline QImage firstPageImage(const QString& path, double dpi = 50)
{
    std::unique_ptr<poppler::document> document(
        poppler::document::load_from_file(QFile::encodeName(path).toStdString()));
    if (!document || document->pages() < 1)
        return {};
    std::unique_ptr<poppler::page> page(document->create_page(0));
    poppler::page_renderer renderer;
    const poppler::image image = renderer.render_page(page.get(), dpi, dpi);
    return QImage(reinterpret_cast<const uchar*>(image.const_data()), image.width(), image.height(),
                  image.bytes_per_row(), QImage::Format_ARGB32)
        .copy();
}

// How many pixels of the picture are near `colour`.
inline int pixelsNear(const QImage& image, QColor colour, int tolerance = 24)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - colour.red()) <= tolerance && qAbs(c.green() - colour.green()) <= tolerance &&
                qAbs(c.blue() - colour.blue()) <= tolerance)
                ++count;
        }
    return count;
}

} // namespace officetest
