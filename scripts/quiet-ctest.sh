#!/usr/bin/env bash
# Runs ctest with the given arguments, keeps its whole output in LOG and prints only what matters:
# failures with their output, and the summary. (CTest pads the line of every passing test to the
# longest test name, which makes a log hundreds of characters wide.)
#   scripts/quiet-ctest.sh LOG CTEST_ARGUMENTS...
# The exit status is ctest's.
set -uo pipefail
log=$1
shift
mkdir -p "$(dirname "$log")"
ctest "$@" 2>&1 | tee "$log" |
    grep -vE '^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$'
exit "${PIPESTATUS[0]}"
