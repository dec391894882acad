#include "pagelayout.h"

#include "lokruntime.h"
#include "officeconnection.h"
#include "officeengine.h"

#include <QFileInfo>

#include <stdexcept>

namespace
{

constexpr int kLayoutTimeLimitMs = 120000;

std::runtime_error failure(const QString& text)
{
    return std::runtime_error(text.simplified().toStdString());
}

// Returns false when the host does not answer at all, so the caller can lay
// the document out itself; throws when the host answers with an error.
bool layOutThroughHost(const QString& socketName, const QString& documentPath, const QString& pdfPath)
{
    OfficeConnection connection;
    if (!connection.connectTo(socketName, 2000))
        return false;
    QJsonObject reply;
    auto ask = [&](const QJsonObject& request) {
        switch (connection.request(request, kLayoutTimeLimitMs, false, reply)) {
        case OfficeConnection::Outcome::TimedOut:
            throw failure(QStringLiteral("the office engine did not answer within %1 seconds")
                              .arg(kLayoutTimeLimitMs / 1000));
        case OfficeConnection::Outcome::Lost:
            throw failure(QStringLiteral("the office engine stopped unexpectedly"));
        case OfficeConnection::Outcome::Replied:
            break;
        }
        if (!reply.value(QStringLiteral("ok")).toBool())
            throw failure(
                reply.value(QStringLiteral("error")).toString(QStringLiteral("the office engine failed")));
    };
    ask({{QStringLiteral("op"), QStringLiteral("open")}, {QStringLiteral("path"), documentPath}});
    const int handle = reply.value(QStringLiteral("handle")).toInt();
    ask({{QStringLiteral("op"), QStringLiteral("save")},
         {QStringLiteral("handle"), handle},
         {QStringLiteral("path"), pdfPath},
         {QStringLiteral("format"), int(kSaveFormatPdf)}});
    // Closing happens anyway when we disconnect; asking keeps the host tidy.
    connection.request({{QStringLiteral("op"), QStringLiteral("close")}, {QStringLiteral("handle"), handle}},
                       kLayoutTimeLimitMs, false, reply);
    return true;
}

} // namespace

void LayOutAsPdf(const QString& documentPath, const QString& pdfPath)
{
    const QString document = QFileInfo(documentPath).absoluteFilePath();
    const QString pdf = QFileInfo(pdfPath).absoluteFilePath();
    if (!QFileInfo(document).isFile())
        throw failure(QStringLiteral("the document %1 does not exist").arg(documentPath));

    const QString socketName = qEnvironmentVariable(kOfficeSocketVariable);
    if (!socketName.isEmpty() && layOutThroughHost(socketName, document, pdf))
        return;
    try {
        LokRuntime::instance().load(document)->saveAs(pdf, QStringLiteral("pdf"));
    } catch (const std::exception& e) {
        throw failure(QString::fromUtf8(e.what()));
    }
}
