#include "officeconnection.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QLocalSocket>

QByteArray EncodeOfficeMessage(const QJsonObject& message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

OfficeConnection::OfficeConnection() = default;
OfficeConnection::~OfficeConnection() = default;

bool OfficeConnection::connectTo(const QString& socketName, int waitMs)
{
    m_socket = std::make_unique<QLocalSocket>();
    m_socket->connectToServer(socketName);
    if (m_socket->waitForConnected(waitMs))
        return true;
    m_socket.reset();
    return false;
}

bool OfficeConnection::isConnected() const
{
    return m_socket && m_socket->state() == QLocalSocket::ConnectedState;
}

void OfficeConnection::disconnect()
{
    if (m_socket) {
        m_socket->abort();
        m_socket.reset();
    }
}

OfficeConnection::Outcome OfficeConnection::request(const QJsonObject& request, int timeLimitMs,
                                                    bool processEvents, QJsonObject& reply)
{
    if (!isConnected())
        return Outcome::Lost;
    m_socket->write(EncodeOfficeMessage(request));
    const QDeadlineTimer deadline(timeLimitMs);
    for (;;) {
        if (m_socket->canReadLine()) {
            const QJsonDocument document = QJsonDocument::fromJson(m_socket->readLine());
            if (!document.isObject())
                return Outcome::Lost; // a host that garbles its replies is as good as gone
            reply = document.object();
            return Outcome::Replied;
        }
        if (m_socket->state() != QLocalSocket::ConnectedState)
            return Outcome::Lost;
        if (deadline.hasExpired())
            return Outcome::TimedOut;
        m_socket->flush();
        m_socket->waitForReadyRead(
            processEvents ? 20 : int(qMin<qint64>(200, qMax<qint64>(1, deadline.remainingTime()))));
        if (processEvents && QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}
