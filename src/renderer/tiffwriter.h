#pragma once

#include "pageimage.h"
#include "renderoptions.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <stdexcept>

struct tiff;

enum class TiffEncoding {
    // The colour mode's samples: 8-bit grey or RGB with LZW and the
    // horizontal predictor, or 1 bit with CCITT Group 4 for mono.
    Compact,
    // 24-bit RGB for every page, uncompressed; only to compare costs.
    PlainRgb,
};

struct TiffDocumentInfo {
    QString documentName;
    QString software;
    int dpi = 200;
    TiffEncoding encoding = TiffEncoding::Compact;
    ColourMode colour = ColourMode::Auto;
};

// Thrown when a write fails because the disk, the user's quota or the
// largest file this process may write is full: libtiff's own words ("Write
// error at scanline 12") do not tell the user what to do.
class NoSpaceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether `error` (an errno value) is one of those.
bool IsNoSpaceError(int error);

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
    void writeHeaderFields(const PageImage& page, uint16_t bits, uint16_t samples, uint16_t photometric);
    void writeBitonal(const PageImage& page);

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

// Each page of a TIFF file as PNG, for engines that do not read TIFF. Throws
// std::runtime_error with libtiff's reason when the file cannot be read.
QList<QByteArray> TiffPagesAsPng(const QString& path);
