#!/usr/bin/env bash
# Checks portdoctor's documentation against the program: every option and
# every finding that portdoctor --help lists must be in the README's
# portdoctor section and in the man page, and neither may list a finding
# (or an option) the program does not have.
#
# usage: check_documentation.sh PORTDOCTOR README MAN_PAGE
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../../tests/lib.sh"

need_args $# 3 3 "check_documentation.sh PORTDOCTOR README MAN_PAGE"
portdoctor=$1
readme=$2
man_page=$3
need_files "$portdoctor" "$readme" "$man_page"

help=$("$portdoctor" --help)
help_options=$(sed -nE 's/^  (--[a-z-]+).*/\1/p' <<<"$help" | sort -u)
help_findings=$(sed -nE 's/^  ([a-z0-9-]+) +(problem|warning|note), (Linux|Windows|both): .*/\1/p' <<<"$help" | sort -u)
if [ "$(wc -l <<<"$help_options")" -lt 4 ] || [ "$(wc -l <<<"$help_findings")" -lt 10 ]; then
    fail_now "--help was not understood: options '$help_options', findings '$help_findings'"
fi

# The README's portdoctor section: from its heading to the next one.
section=$(awk '/^## / { inside = /portdoctor/ } inside' "$readme")
# The man page as text, with escaped hyphens plain.
page=$(sed 's/\\-/-/g' "$man_page")

# What each document lists: options written `--name` (README) or as .B/.BI
# (man page); findings as table rows "| `name` |" and as the .TP headings
# of FINDINGS.
readme_options=$(grep -oE '`--[a-z-]+' <<<"$section" | tr -d '`' | sort -u)
# shellcheck disable=SC2016 # the backquotes are the README's, not the shell's
readme_findings=$(sed -nE 's/^\| `([a-z0-9-]+)` \| (Linux|Windows|both) \|.*/\1/p' <<<"$section" | sort -u)
man_options=$(sed -nE 's/^\.BI? (--[a-z-]+).*/\1/p' <<<"$page" | sort -u)
man_findings=$(awk '/^\.SH / { inside = ($2 == "FINDINGS") } inside && previous == ".TP" && /^\.B / { print $2 } { previous = $0 }' \
    <<<"$page" | sort -u)

compare() {
    local what=$1 documented=$2 program=$3
    if [ "$documented" != "$program" ]; then
        fail "$what differ from --help (< --help, > documented):"
        diff <(echo "$program") <(echo "$documented") | grep '^[<>]' || true
    fi
}
compare "the README's options" "$readme_options" "$help_options"
compare "the README's findings" "$readme_findings" "$help_findings"
compare "the man page's options" "$man_options" "$help_options"
compare "the man page's findings" "$man_findings" "$help_findings"
end_checks
echo "PASS: README and man page list the $(wc -l <<<"$help_options") options and $(wc -l <<<"$help_findings") findings of --help"
