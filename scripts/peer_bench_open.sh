#!/usr/bin/env bash
# Opening a large FITS file to its first picture, vantorel beside ds9 in the same run on
# one virtual screen: a 16384 x 16384 32-bit float file and an 8192 x 8192 16-bit file.
# Builds vantorel (Release) into build-release unless VANTOREL_BIN names a program, and
# installs ds9 (Debian's saods9) when it is missing. Medians of PEER_BENCH_RUNS runs.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v ds9 >/dev/null; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends saods9 xdotool
fi
command -v xdotool >/dev/null || { echo "peer_bench_open: xdotool is missing" >&2; exit 1; }

BIN=${VANTOREL_BIN:-}
if [ -z "$BIN" ]; then
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build-release -j2 --target vantorel
  BIN=$PWD/build-release/bin/vantorel
fi

DATA=${PEER_BENCH_DIR:-/tmp/vantorel-peer-bench}
mkdir -p "$DATA"
# Noise over a gentle slope, so that every part of the picture has detail.
/usr/bin/python3 - "$DATA" <<'PY'
import os, sys
import numpy as np
out = sys.argv[1]
def write(path, n, bitpix, dtype):
    if os.path.exists(path) and os.path.getsize(path) >= n * n * abs(bitpix) // 8:
        return
    cards = ["SIMPLE  =                    T", "BITPIX  = %20d" % bitpix, "NAXIS   =                    2",
             "NAXIS1  = %20d" % n, "NAXIS2  = %20d" % n]
    if bitpix == 16:
        cards += ["BZERO   =                32768", "BSCALE  =                    1"]
    cards.append("END")
    header = "".join(c.ljust(80) for c in cards)
    header = header.ljust((len(header) + 2879) // 2880 * 2880).encode("ascii")
    rng = np.random.default_rng(7)
    with open(path + ".tmp", "wb") as f:
        f.write(header)
        for y0 in range(0, n, 512):
            rows = min(512, n - y0)
            slope = np.add.outer(np.arange(y0, y0 + rows), np.arange(n)) * (1000.0 / n)
            v = 1000.0 + slope + rng.normal(0, 50, (rows, n))
            if bitpix == 16:
                (np.clip(v, 0, 65535).astype(np.int32) - 32768).astype(">i2").tofile(f)
            else:
                v.astype(dtype).tofile(f)
        pad = (-(n * n * abs(bitpix) // 8)) % 2880
        f.write(b"\0" * pad)
    os.replace(path + ".tmp", path)
write(os.path.join(out, "float-16384.fits"), 16384, -32, ">f4")
write(os.path.join(out, "int16-8192.fits"), 8192, 16, ">i2")
PY

export VANTOREL_CONFIG_HOME=${VANTOREL_CONFIG_HOME:-$(mktemp -d)}
/usr/bin/python3 scripts/peer_bench_open.py "$BIN" "$DATA/float-16384.fits" "$DATA/int16-8192.fits"
