#include "pagelayout.h"
#include "terminationcleanup.h"
#include "vexlotool.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    InstallTerminationCleanup();
    QTextStream out(stdout);
    QTextStream err(stderr);
    return RunVexlo(app.arguments().mid(1), LayOutAsPdf, out, err);
}
