#!/usr/bin/env bash
# Runs a command, as root, where no serial port exists and the machine's own
# are out of reach: in a private mount namespace whose /dev holds only the
# nodes Wine needs. A new Wine prefix maps COM1 to /dev/ttyS0, which on this
# machine may be the system console; in here there is none to map.
#
# usage: without_serial_ports.sh WINESERVER [PORT_OPTION WINE NAME DEVICE]
#                                COMMAND...
#
# PORT_OPTION is --wine-port or --unlisted-port. With --wine-port, Wine's port NAME (e.g. COM3) is first made to name
# DEVICE, and the prefix's server restarted to take it. With
# --unlisted-port, Wine is started first and its server kept running, and
# only then does the prefix get a device link NAME (e.g. com1) to DEVICE:
# a port that opens but that the system's port lists leave out. The prefix
# (WINEPREFIX) gets its wineserver started in here, so it is stopped in
# here. Exits with COMMAND's status, or 2 when it could not set up.
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

if [ "${1:-}" != --inside ]; then
    (($# >= 2)) || die "usage: $script_name WINESERVER [PORT_OPTION WINE NAME DEVICE] COMMAND..."
    exec unshare --mount --propagation private bash "${BASH_SOURCE[0]}" --inside "$@"
fi
shift
wineserver=$1
shift

dev=$(mktemp -d) || die "cannot make a folder for the private /dev"
{
    mount -t tmpfs comtrace-no-ports "$dev"
    for node in null zero full random urandom tty ptmx; do
        touch "$dev/$node"
        mount --bind "/dev/$node" "$dev/$node"
    done
    mkdir "$dev/pts" "$dev/shm"
    mount --bind /dev/pts "$dev/pts"
    mount --bind /dev/shm "$dev/shm"
    mount --bind "$dev" /dev
} || die "cannot set up the private /dev"

if [ "${1:-}" = --wine-port ]; then
    (($# >= 5)) || die "--wine-port needs WINE NAME DEVICE and a command"
    "$2" reg add "HKLM\\Software\\Wine\\Ports" /v "$3" /t REG_SZ /d "$4" /f >/dev/null ||
        die "cannot add Wine's port $3"
    "$wineserver" -k || die "cannot stop the wineserver to restart it"
    "$wineserver" -w
    shift 4
elif [ "${1:-}" = --unlisted-port ]; then
    (($# >= 5)) || die "--unlisted-port needs WINE NAME DEVICE and a command"
    # Wine makes the prefix's device folder, with its drives, itself.
    mkdir -p "$WINEPREFIX" || die "cannot make the prefix $WINEPREFIX"
    "$wineserver" -p || die "cannot start a wineserver that stays"
    "$2" reg query "HKLM\\Software\\Wine" >/dev/null || die "cannot start Wine in $WINEPREFIX"
    ln -s "$4" "$WINEPREFIX/dosdevices/$3" || die "cannot link $3 to $4"
    shift 4
fi

status=0
"$@" || status=$?
# Fails when no server runs for the prefix, which is nothing to stop.
"$wineserver" -k >/dev/null 2>&1 || true
exit "$status"
