#!/usr/bin/env bash
# Turns the results of one benchmark run into the table that scripts/bench.sh prints, and into
# OUTDIR/report.md with the plot OUTDIR/render-cost.png (gnuplot) of render cost against tones.
#
#   scripts/bench/report.sh RESULTS OUTDIR
#
# RESULTS holds "key value..." lines (see scripts/bench.sh for the keys). A figure that is missing
# shows as "n/a" and its target as "not measured". Every ratio is taken between figures of the
# same run.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 RESULTS OUTDIR" >&2
    exit 2
fi
results=$1
out=$2
mkdir -p "$out"

declare -A R
while read -r key value; do
    [ -n "${key:-}" ] && R[$key]=$value
done <"$results"

get() { echo "${R[$1]:-n/a}"; }
known() { [ -n "${R[$1]:-}" ] && [ "${R[$1]}" != "n/a" ]; }
# calc EXPR: a number with two decimals, or n/a when a figure is missing.
calc() {
    case "$1" in *n/a*) echo "n/a"; return ;; esac
    awk "BEGIN { printf \"%.2f\", $1 }"
}
# judge VALUE OP BOUND: met / missed / not measured.
judge() {
    if [ "$1" = "n/a" ]; then
        echo "not measured"
    elif awk "BEGIN { exit !($1 $2 $3) }"; then
        echo "met"
    else
        echo "missed"
    fi
}

tones=(1 8 32 1000000)
label_of() { [ "$1" = 1000000 ] && echo "1,000,000" || echo "$1"; }

# The summary rows: measure, Tonarium, reference, ratio, target, result.
rows=()
row() { rows+=("$1|$2|$3|$4|$5|$6"); }
missed=0
count_result() { [ "$1" = "met" ] || missed=$((missed + 1)); }

for n in "${tones[@]}"; do
    fill=$(get "render.fill.$n")
    floor=$(get "render.floor.$n")
    ratio=$(calc "$fill / $floor")
    result=$(judge "$ratio" "<=" 1.25)
    count_result "$result"
    unit=""
    [ "$n" = 1 ] && unit=" (CPU ns/frame)"
    row "Render cost, $(label_of "$n") tone$([ "$n" = 1 ] || echo s)$unit" "$fill" \
        "sin floor $floor" "$ratio" "<= 1.25" "$result"
done

ratio=$(calc "$(get render.fill.1000000) / $(get render.fill.32)")
result=$(judge "$ratio" "<=" 1.2)
count_result "$result"
row "Render cost, 1,000,000 against 32 tones" "$(get render.fill.1000000)" \
    "32 tones $(get render.fill.32)" "$ratio" "<= 1.2" "$result"

ratio=$(calc "$(get render.fill.1) / $(get sox.ns_per_frame)")
result=$(judge "$ratio" "<=" 0.7)
count_result "$result"
row "Render cost against SoX, 1 tone" "$(get render.fill.1)" "SoX $(get sox.ns_per_frame)" \
    "$ratio" "<= 0.7" "$result"

ratio=$(calc "$(get play.tonarium.cpu_s) / $(get play.speaker_test.cpu_s)")
result=$(judge "$ratio" "<=" 1.5)
count_result "$result"
row "Playing 20 s, CPU time (s)" "$(get play.tonarium.cpu_s)" \
    "speaker-test $(get play.speaker_test.cpu_s)" "$ratio" "<= 1.5" "$result"

# Context switches of every thread of the process over the run, per second: each is one wake-up.
result=$(judge "$(get play.tonarium.wakeups_per_s)" "<=" 200)
count_result "$result"
row "Playing, wake-ups per second (all threads)" "$(get play.tonarium.wakeups_per_s)" \
    "speaker-test $(get play.speaker_test.wakeups_per_s)" \
    "$(calc "$(get play.tonarium.wakeups_per_s) / $(get play.speaker_test.wakeups_per_s)")" \
    "<= 200" "$result"

mib() { known "$1" && calc "${R[$1]} / 1024" || echo "n/a"; }
ratio=$(calc "$(get play.tonarium.rss_kb) / $(get play.speaker_test.rss_kb)")
result=$(judge "$ratio" "<=" 1)
count_result "$result"
row "Playing 20 s, peak memory (MiB)" "$(mib play.tonarium.rss_kb)" \
    "speaker-test $(mib play.speaker_test.rss_kb)" "$ratio" "<= 1" "$result"

bound=$(get response.bound_ms)
result=$(judge "$(get response.median_ms)" "<=" 80)
count_result "$result"
row "Response to a new frequency, median (ms)" "$(get response.median_ms)" \
    "three buffers $bound" "-" "<= 80" "$result"
result=$(judge "$(get response.max_ms)" "<=" 100)
count_result "$result"
row "Response to a new frequency, maximum (ms)" "$(get response.max_ms)" \
    "three buffers $bound" "-" "<= 100" "$result"

result=$(judge "$(get response_smooth.max_ms)" "<=" "$(calc "90 + 5")")
count_result "$result"
row "Response with --smooth (5 ms), median / maximum (ms)" \
    "$(get response_smooth.median_ms) / $(get response_smooth.max_ms)" "90 ms + 5 ms" "-" "<= 95" "$result"

ratio=$(calc "$(get file.tonarium.cpu_s) / $(get file.sox.cpu_s)")
result=$(judge "$ratio" "<=" 0.5)
count_result "$result"
row "Writing 60 s to a WAV file, CPU time (s)" "$(get file.tonarium.cpu_s)" \
    "SoX $(get file.sox.cpu_s)" "$ratio" "<= 0.5" "$result"

result=$(judge "$(get loaded.underruns)" "==" 0)
count_result "$result"
row "Underruns, $(get loaded.seconds) s with $(get loaded.hogs) core(s) busy" \
    "$(get loaded.underruns)" "dropouts heard $(get loaded.dropouts)" "-" "0" "$result"

# The table on the terminal.
header="Measure|Tonarium|Reference|Ratio|Target|Result"
{
    echo "$header"
    printf '%s\n' "${rows[@]}"
} | awk -F'|' '
    { for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
    END {
        for (r = 1; r <= NR; r++) {
            line = ""
            for (i = 1; i <= 6; i++) line = line sprintf("%-" w[i] "s", cell[r, i]) (i < 6 ? "  " : "")
            print line
            if (r == 1) { rule = ""; for (i = 1; i <= 6; i++) { s = sprintf("%" w[i] "s", ""); gsub(/ /, "-", s); rule = rule s (i < 6 ? "  " : "") } print rule }
        }
    }'

# The plot.
{
    for n in "${tones[@]}"; do
        echo "$n $(get "render.fill.$n") $(get "render.floor.$n")"
    done
} | grep -v 'n/a' >"$out/render-cost.dat"
echo "1 $(get sox.ns_per_frame)" | grep -v 'n/a' >"$out/sox.dat"
plot_made=0
if command -v gnuplot >/dev/null 2>&1 && [ -s "$out/render-cost.dat" ]; then
    terminal="pngcairo size 900,540 font ',11'"
    gnuplot -e 'set terminal pngcairo' >/dev/null 2>&1 || terminal="png size 900,540"
    if timeout 60 gnuplot <<EOF 2>"$out/gnuplot.log"; then
set terminal $terminal
set output '$out/render-cost.png'
set title 'Render cost per frame against tone count (440 Hz, 192000 Hz, 32-bit stereo)'
set logscale x 10
set xrange [0.6:3000000]
set yrange [0:*]
set xtics ('1' 1, '8' 8, '32' 32, '1,000,000' 1000000)
set xlabel 'tones'
set ylabel 'CPU nanoseconds per frame'
set grid
set key bottom right opaque box
plot '$out/render-cost.dat' using 1:2 with linespoints lw 2 pt 7 title 'Tonarium: buffer fill (graph, tone source, conversion)', \
     '' using 1:3 with linespoints lw 2 pt 5 title 'floor: the same sin calls alone', \
     '$out/sox.dat' using 1:2 with points pt 9 ps 2 title 'SoX synth, one tone'
EOF
        plot_made=1
    fi
fi

# The report.
md_table() {
    echo "| ${header//|/ | } |"
    echo "|---|---:|---|---:|---|---|"
    for r in "${rows[@]}"; do
        echo "| ${r//|/ | } |"
    done
}

{
    echo "# Tonarium performance report"
    echo
    echo "Measured on $(get machine.date) at commit $(get machine.commit): $(get machine.model)," \
        "$(get machine.cpus) CPUs, Linux $(get machine.kernel), $(get machine.compiler)." \
        "Load average $(get machine.load_start) before the run and $(get machine.load_end) after it." \
        "Every figure below comes from this one run; every ratio is taken between figures of it."
    echo
    echo "Reproduce with \`make bench\` in a clone of the repository (Debian or Ubuntu): it installs" \
        "sox, alsa-utils, pulseaudio, pulseaudio-utils, libasound2-plugins and gnuplot, builds the" \
        "release preset, runs \`scripts/bench.sh\`, prints the summary and writes this report to" \
        "\`build/bench/report.md\`. Tools: SoX $(get tools.sox), speaker-test of alsa-utils $(get tools.speaker_test)," \
        "PulseAudio $(get tools.pulseaudio)."
    echo
    echo "## Summary"
    echo
    md_table
    echo
    if [ "$missed" -eq 0 ]; then
        echo "Every target was met."
    else
        echo "$missed target(s) missed or not measured in this run."
    fi
    echo
    echo "## Render cost"
    echo
    echo "CPU time per frame (Google Benchmark, \`bench_playback\`, median of" \
        "$(get render.repetitions) repetitions run in random order) of filling one 46080-byte" \
        "buffer the way the playback thread does: for every frame one step of the program's graph" \
        "(the locked container with the tone source and the output module) and the conversion of" \
        "the stereo frame to 32 bits; 440 Hz at 192000 Hz, amplitude 0.707. The floor makes the same" \
        "number of \`std::sin\` calls per frame as there are audible tones (a muted tone adds" \
        "sin(0) = 0, which the exact sum does without), on the same arguments: phases from 0.0" \
        "advancing by the same increments, wrapped at 2π the same way, summed and stored per frame."
    echo
    echo "| Tones | sin calls per frame | Buffer fill (ns/frame) | Floor (ns/frame) | Fill / floor |"
    echo "|---:|---:|---:|---:|---:|"
    for n in "${tones[@]}"; do
        echo "| $(label_of "$n") | $(get "render.sines.$n") | $(get "render.fill.$n") |" \
            "$(get "render.floor.$n") | $(calc "$(get "render.fill.$n") / $(get "render.floor.$n")") |"
    done
    echo
    echo "Beside them, from the same run: the buffer fill with the tone held (frequency 0: the graph" \
        "step, the tone source's test of its frequency and the conversion, no sine) costs" \
        "$(get render.held) ns/frame; one tone at 16 and 24 bits costs $(get render.fill_bits.16)" \
        "and $(get render.fill_bits.24) ns/frame. SoX (\`$(get sox.command)\`) used" \
        "$(get sox.cpu_s) s of CPU time (median of $(get sox.runs) runs) for $(get sox.frames)" \
        "frames: $(get sox.ns_per_frame) ns/frame."
    echo
    if [ "$plot_made" -eq 1 ]; then
        echo "![Render cost against tone count](render-cost.png)"
    else
        echo "(No plot: gnuplot is missing or failed.)"
    fi
    echo
    echo "## Playing cost"
    echo
    echo "Each program plays a 440 Hz sine at 192000 Hz, 32 bits, stereo for 20 s into the null sink" \
        "of a private PulseAudio server, one after the other; GNU time measures it alone. Wake-ups" \
        "are the context switches, voluntary and involuntary, of all the program's threads" \
        "together, per second of wall time; the CPU time is given per second of wall time too."
    echo
    echo "| Program | Command | User CPU (s) | System CPU (s) | CPU (s) | CPU (ms/s) | Wake-ups (1/s) | Peak memory (MiB) | Wall (s) |"
    echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
    for p in tonarium speaker_test speaker_test_ring sox_play; do
        known "play.$p.cpu_s" || continue
        echo "| $(get "play.$p.name") | \`$(get "play.$p.command")\` | $(get "play.$p.user_s") |" \
            "$(get "play.$p.sys_s") | $(get "play.$p.cpu_s") | $(get "play.$p.cpu_ms_per_s") |" \
            "$(get "play.$p.wakeups_per_s") | $(mib "play.$p.rss_kb") | $(get "play.$p.wall_s") |"
    done
    echo
    echo "## Responsiveness"
    echo
    echo "\`playback_probe response\` answers one tone and 440 Hz, then switches between 440 and" \
        "1000 Hz $(get response.changes) times at irregular moments, and times each switch from the" \
        "write of the answer to the program's standard input to the first frame of the new pitch in" \
        "the recorded monitor of the sink (16-bit, 48000 Hz; the change is placed to a fraction of" \
        "a sample from the lengths of the cycles around it). Three device buffers of 5760 frames" \
        "at 192000 Hz are $bound ms."
    echo
    echo "Each change, in ms: $(get response.all)."
    echo
    echo "## Robustness of timing"
    echo
    echo "tonarium plays 440 Hz for $(get loaded.seconds) s while $(get loaded.hogs) busy loop(s)" \
        "keep every core but one fully loaded. The ALSA layer counted $(get loaded.underruns)" \
        "underrun(s) (written by the program at its end through TONARIUM_STATS); the recording of" \
        "the sink shows $(get loaded.dropouts) dropout(s) (5 ms windows below half the tone's" \
        "level; longest $(get loaded.longest_dropout_ms) ms)."
    echo
    echo "## Outputs"
    echo
    echo "Each output on each server (scripts/bench/outputs-cost.sh): tonarium -q -D OUTPUT -n 1 -f" \
        "440 -d 20 at its default format (192000 Hz, 32 bits, stereo), the answer-to-sound time" \
        "of 12 changes, and a minute with every core but one busy; speaker-test plays the same" \
        "format on the same server. Targets: at most 150 wake-ups a second, CPU at most" \
        "speaker-test's on that server, answers within 60 ms median and 80 ms at most, 0" \
        "underruns and dropouts in the loaded minute."
    echo
    echo "| Server | Output | CPU (ms/s) | speaker-test (ms/s) | Wake-ups (1/s) | Answer median / max (ms) | Loaded: underruns, dropouts |"
    echo "|---|---|---:|---:|---:|---:|---:|"
    for server in pulseaudio pipewire; do
        for key in pipewire pulse alsa_default alsa_pipewire; do
            k="outputs.$server.$key"
            known "$k.cpu_ms_per_s" || continue
            echo "| $server | ${key/_/:} | $(get "$k.cpu_ms_per_s") |" \
                "$(get "outputs.$server.speaker_test_default.cpu_ms_per_s") |" \
                "$(get "$k.wakeups_per_s") | $(get "$k.response_median_ms") / $(get "$k.response_max_ms") |" \
                "$(get "$k.loaded_underruns"), $(get "$k.loaded_dropouts") |"
        done
    done
} >"$out/report.md"
