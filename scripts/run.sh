#!/usr/bin/env bash
# Sets up, builds and runs Vantorel. The program's window is not built yet: this runs the
# command-line tool on a real FITS file instead (one of the test files that Debian's
# astropy package ships): it prints what the program would show about the file and its
# header, converts it to PNG and describes the result.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=${VANTOREL_BUILD:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTOREL_BUILD_TESTS=OFF -DVANTOREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

cli="$build/bin/vantorel-cli"
"$cli" --version
sample=$(dpkg -L python3-astropy | grep '/io/fits/tests/data/scale\.fits$' | head -n 1)
[ -n "$sample" ] || sample=$(dpkg -L python3-astropy | grep '\.fits$' | head -n 1)
out=${VANTOREL_RUN_OUT:-$build/run}
mkdir -p "$out"
echo "== info $sample"
"$cli" info "$sample"
echo "== header (as saving it as FITS writes it)"
"$cli" header "$sample"
echo "== convert to $out/sample.png"
"$cli" convert "$sample" "$out/sample.png"
"$cli" info "$out/sample.png"
