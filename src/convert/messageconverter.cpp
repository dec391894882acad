#include "messageconverter.h"

#include "attachmentpages.h"
#include "attachments.h"
#include "messagepage.h"
#include "msgreader.h"
#include "officeengine.h"
#include "officestep.h"
#include "outlookparts.h"
#include "partialfiles.h"
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

QString RendererFailure(int status, std::chrono::milliseconds limit, int pages, const QString& errorOutput)
{
    if (status == kProcessTimedOut) {
        const QString seconds = limit.count() % 1000 == 0
                                    ? QString::number(limit.count() / 1000)
                                    : QString::number(double(limit.count()) / 1000, 'f', 1);
        if (pages > 0)
            return QStringLiteral("the page renderer was stopped after %1 s, the limit for %2 %3 at this "
                                  "resolution (it grows with --page-time-limit)")
                .arg(seconds)
                .arg(pages)
                .arg(QLatin1String(pages == 1 ? "page" : "pages"));
        return QStringLiteral("the page renderer did not finish within %1 s and was stopped").arg(seconds);
    }
    if (status <= kCannotStartBase + 1000 && status >= kCannotStartBase)
        return QStringLiteral("the page renderer could not be started (error %1); reinstall the program")
            .arg(status - kCannotStartBase);
    if (status == kProcessCrashed)
        return QStringLiteral("the page renderer crashed");
    if (const QString reason = RendererReason(errorOutput); !reason.isEmpty())
        return QStringLiteral("the page renderer failed: %1").arg(reason);
    return QStringLiteral("the page renderer failed (exit status %1)").arg(status);
}

// The pages of the laid-out documents, or why one of them cannot be read.
struct PageCount {
    int pages = 0;
    QString problem;
};

PageCount CountPages(const QStringList& documents)
{
    PageCount counted;
    for (const QString& document : documents) {
        if (const QString problem = PdfPages::problemWith(document); !problem.isEmpty()) {
            counted.problem = QStringLiteral("its laid-out pages cannot be read: %1").arg(problem);
            return counted;
        }
        counted.pages += PdfPages(document).count();
    }
    return counted;
}

// The first line of a step's report is what went wrong.
QString OneLine(const QString& text)
{
    return text.section(QLatin1Char('\r'), 0, 0).section(QLatin1Char('\n'), 0, 0).trimmed();
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

std::chrono::milliseconds RenderTimeLimit(std::chrono::seconds pageTime, int pages, int dpi)
{
    // A dense page at the default resolution rasterises in well under a
    // tenth of this; the rest is room for a loaded machine.
    constexpr double kPerPageMs = 500;
    const double scale = std::max(1.0, double(dpi) * dpi / (double(kDefaultDpi) * kDefaultDpi));
    return pageTime + std::chrono::milliseconds(qint64(kPerPageMs * scale * std::max(pages, 0)));
}

QString PageCountProblem(int pages, int mostPages)
{
    if (mostPages <= 0 || pages <= mostPages)
        return {};
    return QStringLiteral("the message lays out as %1 pages, more than the limit of %2 pages (--max-pages)")
        .arg(pages)
        .arg(mostPages);
}

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
    paths.baseName = WorkName(StripExtension(GetFileName(messagePath)));
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
    int pages = 0;
    if (m_pageLimits) {
        const PageCount counted = CountPages(laidOut.documents);
        if (!counted.problem.isEmpty())
            return failure(counted.problem);
        if (const QString problem = PageCountProblem(counted.pages, m_pageLimits->mostPages);
            !problem.isEmpty())
            return failure(problem);
        pages = counted.pages;
    }
    MessageResult result =
        renderPages(guard, laidOut.documents, pages, outputPath, m_nextBatesNumber, bar, itemCount);
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
    const PageCount counted = CountPages(laidOut.documents);
    laidOut.pages = counted.pages;
    laidOut.reason = counted.problem;
    // Refused before any number is given to its pages.
    if (laidOut.reason.isEmpty() && m_pageLimits)
        laidOut.reason = PageCountProblem(counted.pages, m_pageLimits->mostPages);
    laidOut.laidOut = laidOut.reason.isEmpty();
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
    const qsizetype failuresBefore = guard.failures().size();
    ConvertPageToRtf(work.mhtPath, work.rtfPath, guard, m_engine);

    if (!guard.test(214, [&] { return IsExistingFile(work.rtfPath); })) {
        // The engine's own reason ("the page did not load and print within
        // 60 seconds") is what the user can act on.
        const QStringList causes = guard.failures().mid(failuresBefore);
        QString reason = QStringLiteral("the page engine laid out no pages for the message");
        if (!causes.isEmpty())
            reason += QStringLiteral(": ") + OneLine(causes.first());
        return fail(reason);
    }

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
    int pages = 0;
    if (m_pageLimits) {
        const PageCount counted = CountPages(documents);
        if (!counted.problem.isEmpty())
            return failure(counted.problem);
        pages = counted.pages;
    }
    return renderPages(guard, documents, pages, outputPath, firstBatesNumber, bar, itemCount);
}

MessageResult MessageConverter::renderPages(StepGuard& guard, const QStringList& documents, int pages,
                                            const QString& outputPath, qint64 firstBatesNumber,
                                            ProgressBar* bar, int itemCount)
{
    const std::chrono::milliseconds timeLimit =
        m_pageLimits ? RenderTimeLimit(m_pageLimits->pageTime, pages, m_imaging.render.dpi)
                     : m_renderTimeLimit;
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
        limits.timeLimit = timeLimit;
        const QString baseText = bar ? bar->text() : QString();
        const int startValue = bar ? qint32(RoundHalfToEven(bar->value())) : 0;
        status = RunProcessAndWait(program, arguments, 0, bar, baseText, startValue, itemCount, limits);
    });
    if (status != 0) {
        // A renderer killed outright cannot remove its half-written file.
        RemoveAbandonedPartials(QFileInfo(outputPath).absolutePath());
        return failure(RendererFailure(status, timeLimit, pages, errorOutput));
    }
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
