#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QString>

#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-page.h>

#include <memory>
#include <vector>

// Helpers shared by the office integration tests.
namespace officetest
{

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
    double left, right;
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
                                     box.bbox().left(), box.bbox().right(), i});
        }
    }
    return content;
}

} // namespace officetest
