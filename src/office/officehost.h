#pragma once

#include <QHash>
#include <QJsonObject>
#include <QLocalServer>
#include <QObject>
#include <map>
#include <memory>

class LokDocument;
class QLocalSocket;

// The server side of the office host. The first client to connect owns the
// host: when it disconnects the host ends. Further clients (the page renderer
// of the same run) are served too, one request at a time, and their documents
// are closed when they leave.
class OfficeHost : public QObject
{
    Q_OBJECT
public:
    explicit OfficeHost(QObject* parent = nullptr);
    ~OfficeHost() override;

    // Listens under `socketName`, reachable only by this user. Returns false
    // (with the reason in errorString) when the name cannot be used.
    bool listen(const QString& socketName);
    QString errorString() const { return m_server.errorString(); }

    // Handles one request; public so the protocol can be tested without a socket.
    QJsonObject handle(const QJsonObject& request, QLocalSocket* client);

signals:
    void finished();

private:
    void onNewConnection();
    void onReadyRead(QLocalSocket* client);
    void onDisconnected(QLocalSocket* client);
    void closeDocumentsOf(QLocalSocket* client);

    struct OpenDocument {
        std::unique_ptr<LokDocument> document;
        QLocalSocket* client = nullptr;
    };

    QLocalServer m_server;
    QLocalSocket* m_owner = nullptr;
    std::map<int, OpenDocument> m_documents;
    int m_nextHandle = 1;
    int m_opened = 0;
};

// Peak resident memory of this process in kB (0 when unknown).
qint64 PeakMemoryKb();
