#include "conversionrun.h"

#include "dialogs.h"
#include "messageconverter.h"
#include "paths.h"
#include "progressbar.h"
#include "runview.h"
#include "stepguard.h"

#include <QCoreApplication>

namespace {

void ProcessPendingEvents()
{
    QCoreApplication::processEvents();
}

} // namespace

QString DoneMessage(const RunSummary& summary)
{
    QString text = QStringLiteral("Done.");
    if (summary.failures.isEmpty())
        return text;
    const int failed = int(summary.failures.size());
    text += QStringLiteral("\r\n\r\n%1 of %2 %3 produced no TIFF file:")
                .arg(failed)
                .arg(summary.messages)
                .arg(summary.messages == 1 ? QStringLiteral("message") : QStringLiteral("messages"));
    // A box taller than the screen would hide its own OK button.
    const int listed = std::min(failed, kMostFailuresListed);
    for (int i = 0; i < listed; ++i) {
        const MessageFailure& failure = summary.failures.at(i);
        text += QStringLiteral("\r\n") + failure.name;
        if (!failure.reason.isEmpty())
            text += QStringLiteral(": ") + failure.reason;
    }
    if (listed < failed)
        text += QStringLiteral("\r\nand %1 more").arg(failed - listed);
    return text;
}

ConversionRun::ConversionRun(MessageConverter& converter, OfficeRunningWarning warnIfOfficeRunning)
    : m_converter(converter), m_warnIfOfficeRunning(std::move(warnIfOfficeRunning))
{
}

void ConversionRun::PushButton2_Click(RunView& view)
{
    // 100: a click while a run yields to the window changes nothing.
    if (m_converting)
        return;
    m_converting = true; // 102
    // 240 is the only way out once 102 has run, errors included.
    struct ClearFlag {
        bool& flag;
        ~ClearFlag() { flag = false; }
    } clearFlag{m_converting};

    Dialogs& dialogs = view.dialogs();
    StepGuard guard(dialogs, QString::fromLatin1(kConversionRunLocation));
    guard.step(104, ProcessPendingEvents);

    if (!guard.test(106, [&] { return view.itemCount() > 0; })) {
        guard.step(238, [&] { dialogs.messageBox(QStringLiteral("No files added."), Dialogs::OkOnly); });
        return;
    }
    // Only a chosen destination folder must exist; with neither option
    // selected the messages go beside their originals.
    if (!guard.test(108, [&] { return IsFolder(view.destinationFolder()) || !view.saveToFolder(); })) {
        guard.step(236, [&] {
            dialogs.messageBox(QStringLiteral("Folder does not exist. Please select another folder."),
                               Dialogs::OkOnly);
        });
        return;
    }
    if (m_warnIfOfficeRunning && guard.value<bool>(
                                     110, [&] { return m_warnIfOfficeRunning(dialogs); }, false))
        return;

    guard.step(112, ProcessPendingEvents);
    guard.step(114, [&] { view.setBusy(true); });

    ProgressBar& bar = view.progressBar();
    // Made here, after every reason to stop early, and gone when the run ends.
    const RunWorkFolder workFolder(m_converter.workParent());
    RunSummary summary;
    OutputNames outputNames;
    const int n = guard.value<int>(
        124, [&] { return view.itemCount(); }, 0);
    for (int i = 1; i <= n; ++i) {
        guard.step(126, ProcessPendingEvents);
        guard.step(128, [&] { view.setBusy(true); });
        // The list can only have become shorter if something cleared the
        // hourglass meanwhile; a position past its end holds no message.
        if (i > view.itemCount())
            continue;
        guard.step(130, [&] { bar.setValue(double(i) / double(view.itemCount()) * 100.0); });
        const QString messagePath = guard.value<QString>(132, [&] { return view.itemText(i); });
        guard.step(134, [&] { bar.setText(QStringLiteral("Processing: ") + GetFileName(messagePath)); });
        guard.step(136, ProcessPendingEvents);

        WorkPaths work;
        guard.step(138, [&] { work = FormWorkPaths(messagePath, workFolder.path()); });
        QString outputPath;
        const auto claimOutput = [&](const QString& folder) {
            outputPath = outputNames.claim(OutputPathFor(messagePath, folder), messagePath);
        };
        // With neither option selected the result goes beside the message,
        // so 146, the test of the second option, has nothing to decide.
        if (guard.test(142, [&] { return view.saveToFolder(); }))
            guard.step(144, [&] { claimOutput(view.destinationFolder()); });
        else
            guard.step(148, [&] { claimOutput(GetFolderPart(messagePath)); });

        const MessageResult result =
            workFolder.isValid()
                ? m_converter.convert(guard, messagePath, work, outputPath, &bar, view.itemCount())
                : MessageResult{false, workFolder.problem()};
        ++summary.messages;
        if (result.converted)
            outputNames.markWritten(outputPath);
        else
            summary.failures.append({GetFileName(messagePath), result.reason});
    } // 222

    guard.step(228, [&] { view.setBusy(false); });
    guard.step(230, [&] { bar.setValue(0); });
    guard.step(232, [&] { bar.setText(QStringLiteral("Progress Bar")); });
    m_summary = summary;
    guard.step(234, [&] { dialogs.messageBox(DoneMessage(summary), Dialogs::OkOnly); });
} // 240
