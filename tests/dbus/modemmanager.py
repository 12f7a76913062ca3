'''ModemManager mock template for python3-dbusmock

The daemon's main object as the radio driver sees it: an ObjectManager listing modems (their
Device uid and Ports), and InhibitDevice bound to its caller, as the daemon binds it: a second
inhibition of the same modem is refused as in progress, only the caller may lift its own, and a
caller that leaves the bus loses it. Tests add modems with AddModem and read the inhibited uids
with Inhibited (both on the mock interface); errors are injected by replacing InhibitDevice with
org.freedesktop.DBus.Mock.AddMethod.
'''

import dbus

from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = 'org.freedesktop.ModemManager1'
MAIN_OBJ = '/org/freedesktop/ModemManager1'
MAIN_IFACE = 'org.freedesktop.ModemManager1'
MODEM_IFACE = 'org.freedesktop.ModemManager1.Modem'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

ERROR = 'org.freedesktop.ModemManager1.Error.Core.'


def load(mock, _parameters):
    mock.AddMethods(MAIN_IFACE, [('ScanDevices', '', '', ''), ('SetLogging', 's', '', '')])
    mock.AddProperties(MAIN_IFACE, {'Version': '1.20.4'})
    mock.inhibitions = {}  # uid -> the caller's unique bus name
    mock.modems = 0


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='o')
def AddModem(self, uid, ports):
    '''A modem with Device `uid` owning the comma-separated kernel port names `ports`'''
    path = dbus.ObjectPath(f'{MAIN_OBJ}/Modem/{self.modems}')
    self.modems += 1
    self.AddObject(path, MODEM_IFACE, {
        'Device': uid,
        'Ports': dbus.Array([(name, dbus.UInt32(4)) for name in ports.split(',')], signature='(su)'),
        'State': dbus.Int32(8),
    }, [])
    self.object_manager_emit_added(path)
    return path


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def Inhibited(self):
    '''The uids inhibited now'''
    return sorted(self.inhibitions)


def _modem_uids(self):
    return {mockobject.objects[path].props[MODEM_IFACE]['Device'] for path in mockobject.objects
            if MODEM_IFACE in mockobject.objects[path].props}


@dbus.service.method(MAIN_IFACE, in_signature='sb', out_signature='', sender_keyword='sender')
def InhibitDevice(self, uid, inhibit, sender=None):
    '''Inhibits (or lifts) the modem with Device `uid` for the caller'''
    self.log(f'InhibitDevice {uid} {bool(inhibit)} {sender}')
    if not inhibit:
        if self.inhibitions.get(uid) != sender:
            raise dbus.exceptions.DBusException('no inhibition of yours', name=ERROR + 'NotFound')
        del self.inhibitions[uid]
        return
    if uid in self.inhibitions:
        raise dbus.exceptions.DBusException('already inhibited', name=ERROR + 'InProgress')
    if uid not in _modem_uids(self):
        raise dbus.exceptions.DBusException('no such device', name=ERROR + 'NotFound')
    self.inhibitions[uid] = sender

    def owner_changed(owner):
        if not owner and self.inhibitions.get(uid) == sender:
            del self.inhibitions[uid]
    self.connection.watch_name_owner(sender, owner_changed)
