#pragma once

#include <QList>
#include <QString>

// Duplicate: a production left the message out, for it has produced the
// same bytes already.
enum class ReportStatus { Converted, Failed, Skipped, Duplicate };

// What became of one message of a run.
struct ReportRow {
    QString source;
    int message = 0; // 0: a message file; messages of an mbox or a PST folder count from 1
    QString output;
    int pages = 0;
    ReportStatus status = ReportStatus::Failed;
    QString reason;
    double seconds = 0;
    // Of a production: the family's numbers ("ABC-000000001 to
    // ABC-000000007"), and for a duplicate the first number of the family
    // that stands for it.
    QString bates = {};
    QString duplicateOf = {};
    // Of an item of a PST: its folder's path from the top of the store.
    QString folder = {};

    friend bool operator==(const ReportRow&, const ReportRow&) = default;
};

// The report of a run, one row per message as soon as it is done, so that a
// run that is stopped can be resumed from it. CSV with a header row, or JSON
// Lines when the file name ends in ".jsonl"; both with the keys source,
// message, output, pages, status, reason, seconds, for a production also
// bates and duplicate_of, and last folder. A CSV report written before there
// was a folder column is still read and appended to in its own columns.
class RunReport {
public:
    enum class Kind { Conversion, Production };
    explicit RunReport(Kind kind = Kind::Conversion);
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // Opens for appending; a new or empty CSV file gets the header row. A
    // row left torn by a killed run is closed off first, so it cannot run
    // into the rows that follow. False, and a reason for the user in *error,
    // when the file cannot be opened or is no report.
    bool open(const QString& path, QString* error);
    // After a failed open(): the file is there but no report, which is the
    // user's argument to correct, rather than a file that cannot be written.
    bool refusedAsNoReport() const { return refusedAsNoReport_; }
    bool isOpen() const;
    // One row, written with a single write() so that a run killed at any
    // moment leaves whole rows and at most one torn last line.
    bool write(const ReportRow& row, QString* error);

private:
    bool writeBytes(const QByteArray& bytes, QString* error);
    QByteArray sealFor(const QByteArray& tornRow) const;
    void close();

    QByteArrayList columns() const;

    Kind kind_;
    QString path_;
    bool jsonLines_ = false;
    bool refusedAsNoReport_ = false;
    // A CSV report of the columns before the folder column.
    bool withoutFolder_ = false;
    int fd_ = -1;
    // What closes off a row that reached the file only in part.
    QByteArray pendingSeal_;
};

// The rows of a report, in order. A torn last line and lines that are no
// row are left out; a missing file has no rows and is no error. An empty
// list and a reason in *error when the file cannot be read.
QList<ReportRow> ReadReport(const QString& path, QString* error);
