#!/usr/bin/env bash
# Figures of the commands over many runs: `tracedx report` over the records of a batch of
# 100,000 small traces against the batch that wrote them (target: at most half its time),
# the report's peak memory at 10,000 and 100,000 records (target: flat), and `tracedx gate`
# on two batches of 10,000 runs (target: under a second). Wall and CPU times and peak RSS
# from /usr/bin/time.
#
#   bench/fleet_figures.sh BUILD_DIR DATA_DIR   (bench/run calls it with build-bench)
set -euo pipefail
build=$1 data=$2
tracedx="$build/tracedx"
[ -f "$data/corpus_100k.jsonl" ] || "$build/bench_generate" corpus 100000 "$data/corpus_100k.jsonl"
[ -f "$data/corpus_10k.jsonl" ] || "$build/bench_generate" corpus 10000 "$data/corpus_10k.jsonl"

# Runs a command with /usr/bin/time; prints "wall_s cpu_s max_rss_kb".
measure() {
  local out=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$data/time.txt" "$@" > "$out" 2>/dev/null || true
  # The last line: time puts "Command exited with non-zero status N" before it.
  awk 'END { printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$data/time.txt"
}

read -r batch_s batch_cpu batch_rss < <(measure "$data/batch_100k.jsonl" "$tracedx" batch --jobs 2 "$data/corpus_100k.jsonl")
read -r report_s report_cpu report_rss < <(measure /dev/null "$tracedx" report --format json "$data/batch_100k.jsonl")
head -n 10000 "$data/batch_100k.jsonl" > "$data/batch_10k_a.jsonl"
read -r small_s small_cpu small_rss < <(measure /dev/null "$tracedx" report --format json "$data/batch_10k_a.jsonl")
# The same 10,000 tasks (keys: the line numbers) stated completed in the baseline and failed
# in the candidate: every task regressed, the heaviest result to write.
"$tracedx" batch --jobs 2 --run-status failed "$data/corpus_10k.jsonl" > "$data/batch_10k_b.jsonl" 2>/dev/null
"$tracedx" batch --jobs 2 --run-status completed "$data/corpus_10k.jsonl" > "$data/batch_10k_c.jsonl" 2>/dev/null
read -r gate_s gate_cpu gate_rss < <(measure /dev/null "$tracedx" gate --key file --format json "$data/batch_10k_c.jsonl" "$data/batch_10k_b.jsonl")
read -r junit_s junit_cpu junit_rss < <(measure /dev/null "$tracedx" gate --key file --format junit "$data/batch_10k_c.jsonl" "$data/batch_10k_b.jsonl")

records_mb=$(( $(stat -c %s "$data/batch_100k.jsonl") / 1000000 ))
echo "| figure | measured | target |"
echo "|---|---|---|"
echo "| batch --jobs 2, 100,000 small traces | ${batch_s} s wall, ${batch_cpu} s CPU, ${batch_rss} KB | |"
echo "| report over its records (${records_mb} MB) | ${report_s} s wall, ${report_cpu} s CPU, ${report_rss} KB | |"
awk -v r="$report_s" -v b="$batch_s" -v rc="$report_cpu" -v bc="$batch_cpu" \
  'BEGIN { printf "| report / batch, wall; CPU | %.3f; %.3f | <= 0.5 |\n", r / b, rc / bc }'
echo "| report peak RSS at 10,000 / 100,000 records | ${small_rss} / ${report_rss} KB | flat |"
echo "| gate, 10,000 vs 10,000 runs (json; junit) | ${gate_s} s, ${gate_rss} KB; ${junit_s} s | < 1 s |"
