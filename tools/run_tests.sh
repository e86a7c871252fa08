#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs the whole suite:
# unit tests (also under AddressSanitizer and UndefinedBehaviorSanitizer),
# the POSIX layer against ptys, end-to-end runs under the device simulator
# (Linux build and Windows build under Wine), the static build on real
# serial drivers in QEMU guests, the fuzzer, valgrind, the release artifacts
# and the static checks. Needs root (or sudo) for the packages and the
# simulator's mount namespace. Takes a few minutes: the end-to-end and QEMU
# runs each hold the full 145 s dialogue, side by side.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends \
    g++ clang cmake make time libgtest-dev libgmock-dev libclang-rt-14-dev \
    clang-tidy clang-format cppcheck shellcheck valgrind \
    g++-mingw-w64-x86-64-posix wine wine64 \
    git dpkg-dev lintian mandoc man-db bsdextrautils zip unzip qemu-system-x86 busybox-static >/dev/null

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
# The QEMU runs' kernel download and static build, done now so that they
# do not load the machine while the paced runs below are under way. Should
# it fail, the realport tests try again and fail with the reason.
bash tests/realport/run_guest.sh build prepare || echo "run_tests: preparing the QEMU runs failed" >&2

# The unit tests again with the sanitizers.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCOMTRACE_SANITIZE=ON
cmake --build build-asan -j"$jobs" --target unit_tests key_wait_win_tests posix_platform_tests posix_shim_fault_tests \
    posix_console_fault_tests tracetool_tests
(cd build-asan && ctest --output-on-failure -L 'unit|platform|tracetool')

# Everything else, in three rounds. The simulated device answers the paced
# runs in real time, and a machine whose processors are both taken by
# compilers held its replies back past the program's 500 ms collection wait
# (a reply collected one request late), so the work that keeps processors
# busy comes first: the Windows cross build, the double builds of the
# release artifacts and the fuzzers. Then the paced runs, which mostly wait,
# many at once, on the artifacts the first round left (-FS: their builds are
# not run again). Then the QEMU guests beside each other: an emulated guest
# falls behind when the host's processors are busy, and their checks hold
# the dialogue's span to a few percent. The static checks need both
# processors for minutes, so they come last.
cd build
busy='^(wine_build_comtrace_exe|package_deb_builds_byte_identical_twice|package_zip_builds_byte_identical_twice|dialogue_fuzz|trace_fuzz)$'
ctest --output-on-failure -j 4 -R "$busy"
ctest --output-on-failure -j 16 -LE 'check|realport' -E "$busy" -FS 'comtrace_windows_exe|package_deb|package_zip'
ctest --output-on-failure -j 8 -L realport
ctest --output-on-failure -L check
