#!/usr/bin/env bash
# Checks tests/lib.sh, and the Wine scripts' tests/wine/without_serial_ports.sh
# (its private /dev as root only), as the test scripts use them: each case
# runs a small script under `set -euo pipefail` that sources the library,
# and compares its exit status and output with what the case expects. The
# library's own fail is not used to report here, since it is under test.
#
#   lib_test.sh
set -euo pipefail
lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lib.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A stand-in for wineserver: records the prefix it was asked to stop, and
# fails as the real one does when no server runs for that prefix.
cat >"$work/wineserver" <<'EOF'
#!/usr/bin/env bash
echo "$WINEPREFIX $*" >>"$(dirname "$0")/wineserver.calls"
exit 1
EOF
chmod +x "$work/wineserver"
# A wineserver that succeeds and a wine, both recording what they were
# asked; the wine makes the prefix's device folder, as Wine does.
# shellcheck disable=SC2016 # expanded when they run
printf '%s\n' '#!/usr/bin/env bash' 'echo "server $*" >>"$(dirname "$0")/wineserver.calls"' >"$work/wineserver-ok"
# shellcheck disable=SC2016 # expanded when it runs
printf '%s\n' '#!/usr/bin/env bash' 'echo "wine $*" >>"$(dirname "$0")/wineserver.calls"' \
    '[ -z "${WINEPREFIX:-}" ] || mkdir -p "$WINEPREFIX/dosdevices"' >"$work/wine"
chmod +x "$work/wineserver-ok" "$work/wine"
no_ports=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine/without_serial_ports.sh
mkdir -p "$work/present"
touch "$work/present/file"

# NAME|STATUS|OUTPUT|BODY: BODY runs after `source lib.sh` in a script named
# case.sh; OUTPUT is its standard output and error together, lines joined
# with '/'.
cases=(
    "checks that pass end quietly|0|done|end_checks; echo done"
    "failed checks are all reported, then the context, then status 1|1|FAIL: one/FAIL: two/context|show_failure_context() { echo context; }; fail one; fail two; end_checks; echo not reached"
    "a failed check without context ends with status 1|1|FAIL: one|fail one; end_checks"
    "fail_now ends at once|1|FAIL: first|fail_now first; echo not reached"
    "die names the script and ends with status 2|2|case.sh: no way|die no way; echo not reached"
    "need_args takes a count within the bounds|0|ok|need_args 2 1 3 \"case.sh A [B] [C]\"; echo ok"
    "need_args refuses too few|2|case.sh: usage: case.sh A B|need_args 1 2 2 \"case.sh A B\""
    "need_args refuses too many|2|case.sh: usage: case.sh A|need_args 2 1 1 \"case.sh A\""
    "need_values takes values all given|0|ok|need_values \"--a is required\" x y; echo ok"
    "need_values refuses an empty one|2|case.sh: --a is required|need_values \"--a is required\" x \"\" y"
    "need_files takes files that exist|0|ok|need_files $work/present/file; echo ok"
    "need_files names the one missing|2|case.sh: $work/missing does not exist (build it first)|need_files $work/present/file $work/missing"
    "remove_wine_prefix stops the prefix's server and removes it, though no server ran|0|$work/present -k/gone|remove_wine_prefix $work/present $work/wineserver; cat $work/wineserver.calls; [ -e $work/present ] || echo gone"
    "remove_wine_prefix without a prefix calls nothing|0|ok|remove_wine_prefix $work/absent $work/wineserver; [ ! -e $work/wineserver.calls ] && echo ok"
    "without_serial_ports.sh refuses a call without a command|2|without_serial_ports.sh: usage: without_serial_ports.sh WINESERVER [PORT_OPTION WINE NAME DEVICE] COMMAND...|bash $no_ports $work/wineserver"
)
# Mount namespaces need root: without it, the private /dev is not checked.
if [ "$(id -u)" = 0 ]; then
    cases+=(
        "without_serial_ports.sh hides every serial port, stops the server and gives the command's status|7|none/$work/present -k|WINEPREFIX=$work/present bash $no_ports $work/wineserver sh -c 'ls /dev | grep -E \"^tty(S|USB|ACM)\" || echo none; exit 7' || { status=\$?; cat $work/wineserver.calls; exit \$status; }"
        "without_serial_ports.sh --wine-port names the port before the command|0|wine reg add HKLM\\Software\\Wine\\Ports /v COM3 /t REG_SZ /d /dev/null /f/server -k/server -w/command/server -k|bash $no_ports $work/wineserver-ok --wine-port $work/wine COM3 /dev/null sh -c 'echo command >>$work/wineserver.calls'; cat $work/wineserver.calls"
        "without_serial_ports.sh --unlisted-port links the device in a started prefix before the command|0|server -p/wine reg query HKLM\\Software\\Wine/command /dev/null/server -k|WINEPREFIX=$work/unlisted bash $no_ports $work/wineserver-ok --unlisted-port $work/wine com1 /dev/null sh -c 'echo command \$(readlink $work/unlisted/dosdevices/com1) >>$work/wineserver.calls'; cat $work/wineserver.calls"
    )
else
    echo "not root: the private /dev of without_serial_ports.sh is not checked"
fi

failed=0
for entry in "${cases[@]}"; do
    IFS='|' read -r name wanted_status wanted_output body <<<"$entry"
    rm -f "$work/wineserver.calls"
    printf '%s\n' '#!/usr/bin/env bash' 'set -euo pipefail' "source '$lib'" "$body" >"$work/case.sh"
    status=0
    output=$(bash "$work/case.sh" 2>&1) || status=$?
    output=$(paste -sd/ <<<"$output")
    if [ "$status" != "$wanted_status" ] || [ "$output" != "$wanted_output" ]; then
        echo "FAIL: $name: status $status, output '$output'; wanted status $wanted_status, output '$wanted_output'"
        failed=1
    fi
done
if [ "$failed" -ne 0 ]; then
    exit 1
fi
echo "PASS: ${#cases[@]} cases"
