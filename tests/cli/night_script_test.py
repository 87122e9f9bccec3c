#!/usr/bin/python3
"""scripts/night.sh on a tiny synthetic evening, judged by numpy and scipy.

Three 64 x 64 16-bit (BZERO 32768) frames of each kind: biases with a structured level
and read noise, darks adding a dark current, flats of a vignetted field, and lights of a
star field (Gaussian stars of FWHM 3 px) on a sky, each light drifted by its own known
sub-pixel shift. The script's products are compared with numpy doing the same pipeline:

- each master is the median of its frames;
- each calibrated light is (light - bias) - (dark - bias), divided by the flat freed of
  the bias over its mean;
- in the final stack every star stands where it stands in the first light, within 0.1 px
  (2-D Gaussian fits by scipy), which each light's shift must reach;
- the final stack is numpy's median of the calibrated lights shifted back by their true
  shifts (bilinear, pixels that leave a frame left out): equal where nothing but sky
  lies (the shift errors only move the sky's gentle slope), and within the noise of one
  calibrated light over the whole picture, stars included.

Then the script's refusals: a missing folder, a folder without FITS files, a file given
for a folder, a light of another size (the calibration step fails, its message shown,
nothing written after it), an output or work folder among the frames, and the wrong
number of arguments.

Run as: night_script_test.py VANTOREL_CLI NIGHT_SH. Exit 77 when numpy, scipy or astropy
is missing."""
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import numpy as np
    from astropy.io import fits
    from scipy import ndimage, optimize
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

cli = os.path.abspath(sys.argv[1])
script = os.path.abspath(sys.argv[2])
work = tempfile.mkdtemp()
os.chdir(work)
env = dict(os.environ, VANTOREL_CLI=cli, VANTOREL_CONFIG_HOME=os.path.join(work, "config"))
failures = 0


def fail(what):
    global failures
    print("FAIL:", what)
    failures += 1


def night(args, expect):
    p = subprocess.run([script] + args, capture_output=True, text=True, env=env)
    if p.returncode != expect:
        fail(f"night.sh {' '.join(args)}: exit {p.returncode}, expected {expect}\n{p.stderr}")
    return p


rng = np.random.default_rng(641)
n = 64
yy, xx = np.mgrid[0:n, 0:n].astype(np.float64)
bias_level = 400.0 + 0.2 * xx + 3.0 * (yy % 2)  # column slope and alternating rows
dark_current = 30.0 + 0.15 * yy
vignette = 1.0 - 0.25 * ((xx - 30) ** 2 + (yy - 34) ** 2) / (2 * 32.0 ** 2)
read_noise = 4.0
sigma = 3.0 / (2 * np.sqrt(2 * np.log(2)))  # FWHM 3 px
# Twelve stars on a jittered grid, 10 px apart at least, so that each is fitted alone.
gy, gx = np.mgrid[0:3, 0:4]
sx = 12 + 13 * gx.ravel() + rng.uniform(-1.5, 1.5, gx.size)
sy = 14 + 17 * gy.ravel() + rng.uniform(-1.5, 1.5, gy.size)
amp = rng.uniform(2500, 12000, gx.size)
# Light i shows the field moved by shifts[i] (x, y in numpy's axes).
shifts = [(0.0, 0.0), (1.35, -0.6), (-2.2, 1.75)]
sky = 300.0 + 0.5 * xx


def scene(dx, dy):
    v = sky.copy()
    for x, y, a in zip(sx, sy, amp):
        v += a * np.exp(-((xx - x - dx) ** 2 + (yy - y - dy) ** 2) / (2 * sigma**2))
    return v


def write16(path, v):
    raw = np.clip(np.rint(v), 0, 65535) - 32768
    hdu = fits.PrimaryHDU(raw.astype(np.int16))
    hdu.header["BZERO"] = 32768
    hdu.header["BSCALE"] = 1
    hdu.writeto(path)
    return raw + 32768.0


frames = {k: [] for k in ("bias", "dark", "flat", "light")}
for k in frames:
    os.makedirs(k)
for i in range(3):
    frames["bias"].append(write16(f"bias/b{i}.fits", bias_level + rng.normal(0, read_noise, (n, n))))
    frames["dark"].append(
        write16(f"dark/d{i}.fits", bias_level + dark_current + rng.normal(0, read_noise, (n, n))))
    level = 20000.0 * (1 + 0.05 * i)
    frames["flat"].append(write16(
        f"flat/f{i}.fits", bias_level + level * vignette + rng.normal(0, np.sqrt(level), (n, n))))
    signal = scene(*shifts[i]) * vignette
    frames["light"].append(write16(
        f"light/l{i}.fits",
        bias_level + dark_current + rng.poisson(signal) + rng.normal(0, read_noise, (n, n))))

night(["bias", "dark", "flat", "light", "out.fits"], 0)


def ours(path):
    if not os.path.exists(path):
        fail(f"{path} was not written")
        return None
    return fits.getdata(path).astype(np.float64)


def close(what, got, want, rel):
    if got is None:
        return
    err = np.max(np.abs(got - want) / np.maximum(np.abs(want), 1.0))
    if not err <= rel:
        fail(f"{what}: relative difference {err:.3g}")
    else:
        print(f"ok {what}: relative difference {err:.2g}")


masters = {}
for kind in ("bias", "dark", "flat"):
    masters[kind] = np.median(np.stack(frames[kind]), axis=0)
    close(f"master {kind}", ours(f"out-work/master_{kind}.fits"), masters[kind], 1e-6)
dark = masters["dark"] - masters["bias"]
flat = masters["flat"] - masters["bias"]
flat = flat / flat.mean()
calibrated = []
for i, light in enumerate(frames["light"]):
    want = ((light - masters["bias"]) - dark) / flat
    calibrated.append(want)
    close(f"calibrated light {i}", ours(f"out-work/calibrated/l{i}.fits"), want, 1e-5)

# The calibrated lights moved back onto the first one, bilinear, as numpy sees the truth.
aligned = []
for (dx, dy), c in zip(shifts, calibrated):
    u, v = xx + dx, yy + dy
    inside = (u >= 0) & (u <= n - 1) & (v >= 0) & (v <= n - 1)
    s = ndimage.map_coordinates(c, [v, u], order=1, mode="nearest")
    aligned.append(np.where(inside, s, np.nan))
expected = np.nanmedian(np.stack(aligned), axis=0)
stack = ours("out.fits")
if stack is not None:
    # Stars: a 2-D Gaussian fitted round each known position of the first light.
    def gauss(p, y, x):
        a, x0, y0, s, b = p
        return a * np.exp(-((x - x0) ** 2 + (y - y0) ** 2) / (2 * s * s)) + b

    off = []
    for x, y, a in zip(sx, sy, amp):
        x0, y0 = int(round(x)), int(round(y))
        by, bx = np.mgrid[y0 - 4:y0 + 5, x0 - 4:x0 + 5]
        box = stack[y0 - 4:y0 + 5, x0 - 4:x0 + 5]
        fit = optimize.least_squares(lambda p: (gauss(p, by, bx) - box).ravel(),
                                     [box.max() - np.median(box), x0, y0, 1.5, np.median(box)])
        off.append(np.hypot(fit.x[1] - x, fit.x[2] - y))
    off = np.array(off)
    print(f"stars off their place in the first light by up to {off.max():.3f} px")
    if not off.max() <= 0.1:
        fail(f"a star of the stack stands {off.max():.3f} px off (more than 0.1 px)")

    # The noise of the first calibrated light: what it holds beyond its noiseless signal.
    noise = np.std(calibrated[0] - scene(0, 0) * vignette / flat)
    diff = stack - expected
    star_free = np.ones((n, n), bool)
    for dx, dy in shifts:
        star_free &= (scene(dx, dy) - sky) < 0.5
    rms_sky = np.sqrt(np.mean(diff[star_free] ** 2))
    rms_all = np.sqrt(np.mean(diff**2))
    print(f"stack - numpy: rms {rms_sky:.3g} on the sky, {rms_all:.3g} overall;"
          f" noise of one calibrated light {noise:.3g}")
    if not rms_sky <= 0.1 * noise:
        fail(f"the stack differs from numpy's on the sky by rms {rms_sky:.3g}")
    if not rms_all <= noise:
        fail(f"the stack differs from numpy's by rms {rms_all:.3g}, above the noise {noise:.3g}")

# Refusals, each with its own message on standard error and nothing written.
os.makedirs("empty")
with open("empty/notes.txt", "w") as f:
    f.write("no frames here\n")
os.makedirs("odd")
shutil.copy("light/l0.fits", "odd/l0.fits")
fits.writeto("odd/l1.fits", np.zeros((n, n + 3), np.int16))
cases = [
    (["bias", "missing", "flat", "light", "m.fits"], 1, "the dark folder missing does not exist"),
    (["bias", "dark", "empty", "light", "m.fits"], 1, "no FITS files (.fits, .fit, .fts) in the flat folder empty"),
    (["bias", "dark", "flat", "light/l0.fits", "m.fits"], 1, "light/l0.fits (the light folder) is not a folder"),
    (["bias", "dark", "flat", "odd", "m.fits"], 1, "night.sh: calibration of 2 lights failed"),
    (["bias", "dark", "flat", "light", "light/m.fits"], 1,
     "the output light/m.fits should not be written into the frames' folder light"),
    (["--work", "dark", "bias", "dark", "flat", "light", "m.fits"], 1,
     "the work folder dark should not be one of the frames' folders"),
    (["bias", "dark", "flat", "light"], 2, "Usage: night.sh"),
]
for args, code, message in cases:
    p = night(args, code)
    if message not in p.stderr:
        fail(f"night.sh {' '.join(args)}: no '{message}' in\n{p.stderr}")
    for written in ("m.fits", "light/m.fits"):
        if os.path.exists(written):
            fail(f"night.sh {' '.join(args)}: {written} was written")
# The failing calibration shows vantorel-cli's own reason before the script's line.
p = night(["bias", "dark", "flat", "odd", "m.fits"], 1)
if "l1.fits" not in p.stderr or "aligned median stack" in p.stderr:
    fail(f"the failed calibration did not name its frame or the script went on:\n{p.stderr}")

print("failures:", failures)
if not failures:
    shutil.rmtree(work)
sys.exit(1 if failures else 0)
