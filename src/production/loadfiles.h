#pragma once

#include "productiondocument.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The metadata load file's fields, in the order of its header row.
const QStringList& ProductionFields();

// What a load-file row says about a document besides its layout.
struct RowContext {
    QString custodian;
    // The input file and, inside a mail folder, where the message lies in it.
    QString sourcePath;
    // Relative to the volume, '/' separators; empty when there is none.
    QString textLink;
    QString nativeLink;
};

// One document's values, in the order of ProductionFields().
QStringList DocumentValues(const LaidOutDocument& document, const NumberedDocument& numbers,
                           const BatesNumbering& numbering, const RowContext& context);

// A Concordance row: each value between þ (U+00FE), the values separated by
// U+0014, UTF-8, ended by CR LF. A line break inside a value becomes ®
// (U+00AE), the sign review platforms read back as one, and a U+0014 inside a
// value a space, so every row has as many fields as the header.
QByteArray ConcordanceRow(const QStringList& values);
// The same values as a CSV record (libcsv's quoting), ended by CR LF; line
// breaks inside values stay, quoted, as spreadsheets read them.
QByteArray CsvRow(const QStringList& values);
// The Opticon lines of one document: a line per page, "Y" and the page count
// on its first.
QByteArray OpticonLines(const VolumeLayout& layout, qint64 begin, int pages);

// The three load files of a volume (DATA/<volume>.opt, .dat and .csv), each
// written as rows come, in production order.
class LoadFiles {
public:
    explicit LoadFiles(const VolumeLayout& layout);
    ~LoadFiles();
    LoadFiles(const LoadFiles&) = delete;
    LoadFiles& operator=(const LoadFiles&) = delete;

    // Starts the files afresh with their header rows. Throws std::runtime_error.
    void start();
    // Appends one document. Throws std::runtime_error.
    void add(const QStringList& values, qint64 begin, int pages);
    // Forces what was written to the disk. Throws std::runtime_error.
    void sync();

private:
    struct File;
    void append(File& file, const QByteArray& bytes);

    const VolumeLayout& m_layout;
    std::unique_ptr<File> m_opt;
    std::unique_ptr<File> m_dat;
    std::unique_ptr<File> m_csv;
};
