#pragma once

#include "mapimessage.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Outlook's own message files (.msg, an OLE compound file holding one item
// as MAPI property streams), read with libolecf.

// True when the file's name ends in .msg (any letter case): folder scans and
// the command line take such a file as one message.
bool IsOutlookMessageFile(const QString& path);

// True when the file starts with a compound file's signature: it is read as
// an Outlook message or fails with the reason it cannot be.
bool StartsLikeOutlookMessage(const QString& path);

// True when the file is a compound file holding an Outlook item, whatever
// its name (an attachment saved as "attachment 2").
bool HoldsOutlookMessage(const QString& path);

// The item in the file; nullopt with the reason set when the file is no
// Outlook message or is damaged.
std::optional<MapiMessage> ReadOutlookMessage(const QString& path, QString* reason);

// The item as RFC 822 bytes (BuildMimeMessage), converted as an .eml is.
std::optional<QByteArray> ReadOutlookMessageFile(const QString& path, QString* reason);
