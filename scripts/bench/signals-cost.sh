#!/bin/bash
# CPU time of writing each signal to a WAV file (192000 Hz, 32-bit stereo, SECONDS long, default
# 20), tonarium against SoX's synth writing the same signal to the same format; the median of
# three runs each. Prints one Markdown table row per signal.
#
# usage: scripts/bench/signals-cost.sh TONARIUM [SECONDS]
set -euo pipefail
tonarium=$1
seconds=${2:-20}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# The median user + system CPU time of three runs of the command.
cpu() {
    local times=() t
    for _ in 1 2 3; do
        t=$( { TIMEFORMAT='%3U %3S'; time "$@" >/dev/null 2>&1; } 2>&1 |
            awk 'NF == 2 { printf "%.3f", $1 + $2 }')
        times+=("$t")
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n 2p
}

# name | tonarium's signal options | SoX's synth arguments
while IFS='|' read -r name ours theirs; do
    t=$(cpu "$tonarium" -q -o "$out/t.wav" -r 192000 -b 32 -d "$seconds" $ours)
    s=$(cpu sox -n -r 192000 -b 32 -c 2 "$out/s.wav" synth "$seconds" $theirs)
    awk -v n="$name" -v o="$ours" -v t="$t" -v s="$s" \
        'BEGIN { printf "| %s | `%s` | %.3f | %.3f | %.2f |\n", n, o, t, s, t / s }'
done <<'SIGNALS'
sine 440 Hz|-f 440|sine 440 vol 0.707
square 440 Hz|-w square -f 440|square 440 vol 0.707
triangle 440 Hz|-w triangle -f 440|triangle 440 vol 0.707
sawtooth 440 Hz|-w sawtooth -f 440|sawtooth 440 vol 0.707
white noise|-w white|whitenoise vol 0.1
pink noise|-w pink|pinknoise vol 0.1
brown noise|-w brown|brownnoise vol 0.1
pink noise, 500-2000 Hz|-w pink --band 500:2000|pinknoise sinc 500-2000 vol 0.1
sweep 20 Hz-20 kHz|--sweep 20:20000|sine 20:20000 vol 0.707
SIGNALS
