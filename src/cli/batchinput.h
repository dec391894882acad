#pragma once

#include "commandline.h"

#include <QList>
#include <QString>
#include <QStringList>

// One message of a run: a message file, or one message of an mbox.
struct InputMessage {
    // The message file or the mbox, as an absolute path.
    QString source;
    // 1, 2, ... within an mbox; 0 for a message file.
    int mboxNumber = 0;
    // Where the message lies in the mbox.
    qint64 begin = 0;
    qint64 end = 0;
    // The digits of the mbox's numbers in output names: five, or more for a
    // larger mbox.
    int numberWidth = 5;
    // The source's path below the argument it was found under; the same on
    // every machine that sees the archive, whatever it is mounted as.
    QString shardKey;
    // Decided before any work starts, so every worker count gives the same
    // names.
    QString outputPath;

    // The path shown to the user: the file, or "mbox (message 12)".
    QString displayName() const;
    // The name the message goes by in its output name and work files.
    QString baseName() const;
};

struct CollectedInput {
    QList<InputMessage> messages;
    // Folders and mbox files that cannot be read, each with its reason.
    QStringList problems;
};

// The messages named by the paths, in the order given: a folder stands for
// every *.eml file (any letter case) of its whole tree and, with `mboxScan`,
// its mbox files (*.mbox, or content that starts like one); a file that is
// an mbox stands for its messages; anything else is taken as a message, so a
// missing file fails when its turn comes rather than vanishing.
CollectedInput CollectInput(const QStringList& paths, bool mboxScan);

// Gives every message its TIFF path, in input order: in `outputFolder`, or
// beside the source when it is empty, with " (2)", " (3)" ... for a name the
// run has given before.
void AssignOutputPaths(QList<InputMessage>& messages, const QString& outputFolder);

// Whether the message belongs to the part `shard` of the input: a stable
// hash of its key and mbox number, so copies on other machines agree without
// talking to each other.
bool InShard(const InputMessage& message, const Shard& shard);
