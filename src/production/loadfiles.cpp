#include "loadfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csv.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

constexpr char16_t kQuote = u'\u00FE';
constexpr char16_t kSeparator = u'\u0014';
constexpr char16_t kNewline = u'\u00AE';

[[noreturn]] void Fail(const QString& what, const QString& path)
{
    throw std::runtime_error(QStringLiteral("the load file %1 could not be written: %2; check that the "
                                            "volume's folder is writable and has free space")
                                 .arg(path, what)
                                 .toStdString());
}

QString ConcordanceValue(const QString& value)
{
    QString cleaned = value;
    cleaned.replace(QLatin1String("\r\n"), QString(QChar(kNewline)));
    cleaned.replace(QLatin1Char('\r'), QChar(kNewline));
    cleaned.replace(QLatin1Char('\n'), QChar(kNewline));
    cleaned.replace(QChar(kSeparator), QLatin1Char(' '));
    return cleaned;
}

QByteArray CsvField(const QString& value)
{
    const QByteArray raw = value.toUtf8();
    QByteArray quoted(qsizetype(csv_write(nullptr, 0, raw.constData(), size_t(raw.size()))),
                      Qt::Uninitialized);
    csv_write(quoted.data(), size_t(quoted.size()), raw.constData(), size_t(raw.size()));
    return quoted;
}

} // namespace

const QStringList& ProductionFields()
{
    static const QStringList fields{
        QStringLiteral("BEGBATES"),  QStringLiteral("ENDBATES"),    QStringLiteral("BEGATTACH"),
        QStringLiteral("ENDATTACH"), QStringLiteral("PARENTBATES"), QStringLiteral("ATTACHCOUNT"),
        QStringLiteral("PAGECOUNT"), QStringLiteral("DOCTYPE"),     QStringLiteral("CUSTODIAN"),
        QStringLiteral("FROM"),      QStringLiteral("TO"),          QStringLiteral("CC"),
        QStringLiteral("BCC"),       QStringLiteral("SUBJECT"),     QStringLiteral("DATESENT"),
        QStringLiteral("TIMESENT"),  QStringLiteral("MESSAGEID"),   QStringLiteral("INREPLYTO"),
        QStringLiteral("FILENAME"),  QStringLiteral("FILEEXT"),     QStringLiteral("FILESIZE"),
        QStringLiteral("MD5HASH"),   QStringLiteral("SHA1HASH"),    QStringLiteral("SOURCEPATH"),
        QStringLiteral("TEXTLINK"),  QStringLiteral("NATIVELINK")};
    return fields;
}

QStringList DocumentValues(const LaidOutDocument& document, const NumberedDocument& numbers,
                           const BatesNumbering& numbering, const RowContext& context)
{
    const bool email = document.type == LaidOutDocument::Type::Email;
    return {numbering.number(numbers.begin),
            numbering.number(numbers.end),
            numbering.number(numbers.familyBegin),
            numbering.number(numbers.familyEnd),
            email ? QString() : numbering.number(numbers.parentBegin),
            QString::number(numbers.attachCount),
            QString::number(numbers.end - numbers.begin + 1),
            email ? QStringLiteral("email") : QStringLiteral("attachment"),
            context.custodian,
            document.from,
            document.to,
            document.cc,
            document.bcc,
            document.subject,
            document.dateSent,
            document.timeSent,
            document.messageId,
            document.inReplyTo,
            document.fileName,
            document.extension(),
            QString::number(document.fileSize),
            document.md5,
            document.sha1,
            context.sourcePath,
            VolumeLayout::loadFilePath(context.textLink),
            VolumeLayout::loadFilePath(context.nativeLink)};
}

QByteArray ConcordanceRow(const QStringList& values)
{
    QString row;
    for (qsizetype i = 0; i < values.size(); ++i) {
        if (i > 0)
            row += QChar(kSeparator);
        row += QChar(kQuote) + ConcordanceValue(values[i]) + QChar(kQuote);
    }
    return row.toUtf8() + "\r\n";
}

QByteArray CsvRow(const QStringList& values)
{
    QByteArrayList fields;
    for (const QString& value : values)
        fields.append(CsvField(value));
    return fields.join(',') + "\r\n";
}

QByteArray OpticonLines(const VolumeLayout& layout, qint64 begin, int pages)
{
    QByteArray lines;
    for (int page = 0; page < pages; ++page) {
        const qint64 number = begin + page;
        const bool first = page == 0;
        lines += QStringLiteral("%1,%2,%3,%4,,,%5\r\n")
                     .arg(layout.numbering().number(number), layout.volume(),
                          VolumeLayout::loadFilePath(layout.imagePath(number)),
                          first ? QStringLiteral("Y") : QString(), first ? QString::number(pages) : QString())
                     .toUtf8();
    }
    return lines;
}

struct LoadFiles::File {
    QString path;
    int fd = -1;
    ~File()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

LoadFiles::LoadFiles(const VolumeLayout& layout) : m_layout(layout) {}

LoadFiles::~LoadFiles() = default;

void LoadFiles::start()
{
    const auto open = [this](const QString& relative) {
        auto file = std::make_unique<File>();
        file->path = m_layout.absolute(relative);
        if (!QDir().mkpath(QFileInfo(file->path).absolutePath()))
            Fail(QStringLiteral("its folder cannot be made"), file->path);
        file->fd = ::open(QFile::encodeName(file->path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (file->fd < 0)
            Fail(QString::fromLocal8Bit(std::strerror(errno)), file->path);
        return file;
    };
    m_opt = open(m_layout.optPath());
    m_dat = open(m_layout.datPath());
    m_csv = open(m_layout.csvPath());
    append(*m_dat, ConcordanceRow(ProductionFields()));
    append(*m_csv, CsvRow(ProductionFields()));
}

void LoadFiles::add(const QStringList& values, qint64 begin, int pages)
{
    append(*m_opt, OpticonLines(m_layout, begin, pages));
    append(*m_dat, ConcordanceRow(values));
    append(*m_csv, CsvRow(values));
}

void LoadFiles::sync()
{
    for (File* file : {m_opt.get(), m_dat.get(), m_csv.get()})
        if (file && ::fdatasync(file->fd) != 0)
            Fail(QString::fromLocal8Bit(std::strerror(errno)), file->path);
}

void LoadFiles::append(File& file, const QByteArray& bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(file.fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            Fail(QString::fromLocal8Bit(std::strerror(errno)), file.path);
        written += count;
    }
}
