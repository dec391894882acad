#pragma once

#include "pageimage.h"

#include <QString>

#include <memory>

struct tiff;

enum class TiffEncoding {
    // What users of page images expect: 8-bit greyscale for pages without
    // colour, 8-bit RGB otherwise, LZW with the horizontal predictor.
    Compact,
    // 24-bit RGB for every page, uncompressed; only to compare costs.
    PlainRgb,
};

struct TiffDocumentInfo {
    QString documentName;
    QString software;
    int dpi = 200;
    TiffEncoding encoding = TiffEncoding::Compact;
};

// Writes pages, in the order given, into one multi-page TIFF. Every failure
// throws std::runtime_error with libtiff's reason.
class TiffWriter {
public:
    TiffWriter(const QString& path, int pageCount, TiffDocumentInfo info);
    // Writes into an already open file descriptor, which it takes over.
    TiffWriter(int fileDescriptor, const QString& name, int pageCount, TiffDocumentInfo info);
    ~TiffWriter();
    TiffWriter(const TiffWriter&) = delete;
    TiffWriter& operator=(const TiffWriter&) = delete;

    void addPage(const PageImage& page);
    // Flushes and closes the file; checks that every announced page came.
    void finish();

    int pagesWritten() const { return written_; }

private:
    struct Closer {
        void operator()(tiff* handle) const;
    };
    std::unique_ptr<tiff, Closer> tiff_;
    int pageCount_;
    int written_ = 0;
    TiffDocumentInfo info_;
};

// The number of pages (image directories) of the TIFF at `path`; 0 when it
// cannot be read as TIFF.
int TiffPageCount(const QString& path);
