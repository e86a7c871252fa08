#!/usr/bin/env bash
# Checks that a Windows program (comtrace.exe, portdoctor.exe) imports
# nothing that Windows 7 lacks: every DLL function in its import table must
# be on the lists of functions known to exist there. The loader refuses a program with a missing import before
# main runs, so this is the only place such a fault can be caught without
# a Windows 7 machine.
#
# usage: check_windows7_imports.sh OBJDUMP EXE LIST...
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

need_args $# 3 99 "check_windows7_imports.sh OBJDUMP EXE LIST..."
objdump="$1"
exe="$2"
shift 2
lists=("$@")

table=$("$objdump" -p "$exe") || fail_now "$objdump could not read $exe"
# Lines "<dll in lower case> <function>" from the interpreted import tables.
imports=$(printf '%s\n' "$table" | awk '
    /^[[:space:]]*DLL Name:/ { dll = tolower($3); next }
    /^[[:space:]]*$/ { dll = "" }
    dll != "" && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ && NF >= 3 { print dll, $3 }' | sort -u)

count=$(grep -c . <<<"$imports" || true)
if [ "$count" -lt 10 ] || ! grep -qx 'kernel32.dll CreateFileA' <<<"$imports"; then
    fail_now "read only $count imports from $exe, CreateFileA not among them; the table was not understood"
fi

known=$(awk '!/^[[:space:]]*(#|$)/ { for (i = 2; i <= NF; i++) print $1, $i }' "${lists[@]}" | sort -u)
missing=$(comm -23 <(printf '%s\n' "$imports") <(printf '%s\n' "$known"))
if [ -n "$missing" ]; then
    fail "$(basename "$exe") imports functions not known to exist on Windows 7:"
    printf '%s\n' "$missing" | sed 's/^/  /'
fi
end_checks
echo "PASS: all $count imports of $(basename "$exe") exist on Windows 7"
