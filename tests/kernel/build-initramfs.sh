#!/usr/bin/env bash
# Builds what the kernel suites boot: Debian's own kernel image (the one
# linux-image-amd64 depends on) with the modules the guest loads, and an
# initramfs holding busybox, systemd-udevd, the suite's agent (the uhid
# emulator, or the BLE suite's) and the bridge, each with the libraries ldd
# lists.
#
# Usage: build-initramfs.sh --bridge FILE --emulator FILE --out DIR
#        build-initramfs.sh --ble --bridge FILE --emulator FILE --program FILE... --out DIR
#        build-initramfs.sh [--ble] --fetch-only
# Prints "kernel=FILE" and "initrd=FILE" on stdout. Exit status 77: the guest
# cannot be built on this machine (the reason is on stderr). --fetch-only
# only fills the cache below, so that CI can fetch while it compiles.
# --ble: the BLE suite's guest (tests/ble-kernel/): the Bluetooth modules,
# bluez's bluetoothd and tools, the system D-Bus, its own init; --program
# adds more programs to /opt/orvex.
#
# The kernel and bluez packages and the files taken from them are kept under
# ${ORVEX_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvex-kernel-test},
# keyed by package and version, so only the first run on a machine downloads.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bridge="" emulator="" out="" fetch_only=0 ble=0 programs=()
while [ $# -gt 0 ]; do
    case "$1" in
        --ble) ble=1; shift ;;
        --program) programs+=("$2"); shift 2 ;;
        --bridge) bridge=$2; shift 2 ;;
        --emulator) emulator=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --fetch-only) fetch_only=1; shift ;;
        *) echo "build-initramfs: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ "$fetch_only" -eq 1 ] || { [ -n "$bridge" ] && { [ -n "$emulator" ] || [ "$ble" -eq 1 ]; } && [ -n "$out" ]; } ||
    { echo "build-initramfs: --bridge, --emulator (or --ble) and --out are needed" >&2; exit 2; }

skip() { echo "build-initramfs: $*" >&2; exit 77; }
die() { echo "build-initramfs: $*" >&2; exit 1; }
need() { command -v "$1" >/dev/null 2>&1 || skip "$1 is missing (Debian package $2)"; }
need apt-get apt
need apt-cache apt
need dpkg-deb dpkg
need cpio cpio
need busybox busybox-static
need ldd libc-bin
need flock util-linux
if [ "$fetch_only" -eq 0 ]; then
    [ -x "$bridge" ] || die "no bridge binary at $bridge"
    [ -z "$emulator" ] || [ -x "$emulator" ] || die "no emulator binary at $emulator"
fi

cache=${ORVEX_KERNEL_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/orvex-kernel-test}
mkdir -p "$cache"
[ "$fetch_only" -eq 1 ] || mkdir -p "$out"
# Two builds on one machine may run the suite at once.
exec 9>"$cache/lock"
flock 9

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi; }
updated=0
apt_update() {
    [ "$updated" -eq 0 ] || return 1
    updated=1
    echo "build-initramfs: running apt-get update" >&2
    as_root apt-get update -qq >&2
}

# The version of a package as apt knows it, or nothing (the lists may be
# missing).
package_version() {
    apt-cache show --no-all-versions "$1" 2>/dev/null | awk '/^Version:/ { print $2; exit }' || true
}

kernel_package() {
    apt-cache depends --no-recommends --no-suggests linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }' || true
}

# download PACKAGE VERSION DIR: the .deb into DIR, updating the lists once if
# they are missing or stale.
download() {
    local tries=0
    while ! (cd "$3" && apt-get download -q "$1=$2" >"$3/apt.log" 2>&1); do
        tries=$((tries + 1))
        [ "$tries" -lt 2 ] && apt_update || skip "cannot download $1 $2: $(tail -n 1 "$3/apt.log")"
    done
    ls "$3"/*.deb
}

# --- the kernel -------------------------------------------------------------

pkg=$(kernel_package)
if [ -z "$pkg" ]; then apt_update && pkg=$(kernel_package) || true; fi
if [ -z "$pkg" ]; then
    # Offline: a kernel fetched earlier still serves.
    kdir=$(ls -d "$cache"/linux-image-*/ 2>/dev/null | sort -V | tail -n 1 || true)
    [ -n "$kdir" ] && [ -f "$kdir/complete" ] || skip "apt knows no linux-image-amd64 and nothing is cached"
    kdir=${kdir%/}
else
    kversion=$(package_version "$pkg")
    kdir=$cache/${pkg}_$kversion
fi

modules=(hid uhid hid-generic e1000)
# Pairing needs crypto the kernel asks for by name (no modprobe in the
# guest): those first, then Bluetooth with the virtual and UART controllers.
ble_modules=(sha512_generic sha3_generic jitterentropy_rng drbg ecdh_generic cmac ecb af_alg algif_hash
    algif_skcipher bluetooth hci_vhci hci_uart)
# The cache of an earlier layout lacks the Bluetooth modules: fetched
# again when apt can (offline, the kernel suite still boots from it).
[ -z "$pkg" ] || [ -f "$kdir/modules/bluetooth.ko" ] || rm -f "$kdir/complete"
if [ ! -f "$kdir/complete" ]; then
    rm -rf "$kdir" "$kdir.part"
    work=$(mktemp -d "$cache/fetch.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    deb=$(download "$pkg" "$kversion" "$work")
    dpkg-deb -x "$deb" "$work/root"
    mkdir -p "$kdir.part/modules"
    cp "$work"/root/boot/vmlinuz-* "$kdir.part/vmlinuz"
    moddir=""
    for dir in "$work"/root/lib/modules/*/ "$work"/root/usr/lib/modules/*/; do
        [ -d "$dir" ] && moddir=$dir && break
    done
    [ -n "$moddir" ] || die "the kernel package holds no modules"
    order=()
    add_module() {
        local name=$1 pattern file dep
        for have in "${order[@]}"; do [ "$have" = "$name" ] && return 0; done
        pattern=$(echo "$name" | sed 's/[-_]/[-_]/g')
        file=$(find "$moddir" -name "$pattern.ko" -o -name "$pattern.ko.xz" -o -name "$pattern.ko.zst" | head -n 1)
        if [ -z "$file" ]; then
            grep -q "/$pattern\.ko" "$moddir/modules.builtin" && return 0
            die "the kernel package has no module $name"
        fi
        case "$file" in
            *.xz) xz -dc "$file" >"$kdir.part/modules/$name.ko" ;;
            *.zst) zstd -qdc "$file" >"$kdir.part/modules/$name.ko" ;;
            *) cp "$file" "$kdir.part/modules/$name.ko" ;;
        esac
        for dep in $(grep -a -o 'depends=[^[:cntrl:]]*' "$kdir.part/modules/$name.ko" | head -n 1 | cut -d= -f2 | tr , ' '); do
            add_module "$dep"
        done
        order+=("$name")
    }
    for m in "${modules[@]}"; do add_module "$m"; done
    printf '%s\n' "${order[@]}" >"$kdir.part/modules/order"
    order=()
    for m in "${ble_modules[@]}" "${modules[@]}"; do add_module "$m"; done
    printf '%s\n' "${order[@]}" >"$kdir.part/modules/order-ble"
    touch "$kdir.part/complete"
    mv "$kdir.part" "$kdir"
    rm -rf "$work"
    trap - EXIT
    echo "build-initramfs: fetched $pkg $kversion" >&2
fi

# --- systemd-udevd ---------------------------------------------------------

# systemd-udevd is udevadm under another name. The installed one if there is
# one, else the udev package's, fetched like the kernel.
udevadm=$(command -v udevadm || true)
if [ -z "$udevadm" ]; then
    uversion=$(package_version udev)
    if [ -z "$uversion" ]; then apt_update && uversion=$(package_version udev) || true; fi
    [ -n "$uversion" ] || skip "apt knows no udev package"
    udir=$cache/udev_$uversion
    if [ ! -f "$udir/udevadm" ]; then
        work=$(mktemp -d "$cache/fetch.XXXXXX")
        trap 'rm -rf "$work"' EXIT
        deb=$(download udev "$uversion" "$work")
        dpkg-deb -x "$deb" "$work/root"
        mkdir -p "$udir"
        found=$(find "$work/root" -path '*/bin/udevadm' -type f | head -n 1)
        [ -n "$found" ] || die "the udev package holds no udevadm"
        cp "$found" "$udir/udevadm.part"
        mv "$udir/udevadm.part" "$udir/udevadm"
        rm -rf "$work"
        trap - EXIT
    fi
    udevadm=$udir/udevadm
fi

# --- bluez ------------------------------------------------------------------

if [ "$ble" -eq 1 ]; then
    bversion=$(package_version bluez)
    if [ -z "$bversion" ]; then apt_update && bversion=$(package_version bluez) || true; fi
    [ -n "$bversion" ] || skip "apt knows no bluez package"
    bdir=$cache/bluez_$bversion
    if [ ! -f "$bdir/complete" ]; then
        rm -rf "$bdir"
        work=$(mktemp -d "$cache/fetch.XXXXXX")
        trap 'rm -rf "$work"' EXIT
        for package in bluez bluez-test-tools; do
            mkdir -p "$work/$package"
            dpkg-deb -x "$(download "$package" "$bversion" "$work/$package")" "$work/root"
        done
        [ -x "$work/root/usr/libexec/bluetooth/bluetoothd" ] || die "the bluez package holds no bluetoothd"
        mv "$work/root" "$bdir"
        touch "$bdir/complete"
        rm -rf "$work"
        trap - EXIT
        echo "build-initramfs: fetched bluez $bversion" >&2
    fi
fi

[ "$fetch_only" -eq 0 ] || exit 0

# --- the initramfs -----------------------------------------------------------

root=$out/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,etc,proc,run,sys,tmp,root,lib/systemd,lib/orvex-modules,opt/orvex}

# copy_elf FILE DEST: the program and every library the dynamic loader would
# give it, at the paths ldd names.
copy_elf() {
    local file=$1 dest=$2 lib
    if command -v objcopy >/dev/null 2>&1; then
        # Debug sections only make the image slower to load; symbols stay.
        objcopy --strip-debug "$file" "$root$dest"
    else
        cp "$file" "$root$dest"
    fi
    chmod 755 "$root$dest"
    if ldd "$file" 2>/dev/null | grep -q 'not found'; then
        # A fetched udevadm needs what the udev package would have installed.
        skip "$file needs libraries this machine lacks:$(ldd "$file" | awk '/not found/ { printf " %s", $1 }')"
    fi
    for lib in $(ldd "$file" 2>/dev/null | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'); do
        [ -e "$root$lib" ] && continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}

copy_elf "$(command -v busybox)" /bin/busybox
copy_elf "$udevadm" /bin/udevadm
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
[ -z "$emulator" ] || copy_elf "$emulator" /opt/orvex/orvex-uhid-emulator
copy_elf "$bridge" /opt/orvex/orvex-bridge
order_file=order
[ "$ble" -eq 0 ] || order_file=order-ble
[ -f "$kdir/modules/$order_file" ] || skip "the cached kernel lacks the Bluetooth modules and apt cannot fetch it again"
for m in $(cat "$kdir/modules/$order_file"); do cp "$kdir/modules/$m.ko" "$root/lib/orvex-modules/"; done
cp "$kdir/modules/$order_file" "$root/lib/orvex-modules/order"
install -m 755 "$here/guest-init.sh" "$root/init"
install -m 644 "$here/guest-common.sh" "$root/lib/orvex-guest-common.sh"
printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/false\n' >"$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' >"$root/etc/group"
for program in "${programs[@]}"; do copy_elf "$program" "/opt/orvex/$(basename "$program")"; done
if [ "$ble" -eq 1 ]; then
    need dbus-daemon dbus
    mkdir -p "$root"/{usr/bin,usr/libexec/bluetooth,etc/bluetooth,etc/dbus-1/system.d,usr/share/dbus-1,var/lib/bluetooth}
    copy_elf "$bdir/usr/libexec/bluetooth/bluetoothd" /usr/libexec/bluetooth/bluetoothd
    for tool in btvirt btmgmt btattach; do copy_elf "$bdir/usr/bin/$tool" "/usr/bin/$tool"; done
    copy_elf "$(command -v dbus-daemon)" /usr/bin/dbus-daemon
    copy_elf "$(command -v dbus-send)" /usr/bin/dbus-send
    cp /usr/share/dbus-1/system.conf "$root/usr/share/dbus-1/"
    # Debian 12's bluez keeps its bus policy under /etc, Debian 13's under
    # /usr/share; the guest's bus reads both folders.
    for policy in "$bdir"/{etc,usr/share}/dbus-1/system.d/bluetooth.conf; do
        if [ -f "$policy" ]; then cp "$policy" "$root/etc/dbus-1/system.d/"; fi
    done
    [ -f "$root/etc/dbus-1/system.d/bluetooth.conf" ] || die "the bluez package holds no D-Bus policy for bluetoothd"
    # No Device Information of the central's own: the peripheral's PnP ID
    # is the one under test.
    printf '[General]\nDeviceID = false\n[Policy]\nAutoEnable = true\n' >"$root/etc/bluetooth/main.conf"
    printf 'messagebus:x:100:101::/nonexistent:/bin/false\n' >>"$root/etc/passwd"
    printf 'messagebus:x:101:\nbluetooth:x:102:\n' >>"$root/etc/group"
    echo 0123456789abcdef0123456789abcdef >"$root/etc/machine-id"
    install -m 755 "$here/../ble-kernel/guest-init.sh" "$root/init"
fi

# Uncompressed: the guest unpacks it faster than it would inflate it.
(cd "$root" && find . -print0 | sort -z | cpio --null -o -H newc --quiet) >"$out/initrd.cpio.part"
mv "$out/initrd.cpio.part" "$out/initrd.cpio"
rm -rf "$root"

echo "kernel=$kdir/vmlinuz"
echo "initrd=$out/initrd.cpio"
