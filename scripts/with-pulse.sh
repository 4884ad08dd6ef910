#!/usr/bin/env bash
# Runs a command against a private, throwaway PulseAudio server, and exits with its status.
#   scripts/with-pulse.sh COMMAND [ARGS...]
#
# The server lives in a temporary directory of its own (runtime dir, home, configuration, its
# own socket), loads only the native protocol on that socket and a null sink `tonarium_null`,
# which is the default sink, and is torn down when the command ends, however it ends. It runs
# as root too: in user mode PulseAudio only warns about root when its directories are its own.
# ALSA's "default" PCM is pointed at the server through a project configuration, so programs
# that play on "default" are heard on the null sink.
#
# The command sees:
#   PULSE_SERVER       the server's socket (every PulseAudio client uses it)
#   TONARIUM_SERVER    pulseaudio
#   TONARIUM_SINK      the null sink, tonarium_null
#   TONARIUM_MONITOR   its monitor source, to record what was played (parec -d ...)
#   TONARIUM_PULSE_PID the server's process id (to take the server away in a test)
#   TONARIUM_PULSE_CONFIG the server's start-up file (to start a new server on the same socket)
#   ALSA_CONFIG_PATH   the system's ALSA configuration plus the override of "default"
set -uo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
fi
for tool in pulseaudio pactl; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "with-pulse: $tool is missing (scripts/install-deps.sh test installs it)" >&2
        exit 1
    fi
done

startup_limit_s=10
sink=tonarium_null
dir=$(mktemp -d "${TMPDIR:-/tmp}/tonarium-pulse.XXXXXX") || exit 1
mkdir -p "$dir/runtime" "$dir/home" "$dir/config"
chmod 700 "$dir/runtime" "$dir/home" "$dir/config"
socket="$dir/runtime/native"
server_pid=""
watchdog_pid=""

cleanup() {
    if [ -n "$watchdog_pid" ]; then
        kill "$watchdog_pid" 2>/dev/null
    fi
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid" 2>/dev/null
        for _ in $(seq 50); do
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

cat >"$dir/server.pa" <<EOF
load-module module-native-protocol-unix auth-anonymous=1 socket=$socket
load-module module-null-sink sink_name=$sink rate=48000 channels=2
set-default-sink $sink
EOF

# Clients never start a server of their own.
cat >"$dir/client.conf" <<EOF
autospawn = no
EOF

# The system's ALSA configuration, then "default" pointed at the server (the ALSA pulse plugin
# of libasound2-plugins).
alsa_conf=""
for candidate in /usr/share/alsa/alsa.conf /etc/alsa/alsa.conf; do
    if [ -f "$candidate" ]; then
        alsa_conf=$candidate
        break
    fi
done
if [ -z "$alsa_conf" ]; then
    echo "with-pulse: no system ALSA configuration found" >&2
    exit 1
fi
cat >"$dir/alsa-pulse.conf" <<EOF
pcm.!default { type pulse }
ctl.!default { type pulse }
EOF

export HOME="$dir/home"
export XDG_RUNTIME_DIR="$dir/runtime"
export XDG_CONFIG_HOME="$dir/config"
export PULSE_RUNTIME_PATH="$dir/runtime"
export PULSE_CLIENTCONFIG="$dir/client.conf"
unset PULSE_SINK PULSE_SOURCE DISPLAY DBUS_SESSION_BUS_ADDRESS

pulseaudio -n --daemonize=no --system=no --exit-idle-time=-1 --use-pid-file=no \
    --disallow-exit=no -F "$dir/server.pa" --log-target="file:$dir/server.log" \
    </dev/null >/dev/null 2>&1 &
server_pid=$!

# Should this script be killed outright (no trap runs), the server must not outlive it.
(
    while kill -0 $$ 2>/dev/null; do sleep 1; done
    kill -KILL "$server_pid" 2>/dev/null
) </dev/null >/dev/null 2>&1 &
watchdog_pid=$!

export PULSE_SERVER="unix:$socket"
ready=0
for _ in $(seq $((startup_limit_s * 10))); do
    if ! kill -0 "$server_pid" 2>/dev/null; then
        break
    fi
    if [ -S "$socket" ] && timeout 5 pactl info >/dev/null 2>&1; then
        ready=1
        break
    fi
    sleep 0.1
done
if [ "$ready" -ne 1 ]; then
    echo "with-pulse: the PulseAudio server did not come up within ${startup_limit_s}s" >&2
    if [ -f "$dir/server.log" ]; then
        tail -n 20 "$dir/server.log" >&2
    fi
    exit 1
fi

export TONARIUM_SERVER=pulseaudio
export TONARIUM_SINK="$sink"
export TONARIUM_MONITOR="$sink.monitor"
export TONARIUM_PULSE_PID="$server_pid"
export TONARIUM_PULSE_CONFIG="$dir/server.pa"
export ALSA_CONFIG_PATH="$alsa_conf:$dir/alsa-pulse.conf"

"$@"
status=$?
exit "$status"
