#!/usr/bin/env bash
# Runs the Windows build of comtrace under Wine on a terminal, against a
# silent simulated device, and checks the end of a run: once the port is
# closed the program waits on the console, and one cursor key (which yields
# no character) ends the wait and the program with status 0.
#
# usage: run_wine_key_wait.sh --devsim PATH --comtrace-exe PATH --work DIR
#                             [--wine PATH] [--wineserver PATH] [--script PATH]
#
# The terminal is a pty from script(1), fed through a FIFO. DIR is emptied
# first and keeps the console output; the Wine prefix in it is always
# removed at the end (see run_wine_e2e.sh).
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

devsim=""
comtrace_exe=""
work=""
wine="wine"
wineserver="wineserver"
script_program="script"
while [ $# -gt 0 ]; do
    case "$1" in
        --devsim) devsim="$2"; shift 2 ;;
        --comtrace-exe) comtrace_exe="$2"; shift 2 ;;
        --work) work="$2"; shift 2 ;;
        --wine) wine="$2"; shift 2 ;;
        --wineserver) wineserver="$2"; shift 2 ;;
        --script) script_program="$2"; shift 2 ;;
        *) die "unknown argument $1" ;;
    esac
done
need_values "--devsim, --comtrace-exe and --work are required" "$devsim" "$comtrace_exe" "$work"
need_files "$devsim" "$comtrace_exe"

# How long the dialogue and Wine's first start may take, and how long the
# program may take to end after the key.
readonly RunLimitSeconds=600
readonly WaitingCheckSeconds=3
readonly EndLimitSeconds=30
# Cursor up as a terminal sends it.
readonly CursorUpKey=$'\033[A'

case "$work" in
    /*) ;;
    *) work="$PWD/$work" ;;
esac
prefix="$work/wine-prefix"
rm -rf "$work"
mkdir -p "$work" || exit 2

terminal=""
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    if [ -n "$terminal" ] && kill -0 "$terminal" 2>/dev/null; then
        kill -TERM "$terminal" 2>/dev/null || true
        wait "$terminal" 2>/dev/null || true
    fi
    remove_wine_prefix "$prefix" "$wineserver"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

mkfifo "$work/keys" || exit 2
# Held open for writing, so the terminal's input never reaches end of file.
exec 3<>"$work/keys"

command=$(printf '%q ' env -u DISPLAY -u WAYLAND_DISPLAY \
    WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" \
    "$devsim" --silent --wine-prefix "$prefix" -- "$wine" "$comtrace_exe")
"$script_program" --quiet --flush --return --command "$command" /dev/null \
    <"$work/keys" >"$work/console.out" 2>"$work/console.err" &
terminal=$!

# Wine draws the console with escape sequences and moves over spaces, so
# the text is compared without them.
console_text() {
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$work/console.out" | tr -d ' \r\n'
}

show_failure_context() {
    echo "the console output is in $work/console.out; stderr ends with:"
    tail -n 20 "$work/console.err" || true
}

# Waits for the terminal's command to end and leaves its exit status in
# status (not in a subshell: only this shell can wait for it).
wait_terminal() {
    status=0
    wait "$terminal" || status=$?
}

started=$SECONDS
until [[ $(console_text) == *CloseHandleok* ]]; do
    if ! kill -0 "$terminal" 2>/dev/null; then
        wait_terminal
        fail_now "the program ended (status $status) before it closed the port"
    fi
    if [ $((SECONDS - started)) -ge "$RunLimitSeconds" ]; then
        fail_now "the port was not closed within $RunLimitSeconds s"
    fi
    sleep 1
done
echo "port closed after $((SECONDS - started)) s"

sleep "$WaitingCheckSeconds"
if ! kill -0 "$terminal" 2>/dev/null; then
    wait_terminal
    fail_now "the program ended (status $status) without waiting for a key"
fi

printf '%s' "$CursorUpKey" >&3
key_at=$SECONDS
while kill -0 "$terminal" 2>/dev/null; do
    if [ $((SECONDS - key_at)) -ge "$EndLimitSeconds" ]; then
        fail_now "the program still waits $EndLimitSeconds s after a cursor key"
    fi
    sleep 0.2
done
wait_terminal
terminal=""
if [ "$status" != 0 ]; then
    fail_now "the program ended with status $status after the key"
fi
echo "PASS: waited on the console and ended $((SECONDS - key_at)) s after a cursor key"
exit 0
