#include "DBusMenu.h"

namespace lullwatch {

namespace {

constexpr uint layoutRevision = 1;

} // namespace

DBusMenu::DBusMenu(QStringList entries, QObject *parent)
    : QObject(parent)
    , m_entries(std::move(entries))
{ }

QVariantMap DBusMenu::properties(int id, const QStringList &names) const
{
    QVariantMap all;
    if (id == 0)
        all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    else if (id > 0 && id <= m_entries.size())
        all.insert(QStringLiteral("label"), m_entries.at(id - 1));
    if (names.isEmpty())
        return all;
    QVariantMap named;
    for (const QString &name : names) {
        if (all.contains(name))
            named.insert(name, all.value(name));
    }
    return named;
}

uint DBusMenu::GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                         DBusMenuLayout &layout) const
{
    layout = {.id = parentId, .properties = properties(parentId, propertyNames), .children = {}};
    // A depth of -1 asks for everything, 0 for the entry alone.
    if (parentId == 0 && recursionDepth != 0) {
        for (int id = 1; id <= m_entries.size(); ++id)
            layout.children.append({.id = id, .properties = properties(id, propertyNames), .children = {}});
    }
    return layoutRevision;
}

DBusMenuItems DBusMenu::GetGroupProperties(const QList<int> &ids, const QStringList &propertyNames) const
{
    DBusMenuItems items;
    // No ids asks for every entry.
    QList<int> wanted = ids;
    if (wanted.isEmpty()) {
        for (int id = 0; id <= m_entries.size(); ++id)
            wanted.append(id);
    }
    for (const int id : std::as_const(wanted)) {
        if (id >= 0 && id <= m_entries.size())
            items.append({.id = id, .properties = properties(id, propertyNames)});
    }
    return items;
}

QDBusVariant DBusMenu::GetProperty(int id, const QString &name) const
{
    return QDBusVariant(properties(id, {name}).value(name));
}

void DBusMenu::Event(int id, const QString &eventId, const QDBusVariant &data, uint timestamp)
{
    Q_UNUSED(data);
    Q_UNUSED(timestamp);
    // Hovering, opening and closing change nothing.
    if (eventId == QLatin1String("clicked") && id > 0 && id <= m_entries.size())
        Q_EMIT clicked(id - 1);
}

bool DBusMenu::AboutToShow(int id) const
{
    Q_UNUSED(id);
    return false;
}

} // namespace lullwatch
