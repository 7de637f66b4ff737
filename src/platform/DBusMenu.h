#pragma once

#include "StatusNotifierTypes.h"

#include <QDBusVariant>
#include <QObject>
#include <QStringList>

namespace lullwatch {

// A flat menu of plain entries over com.canonical.dbusmenu, the menu that
// StatusNotifierItem hosts show for an item. The entries never change: the
// layout keeps its first revision, and ItemsPropertiesUpdated and
// LayoutUpdated are never due. Entry n (from 0) has the id n + 1; the root
// is 0. Exported by StatusNotifierItem through the generated adaptor, which
// calls the methods named after the interface's.
class DBusMenu final : public QObject {
    Q_OBJECT
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    explicit DBusMenu(QStringList entries, QObject *parent = nullptr);

    uint version() const { return 3; }
    // The entries are English.
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

    // com.canonical.dbusmenu
    uint GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames, DBusMenuLayout &layout) const;
    DBusMenuItems GetGroupProperties(const QList<int> &ids, const QStringList &propertyNames) const;
    QDBusVariant GetProperty(int id, const QString &name) const;
    void Event(int id, const QString &eventId, const QDBusVariant &data, uint timestamp);
    bool AboutToShow(int id) const;

Q_SIGNALS:
    // An entry was clicked in a host's menu.
    void clicked(int index);

    // The interface's signals, relayed by the adaptor.
    void ItemsPropertiesUpdated(const lullwatch::DBusMenuItems &updatedProps,
                                const lullwatch::DBusMenuItemKeysList &removedProps);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

private:
    // The properties of entry `id`, only those named when names are given.
    QVariantMap properties(int id, const QStringList &names) const;

    QStringList m_entries;
};

} // namespace lullwatch
