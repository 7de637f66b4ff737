#include "PanelText.h"

#include "app/StatusText.h"
#include "power/WakeController.h"
#include "sessions/SessionState.h"

#include <QCoreApplication>

#include <cmath>

namespace lullwatch::ui {

QString formatHeldFor(std::int64_t seconds)
{
    const std::int64_t minutes = std::max<std::int64_t>(seconds, 0) / 60;
    const std::int64_t hours = minutes / 60;
    const std::int64_t rest = minutes % 60;
    if (hours == 0)
        return QStringLiteral("%1m").arg(rest);
    if (rest == 0)
        return QStringLiteral("%1h").arg(hours);
    return QStringLiteral("%1h %2m").arg(hours).arg(rest);
}

QString headerStatusLine(const WakeController &wake, TimePoint now)
{
    QString line = QString::fromStdString(wakeStatusText(wake));
    if (!wake.batteryBlock() && wake.isHoldingAssertion() && wake.heldSince()) {
        // Whole seconds elapsed: 59.9 s is still under a minute.
        const auto held = static_cast<std::int64_t>(std::floor((now - *wake.heldSince()).count()));
        line += QStringLiteral(" \u00b7 ") + formatHeldFor(held);
    }
    return line;
}

QString headerTitle(bool hasSessions, SessionState overallState)
{
    const auto text = hasSessions ? stateLabel(overallState) : noSessionsLabel;
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QString versionText(const char *version, const char *build)
{
    const auto orDefault
        = [](const char *value, const char *fallback) { return QString::fromUtf8(value && *value ? value : fallback); };
    return QStringLiteral("Version %1 (%2)").arg(orDefault(version, "1.0"), orDefault(build, "1"));
}

} // namespace lullwatch::ui
