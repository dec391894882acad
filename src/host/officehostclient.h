#pragma once

#include "officeconnection.h"

#include <QJsonObject>
#include <QString>
#include <memory>

class QProcess;
class RunWorkFolder;

// Starts the quillmark-office host, keeps it warm and talks to it. Every call
// has a time limit, which the host holds a page to; a host that does not
// answer even a little past it is killed and the call fails. A host that dies
// fails only the call under way; the next call starts a new one.
class OfficeHostClient {
public:
    static constexpr int kDefaultCallTimeLimitMs = 60000;

    explicit OfficeHostClient(QString hostProgram);
    ~OfficeHostClient();
    OfficeHostClient(const OfficeHostClient&) = delete;
    OfficeHostClient& operator=(const OfficeHostClient&) = delete;

    // Starts the host unless it runs. Throws OfficeError.
    void ensureStarted();
    // Uses a host that another process started and owns (the window's, for
    // the page renderer of its run) instead of starting one; false when none
    // answers under that name. Stopping only disconnects from it.
    bool attach(const QString& socketName);
    // Sends a request (starting the host when needed) and returns the reply of
    // a successful call. Throws OfficeError with the engine's text otherwise.
    QJsonObject call(QJsonObject request);
    // Ends the host (politely, then by force).
    void stop();

    bool isRunning() const;
    QString socketName() const { return m_socketName; }
    qint64 hostProcessId() const;
    // Counts host starts, so documents of an ended host are recognised.
    int generation() const { return m_generation; }

    void setTimeLimit(int milliseconds) { m_timeLimitMs = milliseconds; }
    int timeLimit() const { return m_timeLimitMs; }
    void setProcessEventsWhileWaiting(bool on) { m_processEvents = on; }

    // Documents opened by the running host; after `restartAfter` of them the
    // next ensureStarted() starts a fresh host to bound its memory.
    void noteDocumentOpened() { ++m_documentsOpened; }
    void setRestartAfter(int documents) { m_restartAfter = documents; }

    // Whether the last failed call ran into the time limit (rather than
    // finding the host gone).
    bool lastCallTimedOut() const { return m_lastCallTimedOut; }

private:
    void start();
    [[noreturn]] void failLost(const QString& what);
    // The host said it ends after this reply: let it go, so the next call
    // starts a fresh one.
    void letEnd();
    QString hostStandardError();
    void forgetHostFolder();

    QString m_hostProgram;
    std::unique_ptr<QProcess> m_process;
    OfficeConnection m_connection;
    // The host's socket, its standard error and its temporary files (those
    // of LibreOffice and the page engine) in a folder of its own, which goes
    // with the host; one that a killed client left is cleared by the next.
    std::unique_ptr<RunWorkFolder> m_hostFolder;
    QString m_socketName;
    QString m_logPath; // the host's standard error
    int m_generation = 0;
    int m_timeLimitMs = kDefaultCallTimeLimitMs;
    bool m_attached = false;
    bool m_processEvents = true;
    bool m_busy = false;
    int m_documentsOpened = 0;
    int m_restartAfter = 200;
    bool m_lastCallTimedOut = false;
};

// The host program the shared engine starts: quillmark-office in the program
// folder unless set otherwise (tests run from another folder).
void SetOfficeHostProgram(const QString& path);
QString OfficeHostProgram();

// The client behind ProgramOfficeEngine(), created on first use.
OfficeHostClient& SharedOfficeHost();
