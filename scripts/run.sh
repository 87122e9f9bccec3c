#!/usr/bin/env bash
# Sets up, builds and runs Vantorel. The program's window is not built yet: this runs the
# command-line tool instead, storing and reading back a setting and listing what is stored.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=${VANTOREL_BUILD:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTOREL_BUILD_TESTS=OFF -DVANTOREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

cli="$build/bin/vantorel-cli"
"$cli" --version
"$cli" settings path
"$cli" settings set Sample LastRun "$(date -u +%Y-%m-%dT%H:%M:%SZ)"
echo "[Sample] LastRun = $("$cli" settings get Sample LastRun)"
"$cli" settings list
