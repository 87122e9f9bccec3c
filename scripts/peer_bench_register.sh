#!/usr/bin/env bash
# Registration by image matching and a median stack, vantorel-cli beside siril-cli in the
# same run, whole processes timed in alternating runs: FRAMES synthetic star fields of
# SIZE x SIZE 16-bit FITS (a few hundred Gaussian stars of FWHM 3 pixels, Poisson and read
# noise over a sky of 1000) drifting by known whole and fractional shifts of up to 12
# pixels, no rotation. Ours: `stack --method median --align match`. siril's: the frames
# linked into a sequence, `register -transf=shift` (its star-based registration restricted
# to a shift, as the frames only drift; with REGISTER=default its default transformation)
# writing the registered frames, then `stack ... med -nonorm` (a plain median: no
# normalisation, no rejection, as ours). Prints the median times of RUNS repetitions, the
# ratio ours / siril, the peak memory and processor time of each, then a numpy check: both
# results beside numpy's median of the frames moved by their true shifts (bilinear, as
# ours, and cubic), the RMS difference over the common area against the stack's noise, and
# the median FWHM of bright isolated stars in each from 2-D Gaussian fits (scipy).
# Installs Debian's siril when siril-cli is missing; builds vantorel-cli (Release) into
# build-release unless VANTOREL_CLI names a program.
# Usage: scripts/peer_bench_register.sh   (env: RUNS, default 5; FRAMES, default 8;
#        SIZE, default 1024; REGISTER, shift or default; THREADS, passed as --threads)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/peer_bench_siril.sh
peer_siril_setup peer_bench_register

runs=${RUNS:-5}
frames=${FRAMES:-8}
size=${SIZE:-1024}
register=${REGISTER:-shift}
threads=()
[ -n "${THREADS:-}" ] && threads=(--threads "$THREADS")
work=$(mktemp -d /tmp/vtl-peer-register-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VANTOREL_CONFIG_HOME=$work/config
mkdir -p "$VANTOREL_CONFIG_HOME" "$work/frames"

# The star fields: the same stars in every frame, frame i seen so that its pixel (u, v)
# shows the sky of the first frame's (u + dx_i, v + dy_i); the shifts and the stars go to
# truth.npz for the check.
/usr/bin/python3 - "$work" "$frames" "$size" <<'PY'
import sys
import numpy as np
work, count, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = np.random.default_rng(1024 + n + count)
nstar = int(400 * (n / 1024.0) ** 2)
sx = rng.uniform(-20, n + 20, nstar)
sy = rng.uniform(-20, n + 20, nstar)
amp = 150 + 200 * rng.pareto(1.5, nstar)
amp = np.minimum(amp, 40000)
sigma = 3.0 / 2.3548
shifts = np.zeros((count, 2))
for i in range(1, count):  # a drift with whole and fractional parts
    shifts[i] = (1.37 * i + rng.uniform(-0.5, 0.5), -0.83 * i + rng.uniform(-0.5, 0.5))
shifts = np.clip(shifts, -12, 12)
cards = ["SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2",
         "NAXIS1  = %20d" % n, "NAXIS2  = %20d" % n, "BZERO   =                32768",
         "BSCALE  =                    1", "END"]
header = "".join(c.ljust(80) for c in cards)
header = header.ljust((len(header) + 2879) // 2880 * 2880).encode("ascii")
for i in range(count):
    v = np.full((n, n), 1000.0)
    for x, y, a in zip(sx - shifts[i, 0], sy - shifts[i, 1], amp):
        x0, y0 = int(round(x)), int(round(y))
        xa, xb, ya, yb = max(0, x0 - 8), min(n, x0 + 9), max(0, y0 - 8), min(n, y0 + 9)
        if xa >= xb or ya >= yb:
            continue
        gx = np.exp(-(np.arange(xa, xb) - x) ** 2 / (2 * sigma * sigma))
        gy = np.exp(-(np.arange(ya, yb) - y) ** 2 / (2 * sigma * sigma))
        v[ya:yb, xa:xb] += a * np.outer(gy, gx)
    v = rng.poisson(v).astype(np.float64) + rng.normal(0, 5, (n, n))
    data = (np.clip(np.rint(v), 0, 65535).astype(np.int32) - 32768).astype(">i2")
    with open(f"{work}/frames/frame_{i + 1:03d}.fits", "wb") as f:
        f.write(header)
        data.tofile(f)
        f.write(b"\0" * ((-data.nbytes) % 2880))
np.savez(f"{work}/truth.npz", shifts=shifts, sx=sx, sy=sy, amp=amp)
PY
files=("$work"/frames/frame_*.fits)

transf="-transf=shift"
[ "$register" = default ] && transf=""
cat >"$work/full.ssf" <<SSF
requires 1.0.0
link frame_ -out=seq
cd seq
register frame_ $transf
stack r_frame_ med -nonorm -out=../../siril_full
SSF
fresh() { rm -rf "$work/frames/seq" "$work"/siril_full.*; }
none() { rm -f "$work/ours.fits"; }

ours_t=() ours_m=() ours_c=() siril_t=() siril_m=() siril_c=()
for _ in $(seq "$runs"); do  # alternating, so both see the same load
  peer_time ours none "$cli" "${threads[@]}" stack --method median --align match \
    -o "$work/ours.fits" "${files[@]}"
  peer_time siril fresh siril-cli -d "$work/frames" -s "$work/full.ssf"
done
ot=$(median "${ours_t[@]}") st=$(median "${siril_t[@]}")
oc=$(median "${ours_c[@]}") sc=$(median "${siril_c[@]}")
ratio() { echo "scale=2; $1 / $2" | bc -l; }
echo "== registration + median stack of $frames frames of ${size}x${size} 16-bit, $runs alternating runs, medians"
echo "  (uptime: $(uptime | sed 's/.*load/load/'))"
row='  %-52s %7.3f s  %5d MB  %6.2f s of processor\n'
printf "$row" "vantorel-cli ${threads[*]} stack --method median --align match" "$ot" \
  "$(median "${ours_m[@]}")" "$oc"
printf "$row" "siril-cli link, register $transf, stack med -nonorm" "$st" "$(median "${siril_m[@]}")" "$sc"
echo "  ratio ours / siril: $(ratio "$ot" "$st") (goal <= 1.0); of processor time: $(ratio "$oc" "$sc")"

echo "== results beside numpy's median of the frames moved by their true shifts"
/usr/bin/python3 - "$work" "${files[@]}" <<'PY'
import glob, sys, warnings
import numpy as np
from astropy.io import fits
from scipy import ndimage, optimize
warnings.simplefilter("ignore", RuntimeWarning)
work, files = sys.argv[1], sys.argv[2:]
truth = np.load(f"{work}/truth.npz")
shifts, sx, sy, amp = truth["shifts"], truth["sx"], truth["sy"], truth["amp"]
frames = [fits.getdata(f).astype(np.float64) for f in files]
n = frames[0].shape[0]
def numpy_stack(order):
    # Frame i's pixel (u, v) shows the first frame's (u + dx, v + dy): the first frame's
    # pixel p is frame i's p - d (ndimage.shift's out(p) = in(p - shift)).
    moved = [ndimage.shift(f, (d[1], d[0]), order=order, mode="nearest", prefilter=order > 1)
             for f, d in zip(frames, shifts)]
    return np.median(np.stack(moved), axis=0)
ref1, ref3 = numpy_stack(1), numpy_stack(3)
m = int(np.ceil(np.abs(shifts).max())) + 4
inner = (slice(m, n - m), slice(m, n - m))
# The noise of the median stack: from the differences of neighbouring pixels of the
# reference stack's sky (median absolute deviation).
d = np.diff(ref1[inner], axis=1)
noise = 1.4826 * np.median(np.abs(d - np.median(d))) / np.sqrt(2)
def load(path):
    hdul = fits.open(path)
    d = hdul[0].data.astype(np.float64)
    if d.ndim == 3:
        d = d[0]
    if hdul[0].header["BITPIX"] < 0 and np.nanmax(d) <= 1.0:
        d = d * 65535.0  # a float result normalised to [0, 1]
    return d
# Bright, isolated, unsaturated stars well inside the common area.
good = []
for i in np.argsort(-amp):
    x, y = sx[i], sy[i]
    if not (m + 10 < x < n - m - 10 and m + 10 < y < n - m - 10) or amp[i] > 30000 or amp[i] < 800:
        continue
    if np.min(np.hypot(sx[np.arange(sx.size) != i] - x, sy[np.arange(sy.size) != i] - y)) < 15:
        continue
    good.append(i)
    if len(good) == 60:
        break
def fwhm(img):
    yy, xx = np.mgrid[-7:8, -7:8]
    def g(p, x, y):
        a, x0, y0, s, b = p
        return a * np.exp(-((x - x0) ** 2 + (y - y0) ** 2) / (2 * s * s)) + b
    out = []
    for i in good:
        x0, y0 = int(round(sx[i])), int(round(sy[i]))
        cut = img[y0 - 7:y0 + 8, x0 - 7:x0 + 8]
        p0 = (cut.max() - np.median(cut), sx[i] - x0, sy[i] - y0, 1.3, np.median(cut))
        p, _ = optimize.leastsq(lambda p: (g(p, xx, yy) - cut).ravel(), p0)
        out.append(2.3548 * abs(p[3]))
    return np.median(out)
results = {"numpy, true shifts, bilinear": ref1, "numpy, true shifts, cubic": ref3}
ours = load(f"{work}/ours.fits")
results["vantorel"] = ours
sirils = sorted(glob.glob(f"{work}/siril_full.fit*"))
if sirils:
    results["siril"] = load(sirils[0])
print(f"  noise of the stack (sky): {noise:.2f} ADU; {len(good)} stars fitted; "
      f"common area {n - 2 * m}x{n - 2 * m}")
f1 = fwhm(ref1)
ok = True
for name, img in results.items():
    rms1 = np.sqrt(np.mean((img[inner] - ref1[inner]) ** 2))
    rms3 = np.sqrt(np.mean((img[inner] - ref3[inner]) ** 2))
    f = fwhm(img)
    print(f"  {name:30s} RMS vs numpy bilinear {rms1:7.2f} ({rms1 / noise:4.2f} noise), "
          f"vs cubic {rms3:7.2f}; FWHM {f:.3f} px ({100 * (f / f1 - 1):+.1f} % of numpy bilinear)")
    if name == "vantorel":
        ok = rms1 <= noise and abs(f / f1 - 1) <= 0.03
        fo = f
    if name == "siril":
        print(f"  FWHM ours / siril: {fo / f:.3f}")
if not sirils:
    print("  siril: no result found")
print(f"  vantorel {'agrees with' if ok else 'DIFFERS from'} numpy's stack on the true shifts "
      "(RMS within the noise, FWHM within 3 %)")
sys.exit(0 if ok else 1)
PY
