# A fake logind for the tests of the session watch: it owns
# org.freedesktop.login1 on a private bus, with one user and its sessions,
# answers GetSession, GetUser and the properties the bridge reads, and on
# request switches the active session or removes one, announcing it as
# logind does.
#
#   fake_logind.py BUS_ADDRESS UID SESSION[,SESSION...]
#
# The first session is active and the user's display session; the others
# are inactive.
import sys
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
uid = int(sys.argv[2])
PROPS = 'org.freedesktop.DBus.Properties'
MANAGER = 'org.freedesktop.login1.Manager'
USER = 'org.freedesktop.login1.User'
SESSION = 'org.freedesktop.login1.Session'
CONTROL = 'org.orvex.FakeLogind'
NOT_FOUND = 'org.freedesktop.login1.NoSuchSession'
sessions = {}


class Props(dbus.service.Object):
    def __init__(self, path, interface, properties):
        dbus.service.Object.__init__(self, bus, path)
        self.path = path
        self.interface = interface
        self.properties = properties

    @dbus.service.method(PROPS, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.properties[name]

    @dbus.service.method(PROPS, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return self.properties

    @dbus.service.signal(PROPS, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    def set(self, name, value):
        if self.properties[name] != value:
            self.properties[name] = value
            self.PropertiesChanged(self.interface, {name: value}, [])


def session_path(sid):
    return '/org/freedesktop/login1/session/_3' + sid if sid[0].isdigit() else '/org/freedesktop/login1/session/' + sid


class Manager(dbus.service.Object):
    @dbus.service.method(MANAGER, in_signature='s', out_signature='o')
    def GetSession(self, sid):
        if sid not in sessions:
            raise dbus.exceptions.DBusException('No session "%s" known' % sid, name=NOT_FOUND)
        return dbus.ObjectPath(sessions[sid].path)

    @dbus.service.method(MANAGER, in_signature='u', out_signature='o')
    def GetUser(self, wanted):
        if wanted != uid:
            raise dbus.exceptions.DBusException('User %d is not logged in' % wanted,
                                                name='org.freedesktop.login1.NoSuchUser')
        return dbus.ObjectPath(user.path)

    @dbus.service.signal(MANAGER, signature='so')
    def SessionRemoved(self, sid, path):
        pass

    # The session comes to the front, every other one of the seat goes back.
    @dbus.service.method(CONTROL, in_signature='s')
    def Activate(self, sid):
        for other, session in sessions.items():
            if other != sid:
                session.set('Active', dbus.Boolean(False))
        sessions[sid].set('Active', dbus.Boolean(True))

    @dbus.service.method(CONTROL, in_signature='s')
    def Remove(self, sid):
        session = sessions.pop(sid)
        session.set('State', 'closing')
        session.remove_from_connection()
        self.SessionRemoved(sid, dbus.ObjectPath(session.path))


manager = Manager(bus, '/org/freedesktop/login1')
names = sys.argv[3].split(',')
for i, sid in enumerate(names):
    sessions[sid] = Props(session_path(sid), SESSION, {
        'Id': sid, 'Active': dbus.Boolean(i == 0), 'Remote': dbus.Boolean(False), 'State': 'active' if i == 0 else 'online',
        'User': dbus.Struct((dbus.UInt32(uid), dbus.ObjectPath('/org/freedesktop/login1/user/_%d' % uid)))})
user = Props('/org/freedesktop/login1/user/_%d' % uid, USER, {
    'UID': dbus.UInt32(uid),
    'Display': dbus.Struct((names[0], dbus.ObjectPath(session_path(names[0]))), signature='so')})
name = dbus.service.BusName('org.freedesktop.login1', bus)
print('ready', flush=True)
GLib.MainLoop().run()
