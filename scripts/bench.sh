#!/usr/bin/env bash
# make bench: how close Tonarium comes to the physical limit of its work and how it stands against
# SoX and ALSA's speaker-test, measured side by side in one run. Prints one table and writes
# build/bench/report.md with a plot of render cost against tone count (build/bench/render-cost.png).
#
#   scripts/bench.sh [BUILD_DIR]        BUILD_DIR defaults to build/release, which `make bench`
#                                       builds (tonarium, bench_playback, playback_probe)
#
# The steps, each under a time limit, each server and helper process torn down when it ends:
#   1. render cost: bench_playback (Google Benchmark, repetitions in random order), and SoX's
#      synth writing the same stream to /dev/null (CPU time per frame);
#   2. playing cost, CPU time and wake-ups of all threads: tonarium, speaker-test (as asked, and
#      with Tonarium's ring and period) and play, 20 s each, through the null sink of a private
#      PulseAudio server (scripts/bench/playing-cost.sh);
#   3. responsiveness: playback_probe response, 12 frequency changes;
#   4. robustness of timing: 60 s of play with every core but one busy
#      (scripts/bench/loaded-run.sh);
#   5. the responsiveness again with --smooth, and the CPU time of writing one minute to a WAV
#      file against SoX writing the same;
#   6. every output on each server, PulseAudio and PipeWire, beside speaker-test on the same
#      server (scripts/bench/outputs-cost.sh).
# The figures go to build/bench/results.txt ("key value" lines); scripts/bench/report.sh makes
# the table and the report from them, so every figure and ratio comes from this one run. The whole
# run takes about four minutes. Exit status 1 when a step failed; a missed target is a result,
# shown in the table, not a failure.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

build=${1:-build/release}
out=build/bench
results=$out/results.txt
render_repetitions=7
sox_runs=5
sox_seconds=60
changes=12
loaded_seconds=60

for binary in tonarium bench/bench_playback bench/playback_probe; do
    if [ ! -x "$build/$binary" ]; then
        echo "bench: $build/$binary is missing; build the release preset first (make bench does)" >&2
        exit 1
    fi
done
for tool in sox play speaker-test pulseaudio pactl parec pacat gnuplot /usr/bin/time; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "bench: $tool is missing (scripts/install-deps.sh bench installs it)" >&2
        exit 1
    fi
done

mkdir -p "$out"
rm -f "$out"/*.png "$out"/*.dat
: >"$results"
failed=()

result() { echo "$*" >>"$results"; }

# step NAME COMMAND...: runs one step, notes it when it fails.
step() {
    local name=$1
    shift
    echo "bench: $name" >&2
    if ! "$@"; then
        echo "bench: $name failed" >&2
        failed+=("$name")
    fi
}

machine() {
    local model dirty=""
    model=$(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -n 1)
    git diff --quiet HEAD -- 2>/dev/null || dirty=" (with uncommitted changes)"
    result "machine.date $(date -u '+%Y-%m-%d %H:%M UTC')"
    result "machine.commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$dirty"
    result "machine.model ${model:-unknown}"
    result "machine.cpus $(nproc)"
    result "machine.kernel $(uname -r)"
    result "machine.compiler $(c++ --version 2>/dev/null | head -n 1)"
    result "machine.load_start $(cut -d' ' -f1-3 /proc/loadavg)"
    result "tools.sox $(sox --version 2>/dev/null | sed -n 's/.*SoX v//p')"
    result "tools.speaker_test $(dpkg-query -W -f='${Version}' alsa-utils 2>/dev/null || echo unknown)"
    result "tools.pulseaudio $(pulseaudio --version 2>/dev/null | awk '{print $2}')"
}

render_cost() {
    timeout 900 "$build/bench/bench_playback" \
        --benchmark_repetitions="$render_repetitions" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_report_aggregates_only=true \
        --benchmark_min_time=0.2 \
        --summary_out="$out/render-summary.txt" >"$out/render.log" 2>&1 || return 1
    result "render.repetitions $render_repetitions"
    awk '
        $1 ~ /^FillBuffer\/tones:/ { split($1, a, ":"); print "render.fill." a[2], $2; print "render.sines." a[2], $3 }
        $1 ~ /^SinFloor\/tones:/ { split($1, a, ":"); print "render.floor." a[2], $2 }
        $1 == "FillBufferHeld" { print "render.held", $2 }
        $1 ~ /^FillBufferOneTone\/bits:/ { split($1, a, ":"); print "render.fill_bits." a[2], $2 }
    ' "$out/render-summary.txt" |
        awk '{ printf($1 ~ /sines/ ? "%s %d\n" : "%s %.2f\n", $1, $2) }' >>"$results"
}

sox_cost() {
    local command=(sox -n -r 192000 -b 32 -e signed -c 2 -t raw /dev/null
        synth "$sox_seconds" sine 440 vol 0.707)
    local times=() t
    for _ in $(seq "$sox_runs"); do
        t=$( { TIMEFORMAT='%3U %3S'; time timeout 120 "${command[@]}" 2>/dev/null; } 2>&1 |
            awk 'NF == 2 { printf "%.3f", $1 + $2 }')
        [ -n "$t" ] || return 1
        times+=("$t")
    done
    local median frames=$((sox_seconds * 192000))
    median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    result "sox.command ${command[*]}"
    result "sox.runs $sox_runs"
    result "sox.frames $frames"
    result "sox.cpu_s $median"
    result "sox.ns_per_frame $(awk -v s="$median" -v f="$frames" 'BEGIN { printf "%.2f", s * 1e9 / f }')"
}

playing_cost() {
    timeout 300 scripts/with-pulse.sh scripts/bench/playing-cost.sh "$build/tonarium" "$results"
}

responsiveness() {
    timeout 180 scripts/with-pulse.sh "$build/bench/playback_probe" response "$build/tonarium" \
        "$changes" >"$out/response.txt" || return 1
    local summary
    summary=$(grep '^response ' "$out/response.txt") || return 1
    read -r _ n median max <<<"$summary"
    result "response.changes $n"
    result "response.median_ms $median"
    result "response.max_ms $max"
    # Three buffers of 46080 bytes of 32-bit stereo (5760 frames) at 192000 Hz.
    result "response.bound_ms $((3 * 5760 * 1000 / 192000))"
    result "response.all $(awk '$1 == "change" { printf "%s%s", sep, $5; sep = ", " }' "$out/response.txt")"
}

# The same changes with click-free changes on: a frequency change while playing is not faded, so
# the fader must not slow the answer down.
responsiveness_smooth() {
    timeout 180 scripts/with-pulse.sh "$build/bench/playback_probe" response "$build/tonarium" \
        "$changes" --smooth >"$out/response-smooth.txt" || return 1
    local summary
    summary=$(grep '^response ' "$out/response-smooth.txt") || return 1
    read -r _ n median max <<<"$summary"
    result "response_smooth.median_ms $median"
    result "response_smooth.max_ms $max"
}

# Writing a sound file: one minute of one tone at 192000 Hz, 32-bit stereo, as a WAV, against SoX
# writing the same (median CPU time of three runs each).
file_cost() {
    local tonarium=("$build/tonarium" -q -o "$out/tonarium.wav" -f 440 -d "$sox_seconds")
    local sox=(sox -n -r 192000 -b 32 -c 2 "$out/sox.wav" synth "$sox_seconds" sine 440 vol 0.707)
    local name t
    for name in tonarium sox; do
        local -n command=$name
        local times=()
        for _ in 1 2 3; do
            t=$( { TIMEFORMAT='%3U %3S'; time timeout 120 "${command[@]}" >/dev/null 2>&1; } 2>&1 |
                awk 'NF == 2 { printf "%.3f", $1 + $2 }')
            [ -n "$t" ] || return 1
            times+=("$t")
        done
        result "file.$name.cpu_s $(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)"
    done
    rm -f "$out/tonarium.wav" "$out/sox.wav"
}

loaded_run() {
    timeout $((loaded_seconds + 180)) scripts/with-pulse.sh scripts/bench/loaded-run.sh \
        "$build/tonarium" "$build/bench/playback_probe" "$loaded_seconds" "$results"
}

outputs_cost() {
    local probe="$build/bench/playback_probe"
    timeout 900 scripts/with-pulse.sh scripts/bench/outputs-cost.sh "$build/tonarium" "$probe" \
        "$results" pulse alsa:default || return 1
    timeout 1200 scripts/with-pipewire.sh scripts/bench/outputs-cost.sh "$build/tonarium" "$probe" \
        "$results" pipewire pulse alsa:default alsa:pipewire
}

step "machine" machine
step "render cost" render_cost
step "SoX render cost" sox_cost
step "playing cost" playing_cost
step "responsiveness" responsiveness
step "responsiveness, click-free" responsiveness_smooth
step "writing a file" file_cost
step "loaded run" loaded_run
step "outputs" outputs_cost
result "machine.load_end $(cut -d' ' -f1-3 /proc/loadavg)"

echo
scripts/bench/report.sh "$results" "$out" || failed+=("report")
echo
echo "Report: $out/report.md"
if [ ${#failed[@]} -gt 0 ]; then
    echo "bench: failed steps: ${failed[*]}" >&2
    exit 1
fi
