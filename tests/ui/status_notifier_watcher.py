'''dbusmock template: org.kde.StatusNotifierWatcher as a desktop panel runs
it. Parameter "host" (default true): whether a StatusNotifierItem host is
registered from the start; RegisterStatusNotifierHost registers one later.'''

import dbus

BUS_NAME = 'org.kde.StatusNotifierWatcher'
MAIN_OBJ = '/StatusNotifierWatcher'
MAIN_IFACE = 'org.kde.StatusNotifierWatcher'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({
        'IsStatusNotifierHostRegistered': dbus.Boolean(parameters.get('host', True)),
        'RegisteredStatusNotifierItems': dbus.Array([], signature='s'),
        'ProtocolVersion': dbus.Int32(0),
    }, signature='sv'))
    mock.AddMethods(MAIN_IFACE, [
        ('RegisterStatusNotifierItem', 's', '',
         'items = self.Get("org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"); '
         'self.Set("org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems", '
         'dbus.Array(list(items) + [args[0]], signature="s")); '
         'self.EmitSignal("org.kde.StatusNotifierWatcher", "StatusNotifierItemRegistered", "s", [args[0]])'),
        ('RegisterStatusNotifierHost', 's', '',
         'self.Set("org.kde.StatusNotifierWatcher", "IsStatusNotifierHostRegistered", True); '
         'self.EmitSignal("org.kde.StatusNotifierWatcher", "StatusNotifierHostRegistered", "", [])'),
    ])
