// Prints ProgramFolder() before and after the application object exists:
// the two ways the programs compute it must agree, and both must see through
// the links in bin/.
#include "paths.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    const QByteArray early = ProgramFolder().toUtf8();
    QCoreApplication app(argc, argv);
    const QByteArray late = ProgramFolder().toUtf8();
    std::printf("%s\n%s\n", early.constData(), late.constData());
    return 0;
}
