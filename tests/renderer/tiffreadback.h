#pragma once

#include <QFile>
#include <QList>
#include <QString>

#include <tiffio.h>

#include <memory>
#include <vector>

// Reads a TIFF back page by page with libtiff, the way a viewer would.
namespace tiffreadback {

struct Page {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t samples = 0;
    uint16_t bits = 0;
    uint16_t photometric = 0;
    uint16_t compression = 0;
    uint16_t predictor = 1;
    uint16_t resolutionUnit = 0;
    float xResolution = 0;
    float yResolution = 0;
    uint16_t pageNumber = 0;
    uint16_t pageTotal = 0;
    QString software;
    QString documentName;
    std::vector<uint8_t> pixels;

    // The first sample at (x, y): the grey level, or the red of RGB.
    int sample(int x, int y, int channel = 0) const
    {
        return pixels[(size_t(y) * width + size_t(x)) * samples + size_t(channel)];
    }

    // Whether (x, y) is dark: a black pixel of a 1-bit page, or a sample
    // below half-way.
    bool isInk(int x, int y) const
    {
        if (bits == 1) {
            const size_t rowBytes = (size_t(width) + 7) / 8;
            const bool set = (pixels[size_t(y) * rowBytes + size_t(x) / 8] >> (7 - x % 8)) & 1;
            return photometric == PHOTOMETRIC_MINISWHITE ? set : !set;
        }
        return sample(x, y) < 128;
    }

    // The share of dark pixels in a rectangle, 0 to 1.
    double inkShare(int left, int top, int w, int h) const
    {
        int ink = 0;
        for (int y = top; y < top + h; ++y)
            for (int x = left; x < left + w; ++x)
                ink += isInk(x, y) ? 1 : 0;
        return double(ink) / double(w * h);
    }
};

struct Closer {
    void operator()(TIFF* t) const { TIFFClose(t); }
};

inline QString TextTag(TIFF* t, uint32_t tag)
{
    char* value = nullptr;
    return TIFFGetField(t, tag, &value) == 1 ? QString::fromUtf8(value) : QString();
}

// Only the number of pages, for files too large to hold in memory; -1 when
// the file cannot be read.
inline int CountPages(const QString& path)
{
    std::unique_ptr<TIFF, Closer> tiff(TIFFOpen(QFile::encodeName(path).constData(), "r"));
    return tiff ? int(TIFFNumberOfDirectories(tiff.get())) : -1;
}

// An empty list when the file cannot be read.
inline QList<Page> Read(const QString& path)
{
    QList<Page> pages;
    std::unique_ptr<TIFF, Closer> tiff(TIFFOpen(QFile::encodeName(path).constData(), "r"));
    if (!tiff)
        return pages;
    TIFF* t = tiff.get();
    do {
        Page page;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &page.width);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &page.height);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &page.samples);
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &page.bits);
        TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &page.photometric);
        TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &page.compression);
        TIFFGetFieldDefaulted(t, TIFFTAG_PREDICTOR, &page.predictor);
        TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &page.resolutionUnit);
        TIFFGetField(t, TIFFTAG_XRESOLUTION, &page.xResolution);
        TIFFGetField(t, TIFFTAG_YRESOLUTION, &page.yResolution);
        TIFFGetField(t, TIFFTAG_PAGENUMBER, &page.pageNumber, &page.pageTotal);
        page.software = TextTag(t, TIFFTAG_SOFTWARE);
        page.documentName = TextTag(t, TIFFTAG_DOCUMENTNAME);
        const tmsize_t rowBytes = TIFFScanlineSize(t);
        page.pixels.resize(size_t(rowBytes) * page.height);
        for (uint32_t y = 0; y < page.height; ++y) {
            if (TIFFReadScanline(t, page.pixels.data() + size_t(rowBytes) * y, y, 0) != 1)
                return {};
        }
        pages.append(std::move(page));
    } while (TIFFReadDirectory(t));
    return pages;
}

} // namespace tiffreadback
