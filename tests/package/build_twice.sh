#!/usr/bin/env bash
# Builds one release artifact twice with tools/release.sh, from two copies of
# the source tree at different paths (so source and build directories both
# differ), and fails unless the two files are byte-identical; when they are
# not, says which members differ. The first build stays in WORK/first/out
# for the checks on its contents.
#
#   build_twice.sh deb|zip SOURCE_DIR WORK
set -euo pipefail
# shellcheck source=tests/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

need_args $# 3 3 "build_twice.sh deb|zip SOURCE_DIR WORK"
artifact=$1
source_dir=$2
work=$3

# Both builds carry the date of the tree's last commit.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$source_dir" log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH

rm -rf "$work"
builds=("$work/first" "$work/second/at/another/depth")
for build in "${builds[@]}"; do
    mkdir -p "$build/comtrace"
    # The tree as it stands, tracked and new files, without build trees.
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
        tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$build/comtrace"
    if ! bash "$build/comtrace/tools/release.sh" --only "$artifact" "$build/out" >"$build/release.log" 2>&1; then
        tail -40 "$build/release.log"
        echo "release.sh failed in $build"
        exit 1
    fi
done

first=$(find "${builds[0]}/out" -name "*.$artifact")
second=$(find "${builds[1]}/out" -name "*.$artifact")
sha256sum "$first" "$second"
if cmp -s "$first" "$second"; then
    exit 0
fi

# Unpack both and name what differs.
for file in "$first" "$second"; do
    mkdir -p "$file.unpacked"
    case $artifact in
        deb) dpkg-deb -R "$file" "$file.unpacked" ;;
        zip) unzip -q "$file" -d "$file.unpacked" ;;
    esac
done
diff -r "$first.unpacked" "$second.unpacked" || true
if [ "$artifact" = deb ]; then
    diff <(dpkg-deb -c "$first") <(dpkg-deb -c "$second") || true
else
    diff <(zipinfo -v "$first") <(zipinfo -v "$second") | head -40 || true
fi
echo "the two builds of the $artifact differ"
exit 1
