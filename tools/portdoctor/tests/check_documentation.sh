#!/usr/bin/env bash
# Checks portdoctor's documentation against the program: every option and
# every finding that portdoctor --help lists must be in the README's
# portdoctor section and in the man page, and neither may list a finding
# (or an option) the program does not have.
#
# usage: check_documentation.sh PORTDOCTOR README MAN_PAGE
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: check_documentation.sh PORTDOCTOR README MAN_PAGE" >&2
    exit 2
fi
portdoctor=$1
readme=$2
manPage=$3

help=$("$portdoctor" --help)
helpOptions=$(sed -nE 's/^  (--[a-z-]+).*/\1/p' <<<"$help" | sort -u)
helpFindings=$(sed -nE 's/^  ([a-z0-9-]+) +(problem|warning|note), (Linux|Windows|both): .*/\1/p' <<<"$help" | sort -u)
if [ "$(wc -l <<<"$helpOptions")" -lt 4 ] || [ "$(wc -l <<<"$helpFindings")" -lt 10 ]; then
    echo "FAIL: --help was not understood: options '$helpOptions', findings '$helpFindings'"
    exit 1
fi

# The README's portdoctor section: from its heading to the next one.
section=$(awk '/^## / { inside = /portdoctor/ } inside' "$readme")
# The man page as text, with escaped hyphens plain.
page=$(sed 's/\\-/-/g' "$manPage")

# What each document lists: options written `--name` (README) or as .B/.BI
# (man page); findings as table rows "| `name` |" and as the .TP headings
# of FINDINGS.
readmeOptions=$(grep -oE '`--[a-z-]+' <<<"$section" | tr -d '`' | sort -u)
# shellcheck disable=SC2016 # the backquotes are the README's, not the shell's
readmeFindings=$(sed -nE 's/^\| `([a-z0-9-]+)` \| (Linux|Windows|both) \|.*/\1/p' <<<"$section" | sort -u)
manOptions=$(sed -nE 's/^\.BI? (--[a-z-]+).*/\1/p' <<<"$page" | sort -u)
manFindings=$(awk '/^\.SH / { inside = ($2 == "FINDINGS") } inside && previous == ".TP" && /^\.B / { print $2 } { previous = $0 }' \
    <<<"$page" | sort -u)

failed=0
compare() {
    local what=$1 documented=$2 program=$3
    if [ "$documented" != "$program" ]; then
        echo "FAIL: $what differ from --help (< --help, > documented):"
        diff <(echo "$program") <(echo "$documented") | grep '^[<>]' || true
        failed=1
    fi
}
compare "the README's options" "$readmeOptions" "$helpOptions"
compare "the README's findings" "$readmeFindings" "$helpFindings"
compare "the man page's options" "$manOptions" "$helpOptions"
compare "the man page's findings" "$manFindings" "$helpFindings"
[ "$failed" = 0 ] || exit 1
echo "PASS: README and man page list the $(wc -l <<<"$helpOptions") options and $(wc -l <<<"$helpFindings") findings of --help"
