#!/usr/bin/env bash
# kelvaro-report's four speed budgets, each measured for two builds side by side in one run (the
# builds alternate, three rounds), each against a plain getline read of the same file:
#   the 100,000-frame estimator run      at most 15 ms
#   a suite log                          at most 3 ms
#   a 10 MiB log                         at most 50 ms
#   1,000 suite logs to JSON Lines       at most 1 s on two threads
# Not a test: figures for the issue notes and the README. The logs come from
# tests/bench/make_bench_logs.sh; the builds are optimised build folders (README, "Speed").
#
#   tests/bench/report_budgets.sh BEFORE_BUILD AFTER_BUILD [LOGS_FOLDER]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 BEFORE_BUILD AFTER_BUILD [LOGS_FOLDER]" >&2; exit 2; }
here=$(cd "$(dirname "$0")/../.." && pwd)
before=$1 after=$2 logs=${3:-$here/build/bench-logs}
suite=$here/tests/report/desktop-suite.log
for build in "$before" "$after"; do
  for program in report_bench kelvaro-report; do
    [ -x "$build/$program" ] || { echo "$build/$program is missing: build it (README, \"Speed\")" >&2; exit 2; }
  done
done
for log in "$logs/estimator-100k.log" "$logs/session-10mib.log"; do
  [ -f "$log" ] || { echo "$log is missing: tests/bench/make_bench_logs.sh records it" >&2; exit 2; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for log in "$logs/estimator-100k.log" "$suite" "$logs/session-10mib.log"; do
  echo "== $(basename "$log")"
  for round in 1 2 3; do
    for side in before after; do
      build=$before; [ "$side" = after ] && build=$after
      "$build/report_bench" "$log" 20 "$out/$side" | awk -v side="$side" -v round="$round" '
        /std::getline/ { for (i = 1; i < NF; ++i) if ($i == "median") getline_ms = $(i + 1) }
        /in-process/ { for (i = 1; i < NF; ++i) if ($i == "median") report_ms = $(i + 1) }
        END { printf "  round %d %-6s report %8.3f ms, getline %7.3f ms, ratio %5.1f\n", round, side, report_ms, getline_ms, report_ms / getline_ms }'
    done
  done
done
echo "== 1,000 suite logs to JSON Lines (medians of three rounds)"
for side in before after; do
  build=$before; [ "$side" = after ] && build=$after
  echo "  $side: $("$here/tests/bench/pool_bench.sh" "$build/kelvaro-report" "$suite" | tail -n 1)"
done
