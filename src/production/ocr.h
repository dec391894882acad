#pragma once

#include "pageimage.h"

#include <QImage>
#include <QString>

#include <memory>

namespace tesseract {
class TessBaseAPI;
}

// Tesseract in this process, English, made once and reused for every page of
// a worker. It reads only the pixels it is handed: nothing is fetched.
class Ocr {
public:
    // Throws std::runtime_error when Tesseract or its English data is
    // missing.
    Ocr();
    ~Ocr();
    Ocr(const Ocr&) = delete;
    Ocr& operator=(const Ocr&) = delete;

    // The text on the page, lines as Tesseract finds them.
    QString read(const PageImage& page, int dpi);
    QString read(const QImage& image);

private:
    QString readGrey(const QImage& grey, int dpi);
    std::unique_ptr<tesseract::TessBaseAPI> m_api;
};
