#pragma once

#include <QHash>
#include <QSize>
#include <QString>

// The page LibreOffice lays the HTML out on. Widths are CSS pixels (96 per inch).
struct PageGeometry {
    QString cssSize;     // the @page size, e.g. "21cm 29.7cm"
    QString cssMargin;   // the @page margin
    int textWidthPx = 0; // page width less both margins

    static PageGeometry a4();
    static PageGeometry letter();
    // Letter where the user's locale (LC_ALL, LC_PAPER, LANG) uses it, A4 elsewhere.
    static PageGeometry forLocale();
};

// True for a file that is a MIME message or MHTML page rather than a document
// LibreOffice reads by itself.
bool LooksLikeMhtml(const QString& path);

// Reads the page to show from an MHTML file into `folder`: the HTML as UTF-8 in
// page.html, its related parts beside it. Returns the HTML file's path. Nothing
// in the result refers to anything outside `folder`. Throws std::runtime_error.
QString ReadMhtmlPage(const QString& mhtPath, const QString& folder, const PageGeometry& page);

// The steps of the reader that work on text alone.

// Escaped text in a wrapping monospace block.
QString PlainTextToHtml(const QString& text);

// Keeps only what LibreOffice may load without touching the network or the
// rest of the disk: references found in `localNames` (cid:... and
// Content-Location values, mapped to file names in the page's folder) are
// rewritten, data: images stay, every other reference is removed, and scripts,
// frames, objects, external style sheets and event handlers are dropped. The
// declared charset becomes UTF-8.
QString IsolateHtml(const QString& html, const QHash<QString, QString>& localNames);

// Keeps tables at most two deep, the most LibreOffice writes to RTF and reads
// back intact: tables of a single column (frames, centring and stacking in
// mail layouts) become blocks, and tables still deeper become lines of text.
QString SimplifyTables(const QString& html);

// Scales tables and images wider than the text width down to it; `imageSizes`
// gives the natural size of local images by file name.
QString FitHtmlToWidth(const QString& html, int textWidthPx, const QHash<QString, QSize>& imageSizes);

// Adds the page size and margins to the document's style.
QString AddPageStyle(const QString& html, const PageGeometry& page);

// Decodes bytes of a text part: the declared charset, else a meta charset in
// the HTML, else UTF-8 when valid, else windows-1252.
QString DecodeText(const QByteArray& bytes, const QString& declaredCharset, bool isHtml);
