#!/usr/bin/env bash
# Runs one end-to-end test of `tracedx serve` with the OpenTelemetry JS SDK's exporters:
#   run.sh real-client|durability|load|pages|genai-logs|grpc-client|bad-text TRACEDX OUTDIR
# (genai-logs: the GenAI recorder's spans and log records, both sent to the server;
# grpc-client: the recorders' spans sent over OTLP/gRPC; bad-text: strings cut in the
# middle of an emoji by the JSON exporter.)
# Exits 77 (skipped, with the reason) when node, the suite's node_modules or, for the pages,
# Chromium is missing.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
test=$1 tracedx=$2 out=$3
if ! command -v node >/dev/null; then
  echo "SKIP: node is not installed (Debian: apt-get install nodejs npm)"
  exit 77
fi
if [ ! -d "$here/../node_modules/@opentelemetry/exporter-trace-otlp-proto" ] ||
   [ ! -d "$here/../node_modules/@opentelemetry/exporter-logs-otlp-proto" ] ||
   [ ! -d "$here/../node_modules/@opentelemetry/exporter-trace-otlp-grpc" ]; then
  echo "SKIP: $(cd "$here/.." && pwd)/node_modules is missing or stale; run: (cd tests/realtraces && npm ci)"
  exit 77
fi
if [ "$test" = pages ] && ! command -v chromium >/dev/null; then
  echo "SKIP: chromium is not installed (Debian: apt-get install chromium)"
  exit 77
fi
if [ "$test" = load ] && [ -n "${TRACEDX_SANITIZED:-}" ]; then
  echo "SKIP: no load figures from a build with the sanitizers"
  exit 77
fi
mkdir -p "$out"
node "$here/$test.cjs" "$tracedx" "$out"
if [ "$test" = pages ]; then
  # The screenshots of the index with real runs and of a report, next to the other tests' files.
  cp "$out/index.png" "$out/report.png" "$(dirname "$out")/"
fi
