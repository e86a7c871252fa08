#!/usr/bin/env bash
# Runs the unmodified, statically linked comtrace inside a QEMU guest on a
# real kernel's serial driver, with devsim playing the device over QEMU's
# socket character device.
#
#   run_guest.sh BUILD_DIR prepare          fetch the kernel, build the static
#                                           program and the initramfs
#   run_guest.sh BUILD_DIR uart|usb|pci OUTDIR
#                                           prepare, then one run on the 16550
#                                           (8250 driver), the USB adapter
#                                           (ftdi_sio) or the PCI serial card
#                                           (8250_pci)
#   run_guest.sh BUILD_DIR uart|usb|pci OUTDIR break|unplug MARK-RX
#                                           the same, with a fault on the line
#                                           once the guest's driver has
#                                           received MARK-RX bytes: a break
#                                           from the device, or the USB
#                                           adapter removed (usb only)
#   run_guest.sh BUILD_DIR uart|usb|pci OUTDIR held
#                                           the same, with the port held by
#                                           another program when comtrace
#                                           starts
#
# BUILD_DIR is the project's build tree (devsim and port_probe are taken
# from it); the work goes to BUILD_DIR/realport, the kernel to
# $REALPORT_CACHE (default BUILD_DIR/realport/cache), kept between runs.
# OUTDIR receives console.log (the guest's console), trace.txt (comtrace's
# output), device.log (devsim's event log), devsim.err (devsim's and QEMU's
# stderr), status (devsim's exit status) and times (seconds of wall, user
# and system time of the run); a run with a fault also rig.log (what the
# rig told QEMU's monitor) and monitor.log (the monitor's answers). A run
# is cut off after $REALPORT_LIMIT_SECONDS (default 400). Exits 2, saying
# why, when it cannot prepare or run the guest.
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

Modules="usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio"
DownloadTries=3
DownloadLimitSeconds=240
LimitSeconds=${REALPORT_LIMIT_SECONDS:-400}

[ $# -ge 2 ] || die "usage: run_guest.sh BUILD_DIR prepare | run_guest.sh BUILD_DIR uart|usb|pci OUTDIR"
build=$(cd "$1" && pwd) || die "no build tree $1"
action=$2
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
work=$build/realport
cache=${REALPORT_CACHE:-$work/cache}
mkdir -p "$work" "$cache"

need() {
    command -v "$1" >/dev/null || die "$1 is missing: install $2 (tools/run_tests.sh does)"
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
    [ -n "$package" ] || die "apt knows no package behind linux-image-amd64 (run apt-get update)"
    if [ -f "$cache/kernel/$package.ready" ]; then
        return
    fi
    echo "$script_name: fetching $package" >&2
    local download
    download=$(mktemp -d "$cache/download.XXXXXX")
    local try=1
    until (cd "$download" && timeout "$DownloadLimitSeconds" apt-get download -q "$package" >/dev/null 2>"$download/apt.err"); do
        if [ $try -ge $DownloadTries ]; then
            cat "$download/apt.err" >&2
            rm -rf "$download"
            die "cannot download $package"
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
        { rm -rf "$download"; die "cannot unpack the kernel and the modules $Modules from $package"; }
    rm -rf "$cache/kernel"
    mkdir -p "$cache/kernel/modules"
    cp "$download"/tree/boot/vmlinuz-* "$cache/kernel/vmlinuz"
    local found
    for module in $Modules; do
        found=$(find "$download/tree/lib/modules" -name "$module.ko*" | head -n 1)
        [ -n "$found" ] || { rm -rf "$download"; die "$package has no module $module"; }
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
        { cat "$work/static-configure.log" >&2; die "cannot configure the static build"; }
    cmake --build "$work/static" --target comtrace -j"$(nproc)" >"$work/static-build.log" 2>&1 ||
        { cat "$work/static-build.log" >&2; die "cannot build the static program"; }
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
    [ -x "$probe" ] || die "no $probe: build the project first"
    is_static "$probe" || die "$probe is not statically linked"
    is_static "$work/static/comtrace" || die "$work/static/comtrace is not statically linked"
    local busybox
    busybox=$(command -v busybox)
    is_static "$busybox" || die "$busybox is not statically linked: install busybox-static"

    local root
    root=$(mktemp -d "$work/initramfs.XXXXXX")
    # mktemp's 0700 would keep every user but root out of the whole guest.
    chmod 755 "$root"
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

# Acts on the guest's console: when the probe in the guest asks for the
# fault (a line "realport rig FAULT"), tells QEMU's monitor to cause it, once.
rig() { # fault monitor-fifo log
    local fault=$1 monitor=$2 log=$3 line command
    case "$fault" in
    break) command="chardev-send-break dev" ;;
    unplug) command="device_del adapter" ;;
    esac
    while IFS= read -r line; do
        if [ "${line%$'\r'}" = "realport rig $fault" ]; then
            printf '%s\n' "$command" >"$monitor"
            echo "$command" >>"$log"
            break
        fi
    done
    # Drain the rest, so that the console's reader is never blocked.
    cat >/dev/null
}

run_guest() {
    local mode=$1 out=$2 fault=${3:-} mark=${4:-}
    local devsim=$build/tools/devsim/devsim
    [ -x "$devsim" ] || die "no $devsim: build the project first"
    rm -rf "$out"
    mkdir -p "$out"
    out=$(cd "$out" && pwd)
    # A socket's path is limited to 107 bytes; the build tree's may be longer.
    local sockets
    sockets=$(mktemp -d /tmp/realport.XXXXXX)
    local socket=$sockets/line

    local port=(-device "isa-serial,chardev=dev,index=0")
    case "$mode" in
    usb)
        port=(-device "qemu-xhci,id=xhci" -device "usb-serial,id=adapter,bus=xhci.0,chardev=dev")
        ;;
    pci)
        # The machine's own first UART stays, unconnected, so that the
        # card's port is not ttyS0 itself but has to be bound over it.
        port=(-chardev "null,id=builtin" -device "isa-serial,chardev=builtin,index=0"
            -device "pci-serial,chardev=dev")
        ;;
    esac
    # The fault comes through QEMU's human monitor on a pair of FIFOs, on the
    # guest probe's request read from the console as QEMU writes it.
    local monitor=() helpers=() append="realport=$mode"
    if [ "$fault" = held ]; then
        append+=" realport_fault=held"
    elif [ -n "$fault" ]; then
        append+=" realport_fault=$fault realport_mark=$mark"
        mkfifo "$sockets/monitor.in" "$sockets/monitor.out" "$sockets/console"
        monitor=(-chardev "pipe,id=monitor,path=$sockets/monitor" -mon "chardev=monitor,mode=readline")
        : >"$out/console.log"
        : >"$out/rig.log"
        cat "$sockets/monitor.out" >"$out/monitor.log" &
        helpers+=($!)
        tail -n +1 -F "$out/console.log" >"$sockets/console" 2>/dev/null &
        helpers+=($!)
        rig "$fault" "$sockets/monitor.in" "$out/rig.log" <"$sockets/console" &
        helpers+=($!)
    fi
    local status=0
    # The nested KVM these machines offer cannot boot a stock kernel, and
    # CI may have none: TCG always. On a busy host the emulated timer can
    # miss the kernel's early check and panic the boot: no_timer_check. The
    # times (wall, user, system) of devsim and QEMU together go to
    # OUTDIR/times.
    local TIMEFORMAT='%R %U %S'
    {
        time "$devsim" --socket "$socket" --log "$out/device.log" -- \
            timeout -k 10 "$LimitSeconds" \
            qemu-system-x86_64 -accel tcg -cpu qemu64 -m 256 -smp 1 -nodefaults -display none -no-reboot \
            -kernel "$cache/kernel/vmlinuz" -initrd "$work/initramfs.cpio" \
            -append "console=ttyS1,115200 panic=-1 quiet no_timer_check $append" "${monitor[@]}" \
            -chardev socket,id=dev,path="$socket" "${port[@]}" \
            -chardev file,id=console,path="$out/console.log" -device isa-serial,chardev=console,index=1 \
            -chardev file,id=trace,path="$out/trace.txt" -device isa-serial,chardev=trace,index=2 \
            </dev/null 2>"$out/devsim.err" || status=$?
    } 2>"$out/times"
    echo "$status" >"$out/status"
    local helper
    for helper in "${helpers[@]}"; do
        kill "$helper" 2>/dev/null || true # may have ended with QEMU
        wait "$helper" 2>/dev/null || true
    done
    rm -rf "$sockets"
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "$script_name: the guest was cut off after $LimitSeconds s" >>"$out/devsim.err"
    fi
    local wall user system
    read -r wall user system <"$out/times" || true
    echo "$script_name: $mode run ended with status $status after $wall s (processor: $user s user, $system s system); output in $out" >&2
}

case "$action" in
prepare)
    prepare
    ;;
uart | usb | pci)
    [ $# -eq 3 ] || [ $# -eq 5 ] || { [ $# -eq 4 ] && [ "$4" = held ]; } ||
        die "usage: run_guest.sh BUILD_DIR $action OUTDIR [break|unplug MARK-RX | held]"
    if [ $# -eq 5 ]; then
        case "$4" in
        break) ;;
        unplug) [ "$action" = usb ] || die "only the USB adapter can be removed" ;;
        *) die "unknown fault $4: break or unplug" ;;
        esac
        [[ "$5" =~ ^[0-9]+$ ]] || die "MARK-RX must be a byte count, not $5"
    fi
    prepare
    run_guest "$action" "$3" "${4:-}" "${5:-}"
    ;;
*)
    die "unknown action $action: prepare, uart, usb or pci"
    ;;
esac
