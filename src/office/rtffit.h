#pragma once

#include <QByteArray>

// Narrows the tables of an RTF document that reach past the right margin.
// LibreOffice sizes HTML tables by their content, so a cell holding a long
// unbreakable word (an address, a cipher name) can push a table off the
// page; in RTF every cell boundary is explicit, and scaling all of them by one
// factor keeps nested tables inside their cells. The text then wraps within
// the narrower cells. Returns the document unchanged when everything fits.
QByteArray FitRtfTablesToWidth(const QByteArray& rtf);
