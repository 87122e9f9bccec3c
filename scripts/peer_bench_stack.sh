#!/usr/bin/env bash
# A median stack of 20 frames of 2048 x 2048 16-bit FITS, vantorel-cli beside siril-cli in
# the same run, whole processes timed: our `stack --method median` against siril's script
# (the frames linked into a sequence, then a median stack without normalisation, rejection
# or registration), and siril's stack step alone on the sequence already made. Prints the
# median times of RUNS repetitions, the ratio ours / siril, the peak memory of each, and
# whether both results equal numpy's median of the frames.
# Installs Debian's siril when siril-cli is missing; builds vantorel-cli (Release) into
# build-release unless VANTOREL_CLI names a program.
# Usage: scripts/peer_bench_stack.sh   (env: RUNS, default 5; FRAMES, default 20; SIZE, default 2048)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/peer_bench_siril.sh
peer_siril_setup peer_bench_stack

runs=${RUNS:-5}
frames=${FRAMES:-20}
size=${SIZE:-2048}
work=$(mktemp -d /tmp/vtl-peer-stack-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VANTOREL_CONFIG_HOME=$work/config
mkdir -p "$VANTOREL_CONFIG_HOME" "$work/frames"

# Noise over a gentle slope with a few stars, 16-bit with BZERO 32768, one file a frame.
/usr/bin/python3 - "$work/frames" "$frames" "$size" <<'PY'
import sys
import numpy as np
out, count, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = np.random.default_rng(2048)
cards = ["SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2",
         "NAXIS1  = %20d" % n, "NAXIS2  = %20d" % n, "BZERO   =                32768",
         "BSCALE  =                    1", "END"]
header = "".join(c.ljust(80) for c in cards)
header = header.ljust((len(header) + 2879) // 2880 * 2880).encode("ascii")
slope = np.add.outer(np.arange(n), np.arange(n)) * (800.0 / n)
sy, sx = rng.integers(20, n - 20, (2, 60))
yy, xx = np.mgrid[-6:7, -6:7]
for i in range(count):
    v = 1000.0 + slope + rng.normal(0, 40, (n, n))
    for y, x, a in zip(sy, sx, rng.uniform(2000, 40000, sy.size)):
        v[y - 6:y + 7, x - 6:x + 7] += a * np.exp(-(xx * xx + yy * yy) / (2 * 1.8 ** 2))
    data = (np.clip(np.rint(v), 0, 65535).astype(np.int32) - 32768).astype(">i2")
    with open(f"{out}/frame_{i + 1:03d}.fits", "wb") as f:
        f.write(header)
        data.tofile(f)
        f.write(b"\0" * ((-data.nbytes) % 2880))
PY
files=("$work"/frames/frame_*.fits)

# siril's whole run: the frames linked into a sequence in a fresh folder, then stacked.
cat >"$work/full.ssf" <<'SSF'
requires 1.0.0
link frame_ -out=seq
cd seq
stack frame_ med -nonorm -out=../../siril_full
SSF
# siril's stack step alone, on a sequence made once beforehand.
cat >"$work/link.ssf" <<'SSF'
requires 1.0.0
link frame_ -out=seq
SSF
cat >"$work/stack.ssf" <<'SSF'
requires 1.0.0
cd seq
stack frame_ med -nonorm -out=../../siril_stack
SSF
fresh() { rm -rf "$work/frames/seq"; }
none() { :; }

# Runs PREP then a command, RUNS times, the command under /usr/bin/time; prints the median
# seconds, the median peak resident size in MB and the median processor seconds (user and
# system), which depend less on what else the machine runs. The command must succeed.
measure() {
  local prep=$1 t=() m=() c=() s e
  shift
  for _ in $(seq "$runs"); do
    "$prep"
    s=$(date +%s.%N)
    /usr/bin/time -f '%M %U %S' -o "$work/mem" "$@" >"$work/log" 2>&1 || {
      echo "peer_bench_stack: $* failed:" >&2
      tail -20 "$work/log" >&2
      exit 1
    }
    e=$(date +%s.%N)
    t+=("$(echo "$e - $s" | bc -l)")
    m+=("$(tail -1 "$work/mem" | awk '{print $1}')")
    c+=("$(tail -1 "$work/mem" | awk '{print $2 + $3}')")
  done
  local mid='{a[NR]=$1} END {print a[int((NR+1)/2)]}'
  printf '%.3f %d %.2f\n' "$(printf '%s\n' "${t[@]}" | sort -g | awk "$mid")" \
    $(($(printf '%s\n' "${m[@]}" | sort -g | awk "$mid") / 1024)) \
    "$(printf '%s\n' "${c[@]}" | sort -g | awk "$mid")"
}

echo "== median stack of $frames frames of ${size}x${size} 16-bit, $runs runs each, medians"
read -r ours_t ours_m ours_c < <(measure none "$cli" stack --method median -o "$work/ours.fits" "${files[@]}")
read -r full_t full_m full_c < <(measure fresh siril-cli -d "$work/frames" -s "$work/full.ssf")
fresh
siril-cli -d "$work/frames" -s "$work/link.ssf" >/dev/null 2>&1
read -r stack_t stack_m stack_c < <(measure none siril-cli -d "$work/frames" -s "$work/stack.ssf")
ratio() { echo "scale=2; $1 / $2" | bc -l; }
echo "  (uptime: $(uptime | sed 's/.*load/load/'))"
row='  %-36s %7.3f s  %5d MB  %6.2f s of processor\n'
printf "$row" "vantorel-cli stack --method median" "$ours_t" "$ours_m" "$ours_c"
printf "$row" "siril-cli link + stack med -nonorm" "$full_t" "$full_m" "$full_c"
printf "$row" "siril-cli stack step alone" "$stack_t" "$stack_m" "$stack_c"
echo "  ratio ours / siril: $(ratio "$ours_t" "$full_t") (goal <= 1.0); against the stack step alone: $(ratio "$ours_t" "$stack_t")"
echo "  ratio of processor time ours / siril: $(ratio "$ours_c" "$full_c")"

echo "== results beside numpy's median of the frames"
/usr/bin/python3 - "$work" "${files[@]}" <<'PY'
import glob, sys
import numpy as np
from astropy.io import fits
work, files = sys.argv[1], sys.argv[2:]
ref = np.median(np.stack([fits.getdata(f).astype(np.float64) for f in files]), axis=0)
def check(name, path, integer_of_ref):
    hdul = fits.open(path)
    d = hdul[0].data.astype(np.float64)
    bitpix = hdul[0].header["BITPIX"]
    note = ""
    if bitpix < 0 and np.nanmax(d) <= 1.0:
        d = d * 65535.0  # a float result normalised to [0, 1]
        note = ", scaled by 65535"
    # An integer result holds the median rounded to nearest (ties to even) or, for another
    # rounding of the halves, within half a unit.
    want = np.rint(ref) if integer_of_ref else ref
    rel = np.abs(d - want) / np.maximum(np.abs(want), 1.0)
    tol = 1e-5 if (bitpix < 0 or integer_of_ref) else 0.5 / np.maximum(np.abs(want), 1.0)
    ok = bool(np.all(rel <= tol))
    print(f"  {name}: BITPIX {bitpix}{note}, max relative difference {rel.max():.2e}, "
          f"max absolute {np.abs(d - want).max():.3g}: {'agrees' if ok else 'DIFFERS'}")
    return ok
ok = check("vantorel (against numpy's median rounded to nearest)", f"{work}/ours.fits", True)
sirils = sorted(glob.glob(f"{work}/siril_full.fit*"))
if sirils:
    ok = check("siril (against numpy's median)", sirils[0], False) and ok
else:
    print("  siril: no result found")
    ok = False
sys.exit(0 if ok else 1)
PY
