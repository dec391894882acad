#pragma once

#include "commandline.h"

#include <QString>

#include <chrono>

class QTextStream;

// The one line a terminal shows while a run goes on: done/total, percent,
// messages per second and the time left.
QString ProgressLine(int done, int total, double elapsedSeconds);

// How a run tells the user where it is.
enum class Progress {
    Lines,   // one "[i/n]" line per message, for a pipe or a file
    InPlace, // one line that updates in place, failures above it
    Quiet,   // failures and the summary only
};
Progress ChooseProgress(bool quiet, bool terminal);

// Ctrl-C and SIGTERM are noted rather than obeyed while a run is on, so it
// can stop its workers and keep its records whole; the signal seen, or 0.
void WatchStopSignals(bool on);
int StopSignalSeen();

// How long a worker may take over one message before it is stopped: the
// page engine's limit for the message's page, vexlo's limit for the most
// pages a message may have, and room for a slow start.
std::chrono::milliseconds TaskLimit(const CommandLine& line);

// A whole run of quillmark-convert: collects the input, decides the output
// names, leaves out other shards' messages and those an earlier run
// converted (--resume), converts the rest with `line.jobs` workers, writes
// the report row by row and prints the summary. Returns the exit status.
// `workerProgram` is the program started with --worker for each worker.
int RunBatch(const CommandLine& line, const QString& workerProgram, QTextStream& out, QTextStream& err,
             Progress progress);
