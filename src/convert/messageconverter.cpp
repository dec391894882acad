#include "messageconverter.h"

#include "attachmentpages.h"
#include "attachments.h"
#include "messagepage.h"
#include "msgreader.h"
#include "officeengine.h"
#include "officestep.h"
#include "outlookparts.h"
#include "paths.h"
#include "pdfpages.h"
#include "processrunner.h"
#include "progressbar.h"
#include "steperror.h"
#include "stepguard.h"
#include "tiffwriter.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

namespace {

constexpr auto kTiffExtension = ".tiff";

QMap<QString, QString> HostEnvironment()
{
    const QString socket = OfficeHostSocketName();
    if (socket.isEmpty())
        return {};
    return {{QString::fromLatin1(kOfficeSocketVariable), socket}};
}

// The renderer's last line on standard error is its reason ("vexlo: No
// space left on device."), which says more than any exit status.
QString RendererReason(const QString& errorOutput)
{
    const QStringList lines = errorOutput.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        QString text = line->trimmed();
        if (text.startsWith(QLatin1String("vexlo:")))
            text = text.mid(6).trimmed();
        while (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        if (!text.isEmpty())
            return text;
    }
    return {};
}

QString RendererFailure(int status, std::chrono::milliseconds limit, const QString& errorOutput)
{
    if (status == kProcessTimedOut)
        return QStringLiteral("the page renderer did not finish within %1 s and was stopped")
            .arg(limit.count() / 1000);
    if (status <= kCannotStartBase + 1000 && status >= kCannotStartBase)
        return QStringLiteral("the page renderer could not be started (error %1); reinstall the program")
            .arg(status - kCannotStartBase);
    if (status == kProcessCrashed)
        return QStringLiteral("the page renderer crashed");
    if (const QString reason = RendererReason(errorOutput); !reason.isEmpty())
        return QStringLiteral("the page renderer failed: %1").arg(reason);
    return QStringLiteral("the page renderer failed (exit status %1)").arg(status);
}

MessageResult failure(const QString& reason)
{
    MessageResult result;
    result.reason = reason;
    return result;
}

// Which file is at `path` and when it was last written, so the run can tell
// a new TIFF from the one an earlier run left there.
struct FileIdentity {
    explicit FileIdentity(const QString& path)
    {
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
            inode = st.st_ino;
            modified = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
        }
    }
    bool operator==(const FileIdentity& other) const
    {
        return inode == other.inode && modified == other.modified;
    }
    ino_t inode = 0;
    long long modified = 0;
};

// Why the list item cannot be copied as a message, or empty when it can.
QString SourceProblem(const QString& messagePath)
{
    const QFileInfo info(messagePath);
    if (!info.exists())
        return QStringLiteral("the file does not exist");
    if (info.isDir())
        return QStringLiteral("it is a folder, not a message file");
    if (!IsExistingFile(messagePath))
        return QStringLiteral("the file cannot be read; check its permissions");
    return {};
}

} // namespace

namespace {

// A folder the user named "--out" must reach vexlo as a path, never as an
// option; "./--out" means the same folder.
QString RendererPath(const QString& path)
{
    return path.startsWith(QLatin1Char('-')) ? QStringLiteral("./") + path : path;
}

} // namespace

QStringList RendererArguments(const ImagingOptions& options, qint64 firstBatesNumber,
                              const QStringList& rawDocuments, const QString& rawOutputPath)
{
    QStringList documents;
    for (const QString& document : rawDocuments)
        documents.append(RendererPath(document));
    const QString outputPath = RendererPath(rawOutputPath);
    const RenderOptions& render = options.render;
    if (options.changesNothing() && documents.size() == 1)
        return {documents.first(), outputPath};
    QStringList arguments = PageOptionArguments(render);
    if (render.bates)
        arguments << QStringLiteral("--bates") << render.bates->prefix << QStringLiteral("--bates-start")
                  << QString::number(firstBatesNumber) << QStringLiteral("--bates-digits")
                  << QString::number(render.bates->digits);
    return arguments + QStringList{QStringLiteral("--output"), outputPath} + documents;
}

WorkPaths FormWorkPaths(const QString& messagePath, const QString& workFolder)
{
    WorkPaths paths;
    paths.baseName = StripExtension(GetFileName(messagePath));
    paths.mhtPath = workFolder + QLatin1Char('/') + paths.baseName + QStringLiteral(".mht");
    paths.rtfPath = workFolder + QLatin1Char('/') + paths.baseName + QStringLiteral(".pdf");
    return paths;
}

QString OutputPathFor(const QString& messagePath, const QString& folder)
{
    const QString baseName = StripExtension(GetFileName(messagePath));
    return CollapseSeparators(folder + QLatin1Char('/') + baseName + QLatin1String(kTiffExtension));
}

QString OutputNames::claim(const QString& outputPath, const QString& messagePath) const
{
    const auto taken = [&](const QString& candidate) {
        return m_written.contains(candidate) || candidate == CollapseSeparators(messagePath);
    };
    if (!taken(outputPath))
        return outputPath;
    QString stem = outputPath;
    if (stem.endsWith(QLatin1String(kTiffExtension)))
        stem.chop(qsizetype(qstrlen(kTiffExtension)));
    for (int number = 2;; ++number) {
        const QString candidate = stem + QStringLiteral(" (%1)").arg(number) + QLatin1String(kTiffExtension);
        if (!taken(candidate))
            return candidate;
    }
}

namespace {

// An Outlook message file becomes the MIME message it holds, and Outlook's
// parts inside MIME become parts every reader knows; the copy is changed,
// never the original.
QString OutlookToMime(const QString& copyPath, const QString& workFolder)
{
    if (StartsLikeOutlookMessage(copyPath)) {
        QString reason;
        const std::optional<QByteArray> bytes = ReadOutlookMessageFile(copyPath, &reason);
        if (!bytes)
            return reason;
        QSaveFile file(copyPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(*bytes) != bytes->size() || !file.commit())
            return QStringLiteral("the Outlook message could not be written to the work folder %1 as MIME")
                .arg(workFolder);
    }
    // A damaged winmail.dat stays an attachment (its page says it cannot be
    // laid out); the log says why.
    for (const QString& problem : ExpandOutlookParts(copyPath, workFolder))
        qWarning().noquote() << problem;
    return {};
}

} // namespace

QString RefusalReason(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("the file cannot be read");
    const QByteArray head = file.read(8192);
    if (head.isEmpty())
        return QStringLiteral("the file is empty");
    // The office host's reader refuses such data with the same test; here the
    // message fails before its page is built.
    if (LooksBinary(head))
        return QStringLiteral("the file holds binary data, not an e-mail message");
    return {};
}

MessageConverter::MessageConverter(OfficeEngine& engine, QString vexloPath, QString workParent)
    : m_engine(engine), m_vexloPath(std::move(vexloPath)), m_workParent(std::move(workParent)),
      m_environment(HostEnvironment), m_renderTimeLimit(kDefaultTimeLimit)
{
}

void MessageConverter::setImagingOptions(const ImagingOptions& options)
{
    m_imaging = options;
    m_nextBatesNumber = options.render.bates ? options.render.bates->first : 0;
}

MessageResult MessageConverter::convert(StepGuard& guard, const QString& messagePath, const WorkPaths& work,
                                        const QString& outputPath, ProgressBar* bar, int itemCount)
{
    guard.step(150, [&] { DeleteFileQuietly(work.mhtPath); });
    guard.step(152, [&] { DeleteFileQuietly(work.rtfPath); });
    // The old TIFF is replaced only by vexlo's rename of a complete new one
    // (with one file per page, vexlo also removes an earlier run's extra
    // pages); what this step can still catch is a path that no TIFF can take.
    const bool singlePages = m_imaging.render.pages == PageFiles::Single;
    const QString firstFile = singlePages ? PageFilePath(outputPath, 1) : outputPath;
    guard.step(154, [&] {
        if (QFileInfo(firstFile).isDir())
            raiseStepError(QStringLiteral("The output path %1 is a folder.").arg(firstFile));
    });

    // The work files of attachments go with the message, whatever happens.
    AttachmentPages attachmentPages(m_engine, QFileInfo(work.mhtPath).absolutePath(), work.baseName);
    struct RemoveWorkFiles {
        const AttachmentPages& pages;
        ~RemoveWorkFiles()
        {
            for (const QString& path : pages.workFiles())
                DeleteFileQuietly(path);
        }
    } removeWorkFiles{attachmentPages};
    const LaidOutMessage laidOut = layOutSteps(guard, messagePath, work, attachmentPages);
    if (!laidOut.laidOut)
        return failure(laidOut.reason);
    MessageResult result = render(guard, laidOut.documents, outputPath, m_nextBatesNumber, bar, itemCount);
    if (result.converted && m_imaging.render.bates)
        m_nextBatesNumber += result.pages;
    return result;
}

LaidOutMessage MessageConverter::layOut(StepGuard& guard, const QString& messagePath, const WorkPaths& work)
{
    guard.step(150, [&] { DeleteFileQuietly(work.mhtPath); });
    guard.step(152, [&] { DeleteFileQuietly(work.rtfPath); });
    AttachmentPages attachmentPages(m_engine, QFileInfo(work.mhtPath).absolutePath(), work.baseName);
    LaidOutMessage laidOut = layOutSteps(guard, messagePath, work, attachmentPages);
    if (!laidOut.laidOut)
        return laidOut;
    for (const QString& document : std::as_const(laidOut.documents)) {
        if (const QString problem = PdfPages::problemWith(document); !problem.isEmpty()) {
            laidOut.laidOut = false;
            laidOut.reason = QStringLiteral("its laid-out pages cannot be read: %1").arg(problem);
            return laidOut;
        }
        laidOut.pages += PdfPages(document).count();
    }
    return laidOut;
}

LaidOutMessage MessageConverter::layOutSteps(StepGuard& guard, const QString& messagePath,
                                             const WorkPaths& work, AttachmentPages& attachmentPages)
{
    LaidOutMessage laidOut;
    const auto fail = [&](const QString& reason) {
        laidOut.reason = reason;
        return laidOut;
    };
    // A list item that is no readable file, or no message text, would go on
    // as an empty or garbled page and come out as a TIFF of nothing.
    if (const QString problem = SourceProblem(messagePath); !problem.isEmpty())
        return fail(problem);
    guard.step(156, [&] { CopyFileChecked(messagePath, work.mhtPath); });
    if (!IsExistingFile(work.mhtPath))
        return fail(QStringLiteral("the message could not be copied to the work folder %1")
                        .arg(GetFolderPart(work.mhtPath)));
    const QString workFolder = QFileInfo(work.mhtPath).absolutePath();
    if (const QString problem = OutlookToMime(work.mhtPath, workFolder); !problem.isEmpty())
        return fail(problem);
    if (const QString refusal = RefusalReason(work.mhtPath); !refusal.isEmpty())
        return fail(refusal);

    const bool wantsAttachments = m_imaging.attachments || m_imaging.headerAttachments;
    // Decoded into the work folder, and removed from there with this.
    MailAttachments attachments(workFolder, work.baseName);
    if (wantsAttachments) {
        try {
            attachments = ReadAttachments(work.mhtPath, workFolder, work.baseName);
        } catch (const std::exception& error) {
            return fail(QString::fromUtf8(error.what()));
        }
    }
    HeaderExtras extras;
    extras.cc = m_imaging.headerCc;
    extras.attachments = m_imaging.headerAttachments;
    if (m_imaging.headerAttachments)
        for (const MailAttachment& attachment : attachments)
            extras.attachmentDescriptions.append(Described(attachment));

    PrepareMessagePage(work.mhtPath, guard, extras); // 158 to 204, each step its own
    ConvertPageToRtf(work.mhtPath, work.rtfPath, guard, m_engine);

    if (!guard.test(214, [&] { return IsExistingFile(work.rtfPath); }))
        return fail(QStringLiteral("the page engine laid out no pages for the message"));

    laidOut.documents = {work.rtfPath};
    if (m_imaging.attachments) {
        try {
            laidOut.documents += attachmentPages.layOut(attachments.list());
        } catch (const std::exception& error) {
            return fail(QString::fromUtf8(error.what()));
        }
    }
    laidOut.laidOut = true;
    return laidOut;
}

MessageResult MessageConverter::render(StepGuard& guard, const QStringList& documents,
                                       const QString& outputPath, qint64 firstBatesNumber, ProgressBar* bar,
                                       int itemCount)
{
    const bool singlePages = m_imaging.render.pages == PageFiles::Single;
    const QString firstFile = singlePages ? PageFilePath(outputPath, 1) : outputPath;
    const FileIdentity earlierTiff(firstFile);

    QString program;
    QStringList arguments;
    guard.step(216, [&] { program = m_vexloPath; });
    guard.step(218,
               [&] { arguments = RendererArguments(m_imaging, firstBatesNumber, documents, outputPath); });
    int status = 0;
    QString errorOutput;
    guard.step(220, [&] {
        RunLimits limits;
        limits.errorOutput = &errorOutput;
        limits.environment = m_environment ? m_environment() : QMap<QString, QString>();
        limits.timeLimit = m_renderTimeLimit;
        const QString baseText = bar ? bar->text() : QString();
        const int startValue = bar ? qint32(RoundHalfToEven(bar->value())) : 0;
        status = RunProcessAndWait(program, arguments, 0, bar, baseText, startValue, itemCount, limits);
    });
    if (status != 0)
        return failure(RendererFailure(status, m_renderTimeLimit, errorOutput));
    if (!IsExistingFile(firstFile) || FileIdentity(firstFile) == earlierTiff)
        return failure(QStringLiteral("the page renderer made no TIFF file at %1").arg(firstFile));

    MessageResult result;
    result.converted = true;
    if (singlePages) {
        result.outputPaths = ExistingPageFiles(outputPath);
        result.pages = int(result.outputPaths.size());
    } else {
        result.outputPaths = {outputPath};
        result.pages = TiffPageCount(outputPath);
    }
    if (m_imaging.render.bates)
        result.firstBatesNumber = firstBatesNumber;
    return result;
}
