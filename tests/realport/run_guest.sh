#!/usr/bin/env bash
# Runs the unmodified, statically linked comtrace inside a QEMU guest on a
# real kernel's serial driver, with devsim playing the device over QEMU's
# socket character device.
#
#   run_guest.sh BUILD_DIR prepare          fetch the kernel, build the static
#                                           program and the initramfs
#   run_guest.sh BUILD_DIR uart|usb OUTDIR  prepare, then one run on the 16550
#                                           (8250 driver) or the USB adapter
#                                           (ftdi_sio)
#
# BUILD_DIR is the project's build tree (devsim and port_probe are taken
# from it); the work goes to BUILD_DIR/realport, the kernel to
# $REALPORT_CACHE (default BUILD_DIR/realport/cache), kept between runs.
# OUTDIR receives console.log (the guest's console), trace.txt (comtrace's
# output), device.log (devsim's event log), devsim.err (devsim's and QEMU's
# stderr), status (devsim's exit status) and times (seconds of wall, user
# and system time of the run). A run is cut off after
# $REALPORT_LIMIT_SECONDS (default 400).
set -euo pipefail

Modules="usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio"
DownloadTries=3
DownloadLimitSeconds=240
LimitSeconds=${REALPORT_LIMIT_SECONDS:-400}

fail() {
    echo "run-guest: $*" >&2
    exit 1
}

[ $# -ge 2 ] || fail "usage: run_guest.sh BUILD_DIR prepare | run_guest.sh BUILD_DIR uart|usb OUTDIR"
build=$(cd "$1" && pwd) || fail "no build tree $1"
action=$2
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
work=$build/realport
cache=${REALPORT_CACHE:-$work/cache}
mkdir -p "$work" "$cache"

need() {
    command -v "$1" >/dev/null || fail "$1 is missing: install $2 (tools/run_tests.sh does)"
}

# The kernel image and the USB modules of the kernel Debian currently ships
# for amd64, taken from its package without installing it.
fetch_kernel() {
    local package
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
    if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq || true
        package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
    fi
    [ -n "$package" ] || fail "apt knows no package behind linux-image-amd64 (run apt-get update)"
    if [ -f "$cache/kernel/$package.ready" ]; then
        return
    fi
    echo "run-guest: fetching $package" >&2
    local download
    download=$(mktemp -d "$cache/download.XXXXXX")
    local try=1
    until (cd "$download" && timeout "$DownloadLimitSeconds" apt-get download -q "$package" >/dev/null 2>"$download/apt.err"); do
        if [ $try -ge $DownloadTries ]; then
            cat "$download/apt.err" >&2
            rm -rf "$download"
            fail "cannot download $package"
        fi
        try=$((try + 1))
        sleep $((try * 5))
    done
    # Only the kernel and the modules, not the package's 400 MB.
    local patterns=('./boot/vmlinuz-*') module
    for module in $Modules; do
        patterns+=("*/$module.ko*")
    done
    mkdir "$download/tree"
    dpkg-deb --fsys-tarfile "$download"/*.deb | tar -x -C "$download/tree" --wildcards "${patterns[@]}" ||
        { rm -rf "$download"; fail "cannot unpack the kernel and the modules $Modules from $package"; }
    rm -rf "$cache/kernel"
    mkdir -p "$cache/kernel/modules"
    cp "$download"/tree/boot/vmlinuz-* "$cache/kernel/vmlinuz"
    local found
    for module in $Modules; do
        found=$(find "$download/tree/lib/modules" -name "$module.ko*" | head -n 1)
        [ -n "$found" ] || { rm -rf "$download"; fail "$package has no module $module"; }
        case "$found" in
        *.ko.xz) xz -dc "$found" >"$cache/kernel/modules/$module.ko" ;;
        *.ko.zst) zstd -qdc "$found" >"$cache/kernel/modules/$module.ko" ;;
        *) cp "$found" "$cache/kernel/modules/$module.ko" ;;
        esac
    done
    du -sk "$download"/*.deb | cut -f1 >"$cache/kernel/download-kib"
    rm -rf "$download"
    touch "$cache/kernel/$package.ready"
}

# The program as it is, linked statically so that it runs in a bare
# initramfs.
build_static_program() {
    cmake -S "$source_dir" -B "$work/static" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_EXE_LINKER_FLAGS=-static >"$work/static-configure.log" 2>&1 ||
        { cat "$work/static-configure.log" >&2; fail "cannot configure the static build"; }
    cmake --build "$work/static" --target comtrace -j"$(nproc)" >"$work/static-build.log" 2>&1 ||
        { cat "$work/static-build.log" >&2; fail "cannot build the static program"; }
}

is_static() {
    ! ldd "$1" >/dev/null 2>&1
}

# A newc cpio entry (header, name, padding; data follows for files).
cpio_entry() { # name mode rdev-major rdev-minor
    local name=$1 mode=$2 major=$3 minor=$4
    printf '070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X00000000%s\0' \
        0 "$mode" 0 0 1 0 0 0 0 "$major" "$minor" $((${#name} + 1)) "$name"
    local size=$((110 + ${#name} + 1))
    printf '%*s' $(((4 - size % 4) % 4)) '' | tr ' ' '\0'
}

# busybox, the program, the probe, the modules and the init script; the
# console device comes in a second archive appended by hand, since making
# the node on the host would need root.
build_initramfs() {
    local probe=$build/tests/realport/port_probe
    [ -x "$probe" ] || fail "no $probe: build the project first"
    is_static "$probe" || fail "$probe is not statically linked"
    is_static "$work/static/comtrace" || fail "$work/static/comtrace is not statically linked"
    local busybox
    busybox=$(command -v busybox)
    is_static "$busybox" || fail "$busybox is not statically linked: install busybox-static"

    local root
    root=$(mktemp -d "$work/initramfs.XXXXXX")
    mkdir -p "$root/bin" "$root/modules" "$root/dev"
    cp "$busybox" "$root/bin/busybox"
    cp "$work/static/comtrace" "$root/comtrace"
    cp "$probe" "$root/port_probe"
    cp "$here/guest_init.sh" "$root/init"
    chmod 755 "$root/init"
    cp "$cache"/kernel/modules/*.ko "$root/modules/"
    (cd "$root" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null) >"$work/initramfs.cpio.new"
    {
        cpio_entry dev/console $((0020600)) 5 1
        cpio_entry TRAILER!!! 0 0 0
    } >>"$work/initramfs.cpio.new"
    mv "$work/initramfs.cpio.new" "$work/initramfs.cpio"
    rm -rf "$root"
}

prepare() {
    need qemu-system-x86_64 qemu-system-x86
    need busybox busybox-static
    need apt-get apt
    need dpkg-deb dpkg
    need cmake cmake
    # Two runs started together prepare one after the other; the second
    # finds the kernel cached.
    exec 9>"$work/prepare.lock"
    flock 9
    fetch_kernel
    build_static_program
    build_initramfs
    flock -u 9
}

run_guest() {
    local mode=$1 out=$2
    local devsim=$build/tools/devsim/devsim
    [ -x "$devsim" ] || fail "no $devsim: build the project first"
    rm -rf "$out"
    mkdir -p "$out"
    out=$(cd "$out" && pwd)
    # A socket's path is limited to 107 bytes; the build tree's may be longer.
    local sockets
    sockets=$(mktemp -d /tmp/realport.XXXXXX)
    local socket=$sockets/line

    local port=(-device "isa-serial,chardev=dev,index=0")
    if [ "$mode" = usb ]; then
        port=(-device "qemu-xhci,id=xhci" -device "usb-serial,bus=xhci.0,chardev=dev")
    fi
    local status=0
    # The nested KVM these machines offer cannot boot a stock kernel, and
    # CI may have none: TCG always. The times (wall, user, system) of devsim
    # and QEMU together go to OUTDIR/times.
    local TIMEFORMAT='%R %U %S'
    {
        time "$devsim" --socket "$socket" --log "$out/device.log" -- \
            timeout -k 10 "$LimitSeconds" \
            qemu-system-x86_64 -accel tcg -cpu qemu64 -m 256 -smp 1 -nodefaults -display none -no-reboot \
            -kernel "$cache/kernel/vmlinuz" -initrd "$work/initramfs.cpio" \
            -append "console=ttyS1,115200 panic=-1 quiet realport=$mode" \
            -chardev socket,id=dev,path="$socket" "${port[@]}" \
            -chardev file,id=console,path="$out/console.log" -device isa-serial,chardev=console,index=1 \
            -chardev file,id=trace,path="$out/trace.txt" -device isa-serial,chardev=trace,index=2 \
            </dev/null 2>"$out/devsim.err" || status=$?
    } 2>"$out/times"
    echo "$status" >"$out/status"
    rm -rf "$sockets"
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "run-guest: the guest was cut off after $LimitSeconds s" >>"$out/devsim.err"
    fi
    local wall user system
    read -r wall user system <"$out/times" || true
    echo "run-guest: $mode run ended with status $status after $wall s (processor: $user s user, $system s system); output in $out" >&2
}

case "$action" in
prepare)
    prepare
    ;;
uart | usb)
    [ $# -eq 3 ] || fail "usage: run_guest.sh BUILD_DIR $action OUTDIR"
    prepare
    run_guest "$action" "$3"
    ;;
*)
    fail "unknown action $action: prepare, uart or usb"
    ;;
esac
