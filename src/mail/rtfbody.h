#pragma once

#include <QByteArray>
#include <QString>

// RTF message bodies (PR_RTF_COMPRESSED, a TNEF attBody's RTF) as a reader
// shows them. Outlook keeps an HTML body inside RTF (\fromhtml), and a plain
// one too (\fromtext); both come back out as they went in. Other RTF is read
// for its text: paragraphs, tabs and characters, without its formatting.

// The RTF inside a compressed-RTF property (LZFu, or MELA stored as is);
// empty when the bytes are no compressed RTF or do not decompress.
QByteArray DecompressRtf(const QByteArray& compressed);

struct RtfBody {
    enum class Kind { None, Html, Text };
    Kind kind = Kind::None;
    QString text;
};

// The body the RTF carries: the HTML of \fromhtml RTF, else its text.
// None for bytes that are no RTF.
RtfBody ReadRtfBody(const QByteArray& rtf);
