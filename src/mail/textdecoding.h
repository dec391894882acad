#pragma once

#include <QByteArrayView>
#include <QString>

// How the bytes of message text become characters, in one place: the page
// the office host lays out, and the header block and text pages the
// conversion writes, read the same bytes as the same text.

enum class TextKind { Plain, Html };

// A byte order mark decides first (UTF-8, UTF-16 in either byte order). Then
// ISO-2022 designations in the text (ESC $ B ...), unless a charset other
// than ASCII or UTF-8 is declared. Then the declared charset, under any name
// mail gives it; for HTML a meta charset among its first 16 KiB; then UTF-8
// when the bytes are valid UTF-8. Text that none of these reads whole, and
// that declares no charset it nearly fits, is in the charset uchardet finds
// when that is a multibyte one or, on enough evidence, a one-byte charset of
// a script other than Latin. Bytes that a declared charset cannot hold are
// left out when no reading fits them all, unless the declaration is ASCII or
// UTF-8, which such bytes prove wrong. Whatever is left is windows-1252,
// which takes any byte.
QString DecodeText(QByteArrayView bytes, QByteArrayView declaredCharset = {},
                   TextKind kind = TextKind::Plain);

// True when the bytes start with a UTF-16 byte order mark, in either order.
bool StartsWithUtf16Mark(QByteArrayView bytes);
