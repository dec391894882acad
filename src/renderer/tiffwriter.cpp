#include "tiffwriter.h"

#include "bitonal.h"

#include <QBuffer>
#include <QFile>
#include <QImage>

#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kStripBytes = 64 * 1024;

// libtiff reports through a global handler; keep the latest message so the
// exception can carry it instead of libtiff printing to our standard error.
thread_local std::string lastTiffError;
// errno as libtiff reported its error, before anything else could change it.
thread_local int lastTiffErrno = 0;

void RecordTiffError(const char* module, const char* format, va_list args)
{
    lastTiffErrno = errno;
    char buffer[512];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    lastTiffError = module ? std::string(module) + ": " + buffer : std::string(buffer);
}

void IgnoreTiffWarning(const char*, const char*, va_list) {}

void InstallHandlers()
{
    TIFFSetErrorHandler(RecordTiffError);
    TIFFSetWarningHandler(IgnoreTiffWarning);
}

[[noreturn]] void Fail(const std::string& what)
{
    const int error = lastTiffErrno != 0 ? lastTiffErrno : errno;
    lastTiffErrno = 0;
    if (IsNoSpaceError(error)) {
        lastTiffError.clear();
        throw NoSpaceError(what);
    }
    std::string reason = what;
    if (!lastTiffError.empty())
        reason += " (" + lastTiffError + ")";
    lastTiffError.clear();
    throw std::runtime_error(reason);
}

void Check(int result, const char* what)
{
    if (result != 1)
        Fail(what);
}

} // namespace

bool IsNoSpaceError(int error)
{
    return error == ENOSPC || error == EFBIG || error == EDQUOT;
}

bool PageImage::hasColour() const
{
    const auto* pixel = reinterpret_cast<const uchar*>(rgb.constData());
    const qsizetype count = qsizetype(width) * height;
    for (qsizetype i = 0; i < count; ++i, pixel += 3) {
        if (pixel[0] != pixel[1] || pixel[1] != pixel[2])
            return true;
    }
    return false;
}

void TiffWriter::Closer::operator()(tiff* handle) const
{
    TIFFClose(handle);
}

TiffWriter::TiffWriter(const QString& path, int pageCount, TiffDocumentInfo info)
    : pageCount_(pageCount), info_(std::move(info))
{
    InstallHandlers();
    tiff_.reset(TIFFOpen(QFile::encodeName(path).constData(), "w"));
    if (!tiff_)
        Fail("Cannot create the image file " + path.toStdString());
}

TiffWriter::TiffWriter(int fileDescriptor, const QString& name, int pageCount, TiffDocumentInfo info)
    : pageCount_(pageCount), info_(std::move(info))
{
    InstallHandlers();
    tiff_.reset(TIFFFdOpen(fileDescriptor, QFile::encodeName(name).constData(), "w"));
    if (!tiff_) {
        ::close(fileDescriptor);
        Fail("Cannot create the image file " + name.toStdString());
    }
}

TiffWriter::~TiffWriter() = default;

void TiffWriter::writeHeaderFields(const PageImage& page, uint16_t bits, uint16_t samples,
                                   uint16_t photometric)
{
    TIFF* t = tiff_.get();
    Check(TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE), "Cannot set the page type");
    Check(TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(page.width)), "Cannot set the width");
    Check(TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(page.height)), "Cannot set the height");
    Check(TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits), "Cannot set the sample size");
    Check(TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples), "Cannot set the samples");
    Check(TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric), "Cannot set the colour model");
    Check(TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG), "Cannot set the layout");
    Check(TIFFSetField(t, TIFFTAG_XRESOLUTION, float(info_.dpi)), "Cannot set the resolution");
    Check(TIFFSetField(t, TIFFTAG_YRESOLUTION, float(info_.dpi)), "Cannot set the resolution");
    Check(TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH), "Cannot set the unit");
    Check(TIFFSetField(t, TIFFTAG_PAGENUMBER, uint16_t(written_), uint16_t(pageCount_)),
          "Cannot set the page number");
    if (!info_.software.isEmpty())
        Check(TIFFSetField(t, TIFFTAG_SOFTWARE, info_.software.toUtf8().constData()),
              "Cannot set the software name");
    if (!info_.documentName.isEmpty())
        Check(TIFFSetField(t, TIFFTAG_DOCUMENTNAME, info_.documentName.toUtf8().constData()),
              "Cannot set the document name");
}

// Group 4 codes each row against the one above it, so the page is one strip:
// that is what fax and production readers expect, and the smallest file.
void TiffWriter::writeBitonal(const PageImage& page)
{
    TIFF* t = tiff_.get();
    const BitonalPage bitonal = ToBitonal(page, info_.dpi);
    writeHeaderFields(page, 1, 1, PHOTOMETRIC_MINISWHITE);
    Check(TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4), "Cannot set CCITT Group 4");
    Check(TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB), "Cannot set the bit order");
    Check(TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(page.height)), "Cannot set the strip size");
    std::vector<uchar> line(size_t(bitonal.bytesPerRow));
    for (int y = 0; y < page.height; ++y) {
        const auto* row =
            reinterpret_cast<const uchar*>(bitonal.bits.constData()) + qsizetype(y) * bitonal.bytesPerRow;
        std::copy(row, row + line.size(), line.begin());
        if (TIFFWriteScanline(t, line.data(), uint32_t(y), 0) != 1)
            Fail("Cannot write page " + std::to_string(written_ + 1));
    }
}

void TiffWriter::addPage(const PageImage& page)
{
    if (!tiff_)
        throw std::logic_error("TiffWriter: page added after finish()");
    if (page.width <= 0 || page.height <= 0 || page.rgb.size() != qsizetype(page.width) * page.height * 3)
        throw std::runtime_error("Page " + std::to_string(written_ + 1) + " has no image");

    TIFF* t = tiff_.get();
    const bool compact = info_.encoding == TiffEncoding::Compact;
    if (compact && info_.colour == ColourMode::Mono) {
        writeBitonal(page);
        Check(TIFFWriteDirectory(t), "Cannot finish page");
        ++written_;
        return;
    }
    bool colour = true;
    if (compact && info_.colour == ColourMode::Grey)
        colour = false;
    else if (compact && info_.colour == ColourMode::Auto)
        colour = page.hasColour();
    // A page of greys only has three equal samples per pixel; any other page
    // shown in grey is weighed as the eye weighs its colours.
    const bool weighColours = !colour && info_.colour == ColourMode::Grey && page.hasColour();
    const uint16_t samples = colour ? 3 : 1;

    writeHeaderFields(page, 8, samples, colour ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    if (compact) {
        Check(TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW), "Cannot set LZW");
        Check(TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL), "Cannot set the predictor");
    } else {
        Check(TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE), "Cannot set the compression");
    }
    // LZW starts afresh in every strip; strips of about 64 KiB make text pages
    // some 14% smaller than libtiff's default of 8 KiB and read as fast.
    const uint32_t rowBytes = uint32_t(page.width) * samples;
    const uint32_t rowsPerStrip = std::max<uint32_t>(1, kStripBytes / rowBytes);
    Check(TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip), "Cannot set the strip size");

    std::vector<uchar> line(size_t(page.width) * samples);
    for (int y = 0; y < page.height; ++y) {
        const uchar* source = page.row(y);
        if (colour) {
            std::copy(source, source + line.size(), line.begin());
        } else if (weighColours) {
            for (int x = 0; x < page.width; ++x) {
                const uchar* p = source + x * 3;
                line[size_t(x)] = uchar((299 * p[0] + 587 * p[1] + 114 * p[2] + 500) / 1000);
            }
        } else {
            for (int x = 0; x < page.width; ++x)
                line[size_t(x)] = source[x * 3];
        }
        if (TIFFWriteScanline(t, line.data(), uint32_t(y), 0) != 1)
            Fail("Cannot write page " + std::to_string(written_ + 1));
    }
    Check(TIFFWriteDirectory(t), "Cannot finish page");
    ++written_;
}

void TiffWriter::finish()
{
    if (!tiff_)
        return;
    if (written_ != pageCount_)
        throw std::runtime_error("Only " + std::to_string(written_) + " of " + std::to_string(pageCount_) +
                                 " pages were written");
    TIFF* t = tiff_.release();
    // TIFFClose flushes what is still buffered and reports no failure of its
    // own, so check the flush first.
    const int flushed = TIFFFlush(t);
    TIFFClose(t);
    if (flushed != 1)
        Fail("Cannot write the image file");
}

int TiffPageCount(const QString& path)
{
    InstallHandlers();
    const std::unique_ptr<tiff, void (*)(tiff*)> file(TIFFOpen(QFile::encodeName(path).constData(), "r"),
                                                      [](tiff* handle) {
                                                          if (handle)
                                                              TIFFClose(handle);
                                                      });
    return file ? int(TIFFNumberOfDirectories(file.get())) : 0;
}

QList<QByteArray> TiffPagesAsPng(const QString& path)
{
    // A page larger than this is no picture anyone sent by mail, and would
    // only exhaust memory.
    constexpr quint64 kMostPixels = 150'000'000;
    InstallHandlers();
    const std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(TIFFOpen(QFile::encodeName(path).constData(), "r"),
                                                      [](TIFF* t) {
                                                          if (t)
                                                              TIFFClose(t);
                                                      });
    if (!tiff)
        Fail("The picture cannot be read as TIFF");
    QList<QByteArray> pages;
    TIFF* t = tiff.get();
    do {
        uint32_t width = 0;
        uint32_t height = 0;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height);
        if (width == 0 || height == 0 || quint64(width) * height > kMostPixels)
            Fail("Page " + std::to_string(pages.size() + 1) + " of the picture has no usable size");
        QImage image(int(width), int(height), QImage::Format_RGBA8888);
        // Each raster word is A B G R from the high byte down: R G B A in the
        // memory of a little-endian machine.
        static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "TIFF pictures are read as RGBA bytes");
        Check(TIFFReadRGBAImageOriented(t, width, height, reinterpret_cast<uint32_t*>(image.bits()),
                                        ORIENTATION_TOPLEFT, 0),
              "Cannot read a page of the picture");
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG"))
            Fail("Cannot convert a page of the picture");
        pages.append(png);
    } while (TIFFReadDirectory(t));
    lastTiffError.clear();
    lastTiffErrno = 0;
    return pages;
}
