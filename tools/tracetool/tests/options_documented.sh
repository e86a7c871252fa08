#!/usr/bin/env bash
# Every option tracetool --help lists, and every command, has its entry in
# tracetool(1), so the page cannot drift from the program.
#
#   options_documented.sh TRACETOOL MAN_PAGE_SOURCE
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../../tests/lib.sh"

need_args $# 2 2 "options_documented.sh TRACETOOL MAN_PAGE_SOURCE"
tracetool=$1 page=$2
need_files "$tracetool" "$page"
help=$("$tracetool" --help)
options=$(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
commands=$(sed -n '/^Commands:/,/^$/p' <<<"$help" | awk 'NF > 1 {print $1}')
if [ -z "$options" ] || [ -z "$commands" ]; then
    fail_now "no options or commands in --help"
fi

# The tags of the entries (the line after each .TP) in one section.
entries() {
    awk -v section="$1" '/^\.SH / {inside = ($0 == ".SH " section)} inside && tagged {print} {tagged = ($0 == ".TP")}' "$page"
}
option_entries=$(entries OPTIONS)
command_entries=$(entries COMMANDS)

for option in $options; do
    # Dashes are escaped in the page.
    if ! grep -qE "\\\\-\\\\-${option#--}([ \"]|$)" <<<"$option_entries"; then
        fail "$option is in --help but has no entry in $page"
    fi
done
for command in $commands; do
    if ! grep -qx "\.B $command" <<<"$command_entries"; then
        fail "the command $command is in --help but has no entry in $page"
    fi
done
end_checks
