#pragma once

#include "form1.h"
#include "scripteddialogs.h"
#include "settingsstore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

// A Form1 over a temporary program folder and a temporary settings store,
// never the user's. The program folder holds the shipped skin and cursor
// files unless a test asks for a bare one.
struct FormFixture {
    QTemporaryDir dir;
    QString programFolder = dir.filePath(QStringLiteral("program"));
    QString settingsFile = dir.filePath(QStringLiteral("settings.ini"));
    ScriptedDialogs dialogs;
    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<Form1> form;
    QStringList calls;
    int homePageNumber = 50;
    bool officeCanStart = true;
    Form1* converted = nullptr;

    explicit FormFixture(bool withResources = true)
    {
        QDir().mkpath(programFolder + QStringLiteral("/x"));
        if (withResources) {
            const QString resources = QStringLiteral(QM_SOURCE_DIR "/resources/");
            for (const char* name : {"x/o.cjs", "HAND-M.CUR", "drag.ico"})
                QFile::copy(resources + QLatin1String(name),
                            programFolder + QLatin1Char('/') + QLatin1String(name));
        }
        settings = std::make_unique<SettingsStore>(settingsFile);
    }

    void store(const QString& key, const QString& value) { settings->write(key, value); }

    Form1& create()
    {
        Form1::Hooks hooks;
        hooks.checkOfficeCanStart = [this] {
            calls << QStringLiteral("office check");
            return officeCanStart;
        };
        hooks.startConverting = [this](Form1& f) {
            converted = &f;
            calls << QStringLiteral("convert");
        };
        hooks.drawHomePageNumber = [this] { return homePageNumber; };
        hooks.endProcess = [this] { calls << QStringLiteral("end process"); };
        form = std::make_unique<Form1>(dialogs, *settings, std::move(hooks), programFolder);
        return *form;
    }

    Form1& load()
    {
        create().Form_Load();
        return *form;
    }

    Form1& loadAndShow()
    {
        load();
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            qWarning("window not exposed");
        return *form;
    }

    template <typename T> T* child(const char* name) const
    {
        return form->findChild<T*>(QLatin1String(name));
    }
};
