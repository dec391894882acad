#include "commandline.h"
#include "messageconverter.h"
#include "officeengine.h"
#include "paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    QString error;
    const std::optional<CommandLine> line = ParseCommandLine(app.arguments().mid(1), &error);
    if (!line) {
        err << "quillmark-convert: " << error << Qt::endl
            << "Try 'quillmark-convert --help' for more information." << Qt::endl;
        return kExitBadArguments;
    }
    if (line->help) {
        out << UsageText();
        return kExitAllConverted;
    }

    QString outputFolder;
    if (!line->outputFolder.isEmpty()) {
        outputFolder = QDir::cleanPath(QDir(line->outputFolder).absolutePath());
        if (!QDir().mkpath(outputFolder)) {
            err << "quillmark-convert: the output folder " << outputFolder
                << " is not a folder and cannot be made" << Qt::endl;
            return kExitBadArguments;
        }
    }

    QStringList unreadable;
    const QStringList messages = CollectMessages(line->paths, &unreadable);
    for (const QString& folder : std::as_const(unreadable))
        err << "quillmark-convert: skipped, cannot be read: " << folder << Qt::endl;
    if (messages.isEmpty()) {
        err << "quillmark-convert: no .eml files found in the paths given" << Qt::endl;
        return kExitSomeFailed;
    }

    SetOfficeCallTimeLimit(line->pageTimeLimitSeconds * 1000);
    MessageConverter converter(ProgramOfficeEngine(), ProgramFolder() + QStringLiteral("/vexlo"),
                               TempFolder());
    converter.setImagingOptions(line->imaging);
    return ConvertMessages(messages, outputFolder, converter, out, err);
}
