#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// The messages of an mbox (mail folders of desktop clients, mailbox exports),
// found and copied out one at a time so that a folder of many gigabytes is
// read in little memory.

// Where one message of an mbox lies: the bytes after its "From " separator
// line up to the next separator (or the end of the file). The line break
// before a separator is the writer's, not the message's, and so is a blank
// line that ends the file.
struct MboxEntry {
    qint64 begin = 0;
    qint64 end = 0;
};

// Where each message of the mbox at `path` lies, in file order. GMime finds
// the "From " lines; one starts a message only where a header follows it (a
// field name and a colon on the next line), as readers judge a "From " line
// that the writer did not escape. The first line of the file always starts
// one. An empty file is
// an empty folder: no messages. Throws std::runtime_error with a reason for
// the user when the file cannot be read or does not begin with a separator.
QList<MboxEntry> ScanMbox(const QString& path);

// Writes the message at `entry` to `destination` as the sender wrote it:
// without the separator line, and with one '>' taken off every line that
// matches ^>+From (the escape of mboxrd writers). Never writes through a
// symbolic link at `destination`, nor over the mbox itself; a failed copy
// leaves no file behind. Throws std::runtime_error.
void ExtractMboxMessage(const QString& mboxPath, const MboxEntry& entry, const QString& destination);

// True when the file begins with a separator line, "From <address> <date>",
// whatever its name: mail clients keep folders in files without extension.
bool LooksLikeMbox(const QString& path);
