#pragma once

#include <QString>

// Lays a document out into pages and writes them as PDF: mail pages
// (.eml, .mht, .html) by the page engine, office documents by LibreOffice.
// Uses the office host named by the environment variable
// QUILLMARK_OFFICE_SOCKET when it is set and answers; otherwise starts a host
// of its own for the length of the call. Throws std::runtime_error with a
// one-line reason.
void LayOutAsPdf(const QString& documentPath, const QString& pdfPath);
