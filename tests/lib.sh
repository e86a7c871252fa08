#!/usr/bin/env bash
# What the test scripts share: reporting a failed check, refusing arguments
# a script cannot run with, and removing a Wine prefix. A script sources it
# after its own `set -euo pipefail`:
#
#   # shellcheck source=tests/lib.sh
#   source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
#
# Exit statuses: 1 when a check failed, 2 when the script could not run
# (arguments, missing programs), so that a broken set-up is not taken for a
# fault of the program.

# The calling script's name, for its messages.
script_name=$(basename "$0")
# How many checks failed so far.
failures=0

# Reports a failed check on standard output and counts it; the script goes
# on, and end_checks ends it.
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# When a check failed, runs the script's show_failure_context (if it defines
# one, to show the logs a failure is looked into with) and exits 1.
end_checks() {
    if ((failures > 0)); then
        if declare -F show_failure_context >/dev/null; then
            show_failure_context
        fi
        exit 1
    fi
}

# Reports a failed check that the rest of the script cannot go on without,
# and ends it as end_checks does.
fail_now() {
    fail "$@"
    end_checks
}

# Says on standard error why the script cannot run, and exits 2.
die() {
    echo "$script_name: $*" >&2
    exit 2
}

# need_args COUNT MIN MAX USAGE: dies with the usage line unless the script
# was given between MIN and MAX arguments.
need_args() {
    local count=$1 min=$2 max=$3
    shift 3
    if ((count < min || count > max)); then
        die "usage: $*"
    fi
}

# need_values MESSAGE VALUE...: dies with MESSAGE when a VALUE is empty (a
# required option that was not given).
need_values() {
    local message=$1 value
    shift
    for value in "$@"; do
        [ -n "$value" ] || die "$message"
    done
}

# need_files PATH...: dies unless each PATH is a file (a program to be built
# before the test runs).
need_files() {
    local path
    for path in "$@"; do
        [ -f "$path" ] || die "$path does not exist (build it first)"
    done
}

# remove_wine_prefix PREFIX WINESERVER: stops the prefix's wineserver and
# removes the prefix. Wine leaves port links there (comN -> /dev/ttyS0 for
# the machine's own port); outside devsim's namespace that path is the real
# port, so a prefix must never outlive its run. Safe to call when there is
# no prefix.
remove_wine_prefix() {
    local prefix=$1 wineserver=$2
    if [ -d "$prefix" ]; then
        # Fails when no server runs for the prefix, which is nothing to undo.
        WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
        rm -rf "$prefix"
    fi
}
