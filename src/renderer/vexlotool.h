#pragma once

#include "tiffwriter.h"

#include <QString>
#include <QStringList>

#include <functional>

class QTextStream;

inline constexpr int kPageDpi = 200;

// Lays the document at the first path out as PDF at the second; throws
// std::runtime_error with a one-line reason.
using LayoutFunction = std::function<void(const QString& documentPath, const QString& pdfPath)>;

// Rasterises every page of a PDF into one TIFF written at `outputPath`,
// first page first. The file appears only complete: it is written under a
// hidden name in the same folder and renamed at the end. Throws
// std::runtime_error.
void ConvertPdfToTiff(const QString& pdfPath, const QString& outputPath, const TiffDocumentInfo& info);

// The whole tool: `arguments` are the command-line arguments without the
// program name. Prints the usage line to `out` and returns 0 with fewer than
// two; otherwise lays out the first, writes the TIFF at the second and returns
// 0, or prints one line with the reason to `err` and returns 1.
int RunVexlo(const QStringList& arguments, const LayoutFunction& layOut, QTextStream& out, QTextStream& err);
