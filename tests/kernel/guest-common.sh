# Sourced first by the init of both suites' guests (PID 1, busybox sh): the
# file systems, the watchdog (orvex.watchdog=SECONDS on the kernel command
# line) that ends a guest at the latest, the modules of the image's order
# file, and QEMU's user network (the guest is 10.0.2.15; the host's
# forwards arrive here).
/bin/busybox --install -s /bin

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
ip addr add 10.0.2.15/24 dev eth0
ip route add default via 10.0.2.2
