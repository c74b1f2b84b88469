#!/usr/bin/env bash
# Records agent runs with real instrumentation libraries (installed from tests/realtraces's
# package-lock.json by `npm ci`) against a local mock of the chat-completions API, then
# checks what `tracedx import` and `tracedx diagnose --from otlp` make of the recordings.
# Usage: run.sh TRACEDX OUTDIR. Exits 77 (skipped) when node or
# node_modules is missing.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tracedx=$1
out=$2
if ! command -v node >/dev/null; then
  echo "SKIP: node is not installed (Debian: apt-get install nodejs npm)"
  exit 77
fi
if [ ! -d "$here/node_modules/@opentelemetry/exporter-trace-otlp-http" ] ||
   [ ! -d "$here/node_modules/@opentelemetry/exporter-logs-otlp-http" ]; then
  echo "SKIP: $here/node_modules is missing or stale; run: (cd tests/realtraces && npm ci)"
  exit 77
fi
mkdir -p "$out"
rm -f "$out"/*.otlp.jsonl "$out"/*.logs.jsonl "$out"/*.manifest.json
# Each library in its own process: they patch the same client module.
pids=()
for library in openinference genai traceloop; do
  node "$here/record.cjs" "$library" "$out/$library.otlp.jsonl" &
  pids+=($!)
done
node "$here/record-langchain.cjs" "$out/langchain.otlp.jsonl" &
pids+=($!)
for pid in "${pids[@]}"; do wait "$pid"; done
node "$here/check.cjs" "$tracedx" "$out"
# The GenAI content in log records (genai.logs.jsonl), read with `import --logs` and from one
# file of spans and logs.
node "$here/check.cjs" "$tracedx" "$out" --logs
