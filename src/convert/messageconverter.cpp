#include "messageconverter.h"

#include "messagepage.h"
#include "officeengine.h"
#include "officestep.h"
#include "paths.h"
#include "processrunner.h"
#include "progressbar.h"
#include "stepguard.h"

#include <QFile>
#include <QFileInfo>

namespace {

constexpr auto kTiffExtension = ".tiff";

QMap<QString, QString> HostEnvironment()
{
    const QString socket = OfficeHostSocketName();
    if (socket.isEmpty())
        return {};
    return {{QString::fromLatin1(kOfficeSocketVariable), socket}};
}

QString RendererFailure(int status, std::chrono::milliseconds limit)
{
    if (status == kProcessTimedOut)
        return QStringLiteral("the page renderer did not finish within %1 s and was stopped")
            .arg(limit.count() / 1000);
    if (status <= kCannotStartBase + 1000 && status >= kCannotStartBase)
        return QStringLiteral("the page renderer could not be started (error %1); reinstall the program")
            .arg(status - kCannotStartBase);
    if (status > 128 && status < 160)
        return QStringLiteral("the page renderer crashed (signal %1)").arg(status - 128);
    return QStringLiteral("the page renderer failed (exit status %1)").arg(status);
}

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

MessageConverter::MessageConverter(OfficeEngine& engine, QString vexloPath, QString workFolder)
    : m_engine(engine), m_vexloPath(std::move(vexloPath)), m_workFolder(std::move(workFolder)),
      m_environment(HostEnvironment), m_renderTimeLimit(kDefaultTimeLimit)
{
}

MessageResult MessageConverter::convert(StepGuard& guard, const QString& messagePath, const WorkPaths& work,
                                        const QString& outputPath, ProgressBar* bar, int itemCount)
{
    guard.step(150, [&] { DeleteFileQuietly(work.mhtPath); });
    guard.step(152, [&] { DeleteFileQuietly(work.rtfPath); });
    guard.step(154, [&] { DeleteFileQuietly(outputPath); });

    // A list item that is no readable file, or no message text, would go on
    // as an empty or garbled page and come out as a TIFF of nothing.
    if (const QString problem = SourceProblem(messagePath); !problem.isEmpty())
        return {false, problem};
    guard.step(156, [&] { CopyFileChecked(messagePath, work.mhtPath); });
    if (!IsExistingFile(work.mhtPath))
        return {false,
                QStringLiteral("the message could not be copied to the work folder %1").arg(m_workFolder)};
    if (const QString refusal = RefusalReason(work.mhtPath); !refusal.isEmpty())
        return {false, refusal};

    PrepareMessagePage(work.mhtPath, guard); // 158 to 204, each step its own
    ConvertPageToRtf(work.mhtPath, work.rtfPath, guard, m_engine);

    if (!guard.test(214, [&] { return IsExistingFile(work.rtfPath); }))
        return {false, QStringLiteral("the page engine laid out no pages for the message")};

    QString program;
    QStringList arguments;
    guard.step(216, [&] { program = m_vexloPath; });
    guard.step(218, [&] { arguments = {work.rtfPath, outputPath}; });
    int status = 0;
    guard.step(220, [&] {
        RunLimits limits;
        limits.environment = m_environment ? m_environment() : QMap<QString, QString>();
        limits.timeLimit = m_renderTimeLimit;
        const QString baseText = bar ? bar->text() : QString();
        const int startValue = bar ? qint32(RoundHalfToEven(bar->value())) : 0;
        status = RunProcessAndWait(program, arguments, 0, bar, baseText, startValue, itemCount, limits);
    });
    if (status != 0)
        return {false, RendererFailure(status, m_renderTimeLimit)};
    if (!IsExistingFile(outputPath))
        return {false, QStringLiteral("the page renderer made no TIFF file at %1").arg(outputPath)};
    return {true, {}};
}
