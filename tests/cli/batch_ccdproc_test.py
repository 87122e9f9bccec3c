#!/usr/bin/python3
"""vantorel-cli calibrate and stack against ccdproc on frames written here.

Calibration: synthetic frames with a known bias, dark current and flat field; our output
must equal ccdproc's subtract_bias, subtract_dark (unscaled, the dark freed of the bias)
and flat_correct (the flat freed of bias and of its own dark, normalised to its mean).

Stacking: ten frames with cosmic-ray hits combined by median, average and sum, with and
without clipping, against ccdproc.Combiner. Our clipping is centred on the median and
rejects beyond 3 population standard deviations on both sides, as Combiner.sigma_clipping
does by default (func='median', dev_func='std', thresholds 3), but it is iterated until a
pass rejects nothing, at most 5 passes, where Combiner makes one pass (maxiters=1; this
ccdproc cannot be given maxiters, and each call clips the frames afresh). The oracle makes
the passes itself: after each one the rejected values become NaN, which the next pass
leaves out, until a pass rejects nothing or five were made. (Ours also never keeps fewer than 3 values; with ten frames that
rule does not come into play.)

The calibrated 16-bit frames are saved with --bits -32: a plain save would keep the
sources' integers and round the results.

Exit 77 when numpy, astropy or ccdproc is missing."""
import os
import subprocess
import sys
import tempfile
import warnings

try:
    import numpy as np
    from astropy import units as u
    from astropy.io import fits
    from astropy.nddata import CCDData
    import ccdproc
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

# The rejected values made NaN are reported by sigma_clip as invalid: expected here.
warnings.filterwarnings("ignore", message="Input data contains invalid values")
cli = os.path.abspath(sys.argv[1])
work = tempfile.mkdtemp()
os.chdir(work)
os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
failures = 0


def fail(what):
    global failures
    print("FAIL:", what)
    failures += 1


def run(args, expect=0):
    p = subprocess.run([cli] + args, capture_output=True, text=True)
    if p.returncode != expect:
        fail(f"{args}: exit {p.returncode}, expected {expect}\n{p.stderr}")
    return p


def ccd(path):
    return CCDData(fits.getdata(path).astype(np.float64), unit="adu")


def compare(what, ours_path, expected):
    ours = fits.getdata(ours_path).astype(np.float64)
    if ours.shape != expected.shape:
        fail(f"{what}: shape {ours.shape}, expected {expected.shape}")
        return
    err = np.max(np.abs(ours - expected) / np.maximum(np.abs(expected), 1e-30))
    if not err <= 1e-5:
        fail(f"{what}: relative error {err:.3g}")
    else:
        print(f"ok {what}: relative error {err:.2g}")


rng = np.random.default_rng(2026)
h, w = 48, 64
yy, xx = np.mgrid[0:h, 0:w]
bias_level = 300.0 + 0.05 * xx  # a bias with structure
dark_current = 20.0 + 0.3 * yy
flat_field = 0.85 + 0.3 * np.exp(-((xx - 30) ** 2 + (yy - 20) ** 2) / 800.0)


def write_u16(name, data):
    fits.writeto(name, np.clip(np.rint(data), 0, 65535).astype(np.uint16), overwrite=True)


write_u16("bias.fits", bias_level + rng.normal(0, 2, (h, w)))
write_u16("dark.fits", bias_level + dark_current + rng.normal(0, 2, (h, w)))
write_u16("flatdark.fits", bias_level + 4.0 + rng.normal(0, 2, (h, w)))
write_u16("flat.fits", bias_level + 4.0 + 20000.0 * flat_field + rng.normal(0, 50, (h, w)))
sci = []
for i in range(3):
    name = f"sci{i}.fits"
    sky = 1000.0 + 200.0 * i
    write_u16(name, bias_level + dark_current + sky * flat_field + rng.normal(0, 10, (h, w)))
    sci.append(name)

run(["calibrate", "--bias", "bias.fits", "--dark", "dark.fits", "--flat", "flat.fits",
     "--flat-dark", "flatdark.fits", "--bits", "-32", "--out-dir", "out", "--suffix", "_c"] + sci)
bias = ccd("bias.fits")
one = 1.0 * u.s
master_dark = ccdproc.subtract_bias(ccd("dark.fits"), bias)
flat_dark = ccdproc.subtract_bias(ccd("flatdark.fits"), bias)
master_flat = ccdproc.subtract_dark(ccdproc.subtract_bias(ccd("flat.fits"), bias), flat_dark,
                                    dark_exposure=one, data_exposure=one, scale=False)
for name in sci:
    r = ccdproc.subtract_bias(ccd(name), bias)
    r = ccdproc.subtract_dark(r, master_dark, dark_exposure=one, data_exposure=one, scale=False)
    r = ccdproc.flat_correct(r, master_flat)
    compare("calibrate " + name, os.path.join("out", name.replace(".fits", "_c.fits")),
            np.asarray(r.data))

frames = []
for i in range(10):
    data = 500.0 + 40.0 * np.sin(xx / 9.0) + rng.normal(0, 5, (h, w))
    hits = rng.integers(0, h * w, 25)
    data.flat[hits] += rng.uniform(500, 5000, hits.size)  # cosmic-ray hits
    name = f"frame{i}.fits"
    fits.writeto(name, data.astype(np.float32), overwrite=True)
    frames.append(name)


def combiner(clip):
    c = ccdproc.Combiner([ccd(f) for f in frames])
    if clip:
        for _ in range(5):
            before = c.data_arr.mask.sum()
            c.sigma_clipping(low_thresh=3, high_thresh=3, func="median", dev_func="std")
            c.data_arr.data[c.data_arr.mask] = np.nan
            if c.data_arr.mask.sum() == before:
                break
    return c


for method in ("median", "average", "add"):
    for clip in (False, True):
        out = f"stack_{method}{'_clip' if clip else ''}.fits"
        run(["stack", "--method", method] + (["--clip"] if clip else []) + ["-o", out] + frames)
        c = combiner(clip)
        if method == "median":
            expected = c.median_combine()
        elif method == "average":
            expected = c.average_combine()
        elif clip:  # the clipped mean times the number of frames, on the scale of the sum
            expected = c.average_combine()
            expected.data = expected.data * len(frames)
        else:
            expected = c.sum_combine()
        compare(out, out, np.asarray(expected.data, dtype=np.float64))

print("failures:", failures)
sys.exit(1 if failures else 0)
