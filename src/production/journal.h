#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// What became of one input message of a production, recorded once it is
// finished: produced (its images, text and natives are in the volume),
// failed, or left out as the duplicate of a produced one.
struct JournalEntry {
    enum class Status { Produced, Failed, Duplicate };
    // The input message: its source and its number within it.
    QString key;
    Status status = Status::Failed;
    QString md5;
    QString reason;
    // The first number of the family that stands for a duplicate.
    QString duplicateOf;
    // Of a produced family: each document's load-file values, first number
    // and pages.
    struct Document {
        QStringList values;
        qint64 begin = 0;
        int pages = 0;
    };
    QList<Document> documents;

    qint64 endNumber() const;
    QJsonObject toJson() const;
    static JournalEntry fromJson(const QJsonObject& object);
};

// The record of a production that --resume continues from: a first line with
// the settings the numbers follow from, then one line per finished message in
// input order, each written whole and forced to the disk before the next, so
// a kill leaves every finished message and at most one torn line, which is
// dropped.
class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Opens `path`, reading what it holds. With `resume` false, or when the
    // file is missing, it starts empty with `settings` as its first line.
    // When it holds other settings, fails with the reason in *error.
    bool open(const QString& path, const QJsonObject& settings, bool resume, QString* error);
    const QList<JournalEntry>& entries() const { return m_entries; }
    // Throws std::runtime_error.
    void append(const JournalEntry& entry);

private:
    void write(const QByteArray& line);

    QString m_path;
    int m_fd = -1;
    QList<JournalEntry> m_entries;
};
