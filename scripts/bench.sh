#!/usr/bin/env bash
# Runs every benchmark of the release build.
set -euo pipefail
cd "$(dirname "$0")/.."
for b in build/release/bench/bench_*; do
    [ -x "$b" ] && "$b"
done
