#!/usr/bin/env bash
# The program built alone, installed and packaged, as a user or a packager would:
#  - the program-only preset configures and builds in a fresh folder, with no test framework;
#  - the manual page passes groff's checks with no warning;
#  - `make install DESTDIR=...` and the .deb (unpacked with dpkg -x) hold the same files, and
#    the installed program answers --version.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

build=$work/build
cmake --preset program -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
grep -q '^TONARIUM_TESTS:BOOL=OFF' "$build/CMakeCache.txt" || fail "the program preset builds tests"
grep -q '^\(GTest\|benchmark\)_DIR' "$build/CMakeCache.txt" && fail "the program preset looks for a test framework"
cmake --build "$build" -j "$jobs" >/dev/null

warnings=$(groff -man -ww -z "$build/tonarium.1" 2>&1)
[ -z "$warnings" ] || fail "the manual page has warnings: $warnings"

make --no-print-directory install PREFIX=/usr DESTDIR="$work/installed" >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tonarium_*.deb)
dpkg-deb --field "$deb" Maintainer Description Depends | grep -q '^Depends: .*libasound2' ||
    fail "the package does not depend on the ALSA library"
dpkg -x "$deb" "$work/unpacked"

for root in installed unpacked; do
    (cd "$work/$root" && find . -type f | sort) >"$work/$root.files"
done
diff -u "$work/installed.files" "$work/unpacked.files" || fail "install and package differ"
grep -qx './usr/bin/tonarium' "$work/unpacked.files" || fail "no usr/bin/tonarium"
grep -qx './usr/share/man/man1/tonarium.1' "$work/unpacked.files" || fail "no manual page"
version=$("$work/unpacked/usr/bin/tonarium" --version)
[[ $version == "tonarium "[0-9]* ]] || fail "--version says '$version'"
echo "check-install: program-only build, manual page, install and package agree ($version)"
