#pragma once

#include "imagingoptions.h"

#include <QString>
#include <QStringList>

#include <optional>

class MessageConverter;
class QTextStream;

inline constexpr int kExitAllConverted = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitBadArguments = 2;

struct CommandLine {
    QString outputFolder; // empty: beside each message
    QStringList paths;
    bool help = false;
    int pageTimeLimitSeconds = 60;
    // Resolution, colour, page files, header lines, attachments, Bates
    // numbers; the defaults write what the window writes.
    ImagingOptions imaging;
};

// The arguments without the program name. No value, and a reason in *error,
// when they make no sense.
std::optional<CommandLine> ParseCommandLine(const QStringList& arguments, QString* error);

QString UsageText();

// The messages named by the paths, as absolute paths, in the order given:
// a folder stands for every *.eml file (any letter case) in its whole tree;
// anything else is taken as a message, so a missing file fails when its turn
// comes rather than vanishing. Folders that cannot be read are named in
// *unreadable.
QStringList CollectMessages(const QStringList& paths, QStringList* unreadable);

// Converts the messages, printing one line per message to `out` and the
// reasons of failures to `err`; returns the exit status. With Bates numbers
// the messages are numbered in the order given and the Opticon load file
// <outputFolder>/<PREFIX>.opt lists the pages of those that converted.
int ConvertMessages(const QStringList& messages, const QString& outputFolder, MessageConverter& converter,
                    QTextStream& out, QTextStream& err);
