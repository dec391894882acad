#include "officestep.h"

#include "officeengine.h"
#include "stepguard.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{

// The message an automation call gives when its object was never made.
const char* const kNoObject = "Object variable or With block variable not set";

QString temporaryNameBeside(const QString& path)
{
    const QFileInfo info(path);
    return info.absolutePath() + QStringLiteral("/.") + info.completeBaseName() +
           QStringLiteral(".%1.part.rtf")
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
            raiseStepError(QString::fromLatin1(kNoObject));
        OpenOptions options;
        options.FileName = mhtPath;
        document = application->open(options);
    });

    guard.step(210, [&] {
        if (!document)
            raiseStepError(QString::fromLatin1(kNoObject));
        // The engine may leave a partial file when a save fails part-way, and
        // the run takes any file at rtfPath for a finished document.
        const QString partial = temporaryNameBeside(rtfPath);
        SaveOptions options;
        options.FileName = partial;
        options.FileFormat = kSaveFormatRtf;
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
            raiseStepError(QString::fromLatin1(kNoObject));
        document.reset();
        application->quit();
    });
}

void ConvertPageToRtf(const QString& mhtPath, const QString& rtfPath, StepGuard& guard)
{
    ConvertPageToRtf(mhtPath, rtfPath, guard, LibreOfficeEngine());
}
