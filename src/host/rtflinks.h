#pragma once

#include <QByteArray>

// LibreOffice's RTF reader reads the file an INCLUDEPICTURE field names
// itself, whatever the profile says about linked content, so an attachment
// could put any picture of this machine on its pages. These helpers take such
// fields out before LibreOffice sees the document.

// Whether the bytes begin like an RTF document.
bool LooksLikeRtf(const QByteArray& head);

// The RTF with the instruction of every field that could pull in a file
// (INCLUDEPICTURE, INCLUDETEXT, IMPORT, LINK, DDE, and HYPERLINK, which shows
// nothing on an image) emptied, so that the field shows the result the sender
// saved. `emptied` (when given) is the number of fields emptied; with none,
// the bytes come back unchanged.
QByteArray DefuseRtfLinks(const QByteArray& rtf, int* emptied = nullptr);
