#!/usr/bin/env bash
# Robustness of timing: tonarium plays a 440 Hz tone for SECONDS while every core but one runs a
# busy loop, under the PulseAudio server of scripts/with-pulse.sh (under which this runs). The
# playback probe records the sink and counts the dropouts a listener would hear; the program
# writes the underruns its ALSA layer counted to the file named by TONARIUM_STATS when it ends.
#
#   scripts/bench/loaded-run.sh TONARIUM PROBE SECONDS RESULTS [TONARIUM_ARGS...]
# Appends "loaded.{seconds,hogs,dropouts,longest_dropout_ms,underruns} VALUE" lines to RESULTS;
# "underruns n/a" when the program wrote no count. Exit status 1 when the probe failed.
set -uo pipefail

if [ $# -lt 4 ]; then
    echo "usage: $0 TONARIUM PROBE SECONDS RESULTS [TONARIUM_ARGS...]" >&2
    exit 2
fi
tonarium=$1
probe=$2
seconds=$3
results=$4
shift 4

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tonarium-loaded.XXXXXX") || exit 1
hogs=()
cleanup() {
    for pid in "${hogs[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# One busy loop per core but one; each ends by itself after the run should have ended.
cores=$(nproc 2>/dev/null || echo 1)
hog_count=$((cores > 1 ? cores - 1 : 0))
for _ in $(seq "$hog_count"); do
    timeout $((seconds + 60)) sh -c 'while :; do :; done' &
    hogs+=($!)
done

stats=$scratch/stats
status=0
line=$(TONARIUM_STATS=$stats timeout $((seconds + 60)) "$probe" steady "$tonarium" "$seconds" "$@" |
    grep '^steady ' | tail -n 1)
if [ -z "$line" ]; then
    echo "loaded-run: the steady run was not measured" >&2
    status=1
else
    read -r _ measured dropouts longest <<<"$line"
    underruns=$(awk '$1 == "underruns" { print $2 }' "$stats" 2>/dev/null)
    {
        echo "loaded.seconds $measured"
        echo "loaded.hogs $hog_count"
        echo "loaded.dropouts $dropouts"
        echo "loaded.longest_dropout_ms $longest"
        echo "loaded.underruns ${underruns:-n/a}"
    } >>"$results"
fi
exit "$status"
