#include "settingsstore.h"

#include "steperror.h"

#include <QSettings>

namespace {
const QString kSection = QStringLiteral("Quillmark Converter Software");

QString keyPath(const QString& key)
{
    return kSection + QLatin1Char('/') + key;
}
} // namespace

SettingsStore::SettingsStore()
    : m_settings(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QStringLiteral("Velmora"),
                                             QStringLiteral("Quillmark Converter Software")))
{
}

SettingsStore::SettingsStore(const QString& iniFile)
    : m_settings(std::make_unique<QSettings>(iniFile, QSettings::IniFormat))
{
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::read(const QString& key, const QString& defaultText) const
{
    const QVariant value = m_settings->value(keyPath(key));
    if (!value.isValid())
        return defaultText;
    // An unquoted value with commas, as a hand-edited file may hold, comes back
    // as a list; it is still one text.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

void SettingsStore::write(const QString& key, const QString& value)
{
    m_settings->setValue(keyPath(key), value);
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        raiseStepError(QStringLiteral("The settings could not be saved to %1.").arg(m_settings->fileName()));
}

bool SettingsStore::parseTruth(const QString& text)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double number = t.toDouble(&ok);
    if (!ok)
        raiseStepError(QStringLiteral("Type mismatch"));
    return number != 0.0;
}

bool SettingsStore::readTruth(const QString& key, bool defaultValue) const
{
    return parseTruth(read(key, defaultValue ? QStringLiteral("1") : QStringLiteral("0")));
}

void SettingsStore::writeTruth(const QString& key, bool value)
{
    write(key, truthText(value));
}
