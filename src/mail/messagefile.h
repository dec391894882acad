#pragma once

#include <QByteArray>
#include <QString>

// Writes `bytes` as the file `destination` (mode 0600), never through a
// symbolic link there; a failed write leaves no file behind. Throws
// std::runtime_error with a reason for the user.
void WriteMessageFile(const QString& destination, const QByteArray& bytes);
