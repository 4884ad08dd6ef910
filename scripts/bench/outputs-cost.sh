#!/usr/bin/env bash
# The cost of each output on one sound server, beside speaker-test on the same server: run under
# scripts/with-pulse.sh or scripts/with-pipewire.sh. For every OUTPUT (a --device name such as
# pipewire, pulse, alsa:default, alsa:pipewire):
#   playing   tonarium -q -D OUTPUT -n 1 -f 440 -d 20 (192000 Hz, 32 bits, stereo: the program's
#             default format), CPU time and wake-ups (context switches of all its threads) per
#             second, by GNU time;
#   response  playback_probe response: the time from an answer to its sound on the sink, 12
#             changes;
#   loaded    60 s with every core but one busy: the dropouts the probe hears and the underruns
#             the program counted.
# speaker-test plays the same format on the same server through ALSA's default (the pulse plugin)
# and, where the server is PipeWire, through the pipewire plugin too.
#
#   scripts/bench/outputs-cost.sh TONARIUM PROBE RESULTS OUTPUT...
# Appends "outputs.SERVER.KEY.{cpu_ms_per_s,wakeups_per_s,response_median_ms,response_max_ms,
# loaded_dropouts,loaded_underruns} VALUE" lines to RESULTS, KEY being the output with ':' as '_'
# (speaker_test_default, speaker_test_pipewire for speaker-test). Exit status 1 when a run failed.
set -uo pipefail

if [ $# -lt 4 ]; then
    echo "usage: $0 TONARIUM PROBE RESULTS OUTPUT..." >&2
    exit 2
fi
tonarium=$1
probe=$2
results=$3
shift 3
server=${TONARIUM_SERVER:-pulseaudio}
seconds=20
loaded_seconds=${TONARIUM_LOADED_SECONDS:-60}
here=$(dirname "$0")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tonarium-outputs.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
status=0

# cost KEY COMMAND...: CPU time and wake-ups per second of one run of COMMAND.
cost() {
    local key=$1 line
    shift
    timeout -s INT $((seconds + 30)) /usr/bin/time -o "$scratch/time" -f '%U %S %e %w %c' \
        "$@" </dev/null >/dev/null 2>"$scratch/err"
    line=$(grep -E '^[0-9.]+ [0-9.]+ [0-9.]+ [0-9]+ [0-9]+$' "$scratch/time" | tail -n 1)
    if [ -z "$line" ]; then
        echo "outputs-cost: $key was not measured" >&2
        sed 's/^/  /' "$scratch/err" >&2
        status=1
        return
    fi
    read -r user sys wall voluntary involuntary <<<"$line"
    awk -v u="$user" -v s="$sys" -v w="$wall" -v n="$((voluntary + involuntary))" \
        -v k="outputs.$server.$key" \
        'BEGIN { printf "%s.cpu_ms_per_s %.1f\n%s.wakeups_per_s %.0f\n", k, (u + s) * 1000 / w, k, n / w }' \
        >>"$results"
}

for output in "$@"; do
    key=${output//:/_}
    cost "$key" "$tonarium" -q -D "$output" -n 1 -f 440 -d "$seconds"
    line=$(timeout 180 "$probe" response "$tonarium" 12 -D "$output" | grep '^response ')
    if [ -n "$line" ]; then
        read -r _ _ median max <<<"$line"
        echo "outputs.$server.$key.response_median_ms $median" >>"$results"
        echo "outputs.$server.$key.response_max_ms $max" >>"$results"
    else
        echo "outputs-cost: the response through $output was not measured" >&2
        status=1
    fi
    "$here/loaded-run.sh" "$tonarium" "$probe" "$loaded_seconds" "$scratch/loaded" -D "$output" ||
        status=1
    awk -v k="outputs.$server.$key" '$1 == "loaded.dropouts" { print k ".loaded_dropouts", $2 }
        $1 == "loaded.underruns" { print k ".loaded_underruns", $2 }' "$scratch/loaded" >>"$results"
    rm -f "$scratch/loaded"
done

speaker_test=(speaker-test -c 2 -t sine -f 440 -r 192000 -F S32_LE)
cost speaker_test_default timeout -s INT "$seconds" "${speaker_test[@]}" -D default
if [ "$server" = pipewire ]; then
    cost speaker_test_pipewire timeout -s INT "$seconds" "${speaker_test[@]}" -D pipewire
fi
exit "$status"
