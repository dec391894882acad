#include "officehost.h"

#include "lokruntime.h"
#include "officeconnection.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLocalSocket>

namespace
{

QJsonObject success(QJsonObject reply = {})
{
    reply.insert(QStringLiteral("ok"), true);
    return reply;
}

QJsonObject failureReply(const QString& error)
{
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}};
}

} // namespace

qint64 PeakMemoryKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

OfficeHost::OfficeHost(QObject* parent) : QObject(parent)
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &OfficeHost::onNewConnection);
}

OfficeHost::~OfficeHost() = default;

bool OfficeHost::listen(const QString& socketName)
{
    QLocalServer::removeServer(socketName);
    return m_server.listen(socketName);
}

void OfficeHost::onNewConnection()
{
    while (QLocalSocket* client = m_server.nextPendingConnection()) {
        if (!m_owner)
            m_owner = client;
        connect(client, &QLocalSocket::readyRead, this, [this, client] { onReadyRead(client); });
        connect(client, &QLocalSocket::disconnected, this, [this, client] { onDisconnected(client); });
    }
}

void OfficeHost::onReadyRead(QLocalSocket* client)
{
    while (client->canReadLine()) {
        const QJsonDocument document = QJsonDocument::fromJson(client->readLine());
        const QJsonObject reply = document.isObject()
                                      ? handle(document.object(), client)
                                      : failureReply(QStringLiteral("the request is not readable"));
        client->write(EncodeOfficeMessage(reply));
        client->flush();
        if (reply.value(QStringLiteral("exit")).toBool()) {
            client->waitForBytesWritten(1000);
            emit finished();
            return;
        }
    }
}

void OfficeHost::onDisconnected(QLocalSocket* client)
{
    closeDocumentsOf(client);
    client->deleteLater();
    if (client == m_owner)
        emit finished();
}

void OfficeHost::closeDocumentsOf(QLocalSocket* client)
{
    for (auto it = m_documents.begin(); it != m_documents.end();)
        it = it->second.client == client ? m_documents.erase(it) : std::next(it);
}

QJsonObject OfficeHost::handle(const QJsonObject& request, QLocalSocket* client)
{
    const QString op = request.value(QStringLiteral("op")).toString();
    try {
        if (op == QLatin1String("ping")) {
            LokRuntime& runtime = LokRuntime::instance();
            return success({{QStringLiteral("name"), QStringLiteral("LibreOffice")},
                            {QStringLiteral("version"), runtime.version()},
                            {QStringLiteral("opened"), m_opened},
                            {QStringLiteral("peakMemoryKb"), double(PeakMemoryKb())}});
        }
        if (op == QLatin1String("open")) {
            const QString path = request.value(QStringLiteral("path")).toString();
            if (path.isEmpty())
                return failureReply(QStringLiteral("no document was named"));
            auto document = LokRuntime::instance().load(path);
            const int handle = m_nextHandle++;
            ++m_opened;
            m_documents[handle] = {std::move(document), client};
            return success({{QStringLiteral("handle"), handle}});
        }
        if (op == QLatin1String("save")) {
            const auto it = m_documents.find(request.value(QStringLiteral("handle")).toInt());
            if (it == m_documents.end())
                return failureReply(QStringLiteral("the document is not open"));
            const int fileFormat = request.value(QStringLiteral("format")).toInt(-1);
            const QString format = LokFormatName(fileFormat);
            if (format.isEmpty())
                return failureReply(QStringLiteral("the save format %1 is not supported").arg(fileFormat));
            const QString path = request.value(QStringLiteral("path")).toString();
            if (path.isEmpty())
                return failureReply(QStringLiteral("no file name was given to save to"));
            it->second.document->saveAs(path, format);
            return success();
        }
        if (op == QLatin1String("close")) {
            m_documents.erase(request.value(QStringLiteral("handle")).toInt());
            return success();
        }
        if (op == QLatin1String("exit"))
            return success({{QStringLiteral("exit"), true}});
        return failureReply(QStringLiteral("unknown request \"%1\"").arg(op));
    } catch (const std::exception& e) {
        return failureReply(QString::fromUtf8(e.what()));
    }
}
