#!/usr/bin/env bash
# Runs the Windows build of portdoctor under Wine, with --open, on one
# system and checks its findings, that each finding line is followed by its
# fix (or use) line, and its exit status:
#
#   com1     devsim's device is COM1 (devsim --wine-prefix): COM1 listed as an
#            onboard port, opened and closed again; status 0
#   none     no serial port at all (a private /dev without serial nodes, as
#            run_wine_e2e.sh --absent): no ports, and the open's error in
#            words; status 1
#   com3     only COM3 (a Wine port entry naming /dev/null, in the same
#            private /dev): COM1 missing with the Device Manager steps; status 1
#   unlisted COM1 only as a link the system's port lists do not show (made
#            in the prefix, to /dev/null in the same private /dev, after Wine
#            has started): COM1 opens, so the report says it does and not
#            that there is no port; status 0
#
# usage: run_wine_portdoctor.sh --case com1|none|com3|unlisted --devsim PATH
#                               --portdoctor-exe PATH --work DIR
#                               [--wine PATH] [--wineserver PATH]
#
# DIR is emptied first and keeps the output; the Wine prefix in it is always
# removed at the end (its port links may name /dev/ttyS0, see run_wine_e2e.sh).
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

test_case=""
devsim=""
portdoctor_exe=""
work=""
wine="wine"
wineserver="wineserver"
while [ $# -gt 0 ]; do
    case "$1" in
        --case) test_case="$2"; shift 2 ;;
        --devsim) devsim="$2"; shift 2 ;;
        --portdoctor-exe) portdoctor_exe="$2"; shift 2 ;;
        --work) work="$2"; shift 2 ;;
        --wine) wine="$2"; shift 2 ;;
        --wineserver) wineserver="$2"; shift 2 ;;
        *) die "unknown argument $1" ;;
    esac
done
need_values "--case, --devsim, --portdoctor-exe and --work are required" \
    "$test_case" "$devsim" "$portdoctor_exe" "$work"
need_files "$devsim" "$portdoctor_exe"
case "$test_case" in
    com1 | none | com3 | unlisted) ;;
    *) die "unknown case $test_case" ;;
esac
case "$work" in
    /*) ;;
    *) work="$PWD/$work" ;;
esac
prefix="$work/wine-prefix"
rm -rf "$work"
mkdir -p "$work" || exit 2

# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    remove_wine_prefix "$prefix" "$wineserver"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
status=0
case "$test_case" in
    com1)
        "$devsim" --log "$work/device.log" --wine-prefix "$prefix" -- "$wine" "$portdoctor_exe" --open \
            </dev/null >"$work/out" 2>"$work/err" || status=$?
        ;;
    none | com3 | unlisted)
        # Only COM3, on /dev/null, for com3; a com1 link to /dev/null that the
        # port lists leave out, for unlisted.
        port=()
        [ "$test_case" = com3 ] && port=(--wine-port "$wine" COM3 /dev/null)
        [ "$test_case" = unlisted ] && port=(--unlisted-port "$wine" com1 /dev/null)
        bash "$(dirname "${BASH_SOURCE[0]}")/without_serial_ports.sh" "$wineserver" "${port[@]}" \
            "$wine" "$portdoctor_exe" --open </dev/null >"$work/out" 2>"$work/err" || status=$?
        ;;
esac
sed 's/\r$//' "$work/out" >"$work/report"

# LINE: a line the report must hold, whole; PATTERN for expect_match: an
# extended regular expression one line must match.
expect_line() {
    grep -qxF -- "$1" "$work/report" || fail "no line '$1'"
}
expect_match() {
    grep -qxE -- "$1" "$work/report" || fail "no line matching '$1'"
}
expect_no_match() {
    if grep -qE -- "$1" "$work/report"; then
        fail "a line matches '$1': $(grep -E -- "$1" "$work/report" | head -n 1)"
    fi
}

case "$test_case" in
    com1)
        wanted=0
        expect_line 'note [port]: COM1 is \Device\Serial0, an onboard port'
        expect_line 'note [opened]: COM1 opened and was closed again'
        expect_line '  use: comtrace.exe'
        expect_line 'portdoctor: COM1 looks usable'
        expect_no_match '^(problem|warning) '
        ;;
    none)
        wanted=1
        expect_line 'problem [no-ports]: the system lists no serial port at all'
        expect_line '  fix: plug in a USB serial adapter; if no COM port appears, install its driver (Device Manager shows it under Other devices with a warning sign)'
        # The error's words are the system's own; the number is Windows'.
        expect_match 'problem \[open-failed\]: opening COM1 failed: [A-Za-z].* \(error 2\)'
        expect_line '  fix: there is no COM1: see the findings above (no-ports, com1-missing)'
        expect_no_match '^note \[port\]'
        ;;
    com3)
        wanted=1
        expect_match 'note \[port\]: COM3 is \\Device\\[A-Za-z]+[0-9]+, .+'
        expect_match 'problem \[com1-missing\]: there is no COM1, but the system has COM3 \(.+\)'
        expect_line '  fix: give the adapter COM1: Device Manager -> Ports (COM & LPT) -> the adapter -> Properties -> Port Settings -> Advanced -> COM Port Number -> COM1; a COM1 marked "in use" is usually reserved by an adapter no longer attached: choose it anyway (an onboard port that is COM1 must be moved first)'
        expect_no_match '^problem \[no-ports\]'
        ;;
    unlisted)
        wanted=0
        expect_line 'note [opened]: COM1 opened and was closed again'
        expect_match 'note \[port\]: COM1 .+'
        expect_line 'portdoctor: COM1 looks usable'
        expect_no_match '^(problem|warning) '
        ;;
esac
[ "$status" = "$wanted" ] || fail "exit status $status, not $wanted"
# Every finding line is followed by its fix or use line.
unpaired=$(awk '/^(problem|warning|note) \[/ { if (pending != "") print pending; pending = $0; next }
    /^  (fix|use): / { pending = ""; next }
    { if (pending != "") print pending; pending = "" }
    END { if (pending != "") print pending }' "$work/report")
[ -z "$unpaired" ] || fail "finding lines without a fix line: $unpaired"

# shellcheck disable=SC2317 # run by end_checks
show_failure_context() {
    echo "portdoctor.exe said (stderr in $work/err):"
    sed 's/^/  | /' "$work/report"
}
end_checks
echo "PASS: portdoctor.exe, case $test_case: $(grep -cE '^(problem|warning|note) \[' "$work/report") findings, exit status $status"
