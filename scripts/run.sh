#!/usr/bin/env bash
# Sets up, builds and runs Vantorel: installs the Debian packages, builds the program,
# writes the bundled sample (a synthetic star field with a world-coordinate header) and
# opens it in the program. A desktop session (DISPLAY or WAYLAND_DISPLAY) is needed to
# see the window; without one this says so and stops, unless VANTOREL_RUN_XVFB=1 asks
# for a virtual screen, in which case a screenshot is saved instead.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=${VANTOREL_BUILD:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTOREL_BUILD_TESTS=OFF -DVANTOREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

out=${VANTOREL_RUN_OUT:-$build/run}
mkdir -p "$out"
sample="$out/sample-starfield.fits"
"$build/bin/vantorel-sample" "$sample" 768 512
echo "sample: $sample"
"$build/bin/vantorel-cli" info "$sample"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/bin/vantorel" "$sample" "$@"
fi
if [ "${VANTOREL_RUN_XVFB:-0}" = "1" ]; then
  shot="$out/vantorel-screenshot.png"
  echo "no desktop session: running on a virtual screen (xvfb) and saving $shot"
  xvfb-run -a -s '-screen 0 1280x900x24' bash -c "
    VANTOREL_SOCKET=vantorel-run-\$\$ '$build/bin/vantorel' '$sample' & pid=\$!
    sleep 4; import -window root '$shot'; kill \$pid"
  echo "screenshot: $shot"
  exit 0
fi
echo "No desktop session (DISPLAY is not set), so the window cannot be shown here."
echo "Open it from a desktop with:  $build/bin/vantorel $sample"
echo "Or run with VANTOREL_RUN_XVFB=1 to render it on a virtual screen and save a screenshot."
