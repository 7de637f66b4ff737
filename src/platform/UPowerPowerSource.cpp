#include "UPowerPowerSource.h"

#include "files/Files.h"

#include <QDBusArgument>
#include <QDBusMessage>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace lullwatch {

namespace {

constexpr int propertyTimeoutMs = 200;
constexpr std::uint32_t batteryDeviceType = 2;

// Properties of one UPower object; none when UPower does not answer. The
// call does not start UPower: without it the kernel's folder is read.
std::optional<QVariantMap> upowerProperties(QDBusConnection &bus, const QString &path, const QString &interface)
{
    auto message
        = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.UPower"), path,
                                         QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    message << interface;
    message.setAutoStartService(false);
    const QDBusMessage reply = bus.call(message, QDBus::Block, propertyTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return qdbus_cast<QVariantMap>(reply.arguments().constFirst());
}

// One line of a power-supply attribute, without its newline.
std::optional<std::string> attribute(const std::filesystem::path &supply, const char *name)
{
    auto text = readWholeFile(supply / name);
    if (!text)
        return std::nullopt;
    while (!text->empty() && std::isspace(static_cast<unsigned char>(text->back())))
        text->pop_back();
    return text;
}

std::optional<long long> numberAttribute(const std::filesystem::path &supply, const char *name)
{
    const auto text = attribute(supply, name);
    if (!text || text->empty())
        return std::nullopt;
    char *end = nullptr;
    const long long number = std::strtoll(text->c_str(), &end, 10);
    return *end == '\0' ? std::optional<long long>(number) : std::nullopt;
}

} // namespace

UPowerPowerSource::UPowerPowerSource(QDBusConnection systemBus, std::filesystem::path sysfsRoot)
    : m_systemBus(std::move(systemBus))
    , m_sysfsRoot(std::move(sysfsRoot))
{ }

std::optional<std::vector<PowerSourceDescription>> UPowerPowerSource::read()
{
    if (auto sources = readUPower())
        return sources;
    return readSysfs();
}

std::optional<std::vector<PowerSourceDescription>> UPowerPowerSource::readUPower()
{
    if (!m_systemBus.isConnected())
        return std::nullopt;
    // The display device is UPower's summary of all the machine's batteries.
    const auto device = upowerProperties(m_systemBus, QStringLiteral("/org/freedesktop/UPower/devices/DisplayDevice"),
                                         QStringLiteral("org.freedesktop.UPower.Device"));
    if (!device)
        return std::nullopt;
    if (!device->value(QStringLiteral("IsPresent")).toBool()
        || device->value(QStringLiteral("Type")).toUInt() != batteryDeviceType)
        return std::vector<PowerSourceDescription> {};

    const auto daemon = upowerProperties(m_systemBus, QStringLiteral("/org/freedesktop/UPower"),
                                         QStringLiteral("org.freedesktop.UPower"));
    if (!daemon)
        return std::nullopt;
    PowerSourceDescription battery;
    battery.type = "InternalBattery";
    battery.currentCapacity
        = static_cast<long long>(std::floor(device->value(QStringLiteral("Percentage")).toDouble()));
    battery.maxCapacity = 100;
    battery.state = daemon->value(QStringLiteral("OnBattery")).toBool() ? "Battery Power" : "AC Power";
    return std::vector {battery};
}

std::optional<std::vector<PowerSourceDescription>> UPowerPowerSource::readSysfs() const
{
    std::error_code error;
    std::filesystem::directory_iterator supplies(m_sysfsRoot, error);
    if (error)
        return std::nullopt;

    struct Battery {
        long long capacity = 0;
        std::optional<long long> energyFull;
    };
    std::vector<Battery> batteries;
    bool hasMains = false;
    bool mainsOnline = false;
    bool discharging = false;
    for (const auto &entry : supplies) {
        const auto &supply = entry.path();
        const auto type = attribute(supply, "type");
        if (type == "Mains") {
            hasMains = true;
            mainsOnline = mainsOnline || numberAttribute(supply, "online") == 1;
        } else if (type == "Battery" && attribute(supply, "scope") != "Device") {
            // Mice and headsets report a Device scope; they do not power the machine.
            const auto capacity = numberAttribute(supply, "capacity");
            if (!capacity)
                continue;
            batteries.push_back({*capacity, numberAttribute(supply, "energy_full")});
            discharging = discharging || attribute(supply, "status") == "Discharging";
        }
    }
    if (batteries.empty())
        return std::vector<PowerSourceDescription> {};

    // Several batteries make one percentage, as UPower's display device does:
    // weighted by their size when every one of them gives it.
    const bool weighted = std::ranges::all_of(batteries, [](const Battery &b) { return b.energyFull > 0; });
    double percent = 0;
    double total = 0;
    for (const auto &b : batteries) {
        const double weight = weighted ? static_cast<double>(*b.energyFull) : 1.0;
        percent += static_cast<double>(b.capacity) * weight;
        total += weight;
    }

    PowerSourceDescription battery;
    battery.type = "InternalBattery";
    battery.currentCapacity = static_cast<long long>(std::floor(percent / total));
    battery.maxCapacity = 100;
    const bool onBattery = hasMains ? !mainsOnline : discharging;
    battery.state = onBattery ? "Battery Power" : "AC Power";
    return std::vector {battery};
}

} // namespace lullwatch
