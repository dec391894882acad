#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// How pages become pixels: the choices an archive or a legal production asks
// for. The defaults are what the window has always written.

enum class ColourMode {
    // 8-bit grey for a page without colour, 8-bit RGB for one with it.
    Auto,
    // 8-bit RGB for every page.
    Colour,
    // 8-bit grey for every page.
    Grey,
    // 1 bit per pixel, CCITT Group 4: what records systems and productions take.
    Mono,
};

// "auto", "colour" (or "color"), "grey" (or "gray"), "mono"; no value for
// anything else.
std::optional<ColourMode> ParseColourMode(const QString& name);
QString ColourModeName(ColourMode mode);

enum class PageFiles {
    // One multi-page TIFF per document.
    Multi,
    // One TIFF per page: <name>_0001.tiff, <name>_0002.tiff, ...
    Single,
};

// Bates numbers: a prefix and a number with at least `digits` digits
// (ABC000001). Numbers grow past their digits rather than wrap.
struct BatesNumbering {
    QString prefix;
    qint64 first = 1;
    int digits = 6;

    QString number(qint64 value) const;
    // "ABC000001" -> prefix "ABC", first 1, 6 digits; without trailing digits
    // the numbers start at 1 with 6 digits. No value for an empty prefix or
    // one with characters that do not belong in a file name or a load file
    // (separators, commas, control characters).
    static std::optional<BatesNumbering> parse(const QString& text);
};

inline constexpr int kLeastDpi = 72;
inline constexpr int kMostDpi = 600;
inline constexpr int kDefaultDpi = 200;

struct RenderOptions {
    int dpi = kDefaultDpi;
    ColourMode colour = ColourMode::Auto;
    PageFiles pages = PageFiles::Multi;
    // The number of the first page when pages are stamped.
    std::optional<BatesNumbering> bates;
};

// The options that differ from the defaults, as vexlo and quillmark-convert
// both take them: --dpi, --colour and --pages. Bates numbering is left to
// each caller, which words it differently.
QStringList PageOptionArguments(const RenderOptions& options);

// The file of page `pageNumber` (from 1) when a document's pages are written
// one per file: "<folder>/<name>.tiff" -> "<folder>/<name>_0001.tiff".
QString PageFilePath(const QString& outputPath, int pageNumber);

// The page files an earlier run left for `outputPath`: _0001, _0002, ... as
// long as they follow on, from `fromPage`.
QStringList ExistingPageFiles(const QString& outputPath, int fromPage = 1);
