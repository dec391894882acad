#pragma once

#include <QJsonObject>
#include <QString>
#include <memory>

class QLocalSocket;

// One client connection to an office host. Requests and replies are single
// lines of compact JSON; a reply has "ok" and, when false, "error" with the
// engine's text.
class OfficeConnection {
public:
    OfficeConnection();
    ~OfficeConnection();

    // Tries once to connect; false when nothing answers under that name.
    bool connectTo(const QString& socketName, int waitMs);
    bool isConnected() const;
    void disconnect();

    enum class Outcome { Replied, TimedOut, Lost };
    // Sends one request and waits up to `timeLimitMs` for its reply. While
    // waiting it may process the application's events (so a window stays
    // alive). On TimedOut or Lost `reply` is untouched.
    Outcome request(const QJsonObject& request, int timeLimitMs, bool processEvents, QJsonObject& reply);

private:
    std::unique_ptr<QLocalSocket> m_socket;
};

QByteArray EncodeOfficeMessage(const QJsonObject& message);
