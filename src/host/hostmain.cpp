// quillmark-office: the page engine and, on demand, LibreOffice, kept warm and
// serving the window (and the page renderer of its runs) over a local socket.

#include "officehost.h"
#include "pageengine.h"

#include <QGuiApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    const char* socketName = nullptr;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--socket") == 0)
            socketName = argv[i + 1];
    if (!socketName) {
        std::fprintf(stderr, "Usage: quillmark-office --socket <name>\n");
        return 2;
    }

    PreparePageEngineEnvironment();
    RegisterPageSchemes();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QGuiApplication app(argc, argv);

    // The page engine is made before the socket exists, so a client that can
    // connect knows the host can lay out pages.
    OfficeHost host;
    if (!host.listen(QString::fromLocal8Bit(socketName))) {
        std::fprintf(stderr, "quillmark-office: cannot listen on %s: %s\n", socketName,
                     qPrintable(host.errorString()));
        return 4;
    }
    QObject::connect(&host, &OfficeHost::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    const int status = app.exec();
    std::fflush(stderr);
    // LibreOffice's own shutdown is slow and has been seen to hang, and
    // Chromium's takes its time too; nothing is left to save, so leave at once.
    std::_Exit(status);
}
