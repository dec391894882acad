// quillmark-office: LibreOffice loaded once and kept warm, serving the window
// (and the page renderer of its runs) over a local socket.

#include "lokruntime.h"
#include "officehost.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--socket"));
    if (at < 0 || at + 1 >= args.size()) {
        std::fprintf(stderr, "Usage: quillmark-office --socket <name>\n");
        return 2;
    }

    // LibreOffice is loaded before the socket exists, so a client that can
    // connect knows the engine is ready.
    try {
        LokRuntime::instance();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmark-office: %s\n", e.what());
        return 3;
    }

    OfficeHost host;
    if (!host.listen(args.at(at + 1))) {
        std::fprintf(stderr, "quillmark-office: cannot listen on %s: %s\n", qPrintable(args.at(at + 1)),
                     qPrintable(host.errorString()));
        return 4;
    }
    QObject::connect(&host, &OfficeHost::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    const int status = app.exec();
    std::fflush(stderr);
    // LibreOffice's own shutdown is slow and has been seen to hang; the
    // documents are closed and nothing is left to save, so leave at once.
    std::_Exit(status);
}
