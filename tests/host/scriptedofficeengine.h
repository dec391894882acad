#pragma once

#include "officeengine.h"

#include <QFile>
#include <QStringList>

// An office engine whose calls succeed or fail as the test sets, recording
// each call in order. A successful save writes a small RTF file; a failing
// one can leave half a file behind, as a real engine may.
class ScriptedOfficeEngine : public OfficeEngine {
public:
    QStringList calls;
    bool failCreate = false;
    bool failOpen = false;
    bool failSave = false;
    bool failQuit = false;
    bool leavePartialFileOnFailedSave = false;
    QString runningName; // empty: nothing to attach to
    bool failAttach = false;
    OpenOptions lastOpen;
    SaveOptions lastSave;
    // What a successful save writes; a test that counts pages puts a PDF here.
    QByteArray savedBytes = "{\\rtf1 page}";

    std::unique_ptr<OfficeApplication> create() override
    {
        calls << QStringLiteral("create");
        if (failCreate)
            throw OfficeError(QStringLiteral("cannot create the engine"));
        return std::make_unique<Application>(*this, QStringLiteral("LibreOffice"));
    }

    std::unique_ptr<OfficeApplication> attach() override
    {
        calls << QStringLiteral("attach");
        if (failAttach)
            throw OfficeError(QStringLiteral("the running instance does not answer"));
        if (runningName.isEmpty())
            return nullptr;
        return std::make_unique<Application>(*this, runningName);
    }

private:
    class Document : public OfficeDocument {
    public:
        explicit Document(ScriptedOfficeEngine& engine) : m_engine(engine) {}
        void saveAs(const SaveOptions& options) override
        {
            m_engine.calls << QStringLiteral("save %1").arg(options.FileFormat);
            m_engine.lastSave = options;
            QFile file(options.FileName);
            if (m_engine.failSave) {
                if (m_engine.leavePartialFileOnFailedSave && file.open(QIODevice::WriteOnly))
                    file.write("{\\rtf1 half");
                throw OfficeError(QStringLiteral("the disk is full"));
            }
            if (!file.open(QIODevice::WriteOnly))
                throw OfficeError(QStringLiteral("cannot write %1").arg(options.FileName));
            file.write(m_engine.savedBytes);
        }

    private:
        ScriptedOfficeEngine& m_engine;
    };

    class Application : public OfficeApplication {
    public:
        Application(ScriptedOfficeEngine& engine, QString name) : m_engine(engine), m_name(std::move(name)) {}
        QString name() override
        {
            m_engine.calls << QStringLiteral("name");
            return m_name;
        }
        std::unique_ptr<OfficeDocument> open(const OpenOptions& options) override
        {
            m_engine.calls << QStringLiteral("open");
            m_engine.lastOpen = options;
            if (m_engine.failOpen)
                throw OfficeError(QStringLiteral("the page cannot be read"));
            return std::make_unique<Document>(m_engine);
        }
        void quit() override
        {
            m_engine.calls << QStringLiteral("quit");
            if (m_engine.failQuit)
                throw OfficeError(QStringLiteral("the engine is busy"));
        }

    private:
        ScriptedOfficeEngine& m_engine;
        QString m_name;
    };
};
