#include "verify.h"

#include "renderoptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QSet>

#include <tiffio.h>

#include <optional>
#include <vector>

namespace {

constexpr char16_t kQuote = u'\u00FE';
const QString kSeparator = QStringLiteral("\u00FE\u0014\u00FE");
// Enough problems to act on; a volume wrong everywhere would bury the first.
constexpr qsizetype kMostProblems = 200;

struct Number {
    QString prefix;
    qint64 value = 0;
};

std::optional<Number> ParseNumber(const QString& text)
{
    const std::optional<BatesNumbering> parsed = BatesNumbering::parse(text);
    if (!parsed || parsed->prefix.size() == text.size())
        return std::nullopt;
    return Number{parsed->prefix, parsed->first};
}

QStringList Lines(const QString& path, QString* problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
        return {};
    }
    QString text = QString::fromUtf8(file.readAll());
    if (!text.isEmpty() && !text.endsWith(QLatin1String("\r\n")))
        *problem = QStringLiteral("%1 does not end with CR LF: its last line may be cut off").arg(path);
    QStringList lines = text.split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

std::optional<QStringList> ConcordanceFields(const QString& line)
{
    if (line.size() < 2 || line.front() != QChar(kQuote) || line.back() != QChar(kQuote))
        return std::nullopt;
    return line.mid(1, line.size() - 2).split(kSeparator);
}

// Whether libtiff reads every strip of every page.
QString TiffProblem(const QString& path)
{
    TIFFErrorHandler errors = TIFFSetErrorHandler(nullptr);
    TIFFErrorHandler warnings = TIFFSetWarningHandler(nullptr);
    QString problem;
    TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff) {
        problem = QStringLiteral("libtiff cannot open it");
    } else {
        std::vector<unsigned char> buffer(size_t(TIFFStripSize(tiff)));
        do {
            buffer.resize(size_t(TIFFStripSize(tiff)));
            for (tstrip_t strip = 0; strip < TIFFNumberOfStrips(tiff) && problem.isEmpty(); ++strip)
                if (TIFFReadEncodedStrip(tiff, strip, buffer.data(), tmsize_t(buffer.size())) < 0)
                    problem = QStringLiteral("libtiff cannot read its strip %1").arg(strip);
        } while (problem.isEmpty() && TIFFReadDirectory(tiff));
        TIFFClose(tiff);
    }
    TIFFSetErrorHandler(errors);
    TIFFSetWarningHandler(warnings);
    return problem;
}

class Verifier {
public:
    explicit Verifier(QString root) : m_root(std::move(root)) {}

    VerifyResult run()
    {
        const QDir data(m_root + QStringLiteral("/DATA"));
        const QStringList opts = data.entryList({QStringLiteral("*.opt")}, QDir::Files, QDir::Name);
        const QStringList dats = data.entryList({QStringLiteral("*.dat")}, QDir::Files, QDir::Name);
        if (opts.isEmpty())
            add(QStringLiteral("DATA holds no .opt image load file"));
        if (dats.isEmpty())
            add(QStringLiteral("DATA holds no .dat metadata load file"));
        for (const QString& opt : opts)
            readOpt(data.filePath(opt));
        for (const QString& dat : dats)
            readDat(data.filePath(dat));
        checkNumbers();
        return m_result;
    }

private:
    void add(const QString& problem)
    {
        if (m_result.problems.size() < kMostProblems)
            m_result.problems.append(problem);
        else if (m_result.problems.size() == kMostProblems)
            m_result.problems.append(QStringLiteral("... and more"));
    }

    bool exists(const QString& link) const
    {
        QString relative = link;
        relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
        return !relative.startsWith(QLatin1Char('/')) && !relative.split(QLatin1Char('/')).contains(u"..") &&
               QFileInfo(m_root + QLatin1Char('/') + relative).isFile();
    }

    void readOpt(const QString& path)
    {
        QString problem;
        const QStringList lines = Lines(path, &problem);
        if (!problem.isEmpty())
            add(problem);
        const QString name = QFileInfo(path).fileName();
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QStringList fields = lines[i].split(QLatin1Char(','));
            const QString where = QStringLiteral("%1 line %2").arg(name).arg(i + 1);
            if (fields.size() != 7) {
                add(QStringLiteral("%1 has %2 fields, not 7").arg(where).arg(fields.size()));
                continue;
            }
            const std::optional<Number> number = ParseNumber(fields[0]);
            if (!number) {
                add(QStringLiteral("%1: %2 is no Bates number").arg(where, fields[0]));
                continue;
            }
            if (!m_prefix)
                m_prefix = number->prefix;
            else if (*m_prefix != number->prefix)
                add(QStringLiteral("%1: %2 has another prefix than %3").arg(where, fields[0], *m_prefix));
            m_pages.push_back(number->value);
            ++m_result.pages;
            if (fields[3] == QLatin1String("Y"))
                m_starts.insert(number->value, fields[6].toInt());
            else if (m_starts.isEmpty())
                add(QStringLiteral("%1: the first page is not marked as a document's first").arg(where));
            if (!exists(fields[2]))
                add(QStringLiteral("%1: the image %2 is missing").arg(where, fields[2]));
            else if (const QString tiff = TiffProblem(m_root + QLatin1Char('/') +
                                                      QString(fields[2]).replace(QLatin1Char('\\'), u'/'));
                     !tiff.isEmpty())
                add(QStringLiteral("%1: the image %2 is damaged: %3").arg(where, fields[2], tiff));
        }
    }

    void readDat(const QString& path)
    {
        QString problem;
        const QStringList lines = Lines(path, &problem);
        if (!problem.isEmpty())
            add(problem);
        const QString name = QFileInfo(path).fileName();
        if (lines.isEmpty()) {
            add(QStringLiteral("%1 has no header row").arg(name));
            return;
        }
        const std::optional<QStringList> header = ConcordanceFields(lines.first());
        if (!header) {
            add(QStringLiteral("%1: the header row is not quoted with þ").arg(name));
            return;
        }
        QHash<QString, qsizetype> column;
        for (qsizetype i = 0; i < header->size(); ++i)
            column.insert(header->at(i), i);
        for (const char* wanted : {"BEGBATES", "ENDBATES", "BEGATTACH", "ENDATTACH", "PARENTBATES",
                                   "PAGECOUNT", "TEXTLINK", "NATIVELINK"})
            if (!column.contains(QLatin1String(wanted))) {
                add(QStringLiteral("%1: the header has no %2 field").arg(name, QLatin1String(wanted)));
                return;
            }
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QString where = QStringLiteral("%1 row %2").arg(name).arg(i);
            const std::optional<QStringList> fields = ConcordanceFields(lines[i]);
            if (!fields) {
                add(QStringLiteral("%1 is not quoted with þ").arg(where));
                continue;
            }
            if (fields->size() != header->size()) {
                add(QStringLiteral("%1 has %2 fields, the header %3")
                        .arg(where)
                        .arg(fields->size())
                        .arg(header->size()));
                continue;
            }
            const auto value = [&](const char* field) {
                return fields->at(column.value(QLatin1String(field)));
            };
            Row row;
            row.where = where;
            const auto begin = ParseNumber(value("BEGBATES"));
            const auto end = ParseNumber(value("ENDBATES"));
            const auto familyBegin = ParseNumber(value("BEGATTACH"));
            const auto familyEnd = ParseNumber(value("ENDATTACH"));
            if (!begin || !end || !familyBegin || !familyEnd) {
                add(QStringLiteral("%1: a Bates field holds no number").arg(where));
                continue;
            }
            row.begin = begin->value;
            row.end = end->value;
            row.familyBegin = familyBegin->value;
            row.familyEnd = familyEnd->value;
            row.pages = value("PAGECOUNT").toInt();
            if (const auto parent = ParseNumber(value("PARENTBATES")))
                row.parent = parent->value;
            for (const char* link : {"TEXTLINK", "NATIVELINK"})
                if (!value(link).isEmpty() && !exists(value(link)))
                    add(QStringLiteral("%1: the %2 %3 is missing")
                            .arg(where, QLatin1String(link), value(link)));
            m_rows.append(row);
            ++m_result.documents;
        }
    }

    void checkNumbers()
    {
        QSet<qint64> seen;
        for (size_t i = 0; i < m_pages.size(); ++i) {
            if (seen.contains(m_pages[i]))
                add(QStringLiteral("the number %1 is used twice").arg(m_pages[i]));
            else if (i > 0 && m_pages[i] != m_pages[i - 1] + 1)
                add(QStringLiteral("the numbers jump from %1 to %2").arg(m_pages[i - 1]).arg(m_pages[i]));
            seen.insert(m_pages[i]);
        }
        QSet<qint64> listed;
        QHash<qint64, qint64> familyOfBegin;
        for (qsizetype i = 0; i < m_rows.size(); ++i) {
            const Row& row = m_rows[i];
            listed.insert(row.begin);
            const auto start = m_starts.constFind(row.begin);
            if (start == m_starts.constEnd())
                add(QStringLiteral("%1: the .opt marks no document at %2").arg(row.where).arg(row.begin));
            else if (*start != row.pages)
                add(QStringLiteral("%1 says %2 pages, the .opt %3")
                        .arg(row.where)
                        .arg(row.pages)
                        .arg(*start));
            if (row.end - row.begin + 1 != row.pages)
                add(QStringLiteral("%1: its range does not hold its %2 pages").arg(row.where).arg(row.pages));
            if (row.begin < row.familyBegin || row.end > row.familyEnd)
                add(QStringLiteral("%1 lies outside its family's range").arg(row.where));
            const bool firstOfFamily = i == 0 || m_rows[i - 1].familyBegin != row.familyBegin;
            if (firstOfFamily && row.begin != row.familyBegin)
                add(QStringLiteral("%1 starts a family, but not at its range's first number").arg(row.where));
            if (!firstOfFamily && m_rows[i - 1].end + 1 != row.begin)
                add(QStringLiteral("%1 does not follow the document before it in its family").arg(row.where));
            const bool lastOfFamily = i + 1 == m_rows.size() || m_rows[i + 1].familyBegin != row.familyBegin;
            if (lastOfFamily && row.end != row.familyEnd)
                add(QStringLiteral("%1 ends a family, but not at its range's last number").arg(row.where));
            if (firstOfFamily && row.parent)
                add(QStringLiteral("%1 starts a family but has a parent").arg(row.where));
            if (!firstOfFamily && (!row.parent || familyOfBegin.value(*row.parent, -1) != row.familyBegin))
                add(QStringLiteral("%1: its parent is not a document of its family").arg(row.where));
            familyOfBegin.insert(row.begin, row.familyBegin);
        }
        for (auto start = m_starts.constBegin(); start != m_starts.constEnd(); ++start)
            if (!listed.contains(start.key()))
                add(QStringLiteral("the .opt starts a document at %1 that no row of the .dat lists")
                        .arg(start.key()));
    }

    struct Row {
        QString where;
        qint64 begin = 0;
        qint64 end = 0;
        qint64 familyBegin = 0;
        qint64 familyEnd = 0;
        std::optional<qint64> parent;
        int pages = 0;
    };

    QString m_root;
    VerifyResult m_result;
    std::optional<QString> m_prefix;
    std::vector<qint64> m_pages;
    // The first page of each document the .opt marks, with its page count.
    QMap<qint64, int> m_starts;
    QList<Row> m_rows;
};

} // namespace

VerifyResult VerifyProduction(const QString& root)
{
    if (!QFileInfo(root).isDir())
        return {{QStringLiteral("%1 is not a folder").arg(root)}, 0, 0};
    return Verifier(QDir(root).absolutePath()).run();
}
