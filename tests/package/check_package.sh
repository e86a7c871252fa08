#!/usr/bin/env bash
# Checks on what comtrace ships; each fails with what differs.
#
#   check_package.sh man PAGE...                    every page renders without a warning
#   check_package.sh install BUILD_DIR WORK         cmake --install installs exactly the shipped files
#   check_package.sh deb DEB WORK VERSION           the package's files, owners, fields,
#                                                   devsim --version and lintian
#   check_package.sh run BUILD_DIR WORK GOLDEN      comtrace installed (stripped, as packaged)
#                                                   under the installed devsim gives the
#                                                   golden trace
#   check_package.sh zip ZIP WORK VERSION           the zip's members and the program's
#                                                   version resource and PE header
#   check_package.sh tracetool BUILD_DIR WORK GOLDEN VERSION
#                                                   tracetool installed (stripped) passes
#                                                   the golden trace, in LF and CR LF alike
#   check_package.sh changelog GENERATOR WORK       the Debian changelog GENERATOR builds
#                                                   from a NEWS of two releases
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
export LC_ALL=C.UTF-8

# Compares two listings, one entry a line, and shows the difference.
expect_list() {
    local what=$1 wanted=$2 actual=$3
    if [ "$wanted" != "$actual" ]; then
        fail "$what (- wanted, + actual):"
        diff <(echo "$wanted") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/' || true
    fi
}

files_under() {
    (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
}

# What a Unix install holds, under its prefix, sorted.
shipped_files() {
    {
        printf '%s\n' bin/comtrace bin/devsim share/doc/comtrace/README.md \
            share/man/man1/comtrace.1.gz share/man/man1/devsim.1.gz
        printf '%s\n' bin/tracetool share/man/man1/tracetool.1.gz
        printf '%s\n' bin/portdoctor share/man/man1/portdoctor.1.gz
    } | sort
}

extract_deb() {
    rm -rf "$2"
    dpkg-deb -x "$1" "$2"
}

need_args $# 1 100 "check_package.sh man|install|deb|run|zip ARGUMENTS..."
command=$1
shift
case $command in
    man)
        for page in "$@"; do
            messages=$(mandoc -T lint "$page" 2>&1 || true)
            [ -z "$messages" ] || fail "mandoc on $page: $messages"
            messages=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null || true)
            [ -z "$messages" ] || fail "man on $page: $messages"
        done
        ;;
    install)
        build=$1 root=$2
        rm -rf "$root"
        cmake --install "$build" --prefix "$root/usr" >/dev/null
        expect_list "files installed by cmake --install" "$(shipped_files | sed 's|^|usr/|')" "$(files_under "$root")"
        ;;
    deb)
        deb=$1 root=$2 version=$3
        extract_deb "$deb" "$root"
        expect_list "files in the package" \
            "$({ shipped_files; printf '%s\n' share/doc/comtrace/changelog.gz share/doc/comtrace/copyright; } |
                sed 's|^|usr/|' | sort)" \
            "$(files_under "$root")"
        owners=$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')
        [ -z "$owners" ] || fail "members not owned by root: $owners"
        [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version), not $version"
        dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>=' || fail "no computed dependency on libc6: $(dpkg-deb -f "$deb" Depends)"
        reported=$("$root/usr/bin/devsim" --version) || fail "devsim --version failed"
        [ "$reported" = "devsim $version" ] || fail "devsim --version says '$reported', not 'devsim $version'"
        reported=$("$root/usr/bin/tracetool" --version) || fail "tracetool --version failed"
        [ "$reported" = "tracetool $version" ] || fail "tracetool --version says '$reported', not 'tracetool $version'"
        reported=$("$root/usr/bin/portdoctor" --version) || fail "portdoctor --version failed"
        [ "$reported" = "portdoctor $version" ] || fail "portdoctor --version says '$reported', not 'portdoctor $version'"
        # Everything lintian says goes to the log; only errors fail. It warns
        # when run as root, which is not about the package.
        lintian_output=$(lintian --fail-on error --display-info --pedantic "$deb" 2>&1) || fail "lintian reports errors"
        grep -v 'running with root privileges' <<<"$lintian_output" || true
        ;;
    run)
        build=$1 root=$2 golden=$3
        rm -rf "$root"
        cmake --install "$build" --prefix "$root/usr" --strip >/dev/null
        status=0
        "$root/usr/bin/devsim" -- "$root/usr/bin/comtrace" </dev/null >"$root/trace" || status=$?
        [ "$status" -eq 0 ] || fail "devsim -- comtrace exited with $status"
        if ! cmp -s "$golden" "$root/trace"; then
            fail "the trace differs from $golden; first difference:"
            diff "$golden" "$root/trace" | head -8
        fi
        ;;
    zip)
        zip=$1 root=$2 version=$3
        name=comtrace-$version-win64
        # In this order: the archive lists its members sorted.
        expect_list "members of the zip" \
            "$(printf '%s\n' "$name/LICENSE" "$name/README.md" "$name/comtrace.exe" "$name/portdoctor.exe" \
                "$name/tracetool.exe" | sort)" \
            "$(zipinfo -1 "$zip")"
        rm -rf "$root"
        unzip -q "$zip" -d "$root"
        exe=$root/$name/comtrace.exe
        stamp=$(x86_64-w64-mingw32-objdump -p "$exe" | awk -F'\t+' '/^Time\/Date/ {print $2}')
        [ "$stamp" = "Thu Jan  1 00:00:00 1970" ] || fail "the PE header carries a time: '$stamp'"
        # The version resource's strings, UTF-16, each name followed by its value.
        resource=$(strings -el "$exe" | awk 'name != "" {print name "=" $0} {name = ""} /^(ProductName|ProductVersion|FileVersion)$/ {name = $0}')
        expect_list "version resource of comtrace.exe" \
            "$(printf '%s\n' "ProductName=comtrace" "FileVersion=$version" "ProductVersion=$version" | sort)" \
            "$(sort <<<"$resource")"
        strings -el "$exe" | grep -A1 -x FileDescription | grep -q comtrace || fail "no FileDescription naming comtrace"
        stamp=$(x86_64-w64-mingw32-objdump -p "$root/$name/tracetool.exe" | awk -F'\t+' '/^Time\/Date/ {print $2}')
        [ "$stamp" = "Thu Jan  1 00:00:00 1970" ] || fail "tracetool.exe's PE header carries a time: '$stamp'"
        ;;
    tracetool)
        build=$1 root=$2 golden=$3 version=$4
        rm -rf "$root"
        cmake --install "$build" --prefix "$root/usr" --strip >/dev/null
        tracetool=$root/usr/bin/tracetool
        reported=$("$tracetool" --version) || fail "tracetool --version failed"
        [ "$reported" = "tracetool $version" ] || fail "tracetool --version says '$reported', not 'tracetool $version'"
        sed 's/$/\r/' "$golden" >"$root/golden-crlf.trace"
        for trace in "$golden" "$root/golden-crlf.trace"; do
            status=0
            verdict=$("$tracetool" check "$trace" | tail -1) || status=$?
            [ "$status" -eq 0 ] || fail "tracetool check $trace exited with $status"
            [ "$verdict" = "verdict: passed: every stage got the answer the dialogue expects" ] ||
                fail "tracetool check $trace ends with '$verdict'"
            size=$("$tracetool" blocks --size 32 "$trace" | wc -c)
            [ "$size" -eq 4096 ] || fail "tracetool blocks --size 32 $trace wrote $size bytes, not 4096"
            lines=$("$tracetool" json "$trace" | wc -l)
            [ "$lines" -eq 264 ] || fail "tracetool json $trace wrote $lines lines, not 264"
        done
        "$tracetool" diff "$golden" - <"$root/golden-crlf.trace" >"$root/diff" ||
            fail "tracetool diff finds the CR LF golden trace different: $(cat "$root/diff")"
        status=0
        "$tracetool" check "$root/missing.trace" 2>/dev/null || status=$?
        [ "$status" -eq 3 ] || fail "tracetool check on a missing file exited with $status, not 3"
        ;;
    changelog)
        generator=$1 root=$2
        rm -rf "$root"
        mkdir -p "$root"
        # Two releases, the newer on a leap day, and text with the
        # characters CMake's lists treat specially.
        cat >"$root/NEWS" <<'EOF'
What changed, newest first.

2.0.0 (2028-02-29)
- Second; with [brackets]
  over two lines.
- Another.

1.0.0 (2026-12-09)
- First.
EOF
        maintainer="A Maintainer <a@example.invalid>"
        build_changelog() {
            cmake -DNEWS="$root/NEWS" -DCHANGELOG="$root/changelog" -DVERSION="$1" \
                -DMAINTAINER="$maintainer" -P "$generator" >"$root/log" 2>&1
        }
        signed() {
            echo " -- $maintainer  $(date -u -d "$1" '+%a, %d %b %Y') 00:00:00 +0000"
        }
        if build_changelog 2.0.0; then
            wanted=$(printf '%s\n' "comtrace (2.0.0) unstable; urgency=medium" "" \
                "  * Second; with [brackets]" "    over two lines." "  * Another." "" "$(signed 2028-02-29)" "" \
                "comtrace (1.0.0) unstable; urgency=medium" "" "  * First." "" "$(signed 2026-12-09)")
            expect_list "the changelog built from NEWS" "$wanted" "$(cat "$root/changelog")"
            [ "$(dpkg-parsechangelog -l "$root/changelog" -S Version)" = 2.0.0 ] ||
                fail "dpkg-parsechangelog does not read version 2.0.0 from the changelog"
        else
            fail "building the changelog failed: $(cat "$root/log")"
        fi
        if build_changelog 2.0.1; then
            fail "a NEWS without an entry for the project's version was taken"
        fi
        ;;
    *)
        die "unknown check $command"
        ;;
esac
end_checks
