#!/usr/bin/env bash
# Runs a command against a private, throwaway PipeWire server, and exits with its status.
#   scripts/with-pipewire.sh COMMAND [ARGS...]
#
# The server lives in a temporary directory of its own (runtime dir, home, configuration, state)
# with a session bus of its own: pipewire, then its session manager wireplumber, then its
# PulseAudio service pipewire-pulse. A null sink `tonarium_null` is made the default sink, and
# everything is torn down when the command ends, however it ends.
#
# As root without a login session no configuration tweak is needed: PipeWire and WirePlumber
# ask nothing of logind, and WirePlumber's device monitors (ALSA, V4L2, libcamera) simply find
# nothing here; its log's note that libcamera is missing is harmless. WirePlumber talks to the
# session bus (device reservation, portals), so the script gives it a private one rather than
# the machine's. WirePlumber keeps its state (such as the chosen default sink) under
# XDG_STATE_HOME, which lives in the temporary directory, so no earlier run leaks into this one.
#
# ALSA: "default" is pointed at pipewire-pulse through the pulse plugin (libasound2-plugins),
# and "pipewire" is PipeWire's own ALSA plugin, loaded by path from the build tree (unpacked
# there by scripts/install-deps.sh, since Debian's pipewire-alsa package conflicts with
# pulseaudio).
#
# The command sees:
#   PULSE_SERVER          pipewire-pulse's socket (every PulseAudio client uses it)
#   DBUS_SESSION_BUS_ADDRESS  the private session bus
#   TONARIUM_SERVER       pipewire
#   TONARIUM_SINK         the null sink, tonarium_null
#   TONARIUM_MONITOR      its monitor source, to record what was played (parec -d ...)
#   TONARIUM_PIPEWIRE_PID pipewire's process id (to take the server away in a test)
#   TONARIUM_WIREPLUMBER_PID, TONARIUM_PULSE_PID  the session manager's and pipewire-pulse's
#   TONARIUM_PIPEWIRE_DIR the temporary directory (logs, to start the servers again)
#   ALSA_CONFIG_PATH      the system's ALSA configuration plus "default" and "pipewire"
set -uo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
fi
for tool in pipewire wireplumber pipewire-pulse pw-cli pactl dbus-daemon; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "with-pipewire: $tool is missing (scripts/install-deps.sh test installs it)" >&2
        exit 1
    fi
done

startup_limit_s=10
sink=tonarium_null
repo=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d "${TMPDIR:-/tmp}/tonarium-pipewire.XXXXXX") || exit 1
mkdir -p "$dir/runtime" "$dir/home" "$dir/config" "$dir/state"
chmod 700 "$dir/runtime" "$dir/home" "$dir/config" "$dir/state"
dbus_pid=""
pipewire_pid=""
wireplumber_pid=""
pulse_pid=""
watchdog_pid=""

stop_process() {
    local pid=$1
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
        { wait "$pid"; } 2>/dev/null
    fi
}

cleanup() {
    if [ -n "$watchdog_pid" ]; then
        kill "$watchdog_pid" 2>/dev/null
    fi
    stop_process "$pulse_pid"
    stop_process "$wireplumber_pid"
    stop_process "$pipewire_pid"
    # dbus-daemon forked away from this shell: it is not our child, so no wait.
    if [ -n "$dbus_pid" ]; then
        kill -TERM "$dbus_pid" 2>/dev/null
    fi
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The system's ALSA configuration, then "default" pointed at pipewire-pulse, and "pipewire" as the
# plugin's own 50-pipewire.conf defines it, with the plugin's libraries named by path (its
# 99-pipewire-default.conf, which would take "default" over, is left out).
alsa_conf=""
for candidate in /usr/share/alsa/alsa.conf /etc/alsa/alsa.conf; do
    if [ -f "$candidate" ]; then
        alsa_conf=$candidate
        break
    fi
done
if [ -z "$alsa_conf" ]; then
    echo "with-pipewire: no system ALSA configuration found" >&2
    exit 1
fi
plugin=$(compgen -G "$repo/build/deps/pipewire-alsa/usr/lib/*/alsa-lib/libasound_module_pcm_pipewire.so" | head -n 1)
plugin_conf="$repo/build/deps/pipewire-alsa/usr/share/alsa/alsa.conf.d/50-pipewire.conf"
{
    echo 'pcm.!default { type pulse }'
    echo 'ctl.!default { type pulse }'
    if [ -n "$plugin" ] && [ -f "$plugin_conf" ]; then
        echo "pcm_type.pipewire { lib \"$plugin\" }"
        echo "ctl_type.pipewire { lib \"${plugin/pcm_pipewire/ctl_pipewire}\" }"
        echo "<$plugin_conf>"
    else
        echo "with-pipewire: PipeWire's ALSA plugin is not unpacked (scripts/install-deps.sh test); no PCM \"pipewire\"" >&2
    fi
} >"$dir/alsa-pipewire.conf"

export HOME="$dir/home"
export XDG_RUNTIME_DIR="$dir/runtime"
export XDG_CONFIG_HOME="$dir/config"
export XDG_STATE_HOME="$dir/state"
unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER PULSE_SINK PULSE_SOURCE PULSE_RUNTIME_PATH \
    PULSE_CLIENTCONFIG PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PIPEWIRE_CONFIG_DIR PIPEWIRE_NODE \
    DBUS_SESSION_BUS_ADDRESS JACK_DEFAULT_SERVER

dbus_pid=$(dbus-daemon --session --address="unix:path=$XDG_RUNTIME_DIR/bus" --fork --print-pid \
    </dev/null 2>"$dir/dbus.log")
if [ -z "$dbus_pid" ]; then
    echo "with-pipewire: the session bus did not start" >&2
    cat "$dir/dbus.log" >&2
    exit 1
fi
export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"

echo "$dbus_pid" >"$dir/pids"

# Should this script be killed outright (no trap runs), the servers must not outlive it: every
# process started is listed in $dir/pids as it starts.
(
    while kill -0 $$ 2>/dev/null; do sleep 1; done
    kill -KILL $(cat "$dir/pids") 2>/dev/null
    rm -rf "$dir"
) </dev/null >/dev/null 2>&1 &
watchdog_pid=$!

pipewire </dev/null >"$dir/pipewire.log" 2>&1 &
pipewire_pid=$!
echo "$pipewire_pid" >>"$dir/pids"

# Waits, bounded, until "$@" succeeds (each try bounded by the command itself); false, with the
# logs shown, when it never does.
wait_for() {
    local what=$1
    shift
    for _ in $(seq $((startup_limit_s * 10))); do
        if "$@" >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    echo "with-pipewire: $what within ${startup_limit_s}s" >&2
    for log in "$dir"/*.log; do
        echo "--- $log" >&2
        tail -n 20 "$log" >&2
    done
    return 1
}

wait_for "pipewire did not answer" timeout 5 pw-cli info 0 || exit 1
wireplumber </dev/null >"$dir/wireplumber.log" 2>&1 &
wireplumber_pid=$!
echo "$wireplumber_pid" >>"$dir/pids"
pipewire-pulse </dev/null >"$dir/pipewire-pulse.log" 2>&1 &
pulse_pid=$!
echo "$pulse_pid" >>"$dir/pids"

export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
wait_for "pipewire-pulse did not answer" timeout 5 pactl info || exit 1

if ! timeout 5 pactl load-module module-null-sink sink_name="$sink" rate=48000 channels=2 \
    >/dev/null; then
    echo "with-pipewire: could not create the null sink $sink" >&2
    exit 1
fi
sink_is_default() {
    timeout 5 pactl set-default-sink "$sink" &&
        [ "$(timeout 5 pactl get-default-sink)" = "$sink" ] &&
        timeout 5 pactl list short sources | cut -f2 | grep -qx "$sink.monitor"
}
wait_for "the null sink $sink did not become the default" sink_is_default || exit 1

export TONARIUM_SERVER=pipewire
export TONARIUM_SINK="$sink"
export TONARIUM_MONITOR="$sink.monitor"
export TONARIUM_PIPEWIRE_PID="$pipewire_pid"
export TONARIUM_WIREPLUMBER_PID="$wireplumber_pid"
export TONARIUM_PULSE_PID="$pulse_pid"
export TONARIUM_PIPEWIRE_DIR="$dir"
export ALSA_CONFIG_PATH="$alsa_conf:$dir/alsa-pipewire.conf"

"$@"
status=$?
exit "$status"
