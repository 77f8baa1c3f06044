# A fake desktop notification server for the tests of the bridge's questions:
# it owns org.freedesktop.Notifications on a private bus, prints every call as
# one JSON line on stdout, and answers each question by itself.
#
#   fake_notifications.py BUS_ADDRESS ANSWER
#
# ANSWER: allow or deny (ActionInvoked with that key, then NotificationClosed
# reason 2), dismiss (NotificationClosed reason 2 only), none (nothing), or
# noactions (a server whose capabilities lack "actions").
import sys
import json
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
answer = sys.argv[2]
IFACE = 'org.freedesktop.Notifications'


def record(*fields):
    print(json.dumps(list(fields)), flush=True)


class Server(dbus.service.Object):
    def __init__(self):
        dbus.service.Object.__init__(self, bus, '/org/freedesktop/Notifications')
        self.next_id = 0

    @dbus.service.method(IFACE, out_signature='as')
    def GetCapabilities(self):
        record('GetCapabilities')
        return ['body'] if answer == 'noactions' else ['actions', 'body']

    @dbus.service.method(IFACE, in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        self.next_id += 1
        nid = self.next_id
        record('Notify', nid, str(summary), str(body), [str(a) for a in actions], int(timeout))
        if answer in ('allow', 'deny'):
            GLib.timeout_add(50, self.answer, nid, answer)
        elif answer == 'dismiss':
            GLib.timeout_add(50, self.closed, nid)
        return dbus.UInt32(nid)

    @dbus.service.method(IFACE, in_signature='u')
    def CloseNotification(self, nid):
        record('CloseNotification', int(nid))

    def answer(self, nid, key):
        self.ActionInvoked(dbus.UInt32(nid), key)
        self.NotificationClosed(dbus.UInt32(nid), dbus.UInt32(2))
        return False

    def closed(self, nid):
        self.NotificationClosed(dbus.UInt32(nid), dbus.UInt32(2))
        return False

    @dbus.service.signal(IFACE, signature='us')
    def ActionInvoked(self, nid, key):
        pass

    @dbus.service.signal(IFACE, signature='uu')
    def NotificationClosed(self, nid, reason):
        pass


server = Server()
name = dbus.service.BusName(IFACE, bus)
print('ready', flush=True)
GLib.MainLoop().run()
