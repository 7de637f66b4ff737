#include "StatusNotifierItem.h"

#include "dbusmenuadaptor.h"
#include "statusnotifieritemadaptor.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace lullwatch {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString menuPath = QStringLiteral("/MenuBar");

// The bus name hosts expect of an item: one per process and item.
QString nameForThisProcess()
{
    static int items = 0;
    return QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(QCoreApplication::applicationPid()).arg(++items);
}

} // namespace

StatusNotifierItem::StatusNotifierItem(QDBusConnection sessionBus, QStringList menuEntries, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(sessionBus))
    , m_serviceName(nameForThisProcess())
    , m_menu(std::move(menuEntries))
    , m_watcherWatcher(watcherService, m_bus, QDBusServiceWatcher::WatchForRegistration)
{
    registerStatusNotifierTypes();
    // The adaptors belong to their objects and go with them.
    new StatusNotifierItemAdaptor(this);
    new DBusMenuAdaptor(&m_menu);
    connect(&m_menu, &DBusMenu::clicked, this, &StatusNotifierItem::menuEntryClicked);
    // A watcher that starts (a panel that restarted, or one that came after
    // us) knows no items yet.
    connect(&m_watcherWatcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { registerWithWatcher(); });
}

StatusNotifierItem::~StatusNotifierItem()
{
    if (!m_started)
        return;
    m_bus.unregisterObject(itemPath);
    m_bus.unregisterObject(menuPath);
    m_bus.unregisterService(m_serviceName);
}

bool StatusNotifierItem::start()
{
    if (m_started)
        return true;
    if (!m_bus.registerObject(itemPath, this, QDBusConnection::ExportAdaptors))
        return false;
    if (!m_bus.registerObject(menuPath, &m_menu, QDBusConnection::ExportAdaptors)
        || !m_bus.registerService(m_serviceName)) {
        m_bus.unregisterObject(itemPath);
        m_bus.unregisterObject(menuPath);
        return false;
    }
    m_started = true;
    registerWithWatcher();
    return true;
}

void StatusNotifierItem::registerWithWatcher()
{
    if (!m_started)
        return;
    // No answer is awaited: a watcher that is not there yet brings the next
    // registration when it appears.
    auto message = QDBusMessage::createMethodCall(watcherService, watcherPath, watcherService,
                                                  QStringLiteral("RegisterStatusNotifierItem"));
    message.setArguments({m_serviceName});
    m_bus.asyncCall(message);
}

void StatusNotifierItem::setLook(const TrayLook &look)
{
    if (look == m_look)
        return;
    const TrayLook old = std::exchange(m_look, look);
    if (look.icon != old.icon || look.iconThemePath != old.iconThemePath)
        Q_EMIT NewIcon();
    if (look.attentionIcon != old.attentionIcon)
        Q_EMIT NewAttentionIcon();
    // The tooltip names the icon too.
    if (look.toolTip != old.toolTip || look.icon.name != old.icon.name)
        Q_EMIT NewToolTip();
    if (look.needsAttention != old.needsAttention)
        Q_EMIT NewStatus(status());
    if (look.label != old.label || look.labelGuide != old.labelGuide)
        Q_EMIT XAyatanaNewLabel(look.label, look.labelGuide);
}

QString StatusNotifierItem::status() const
{
    return m_look.needsAttention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active");
}

DBusToolTip StatusNotifierItem::toolTip() const
{
    return {.iconName = m_look.icon.name, .images = {}, .title = title(), .description = m_look.toolTip};
}

QDBusObjectPath StatusNotifierItem::menu() const
{
    return QDBusObjectPath(menuPath);
}

void StatusNotifierItem::Activate(int x, int y)
{
    Q_EMIT activateRequested(QPoint(x, y));
}

void StatusNotifierItem::SecondaryActivate(int x, int y)
{
    Q_EMIT activateRequested(QPoint(x, y));
}

void StatusNotifierItem::ContextMenu(int x, int y)
{
    Q_EMIT contextMenuRequested(QPoint(x, y));
}

void StatusNotifierItem::Scroll(int delta, const QString &orientation)
{
    // Nothing to scroll through.
    Q_UNUSED(delta);
    Q_UNUSED(orientation);
}

} // namespace lullwatch
