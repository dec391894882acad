#include "officehost.h"

#include "lokruntime.h"
#include "mhtmlreader.h"
#include "officeconnection.h"
#include "officeengine.h"
#include "pageengine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLocalSocket>
#include <QTimer>
#include <QtWebEngineCore/qtwebenginecoreglobal.h>

namespace {

constexpr int kDefaultPageTimeLimitMs = 60000;

QJsonObject success(QJsonObject reply = {})
{
    reply.insert(QStringLiteral("ok"), true);
    return reply;
}

QJsonObject failureReply(const QString& error)
{
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}};
}

bool isMailPage(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return LooksLikeMhtml(path) || suffix == QLatin1String("html") || suffix == QLatin1String("htm");
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

OfficeHost::OfficeHost(QObject* parent) : QObject(parent), m_pages(std::make_unique<PageEngine>())
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
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            while (client->canReadLine())
                m_queue.push_back({client, client->readLine()});
            dispatch();
        });
        connect(client, &QLocalSocket::disconnected, this, [this, client] { onDisconnected(client); });
    }
}

// Requests are served one at a time, in the order they came, whichever
// client sent them; a page being laid out is waited for in the event loop.
void OfficeHost::dispatch()
{
    while (!m_busy && !m_queue.empty()) {
        const Request next = m_queue.front();
        m_queue.pop_front();
        if (!next.client)
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(next.line);
        m_busy = true;
        const QPointer<QLocalSocket> client = next.client;
        auto reply = [this, client](QJsonObject answer) {
            m_busy = false;
            // A spent page engine is not trusted with another page: the host
            // ends, and says so, so that the client starts a fresh one for the
            // next message instead of finding this one gone.
            const bool ending = answer.value(QStringLiteral("exit")).toBool() || m_pages->needsReplacement();
            if (ending)
                answer.insert(QStringLiteral("ending"), true);
            if (client) {
                client->write(EncodeOfficeMessage(answer));
                client->flush();
            }
            if (ending) {
                if (client)
                    client->waitForBytesWritten(1000);
                emit finished();
                return;
            }
            QTimer::singleShot(0, this, &OfficeHost::dispatch);
        };
        if (document.isObject())
            handle(document.object(), client, reply);
        else
            reply(failureReply(QStringLiteral("the request is not readable")));
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

QJsonObject OfficeHost::open(const QString& path, QLocalSocket* client)
{
    if (path.isEmpty())
        return failureReply(QStringLiteral("no document was named"));
    OpenDocument document;
    document.client = client;
    if (isMailPage(path)) {
        const QFileInfo info(path);
        if (!info.isFile())
            return failureReply(QStringLiteral("the document %1 does not exist").arg(path));
        document.page =
            std::make_shared<const MailPage>(LooksLikeMhtml(path) ? ReadMhtmlPage(path) : ReadHtmlPage(path));
    } else {
        document.office = LokRuntime::instance().load(path);
    }
    const int handle = m_nextHandle++;
    ++m_opened;
    m_documents[handle] = std::move(document);
    return success({{QStringLiteral("handle"), handle}});
}

void OfficeHost::save(const QJsonObject& request, const Reply& reply)
{
    const auto it = m_documents.find(request.value(QStringLiteral("handle")).toInt());
    if (it == m_documents.end())
        return reply(failureReply(QStringLiteral("the document is not open")));
    const int fileFormat = request.value(QStringLiteral("format")).toInt(-1);
    const QString path = request.value(QStringLiteral("path")).toString();
    const QString textPath = request.value(QStringLiteral("textPath")).toString();
    if (path.isEmpty())
        return reply(failureReply(QStringLiteral("no file name was given to save to")));
    if (!QFileInfo(path).absoluteDir().exists())
        return reply(
            failureReply(QStringLiteral("the folder %1 does not exist").arg(QFileInfo(path).absolutePath())));

    if (it->second.office) {
        LokDocument& office = *it->second.office;
        const QString format = LokFormatName(fileFormat);
        if (format.isEmpty())
            return reply(failureReply(QStringLiteral("the save format %1 is not supported").arg(fileFormat)));
        if (fileFormat == kSaveFormatText)
            office.saveText(path);
        else
            office.saveAs(path, format);
        if (textPath.isEmpty())
            return reply(success());
        // The pages stand without the text: a document whose kind has no
        // text export (a drawing) still has its images.
        try {
            office.saveText(textPath);
        } catch (const std::exception& error) {
            return reply(success({{QStringLiteral("textError"), QString::fromUtf8(error.what())}}));
        }
        return reply(success());
    }
    if (fileFormat != kSaveFormatPdf)
        return reply(
            failureReply(QStringLiteral("a mail page is saved only as PDF (format %1), not as format %2")
                             .arg(kSaveFormatPdf)
                             .arg(fileFormat)));
    const int timeLimit = request.value(QStringLiteral("timeLimitMs")).toInt(kDefaultPageTimeLimitMs);
    m_pages->printToPdf(
        it->second.page, path, textPath, PageGeometry::forLocale(), timeLimit,
        [reply, path](const QString& error) {
            if (!error.isEmpty())
                reply(failureReply(error));
            else if (!QFileInfo(path).isFile())
                reply(failureReply(
                    QStringLiteral("the page engine reported %1 saved, but it is not there").arg(path)));
            else
                reply(success());
        });
}

void OfficeHost::handle(const QJsonObject& request, QLocalSocket* client, const Reply& reply)
{
    const QString op = request.value(QStringLiteral("op")).toString();
    try {
        if (op == QLatin1String("ping"))
            return reply(
                success({{QStringLiteral("name"), QStringLiteral("Qt WebEngine")},
                         {QStringLiteral("version"), QString::fromLatin1(qWebEngineChromiumVersion())},
                         {QStringLiteral("opened"), m_opened},
                         {QStringLiteral("refused"), m_pages->refusedRequests()},
                         {QStringLiteral("peakMemoryKb"), double(PeakMemoryKb())}}));
        if (op == QLatin1String("open"))
            return reply(open(request.value(QStringLiteral("path")).toString(), client));
        if (op == QLatin1String("save"))
            return save(request, reply);
        if (op == QLatin1String("close")) {
            m_documents.erase(request.value(QStringLiteral("handle")).toInt());
            return reply(success());
        }
        if (op == QLatin1String("exit"))
            return reply(success({{QStringLiteral("exit"), true}}));
        reply(failureReply(QStringLiteral("unknown request \"%1\"").arg(op)));
    } catch (const std::exception& e) {
        reply(failureReply(QString::fromUtf8(e.what())));
    }
}
