#pragma once

#include "pageimage.h"

#include <QByteArray>

// A page at one bit per pixel, rows packed most significant bit first and
// padded to whole bytes; a set bit is black, as TIFF's "min is white" and
// CCITT Group 4 expect.
struct BitonalPage {
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
    QByteArray bits;

    bool isBlack(int x, int y) const
    {
        return (uchar(bits.at(qsizetype(y) * bytesPerRow + x / 8)) >> (7 - x % 8)) & 1;
    }
};

// The grey level below which a pixel of text turns black. Above half-way,
// so that the anti-aliased edges of small type keep their strokes.
inline constexpr int kTextThreshold = 160;

// Turns a page into black and white so that text stays sharp and pictures
// stay recognisable. The page is judged in square tiles of about 1/16 inch.
// A tile where at least 40% of the pixels are mid-tones (neither near white
// nor near black) and less than 20% are white paper belongs to a picture, a
// tint or a gradient, provided its left or right neighbour does too (a lone
// one is the inside of a bold letter); it is dithered with an 8 x 8 ordered
// (Bayer) matrix, which keeps each level of grey as a share of black dots.
// Every other tile (text, rules, white paper) is cut at kTextThreshold, so a
// glyph's anti-aliased edge becomes a clean edge instead of a fringe of dots,
// and the paper between letters keeps type in a colour of middle lightness
// (brown headings, blue links) cut sharp too. Ordered dither rather than
// error diffusion: no error bleeds from a picture into the text beside it.
BitonalPage ToBitonal(const PageImage& page, int dpi);
