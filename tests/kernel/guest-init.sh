#!/bin/busybox sh
# PID 1 of the kernel suite's guest: after the common start
# (guest-common.sh), starts udevd and hands the guest to the uhid emulator,
# which the host drives. The guest always ends by itself: when the emulator is
# told to power off, when anything here fails, and at the latest when the
# watchdog runs out.
export PATH=/bin
. /lib/orvex-guest-common.sh

/lib/systemd/systemd-udevd --daemon || give_up "systemd-udevd does not start"

/opt/orvex/orvex-uhid-emulator --control-port 7000 --bridge /opt/orvex/orvex-bridge --udevadm /bin/udevadm
give_up "emulator ended with status $?, powering off"
