#!/usr/bin/python3
"""A stack cut into row bands (stack --rows) and put together by join, against the same
stack made whole: the joined file must hold the same data byte for byte and the same
header cards (but for the time written), for the median, the average and the sum, with
and without clipping, unaligned and aligned (shifts measured once with --shifts-out and
given to every band with --shifts-in, also a hand-written turn of the frames), and with
the setting IO FitsBottomUp on and off, which reverses the rows in memory. The frames
are 16-bit with BZERO, one with BSCALE and BLANK pixels, one float with NaN, one of
another size. Then join's refusals: a gap, an overlap, parts of other files or other
settings, a file that is no part; each leaves nothing written.

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

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
import same_fits  # noqa: E402

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
        fail(f"{' '.join(args[:8])}...: exit {p.returncode}, not {expect}: {p.stderr[-600:]}")
    return p


def star_field(rng, h, w, dx, dy):
    yy, xx = np.mgrid[0:h, 0:w]
    v = rng.poisson(900, (h, w)).astype(np.float64)
    for sx, sy, f in ((12.3, 15.8, 9000), (40.1, 22.6, 14000), (25.7, 47.2, 7000),
                      (52.2, 53.9, 11000), (8.8, 40.4, 5000), (33.3, 9.1, 6000)):
        v += f * np.exp(-((xx - sx - dx) ** 2 + (yy - sy - dy) ** 2) / (2 * 1.6 ** 2))
    return v


rng = np.random.default_rng(7)
H, W, N = 64, 64, 12
plain, drifted = [], []
for i in range(N):
    v = star_field(rng, H, W, 0, 0)
    v[rng.random((H, W)) < 0.02] += 30000  # hot pixels for the clipping
    name = f"p{i:02d}.fits"
    if i == 3:  # scaled, with blank pixels
        raw = np.rint((v - 1000) * 2).astype(np.int16)
        raw[rng.random((H, W)) < 0.05] = -32768
        hdu = fits.PrimaryHDU(raw)
        hdu.header["BSCALE"] = 0.5
        hdu.header["BZERO"] = 1000.0
        hdu.header["BLANK"] = -32768
        hdu.writeto(name)
    elif i == 6:  # floats with NaN gaps
        v = v + rng.uniform(-0.5, 0.5, (H, W))
        v[rng.random((H, W)) < 0.04] = np.nan
        fits.writeto(name, v.astype(np.float32))
    elif i == 9:  # taller and narrower than the first: placed by the resampling path
        fits.writeto(name, np.rint(star_field(rng, H + 6, W - 4, 0, 0)).astype(np.uint16))
    else:
        hdu = fits.PrimaryHDU(np.rint(v).astype(np.uint16))
        hdu.header["OBJECT"] = "field"
        hdu.header["FILTER"] = "R"
        hdu.writeto(name)
    plain.append(name)
    # Drifted frames for the alignment: whole and sub-pixel shifts.
    d = star_field(rng, H, W, (i % 4) * 0.7 - 1.1, (i % 3) * 1.3 - 1.4)
    name = f"d{i:02d}.fits"
    fits.writeto(name, np.rint(d).astype(np.uint16))
    drifted.append(name)

# Uneven bands, and one band of a single row.
BANDS = ["1:20", "21:21", "22:47", "48:64"]


def split(opts, files, prefix):
    parts = []
    for k, rows in enumerate(BANDS):
        part = f"{prefix}-part{k}.fits"
        run(["stack"] + opts + ["--rows", rows, "-o", part] + files)
        parts.append(part)
    return parts


def check_split(label, opts, files, whole_opts=None):
    """The whole stack with whole_opts (opts by default) against the bands of opts."""
    whole = f"{label}-whole.fits"
    joined = f"{label}-joined.fits"
    run(["stack"] + (whole_opts or opts) + ["-o", whole] + files)
    parts = split(opts, files, label)
    run(["join"] + parts[::-1] + ["-o", joined])  # any order
    if not (os.path.exists(whole) and os.path.exists(joined)):
        fail(f"{label}: nothing to compare")
        return
    if not same_fits.same(whole, joined):
        fail(f"{label}: the joined stack is not the whole stack")
    elif label == "median":
        # The part holds its rows (before the 16-bit stack rounds them) where a viewer
        # shows them.
        got = np.rint(fits.getdata(parts[2]).astype(np.float64))
        want = fits.getdata(whole).astype(np.float64)[21:47]
        if not np.array_equal(got, want):
            fail("median: part 22:47 does not hold rows 22 to 47 of the stack")


for bottom_up in ("1", "0"):
    run(["settings", "set", "IO", "FitsBottomUp", bottom_up])
    tag = "" if bottom_up == "1" else "-topdown"
    check_split("median" + tag, ["--method", "median"], plain)
    check_split("average" + tag, ["--method", "average"], plain)
    check_split("clipmedian" + tag, ["--method", "median", "--clip"], plain)
    check_split("clipaverage" + tag, ["--method", "average", "--clip"], plain)
    check_split("clipadd" + tag, ["--method", "add", "--clip", "--bits", "-32"], plain)

    # Aligned: the shifts measured once; the median measured alone gives the same file as
    # the median stack measuring them on its way.
    for method in ("median", "average"):
        for align in ("match", "centroid"):
            label = f"{method}-{align}{tag}"
            opts = ["--method", method, "--align", align]
            run(["stack"] + opts + ["--shifts-out", f"{label}.txt"] + drifted)
            run(["stack"] + opts + ["--shifts-out", f"{label}-run.txt", "-o", f"{label}-run.fits"]
                + drifted)
            measured = [ln.split()[1:4] for ln in open(f"{label}.txt") if not ln.startswith("#")]
            if len(measured) != N or all(m == ["0", "0", "0"] for m in measured):
                fail(f"{label}: no shifts measured: {measured[:3]}")
            if method == "median" and open(f"{label}.txt").read() != open(f"{label}-run.txt").read():
                fail(f"{label}: the shifts measured alone differ from the stack's own")
            given = opts + ["--shifts-in", f"{label}-run.txt"]
            check_split(label, given, drifted, whole_opts=opts)

    # A turn and a shift written by hand, for both paths.
    with open("turned.txt", "w") as f:
        f.write("# hand-written\n")
        for i, name in enumerate(drifted):
            f.write(f"{i + 1} {0.37 * i - 2:.3f} {1.9 - 0.41 * i:.3f} {0.8 * (i % 5) - 1.6:.2f}"
                    f" {0 if i == 4 else 1} {name}\n")
    for method in ("median", "add"):
        opts = ["--method", method, "--align", "match", "--shifts-in", "turned.txt"]
        # Frame 5 is given as not placed: the whole stack refuses, and so does its band.
        run(["stack"] + opts + ["-o", "refused.fits"] + drifted, expect=1)
        run(["stack"] + opts + ["--rows", "1:10", "-o", "refused-part.fits"] + drifted, expect=1)
        if os.path.exists("refused.fits") or os.path.exists("refused-part.fits"):
            fail(f"turned {method}: a stack with a frame not placed was written")
    with open("turned.txt") as f:
        text = f.read().replace(" 0 d04.fits", " 1 d04.fits")
    with open("turned.txt", "w") as f:
        f.write(text)
    for method in ("median", "add"):
        check_split(f"turned-{method}{tag}",
                    ["--method", method, "--align", "match", "--shifts-in", "turned.txt"], drifted)

# Parts made with rows held top-down do not join parts made bottom-up.
topdown = split(["--method", "median"], plain, "u")
run(["settings", "set", "IO", "FitsBottomUp", "1"])

# Refusals: nothing written, the reason named.
parts = split(["--method", "median"], plain, "r")
other = split(["--method", "average"], plain, "s")
fewer = split(["--method", "median"], plain[:-1], "t")
run(["stack", "--method", "median", "--rows", "15:30", "-o", "overlap.fits"] + plain)
for label, args, words in (
        ("gap", [parts[0], parts[1], parts[3]], "rows 22 to 47 are in no part"),
        ("end", parts[:3], "rows 48 to 64 are in no part"),
        ("overlap", parts + ["overlap.fits"], "more than one part"),
        ("twice", parts + [parts[1]], "more than one part"),
        ("settings", parts[:2] + other[2:], "differ in the settings"),
        ("row order", parts[:2] + topdown[2:], "differ in the settings"),
        ("inputs", parts[:2] + fewer[2:], "differ in the files stacked"),
        ("no part", parts[:3] + [plain[0]], "is not a part"),
):
    p = run(["join"] + args + ["-o", "refused.fits"], expect=1)
    if words not in p.stderr:
        fail(f"join {label}: the message does not say '{words}': {p.stderr.strip()}")
    if os.path.exists("refused.fits"):
        fail(f"join {label}: a file was written")
        os.remove("refused.fits")

# Misuse: rows beyond the stack, in the wrong order; aligned bands without shifts given;
# a shifts file of other files.
for args in (["--method", "median", "--rows", "60:70"],
             ["--method", "median", "--rows", "9:3"],
             ["--method", "median", "--align", "match", "--rows", "1:9"],
             ["--method", "median", "--json", "--rows", "1:9"]):
    run(["stack"] + args + ["-o", "misuse.fits"] + plain, expect=2)
run(["stack", "--method", "median", "--align", "match", "--shifts-in", "turned.txt", "-o",
     "misuse.fits"] + plain, expect=2)
if os.path.exists("misuse.fits"):
    fail("a misused stack wrote its output")

print("stack --rows and join:", "all checks passed" if failures == 0 else f"{failures} failures")
sys.exit(1 if failures else 0)
