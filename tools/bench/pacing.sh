#!/usr/bin/env bash
# The pacing benchmark: runs comtrace once (about 145 s) against the
# simulated device and, beside it in the same run, a floor program that
# sends the same bytes with the same waits and does nothing else. Reports,
# from each device's own timestamps, how closely every byte kept its
# schedule, and the processor time and peak memory of both, comtrace's as
# ratios to the floor's: measured side by side, the ratios hold on a machine
# whose load changes from run to run.
#
# usage: tools/bench/pacing.sh [BUILD_DIR [DEVSIM_OPTION...]]
#        (default: build; e.g. "build --silent" for a device that never answers)
set -euo pipefail
build=${1:-build}
shift || true
device_options=("$@")
devsim="$build/tools/devsim/devsim"
report="$build/tools/bench/pacing_report"
floor="$build/tools/bench/pacing_floor"
cpu_time="$build/tools/bench/cpu_time"
comtrace="$build/comtrace"
for tool in "$devsim" "$report" "$floor" "$cpu_time" "$comtrace"; do
    [ -x "$tool" ] || { echo "pacing.sh: $tool is missing (build first)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A real device does not share the program's processor. On a machine with
# two or more, the simulators get one and the programs another, so that the
# simulators' work does not delay the programs' writes and show as pacing
# error. comtrace and the floor share theirs, as they share the machine's
# load.
device_cpu=()
program_cpu=()
if [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
    device_cpu=(taskset -c 1)
    program_cpu=(taskset -c 0)
fi

# Runs one program under its own simulated device; its device's log, CPU
# time and output go to $work/NAME.*.
run_under_device() {
    local name=$1
    shift
    "${device_cpu[@]}" "$devsim" "${device_options[@]}" --log "$work/$name.log" -- \
        "${program_cpu[@]}" "$cpu_time" "$work/$name.cpu" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err"
}

# The ratios hold against a steady load; a load that comes and goes during
# the run shows here. The program's exclusive open looks at every open file
# of every process /proc shows, so its cost grows with their number.
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
shopt -s nullglob
processes=(/proc/[0-9]*)
descriptors=(/proc/[0-9]*/fd/*)
shopt -u nullglob
echo "processes: ${#processes[@]}, with ${#descriptors[@]} open files this user can see"
run_under_device comtrace "$comtrace" &
comtrace_run=$!
# Under devsim the pty stands in for /dev/ttyS0, as it does for comtrace.
run_under_device floor "$floor" /dev/ttyS0 &
floor_run=$!
status=0
wait "$comtrace_run" || { echo "pacing.sh: comtrace's run failed:" >&2; cat "$work/comtrace.err" >&2; status=1; }
wait "$floor_run" || { echo "pacing.sh: the floor's run failed:" >&2; cat "$work/floor.err" >&2; status=1; }
[ "$status" -eq 0 ] || exit 1
echo "load average (1, 5, 15 min): ${load_at_start} at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
"$report" "$work/comtrace.log" "$work/comtrace.cpu" "$work/floor.log" "$work/floor.cpu"
