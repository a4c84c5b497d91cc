#!/usr/bin/env bash
# Records the logs that kelvaro-report's speed is measured on, with the tool itself under Wine
# on the virtual display at 1000 Hz (so that 100,000 frames take 100 s, not half an hour):
#
#   estimator-100k.log  the 100,000-frame estimator run alone (menu command 32773): some
#                       19,000 rows, 2 MB; about 100 s
#   session-10mib.log   a session of many runs: "Run ALL Tests", then the 100,000-frame run
#                       again and again until the log reaches its 10 MiB limit; about 9 min
#
# The suite log is a committed one (tests/report/desktop-suite.log). Not a test; the logs are
# written into the folder given (default build/bench-logs), both or only the one named. Record
# them on a quiet machine: a loaded one misses vblanks at 1000 Hz and the log is another.
#
#   tests/bench/make_bench_logs.sh [FOLDER [estimator|session]]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mkdir -p "${1:-$here/build/bench-logs}" && cd "${1:-$here/build/bench-logs}" && pwd)
. "$here/scripts/lib.sh"
choose_win_build
[ -x "$WIN_BUILD/kelvaro-drive.exe" ] || { echo "build the $WIN_PRESET preset first (scripts/test does)" >&2; exit 2; }
wine_prefix wineprefix-bench
start_xvfb
trap stop_wine_and_x EXIT

record() {   # NAME ARGS...: one session of the tool, its log into NAME
  local name=$1 start=$SECONDS
  shift
  echo "recording $name ..." >&2
  wine "$WIN_BUILD/kelvaro-drive.exe" --out "$(winepath -w "$out/$name")" \
    --env KELVARO_VIRTUAL_DISPLAY=1000 --run-ms 1000 "$@" 2> >(grep -v '^ALSA lib' >&2)
  echo "  $name: $(wc -c <"$out/$name") bytes, $(wc -l <"$out/$name") lines, $((SECONDS - start)) s" >&2
}

which=${2:-both}
if [ "$which" != session ]; then
  record estimator-100k.log --command 32773 --wait-test
fi
if [ "$which" != estimator ]; then
  runs=()
  for _ in 1 2 3 4 5; do runs+=(--command 32773 --wait-test); done
  record session-10mib.log --command 199 --wait-test "${runs[@]}"
fi
