#!/usr/bin/python3
"""vantorel-cli lightcurve on a synthetic night, against astropy.time and photutils.

Sixty frames of 1024 x 1024 pixels (sky with Gaussian noise of a camera with GAIN 4, a
field of faint stars, a target and four comparisons) drift by up to 8 px through the
night, with a little jitter; the target dims by 1.00 % in twenty frames in a row (a
box-shaped transit). The files are given out of order, some with the time in
DATE-OBS and some with the date there and the time in UT. Two more frames must be left
out and named: one without DATE-OBS, one clouded (nothing but sky).

Checked:
- the curve is ordered by time, and each frame's mid-exposure is DATE-OBS (+ UT) +
  EXPTIME / 2 as astropy.time gives it, in JD and MJD (UTC), with the cards named;
- the depth of the transit (out-of-transit mean against in-transit mean) is 1.00 ± 0.10 %;
- every frame's differential magnitude equals one computed by photutils'
  CircularAperture and CircularAnnulus at the centres the program reports, the program's
  pixel rule (midpoint-circle boundary tables, values truncated toward zero) reproduced
  in numpy as photutils' mask, to 1e-6 mag;
- each star's error is sqrt(net / GAIN + n sigma^2 (1 + n / n_sky)) with the sky's sigma
  from numpy over the ring, the magnitude's error follows from them to first order, and
  the stated errors match the scatter of the magnitudes outside the transit;
- the centres found follow the stars (within 1 px of where they were put);
- placed by each frame's celestial coordinates (--world) instead of followed, the stars
  are found and measured as well, and a frame without coordinates is left out;
- the plot is a PNG of the stated size.

Exit 77 when numpy, astropy or photutils is missing. LIGHTCURVE_SIDE (default 1024)
sets a smaller frame for quick runs by hand."""
import atexit
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import warnings

try:
    import numpy as np
    from astropy.io import fits
    from astropy.time import Time, TimeDelta
    from astropy.wcs import WCS
    from photutils.aperture import CircularAnnulus, CircularAperture, aperture_photometry
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)
# An old leap-second table only warns; the night below is far from any leap second.
warnings.filterwarnings("ignore", message=".*leap-second.*")

cli = os.path.abspath(sys.argv[1])
work = tempfile.mkdtemp()
atexit.register(shutil.rmtree, work, ignore_errors=True)  # 250 MB of frames
os.chdir(work)
os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
failures = 0


def fail(why):
    global failures
    failures += 1
    print("FAIL:", why)


SIDE = int(os.environ.get("LIGHTCURVE_SIDE", "1024"))
FRAMES = 60
GAIN = 4.0
EXPTIME = 60.0
SKY = 1000.0
SIGMA_PSF = 1.6
STAR_R, SKY_IN, SKY_W = 6, 11, 4
DEPTH = 0.0100
TRANSIT = range(22, 42)
rng = np.random.default_rng(20261209)

# The target and comparisons (0-based numpy x, y in the first frame), then a faint field.
bright = [(0.40 * SIDE, 0.45 * SIDE, 5.0e5), (0.25 * SIDE, 0.30 * SIDE, 4.0e5),
          (0.70 * SIDE, 0.35 * SIDE, 6.0e5), (0.60 * SIDE, 0.75 * SIDE, 3.5e5),
          (0.30 * SIDE, 0.70 * SIDE, 4.5e5)]
field = [(x, y, f) for x, y, f in zip(rng.uniform(40, SIDE - 40, 40), rng.uniform(40, SIDE - 40, 40),
                                      rng.uniform(2e3, 3e4, 40))
         if all(math.hypot(x - bx, y - by) > 40 for bx, by, _ in bright)]
# The drift: a straight run to (6.4, -4.8), 8 px, and a jitter of a few tenths.
drift = [(6.4 * i / (FRAMES - 1) + rng.normal(0, 0.3), -4.8 * i / (FRAMES - 1) + rng.normal(0, 0.3))
         for i in range(FRAMES)]
start = Time("2026-03-14T20:30:00", scale="utc")
ys, xs = np.mgrid[0:SIDE, 0:SIDE]


def add_star(img, x, y, flux):
    x0, y0 = int(round(x)), int(round(y))
    sl = np.s_[max(y0 - 10, 0):y0 + 11, max(x0 - 10, 0):x0 + 11]
    gx, gy = xs[sl] - x, ys[sl] - y
    img[sl] += flux / (2 * math.pi * SIGMA_PSF ** 2) * np.exp(-(gx * gx + gy * gy) / (2 * SIGMA_PSF ** 2))


def frame(i, clouded=False):
    img = np.full((SIDE, SIDE), SKY) + 0.02 * xs
    dx, dy = drift[min(i, FRAMES - 1)]
    if not clouded:
        for n, (x, y, f) in enumerate(bright):
            add_star(img, x + dx, y + dy, f * (1 - DEPTH) if n == 0 and i in TRANSIT else f)
        for x, y, f in field:
            add_star(img, x + dx, y + dy, f)
    img += rng.normal(0.0, 1.0, img.shape) * np.sqrt(img / GAIN)
    return img.astype(np.float32)


def frame_wcs(i):
    # A tangent plane of 1.2" pixels whose reference pixel moves with the drift.
    dx, dy = drift[min(i, FRAMES - 1)]
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w.wcs.crval = [150.0, 20.0]
    w.wcs.crpix = [SIDE / 2 + 1 + dx, SIDE / 2 + 1 + dy]
    w.wcs.cdelt = [-1.2 / 3600, 1.2 / 3600]
    return w


order = rng.permutation(FRAMES + 2)
names, starts = [], {}
for i in range(FRAMES + 2):
    t0 = start + TimeDelta(i * (EXPTIME + 15.0), format="sec")
    h = fits.Header()
    iso = t0.isot  # YYYY-MM-DDThh:mm:ss.sss
    if i == FRAMES:  # no date at all
        pass
    elif i % 3 == 1:
        h["DATE-OBS"] = iso[:10]
        h["UT"] = iso[11:]
    else:
        h["DATE-OBS"] = iso
    h["EXPTIME"] = EXPTIME
    h["GAIN"] = GAIN
    if i != FRAMES + 1:  # the clouded frame has no plate solution
        h.update(frame_wcs(i).to_header())
    name = "night_%03d.fits" % order[i]
    fits.writeto(name, frame(i, clouded=(i == FRAMES + 1)), h, overwrite=True)
    names.append(name)
    starts[name] = (i, t0)

target = "%.2f,%.2f" % (bright[0][0] + 1, bright[0][1] + 1)
comps = []
for x, y, _ in bright[1:]:
    comps += ["--comp", "%.2f,%.2f" % (x + 1, y + 1)]
args = [cli, "lightcurve", "--target", target] + comps + [
    "--star", str(STAR_R), "--sky", str(SKY_IN), "--width", str(SKY_W)]
# The first file is the first of the night (the positions are its own); the others come
# in blocks of five taken backwards, so that the output's order is the program's doing,
# and the two frames to be left out in the middle.
files = [names[0]]
for b in range(1, FRAMES, 5):
    files += names[b:min(b + 5, FRAMES)][::-1]
files[30:30] = [names[FRAMES], names[FRAMES + 1]]
run = subprocess.run(args + ["--json", "--plot", "curve.png"] + files, capture_output=True,
                     text=True)
if run.returncode != 0:
    fail("lightcurve exited %d: %s" % (run.returncode, run.stderr[-2000:]))
    sys.exit(1)
records = [json.loads(line) for line in run.stdout.splitlines()]
kept = [r for r in records if r["kept"]]
left = [r for r in records if not r["kept"]]

# Frames left out, and named on standard error.
nodate, clouded = names[FRAMES], names[FRAMES + 1]
if sorted(r["file"] for r in left) != sorted([nodate, clouded]):
    fail("left out: %s" % [(r["file"], r["why"]) for r in left])
for r in left:
    if r["dmag"] is not None:
        fail("%s left out with a magnitude" % r["file"])
    if r["file"] + ": " + r["why"] not in run.stderr:
        fail("%s not listed on standard error with its reason" % r["file"])
if not any(r["file"] == nodate and "DATE-OBS" in r["why"] for r in left):
    fail("the frame without DATE-OBS is not left out for that")
if not any(r["file"] == clouded and "lost" in r["why"] for r in left):
    fail("the clouded frame is not left out as lost")
if len(kept) != FRAMES:
    fail("%d frames kept, not %d" % (len(kept), FRAMES))
if run.stderr.count("[") < FRAMES + 2:
    fail("no line per frame on standard error")

# Times: ordered, and DATE-OBS (+ UT) + EXPTIME / 2 by astropy.
mjds = [r["mjd_mid"] for r in kept]
if mjds != sorted(mjds):
    fail("the curve is not ordered by time")
for r in kept:
    i, t0 = starts[r["file"]]
    mid = t0 + TimeDelta(EXPTIME / 2, format="sec")
    if abs(r["mjd_mid"] - mid.mjd) > 1e-9 or abs(r["jd_mid"] - mid.jd) > 2e-9:
        fail("%s: mid-exposure %r / %r, astropy %r / %r" % (r["file"], r["mjd_mid"], r["jd_mid"],
                                                           mid.mjd, mid.jd))
    cards = r["time_cards"]
    want_time = "UT" if i % 3 == 1 else None
    if cards != {"date": "DATE-OBS", "time": want_time, "exposure": "EXPTIME"}:
        fail("%s: time cards %s" % (r["file"], cards))
    if r["gain"] != GAIN or not r["gain_from_header"]:
        fail("%s: gain %s" % (r["file"], r["gain"]))
    if r["comparisons_summed"] != [1, 2, 3, 4]:
        fail("%s: comparisons summed %s" % (r["file"], r["comparisons_summed"]))


# The program's pixel rule: a circle's boundary table by the midpoint procedure.
def table(r):
    per_dy = np.full(r + 1, -1, dtype=np.int64)
    err, u, v = r, 0, r
    while v >= u:
        for ox, oy in ((u, v), (v, u)):
            if oy <= r:
                per_dy[oy] = max(per_dy[oy], ox)
        err -= 2 * u + 1
        if err < 0:
            err += 2 * v - 2
            v -= 1
        u += 1
    return per_dy


def member(icx, icy, outer, inner):
    dx, dy = np.abs(xs - icx), np.abs(ys - icy)
    def within(t):
        out = np.full(dy.shape, -1, dtype=np.int64)
        ok = dy < len(t)
        out[ok] = t[dy[ok]]
        return dx <= out
    m = within(table(outer))
    if inner is not None:
        m &= ~within(table(inner))
    return m


def net_by_photutils(data, x_shown, y_shown):
    # Shown y counts FITS rows from the bottom (numpy row + 1); the program's centre pixel
    # is trunc(c + 0.5) of its own top-down rows, which is the same numpy row.
    icx = math.trunc(x_shown - 1 + 0.5)
    icy = SIDE - 1 - math.trunc(SIDE - y_shown + 0.5)
    star_mask = ~member(icx, icy, STAR_R, None)
    sky_mask = ~member(icx, icy, SKY_IN + SKY_W, SKY_IN)
    star = CircularAperture((icx, icy), r=STAR_R + 1)
    ring = CircularAnnulus((icx, icy), r_in=SKY_IN - 1, r_out=SKY_IN + SKY_W + 1)
    ones = np.ones_like(data)
    s = aperture_photometry(data, star, mask=star_mask, method="center")["aperture_sum"][0]
    n = aperture_photometry(ones, star, mask=star_mask, method="center")["aperture_sum"][0]
    k = aperture_photometry(data, ring, mask=sky_mask, method="center")["aperture_sum"][0]
    m = aperture_photometry(ones, ring, mask=sky_mask, method="center")["aperture_sum"][0]
    if n != np.count_nonzero(~star_mask) or m != np.count_nonzero(~sky_mask):
        fail("photutils' apertures do not cover the program's pixels")
    sky_sigma = float(np.std(data[~sky_mask], ddof=0))
    return s - k / m * n, int(n), int(m), sky_sigma


def check_against_photutils(records):
    """The largest difference of the records' magnitudes from photutils'."""
    worst = 0.0
    for r in records:
        data = np.trunc(fits.getdata(r["file"]).astype(np.float64))
        nets, variances = [], []
        for k, s in enumerate(r["stars"]):
            net, n, m, sky_sigma = net_by_photutils(data, s["x"], s["y"])
            nets.append(net)
            # Photon noise of the star, the sky's scatter over the disc and the error of the
            # sky's mean.
            variances.append(net / GAIN + n * sky_sigma ** 2 * (1 + n / m))
            if abs(s["err"] - math.sqrt(variances[-1])) > 1e-6 * s["err"]:
                fail("%s star %d: error %r, expected %r" % (r["file"], k, s["err"],
                                                           math.sqrt(variances[-1])))
            if (n, m) != (s["star_pixels"], s["sky_pixels"]):
                fail("%s star %d: pixels %d/%d, photutils %d/%d"
                     % (r["file"], k, s["star_pixels"], s["sky_pixels"], n, m))
            i = starts[r["file"]][0]
            want = (bright[k][0] + drift[i][0] + 1, bright[k][1] + drift[i][1] + 1)
            if math.hypot(s["x"] - want[0], s["y"] - want[1]) > 1.0:
                fail("%s star %d found at %.2f,%.2f, put at %.2f,%.2f"
                     % (r["file"], k, s["x"], s["y"], *want))
        dmag = -2.5 * math.log10(nets[0] / sum(nets[1:]))
        worst = max(worst, abs(dmag - r["dmag"]))
        err = 2.5 / math.log(10) * math.hypot(math.sqrt(variances[0]) / nets[0],
                                              math.sqrt(sum(variances[1:])) / sum(nets[1:]))
        if abs(err - r["dmag_err"]) > 1e-6 * err:
            fail("%s: magnitude error %r, expected %r" % (r["file"], r["dmag_err"], err))
    return worst


worst = check_against_photutils(kept)
if worst > 1e-6:
    fail("magnitudes differ from photutils by up to %.3g mag" % worst)

# The depth of the transit, and the errors against the scatter.
inside = np.array([r["dmag"] for r in kept if starts[r["file"]][0] in TRANSIT])
outside = np.array([r["dmag"] for r in kept if starts[r["file"]][0] not in TRANSIT])
depth = 1 - 10 ** (-0.4 * (inside.mean() - outside.mean()))
print("depth %.4f %%, scatter %.5f mag, stated error %.5f mag, photutils to %.2g mag"
      % (100 * depth, outside.std(ddof=1), np.median([r["dmag_err"] for r in kept]), worst))
if abs(depth - DEPTH) > 0.0010:
    fail("depth %.4f %%, not 1.00 ± 0.10 %%" % (100 * depth))
ratio = outside.std(ddof=1) / np.median([r["dmag_err"] for r in kept])
if not 0.6 < ratio < 1.6:
    fail("scatter / stated error = %.2f" % ratio)

# The same stars placed by each frame's celestial coordinates (--world): found where they
# were put and measured as photutils measures them there; the frame without coordinates
# is left out for that.
ra, dec = frame_wcs(0).all_pix2world([b[0] for b in bright], [b[1] for b in bright], 0)
world = ["--target", "%.10f,%.10f" % (ra[0], dec[0])]
for r_, d_ in zip(ra[1:], dec[1:]):
    world += ["--comp", "%.10f,%.10f" % (r_, d_)]
subset = names[:20] + [clouded]
run_w = subprocess.run([cli, "lightcurve", "--world", "--json", "--star", str(STAR_R), "--sky",
                        str(SKY_IN), "--width", str(SKY_W)] + world[:2] + world[2:] + subset,
                       capture_output=True, text=True)
if run_w.returncode != 0:
    fail("lightcurve --world exited %d: %s" % (run_w.returncode, run_w.stderr[-2000:]))
else:
    for r in (json.loads(line) for line in run_w.stdout.splitlines()):
        if r["file"] == clouded:
            if r["kept"] or r["why"] != "no celestial coordinates":
                fail("--world: the frame without coordinates: %s" % r["why"])
            continue
        if not r["kept"]:
            fail("--world: %s left out: %s" % (r["file"], r["why"]))
    # A centre near a pixel's edge may settle on the other side of it when the search
    # starts elsewhere, so each is judged on its own.
    worst_w = check_against_photutils([json.loads(line) for line in run_w.stdout.splitlines()
                                       if json.loads(line)["kept"]])
    if worst_w > 1e-6:
        fail("--world: magnitudes differ from photutils by up to %.3g mag" % worst_w)

with open("curve.png", "rb") as f:
    head = f.read(24)
if head[:8] != b"\x89PNG\r\n\x1a\n" or int.from_bytes(head[16:20], "big") != 800:
    fail("the plot is no PNG 800 pixels wide")

# Misuse and refusals: no comparison, a malformed position, a folder as a frame.
for bad, want in ((["--target", target, files[0]], 2),
                  (["--target", "1;2", "--comp", "3,4", files[0]], 2),
                  (["--target", target, "--comp", "3,4", "--sky", "4", files[0]], 2),
                  (["--target", target, "--comp", "3,4", work], 1)):
    rc = subprocess.run([cli, "lightcurve"] + bad, capture_output=True, text=True)
    if rc.returncode != want or not rc.stderr:
        fail("%s: exit %d, stderr %r" % (bad, rc.returncode, rc.stderr[-200:]))

print("lightcurve: all checks passed" if failures == 0 else "lightcurve: %d failures" % failures)
sys.exit(1 if failures else 0)
