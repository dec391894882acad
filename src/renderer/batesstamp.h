#pragma once

#include "pageimage.h"

#include <QString>

// Stamps `text` (a Bates number) into the bottom right corner of the page:
// black 10 pt sans-serif type on a white patch, inside the paper's margin,
// so that it stays readable over whatever the page shows there and survives
// the cut to black and white. Needs a QGuiApplication (fonts).
void StampBatesNumber(PageImage& page, const QString& text, int dpi);
