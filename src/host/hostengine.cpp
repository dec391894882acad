#include "officeengine.h"
#include "officehostclient.h"

#include <QFileInfo>
#include <QList>

namespace {

QJsonObject openRequest(const OpenOptions& options)
{
    // Of the open options only the file means something to our engines: they
    // never ask before converting, keep no recent list, and tell the format
    // from the file itself (Format 0).
    return {{QStringLiteral("op"), QStringLiteral("open")},
            {QStringLiteral("path"), QFileInfo(options.FileName).absoluteFilePath()}};
}

class HostDocument : public OfficeDocument {
public:
    HostDocument(OfficeHostClient& client, int generation, int handle)
        : m_client(client), m_generation(generation), m_handle(handle)
    {
    }

    void saveAs(const SaveOptions& options) override
    {
        if (m_generation != m_client.generation() || !m_client.isRunning())
            throw OfficeError(
                QStringLiteral("the office engine was restarted; the document is no longer open"));
        if (options.FileName.isEmpty())
            throw OfficeError(QStringLiteral("no file name was given to save to"));
        QJsonObject request{{QStringLiteral("op"), QStringLiteral("save")},
                            {QStringLiteral("handle"), m_handle},
                            {QStringLiteral("path"), QFileInfo(options.FileName).absoluteFilePath()},
                            {QStringLiteral("format"), int(options.FileFormat)}};
        if (!options.TextFileName.isEmpty())
            request.insert(QStringLiteral("textPath"), QFileInfo(options.TextFileName).absoluteFilePath());
        m_client.call(request);
    }

private:
    OfficeHostClient& m_client;
    int m_generation;
    int m_handle;
};

class HostApplication : public OfficeApplication {
public:
    explicit HostApplication(OfficeHostClient& client) : m_client(client), m_generation(client.generation())
    {
    }

    QString name() override { return QStringLiteral("Quillmark page engine"); }

    std::unique_ptr<OfficeDocument> open(const OpenOptions& options) override
    {
        if (m_generation != m_client.generation())
            throw OfficeError(QStringLiteral("the office engine was restarted; create a new instance"));
        if (options.FileName.isEmpty())
            throw OfficeError(QStringLiteral("no document was named"));
        m_client.noteDocumentOpened();
        const QJsonObject reply = m_client.call(openRequest(options));
        const int handle = reply.value(QStringLiteral("handle")).toInt();
        m_handles.append(handle);
        return std::make_unique<HostDocument>(m_client, m_generation, handle);
    }

    // Releases our documents; the host itself stays warm for the next message.
    void quit() override
    {
        const QList<int> handles = std::exchange(m_handles, {});
        if (m_generation != m_client.generation() || !m_client.isRunning())
            return; // the host that held them is gone, and with it the documents
        for (const int handle : handles)
            m_client.call(
                {{QStringLiteral("op"), QStringLiteral("close")}, {QStringLiteral("handle"), handle}});
    }

private:
    OfficeHostClient& m_client;
    int m_generation;
    QList<int> m_handles;
};

class HostEngine : public OfficeEngine {
public:
    std::unique_ptr<OfficeApplication> create() override
    {
        OfficeHostClient& client = SharedOfficeHost();
        client.ensureStarted();
        const QJsonObject ping{{QStringLiteral("op"), QStringLiteral("ping")}};
        try {
            client.call(ping);
        } catch (const OfficeError&) {
            // A host that ended between two messages (crashed, killed) is only
            // noticed now; that is no reason to fail this message.
            if (client.isRunning() || client.lastCallTimedOut())
                throw;
            client.ensureStarted();
            client.call(ping);
        }
        return std::make_unique<HostApplication>(client);
    }

    // Our engines run in a host of their own that nobody else shares, so
    // there is no running instance to attach to.
    std::unique_ptr<OfficeApplication> attach() override { return nullptr; }
};

} // namespace

OfficeEngine& ProgramOfficeEngine()
{
    static HostEngine engine;
    return engine;
}

QString OfficeHostSocketName()
{
    OfficeHostClient& client = SharedOfficeHost();
    return client.isRunning() ? client.socketName() : QString();
}

void SetOfficeCallTimeLimit(int milliseconds)
{
    SharedOfficeHost().setTimeLimit(milliseconds);
}

int OfficeCallTimeLimit()
{
    return SharedOfficeHost().timeLimit();
}
