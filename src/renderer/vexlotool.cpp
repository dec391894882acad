#include "vexlotool.h"

#include "batesstamp.h"
#include "partialfiles.h"
#include "paths.h"
#include "pdfpages.h"
#include "terminationcleanup.h"
#include "tiffwriter.h"
#include "workfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextStream>

#include <csignal>
#include <memory>
#include <optional>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

const char kUsage[] = "Usage: VEXLO.exe <msg_file> <output_file>";
const char kHelp[] = "Usage: vexlo [OPTIONS] [--] DOCUMENT OUTPUT\n"
                     "       vexlo [OPTIONS] --output OUTPUT [--] DOCUMENT...\n"
                     "\n"
                     "Rasterises the pages of documents into TIFF images. A PDF is rasterised as\n"
                     "it is; any other document (mail, HTML, office documents) is laid out by the\n"
                     "office host first. With --output, the pages of every DOCUMENT follow one\n"
                     "another in the order given.\n"
                     "\n"
                     "  --dpi N               resolution, 72 to 600 (default 200)\n"
                     "  --colour MODE         auto (grey unless the page has colour; the default),\n"
                     "                        colour, grey, or mono (1 bit, CCITT Group 4: text\n"
                     "                        cut sharp, pictures dithered)\n"
                     "  --pages single|multi  one TIFF per page, OUTPUT's name with _0001, _0002,\n"
                     "                        ...; or one multi-page TIFF (the default)\n"
                     "  --bates PREFIX        stamp PREFIX and a number in the bottom right corner\n"
                     "                        of every page\n"
                     "  --bates-start N       the first page's number (default 1)\n"
                     "  --bates-digits D      at least D digits, leading zeros (default 6)\n"
                     "  --help                show this text\n"
                     "  --                    what follows is a path, even when it starts with --\n";
const char kSoftware[] = "vexlo 1.0 (Quillmark Converter Software)";
// PageNumber holds 16-bit values.
constexpr int kMostPages = 65535;

[[noreturn]] void Fail(const QString& reason)
{
    throw std::runtime_error(reason.toStdString());
}

QString SystemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool IsNamed(const QFileInfo& info, const char* suffix)
{
    return info.suffix().compare(QLatin1String(suffix), Qt::CaseInsensitive) == 0;
}

void CheckInput(const QString& path)
{
    const QFileInfo info(path);
    if (path.isEmpty())
        Fail(QStringLiteral("No document was named."));
    if (!info.exists())
        Fail(QStringLiteral("The document %1 does not exist.").arg(path));
    if (info.isDir())
        Fail(QStringLiteral("The document %1 is a folder, not a file.").arg(path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        Fail(QStringLiteral("The document %1 cannot be read: %2.").arg(path, file.errorString()));
    if (file.size() == 0)
        Fail(QStringLiteral("The document %1 is empty.").arg(path));
    // The office engine would read a damaged RTF file as plain text and
    // render its bytes as if they were the message; a damaged PDF is better
    // named as such than reported as a parser's complaint.
    const QByteArray head = file.read(4096).trimmed();
    if (IsNamed(info, "rtf") && !head.startsWith("{\\rtf"))
        Fail(QStringLiteral("The document %1 is not an RTF document.").arg(path));
    if (IsNamed(info, "pdf") && !head.startsWith("%PDF-"))
        Fail(QStringLiteral("The document %1 is not a PDF document.").arg(path));
}

void CheckOutput(const QString& path)
{
    if (path.isEmpty())
        Fail(QStringLiteral("No output file was named."));
    const QFileInfo info(path);
    if (info.isDir())
        Fail(QStringLiteral("The output path %1 is a folder.").arg(path));
    const QFileInfo folder(info.absolutePath());
    if (!folder.isDir())
        Fail(QStringLiteral("The output folder %1 does not exist.").arg(folder.filePath()));
    // Known before the slow layout; the file's creation still has the last word.
    if (::access(QFile::encodeName(folder.filePath()).constData(), W_OK | X_OK) != 0)
        Fail(QStringLiteral("Cannot write in the output folder %1: %2.")
                 .arg(folder.filePath(), SystemReason()));
}

// Newlines from a library's message would break the one-line report.
QString OneLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.simplified();
}

mode_t CreationMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Another run's clean-up may take a partial file for abandoned in the moment
// between its making and its lock; a new one is then made.
constexpr int kLockAttempts = 5;

// A hidden folder beside the output, so the finished files are renamed, not
// copied, into place; locked, so that a later run knows it is not abandoned.
struct PartFolder {
    std::unique_ptr<QTemporaryDir> dir;
    PartialLock lock;
};

PartFolder MakePartFolder(const QString& folder)
{
    for (int attempt = 1;; ++attempt) {
        PartFolder part{std::make_unique<QTemporaryDir>(folder + QStringLiteral("/.vexlo-XXXXXX.part")), {}};
        if (!part.dir->isValid())
            Fail(QStringLiteral("Cannot write in the output folder %1: %2.")
                     .arg(folder, part.dir->errorString()));
        if (part.lock.lock(part.dir->path()) || attempt == kLockAttempts)
            return part;
    }
}

struct PartFile {
    std::unique_ptr<QTemporaryFile> file;
    PartialLock lock;
};

// A name of our own rather than one derived from the output's, which may
// already be as long as a file name can be.
PartFile MakePartFile(const QString& folder)
{
    for (int attempt = 1;; ++attempt) {
        PartFile part{std::make_unique<QTemporaryFile>(folder + QStringLiteral("/.vexlo-XXXXXX.tiff.part")),
                      {}};
        if (!part.file->open())
            Fail(QStringLiteral("Cannot write in the output folder %1: %2.")
                     .arg(folder, part.file->errorString()));
        if (part.lock.lock(part.file->fileName()) || attempt == kLockAttempts)
            return part;
    }
}

// The renamed file must hold every byte even after a power cut, and get the
// permissions of any new file rather than the private ones of a temporary file.
void Seal(int descriptor)
{
    if (::fsync(descriptor) != 0) {
        if (IsNoSpaceError(errno))
            throw NoSpaceError("fsync");
        Fail(QStringLiteral("Cannot write the image file: %1.").arg(SystemReason()));
    }
    ::fchmod(descriptor, CreationMode());
}

void Rename(const QString& from, const QString& to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        Fail(QStringLiteral("Cannot put the image file at %1: %2.").arg(to, SystemReason()));
}

// Signals wait while a message's page files move into place, so an end from
// outside never leaves half of them there.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        sigaddset(&held, SIGTERM);
        sigaddset(&held, SIGINT);
        sigaddset(&held, SIGHUP);
        ::sigprocmask(SIG_BLOCK, &held, &m_previous);
    }
    ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &m_previous, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t m_previous;
};

// The documents' pages one after another, each rasterised when its turn
// comes and stamped with its number.
class PageSequence {
public:
    PageSequence(const QStringList& pdfPaths, const RenderOptions& options) : m_options(options)
    {
        for (const QString& path : pdfPaths) {
            m_documents.push_back(std::make_unique<PdfPages>(path));
            m_total += m_documents.back()->count();
        }
        if (m_total <= 0)
            Fail(QStringLiteral("The document has no pages."));
    }

    int count() const { return m_total; }

    // Pages in order, from 0.
    PageImage render(int index) const
    {
        int local = index;
        for (const auto& document : m_documents) {
            if (local < document->count()) {
                PageImage page = document->render(local, m_options.dpi);
                if (m_options.bates)
                    StampBatesNumber(page, m_options.bates->number(m_options.bates->first + index),
                                     m_options.dpi);
                return page;
            }
            local -= document->count();
        }
        Fail(QStringLiteral("Page %1 does not exist.").arg(index + 1));
    }

private:
    const RenderOptions& m_options;
    std::vector<std::unique_ptr<PdfPages>> m_documents;
    int m_total = 0;
};

void WriteMultiPage(const PageSequence& pages, const QString& outputPath, const TiffDocumentInfo& info)
{
    if (pages.count() > kMostPages)
        Fail(QStringLiteral("The document has %1 pages; at most %2 fit in one image file.")
                 .arg(pages.count())
                 .arg(kMostPages));
    const PartFile held = MakePartFile(QFileInfo(outputPath).absolutePath());
    QTemporaryFile& part = *held.file;
    SetCleanupPath(CleanupSlot::PartialOutput, part.fileName());

    const int descriptor = ::dup(part.handle());
    if (descriptor < 0)
        Fail(QStringLiteral("Cannot write the image file: %1.").arg(SystemReason()));
    TiffWriter writer(descriptor, part.fileName(), pages.count(), info);
    for (int index = 0; index < pages.count(); ++index)
        writer.addPage(pages.render(index));
    writer.finish();

    Seal(part.handle());
    Rename(part.fileName(), outputPath);
    part.setAutoRemove(false);
    SetCleanupPath(CleanupSlot::PartialOutput, QString());
}

void WriteSinglePages(const PageSequence& pages, const QString& outputPath, const TiffDocumentInfo& info)
{
    const QString folder = QFileInfo(outputPath).absolutePath();
    const PartFolder partFolder = MakePartFolder(folder);
    const std::unique_ptr<QTemporaryDir>& part = partFolder.dir;
    SetCleanupPath(CleanupSlot::PartialPages, part->path());
    QStringList written;
    for (int index = 0; index < pages.count(); ++index) {
        const QString path = part->filePath(QStringLiteral("%1.tiff").arg(index + 1));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            Fail(QStringLiteral("Cannot write the image file: %1.").arg(file.errorString()));
        const int descriptor = ::dup(file.handle());
        if (descriptor < 0)
            Fail(QStringLiteral("Cannot write the image file: %1.").arg(SystemReason()));
        TiffWriter writer(descriptor, path, 1, info);
        writer.addPage(pages.render(index));
        writer.finish();
        Seal(file.handle());
        written.append(path);
    }

    const SignalsHeld held;
    QStringList placed;
    try {
        for (int index = 0; index < written.size(); ++index) {
            const QString target = PageFilePath(outputPath, index + 1);
            Rename(written.at(index), target);
            placed.append(target);
        }
    } catch (...) {
        for (const QString& path : std::as_const(placed))
            QFile::remove(path);
        throw;
    }
    SetCleanupPath(CleanupSlot::PartialPages, QString());
    // A longer version of the same document must not leave its last pages
    // behind as if they were this one's.
    for (const QString& stale : ExistingPageFiles(outputPath, pages.count() + 1))
        QFile::remove(stale);
}

template <typename Number> std::optional<Number> NumberIn(const QString& text, Number least, Number most)
{
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || value < least || value > most)
        return std::nullopt;
    return Number(value);
}

struct Arguments {
    QStringList documents;
    QString output;
    RenderOptions options;
    bool help = false;
    bool usage = false;
};

Arguments ParseArguments(const QStringList& arguments)
{
    Arguments parsed;
    QStringList positional;
    std::optional<QString> output;
    QString batesPrefix;
    qint64 batesStart = 1;
    int batesDigits = 6;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        // After "--" every argument is a path, whatever it looks like.
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || !argument.startsWith(QLatin1String("--"))) {
            positional.append(argument);
            continue;
        }
        if (argument == QLatin1String("--help")) {
            parsed.help = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            Fail(QStringLiteral("%1 needs a value; see vexlo --help.").arg(argument));
        const QString value = arguments.at(++i);
        if (argument == QLatin1String("--output")) {
            output = value;
        } else if (argument == QLatin1String("--dpi")) {
            const auto dpi = NumberIn<int>(value, kLeastDpi, kMostDpi);
            if (!dpi)
                Fail(QStringLiteral("--dpi needs a number from %1 to %2, not \"%3\".")
                         .arg(kLeastDpi)
                         .arg(kMostDpi)
                         .arg(value));
            parsed.options.dpi = *dpi;
        } else if (argument == QLatin1String("--colour") || argument == QLatin1String("--color")) {
            const auto mode = ParseColourMode(value);
            if (!mode)
                Fail(QStringLiteral("--colour is auto, colour, grey or mono, not \"%1\".").arg(value));
            parsed.options.colour = *mode;
        } else if (argument == QLatin1String("--pages")) {
            if (value == QLatin1String("single"))
                parsed.options.pages = PageFiles::Single;
            else if (value == QLatin1String("multi"))
                parsed.options.pages = PageFiles::Multi;
            else
                Fail(QStringLiteral("--pages is single or multi, not \"%1\".").arg(value));
        } else if (argument == QLatin1String("--bates")) {
            batesPrefix = value;
        } else if (argument == QLatin1String("--bates-start")) {
            const auto start = NumberIn<qint64>(value, 0, 999999999999999);
            if (!start)
                Fail(QStringLiteral("--bates-start needs a number from 0, not \"%1\".").arg(value));
            batesStart = *start;
        } else if (argument == QLatin1String("--bates-digits")) {
            const auto digits = NumberIn<int>(value, 1, 15);
            if (!digits)
                Fail(QStringLiteral("--bates-digits needs a number from 1 to 15, not \"%1\".").arg(value));
            batesDigits = *digits;
        } else {
            Fail(QStringLiteral("Unknown option %1; see vexlo --help.").arg(argument));
        }
    }
    if (!batesPrefix.isEmpty()) {
        const auto numbering = BatesNumbering::parse(batesPrefix);
        if (!numbering || numbering->prefix != batesPrefix)
            Fail(QStringLiteral("The Bates prefix \"%1\" must not end in digits or hold separators, commas "
                                "or quotes; give the first number with --bates-start.")
                     .arg(batesPrefix));
        parsed.options.bates = BatesNumbering{batesPrefix, batesStart, batesDigits};
    }
    if (output) {
        parsed.output = *output;
        parsed.documents = positional;
        if (parsed.documents.isEmpty())
            Fail(QStringLiteral("No document was named."));
    } else if (positional.size() < 2) {
        parsed.usage = !parsed.help;
    } else {
        parsed.documents = {positional.at(0)};
        parsed.output = positional.at(1);
    }
    return parsed;
}

void ClearCleanup()
{
    SetCleanupPath(CleanupSlot::PartialOutput, QString());
    SetCleanupPath(CleanupSlot::PartialPages, QString());
    SetCleanupPath(CleanupSlot::WorkFolder, QString());
}

} // namespace

int ConvertPdfsToTiff(const QStringList& pdfPaths, const QString& outputPath, const TiffDocumentInfo& info,
                      const RenderOptions& options)
{
    const PageSequence pages(pdfPaths, options);
    TiffDocumentInfo pageInfo = info;
    pageInfo.dpi = options.dpi;
    pageInfo.colour = options.colour;
    if (options.pages == PageFiles::Single)
        WriteSinglePages(pages, outputPath, pageInfo);
    else
        WriteMultiPage(pages, outputPath, pageInfo);
    return pages.count();
}

void ConvertPdfToTiff(const QString& pdfPath, const QString& outputPath, const TiffDocumentInfo& info)
{
    RenderOptions options;
    options.dpi = info.dpi;
    options.colour = info.colour;
    ConvertPdfsToTiff({pdfPath}, outputPath, info, options);
}

bool WantsBatesNumbers(const QStringList& arguments)
{
    return arguments.contains(QStringLiteral("--bates"));
}

int RunVexlo(const QStringList& arguments, const LayoutFunction& layOut, QTextStream& out, QTextStream& err)
{
    try {
        const Arguments parsed = ParseArguments(arguments);
        if (parsed.help) {
            out << kHelp;
            return 0;
        }
        if (parsed.usage) {
            out << kUsage << Qt::endl;
            return 0;
        }
        for (const QString& document : parsed.documents)
            CheckInput(document);
        CheckOutput(parsed.output);
        // What a renderer killed outright left half-written there goes now.
        RemoveAbandonedPartials(QFileInfo(parsed.output).absolutePath());

        TiffDocumentInfo info;
        info.documentName = QFileInfo(parsed.documents.first()).fileName();
        info.software = QString::fromLatin1(kSoftware);

        // Pages already laid out are only rasterised: a second layout could
        // only move them. The intermediate PDFs of the others are nobody
        // else's business: a folder only this user can enter, in the
        // program's own, removed on every way out.
        std::unique_ptr<RunWorkFolder> work;
        QStringList pdfs;
        int laidOut = 0;
        for (const QString& document : parsed.documents) {
            if (IsNamed(QFileInfo(document), "pdf")) {
                pdfs.append(document);
                continue;
            }
            if (!work) {
                work = std::make_unique<RunWorkFolder>(TempFolder(), QStringLiteral("vexlo"));
                if (!work->isValid())
                    Fail(work->problem());
                SetCleanupPath(CleanupSlot::WorkFolder, work->path());
            }
            const QString pdf = work->path() + QStringLiteral("/%1.pdf").arg(++laidOut);
            layOut(document, pdf);
            if (!QFileInfo(pdf).isFile())
                Fail(QStringLiteral("The office engine laid out no pages for %1.").arg(document));
            pdfs.append(pdf);
        }

        try {
            ConvertPdfsToTiff(pdfs, parsed.output, info, parsed.options);
        } catch (const NoSpaceError&) {
            Fail(
                QStringLiteral("There is no space left on the disk of %1: free some space and convert again.")
                    .arg(QFileInfo(parsed.output).absolutePath()));
        }
        ClearCleanup();
        return 0;
    } catch (const std::exception& error) {
        ClearCleanup();
        err << "vexlo: " << OneLine(QString::fromUtf8(error.what())) << Qt::endl;
        return 1;
    }
}
