#!/usr/bin/env bash
# vantorel-cli wcs beside astropy, in one run on the same input: POSITIONS (10^6) random
# pixel positions of a 2000 x 2000 TAN image with a CD matrix, sent as "X Y" lines (the
# shortest texts of random doubles) on standard input, converted and printed a line each.
#   ours:  vantorel-cli wcs FILE -         x y celestial ra dec hh:mm:ss.sss ±dd:mm:ss.ss
#          vantorel-cli wcs --json FILE -  the same as a JSON object, with the information
#                                          bar's text ("赤道座標 赤経:05h35m17s.3 ...")
#   peer:  a Python script with astropy that prints the same fields. It is written to be
#          quick: the whole input parsed at once by numpy (np.fromstring), one
#          wcs_pix2world(xy, 1) call, the sexagesimal fields split by integer arithmetic
#          on whole numpy arrays (rounded once at the last digit, as ours), and the lines
#          made by one %-format a line over plain Python lists (%r for the shortest text of
#          a double) and written with one write. astropy's Angle.to_string would give the
#          sexagesimal texts too, but at about 14 µs a value it alone takes longer than
#          the rest of the script, so it is not used.
# Each of the four commands runs RUNS times, alternating, with standard output to
# /dev/null; prints the median wall time and the median processor time (user + system,
# steadier on a shared machine) of each, and the ratios ours / astropy (goal <= 0.4).
# Then one run of each writes its output, and the script reports how far ours and
# astropy's values are apart and how many sexagesimal texts agree.
# BASELINE_CLI names another vantorel-cli (for example one built from main) to time beside
# them in the same runs.
# Usage: scripts/peer_bench_wcs.sh [BUILD_DIR]   (default build-rel, Release; env RUNS,
#        default 5; POSITIONS, default 1000000; BASELINE_CLI)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-rel}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTOREL_BUILD_TESTS=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
fi
cmake --build "$build" -j2 --target vantorel-cli >/dev/null
cli=$PWD/$build/bin/vantorel-cli
for tool in /usr/bin/python3 /usr/bin/time bc; do
  command -v "$tool" >/dev/null || { echo "peer_bench_wcs: $tool is missing" >&2; exit 1; }
done
runs=${RUNS:-5}
positions=${POSITIONS:-1000000}
baseline=${BASELINE_CLI:-}
work=$(mktemp -d /tmp/vtl-peer-wcs-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VANTOREL_CONFIG_HOME=$work/config
mkdir -p "$VANTOREL_CONFIG_HOME"

/usr/bin/python3 - "$work" "$positions" <<'PY'
import sys
import numpy as np
from astropy.io import fits
work, n = sys.argv[1], int(sys.argv[2])
hdu = fits.PrimaryHDU(np.zeros((2000, 2000), np.int16))
hdu.header.update({"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRPIX1": 1000.5,
                   "CRPIX2": 1000.5, "CRVAL1": 83.8221, "CRVAL2": -5.3911, "CD1_1": -2.8e-4,
                   "CD1_2": 3.0e-6, "CD2_1": 2.0e-6, "CD2_2": 2.8e-4})
hdu.writeto(f"{work}/tan.fits")
xy = np.random.default_rng(2000).uniform(0.5, 2000.5, (n, 2))
with open(f"{work}/positions.txt", "w") as f:
    f.write("".join(f"{x!r} {y!r}\n" for x, y in xy.tolist()))
PY

cat >"$work/peer.py" <<'PY'
import sys
import numpy as np
from astropy.io import fits
from astropy.wcs import WCS

json_lines = len(sys.argv) > 2 and sys.argv[2] == "--json"
w = WCS(fits.getheader(sys.argv[1]))
xy = np.fromstring(sys.stdin.buffer.read(), sep=" ").reshape(-1, 2)
ra, dec = w.wcs_pix2world(xy, 1).T


def split(value, scale, wrap=None):
    """Sign, units, minutes, seconds and fraction, rounded once at 1 / scale second."""
    total = np.rint(np.abs(value) * (3600.0 * scale)).astype(np.int64)
    if wrap:
        total %= wrap * 3600 * scale
    fraction, total = total % scale, total // scale
    return (np.where(value < 0, "-", "+").tolist(), (total // 3600).tolist(),
            (total // 60 % 60).tolist(), (total % 60).tolist(), fraction.tolist())


_, hh, hm, hs, hf = split(ra / 15.0, 1000, 24)
sign, dd, dm, ds, df = split(dec, 100)
cols = zip(xy[:, 0].tolist(), xy[:, 1].tolist(), ra.tolist(), dec.tolist(), hh, hm, hs, hf,
           sign, dd, dm, ds, df)
if not json_lines:
    out = ["%r %r celestial %r %r %02d:%02d:%02d.%03d %s%02d:%02d:%02d.%02d\n" % c for c in cols]
else:
    _, th, tm, ts, tf = split(ra / 15.0, 10, 24)
    tsign, td, tdm, tds, tdf = split(dec, 10)
    form = ('{"x":%r,"y":%r,"kind":"celestial","a":%r,"d":%r,"ra":"%02d:%02d:%02d.%03d",'
            '"dec":"%s%02d:%02d:%02d.%02d","text":"赤道座標 赤経:%02dh%02dm%02ds.%d '
            '赤緯:%s%02dﾟ%02d\'%02d\\".%d"}\n')
    out = [form % (c + t) for c, t in zip(cols, zip(th, tm, ts, tf, tsign, td, tdm, tds, tdf))]
sys.stdout.write("".join(out))
PY

in=$work/positions.txt
names=(ours ours_json peer peer_json)
cmds=("$cli wcs $work/tan.fits -" "$cli wcs --json $work/tan.fits -"
      "/usr/bin/python3 $work/peer.py $work/tan.fits" "/usr/bin/python3 $work/peer.py $work/tan.fits --json")
if [ -n "$baseline" ]; then
  names+=(base base_json)
  cmds+=("$baseline wcs $work/tan.fits -" "$baseline wcs --json $work/tan.fits -")
fi
# One run of a command: "wall processor" seconds.
once() {
  local s e
  s=$(date +%s.%N)
  /usr/bin/time -f '%U %S' -o "$work/cpu" $1 <"$in" >/dev/null 2>"$work/err" || {
    echo "peer_bench_wcs: $1 failed:" >&2
    cat "$work/err" >&2
    exit 1
  }
  e=$(date +%s.%N)
  echo "$(echo "$e - $s" | bc -l) $(tail -1 "$work/cpu" | awk '{print $1 + $2}')"
}
for ((r = 0; r < runs; r++)); do
  for i in "${!names[@]}"; do
    once "${cmds[$i]}" >>"$work/t_${names[$i]}"
  done
done
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
wall() { awk '{print $1}' "$work/t_$1" | median; }
cpu() { awk '{print $2}' "$work/t_$1" | median; }
ratio() { echo "scale=2; $1 / $2" | bc -l; }

echo "== vantorel-cli wcs beside astropy: $positions positions of a 2000x2000 TAN image," \
  "$runs alternating runs each, medians"
echo "  (uptime: $(uptime | sed 's/.*load/load/'))"
row='  %-34s %7.3f s wall  %7.3f s processor\n'
printf "$row" "vantorel-cli wcs FILE -" "$(wall ours)" "$(cpu ours)"
printf "$row" "astropy script" "$(wall peer)" "$(cpu peer)"
printf "$row" "vantorel-cli wcs --json FILE -" "$(wall ours_json)" "$(cpu ours_json)"
printf "$row" "astropy script --json" "$(wall peer_json)" "$(cpu peer_json)"
if [ -n "$baseline" ]; then
  printf "$row" "baseline wcs FILE -" "$(wall base)" "$(cpu base)"
  printf "$row" "baseline wcs --json FILE -" "$(wall base_json)" "$(cpu base_json)"
fi
echo "  ratio ours / astropy: plain $(ratio "$(wall ours)" "$(wall peer)") wall," \
  "$(ratio "$(cpu ours)" "$(cpu peer)") processor; --json $(ratio "$(wall ours_json)" \
  "$(wall peer_json)") wall, $(ratio "$(cpu ours_json)" "$(cpu peer_json)") processor (goal <= 0.4)"
if [ -n "$baseline" ]; then
  echo "  ratio baseline / astropy: plain $(ratio "$(wall base)" "$(wall peer)") wall," \
    "--json $(ratio "$(wall base_json)" "$(wall peer_json)") wall"
fi

echo "== the outputs side by side"
$cli wcs --json "$work/tan.fits" - <"$in" >"$work/ours.json"
/usr/bin/python3 "$work/peer.py" "$work/tan.fits" --json <"$in" >"$work/peer.json"
/usr/bin/python3 - "$work/ours.json" "$work/peer.json" <<'PY'
import json, sys
import numpy as np
ours = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
peer = [json.loads(line) for line in open(sys.argv[2], encoding="utf-8")]
assert len(ours) == len(peer), f"{len(ours)} lines beside {len(peer)}"
same_xy = all(o["x"] == p["x"] and o["y"] == p["y"] for o, p in zip(ours, peer))
a = np.array([[o["a"], o["d"], p["a"], p["d"]] for o, p in zip(ours, peer)])
da = np.abs((a[:, 0] - a[:, 2] + 180) % 360 - 180).max()
dd = np.abs(a[:, 1] - a[:, 3]).max()
texts = {k: sum(o[k] == p[k] for o, p in zip(ours, peer)) for k in ("ra", "dec", "text")}
print(f"  {len(ours)} lines; x and y read alike: {same_xy}; largest difference "
      f"{max(da, dd):.2g} degrees")
print("  texts alike: " + ", ".join(f"{k} {v}" for k, v in texts.items()) +
      " (rounded at the last digit from values that differ in the last bits)")
PY
