#!/usr/bin/env bash
# Opens a failing-run report and a comparison report from the sample workspace, and the
# triage report and the gate over real recorded runs (tests/data/taubench), in headless
# Chromium (no network), keeps the screenshots in the build's test-artifacts directory, and
# fails on console errors or a blank page. Skips (77) when Chromium is not installed.
set -euo pipefail
tracedx=$1 source_dir=$2 artifacts=$3
command -v chromium >/dev/null || { echo "chromium not installed: skipped"; exit 77; }
mkdir -p "$artifacts"
fixtures="$source_dir/src/Test/fixtures"
"$tracedx" diagnose "$fixtures/grounding_failure.json" --format html > "$artifacts/failing_run.html"
"$tracedx" compare "$fixtures/compare_primary_failed__primary.json" \
  "$fixtures/compare_primary_failed__compared.json" --format html > "$artifacts/comparison.html"
runs="$source_dir/tests/data/taubench"
for trial in 0 1; do
  for outcome in failed completed; do
    "$tracedx" batch --from chat --run-status "$outcome" "$runs/trial$trial/$outcome" 2>/dev/null
  done > "$artifacts/trial$trial.jsonl"
done
# Each run of a failure group links to its own report, written next to the triage page.
mkdir -p "$artifacts/reports"
"$tracedx" diagnose --from chat --run-status failed "$runs/trial0/failed/task00.json" --format html \
  > "$artifacts/reports/$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe="._-"))' "$runs/trial0/failed/task00.json").html"
(cd "$artifacts" && "$tracedx" report trial0.jsonl trial1.jsonl --format html --reports-dir reports > triage.html)
grep -q '<a href="reports/' "$artifacts/triage.html" || { echo "triage: no link to a run's report"; exit 1; }
status=0
"$tracedx" gate --key file "$artifacts/trial0.jsonl" "$artifacts/trial1.jsonl" --format html > "$artifacts/gate.html" || status=$?
[ "$status" -eq 3 ] || { echo "gate: exit status $status, expected 3"; exit 1; }
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
for page in failing_run comparison triage gate; do
  log="$artifacts/$page.chromium.log"
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --hide-scrollbars --window-size=1280,1600 \
    --enable-logging=stderr --v=0 --screenshot="$artifacts/$page.png" \
    "file://$artifacts/$page.html" > "$log" 2>&1 || { cat "$log"; exit 1; }
  if grep -E 'CONSOLE|Refused to|Uncaught' "$log"; then
    echo "$page: console errors"; exit 1
  fi
  size=$(stat -c %s "$artifacts/$page.png")
  # A blank 1280x1600 page compresses to a few kilobytes; a rendered report is far larger.
  if [ "$size" -lt 30000 ]; then echo "$page: screenshot looks blank ($size bytes)"; exit 1; fi
  echo "$page: $size bytes"
done
