#pragma once

#include <QString>

// Lays a document out into pages and writes them as PDF. Uses the office host
// named by the environment variable QUILLMARK_OFFICE_SOCKET when it is set and
// answers; otherwise loads LibreOffice into this process (once per process).
// Throws std::runtime_error with a one-line reason.
void LayOutAsPdf(const QString& documentPath, const QString& pdfPath);
