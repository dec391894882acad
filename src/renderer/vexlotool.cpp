#include "vexlotool.h"

#include "pdfpages.h"
#include "terminationcleanup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextStream>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

const char kUsage[] = "Usage: VEXLO.exe <msg_file> <output_file>";
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

} // namespace

void ConvertPdfToTiff(const QString& pdfPath, const QString& outputPath, const TiffDocumentInfo& info)
{
    const PdfPages pages(pdfPath);
    const int count = pages.count();
    if (count <= 0)
        Fail(QStringLiteral("The document has no pages."));
    if (count > kMostPages)
        Fail(QStringLiteral("The document has %1 pages; at most %2 fit in one image file.")
                 .arg(count)
                 .arg(kMostPages));

    const QFileInfo output(outputPath);
    const QString folder = output.absolutePath();
    // A name of our own rather than one derived from the output's, which may
    // already be as long as a file name can be.
    QTemporaryFile part(folder + QStringLiteral("/.vexlo-XXXXXX.tiff.part"));
    if (!part.open())
        Fail(QStringLiteral("Cannot write in the output folder %1: %2.").arg(folder, part.errorString()));
    SetCleanupPath(CleanupSlot::PartialOutput, part.fileName());

    const int descriptor = ::dup(part.handle());
    if (descriptor < 0)
        Fail(QStringLiteral("Cannot write the image file: %1.").arg(SystemReason()));
    TiffWriter writer(descriptor, part.fileName(), count, info);
    for (int index = 0; index < count; ++index)
        writer.addPage(pages.render(index, info.dpi));
    writer.finish();

    // The renamed file must hold every byte even after a power cut, and get
    // the permissions of any new file rather than the private ones of a
    // temporary file.
    if (::fsync(part.handle()) != 0)
        Fail(QStringLiteral("Cannot write the image file: %1.").arg(SystemReason()));
    ::fchmod(part.handle(), CreationMode());
    if (::rename(QFile::encodeName(part.fileName()).constData(), QFile::encodeName(outputPath).constData()) !=
        0)
        Fail(QStringLiteral("Cannot put the image file at %1: %2.").arg(outputPath, SystemReason()));
    part.setAutoRemove(false);
    SetCleanupPath(CleanupSlot::PartialOutput, QString());
}

int RunVexlo(const QStringList& arguments, const LayoutFunction& layOut, QTextStream& out, QTextStream& err)
{
    if (arguments.size() < 2) {
        out << kUsage << Qt::endl;
        return 0;
    }
    const QString input = arguments.at(0);
    const QString output = arguments.at(1);
    try {
        CheckInput(input);
        CheckOutput(output);

        TiffDocumentInfo info;
        info.documentName = QFileInfo(input).fileName();
        info.software = QString::fromLatin1(kSoftware);
        info.dpi = kPageDpi;

        // Pages already laid out are only rasterised: a second layout could
        // only move them.
        if (IsNamed(QFileInfo(input), "pdf")) {
            ConvertPdfToTiff(input, output, info);
            return 0;
        }

        // The intermediate PDF is nobody else's business: a folder only this
        // user can enter, removed on every way out.
        QTemporaryDir work(QDir::tempPath() + QStringLiteral("/vexlo-XXXXXX"));
        if (!work.isValid())
            Fail(QStringLiteral("Cannot create a work folder: %1.").arg(work.errorString()));
        const QString pdf = work.filePath(QStringLiteral("pages.pdf"));
        SetCleanupPath(CleanupSlot::WorkFolder, work.path());
        SetCleanupPath(CleanupSlot::WorkFile, pdf);

        layOut(input, pdf);
        if (!QFileInfo(pdf).isFile())
            Fail(QStringLiteral("The office engine laid out no pages for %1.").arg(input));

        ConvertPdfToTiff(pdf, output, info);

        SetCleanupPath(CleanupSlot::WorkFile, QString());
        SetCleanupPath(CleanupSlot::WorkFolder, QString());
        return 0;
    } catch (const std::exception& error) {
        SetCleanupPath(CleanupSlot::PartialOutput, QString());
        SetCleanupPath(CleanupSlot::WorkFile, QString());
        SetCleanupPath(CleanupSlot::WorkFolder, QString());
        err << "vexlo: " << OneLine(QString::fromUtf8(error.what())) << Qt::endl;
        return 1;
    }
}
