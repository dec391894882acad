#pragma once

#include "commandline.h"

#include <QList>
#include <QString>
#include <QStringList>

enum class InputKind { File, Mbox, Pst, Emlx, Maildir };

// One message of a run: a message file, one message of an mbox, one item of
// an Outlook data file (PST, OST), an Apple Mail message (.emlx), or a
// message file in a Maildir's cur/ or new/.
struct InputMessage {
    InputKind kind = InputKind::File;
    // The message file, the mbox or the PST, as an absolute path.
    QString source;
    // 1, 2, ... within an mbox or within the PST's folder; 0 for a message
    // file.
    int number = 0;
    // Where the message lies in the mbox.
    qint64 begin = 0;
    qint64 end = 0;
    // The PST folder's path from the top of the store ("Top/Inbox"), and the
    // item's identifier there.
    QString folder;
    quint32 pstItem = 0;
    // The digits of the numbers in output names: five, or more for a larger
    // mbox or folder.
    int numberWidth = 5;
    // The source's path below the argument it was found under; the same on
    // every machine that sees the archive, whatever it is mounted as.
    QString shardKey;
    // Decided before any work starts, so every worker count gives the same
    // names.
    QString outputPath;

    // The path shown to the user: the file, "mbox (message 12)" or
    // "store.pst (Top/Inbox, message 3)".
    QString displayName() const;
    // The name the message goes by in its work files (no '/').
    QString baseName() const;
    // The TIFF's path below the output folder, without ".tiff": the
    // baseName, or for a PST item "<store>/<folder path>/00003".
    QString outputStem() const;
    // Where its TIFF goes without --out: beside the message, the mbox or
    // the PST; for a Maildir's message in the Maildir's own folder, for a
    // TIFF in cur/ or new/ would be taken for a message by mail readers.
    QString besideFolder() const;
    // Whether the message must be taken out of its container (mbox, PST,
    // EMLX) into a file of its own before it is converted.
    bool isInContainer() const
    {
        return kind == InputKind::Mbox || kind == InputKind::Pst || kind == InputKind::Emlx;
    }
};

struct CollectedInput {
    QList<InputMessage> messages;
    // Folders and mbox files that cannot be read, each with its reason.
    QStringList problems;
};

struct InputOptions {
    // In folders, files that start like an mbox are mboxes.
    bool mboxScan = false;
    // In folders, Maildirs (cur/, new/, tmp/) stand for their messages.
    bool maildirScan = false;
    // The program whose --list-pst lists a PST in a process of its own, so
    // that a store that crashes the library costs only that store; empty:
    // listed in this process.
    QString pstLister;
};

// The messages named by the paths, in the order given: a folder stands for
// every *.eml, *.msg and *.emlx file (any letter case) of its whole tree, its PST
// and OST files, with `mboxScan` its mbox files (*.mbox, or content that
// starts like one) and with `maildirScan` the messages in cur/ and new/ of
// its Maildirs; a folder that is itself a Maildir is read as one; a file
// that is an mbox or a PST stands for its messages;
// anything else is taken as a message, so a missing file fails when its turn
// comes rather than vanishing.
CollectedInput CollectInput(const QStringList& paths, const InputOptions& options);
inline CollectedInput CollectInput(const QStringList& paths, bool mboxScan)
{
    return CollectInput(paths, InputOptions{mboxScan, false, {}});
}

// Writes a message of an mbox or an EMLX file as a message file at
// `destination`, in this process; an item of a PST is taken out by the
// worker that converts it. Throws std::runtime_error with a reason that
// names where the message could not be taken from.
void TakeOutMessage(const InputMessage& message, const QString& destination);

// Gives every message its TIFF path, in input order: in `outputFolder`, or
// beside the source when it is empty, with " (2)", " (3)" ... for a name the
// run has given before.
void AssignOutputPaths(QList<InputMessage>& messages, const QString& outputFolder);

// Whether the message belongs to the part `shard` of the input: a stable
// hash of its key, PST folder and number, so copies on other machines agree without
// talking to each other.
bool InShard(const InputMessage& message, const Shard& shard);
