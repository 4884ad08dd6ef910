#!/usr/bin/env bash
# Runs one Windows program under wine64 in the prefix that WINEPREFIX names:
#   scripts/wine-run.sh [--raw] program.exe [arguments...]
# It is the cross-compiling emulator of the 64-bit Windows build, through which CTest lists and
# runs the test executables. By default the carriage returns that the Windows C runtime writes
# before every line end are taken out of standard output, so that the output reads (and parses)
# as on Linux; --raw passes every byte through unchanged. The exit status is the program's.
#
# It refuses to run without WINEPREFIX, so that no test ever writes into the user's ~/.wine:
# scripts/wine-test.sh makes a throwaway prefix and runs the tests in it.
set -euo pipefail
source "$(dirname "$0")/wine-prefix.sh"

raw=0
if [ "${1:-}" = "--raw" ]; then
    raw=1
    shift
fi
if [ $# -eq 0 ]; then
    echo "usage: $0 [--raw] program.exe [arguments...]" >&2
    exit 2
fi
if [ -z "${WINEPREFIX:-}" ] || [ ! -d "$WINEPREFIX" ]; then
    echo "wine-run: WINEPREFIX must name a private Wine prefix (scripts/wine-test.sh makes one)" >&2
    exit 2
fi

loader=$(wine_loader)
if [ "$raw" -eq 1 ]; then
    exec "$loader" "$@"
fi
exec "$loader" "$@" > >(tr -d '\r')
