#!/usr/bin/env bash
# The Windows stage of make test. Builds tonarium.exe for 32-bit and 64-bit Windows with the
# mingw-w64 cross compilers, then runs the 64-bit build's tests under wine64: the unit tests
# through CTest, then the end-to-end test of the program. Wine runs in a private prefix made
# for this run and deleted after it. No 32-bit Wine can be installed here, so the 32-bit build
# is compiled and linked but not run.
#   scripts/wine-test.sh [--build-only]
# Every step is bounded in time: CI runs it as root, without standard input.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

build_only=0
if [ "${1:-}" = "--build-only" ]; then
    build_only=1
fi

for preset in windows-i686 windows-x64; do
    echo "=== $preset"
    cmake --preset "$preset" >/dev/null
    timeout 1200 cmake --build --preset "$preset" -j "$jobs"
done
[ "$build_only" -eq 1 ] && exit 0

source scripts/wine-prefix.sh
trap wine_prefix_destroy EXIT
# Turn the usual ways of being stopped into an exit, so that the prefix is removed all the same.
trap 'exit 130' INT TERM HUP

echo "=== windows-x64 under Wine"
wine_prefix_create
# Now and then Wine fails to start a program at all (no output, a failure within a few
# hundredths of a second, while the same program passes when run again), so a failed test runs
# once more before it counts; the same tests run on Linux in three builds without a second try.
timeout 900 scripts/quiet-ctest.sh build/windows-x64/ctest.log --preset windows-x64 -j "$jobs" \
    --repeat until-pass:2 </dev/null

# The end-to-end test drives Wine, PulseAudio and parec from Linux, so it is a program of the
# Linux build; it plays the 64-bit tonarium.exe through a private PulseAudio server.
echo "=== tonarium.exe under Wine, end to end"
cmake --preset release >/dev/null
timeout 600 cmake --build --preset release -j "$jobs" --target windows_program_e2e_tests
TONARIUM_WINDOWS_EXE="$PWD/build/windows-x64/tonarium.exe" \
    timeout 300 scripts/with-pulse.sh build/release/tests/e2e/windows_program_e2e_tests </dev/null
