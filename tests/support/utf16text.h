#pragma once

#include <QByteArray>
#include <QString>

// Two-byte text as an editor saves it: the byte order mark, then each
// character low byte first or high byte first.
inline QByteArray Utf16WithMark(const QString& text, bool lowByteFirst)
{
    QByteArray bytes(lowByteFirst ? "\xFF\xFE" : "\xFE\xFF");
    for (const QChar c : text) {
        const char low = char(c.unicode() & 0xFF);
        const char high = char(c.unicode() >> 8);
        bytes.append(lowByteFirst ? low : high).append(lowByteFirst ? high : low);
    }
    return bytes;
}
