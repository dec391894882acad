#include "bitonal.h"

#include <algorithm>
#include <vector>

namespace {

// Mid-tones: what anti-aliasing leaves only along edges, and pictures are
// full of.
constexpr int kMidToneLow = 48;
constexpr int kMidToneHigh = 208;
constexpr int kPictureSharePercent = 40;
// Type in a colour of middle lightness is mid-tones too, but stands on white
// paper between its letters; a picture or tint leaves little paper.
constexpr int kPaperSharePercent = 20;

constexpr uchar kBayer8[8][8] = {{0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                                 {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                                 {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                                 {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};

uchar Luma(const uchar* rgb)
{
    return uchar((299 * rgb[0] + 587 * rgb[1] + 114 * rgb[2] + 500) / 1000);
}

} // namespace

BitonalPage ToBitonal(const PageImage& page, int dpi)
{
    BitonalPage result;
    result.width = page.width;
    result.height = page.height;
    result.bytesPerRow = (page.width + 7) / 8;
    result.bits = QByteArray(qsizetype(result.bytesPerRow) * page.height, '\0');
    if (page.width <= 0 || page.height <= 0)
        return result;

    const int tile = std::max(8, dpi / 16);
    const int tilesAcross = (page.width + tile - 1) / tile;
    std::vector<uchar> grey(size_t(page.width) * size_t(tile));
    std::vector<int> midTones(static_cast<size_t>(tilesAcross));
    std::vector<int> paper(static_cast<size_t>(tilesAcross));
    std::vector<bool> candidate(static_cast<size_t>(tilesAcross));
    std::vector<bool> picture(static_cast<size_t>(tilesAcross));
    auto* bits = reinterpret_cast<uchar*>(result.bits.data());

    for (int bandTop = 0; bandTop < page.height; bandTop += tile) {
        const int bandRows = std::min(tile, page.height - bandTop);
        std::fill(midTones.begin(), midTones.end(), 0);
        std::fill(paper.begin(), paper.end(), 0);
        for (int r = 0; r < bandRows; ++r) {
            const uchar* source = page.row(bandTop + r);
            uchar* line = grey.data() + size_t(r) * size_t(page.width);
            for (int x = 0; x < page.width; ++x) {
                line[x] = Luma(source + size_t(x) * 3);
                if (line[x] >= kMidToneLow && line[x] < kMidToneHigh)
                    ++midTones[size_t(x / tile)];
                else if (line[x] >= kMidToneHigh)
                    ++paper[size_t(x / tile)];
            }
        }
        for (int t = 0; t < tilesAcross; ++t) {
            const int tileWidth = std::min(tile, page.width - t * tile);
            const int pixels = tileWidth * bandRows;
            candidate[size_t(t)] = midTones[size_t(t)] * 100 >= kPictureSharePercent * pixels &&
                                   paper[size_t(t)] * 100 < kPaperSharePercent * pixels;
        }
        // A lone tile is the inside of a bold letter, not a picture.
        for (int t = 0; t < tilesAcross; ++t)
            picture[size_t(t)] = candidate[size_t(t)] && ((t > 0 && candidate[size_t(t - 1)]) ||
                                                          (t + 1 < tilesAcross && candidate[size_t(t + 1)]));
        for (int r = 0; r < bandRows; ++r) {
            const int y = bandTop + r;
            const uchar* line = grey.data() + size_t(r) * size_t(page.width);
            uchar* out = bits + qsizetype(y) * result.bytesPerRow;
            for (int x = 0; x < page.width; ++x) {
                const int threshold =
                    picture[size_t(x / tile)] ? kBayer8[y % 8][x % 8] * 4 + 2 : kTextThreshold;
                if (line[x] < threshold)
                    out[x / 8] |= uchar(0x80 >> (x % 8));
            }
        }
    }
    return result;
}
