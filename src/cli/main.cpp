#include "batchrun.h"
#include "commandline.h"
#include "messageconverter.h"
#include "officeengine.h"
#include "outputfolder.h"
#include "paths.h"
#include "productionworker.h"
#include "pstlisting.h"
#include "workerpool.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace {

int ServeRun(const CommandLine& line)
{
    // Ctrl-C reaches the whole process group; the run decides what stops,
    // and a worker must not die under the message it is converting.
    std::signal(SIGINT, SIG_IGN);
    SetOfficeCallTimeLimit(line.pageTimeLimitSeconds * 1000);
    MessageConverter converter(ProgramOfficeEngine(), ProgramFolder() + QStringLiteral("/vexlo"),
                               TempFolder());
    converter.setImagingOptions(line.imaging);
    converter.setPageLimits({line.maxPages, std::chrono::seconds(line.pageTimeLimitSeconds)});
    ProductionWorker production(ProgramOfficeEngine(), ProgramFolder() + QStringLiteral("/vexlo"));
    QFile in;
    QFile out;
    if (!in.open(stdin, QIODevice::ReadOnly) || !out.open(stdout, QIODevice::WriteOnly))
        return 1;
    return ServeAsWorker(converter, production, in, out);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillmark-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QM_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QString error;
    std::optional<CommandLine> line =
        ParseCommandLine(app.arguments().mid(1), &error, QThread::idealThreadCount());
    if (!line) {
        err << "quillmark-convert: " << error << Qt::endl
            << "Try 'quillmark-convert --help' for more information." << Qt::endl;
        return kExitBadArguments;
    }
    if (line->help) {
        out << UsageText();
        return kExitAllConverted;
    }
    if (line->version) {
        out << VersionText();
        return kExitAllConverted;
    }
    if (line->worker)
        return ServeRun(*line);
    if (line->listPst || line->extractPst) {
        QFile channel;
        if (!channel.open(line->listPst ? stdout : stderr, QIODevice::WriteOnly))
            return 1;
        return line->listPst
                   ? ServePstListing(line->paths.first(), channel)
                   : ServePstExtraction(line->paths.first(), *line->extractPst, line->paths.at(1), channel);
    }

    if (!line->outputFolder.isEmpty()) {
        line->outputFolder = QDir::cleanPath(QDir(line->outputFolder).absolutePath());
        if (const FolderProblem problem =
                MakeRunFolder(line->outputFolder, QStringLiteral("the output folder"));
            !problem.reason.isEmpty()) {
            err << "quillmark-convert: " << problem.reason << Qt::endl;
            return problem.badArgument ? kExitBadArguments : kExitSomeFailed;
        }
    }
    if (line->production)
        line->production->folder = QDir::cleanPath(QDir(line->production->folder).absolutePath());
    if (!line->reportPath.isEmpty())
        line->reportPath = QDir::cleanPath(QDir(line->reportPath).absolutePath());
    const Progress progress = ChooseProgress(line->quiet, ::isatty(STDOUT_FILENO) == 1);
    return RunBatch(*line, QCoreApplication::applicationFilePath(), out, err, progress);
}
