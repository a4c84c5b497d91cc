#!/usr/bin/env bash
# Records the corpus: "Run ALL Tests" under Wine on the virtual display, one log per line of
# the table below, each phenomenon placed where the suite is doing something else. The table
# is the corpus's record: the corpus test reads each log against its own profile line, so a
# log recorded again reads against its own truth, whatever the machine made of it.
#
#   tests/report/corpus/record.sh [NAME...]    every log of the table, or only those named
#   KELVARO_CORPUS_OUT=DIR ... record.sh NAME   fresh logs into DIR instead (judged by
#                                               KELVARO_CORPUS_DIR=DIR build/host/corpus_tests)
#
# Where a phenomenon falls, in vblanks of the primary output at a steady rate R (the suite's
# first 3.66 s are timed; its vblank, compositor and animation runs count frames):
#   early            before the first vblank test (2.5 R) or in DirectDraw's run (3.66 R + 30)
#   compositor       the middle of the compositor's timing run      3.66 R + 420
#   animation        the vsync-paced animation                      3.66 R + 870
#   waitforblanking  the middle of WaitForBlanking                  3.66 R + 1200
#   estimator        the middle of the estimator's run              3.66 R + 1900
# A log marked "loaded" is recorded with two busy loops beside the tool (one per core here).
# Each log must end the suite and the tool must exit with 0; a log that does not is not kept.
# About a minute a log.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
. "$root/scripts/lib.sh"
choose_win_build
[ -x "$WIN_BUILD/kelvaro-drive.exe" ] || { echo "build the $WIN_PRESET preset first (scripts/test does)" >&2; exit 2; }

# NAME | PROFILE | WINDOW (primary, or second: moved onto the second output) | quiet or loaded
corpus=(
  "change-early-compositor-waitforblanking|60,true=59.94,wake=30,dwmlag=600,flush=900,change=150:75/640:60/1420:50,seed=11|primary|quiet"
  "laptop|laptop|primary|quiet"
  "laptop-loaded|laptop,seed=5|primary|loaded"
  "change-animation-estimator-144|144,wake=20,dwmlag=500,flush=800,change=1397:120/2427:100,seed=3|primary|quiet"
  "change-directdraw-60-to-50|60,wake=30,dwmlag=600,flush=900,change=250:50,seed=4|primary|quiet"
  "sleep-occluded-early|60,wake=30,dwmlag=600,flush=900,sleep=150:120,seed=6|primary|quiet"
  "sleep-timeout-compositor-75|75,wake=30,dwmlag=600,flush=900,sleep=700:300:timeout,seed=7|primary|quiet"
  "sleep-instant-estimator|60,true=59.97,wake=30,dwmlag=600,flush=900,sleep=2100:300:instant,seed=8|primary|quiet"
  "sleep-occluded-waitforblanking-120-loaded|120,wake=40,dwmlag=600,flush=900,sleep=1640:240,seed=9|primary|loaded"
  "sleep-timeout-animation|60,wake=30,dwmlag=600,flush=900,sleep=1090:60:timeout,seed=10|primary|quiet"
  "unplug-early-back-compositor|60,second=75,wake=30,dwmlag=600,flush=900,unplug=150:640,seed=12|primary|quiet"
  "unplug-on-second-compositor-back-waitforblanking|60,second=144,wake=30,dwmlag=600,flush=900,unplug=640:1420,seed=13|second|quiet"
  "unplug-on-second-estimator-loaded|50,second=60,wake=30,dwmlag=600,flush=900,unplug=2080,seed=14|second|loaded"
  "vrr-40-165|60,vrr=40:165,wake=30,dwmlag=600,flush=900,seed=15|primary|quiet"
  "vrr-48-240|60,vrr=48:240,wake=20,dwmlag=500,flush=800,seed=16|primary|quiet"
  "vrr-48-144-second-60|144,vrr=48:144,second=60,wake=30,dwmlag=600,flush=900,seed=17|primary|quiet"
  "win11|win11|primary|quiet"
  "compositor-fastest-120|60,second=120,dwmclock=fastest,wake=30,dwmlag=600,flush=900,seed=18|primary|quiet"
  "compositor-ahead-stale-75|75,dwmvblank=next,dwmstale=3,wake=30,dwmlag=600,flush=900,seed=19|primary|quiet"
  "two-outputs-60-144|60,second=144:143.9,wake=30,dwmlag=600,flush=900,seed=20|primary|quiet"
  "two-outputs-on-second-75-60|75,second=60:59.95,wake=30,dwmlag=600,flush=900,seed=21|second|quiet"
  "desktop-loaded|desktop|primary|loaded"
  "busy|busy|primary|quiet"
)

wine_prefix wineprefix-corpus
start_xvfb
loaders=()
stop_load() {
  local pid
  for pid in "${loaders[@]}"; do kill "$pid" 2>/dev/null || true; done
  loaders=()
}
trap 'stop_load; stop_wine_and_x' EXIT

record() {   # NAME PROFILE WINDOW LOAD
  local name=$1 profile=$2 window=$3 load=$4 start=$SECONDS status=0
  local dir=${KELVARO_CORPUS_OUT:-$here}
  mkdir -p "$dir"
  local out="$dir/$name.log" part="$dir/$name.log.part"
  local steps=(--run-ms 1000)
  [ "$window" = second ] && steps=(--move 2100,100 --run-ms 1500)
  if [ "$load" = loaded ]; then
    for _ in 1 2; do (while :; do :; done) & loaders+=($!); done
  fi
  echo "recording $name ($profile, window on the $window output, $load) ..." >&2
  wine "$WIN_BUILD/kelvaro-drive.exe" --out "$(winepath -w "$part")" \
    --env "KELVARO_VIRTUAL_DISPLAY=$profile" "${steps[@]}" --command 199 --wait-test \
    2> >(grep -v '^ALSA lib' >&2) || status=$?
  stop_load
  if [ "$status" -ne 0 ] || ! grep -q '^=== \*\*\* To view test results, exit application \*\*\* ===' "$part"; then
    echo "  $name: the suite did not end cleanly (exit code $status); not kept, see $part" >&2
    return 1
  fi
  mv "$part" "$out"
  echo "  $name: $(wc -c <"$out") bytes, $((SECONDS - start)) s" >&2
}

failed=0
for entry in "${corpus[@]}"; do
  IFS='|' read -r name profile window load <<<"$entry"
  if [ $# -gt 0 ]; then
    wanted=0
    for arg in "$@"; do [ "$arg" = "$name" ] && wanted=1; done
    [ "$wanted" = 1 ] || continue
  fi
  record "$name" "$profile" "$window" "$load" || failed=1
done
exit "$failed"
