#pragma once

#include "app/TrayLook.h"

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The D-Bus structures of org.kde.StatusNotifierItem and
// com.canonical.dbusmenu, as the generated adaptors name them.

namespace lullwatch {

// a(iiay)
using TrayImages = QList<TrayImage>;

// (sa(iiay)ss): icon name, images, title, description.
struct DBusToolTip {
    QString iconName;
    TrayImages images;
    QString title;
    QString description;
};

// (ia{sv}av): a menu entry, its properties and its children, each child
// itself a layout inside a variant.
struct DBusMenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayout> children;
};

// (ia{sv})
struct DBusMenuItem {
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItems = QList<DBusMenuItem>;

// (ias)
struct DBusMenuItemKeys {
    int id = 0;
    QStringList names;
};
using DBusMenuItemKeysList = QList<DBusMenuItemKeys>;

// Once, before the first item or menu is exported.
void registerStatusNotifierTypes();

QDBusArgument &operator<<(QDBusArgument &argument, const TrayImage &image);
const QDBusArgument &operator>>(const QDBusArgument &argument, TrayImage &image);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusToolTip &toolTip);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusToolTip &toolTip);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuLayout &layout);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuLayout &layout);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuItem &item);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuItem &item);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuItemKeys &keys);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuItemKeys &keys);

} // namespace lullwatch

Q_DECLARE_METATYPE(lullwatch::TrayImage)
Q_DECLARE_METATYPE(lullwatch::DBusToolTip)
Q_DECLARE_METATYPE(lullwatch::DBusMenuLayout)
Q_DECLARE_METATYPE(lullwatch::DBusMenuItem)
Q_DECLARE_METATYPE(lullwatch::DBusMenuItemKeys)
