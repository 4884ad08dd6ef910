#!/usr/bin/env bash
# The playing cost: CPU time and peak memory of three programs, one after the other, each playing
# a 440 Hz sine at 192000 Hz, 32 bits, stereo for 20 s through the PulseAudio server of
# scripts/with-pulse.sh (under which this runs):
#   tonarium      answers 1 tone and 440 Hz, and after 20 s -1 twice, which ends it
#   speaker-test  -D default -c 2 -t sine -f 440 -r 192000 -F S32_LE, interrupted after 20 s
#   speaker-test  the same with -b 80000 -p 20000: the 80 ms ring and 20 ms period that
#                 Tonarium's ALSA layer asks for, instead of speaker-test's own 2.7 s ring
#   play          -n -r 192000 -b 32 -c 2 synth 20 sine 440, which ends by itself
# GNU time measures each program alone (user and system CPU time, peak resident memory, wall
# time, and the voluntary and involuntary context switches of all its threads together: each is
# one wake-up of a thread); it ignores the interrupt that ends speaker-test and reports on it.
#
#   scripts/bench/playing-cost.sh TONARIUM RESULTS
# Appends "play.<key>.{name,command,user_s,sys_s,cpu_s,rss_kb,wall_s,switches,cpu_ms_per_s,
# wakeups_per_s} VALUE" lines to RESULTS (the last two per second of wall time),
# keys tonarium, speaker_test, speaker_test_ring and sox_play; a program that fails leaves its
# lines out and makes the exit status 1.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 TONARIUM RESULTS" >&2
    exit 2
fi
tonarium=$1
results=$2
seconds=20
limit=$((seconds + 40))
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tonarium-playing.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

status=0

# record KEY NAME COMMAND: turns the GNU time output of the run KEY into result lines.
record() {
    local name=$1 label=$2 command=$3 file=$scratch/$1.time
    local line
    line=$(grep -E '^[0-9.]+ [0-9.]+ [0-9]+ [0-9.:]+ [0-9]+ [0-9]+$' "$file" 2>/dev/null | tail -n 1)
    if [ -z "$line" ]; then
        echo "playing-cost: $name was not measured" >&2
        [ -f "$file" ] && sed 's/^/  /' "$file" >&2
        status=1
        return
    fi
    read -r user sys rss wall voluntary involuntary <<<"$line"
    {
        echo "play.$name.name $label"
        echo "play.$name.command $command"
        echo "play.$name.user_s $user"
        echo "play.$name.sys_s $sys"
        echo "play.$name.cpu_s $(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')"
        echo "play.$name.rss_kb $rss"
        echo "play.$name.wall_s $wall"
        echo "play.$name.switches $((voluntary + involuntary))"
        awk -v u="$user" -v s="$sys" -v w="$wall" -v n="$((voluntary + involuntary))" -v k="$name" \
            'BEGIN { if (w > 0) { printf "play.%s.cpu_ms_per_s %.1f\n", k, (u + s) * 1000 / w
                                  printf "play.%s.wakeups_per_s %.0f\n", k, n / w } }'
    } >>"$results"
}

format='%U %S %M %e %w %c'
speaker_test=(speaker-test -D default -c 2 -t sine -f 440 -r 192000 -F S32_LE)
play=(play -n -r 192000 -b 32 -c 2 synth "$seconds" sine 440)

{
    printf '1\n440\n'
    sleep "$seconds"
    printf -- '-1\n-1\n'
} | timeout "$limit" /usr/bin/time -o "$scratch/tonarium.time" -f "$format" \
    "$tonarium" >/dev/null 2>"$scratch/tonarium.err"
record tonarium "tonarium (1 tone, 440 Hz; -1 -1 after ${seconds} s)" tonarium

timeout -s INT "$seconds" /usr/bin/time -o "$scratch/speaker_test.time" -f "$format" \
    "${speaker_test[@]}" </dev/null >/dev/null 2>"$scratch/speaker_test.err"
record speaker_test speaker-test "${speaker_test[*]}"

timeout -s INT "$seconds" /usr/bin/time -o "$scratch/speaker_test_ring.time" -f "$format" \
    "${speaker_test[@]}" -b 80000 -p 20000 </dev/null >/dev/null \
    2>"$scratch/speaker_test_ring.err"
record speaker_test_ring "speaker-test, Tonarium's ring" "${speaker_test[*]} -b 80000 -p 20000"

timeout "$limit" /usr/bin/time -o "$scratch/sox_play.time" -f "$format" \
    "${play[@]}" </dev/null >/dev/null 2>"$scratch/sox_play.err"
record sox_play play "${play[*]}"

exit "$status"
