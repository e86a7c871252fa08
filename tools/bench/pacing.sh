#!/usr/bin/env bash
# The pacing benchmark: runs comtrace once (about 145 s) against the
# simulated device and reports, from the device's own timestamps, how closely
# every byte kept its schedule, plus the program's CPU time and peak memory.
#
# usage: tools/bench/pacing.sh [BUILD_DIR]   (default: build)
set -euo pipefail
build=${1:-build}
devsim="$build/tools/devsim/devsim"
report="$build/tools/bench/pacing_report"
comtrace="$build/comtrace"
for tool in "$devsim" "$report" "$comtrace" /usr/bin/time; do
    [ -x "$tool" ] || { echo "pacing.sh: $tool is missing (build first; /usr/bin/time is Debian's 'time')" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A real device does not share the program's processor. On a machine with
# two or more, the simulator and the program get one each, so that the
# simulator's work does not delay the program's writes and show as pacing
# error.
device_cpu=()
program_cpu=()
if [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
    device_cpu=(taskset -c 1)
    program_cpu=(taskset -c 0)
fi
"${device_cpu[@]}" "$devsim" --log "$work/log" -- "${program_cpu[@]}" /usr/bin/time -v -o "$work/time" "$comtrace" \
    </dev/null >"$work/trace"
"$report" "$work/log"
user=$(awk -F': ' '/User time/ {print $2}' "$work/time")
system=$(awk -F': ' '/System time/ {print $2}' "$work/time")
rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time")
cpu_ms=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.0f", (u + s) * 1000 }')
echo "CPU time: ${cpu_ms} ms (user ${user} s, system ${system} s); peak RSS: ${rss} KiB"
awk -v c="$cpu_ms" -v r="$rss" 'BEGIN { printf "targets: CPU <= 30 ms: %s; peak RSS <= 2048 KiB: %s\n", (c <= 30 ? "met" : "MISSED"), (r <= 2048 ? "met" : "MISSED") }'
