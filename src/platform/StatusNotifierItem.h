#pragma once

#include "DBusMenu.h"
#include "StatusNotifierTypes.h"
#include "app/TrayLook.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QPoint>

namespace lullwatch {

// The application's org.kde.StatusNotifierItem on the session bus, with its
// com.canonical.dbusmenu menu: exported under a name of its own at
// /StatusNotifierItem (the menu at /MenuBar), registered with
// org.kde.StatusNotifierWatcher, and registered again whenever a watcher
// appears (a panel that restarts). What it shows comes in as one TrayLook;
// the host hears of each part that really changed. Exported through the
// adaptor generated from dbus/org.kde.StatusNotifierItem.xml, which reads the
// properties below and calls the methods named after the interface's.
class StatusNotifierItem final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(lullwatch::TrayImages IconPixmap READ iconPixmap)
    Q_PROPERTY(QString AttentionIconName READ attentionIconName)
    Q_PROPERTY(lullwatch::TrayImages AttentionIconPixmap READ attentionIconPixmap)
    Q_PROPERTY(lullwatch::DBusToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(QString XAyatanaLabel READ label)
    Q_PROPERTY(QString XAyatanaLabelGuide READ labelGuide)
    Q_PROPERTY(uint XAyatanaOrderingIndex READ orderingIndex)

public:
    // `menuEntries`: the labels of the menu's entries, in order.
    StatusNotifierItem(QDBusConnection sessionBus, QStringList menuEntries, QObject *parent = nullptr);
    ~StatusNotifierItem() override;

    // Takes the item's name, exports the item and its menu and registers
    // with the watcher; false when the bus refused the name or the objects.
    bool start();
    QString serviceName() const { return m_serviceName; }

    void setLook(const TrayLook &look);

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("lullwatch"); }
    QString title() const { return QStringLiteral("Lullwatch"); }
    QString status() const;
    QString iconThemePath() const { return m_look.iconThemePath; }
    QString iconName() const { return m_look.icon.name; }
    TrayImages iconPixmap() const { return m_look.icon.images; }
    QString attentionIconName() const { return m_look.attentionIcon.name; }
    TrayImages attentionIconPixmap() const { return m_look.attentionIcon.images; }
    DBusToolTip toolTip() const;
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const;
    QString label() const { return m_look.label; }
    QString labelGuide() const { return m_look.labelGuide; }
    uint orderingIndex() const { return 0; }

    // org.kde.StatusNotifierItem
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void ContextMenu(int x, int y);
    void Scroll(int delta, const QString &orientation);

Q_SIGNALS:
    // A click on the item, at that point of the screen.
    void activateRequested(QPoint position);
    // The host asks the application to show its own menu there.
    void contextMenuRequested(QPoint position);
    // An entry of the menu was clicked in the host's menu.
    void menuEntryClicked(int index);

    // The interface's signals, relayed by the adaptor.
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewToolTip();
    void NewStatus(const QString &status);
    void XAyatanaNewLabel(const QString &label, const QString &guide);

private:
    void registerWithWatcher();

    QDBusConnection m_bus;
    QString m_serviceName;
    DBusMenu m_menu;
    QDBusServiceWatcher m_watcherWatcher;
    TrayLook m_look;
    bool m_started = false;
};

} // namespace lullwatch
