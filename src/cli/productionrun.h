#pragma once

#include "batchrun.h"
#include "commandline.h"

#include <QString>

class QTextStream;

// A whole production (--production DIR): collects the input, lays its
// messages out with `line.jobs` workers, numbers the families in input order,
// images them with every worker, writes the volume's load files as messages
// finish in input order, and checks the volume at the end. Returns the exit
// status.
int RunProduction(const CommandLine& line, const QString& workerProgram, QTextStream& out, QTextStream& err,
                  Progress progress);

// --verify DIR: prints what is wrong with the production in `folder`.
// Returns 0 when nothing is, 1 otherwise.
int RunVerify(const QString& folder, QTextStream& out, QTextStream& err);
