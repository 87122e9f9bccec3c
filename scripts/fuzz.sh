#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UBSan) and runs each for
# FUZZ_SECONDS (default 60), as many at a time as there are cores. A finding fails the
# run and leaves its input in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ not found; fuzzing skipped" >&2
  exit 0
fi
build=${VANTOREL_FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTOREL_FUZZ=ON -DVANTOREL_BUILD_TESTS=OFF -DVANTOREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
export VANTOREL_CONFIG_HOME=$(mktemp -d)
trap 'rm -rf "$VANTOREL_CONFIG_HOME"' EXIT
shopt -s nullglob
fuzzers=("$build"/bin/*_fuzzer)
if [ ${#fuzzers[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets yet"
  exit 0
fi
# The targets run side by side, one a core (FUZZ_JOBS overrides); each one's output goes
# to its log, shown in order once all have ended.
jobs_max=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
logs="$build/fuzz-logs"
rm -rf "$logs"
mkdir -p "$logs"
run_target() {
  local name=$1 t=$2
  shift 2
  local rc=0
  (cd "$build" && "bin/$name" -max_total_time="$t" -rss_limit_mb=2048 -timeout=10 \
     -print_final_stats=1 "corpus/$name" "$@") >"$logs/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$logs/$name.rc"
}
names=()
for f in "${fuzzers[@]}"; do
  name=$(basename "$f")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("../fuzz/seeds/$name")
  # A target may name its own time in fuzz/<name>.seconds.
  t=$seconds
  [ -z "${FUZZ_SECONDS:-}" ] && [ -f "fuzz/$name.seconds" ] && t=$(cat "fuzz/$name.seconds")
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do sleep 0.2; done
  run_target "$name" "$t" "${seeds[@]}" &
  names+=("$name:$t")
done
wait
failed=0
for entry in "${names[@]}"; do
  name=${entry%%:*}
  echo "== $name for ${entry#*:}s"
  tail -n 12 "$logs/$name.log"
  rc=$(cat "$logs/$name.rc" 2>/dev/null || echo 1)
  if [ "$rc" != 0 ]; then
    echo "fuzz.sh: $name failed (exit $rc); its input is in $build/" >&2
    failed=1
  fi
done
exit "$failed"
