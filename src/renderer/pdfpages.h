#pragma once

#include "pageimage.h"

#include <QString>

#include <memory>

namespace poppler {
class document;
}

// The pages of a PDF file, rasterised one at a time on white paper.
class PdfPages {
public:
    // Throws std::runtime_error when the file cannot be read as PDF.
    explicit PdfPages(const QString& pdfPath);
    ~PdfPages();
    PdfPages(const PdfPages&) = delete;
    PdfPages& operator=(const PdfPages&) = delete;

    int count() const;
    // `index` counts from 0. Throws std::runtime_error.
    PageImage render(int index, int dpi) const;
    // The text poppler finds on the page, in reading order; empty for a page
    // that is only a picture (a scan).
    QString text(int index) const;

    // Why the file cannot be rasterised (not PDF, damaged, locked with a
    // password, no pages), or empty when it can.
    static QString problemWith(const QString& pdfPath);

private:
    std::unique_ptr<poppler::document> document_;
};
