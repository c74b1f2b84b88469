#!/usr/bin/env bash
# Opens a failing-run report and a comparison report from the sample workspace in headless
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
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
for page in failing_run comparison; do
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
