'''dbusmock template: org.kde.StatusNotifierWatcher as a desktop panel runs
it. Parameter "host" (default true): whether a StatusNotifierItem host is
registered from the start; RegisterStatusNotifierHost registers one later.'''

import dbus

BUS_NAME = 'org.kde.StatusNotifierWatcher'
MAIN_OBJ = '/StatusNotifierWatcher'
MAIN_IFACE = 'org.kde.StatusNotifierWatcher'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddProperty(MAIN_IFACE, 'IsStatusNotifierHostRegistered', dbus.Boolean(parameters.get('host', True)))
    mock.AddMethods(MAIN_IFACE, [
        ('RegisterStatusNotifierItem', 's', '', ''),
        ('RegisterStatusNotifierHost', 's', '',
         'self.Set("org.kde.StatusNotifierWatcher", "IsStatusNotifierHostRegistered", True); '
         'self.EmitSignal("org.kde.StatusNotifierWatcher", "StatusNotifierHostRegistered", "", [])'),
    ])
