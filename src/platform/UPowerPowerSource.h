#pragma once

#include "power/PowerSource.h"

#include <QDBusConnection>

#include <filesystem>

namespace lullwatch {

// The machine's battery as UPower sees it, or as the kernel's power-supply
// folder shows it when UPower is not running.
class UPowerPowerSource final : public PowerSource {
public:
    explicit UPowerPowerSource(QDBusConnection systemBus, std::filesystem::path sysfsRoot = "/sys/class/power_supply");

    std::optional<std::vector<PowerSourceDescription>> read() override;

private:
    // None when UPower does not answer.
    std::optional<std::vector<PowerSourceDescription>> readUPower();
    std::optional<std::vector<PowerSourceDescription>> readSysfs() const;

    QDBusConnection m_systemBus;
    std::filesystem::path m_sysfsRoot;
};

} // namespace lullwatch
