#include "SettingsPreferenceStore.h"

#include "files/XdgPaths.h"

#include <QFile>

namespace lullwatch {

namespace {

QString toQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

SettingsPreferenceStore::SettingsPreferenceStore(const QString &filePath)
    : m_settings(filePath, QSettings::IniFormat)
{ }

QString SettingsPreferenceStore::defaultFilePath()
{
    return QFile::decodeName((configHomeDirectory() / "lullwatch" / "lullwatch.conf").c_str());
}

std::optional<std::string> SettingsPreferenceStore::readString(std::string_view key) const
{
    const QVariant value = m_settings.value(toQString(key));
    if (!value.isValid())
        return std::nullopt;
    // An unquoted value with commas in it reads back as a list.
    if (value.metaType() == QMetaType::fromType<QStringList>())
        return value.toStringList().join(QStringLiteral(", ")).toStdString();
    return value.toString().toStdString();
}

std::optional<bool> SettingsPreferenceStore::readBool(std::string_view key) const
{
    const auto text = readString(key);
    if (text == "true" || text == "1")
        return true;
    if (text == "false" || text == "0")
        return false;
    return std::nullopt;
}

void SettingsPreferenceStore::writeString(std::string_view key, std::string_view value)
{
    m_settings.setValue(toQString(key), toQString(value));
    m_settings.sync(); // another process (a second instance, the status command) reads the file
}

void SettingsPreferenceStore::writeBool(std::string_view key, bool value)
{
    m_settings.setValue(toQString(key), value);
    m_settings.sync();
}

} // namespace lullwatch
