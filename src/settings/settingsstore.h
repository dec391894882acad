#pragma once

#include <QString>
#include <memory>

class QSettings;

// The per-user store of the program's choices: every value a text, addressed
// by application "Velmora", section "Quillmark Converter Software" and key.
// Values are written the moment they change, never at shutdown.
class SettingsStore {
public:
    // The user's own store.
    SettingsStore();
    // A store in a given file (tests, never the user's).
    explicit SettingsStore(const QString& iniFile);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    QString read(const QString& key, const QString& defaultText = {}) const;
    void write(const QString& key, const QString& value);

    // "True"/"False" in any case, or a number (0 false, others true). Any
    // other text throws StepError, as the conversion of such a value fails.
    bool readTruth(const QString& key, bool defaultValue) const;
    void writeTruth(const QString& key, bool value);

    static QString truthText(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }
    static bool parseTruth(const QString& text);

private:
    std::unique_ptr<QSettings> m_settings;
};
