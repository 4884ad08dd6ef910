#!/usr/bin/env bash
# Builds and runs the whole suite in every configuration that make test covers.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

# Each stage's time, so that a slow one shows.
stage() {
    echo "=== $1 (at ${SECONDS} s)"
}

run_preset() {
    local preset=$1
    stage "$preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    scripts/quiet-ctest.sh "build/$preset/ctest.log" --preset "$preset" -j "$jobs"
}

# The program alone, as `make run`, `make install` and `make package` build it: in a fresh folder,
# with no test framework; its install and its Debian package.
stage "program, install and package"
tests/package/check-install.sh

for preset in release asan tsan; do
    run_preset "$preset"
done

# Windows: both cross builds, the 64-bit tests under Wine, the program end to end under Wine.
scripts/wine-test.sh
echo "=== all passed in ${SECONDS} s"
