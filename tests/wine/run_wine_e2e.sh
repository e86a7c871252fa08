#!/usr/bin/env bash
# Runs the Windows build of comtrace under Wine and the Linux build natively,
# each against its own simulated device with the same device options, side
# by side, and checks that the Windows trace is the Linux trace line for
# line, with the CR LF line ends a text-mode Windows console program writes.
#
# usage: run_wine_e2e.sh --devsim PATH --comtrace PATH --comtrace-exe PATH
#                        --trace-query PATH --work DIR [--wine PATH]
#                        [--wineserver PATH] [-- DEVICE_OPTIONS...]
#
# With --absent among the device options there is no port at all: the
# Windows build then runs without devsim (which would leave Wine no /dev),
# in a private mount namespace whose /dev holds only the nodes Wine needs.
#
# DIR is emptied first; it keeps the traces and devsim's event logs for a
# failure to be looked into. The Wine prefix inside it is always removed at
# the end: while Wine runs, its port links may name /dev/ttyS0, which only
# inside devsim's namespace is the simulated device.
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

devsim=""
comtrace=""
comtrace_exe=""
trace_query=""
work=""
wine="wine"
wineserver="wineserver"
while [ $# -gt 0 ]; do
    case "$1" in
        --devsim) devsim="$2"; shift 2 ;;
        --comtrace) comtrace="$2"; shift 2 ;;
        --comtrace-exe) comtrace_exe="$2"; shift 2 ;;
        --trace-query) trace_query="$2"; shift 2 ;;
        --work) work="$2"; shift 2 ;;
        --wine) wine="$2"; shift 2 ;;
        --wineserver) wineserver="$2"; shift 2 ;;
        --) shift; break ;;
        *) die "unknown argument $1" ;;
    esac
done
device_options=("$@")

need_values "--devsim, --comtrace, --comtrace-exe, --trace-query and --work are required" \
    "$devsim" "$comtrace" "$comtrace_exe" "$trace_query" "$work"
need_files "$devsim" "$comtrace" "$comtrace_exe" "$trace_query"

case "$work" in
    /*) ;;
    *) work="$PWD/$work" ;;
esac
prefix="$work/wine-prefix"
rm -rf "$work"
mkdir -p "$work" || exit 2

pids=()

# The sides still running are ended (each has ended already unless the test
# was cut off), and the prefix goes with them.
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    remove_wine_prefix "$prefix" "$wineserver"
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
    trap 'kill -TERM "$child" 2>/dev/null || true' TERM INT HUP
    status=0
    wait "$child" || status=$?
    # A trapped signal cuts the wait short; the command is ending then.
    while kill -0 "$child" 2>/dev/null; do
        status=0
        wait "$child" || status=$?
    done
    echo "$status" >"$work/$name.status"
    echo "$started $(date +%s.%N)" | awk '{ printf "%.1f\n", $2 - $1 }' >"$work/$name.seconds"
}

windows_side=("$devsim" --log "$work/wine-device.log" --wine-prefix "$prefix" "${device_options[@]}" --)
expected_state="opened released"
if [[ " ${device_options[*]} " == *" --absent "* ]]; then
    windows_side=(bash "$(dirname "${BASH_SOURCE[0]}")/without_serial_ports.sh" "$wineserver")
    expected_state="not-opened release-failed"
fi

run_side linux "$devsim" --log "$work/linux-device.log" "${device_options[@]}" -- "$comtrace" &
pids+=($!)
run_side wine env -u DISPLAY -u WAYLAND_DISPLAY \
    WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" \
    "${windows_side[@]}" "$wine" "$comtrace_exe" &
pids+=($!)
# Each side's status is in its files; a side's own wait sees it.
wait "${pids[@]}" || true
pids=()

show_failure_context() {
    echo "traces and device logs are in $work"
}

for side in linux wine; do
    status=$(cat "$work/$side.status" 2>/dev/null || echo missing)
    echo "$side run: exit status $status after $(cat "$work/$side.seconds" 2>/dev/null) s"
    if [ "$status" != 0 ]; then
        # devsim exits 3 when the program deviated from the dialogue, 125 when
        # it could not set up; the program itself always exits 0.
        fail "the $side run exited with status $status; its stderr ends with:"
        tail -n 20 "$work/$side.err" || true
    fi
done

# The reference must be a whole dialogue, or two runs that failed alike
# would agree: the port opened (or, with no port, failed to), the whole
# dialogue is there, the port closed (or failed to).
state=$("$trace_query" "$work/linux.out" 2>&1 || true)
if [ "$state" != "$expected_state" ]; then
    fail "the Linux run did not hold a whole dialogue: $state (expected $expected_state)"
fi

sed 's/\r$//' "$work/wine.out" >"$work/wine-lf.out"
if ! cmp -s "$work/linux.out" "$work/wine-lf.out"; then
    fail "the Wine trace differs from the Linux trace (line ends aside):"
    diff -u --label linux "$work/linux.out" --label wine "$work/wine-lf.out" | head -n 40 || true
elif ! sed 's/$/\r/' "$work/linux.out" | cmp -s - "$work/wine.out"; then
    # A trace redirected to a file keeps the platform's line ends.
    fail "the Wine trace does not end every line with CR LF: $(grep -c $'[^\r]$' "$work/wine.out") lines end with a bare LF"
fi

end_checks
echo "PASS: the Wine trace equals the Linux trace ($(wc -l <"$work/linux.out") lines)"
exit 0
