#pragma once

#include <QJsonObject>
#include <QLocalServer>
#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>
#include <map>
#include <memory>

class LokDocument;
class PageEngine;
class QLocalSocket;
struct MailPage;

// The server side of the office host. Mail pages are laid out by the page
// engine (Qt WebEngine), office documents by LibreOffice, which is loaded only
// when the first office document arrives. The first client to connect owns the
// host: when it disconnects the host ends. Further clients (the page renderer
// of the same run) are served too, one request at a time, and their documents
// are closed when they leave.
class OfficeHost : public QObject {
    Q_OBJECT
public:
    explicit OfficeHost(QObject* parent = nullptr);
    ~OfficeHost() override;

    // Listens under `socketName`, reachable only by this user. Returns false
    // (with the reason in errorString) when the name cannot be used.
    bool listen(const QString& socketName);
    QString errorString() const { return m_server.errorString(); }

    // Handles one request; `reply` is called once, maybe later from the event
    // loop. Public so the protocol can be tested without a socket.
    using Reply = std::function<void(const QJsonObject&)>;
    void handle(const QJsonObject& request, QLocalSocket* client, const Reply& reply);

signals:
    void finished();

private:
    void onNewConnection();
    void onDisconnected(QLocalSocket* client);
    void dispatch();
    void closeDocumentsOf(QLocalSocket* client);
    QJsonObject open(const QString& path, QLocalSocket* client);
    void save(const QJsonObject& request, const Reply& reply);

    struct OpenDocument {
        std::shared_ptr<const MailPage> page;
        std::unique_ptr<LokDocument> office;
        QLocalSocket* client = nullptr;
    };
    struct Request {
        QPointer<QLocalSocket> client;
        QByteArray line;
    };

    QLocalServer m_server;
    std::unique_ptr<PageEngine> m_pages;
    QLocalSocket* m_owner = nullptr;
    std::map<int, OpenDocument> m_documents;
    std::deque<Request> m_queue;
    bool m_busy = false;
    int m_nextHandle = 1;
    int m_opened = 0;
};

// Peak resident memory of this process in kB (0 when unknown).
qint64 PeakMemoryKb();
