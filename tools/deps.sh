#!/usr/bin/env bash
# Installs the Debian packages the build needs when any is missing. Sourced by the other
# scripts; as root it installs them, otherwise it says what to install and stops.
# What parity_check and tracedx need to build (jemalloc for the commands; tracedx serve:
# protobuf for the OTLP messages, libmicrohttpd for HTTP, gRPC with its code generator,
# SQLite and zlib; cpp-httplib is the HTTP client of the tests and benchmarks).
tracedx_packages=(g++ cmake make pkg-config nlohmann-json3-dev libsimdjson-dev libicu-dev
  libjemalloc-dev libprotobuf-dev protobuf-compiler libmicrohttpd-dev libcpp-httplib-dev
  libgrpc++-dev protobuf-compiler-grpc libsqlite3-dev zlib1g-dev)
# The test suite, the benchmarks and the format check.
tracedx_test_packages=(libgtest-dev libbenchmark-dev clang-format-14)
# The Python module and its tests (Debian's python3, whose dist-packages hold Dask; pandas
# for the DataFrames, mypy for the check of the type stubs).
tracedx_python_packages=(pybind11-dev python3-dev python3-dask python3-distributed python3-pytest
  python3-pandas mypy)
# Node.js for the suite that records traces with real instrumentation libraries. Debian's
# nodejs and npm are installed only when no node or npm is on PATH: a Node.js from another
# source (which bundles npm) conflicts with Debian's npm package.
tracedx_node_packages=()
command -v node >/dev/null && command -v npm >/dev/null || tracedx_node_packages=(nodejs npm)
# Chromium, for the tests that open the HTML reports and the server's pages headless.
tracedx_browser_packages=(chromium)
# clang 14 with libFuzzer and the sanitizers' runtimes, for the fuzz targets (fuzz/run).
tracedx_fuzz_packages=(clang-14 libclang-rt-14-dev)

tracedx_ensure_packages() {
  local missing=()
  for p in "${tracedx_packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Run this script as root, or install them first: sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing Debian packages: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >&2 || true
  apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

# Configures and builds into the given directory: tracedx_build DIR TYPE [CMAKE OPTIONS...];
# TRACEDX_TARGET, when set, names the one target to build.
tracedx_build() {
  local dir=$1 type=${2:-RelWithDebInfo}
  shift 2 || true
  local launcher=()
  # ccache, when installed, makes rebuilds of unchanged sources (other checkouts too) cheap.
  # Paths relative to the checkout let another clone of it reuse the same cache entries.
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$tracedx_root} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
  fi
  cmake -S "$tracedx_root" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "${launcher[@]}" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)" ${TRACEDX_TARGET:+--target "$TRACEDX_TARGET"}
}

# Installs the recording suite's npm packages from its package-lock.json (npm ci). Without
# the registry the suite's CTest test is skipped and says so; CI runs npm ci on its own.
tracedx_npm_ci() {
  (cd "$tracedx_root/tests/realtraces" && npm ci --no-audit --no-fund --loglevel=error) ||
    echo "npm ci failed in tests/realtraces: the real-library trace suite will be skipped" >&2
}

tracedx_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
