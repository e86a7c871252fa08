#!/usr/bin/env bash
# Runs the real comtrace under valgrind's memcheck with the serial port absent
# (devsim --absent: no /dev/ttyS0 at all), so that every failure path of
# bring-up, the whole dialogue on an invalid handle and the release run
# under memcheck. The dialogue's waits still run: about 145 s.
#
# Usage: tests/valgrind/valgrind_absent.sh DEVSIM COMTRACE TRACE_QUERY [WORK_DIR]
# Fails unless memcheck reports no errors and no definite or indirect leaks,
# and the run's trace (read by TRACE_QUERY) went from the failed open to the
# failed release.
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

need_args $# 3 4 "valgrind_absent.sh DEVSIM COMTRACE TRACE_QUERY [WORK_DIR]"
devsim=$1
comtrace=$2
trace_query=$3
work=${4:-}
if [[ -z $work ]]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
trace=$work/valgrind-absent.trace
report=$work/valgrind-absent.log

status=0
# Standard input is not a console, so the final key wait ends at once.
"$devsim" --absent -- valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    --track-origins=yes --log-file="$report" "$comtrace" </dev/null >"$trace" || status=$?

show_failure_context() {
    echo "--- memcheck report ($report)"
    cat "$report" || true
    echo "--- trace, first and last lines ($trace)"
    head -3 "$trace" || true
    tail -3 "$trace" || true
}

((status == 0)) || fail "exit status $status (99: memcheck found errors or leaks)"
grep -q 'ERROR SUMMARY: 0 errors' "$report" || fail "memcheck reported errors"
state=$("$trace_query" "$trace" 2>&1 || true)
[[ $state == "not-opened release-failed" ]] || fail "the run did not go from the failed open to the release: $state"
end_checks
echo "valgrind (port absent): no errors, no definite or indirect leaks; $(wc -l <"$trace") trace lines"
