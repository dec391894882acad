#pragma once

#include "familylayout.h"
#include "imagingoptions.h"

#include <QString>
#include <QStringList>

#include <optional>

inline constexpr int kExitAllConverted = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitBadArguments = 2;
// As a shell reports a program ended by Ctrl-C.
inline constexpr int kExitInterrupted = 130;

inline constexpr int kDefaultMaxPages = 2000;
inline constexpr int kMostMaxPages = 100000;

// One of N disjoint parts of the input; `index` counts from 0, as a
// Kubernetes Indexed Job's completion index does.
struct Shard {
    int index = 0;
    int count = 1;
};

// A production volume: images named by their Bates numbers, text per
// document, natives and load files, in one folder.
struct ProductionOptions {
    QString folder;
    QString volume = QStringLiteral("VOL001");
    QString custodian;
    NativeKinds natives;
    bool dedupe = true;
    bool ocr = false;
};

struct CommandLine {
    QString outputFolder; // empty: beside each message
    QStringList paths;
    bool help = false;
    bool version = false;
    int pageTimeLimitSeconds = 60;
    // A message that lays out as more pages fails before it is rasterised.
    int maxPages = kDefaultMaxPages;
    int jobs = 1;
    bool mboxScan = false;
    bool maildirScan = false;
    QString reportPath; // empty: no report
    bool resume = false;
    Shard shard;
    bool quiet = false;
    // Resolution, colour, page files, header lines, attachments and Bates
    // numbers; the defaults write what the window writes.
    ImagingOptions imaging;
    std::optional<ProductionOptions> production;
    // Only check the production in this folder.
    QString verifyFolder;
    // Internal: this process is one of a run's workers, fed over its
    // standard input.
    bool worker = false;
    // Internal: list the PST at paths[0] (--list-pst), or write its item
    // with this identifier to paths[1] (--extract-pst), in a process of its
    // own.
    bool listPst = false;
    std::optional<quint32> extractPst;
};

// The arguments without the program name. No value, and a reason in *error,
// when they make no sense. `defaultJobs` is what --jobs is when not given.
std::optional<CommandLine> ParseCommandLine(const QStringList& arguments, QString* error,
                                            int defaultJobs = 1);

QString UsageText();

// The imaging options as arguments of the command line, for the workers of
// a run; the Bates number of each message comes with its task.
QStringList ImagingArguments(const ImagingOptions& imaging);
QString VersionText();
