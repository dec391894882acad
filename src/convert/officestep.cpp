#include "officestep.h"

#include "officeengine.h"
#include "stepguard.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Why a call cannot be made when an earlier one failed; the earlier failure
// has been reported with its own reason.
const char* const kNoEngine = "The office engine did not start, so the page could not be opened.";
const char* const kNoDocument = "The page was not opened, so its pages could not be saved as PDF.";
const char* const kNothingToQuit = "The office engine did not start, so there is nothing to close.";

QString temporaryNameBeside(const QString& path)
{
    const QFileInfo info(path);
    return info.absolutePath() + QStringLiteral("/.") + info.completeBaseName() +
           QStringLiteral(".%1.part.pdf")
               .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

} // namespace

void ConvertPageToRtf(const QString& mhtPath, const QString& rtfPath, StepGuard& guard, OfficeEngine& engine)
{
    std::unique_ptr<OfficeApplication> application;
    std::unique_ptr<OfficeDocument> document;

    guard.step(206, [&] { application = engine.create(); });

    guard.step(208, [&] {
        if (!application)
            raiseStepError(QString::fromLatin1(kNoEngine));
        OpenOptions options;
        options.FileName = mhtPath;
        document = application->open(options);
    });

    guard.step(210, [&] {
        if (!document)
            raiseStepError(QString::fromLatin1(kNoDocument));
        // The engine may leave a partial file when a save fails part-way, and
        // the run takes any file at rtfPath for a finished document.
        const QString partial = temporaryNameBeside(rtfPath);
        SaveOptions options;
        options.FileName = partial;
        options.FileFormat = kSaveFormatPdf;
        try {
            document->saveAs(options);
        } catch (...) {
            QFile::remove(partial);
            throw;
        }
        if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(rtfPath).constData()) !=
            0) {
            const QString reason = QString::fromLocal8Bit(std::strerror(errno));
            QFile::remove(partial);
            raiseStepError(QStringLiteral("The document could not be saved as %1: %2").arg(rtfPath, reason));
        }
    });

    guard.step(212, [&] {
        if (!application)
            raiseStepError(QString::fromLatin1(kNothingToQuit));
        document.reset();
        application->quit();
    });
}

void ConvertPageToRtf(const QString& mhtPath, const QString& rtfPath, StepGuard& guard)
{
    ConvertPageToRtf(mhtPath, rtfPath, guard, ProgramOfficeEngine());
}
