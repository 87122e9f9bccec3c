#!/usr/bin/env bash
# Sets up, builds and runs every test: installs the Debian packages, builds with
# AddressSanitizer and UndefinedBehaviorSanitizer and warnings as errors, runs ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=${VANTOREL_TEST_BUILD:-build-asan}
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DVANTOREL_SANITIZE=ON -DVANTOREL_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
# No test may read or write the settings of whoever runs it.
export VANTOREL_CONFIG_HOME=$(mktemp -d)
summary=$(mktemp)
trap 'rm -rf "$VANTOREL_CONFIG_HOME" "$summary"' EXIT
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600 | tee "$summary"

# The file readers' fuzz targets, half a minute each, under the sanitizers (a longer
# run is FUZZ_SECONDS=600 ./scripts/fuzz.sh).
FUZZ_SECONDS=${FUZZ_SECONDS:-30} ./scripts/fuzz.sh

# The tests' count once more as the last line, after the fuzzers' output.
total=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2 \1/p' "$summary")
if [ -n "$total" ]; then
  set -- $total
  echo "tests: $(( $1 - $2 )) passed, $2 failed"
fi
