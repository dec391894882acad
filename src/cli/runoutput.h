#pragma once

#include "batchrun.h"
#include "runreport.h"

#include <QString>
#include <QStringList>

class QTextStream;

// The report of a run as the runs keep it: opened when one was asked for, a
// row written as each message is done. A report that cannot be written is
// said once on standard error, with what that costs the user, and no row is
// tried after it; the run's exit status then tells that something failed.
class KeptReport {
public:
    // `cost`: what no longer holds once the report is broken ("--resume
    // cannot rely on it"), or empty.
    KeptReport(RunReport::Kind kind, QString path, QTextStream& err, QString cost = {});

    // True when no report was asked for or it opened; otherwise says why.
    bool open();
    void write(const ReportRow& row);
    bool broken() const { return m_broken; }
    // A file that is there but no report of this program (refused rather
    // than overwritten): a bad argument, not a failure to write.
    bool refusedAsNoReport() const { return m_report.refusedAsNoReport(); }

private:
    RunReport m_report;
    QString m_path;
    QTextStream& m_err;
    QString m_cost;
    bool m_broken = false;
};

// What the console shows of a message that is done: "[i/n] name -> what
// was written" (only when the run prints a line per message) or "[i/n]
// name: failed: why" (always), after wiping the line a terminal's progress
// stands on.
struct FinishedMessage {
    int number = 0; // from 1
    int total = 0;
    QString name;
    bool failed = false;
    QString text; // what was written, or why it failed
};
void PrintFinished(QTextStream& out, Progress progress, const FinishedMessage& message);

// Ends the summary line a run closes with: a full stop, or how many failed
// and their names, one on each line below it.
void EndSummary(QTextStream& out, const QStringList& failed);

// The progress line a terminal shows below the messages, redrawn in place.
void PrintProgress(QTextStream& out, Progress progress, int done, int total, double elapsedSeconds);
