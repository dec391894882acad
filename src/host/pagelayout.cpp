#include "pagelayout.h"

#include "officeengine.h"
#include "officehostclient.h"

#include <QFileInfo>

#include <stdexcept>

void LayOutAsPdf(const QString& documentPath, const QString& pdfPath)
{
    const QString document = QFileInfo(documentPath).absoluteFilePath();
    if (!QFileInfo(document).isFile())
        throw std::runtime_error(
            QStringLiteral("the document %1 does not exist").arg(documentPath).toStdString());

    OfficeHostClient client(OfficeHostProgram());
    client.setProcessEventsWhileWaiting(false);
    const QString socketName = qEnvironmentVariable(kOfficeSocketVariable);
    if (!socketName.isEmpty())
        client.attach(socketName); // when it does not answer, the first call starts a host of our own
    const QJsonObject opened =
        client.call({{QStringLiteral("op"), QStringLiteral("open")}, {QStringLiteral("path"), document}});
    const int handle = opened.value(QStringLiteral("handle")).toInt();
    client.call({{QStringLiteral("op"), QStringLiteral("save")},
                 {QStringLiteral("handle"), handle},
                 {QStringLiteral("path"), QFileInfo(pdfPath).absoluteFilePath()},
                 {QStringLiteral("format"), int(kSaveFormatPdf)}});
    // Closing happens anyway when we disconnect; asking keeps a shared host tidy.
    client.call({{QStringLiteral("op"), QStringLiteral("close")}, {QStringLiteral("handle"), handle}});
}
