#!/usr/bin/env bash
# How long `kelvaro-report --jsonl` takes to pool 1,000 logs (copies of the logs given, in
# turn), with one thread and with two, alternated three times in one run so that both see the
# same machine. Prints each time, the medians and their ratio. Not a test; use an optimised
# build (README, "Pooling many runs").
#
#   tests/bench/pool_bench.sh KELVARO_REPORT LOG...
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 KELVARO_REPORT LOG..." >&2; exit 2; }
report=$1; shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
logs=("$@")
for i in $(seq 0 999); do
  cp "${logs[$((i % ${#logs[@]}))]}" "$work/log-$i.txt"
done
bytes=$(du -sb "$work" | cut -f1)
echo "1000 logs, $((bytes / 1024 / 1024)) MiB, copies of: ${logs[*]}"
declare -A times
for round in 1 2 3; do
  for threads in 1 2; do
    start=$(date +%s.%N)
    "$report" --jsonl "$work/pooled.jsonl" --threads "$threads" "$work"/log-*.txt 2>/dev/null
    end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
    times[$threads]="${times[$threads]:-} $t"
    echo "round $round, $threads thread(s): $t s, $(wc -l <"$work/pooled.jsonl") lines"
  done
done
median() { tr ' ' '\n' | grep . | sort -n | sed -n 2p; }
one=$(echo "${times[1]}" | median)
two=$(echo "${times[2]}" | median)
echo "median: 1 thread $one s, 2 threads $two s, ratio $(awk -v a="$one" -v b="$two" 'BEGIN { printf "%.2f", a / b }')"
