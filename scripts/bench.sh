#!/usr/bin/env bash
# Builds optimised and runs every benchmark; each prints its figure beside its baseline.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=${VANTOREL_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTOREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
export VANTOREL_CONFIG_HOME=$(mktemp -d)
trap 'rm -rf "$VANTOREL_CONFIG_HOME"' EXIT
for b in "$build"/bin/*_bench; do
  echo "== $(basename "$b")"
  "$b" "$@"
done
