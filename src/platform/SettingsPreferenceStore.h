#pragma once

#include "app/PreferenceStore.h"

#include <QSettings>
#include <QString>

namespace lullwatch {

// The preferences in an INI file. INI keeps no types, so booleans are read
// back from their text.
class SettingsPreferenceStore final : public PreferenceStore {
public:
    explicit SettingsPreferenceStore(const QString &filePath);

    // $XDG_CONFIG_HOME/lullwatch/lullwatch.conf
    static QString defaultFilePath();

    std::optional<std::string> readString(std::string_view key) const override;
    std::optional<bool> readBool(std::string_view key) const override;
    void writeString(std::string_view key, std::string_view value) override;
    void writeBool(std::string_view key, bool value) override;

private:
    QSettings m_settings;
};

} // namespace lullwatch
