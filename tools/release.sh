#!/usr/bin/env bash
# Builds the release artifacts of the source tree into one folder: the Debian
# package comtrace_<version>_amd64.deb, the Windows zip
# comtrace-<version>-win64.zip (cross-built with mingw-w64: comtrace.exe and
# portdoctor.exe, the README and the license) and SHA256SUMS.
# Two runs over one commit give byte-identical artifacts, wherever the tree
# and the folder lie.
#
#   tools/release.sh [--only deb|zip] [OUT_DIR]      OUT_DIR: release/ in the tree
#
# Needs g++, cmake, make, dpkg-dev and g++-mingw-w64-x86-64-posix. Every date
# in the artifacts is SOURCE_DATE_EPOCH, by default the last commit's. The
# builds go to build-release/ in the tree, made afresh.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
artifacts="deb zip"
if [ "${1:-}" = --only ]; then
    artifacts=${2:?--only takes deb or zip}
    shift 2
fi
case $artifacts in
    "deb zip" | deb | zip) ;;
    *) echo "release.sh: --only takes deb or zip, not '$artifacts'" >&2; exit 2 ;;
esac
out=$(realpath -m "${1:-$source_dir/release}")

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if ! SOURCE_DATE_EPOCH=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null); then
        echo "release.sh: not a git checkout; set SOURCE_DATE_EPOCH to the source's date" >&2
        exit 2
    fi
fi
export SOURCE_DATE_EPOCH
# Nothing of the builder's locale, time zone or umask may reach the files.
export LC_ALL=C TZ=UTC
umask 022
jobs=$(nproc 2>/dev/null || echo 2)

builds=$source_dir/build-release
mkdir -p "$out"

# The version every artifact carries, from the CMake project.
version=$(sed -n 's/^project(comtrace VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
[ -n "$version" ] || { echo "release.sh: no version in CMakeLists.txt" >&2; exit 1; }

for artifact in $artifacts; do
    build=$builds/$artifact
    rm -rf "$build"
    case $artifact in
        deb)
            cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
            cmake --build "$build" -j"$jobs"
            (cd "$build" && cpack -G DEB -B "$build/package")
            cp "$build/package/comtrace_${version}_amd64.deb" "$out/"
            ;;
        zip)
            # Linked without symbols: strip(1) would stamp the PE header with
            # the time.
            cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXE_LINKER_FLAGS=-s \
                -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-mingw64.cmake"
            cmake --build "$build" -j"$jobs"
            name=comtrace-$version-win64
            cmake --install "$build" --prefix "$build/stage/$name"
            # Members sorted, one date, no owners or extra attributes (-X),
            # no directory entries (-D).
            find "$build/stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
            rm -f "$out/$name.zip"
            (cd "$build/stage" && find "$name" -type f | sort | zip -q -X -D -9 "$out/$name.zip" -@)
            ;;
    esac
done

cd "$out"
rm -f SHA256SUMS
for file in "comtrace_${version}_amd64.deb" "comtrace-$version-win64.zip"; do
    if [ -f "$file" ]; then
        sha256sum -- "$file" >>SHA256SUMS
    fi
done
cat SHA256SUMS
