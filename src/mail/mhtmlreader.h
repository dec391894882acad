#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// The element that holds a message page's header block. The page engine keeps
// it at its own size whatever the message's CSS zooms.
inline constexpr char kHeaderBlockTag[] = "quillmark-header";

// The page a mail reader shows for a message, held in memory: the page engine
// serves it and its parts from here, so nothing of the message is written to
// disk and the page can refer to nothing else.
struct MailPart {
    QByteArray mimeType; // as declared, lower case
    QByteArray data;     // transfer encoding undone
};

struct MailPage {
    QByteArray html; // UTF-8
    QList<MailPart> parts;
    // Content-ID without angle brackets, lower case -> index into parts.
    QHash<QString, qsizetype> byContentId;
    // Content-Location exactly as the part gives it -> index into parts.
    QHash<QString, qsizetype> byLocation;

    const MailPart* partWithContentId(const QString& id) const;
    const MailPart* partAtLocation(const QString& location) const;
};

// True for a file that is a MIME message or MHTML page rather than a document
// of another kind.
bool LooksLikeMhtml(const QString& path);

// Reads the page to show from a message or MHTML file: the part a reader
// shows, decoded to UTF-8 (plain text as wrapped monospace text), and every
// part that the page can name by Content-ID or Content-Location. Text without
// MIME structure is shown as text; a message with nothing to show gives an
// empty page. Throws std::runtime_error when the file cannot be read or holds
// binary data.
MailPage ReadMhtmlPage(const QString& mhtPath);

// An HTML file as a page of its own, without parts. Throws std::runtime_error.
MailPage ReadHtmlPage(const QString& htmlPath);

// Escaped text in a wrapping monospace block.
QString PlainTextToHtml(const QString& text);
