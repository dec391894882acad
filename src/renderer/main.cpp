#include "pagelayout.h"
#include "terminationcleanup.h"
#include "vexlotool.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <memory>

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // Stamping Bates numbers draws text, and fonts need the GUI application;
    // every other run does without its start-up cost. No window is shown.
    std::unique_ptr<QCoreApplication> app;
    if (WantsBatesNumbers(arguments)) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    InstallTerminationCleanup();
    QTextStream out(stdout);
    QTextStream err(stderr);
    return RunVexlo(QCoreApplication::arguments().mid(1), LayOutAsPdf, out, err);
}
