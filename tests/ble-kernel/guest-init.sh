#!/bin/busybox sh
# PID 1 of the BLE suite's two guests, one image; orvex.role= on the kernel
# command line picks the part:
#  - central: btvirt's LE controller (hci0) and its server socket, joined by
#    the relay to ttyS1 (the peripheral's controller), systemd-udevd, the
#    system D-Bus, the real bluetoothd and the pairing agent; the bridge is
#    started from the host;
#  - peripheral: its controller is a device of the central's btvirt over
#    ttyS1; no bluetoothd: btmgmt sets it up and advertises, our GATT server
#    serves it.
# Both start as guest-common.sh says and end with the agent on TCP port 7000,
# which the host drives. The guest always ends by itself: at "poweroff", when
# anything here fails, and at the latest when the watchdog runs out.
export PATH=/bin:/usr/bin:/opt/orvex
. /lib/orvex-guest-common.sh
# until_present SECONDS TEST...: waits for the test to hold, bounded.
until_present() {
    local tries=$(($1 * 5))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.2
    done
}

mkdir -p /run/dbus /var/lib/bluetooth

role=$(sed -n 's/.*orvex\.role=\([a-z]*\).*/\1/p' /proc/cmdline)
case "$role" in
central)
    btvirt -L -l1 -s >/tmp/btvirt.log 2>&1 &
    until_present 60 test -S /tmp/bt-server-le -a -e /sys/class/bluetooth/hci0 || give_up "btvirt did not start"
    orvex-ble-peripheral --relay /dev/ttyS1 /tmp/bt-server-le >/tmp/relay.log 2>&1 &
    /lib/systemd/systemd-udevd --daemon || give_up "systemd-udevd does not start"
    dbus-daemon --system --fork --nopidfile || give_up "dbus-daemon does not start"
    /usr/libexec/bluetooth/bluetoothd -n >/tmp/bluetoothd.log 2>&1 &
    until_present 60 sh -c 'dbus-send --system --print-reply --dest=org.bluez /org/bluez/hci0 \
        org.freedesktop.DBus.Properties.Get string:org.bluez.Adapter1 string:Address >/dev/null 2>&1' ||
        give_up "bluetoothd has no adapter"
    # It pairs once the peripheral advertises; the host waits for its line.
    orvex-ble-central >/tmp/central.log 2>&1 &
    ;;
peripheral)
    btattach -B /dev/ttyS1 -P h4 >/tmp/btattach.log 2>&1 &
    until_present 60 test -e /sys/class/bluetooth/hci0 || give_up "no controller over ttyS1"
    until_present 60 sh -c 'btmgmt --index 0 info 2>/dev/null | grep -q "addr "' || give_up "mgmt does not answer"
    for setting in "le on" "bredr off" "io-cap 3" "bondable on" "connectable on" "name orvex-ble" "power on"; do
        btmgmt --index 0 $setting >>/tmp/btmgmt.log 2>&1 || give_up "btmgmt $setting failed"
    done
    ;;
*)
    give_up "no orvex.role= on the kernel command line"
    ;;
esac

if [ "$role" = peripheral ]; then
    orvex-ble-peripheral --att --control-port 7000 >/tmp/peripheral.log 2>&1 &
    server=$!
    until_present 30 grep -q ready /tmp/peripheral.log || give_up "the GATT server did not start"
    # Two instances: the controller then keeps re-enabling advertising, and
    # a scan that misses one still sees the other. HID (0x1812) is given as
    # the data's bytes, a complete list of 16-bit service UUIDs: bluez
    # 5.82's btmgmt turns "-u 1812" into 4 bytes with no UUID field in them,
    # and the central, which looks for HID, would never find the device.
    btmgmt --index 0 add-adv -c -g -n -d 03031218 1 >>/tmp/btmgmt.log 2>&1
    btmgmt --index 0 add-adv -c -g -n -d 03031218 2 >>/tmp/btmgmt.log 2>&1
    say "peripheral ready"
    wait "$server"
    give_up "the GATT server ended"
fi
say "central ready"
orvex-ble-peripheral --control-port 7000
give_up "agent ended with status $?, powering off"
