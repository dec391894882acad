#pragma once

#include "mapimessage.h"

#include <QByteArray>
#include <QString>

#include <optional>

// TNEF (winmail.dat, application/ms-tnef), the form in which Outlook sends
// an item's rich body and attachments inside a MIME message, read with
// libytnef.

// True for the type or name a TNEF part goes by.
bool IsTnefPart(const QByteArray& mimeType, const QString& fileName);

// The item the TNEF bytes carry; nullopt with the reason set when they are
// no TNEF or are damaged.
std::optional<MapiMessage> ReadTnef(const QByteArray& bytes, QString* reason);
