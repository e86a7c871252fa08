#!/usr/bin/env bash
# tracetool.exe under Wine on the golden trace, as a file in LF and CR LF
# and as UTF-16 on standard input: every command's output and exit status
# must be the Linux tracetool's, byte for byte. No port is involved.
#
#   run_wine_tracetool.sh --tracetool PATH --tracetool-exe PATH --golden TRACE
#                         --work DIR [--wine PATH] [--wineserver PATH]
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

wine=wine wineserver=wineserver tracetool='' exe='' golden='' work=''
while [ $# -gt 0 ]; do
    case $1 in
        --tracetool) tracetool=$2; shift 2 ;;
        --tracetool-exe) exe=$2; shift 2 ;;
        --golden) golden=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --wine) wine=$2; shift 2 ;;
        --wineserver) wineserver=$2; shift 2 ;;
        *) die "unknown argument $1" ;;
    esac
done
need_values "--tracetool, --tracetool-exe, --golden and --work are needed" "$tracetool" "$exe" "$golden" "$work"
need_files "$tracetool" "$exe" "$golden"

prefix=$work/wine-prefix
rm -rf "$work"
mkdir -p "$work"
trap 'remove_wine_prefix "$prefix" "$wineserver"' EXIT

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

cp "$golden" "$work/lf.trace"
sed 's/$/\r/' "$golden" >"$work/crlf.trace"
{ printf '\xff\xfe'; sed 's/$/\r/' "$golden" | iconv -f ASCII -t UTF-16LE; } >"$work/utf16.trace"

# NAME INPUT ARGUMENTS...: runs both programs, INPUT on standard input.
compare() {
    local name=$1 input=$2
    shift 2
    local linuxStatus=0 wineStatus=0
    "$tracetool" "$@" <"$input" >"$work/$name.linux" || linuxStatus=$?
    "$wine" "$exe" "$@" <"$input" >"$work/$name.wine" 2>"$work/$name.wine-err" || wineStatus=$?
    if [ "$linuxStatus" != "$wineStatus" ]; then
        fail "$name: tracetool exits with $linuxStatus, tracetool.exe with $wineStatus"
        cat "$work/$name.wine-err"
    elif ! cmp -s "$work/$name.linux" "$work/$name.wine"; then
        fail "$name: tracetool.exe's output differs from tracetool's:"
        diff <(od -c "$work/$name.linux") <(od -c "$work/$name.wine") | head -8
    fi
}

# Relative paths: the same for both programs.
cd "$work"
for form in lf crlf; do
    compare "check-$form" /dev/null check "$form.trace"
    compare "dump-$form" /dev/null dump --size 32 "$form.trace"
    compare "blocks-$form" /dev/null blocks "$form.trace"
    compare "json-$form" /dev/null json "$form.trace"
done
compare check-utf16-stdin utf16.trace check -
compare blocks-utf16-stdin utf16.trace blocks --size 32 -
compare diff-lf-utf16 utf16.trace diff lf.trace -
compare not-a-trace /dev/null check missing.trace
end_checks
