#include "officehostclient.h"

#include "childprocess.h"
#include "officeengine.h"
#include "paths.h"
#include "workfolder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>
#include <unistd.h>

namespace {

// How long past its own limit a host may take to say that a page ran out of
// time, before it is taken for hung.
int graceFor(int timeLimitMs)
{
    return qBound(2000, timeLimitMs / 4, 15000);
}

QString secondsText(int milliseconds)
{
    return QString::number((milliseconds + 999) / 1000);
}

// A local socket's path has room for 107 bytes.
constexpr qsizetype kMostSocketPath = 107;
constexpr auto kSocketName = "/socket";

// The host's folder, in the program's own folder; where that lies too deep
// for a socket's path, in the one under the system's temporary folder.
std::unique_ptr<RunWorkFolder> MakeHostFolder()
{
    auto folder = std::make_unique<RunWorkFolder>(TempFolder(), QStringLiteral("host"));
    if (!folder->isValid() ||
        QFile::encodeName(folder->path() + QLatin1String(kSocketName)).size() <= kMostSocketPath)
        return folder;
    folder.reset();
    return std::make_unique<RunWorkFolder>(QStringLiteral("/tmp/quillmark-%1").arg(::getuid()),
                                           QStringLiteral("host"));
}

QString& hostProgramOverride()
{
    static QString path;
    return path;
}

} // namespace

void SetOfficeHostProgram(const QString& path)
{
    hostProgramOverride() = path;
}

QString OfficeHostProgram()
{
    return hostProgramOverride().isEmpty() ? ProgramFolder() + QStringLiteral("/quillmark-office")
                                           : hostProgramOverride();
}

OfficeHostClient::OfficeHostClient(QString hostProgram) : m_hostProgram(std::move(hostProgram)) {}

OfficeHostClient::~OfficeHostClient()
{
    stop();
}

void OfficeHostClient::forgetHostFolder()
{
    m_hostFolder.reset();
    m_logPath.clear();
}

bool OfficeHostClient::isRunning() const
{
    if (!m_connection.isConnected())
        return false;
    return m_attached || (m_process && m_process->state() != QProcess::NotRunning);
}

bool OfficeHostClient::attach(const QString& socketName)
{
    stop();
    if (!m_connection.connectTo(socketName, 2000))
        return false;
    m_attached = true;
    m_socketName = socketName;
    ++m_generation;
    return true;
}

qint64 OfficeHostClient::hostProcessId() const
{
    return m_process ? m_process->processId() : 0;
}

QString OfficeHostClient::hostStandardError()
{
    QFile log(m_logPath);
    if (m_logPath.isEmpty() || !log.open(QIODevice::ReadOnly))
        return {};
    if (log.size() > 65536)
        log.seek(log.size() - 65536);
    const QStringList lines = QString::fromLocal8Bit(log.readAll()).split(u'\n', Qt::SkipEmptyParts);
    // LibreOffice is chatty on standard error; our own reason is the last line.
    for (qsizetype i = lines.size() - 1; i >= 0; --i)
        if (lines[i].startsWith(QLatin1String("quillmark-office:")))
            return lines[i].mid(17).trimmed();
    return {};
}

void OfficeHostClient::stop()
{
    if (std::exchange(m_attached, false)) {
        m_connection.disconnect();
        m_socketName.clear();
        return;
    }
    if (m_connection.isConnected()) {
        QJsonObject reply;
        m_connection.request({{QStringLiteral("op"), QStringLiteral("exit")}}, 2000, false, reply);
    }
    m_connection.disconnect();
    if (m_process) {
        if (m_process->state() != QProcess::NotRunning && !m_process->waitForFinished(3000)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
        m_process.reset();
    }
    forgetHostFolder();
    m_socketName.clear();
}

void OfficeHostClient::start()
{
    stop();
    if (!QFileInfo(m_hostProgram).isExecutable())
        throw OfficeError(
            QStringLiteral("the office engine %1 is missing or cannot be run").arg(m_hostProgram));

    m_hostFolder = MakeHostFolder();
    if (!m_hostFolder->isValid()) {
        const QString problem = m_hostFolder->problem();
        forgetHostFolder();
        throw OfficeError(problem);
    }
    m_socketName = m_hostFolder->path() + QLatin1String(kSocketName);
    m_process = std::make_unique<QProcess>();
    // Standard error goes to a file: a pipe nobody reads while we wait on the
    // socket would fill up and stall a chatty LibreOffice.
    m_logPath = m_hostFolder->path() + QStringLiteral("/host.log");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), m_hostFolder->path());
    m_process->setProcessEnvironment(environment);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->setStandardErrorFile(m_logPath, QIODevice::Truncate);
    // The host must not outlive us even when we are killed.
    EndWithParent(*m_process, SIGKILL);
    m_process->start(m_hostProgram, {QStringLiteral("--socket"), m_socketName});
    if (!m_process->waitForStarted(10000)) {
        const QString reason = m_process->errorString();
        m_process.reset();
        forgetHostFolder();
        throw OfficeError(QStringLiteral("the office engine could not be started: %1").arg(reason));
    }
    ++m_generation;
    m_documentsOpened = 0;

    // The host listens only once its page engine is made.
    const QDeadlineTimer deadline(m_timeLimitMs);
    while (!m_connection.connectTo(m_socketName, 50)) {
        if (m_process->waitForFinished(50)) {
            const QString reason = hostStandardError();
            m_process.reset();
            forgetHostFolder();
            throw OfficeError(reason.isEmpty()
                                  ? QStringLiteral("the office engine ended while starting")
                                  : QStringLiteral("the office engine could not start: %1").arg(reason));
        }
        if (deadline.hasExpired()) {
            stop();
            throw OfficeError(QStringLiteral("the office engine did not start within %1 seconds")
                                  .arg(secondsText(m_timeLimitMs)));
        }
        if (m_processEvents && QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

void OfficeHostClient::ensureStarted()
{
    if (m_busy)
        throw OfficeError(QStringLiteral("the office engine is busy with another call"));
    if (isRunning() && m_documentsOpened < m_restartAfter)
        return;
    start();
}

void OfficeHostClient::letEnd()
{
    m_connection.disconnect();
    if (std::exchange(m_attached, false))
        return; // another process's host: its owner sees it go
    if (m_process && !m_process->waitForFinished(3000))
        m_process->kill();
    stop();
}

void OfficeHostClient::failLost(const QString& what)
{
    m_connection.disconnect();
    m_attached = false;
    if (m_process) {
        m_process->kill();
        m_process->waitForFinished(3000);
    }
    const QString reason = hostStandardError();
    m_process.reset();
    forgetHostFolder();
    m_socketName.clear();
    throw OfficeError(reason.isEmpty() ? what : what + QStringLiteral(": ") + reason);
}

QJsonObject OfficeHostClient::call(QJsonObject request)
{
    if (m_busy)
        throw OfficeError(QStringLiteral("the office engine is busy with another call"));
    struct Busy {
        bool& flag;
        explicit Busy(bool& f) : flag(f) { flag = true; }
        ~Busy() { flag = false; }
    } busy(m_busy);

    m_lastCallTimedOut = false;
    if (!isRunning())
        start();
    request.insert(QStringLiteral("timeLimitMs"), m_timeLimitMs);
    QJsonObject reply;
    switch (m_connection.request(request, m_timeLimitMs + graceFor(m_timeLimitMs), m_processEvents, reply)) {
    case OfficeConnection::Outcome::TimedOut:
        m_lastCallTimedOut = true;
        failLost(QStringLiteral("the office engine did not answer within %1 seconds")
                     .arg(secondsText(m_timeLimitMs)));
    case OfficeConnection::Outcome::Lost:
        failLost(QStringLiteral("the office engine stopped unexpectedly"));
    case OfficeConnection::Outcome::Replied:
        break;
    }
    if (reply.value(QStringLiteral("ending")).toBool())
        letEnd();
    if (!reply.value(QStringLiteral("ok")).toBool())
        throw OfficeError(
            reply.value(QStringLiteral("error")).toString(QStringLiteral("the office engine failed")));
    return reply;
}

OfficeHostClient& SharedOfficeHost()
{
    static OfficeHostClient* client = [] {
        auto* made = new OfficeHostClient(OfficeHostProgram());
        // End the host while the application still exists, not during static
        // destruction.
        qAddPostRoutine([] { SharedOfficeHost().stop(); });
        return made;
    }();
    return *client;
}
