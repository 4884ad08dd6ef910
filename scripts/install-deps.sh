#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages that a make target needs, and only those that are missing.
#   scripts/install-deps.sh build|test|windows|bench|package ...
# Elsewhere it names each missing package and fails.
set -euo pipefail

# A private PipeWire server for the tests and benchmarks, with its session manager and its
# PulseAudio service. Its ALSA plugin comes unpacked (see unpack_pipewire_alsa).
servers="pipewire pipewire-bin wireplumber pipewire-pulse dbus"

packages_for() {
    case "$1" in
        build) echo "cmake make g++ pkg-config libasound2-dev libcli11-dev libsndfile1-dev libpipewire-0.3-dev libpulse-dev" ;;
        test) echo "libgtest-dev libgmock-dev pulseaudio pulseaudio-utils libasound2-plugins alsa-utils groff-base dpkg-dev file ccache $servers" ;;
        package) echo "dpkg-dev file" ;;
        windows) echo "g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 libgtest-dev libgmock-dev" ;;
        bench) echo "libbenchmark-dev libgtest-dev libgmock-dev sox alsa-utils pulseaudio pulseaudio-utils libasound2-plugins gnuplot-nox valgrind time $servers" ;;
        *) echo "install-deps: unknown group '$1'" >&2; exit 2 ;;
    esac
}

wanted=()
for group in "${@:-build}"; do
    for p in $(packages_for "$group"); do wanted+=("$p"); done
done

# Debian's pipewire-alsa conflicts with pulseaudio, which the tests need too, and would make ALSA's
# default device PipeWire for the whole machine. Its ALSA plugin is unpacked into the build tree
# instead, where scripts/with-pipewire.sh loads it by path as the PCM "pipewire".
unpack_pipewire_alsa() {
    local dest
    dest="$(cd "$(dirname "$0")/.." && pwd)/build/deps/pipewire-alsa"
    if compgen -G "$dest/usr/lib/*/alsa-lib/libasound_module_pcm_pipewire.so" >/dev/null; then
        return 0
    fi
    command -v apt-get >/dev/null 2>&1 || return 0
    local work
    work=$(mktemp -d)
    if (cd "$work" && apt-get download -q pipewire-alsa </dev/null >/dev/null 2>&1 ||
        { apt-get update -q </dev/null >/dev/null && apt-get download -q pipewire-alsa </dev/null; }); then
        mkdir -p "$dest"
        dpkg-deb -x "$work"/pipewire-alsa_*.deb "$dest"
    else
        echo "install-deps: could not fetch pipewire-alsa; the tests through ALSA's pipewire plugin will fail" >&2
    fi
    rm -rf "$work"
}
for group in "${@:-build}"; do
    case "$group" in test | bench) wants_pipewire_alsa=1 ;; esac
done

missing=()
for p in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    [ -n "${wants_pipewire_alsa:-}" ] && unpack_pipewire_alsa
    exit 0
fi

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
[ -n "${wants_pipewire_alsa:-}" ] && unpack_pipewire_alsa
exit 0
