#!/usr/bin/env bash
# Runs the Windows build of comtrace under Wine on a machine without any
# serial port, and the Linux build under devsim --absent, side by side, and
# checks that the two traces are the same line for line (CR LF aside): every
# port step fails, the release included.
#
# usage: run_wine_absent.sh --devsim PATH --comtrace PATH --comtrace-exe PATH
#                           --work DIR [--wine PATH] [--wineserver PATH]
#
# Wine runs in a private mount namespace whose /dev holds only the few
# nodes Wine itself needs, so no COM port exists for it to find and the
# machine's own /dev/ttyS* are out of reach. Needs root (unshare -m). DIR
# is emptied first and keeps the traces; the Wine prefix in it is always
# removed at the end.
set -u

devsim=""
comtrace=""
comtraceExe=""
work=""
wine="wine"
wineserver="wineserver"
while [ $# -gt 0 ]; do
    case "$1" in
        --devsim) devsim="$2"; shift 2 ;;
        --comtrace) comtrace="$2"; shift 2 ;;
        --comtrace-exe) comtraceExe="$2"; shift 2 ;;
        --work) work="$2"; shift 2 ;;
        --wine) wine="$2"; shift 2 ;;
        --wineserver) wineserver="$2"; shift 2 ;;
        *) echo "run_wine_absent.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$devsim" ] || [ -z "$comtrace" ] || [ -z "$comtraceExe" ] || [ -z "$work" ]; then
    echo "run_wine_absent.sh: --devsim, --comtrace, --comtrace-exe and --work are required" >&2
    exit 2
fi
for program in "$devsim" "$comtrace" "$comtraceExe"; do
    if [ ! -f "$program" ]; then
        echo "run_wine_absent.sh: $program does not exist (build it first)" >&2
        exit 2
    fi
done

case "$work" in
    /*) ;;
    *) work="$PWD/$work" ;;
esac
prefix="$work/wine-prefix"
rm -rf "$work"
mkdir -p "$work" || exit 2

pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    if [ -d "$prefix" ]; then
        WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1
        rm -rf "$prefix"
    fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

"$devsim" --absent -- "$comtrace" </dev/null >"$work/linux.out" 2>"$work/linux.err" &
linuxPid=$!
pids+=("$linuxPid")

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# Inside the namespace: a tmpfs with the nodes Wine needs becomes /dev.
# The prefix's wineserver starts and is stopped in there too.
# shellcheck disable=SC2016
unshare --mount --propagation private bash -c '
    set -e
    dev=$(mktemp -d)
    mount -t tmpfs devsim-absent "$dev"
    for node in null zero full random urandom tty ptmx; do
        touch "$dev/$node"
        mount --bind "/dev/$node" "$dev/$node"
    done
    mkdir "$dev/pts" "$dev/shm"
    mount --bind /dev/pts "$dev/pts"
    mount --bind /dev/shm "$dev/shm"
    mount --bind "$dev" /dev
    set +e
    "$1" "$2" </dev/null >"$3/wine.out" 2>"$3/wine.err"
    echo $? >"$3/wine.status"
    "$4" -k >/dev/null 2>&1
    exit 0' absent "$wine" "$comtraceExe" "$work" "$wineserver" \
    < /dev/null >"$work/namespace.err" 2>&1 &
winePid=$!
pids+=("$winePid")
wait "$linuxPid"
linuxStatus=$?
wait "$winePid"
pids=()

failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

wineStatus=$(cat "$work/wine.status" 2>/dev/null || echo missing)
echo "linux run: exit status $linuxStatus; wine run: exit status $wineStatus"
if [ "$linuxStatus" != 0 ]; then
    fail "the Linux run exited with status $linuxStatus; its stderr ends with:"
    tail -n 10 "$work/linux.err"
fi
if [ "$wineStatus" != 0 ]; then
    fail "the Wine run exited with status $wineStatus; its stderr and the namespace's end with:"
    tail -n 10 "$work/wine.err" "$work/namespace.err"
fi

# The reference must be the absent port's run, or two runs that failed
# alike would agree.
firstLine=$(head -n 1 "$work/linux.out")
lastLine=$(tail -n 1 "$work/linux.out")
if [ "$firstLine" != "(-) COM1 initialization failed" ] || [ "$lastLine" != "(-) CloseHandle() failed" ]; then
    fail "the Linux run is not an absent port's (first line '$firstLine', last line '$lastLine')"
fi

sed 's/\r$//' "$work/wine.out" >"$work/wine-lf.out"
if ! cmp -s "$work/linux.out" "$work/wine-lf.out"; then
    fail "the Wine trace differs from the Linux trace (line ends aside):"
    diff -u --label linux "$work/linux.out" --label wine "$work/wine-lf.out" | head -n 40
fi

if [ "$failed" != 0 ]; then
    echo "traces are in $work"
    exit 1
fi
echo "PASS: with no port, the Wine trace equals the Linux trace ($(wc -l <"$work/linux.out") lines)"
exit 0
