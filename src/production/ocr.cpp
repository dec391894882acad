#include "ocr.h"

#include <QPainter>

#include <tesseract/baseapi.h>

#include <stdexcept>

namespace {

// Tesseract guesses a resolution that it cannot read from the pixels; a
// picture from mail usually comes at the screen's.
constexpr int kPictureDpi = 96;

} // namespace

Ocr::Ocr() : m_api(std::make_unique<tesseract::TessBaseAPI>())
{
    // One thread per worker: the workers are the parallelism, and pages then
    // read the same in any run.
    qputenv("OMP_THREAD_LIMIT", "1");
    if (m_api->Init(nullptr, "eng") != 0)
        throw std::runtime_error("Tesseract cannot start with its English data; install tesseract-ocr-eng");
}

Ocr::~Ocr()
{
    m_api->End();
}

QString Ocr::read(const PageImage& page, int dpi)
{
    const QImage image(reinterpret_cast<const uchar*>(page.rgb.constData()), page.width, page.height,
                       page.width * 3, QImage::Format_RGB888);
    return readGrey(image.convertToFormat(QImage::Format_Grayscale8), dpi);
}

QString Ocr::read(const QImage& image)
{
    if (image.isNull())
        return {};
    // Transparent pixels read as paper, not as ink.
    QImage paper(image.size(), QImage::Format_RGB32);
    paper.fill(Qt::white);
    {
        QPainter painter(&paper);
        painter.drawImage(0, 0, image);
    }
    return readGrey(paper.convertToFormat(QImage::Format_Grayscale8), kPictureDpi);
}

QString Ocr::readGrey(const QImage& grey, int dpi)
{
    m_api->SetImage(grey.constBits(), grey.width(), grey.height(), 1, int(grey.bytesPerLine()));
    m_api->SetSourceResolution(dpi);
    const std::unique_ptr<char[]> text(m_api->GetUTF8Text());
    m_api->Clear();
    return text ? QString::fromUtf8(text.get()).trimmed() : QString();
}
