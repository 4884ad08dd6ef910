#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages that a make target needs, and only those that are missing.
#   scripts/install-deps.sh build|test|windows|bench|package ...
# Elsewhere it names each missing package and fails.
set -euo pipefail

packages_for() {
    case "$1" in
        build) echo "cmake make g++ pkg-config libasound2-dev libcli11-dev libsndfile1-dev" ;;
        test) echo "libgtest-dev libgmock-dev pulseaudio pulseaudio-utils libasound2-plugins alsa-utils groff-base dpkg-dev file ccache" ;;
        package) echo "dpkg-dev file" ;;
        windows) echo "g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 libgtest-dev libgmock-dev" ;;
        bench) echo "libbenchmark-dev libgtest-dev libgmock-dev sox alsa-utils pulseaudio pulseaudio-utils libasound2-plugins gnuplot-nox valgrind time" ;;
        *) echo "install-deps: unknown group '$1'" >&2; exit 2 ;;
    esac
}

wanted=()
for group in "${@:-build}"; do
    for p in $(packages_for "$group"); do wanted+=("$p"); done
done

missing=()
for p in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! command -v apt-get >/dev/null 2>&1; then
    echo "Tonarium needs these packages (Debian names); please install them: ${missing[*]}" >&2
    exit 1
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then sudo="sudo"; else
        echo "Installing ${missing[*]} needs root (or sudo)." >&2
        exit 1
    fi
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null; then
    $sudo apt-get update -q </dev/null
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi
