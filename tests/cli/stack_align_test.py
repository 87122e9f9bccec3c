#!/usr/bin/python3
"""vantorel-cli stack aligned by centre of gravity and by image matching, on a star field.

Eight 16-bit frames of one field (sky 1000 with Poisson noise, 20 Gaussian stars), each
drifted by its own whole- and sub-pixel shift of up to 5 px in x and y, are averaged with
--align centroid and with --align match. In both stacks every star must stand within
0.3 px of where it stands in the first frame, measured by photutils' 2-D Gaussian
centroid round the known positions (a plain numpy centroid when photutils is missing);
the stack without alignment must miss by more, or the drifts test nothing. Both ways of
showing FITS rows (the setting IO FitsBottomUp on and off) are run, since they turn the
sign of y inside the program.

A frame with nothing above its sky (flat, or every pixel blank) cannot be placed: it is
named among the failures as a frame matching cannot place is, and the stack is not
written; a flat first frame (the destination) leaves every other frame unplaced.

Exit 77 when numpy or astropy is missing."""
import os
import subprocess
import sys
import tempfile

try:
    import numpy as np
    from astropy.io import fits
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)
try:
    from astropy import log
    from photutils.centroids import centroid_2dg, centroid_sources
    log.setLevel("ERROR")  # the Gaussian fits of the smeared unaligned stars warn
except ImportError:
    centroid_sources = None

cli = os.path.abspath(sys.argv[1])
work = tempfile.mkdtemp()
os.chdir(work)
os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
failures = 0


def fail(what):
    global failures
    print("FAIL:", what)
    failures += 1


def run(args, expect):
    p = subprocess.run([cli] + args, capture_output=True, text=True)
    if p.returncode != expect:
        fail(f"{' '.join(args)}: exit {p.returncode}, expected {expect}\n{p.stderr}")
    return p


rng = np.random.default_rng(20260611)
h, w, n = 200, 256, 20
yy, xx = np.mgrid[0:h, 0:w]
sx = rng.uniform(20, w - 20, n)
sy = rng.uniform(20, h - 20, n)
amp = rng.uniform(800, 12000, n)
sig = rng.uniform(1.3, 2.2, n)
# A drift as a mount's tracking gives it, mostly one way, so that a stack left unaligned
# (or aligned with y the wrong way round) puts its stars well away from the first frame's.
drifts = [(0.0, 0.0), (3.0, -2.0), (1.3, -4.6), (4.8, -2.25), (2.0, -1.0), (5.0, -4.9),
          (0.6, -3.3), (3.6, -0.8)]


def field(dx, dy):
    sky = np.full((h, w), 1000.0)
    for x, y, a, s in zip(sx, sy, amp, sig):
        sky += a * np.exp(-((xx - x - dx) ** 2 + (yy - y - dy) ** 2) / (2 * s * s))
    return rng.poisson(sky)


frames = []
for i, (dx, dy) in enumerate(drifts):
    name = f"f{i}.fits"
    fits.writeto(name, np.clip(field(dx, dy), 0, 65535).astype(np.uint16), overwrite=True)
    frames.append(name)


def centroids(data):
    data = data.astype(np.float64) - np.median(data)
    if centroid_sources is not None:
        x, y = centroid_sources(data, sx, sy, box_size=11, centroid_func=centroid_2dg)
        return np.column_stack([x, y])
    out = []
    for x0, y0 in zip(np.rint(sx).astype(int), np.rint(sy).astype(int)):
        box = np.clip(data[y0 - 5:y0 + 6, x0 - 5:x0 + 6], 0, None)
        by, bx = np.mgrid[y0 - 5:y0 + 6, x0 - 5:x0 + 6]
        out.append([(box * bx).sum() / box.sum(), (box * by).sum() / box.sum()])
    return np.array(out)


first = centroids(fits.getdata(frames[0]))
for bottom_up in ("1", "0"):
    run(["settings", "set", "IO", "FitsBottomUp", bottom_up], 0)
    miss = {}
    for how in ("centroid", "match", None):
        out = f"stack_{how}_{bottom_up}.fits"
        align = ["--align", how] if how else []
        run(["stack", "--method", "average"] + align + ["-o", out] + frames, 0)
        if not os.path.exists(out):
            fail(f"{out} not written")
            continue
        d = np.hypot(*(centroids(fits.getdata(out)) - first).T)
        miss[how] = d
        print(f"FitsBottomUp {bottom_up}, align {how}: stars off by up to {d.max():.3f} px"
              f" (median {np.median(d):.3f})")
    for how in ("centroid", "match"):
        if how in miss and not miss[how].max() <= 0.3:
            fail(f"FitsBottomUp {bottom_up}: --align {how} leaves stars {miss[how].max()} px off")
    if None in miss and not np.median(miss[None]) > 2.0:
        fail(f"FitsBottomUp {bottom_up}: the unaligned stack is only {np.median(miss[None])} px off")

# Frames whose shift cannot be measured.
fits.writeto("flat.fits", np.full((h, w), 1000, np.uint16), overwrite=True)
fits.writeto("blank.fits", np.full((h, w), np.nan, np.float32), overwrite=True)
cases = [
    ("centroid", ["f0.fits", "flat.fits", "f1.fits", "blank.fits"],
     {"flat.fits": "nothing stands above its sky", "blank.fits": "nothing stands above its sky"}),
    ("match", ["f0.fits", "flat.fits", "f1.fits"], {"flat.fits": "no confident match found"}),
    ("centroid", ["flat.fits", "f0.fits", "f1.fits"],
     {"f0.fits": "nothing stands above the sky of the destination",
      "f1.fits": "nothing stands above the sky of the destination"}),
]
for method, names, expected in cases:
    for combine in ("average", "median"):
        # The median takes the destination's own entry through the same placement.
        if names[0] == "flat.fits" and combine == "median":
            expected = dict(expected, **{"flat.fits": "nothing stands above its sky"})
        what = f"--align {method} --method {combine} {' '.join(names)}"
        if os.path.exists("bad.fits"):
            os.remove("bad.fits")
        p = run(["stack", "--method", combine, "--align", method, "-o", "bad.fits"] + names, 1)
        reported = [line.strip() for line in p.stderr.splitlines() if line.startswith("  ")]
        want = [f"{name}: could not be aligned ({why}); "
                f"{'added' if combine == 'average' else 'combined'} unshifted"
                for name, why in expected.items()]
        if sorted(reported) != sorted(want):
            fail(f"{what}: reported {reported}, expected {want}")
        if "bad.fits not written" not in p.stderr or os.path.exists("bad.fits"):
            fail(f"{what}: the stack was written\n{p.stderr}")

print("failures:", failures)
sys.exit(1 if failures else 0)
