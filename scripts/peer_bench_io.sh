#!/usr/bin/env bash
# Reading, saving and rendering beside the peer tools, in one run on the same files:
#   convert of 4096² and 8192² 16-bit files beside fitscopy followed by sync (goal ≤ 1.2),
#   render of a 4096² 16-bit file beside ImageMagick's convert -level of the same levels
#   (goal ≤ 0.2 of its time), and a table of time and peak memory (VmHWM via
#   /usr/bin/time) of render and convert at 1024², 4096² and 16384².
# Usage: scripts/peer_bench_io.sh [BUILD_DIR]   (default build-bench-perfio, Release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench-perfio}
if [ ! -x "$build/bin/vantorel-cli" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTOREL_BUILD_TESTS=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
  cmake --build "$build" -j2 --target vantorel-cli
fi
cli=$build/bin/vantorel-cli
for tool in fitscopy /usr/bin/convert /usr/bin/time /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
work=$(mktemp -d /tmp/vtl-peer-io-XXXXXX)
export VANTOREL_CONFIG_HOME=$work/config
mkdir -p "$VANTOREL_CONFIG_HOME"
trap 'rm -rf "$work"' EXIT
runs=${RUNS:-5}

# 16-bit sky (BZERO 32768) with a gradient, noise and stars.
make() {
  /usr/bin/python3 - "$1" "$2" <<'PY'
import sys, numpy as np
from astropy.io import fits
n = int(sys.argv[1]); rng = np.random.default_rng(n)
a = np.arange(n, dtype=np.uint16) // 16
d = rng.integers(1000, 1064, (n, n), dtype=np.uint16)
d += a[None, :]
d += a[:, None]
stars = rng.integers(0, n, (2, n * n // 10000))
d[stars[0], stars[1]] = 60000
fits.PrimaryHDU(d).writeto(sys.argv[2], overwrite=True)
PY
}

# Median wall time in seconds of a command run $runs times.
median() {
  local t=()
  for _ in $(seq "$runs"); do
    local s e
    s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N)
    t+=("$(echo "$e - $s" | bc -l)")
  done
  printf '%s\n' "${t[@]}" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}
ratio() { echo "scale=2; $1 / $2" | bc -l; }

echo "== convert beside fitscopy + sync (goal <= 1.2)"
for n in 4096 8192; do
  make "$n" "$work/in$n.fits"
  ours=$(median "$cli" convert "$work/in$n.fits" "$work/out$n.fits")
  peer=$(median sh -c "fitscopy '$work/in$n.fits' '!$work/peer$n.fits' && sync '$work/peer$n.fits'")
  echo "  ${n}²: vantorel ${ours}s  fitscopy+sync ${peer}s  ratio $(ratio "$ours" "$peer")"
done

echo "== render beside ImageMagick convert -level (goal <= 0.2)"
levels=$(/usr/bin/python3 -c "
from astropy.io import fits; import numpy as np
d = fits.getdata('$work/in4096.fits').astype(float); print(np.percentile(d, 1), np.percentile(d, 99.5))")
lo=${levels% *}; hi=${levels#* }
pct() { /usr/bin/python3 -c "print(100 * ($1) / 65535)"; }
ours=$(median "$cli" render "$work/in4096.fits" "$work/r.png" --levels "$lo,$hi")
peer=$(median /usr/bin/convert "$work/in4096.fits" -level "$(pct "$lo")%,$(pct "$hi")%" "$work/im.png")
echo "  4096²: vantorel ${ours}s  ImageMagick ${peer}s  ratio $(ratio "$ours" "$peer")"
echo "  sizes: vantorel $(stat -c %s "$work/r.png")  ImageMagick $(stat -c %s "$work/im.png") bytes"

echo "== scaling: seconds and peak memory (MB)"
printf '  %-7s %-22s %-22s\n' side render convert
for n in 1024 4096 16384; do
  [ -f "$work/in$n.fits" ] || make "$n" "$work/in$n.fits"
  /usr/bin/time -f '%e %M' -o "$work/t" "$cli" render "$work/in$n.fits" "$work/s.png" >/dev/null 2>&1
  r=$(tail -1 "$work/t")
  /usr/bin/time -f '%e %M' -o "$work/t" "$cli" convert "$work/in$n.fits" "$work/s.fits" >/dev/null 2>&1
  c=$(tail -1 "$work/t")
  printf '  %-7s %-22s %-22s\n' "$n" "${r% *}s $(( ${r#* } / 1024 ))MB" "${c% *}s $(( ${c#* } / 1024 ))MB"
  rm -f "$work/s.png" "$work/s.fits"
done
