#pragma once

#include "mapimessage.h"

#include <QByteArray>
#include <QList>

// The message as RFC 822 bytes: header lines from the fields (RFC 2047 words
// for text beyond ASCII), the HTML body in UTF-8 (else the HTML or text
// recovered from the RTF body, else the plain body), a calendar or contact
// item's fields listed above it, attachments as base64 parts and attached
// messages as message/rfc822 parts. Byte-identical for the same message on
// every run (boundaries derived from the content, no clock, no random), so
// productions hash and compare the same on every worker count.
QByteArray BuildMimeMessage(const MapiMessage& message);

// The pieces of the same message for a reader that puts them into a MIME
// message of its own (a winmail.dat part expanded in place): the body part
// (with the pictures it shows, as multipart/related), empty when the item has
// no body text; and each other attachment as a part.
QByteArray BuildMimeBodyPart(const MapiMessage& message);
QList<QByteArray> BuildMimeAttachmentParts(const MapiMessage& message);
