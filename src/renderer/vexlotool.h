#pragma once

#include "renderoptions.h"
#include "tiffwriter.h"

#include <QString>
#include <QStringList>

#include <functional>

class QTextStream;

inline constexpr int kPageDpi = kDefaultDpi;

// Lays the document at the first path out as PDF at the second; throws
// std::runtime_error with a one-line reason.
using LayoutFunction = std::function<void(const QString& documentPath, const QString& pdfPath)>;

// Rasterises every page of a PDF into one TIFF written at `outputPath`,
// first page first. The file appears only complete: it is written under a
// hidden name in the same folder and renamed at the end. Throws
// std::runtime_error.
void ConvertPdfToTiff(const QString& pdfPath, const QString& outputPath, const TiffDocumentInfo& info);

// The pages of several PDFs, in order, as one sequence of pages: one TIFF at
// `outputPath`, or with PageFiles::Single one file per page
// (PageFilePath(outputPath, n)), each page stamped with its Bates number
// when numbering is asked for. Single pages all appear or none do: they are
// written into a hidden folder beside the output and moved into place at the
// end, and page files an earlier run left beyond the last page are removed.
// Returns the number of pages. Throws std::runtime_error.
int ConvertPdfsToTiff(const QStringList& pdfPaths, const QString& outputPath, const TiffDocumentInfo& info,
                      const RenderOptions& options);

// True when the arguments ask for Bates numbers, which need fonts (and so a
// QGuiApplication) to be stamped.
bool WantsBatesNumbers(const QStringList& arguments);

// The whole tool: `arguments` are the command-line arguments without the
// program name. The original form `<msg_file> <output_file>` lays out the
// first and writes the TIFF at the second (further arguments are ignored);
// with --output every other argument is a document and their pages follow
// one another. Options (--dpi, --colour, --pages, --bates...) go anywhere.
// Prints the usage line to `out` and returns 0 with nothing to do; returns
// 0 on success, or prints one line with the reason to `err` and returns 1.
int RunVexlo(const QStringList& arguments, const LayoutFunction& layOut, QTextStream& out, QTextStream& err);
