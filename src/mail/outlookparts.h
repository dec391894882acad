#pragma once

#include <QString>

// Outlook's own forms inside a MIME message, made into what every reader of
// MIME understands before the page and the attachments are read from it: a
// winmail.dat (TNEF) part becomes its attachments, and its body when the
// message has none better (no body, or only plain text where the TNEF body
// is HTML); an attached .msg file becomes an attached message
// (message/rfc822). Attached messages are expanded the same way.
//
// The message file (a work copy) is rewritten in place when it holds such a
// part and left as it is otherwise. Returns the problems met, one line each
// (a damaged winmail.dat stays an attachment, so nothing is lost), empty when
// there were none. Work files go into `workFolder` and are removed.
QStringList ExpandOutlookParts(const QString& messagePath, const QString& workFolder);
