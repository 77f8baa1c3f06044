#!/bin/busybox sh
# PID 1 of the kernel suite's guest: mounts, loads the HID and network
# modules, starts udevd and hands the guest to the uhid emulator, which the
# host drives. The guest always ends by itself: when the emulator is told to
# power off, when anything here fails, and at the latest when the watchdog
# (orvex.watchdog=SECONDS on the kernel command line) runs out.
/bin/busybox --install -s /bin
export PATH=/bin

say() { echo "orvex-guest: $*" >/dev/console; }
give_up() {
    say "$*"
    poweroff -f
    sleep 60
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /run /tmp
mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp

watchdog=$(sed -n 's/.*orvex\.watchdog=\([0-9][0-9]*\).*/\1/p' /proc/cmdline)
(
    sleep "${watchdog:-300}"
    give_up "watchdog: still running after ${watchdog:-300} s, powering off"
) &

for module in $(cat /lib/orvex-modules/order); do
    insmod "/lib/orvex-modules/$module.ko" || give_up "cannot load $module"
done

ip link set lo up
ip link set eth0 up || give_up "no network interface"
# QEMU's user network: the guest is 10.0.2.15, the host's forwards arrive here.
ip addr add 10.0.2.15/24 dev eth0
ip route add default via 10.0.2.2

/lib/systemd/systemd-udevd --daemon || give_up "systemd-udevd does not start"

/opt/orvex/orvex-uhid-emulator --control-port 7000 --bridge /opt/orvex/orvex-bridge --udevadm /bin/udevadm
give_up "emulator ended with status $?, powering off"
