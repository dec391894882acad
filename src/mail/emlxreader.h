#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Apple Mail's message files: `N.emlx` holds a line with the message's byte
// count, the message, then a property list of Mail's own. A
// `N.partial.emlx` leaves the bodies of large parts out (their headers carry
// X-Apple-Content-Length) and keeps them as files in
// `../Attachments/N/<part>/<name>`, where <part> is the part's IMAP number
// ("2", "2.4").

// True for a name ending in .emlx (".partial.emlx" included), any letter case.
bool IsEmlxName(const QString& path);

// The message as RFC 822 bytes, the bodies of a partial message put back
// from its Attachments folder; a body that is not there becomes a short
// text part that says which attachment is missing, and a line in *notices.
// Throws std::runtime_error with a reason for the user when the file is no
// emlx (no byte count line) or cannot be read.
QByteArray ReadEmlxMessage(const QString& path, QStringList* notices);

// ReadEmlxMessage written to `destination` (never through a symbolic link
// there). Throws std::runtime_error.
void ExtractEmlxMessage(const QString& path, const QString& destination, QStringList* notices);
