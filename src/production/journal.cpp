#include "journal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

QString StatusName(JournalEntry::Status status)
{
    switch (status) {
    case JournalEntry::Status::Produced:
        return QStringLiteral("produced");
    case JournalEntry::Status::Duplicate:
        return QStringLiteral("duplicate");
    case JournalEntry::Status::Failed:
        break;
    }
    return QStringLiteral("failed");
}

QString SystemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

qint64 JournalEntry::endNumber() const
{
    if (documents.isEmpty())
        return 0;
    return documents.last().begin + documents.last().pages - 1;
}

QJsonObject JournalEntry::toJson() const
{
    QJsonArray array;
    for (const Document& document : documents)
        array.append(QJsonObject{{QStringLiteral("values"), QJsonArray::fromStringList(document.values)},
                                 {QStringLiteral("begin"), double(document.begin)},
                                 {QStringLiteral("pages"), document.pages}});
    return {{QStringLiteral("key"), key},
            {QStringLiteral("status"), StatusName(status)},
            {QStringLiteral("md5"), md5},
            {QStringLiteral("reason"), reason},
            {QStringLiteral("duplicateOf"), duplicateOf},
            {QStringLiteral("documents"), array}};
}

JournalEntry JournalEntry::fromJson(const QJsonObject& object)
{
    JournalEntry entry;
    entry.key = object.value(QLatin1String("key")).toString();
    const QString status = object.value(QLatin1String("status")).toString();
    for (const Status candidate : {Status::Produced, Status::Failed, Status::Duplicate})
        if (status == StatusName(candidate))
            entry.status = candidate;
    entry.md5 = object.value(QLatin1String("md5")).toString();
    entry.reason = object.value(QLatin1String("reason")).toString();
    entry.duplicateOf = object.value(QLatin1String("duplicateOf")).toString();
    for (const QJsonValue value : object.value(QLatin1String("documents")).toArray()) {
        const QJsonObject document = value.toObject();
        Document read;
        for (const QJsonValue field : document.value(QLatin1String("values")).toArray())
            read.values.append(field.toString());
        read.begin = qint64(document.value(QLatin1String("begin")).toDouble());
        read.pages = document.value(QLatin1String("pages")).toInt();
        entry.documents.append(read);
    }
    return entry;
}

Journal::~Journal()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Journal::open(const QString& path, const QJsonObject& settings, bool resume, QString* error)
{
    m_path = path;
    m_entries.clear();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("the folder of %1 cannot be made").arg(path);
        return false;
    }
    QByteArray kept;
    if (resume) {
        QFile file(path);
        if (file.exists() && !file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
            return false;
        }
        const QByteArray bytes = file.readAll();
        qsizetype start = 0;
        bool first = true;
        qsizetype newline;
        while ((newline = bytes.indexOf('\n', start)) >= 0) {
            const QJsonObject object = QJsonDocument::fromJson(bytes.mid(start, newline - start)).object();
            if (object.isEmpty())
                break;
            if (first) {
                if (object != settings) {
                    *error =
                        QStringLiteral("the production in %1 was begun with other numbers or another "
                                       "volume (%2); give the same --bates and --volume, or start "
                                       "anew in an empty folder")
                            .arg(QFileInfo(path).absolutePath(),
                                 QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
                    return false;
                }
                first = false;
            } else {
                m_entries.append(JournalEntry::fromJson(object));
            }
            start = newline + 1;
        }
        // A torn last line, left by a kill in the middle of a write, goes.
        kept = bytes.left(start);
    }
    m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                  0644);
    if (m_fd < 0) {
        *error = QStringLiteral("%1 cannot be written: %2").arg(path, SystemReason());
        return false;
    }
    try {
        write(kept.isEmpty() ? QJsonDocument(settings).toJson(QJsonDocument::Compact) + '\n' : kept);
    } catch (const std::exception& failure) {
        *error = QString::fromUtf8(failure.what());
        return false;
    }
    return true;
}

void Journal::append(const JournalEntry& entry)
{
    write(QJsonDocument(entry.toJson()).toJson(QJsonDocument::Compact) + '\n');
    m_entries.append(entry);
}

void Journal::write(const QByteArray& line)
{
    qsizetype written = 0;
    while (written < line.size()) {
        const ssize_t count = ::write(m_fd, line.constData() + written, size_t(line.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            throw std::runtime_error(QStringLiteral("the record %1 cannot be written: %2")
                                         .arg(m_path, SystemReason())
                                         .toStdString());
        written += count;
    }
    if (::fdatasync(m_fd) != 0)
        throw std::runtime_error(
            QStringLiteral("the record %1 cannot be written: %2").arg(m_path, SystemReason()).toStdString());
}
