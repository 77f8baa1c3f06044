# A fake BlueZ for the tests and benchmarks of the BlueZ backend: it owns
# org.bluez on a private bus, lists devices and GATT objects through the
# object manager, announces added, removed and changed objects, records
# writes and notification switches, and notifies on request.
#
#   fake_bluez.py BUS_ADDRESS [UNRELATED_OBJECTS [late]]
#
# Two devices: "pad" (the BLE family's vendor, connected, with the vendor
# service) and "other" (no Modalias, not connected, with a battery service
# and a notify characteristic). UNRELATED_OBJECTS adds that many more objects
# (other devices seen nearby with a service, characteristics and a
# descriptor), none of them the vendor's. "late" takes the name with the
# adapter only and announces the two devices a moment later, as bluetoothd
# does when it starts.
import sys
import time
import struct
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
PROPS = 'org.freedesktop.DBus.Properties'
MANAGER = 'org.freedesktop.DBus.ObjectManager'
CONTROL = 'org.orvex.FakeBluez'
DEVICE = 'org.bluez.Device1'
SERVICE = 'org.bluez.GattService1'
CHAR = 'org.bluez.GattCharacteristic1'
DESC = 'org.bluez.GattDescriptor1'
objects = {}
writes = []
events = []
calls = {'GetManagedObjects': 0}
# Until this monotonic time, listings, notification switches and descriptor
# reads are answered only then: a BlueZ that hangs (see Hang).
hang_until = 0.0
hung = []


def answer_after_hang(ok, result=None):
    wait = hang_until - time.monotonic()
    if wait <= 0:
        ok() if result is None else ok(result)
        return

    def answer():
        hung.remove(answer)
        ok() if result is None else ok(result)
        return False

    hung.append(answer)
    GLib.timeout_add(int(wait * 1000) + 1, answer)


class Obj(dbus.service.Object):
    def __init__(self, path, interfaces, announce=False):
        dbus.service.Object.__init__(self, bus, path)
        self.path = path
        self.interfaces = interfaces
        objects[path] = self
        if announce:
            root.InterfacesAdded(dbus.ObjectPath(path), interfaces)

    def drop(self):
        del objects[self.path]
        self.remove_from_connection()
        root.InterfacesRemoved(dbus.ObjectPath(self.path), dbus.Array(self.interfaces.keys(), signature='s'))

    @dbus.service.method(PROPS, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.interfaces[interface][name]

    @dbus.service.method(PROPS, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return self.interfaces[interface]

    @dbus.service.signal(PROPS, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass


class Char(Obj):
    fail_writes = False
    # Writes are answered after this many seconds, or at ReleaseWrites.
    hold = 0.0
    held = []

    @dbus.service.method(CHAR, in_signature='aya{sv}', async_callbacks=('ok', 'err'))
    def WriteValue(self, value, options, ok, err):
        writes.append((self.path, bytes(value), str(options.get('type', ''))))
        if Char.fail_writes:
            err(dbus.exceptions.DBusException('not connected', name='org.bluez.Error.Failed'))
        elif Char.hold <= 0:
            ok()
        else:
            def answer():
                if answer in Char.held:
                    Char.held.remove(answer)
                    ok()
                return False

            Char.held.append(answer)
            GLib.timeout_add(int(Char.hold * 1000), answer)

    @dbus.service.method(CHAR, async_callbacks=('ok', 'err'))
    def StartNotify(self, ok, err):
        events.append('StartNotify ' + self.path)
        answer_after_hang(ok)

    @dbus.service.method(CHAR, async_callbacks=('ok', 'err'))
    def StopNotify(self, ok, err):
        events.append('StopNotify ' + self.path)
        answer_after_hang(ok)


class Desc(Obj):
    @dbus.service.method(DESC, in_signature='a{sv}', out_signature='ay', async_callbacks=('ok', 'err'))
    def ReadValue(self, options, ok, err):
        answer_after_hang(ok, dbus.ByteArray(b'pad'))


def uuid(short):
    return '0000%04x-0000-1000-8000-00805f9b34fb' % short


def device_path(address):
    return '/org/bluez/hci0/dev_' + address.replace(':', '_')


def add_device(address, alias, connected, modalias, announce):
    path = device_path(address)
    properties = {'Address': address, 'Alias': alias, 'Connected': dbus.Boolean(connected)}
    if modalias:
        properties['Modalias'] = modalias
    Obj(path, {DEVICE: properties}, announce)
    return path


def add_vendor_service(device, announce):
    service = device + '/service000c'
    Obj(service, {SERVICE: {'UUID': uuid(0xfee0), 'Device': dbus.ObjectPath(device), 'Primary': True}}, announce)
    Char(service + '/char000d', {CHAR: {'UUID': uuid(0xfee3), 'Service': dbus.ObjectPath(service),
                                        'Flags': dbus.Array(['read', 'write'], signature='s'),
                                        'Value': dbus.Array([], signature='y')}}, announce)
    Char(service + '/char000f', {CHAR: {'UUID': uuid(0xfee4), 'Service': dbus.ObjectPath(service),
                                        'Flags': dbus.Array(['notify'], signature='s'),
                                        'Value': dbus.Array([], signature='y')}}, announce)
    Desc(service + '/char000f/desc0011',
         {DESC: {'UUID': uuid(0x2901), 'Characteristic': dbus.ObjectPath(service + '/char000f')}}, announce)


class Root(dbus.service.Object):
    @dbus.service.method(MANAGER, out_signature='a{oa{sa{sv}}}', async_callbacks=('ok', 'err'))
    def GetManagedObjects(self, ok, err):
        calls['GetManagedObjects'] += 1
        answer_after_hang(ok, {dbus.ObjectPath(p): o.interfaces for p, o in objects.items()})

    @dbus.service.signal(MANAGER, signature='oa{sa{sv}}')
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal(MANAGER, signature='oas')
    def InterfacesRemoved(self, path, interfaces):
        pass

    @dbus.service.method(CONTROL, in_signature='oay')
    def Notify(self, path, value):
        objects[path].PropertiesChanged(CHAR, {'Value': dbus.Array(value, signature='y')}, [])

    # The value is the emission time: CLOCK_MONOTONIC in nanoseconds, 8 bytes
    # little-endian.
    @dbus.service.method(CONTROL, in_signature='o')
    def NotifyStamped(self, path):
        stamp = struct.pack('<Q', time.monotonic_ns())
        objects[path].PropertiesChanged(CHAR, {'Value': dbus.ByteArray(stamp)}, [])

    @dbus.service.method(CONTROL, in_signature='b')
    def FailWrites(self, fail):
        Char.fail_writes = bool(fail)

    @dbus.service.method(CONTROL, in_signature='d')
    def HoldWrites(self, seconds):
        Char.hold = float(seconds)

    @dbus.service.method(CONTROL)
    def ReleaseWrites(self):
        for answer in list(Char.held):
            answer()

    @dbus.service.method(CONTROL, out_signature='u')
    def HeldWrites(self):
        return len(Char.held)

    # Listings, StartNotify, StopNotify and descriptor reads that arrive
    # within that many seconds are answered when they are over.
    @dbus.service.method(CONTROL, in_signature='d')
    def Hang(self, seconds):
        global hang_until
        hang_until = time.monotonic() + float(seconds)

    @dbus.service.method(CONTROL, out_signature='u')
    def Hung(self):
        return len(hung)

    @dbus.service.method(CONTROL, out_signature='a(oays)')
    def Writes(self):
        return [(dbus.ObjectPath(p), dbus.ByteArray(v), t) for p, v, t in writes]

    @dbus.service.method(CONTROL, out_signature='as')
    def Events(self):
        return events

    @dbus.service.method(CONTROL, in_signature='s', out_signature='u')
    def Calls(self, method):
        return calls.get(method, 0)

    # A disconnected device of the vendor with the vendor service.
    @dbus.service.method(CONTROL, in_signature='s', out_signature='o')
    def AddDevice(self, address):
        device = add_device(address, 'Late', False, 'usb:v045Ep0B14d0002', True)
        add_vendor_service(device, True)
        return device

    @dbus.service.method(CONTROL, in_signature='ob')
    def SetConnected(self, path, connected):
        properties = objects[path].interfaces[DEVICE]
        properties['Connected'] = dbus.Boolean(connected)
        objects[path].PropertiesChanged(DEVICE, {'Connected': properties['Connected']}, [])

    # The device and everything under it, innermost first.
    @dbus.service.method(CONTROL, in_signature='o')
    def RemoveDevice(self, path):
        for p in sorted([p for p in objects if p == path or p.startswith(path + '/')], reverse=True):
            objects[p].drop()


def add_devices(announce):
    pad = add_device('C0:FF:EE:00:00:01', 'Pad', True, 'usb:v045Ep0B13d0001', announce)
    add_vendor_service(pad, announce)
    other = device_path('11:22:33:44:55:66')
    Obj(other, {DEVICE: {'Address': '11:22:33:44:55:66', 'Name': 'Other', 'Connected': False}}, announce)
    Obj(other + '/service0010', {SERVICE: {'UUID': uuid(0x180f), 'Device': dbus.ObjectPath(other), 'Primary': True}},
        announce)
    Char(other + '/service0010/char0011',
         {CHAR: {'UUID': uuid(0x2a19), 'Service': dbus.ObjectPath(other + '/service0010'),
                 'Flags': dbus.Array(['read', 'notify'], signature='s'), 'Value': dbus.Array([], signature='y')}},
         announce)
    return False


late = len(sys.argv) > 3 and sys.argv[3] == 'late'
root = Root(bus, '/')
Obj('/org/bluez/hci0', {'org.bluez.Adapter1': {'Address': 'AA:AA:AA:AA:AA:AA', 'Powered': True}})
if not late:
    add_devices(False)
# Five objects per nearby device: the device, a service, two characteristics
# and a descriptor.
for n in range(int(sys.argv[2]) if len(sys.argv) > 2 else 0):
    k, i = divmod(n, 5)
    device = device_path('22:00:00:00:%02X:%02X' % (k >> 8, k & 0xff))
    service = device + '/service0001'
    if i == 0:
        add_device('22:00:00:00:%02X:%02X' % (k >> 8, k & 0xff), 'Nearby', False, '', False)
    elif i == 1:
        Obj(service, {SERVICE: {'UUID': uuid(0x1800), 'Device': dbus.ObjectPath(device), 'Primary': True}})
    elif i in (2, 3):
        Obj(service + '/char%04x' % i, {CHAR: {'UUID': uuid(0x2a00 + i), 'Service': dbus.ObjectPath(service),
                                              'Flags': dbus.Array(['read'], signature='s'),
                                              'Value': dbus.Array([], signature='y')}})
    else:
        Obj(service + '/char0002/desc0004',
            {DESC: {'UUID': uuid(0x2904), 'Characteristic': dbus.ObjectPath(service + '/char0002')}})
name = dbus.service.BusName('org.bluez', bus)
if late:
    GLib.timeout_add(200, add_devices, True)
print('ready', flush=True)
GLib.MainLoop().run()
