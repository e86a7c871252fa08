#!/usr/bin/env bash
# Runs the Windows build of comtrace under Wine and the Linux build natively,
# each against its own simulated device with the same device options, side
# by side, and checks that the Windows trace is the Linux trace line for
# line, with the CR LF line ends a text-mode Windows console program writes.
#
# usage: run_wine_e2e.sh --devsim PATH --comtrace PATH --comtrace-exe PATH
#                        --trace-query PATH --work DIR [--wine PATH]
#                        [--wineserver PATH]
#                        [-- DEVICE_OPTIONS...]
#
# With --absent among the device options there is no port at all: the
# Windows build then runs without devsim (which would leave Wine no /dev),
# in a private mount namespace whose /dev holds only the nodes Wine needs.
#
# DIR is emptied first; it keeps the traces and devsim's event logs for a
# failure to be looked into. The Wine prefix inside it is always removed at
# the end: while Wine runs, its port links may name /dev/ttyS0, which only
# inside devsim's namespace is the simulated device.
set -u

devsim=""
comtrace=""
comtraceExe=""
traceQuery=""
work=""
wine="wine"
wineserver="wineserver"
while [ $# -gt 0 ]; do
    case "$1" in
        --devsim) devsim="$2"; shift 2 ;;
        --comtrace) comtrace="$2"; shift 2 ;;
        --comtrace-exe) comtraceExe="$2"; shift 2 ;;
        --trace-query) traceQuery="$2"; shift 2 ;;
        --work) work="$2"; shift 2 ;;
        --wine) wine="$2"; shift 2 ;;
        --wineserver) wineserver="$2"; shift 2 ;;
        --) shift; break ;;
        *) echo "run_wine_e2e.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
deviceOptions=("$@")

if [ -z "$devsim" ] || [ -z "$comtrace" ] || [ -z "$comtraceExe" ] || [ -z "$traceQuery" ] || [ -z "$work" ]; then
    echo "run_wine_e2e.sh: --devsim, --comtrace, --comtrace-exe, --trace-query and --work are required" >&2
    exit 2
fi
for program in "$devsim" "$comtrace" "$comtraceExe" "$traceQuery"; do
    if [ ! -f "$program" ]; then
        echo "run_wine_e2e.sh: $program does not exist (build it first)" >&2
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

# Wine leaves port links in the prefix (comN -> /dev/ttyS0 for the machine's
# own port); outside devsim's namespace that path is the real port, so the
# prefix must not outlive the run.
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

# Runs one side: NAME COMMAND...; leaves NAME.out, NAME.err, NAME.status and
# NAME.seconds in the work directory. Meant to run in the background: a
# termination signal is passed on to devsim, which ends its command and
# stops the Wine session before it exits.
run_side() {
    local name="$1"
    shift
    local started status child
    started=$(date +%s.%N)
    "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err" &
    child=$!
    trap 'kill -TERM "$child" 2>/dev/null' TERM INT HUP
    wait "$child"
    status=$?
    # A trapped signal cuts the wait short; the command is ending then.
    while kill -0 "$child" 2>/dev/null; do
        wait "$child"
        status=$?
    done
    echo "$status" >"$work/$name.status"
    echo "$started $(date +%s.%N)" | awk '{ printf "%.1f\n", $2 - $1 }' >"$work/$name.seconds"
}

# Run as bash -c SCRIPT no-ports WINESERVER COMMAND...: runs COMMAND where
# no serial port exists and the machine's own are out of reach; the prefix's
# wineserver, started in there, is stopped in there.
# shellcheck disable=SC2016
noPortsScript='
    set -e
    dev=$(mktemp -d)
    mount -t tmpfs comtrace-no-ports "$dev"
    for node in null zero full random urandom tty ptmx; do
        touch "$dev/$node"
        mount --bind "/dev/$node" "$dev/$node"
    done
    mkdir "$dev/pts" "$dev/shm"
    mount --bind /dev/pts "$dev/pts"
    mount --bind /dev/shm "$dev/shm"
    mount --bind "$dev" /dev
    set +e
    "${@:2}"
    status=$?
    "$1" -k >/dev/null 2>&1
    exit $status'

windowsSide=("$devsim" --log "$work/wine-device.log" --wine-prefix "$prefix" "${deviceOptions[@]}" --)
expectedState="opened released"
if [[ " ${deviceOptions[*]} " == *" --absent "* ]]; then
    windowsSide=(unshare --mount --propagation private bash -c "$noPortsScript" no-ports "$wineserver")
    expectedState="not-opened release-failed"
fi

run_side linux "$devsim" --log "$work/linux-device.log" "${deviceOptions[@]}" -- "$comtrace" &
pids+=($!)
run_side wine env -u DISPLAY -u WAYLAND_DISPLAY \
    WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" \
    "${windowsSide[@]}" "$wine" "$comtraceExe" &
pids+=($!)
wait "${pids[@]}"
pids=()

failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

for side in linux wine; do
    status=$(cat "$work/$side.status" 2>/dev/null || echo missing)
    echo "$side run: exit status $status after $(cat "$work/$side.seconds" 2>/dev/null) s"
    if [ "$status" != 0 ]; then
        # devsim exits 3 when the program deviated from the dialogue, 125 when
        # it could not set up; the program itself always exits 0.
        fail "the $side run exited with status $status; its stderr ends with:"
        tail -n 20 "$work/$side.err"
    fi
done

# The reference must be a whole dialogue, or two runs that failed alike
# would agree: the port opened (or, with no port, failed to), the whole
# dialogue is there, the port closed (or failed to).
state=$("$traceQuery" "$work/linux.out" 2>&1)
if [ "$state" != "$expectedState" ]; then
    fail "the Linux run did not hold a whole dialogue: $state (expected $expectedState)"
fi

sed 's/\r$//' "$work/wine.out" >"$work/wine-lf.out"
if ! cmp -s "$work/linux.out" "$work/wine-lf.out"; then
    fail "the Wine trace differs from the Linux trace (line ends aside):"
    diff -u --label linux "$work/linux.out" --label wine "$work/wine-lf.out" | head -n 40
elif ! sed 's/$/\r/' "$work/linux.out" | cmp -s - "$work/wine.out"; then
    # A trace redirected to a file keeps the platform's line ends.
    fail "the Wine trace does not end every line with CR LF: $(grep -c $'[^\r]$' "$work/wine.out") lines end with a bare LF"
fi

if [ "$failed" != 0 ]; then
    echo "traces and device logs are in $work"
    exit 1
fi
echo "PASS: the Wine trace equals the Linux trace ($(wc -l <"$work/linux.out") lines)"
exit 0
