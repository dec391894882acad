#include "runreport.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <csv.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArrayList kColumns{"source", "message", "output", "pages", "status", "reason", "seconds"};
const QByteArrayList kProductionColumns{"bates", "duplicate_of"};
const QByteArray kFolderColumn{"folder"};
// The most fields any row of any layout has.
constexpr qsizetype kMostFields = 10;

bool IsJsonLinesName(const QString& path)
{
    return path.endsWith(QLatin1String(".jsonl"), Qt::CaseInsensitive);
}

QString SystemError(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

QLatin1String StatusName(ReportStatus status)
{
    switch (status) {
    case ReportStatus::Converted:
        return QLatin1String("converted");
    case ReportStatus::Skipped:
        return QLatin1String("skipped");
    case ReportStatus::Duplicate:
        return QLatin1String("duplicate");
    case ReportStatus::Failed:
        break;
    }
    return QLatin1String("failed");
}

std::optional<ReportStatus> StatusFromName(QStringView name)
{
    for (const ReportStatus status :
         {ReportStatus::Converted, ReportStatus::Failed, ReportStatus::Skipped, ReportStatus::Duplicate}) {
        if (name == StatusName(status))
            return status;
    }
    return std::nullopt;
}

// Both formats keep what a person reads: hundredths of a second.
double RoundedSeconds(double seconds)
{
    return std::round(seconds * 100) / 100;
}

// --- CSV ------------------------------------------------------------------

using CsvRecord = QByteArrayList;

struct CsvRecords {
    QList<CsvRecord> complete;
    // Where the bytes after the last complete record begin: a row still
    // being written, or torn by a kill.
    qsizetype completeEnd = 0;
};

// A libcsv parser that collects only the records ended by a line break.
class CsvReader {
public:
    CsvReader() { csv_init(&parser_, 0); }
    ~CsvReader() { csv_free(&parser_); }
    CsvReader(const CsvReader&) = delete;
    CsvReader& operator=(const CsvReader&) = delete;

    CsvRecords read(const QByteArray& bytes)
    {
        records_ = {};
        field_.clear();
        // Fed a line at a time, so the end of the last record that closed
        // is known to the byte.
        qsizetype start = 0;
        while (start < bytes.size()) {
            const qsizetype newline = bytes.indexOf('\n', start);
            const qsizetype end = newline < 0 ? bytes.size() : newline + 1;
            const qsizetype before = records_.complete.size();
            const size_t length = size_t(end - start);
            if (csv_parse(&parser_, bytes.constData() + start, length, onField, onRecordEnd, this) != length)
                break; // out of memory: what was read so far stands
            if (records_.complete.size() > before)
                records_.completeEnd = end;
            start = end;
        }
        csv_fini(&parser_, onField, onRecordEnd, this);
        return std::move(records_);
    }

private:
    static void onField(void* data, size_t length, void* self)
    {
        static_cast<CsvReader*>(self)->field_.append(QByteArray(static_cast<const char*>(data), length));
    }
    static void onRecordEnd(int terminator, void* self)
    {
        auto* reader = static_cast<CsvReader*>(self);
        // -1: the input ended inside the record, which is therefore torn.
        if (terminator != -1)
            reader->records_.complete.append(reader->field_);
        reader->field_.clear();
    }

    csv_parser parser_{};
    CsvRecords records_;
    CsvRecord field_;
};

QByteArray CsvQuoted(const QString& text)
{
    const QByteArray raw = text.toUtf8();
    QByteArray quoted(qsizetype(csv_write(nullptr, 0, raw.constData(), size_t(raw.size()))),
                      Qt::Uninitialized);
    csv_write(quoted.data(), size_t(quoted.size()), raw.constData(), size_t(raw.size()));
    return quoted;
}

QByteArray CsvLine(const ReportRow& row, bool production, bool withFolder)
{
    QByteArrayList fields{CsvQuoted(row.source),
                          row.message > 0 ? QByteArray::number(row.message) : QByteArray(),
                          CsvQuoted(row.output),
                          QByteArray::number(row.pages),
                          QByteArray(StatusName(row.status).data()),
                          CsvQuoted(row.reason),
                          QByteArray::number(RoundedSeconds(row.seconds), 'f', 2)};
    if (production)
        fields << CsvQuoted(row.bates) << CsvQuoted(row.duplicateOf);
    if (withFolder)
        fields << CsvQuoted(row.folder);
    return fields.join(',') + '\n';
}

std::optional<ReportRow> RowFromCsv(const CsvRecord& fields)
{
    const qsizetype plain = kColumns.size();
    const qsizetype production = plain + kProductionColumns.size();
    if (fields.size() != plain && fields.size() != plain + 1 && fields.size() != production &&
        fields.size() != production + 1)
        return std::nullopt;
    ReportRow row;
    bool ok = true;
    row.source = QString::fromUtf8(fields[0]);
    if (row.source.isEmpty())
        return std::nullopt;
    if (!fields[1].isEmpty()) {
        row.message = fields[1].toInt(&ok);
        if (!ok || row.message < 1)
            return std::nullopt;
    }
    row.output = QString::fromUtf8(fields[2]);
    row.pages = fields[3].toInt(&ok);
    if (!ok || row.pages < 0)
        return std::nullopt;
    const auto status = StatusFromName(QString::fromUtf8(fields[4]));
    if (!status)
        return std::nullopt;
    row.status = *status;
    row.reason = QString::fromUtf8(fields[5]);
    row.seconds = fields[6].toDouble(&ok);
    if (!ok || !std::isfinite(row.seconds))
        return std::nullopt;
    if (fields.size() >= production) {
        row.bates = QString::fromUtf8(fields[7]);
        row.duplicateOf = QString::fromUtf8(fields[8]);
    }
    if (fields.size() == plain + 1 || fields.size() == production + 1)
        row.folder = QString::fromUtf8(fields.last());
    return row;
}

// What to append after the bytes of a torn row so that it ends, and ends as
// a record that is no row: every text field is written quoted, so an odd
// number of quotes means the cut fell inside one. The empty fields added
// last leave the record with more fields than any layout of a row has.
QByteArray CsvSeal(const QByteArray& tornRow)
{
    if (tornRow.count('\r') + tornRow.count('\n') == tornRow.size())
        return {}; // only blank lines: nothing was cut
    QByteArray seal;
    if (tornRow.count('"') % 2 != 0)
        seal += '"';
    for (qsizetype i = 0; i < kMostFields; ++i)
        seal += ",\"\"";
    return seal + '\n';
}

// --- JSON Lines -------------------------------------------------------------

QByteArray JsonLine(const ReportRow& row, bool production)
{
    QJsonObject object{
        {QLatin1String("source"), row.source},
        {QLatin1String("message"), row.message > 0 ? QJsonValue(row.message) : QJsonValue(QJsonValue::Null)},
        {QLatin1String("output"), row.output},
        {QLatin1String("pages"), row.pages},
        {QLatin1String("status"), StatusName(row.status)},
        {QLatin1String("reason"), row.reason},
        {QLatin1String("seconds"), RoundedSeconds(row.seconds)},
    };
    if (production) {
        object.insert(QLatin1String("bates"), row.bates);
        object.insert(QLatin1String("duplicate_of"), row.duplicateOf);
    }
    object.insert(QLatin1String("folder"), row.folder);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<int> WholeNumber(const QJsonValue& value, int least)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < least || number > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(number);
}

std::optional<ReportRow> RowFromJson(const QByteArray& line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue source = object.value(QLatin1String("source"));
    const QJsonValue message = object.value(QLatin1String("message"));
    const QJsonValue output = object.value(QLatin1String("output"));
    const std::optional<int> pages = WholeNumber(object.value(QLatin1String("pages")), 0);
    const QJsonValue status = object.value(QLatin1String("status"));
    const QJsonValue reason = object.value(QLatin1String("reason"));
    const QJsonValue seconds = object.value(QLatin1String("seconds"));
    const std::optional<int> messageNumber = message.isNull() ? 0 : WholeNumber(message, 1);
    const auto statusValue = StatusFromName(status.toString());
    if (!source.isString() || source.toString().isEmpty() || !messageNumber || !output.isString() || !pages ||
        !statusValue || !reason.isString() || !seconds.isDouble())
        return std::nullopt;
    ReportRow row;
    row.source = source.toString();
    row.message = *messageNumber;
    row.output = output.toString();
    row.pages = *pages;
    row.status = *statusValue;
    row.reason = reason.toString();
    row.seconds = seconds.toDouble();
    row.bates = object.value(QLatin1String("bates")).toString();
    row.duplicateOf = object.value(QLatin1String("duplicate_of")).toString();
    row.folder = object.value(QLatin1String("folder")).toString();
    return row;
}

QList<ReportRow> RowsFromJsonLines(const QByteArray& bytes)
{
    QList<ReportRow> rows;
    // A last line without its line break is kept when it is a whole object:
    // a cut can only have taken the break, not part of the row.
    for (QByteArray line : bytes.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        if (auto row = RowFromJson(line))
            rows.append(std::move(*row));
    }
    return rows;
}

QList<ReportRow> RowsFromCsv(const QByteArray& bytes)
{
    QList<ReportRow> rows;
    // The header, and any record that is no row, drops out here.
    for (const CsvRecord& record : CsvReader().read(bytes).complete) {
        if (auto row = RowFromCsv(record))
            rows.append(std::move(*row));
    }
    return rows;
}

} // namespace

RunReport::RunReport(Kind kind) : kind_(kind) {}

QByteArrayList RunReport::columns() const
{
    QByteArrayList all = kind_ == Kind::Production ? kColumns + kProductionColumns : kColumns;
    if (!withoutFolder_)
        all.append(kFolderColumn);
    return all;
}

RunReport::~RunReport()
{
    close();
}

void RunReport::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    pendingSeal_.clear();
}

bool RunReport::isOpen() const
{
    return fd_ >= 0;
}

bool RunReport::open(const QString& path, QString* error)
{
    close();
    path_ = path;
    jsonLines_ = IsJsonLinesName(path);
    refusedAsNoReport_ = false;
    withoutFolder_ = false;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error =
            QStringLiteral("Cannot open the report %1: %2. Check that its folder exists and that you may "
                           "write there, or name another file.")
                .arg(path, SystemError(errno));
        return false;
    }
    fd_ = fd;

    // Only a regular file is read back; a pipe or a terminal is written to.
    QByteArray existing;
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        QFile file;
        if (!file.open(fd_, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
            *error = QStringLiteral("Cannot read the report %1: %2. Check that you may read it, or name "
                                    "another file.")
                         .arg(path, file.errorString());
            close();
            return false;
        }
        existing = file.readAll();
    }

    QByteArray start;
    if (jsonLines_) {
        start = sealFor(existing.mid(existing.lastIndexOf('\n') + 1));
    } else if (existing.isEmpty()) {
        start = columns().join(',') + '\n';
    } else {
        const CsvRecords records = CsvReader().read(existing);
        if (!records.complete.isEmpty() && records.complete.first() != columns()) {
            withoutFolder_ = true;
            if (records.complete.first() != columns())
                withoutFolder_ = false;
        }
        if (records.complete.isEmpty() || records.complete.first() != columns()) {
            *error =
                QStringLiteral("%1 is no report of quillmark-convert: its first line is not \"%2\". Name "
                               "a new file, or the report of an earlier run to resume it.")
                    .arg(path, QString::fromLatin1(columns().join(',')));
            refusedAsNoReport_ = true;
            close();
            return false;
        }
        start = sealFor(existing.mid(records.completeEnd));
    }
    if (!start.isEmpty() && !writeBytes(start, error)) {
        close();
        return false;
    }
    return true;
}

QByteArray RunReport::sealFor(const QByteArray& tornRow) const
{
    if (!jsonLines_)
        return CsvSeal(tornRow);
    // A JSON line holds no line break of its own, so ending the line is
    // enough: the torn object no longer parses.
    return tornRow.isEmpty() ? QByteArray() : QByteArray("\n");
}

bool RunReport::write(const ReportRow& row, QString* error)
{
    if (fd_ < 0) {
        *error = QStringLiteral("The report %1 is not open.").arg(path_);
        return false;
    }
    const bool production = kind_ == Kind::Production;
    if (withoutFolder_ && !row.folder.isEmpty()) {
        *error =
            QStringLiteral("%1 has no folder column, which the messages of a PST need; name a new report "
                           "file")
                .arg(path_);
        return false;
    }
    return writeBytes(jsonLines_ ? JsonLine(row, production) : CsvLine(row, production, !withoutFolder_),
                      error);
}

bool RunReport::writeBytes(const QByteArray& bytes, QString* error)
{
    // Straight to the kernel, with no buffer of our own: what write() took
    // survives the process being killed. No fsync: a sync per message would
    // guard against a power cut, which a resumed run survives anyway by
    // converting again the messages whose rows were lost.
    const QByteArray all = pendingSeal_ + bytes;
    ssize_t written = 0;
    do {
        written = ::write(fd_, all.constData(), size_t(all.size()));
    } while (written < 0 && errno == EINTR);
    if (written == all.size()) {
        pendingSeal_.clear();
        return true;
    }
    if (written < 0) {
        *error = QStringLiteral("Cannot write to the report %1: %2. Make room on its disk, or name another "
                                "report file.")
                     .arg(path_, SystemError(errno));
        return false;
    }
    // What arrived is a torn row (or a torn seal of an earlier one); the next
    // write closes it off first.
    if (written < pendingSeal_.size())
        pendingSeal_ = pendingSeal_.mid(written);
    else
        pendingSeal_ = sealFor(bytes.left(written - pendingSeal_.size()));
    *error =
        QStringLiteral("Only part of a row reached the report %1; its disk may be full. Make room on it, "
                       "or name another report file.")
            .arg(path_);
    return false;
}

QList<ReportRow> ReadReport(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read the report %1: %2. Check that you may read it, or name another "
                                "file.")
                     .arg(path, file.errorString());
        return {};
    }
    const QByteArray bytes = file.readAll();
    return IsJsonLinesName(path) ? RowsFromJsonLines(bytes) : RowsFromCsv(bytes);
}
