#!/usr/bin/env bash
# Static checks over comtrace's C++ sources: clang-tidy (rules in .clang-tidy),
# cppcheck, and clang-format (style in .clang-format); each header's include
# guard; and shellcheck over every shell script. Exits non-zero on any
# finding, after running them all.
#
# Usage: tools/check/static_checks.sh [WORK_DIR]
# WORK_DIR (default: a temporary directory) receives a configure-only CMake
# tree whose compile_commands.json tells clang-tidy how each file is built.
set -euo pipefail

# Low priority: this keeps the processors busy for minutes, and the real-time
# end-to-end runs may be going on beside it.
renice -n 10 $$ >/dev/null || true

root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

sources=()
while IFS= read -r path; do
    sources+=("$path")
done < <(find src tests tools -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
cpp_files=()
for path in "${sources[@]}"; do
    [[ $path == *.cpp ]] && cpp_files+=("$path")
done

work=${1:-}
if [[ -z $work ]]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"

failed=()

# clang-tidy needs the flags of each file. Clang is used so that the fuzz
# target, which only clang builds, is in the database too.
compiler=$(command -v clang++ || command -v c++)
cmake -S "$root" -B "$work/build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    >"$work/configure.log" 2>&1 || {
    cat "$work/configure.log"
    echo "static checks: cmake configure failed" >&2
    exit 1
}
# Sources compiled twice (the logic again for the fuzzer, the fake for unit
# tests and fuzzer) appear twice in the database. Keep the first entry of
# each: clang-tidy 14 runs its analyzer on every entry of a file in one
# process, and its va_list checker misfires on the second run.
mkdir -p "$work/db"
awk '
    /^\{/ { entry = $0 "\n"; next }
    /^\},?$/ {
        if (!(file in seen)) { seen[file] = 1; printf "%s%s", (count++ ? ",\n" : "[\n"), entry "}" }
        entry = ""; next
    }
    entry != "" {
        entry = entry $0 "\n"
        if ($1 == "\"file\":") { file = $2 }
    }
    END { print "\n]" }
' "$work/build/compile_commands.json" >"$work/db/compile_commands.json"

echo "== clang-tidy"
tidy_files=()
windows_files=()
for path in "${cpp_files[@]}"; do
    if grep -q "\"file\": \"$root/$path\"" "$work/db/compile_commands.json"; then
        tidy_files+=("$path")
    else
        windows_files+=("$path")
    fi
done
# One clang-tidy per file, as many at once as there are processors; each
# file's findings are shown together.
rm -rf "$work/tidy"
mkdir -p "$work/tidy"
# shellcheck disable=SC2016 # expanded by sh -c
printf '%s\n' "${tidy_files[@]}" | xargs -r -P "$(nproc)" -I{} sh -c '
    log="$2/$(printf %s "$3" | tr / _).log"
    clang-tidy -p "$1" --quiet "$3" >"$log" 2>&1 || printf "%s\n" "$log" >>"$2/failed"
' sh "$work/db" "$work/tidy" {}
# Files only the Windows build compiles (not in this platform's database) are
# parsed for the mingw-w64 target, with the cross compiler's C++ library and
# Windows headers; clang keeps its own built-in headers.
windows_tidied=0
if ((${#windows_files[@]} > 0)); then
    triplet=x86_64-w64-mingw32
    mingw_cxx=$(command -v "$triplet-g++-posix" || command -v "$triplet-g++" || true)
    if [[ -z $mingw_cxx ]]; then
        printf 'no %s-g++ (the Windows cross compiler), skipped: %s\n' "$triplet" "${windows_files[@]}"
    else
        windows_flags=(--target="$triplet" -std=c++17 -nostdinc++ -Wall -Wextra -I src)
        while IFS= read -r dir; do
            dir=$(realpath "$dir")
            case $dir in
            */c++ | */c++/* | */$triplet/include) windows_flags+=(-isystem "$dir") ;;
            esac
        done < <("$mingw_cxx" -x c++ -E -v /dev/null 2>&1 |
            sed -n '/^#include <...> search starts here:$/,/^End of search list\.$/s/^ //p')
        for path in "${windows_files[@]}"; do
            log="$work/tidy/$(printf %s "$path" | tr / _).log"
            clang-tidy --quiet "$path" -- "${windows_flags[@]}" >"$log" 2>&1 || printf "%s\n" "$log" >>"$work/tidy/failed"
            windows_tidied=$((windows_tidied + 1))
        done
    fi
fi
if [[ -s $work/tidy/failed ]]; then
    while IFS= read -r log; do
        grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log"
    done <"$work/tidy/failed"
    failed+=(clang-tidy)
fi

echo "== cppcheck"
# constParameter on the fake platform and console: they define the Win32 functions, whose
# HANDLE and OVERLAPPED pointer parameters are fixed by their declarations.
cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr --quiet \
    --std=c++17 --language=c++ --library=googletest --library=posix \
    -I src -I tests/support -I tools \
    --suppress=constParameter:tests/support/fake_platform.cpp \
    --suppress=constParameter:tests/support/fake_console.cpp \
    "${cpp_files[@]}" || failed+=(cppcheck)

echo "== clang-format"
clang-format --dry-run --Werror "${sources[@]}" || failed+=(clang-format)

echo "== include guards"
# A header's guard names its folder: COMTRACE_ and the header's path less a
# leading src/ or tools/ (src/port/exchange.h: COMTRACE_PORT_EXCHANGE_H).
guard_faults=0
for path in "${sources[@]}"; do
    [[ $path == *.h ]] || continue
    name=${path#src/}
    name=${name#tools/}
    guard=COMTRACE_$(tr 'a-z/.-' 'A-Z___' <<<"$name")
    if ! grep -qx "#ifndef $guard" "$path" || ! grep -qx "#define $guard" "$path"; then
        echo "$path: the include guard is not $guard"
        guard_faults=$((guard_faults + 1))
    fi
done
((guard_faults == 0)) || failed+=(include-guards)

echo "== shellcheck"
# Every script of the tree, build and release trees aside; -x follows the
# scripts' `source` of tests/lib.sh.
scripts=()
while IFS= read -r path; do
    scripts+=("$path")
done < <(find . -type d \( -name .git -o -name 'build*' -o -name out -o -name release \) -prune -o \
    -type f \( -name '*.sh' -o -path ./.ci/run \) -print | sed 's|^\./||' | sort)
shellcheck -x "${scripts[@]}" || failed+=(shellcheck)

if ((${#failed[@]} > 0)); then
    echo "static checks failed: ${failed[*]}" >&2
    exit 1
fi
echo "static checks passed: $((${#tidy_files[@]} + windows_tidied)) files through clang-tidy" \
    "($windows_tidied for Windows), ${#cpp_files[@]} through cppcheck," \
    "${#sources[@]} through clang-format, ${#scripts[@]} scripts through shellcheck"
