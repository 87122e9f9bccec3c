#!/usr/bin/python3
"""vantorel-cli profile and crop against their peers.

profile: every value printed equals scipy's map_coordinates (order 1, edges held as
'nearest' does, which is the profile's clamping) at the sample points the profile rule
gives, averaged across the line for bands, to 1e-6 relative; the printed positions are
those points. Lines run diagonal, steep, past the image edges and reversed, with widths
1 to 7, on a float image and on a scaled 16-bit one, with FITS rows bottom-up (the
default) and top-down.

A spectrum's wavelength column equals astropy's at the same points.

crop: astropy's world coordinates (TAN with SIP) of the output's pixel (1, 1) equal those
of the input's first kept pixel, the pixels are the input's, the original size is kept in
commented cards, and fitsverify passes the file.
Exits 77 when numpy, scipy or astropy is missing.
"""
import os
import subprocess
import sys
import tempfile

try:
    import numpy as np
    from astropy.io import fits
    from astropy.wcs import WCS
    from scipy.ndimage import map_coordinates
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

CLI = os.path.realpath(sys.argv[1])
failures = []


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def run(*args, ok=True):
    r = subprocess.run([CLI, *args], capture_output=True, text=True, timeout=60)
    if ok and r.returncode != 0:
        fail(f"{args} exited {r.returncode}: {r.stderr}")
    return r


def expected_profile(data, x1, y1, x2, y2, width):
    """The samples by the profile rule, in FITS pixels; data is indexed [y - 1, x - 1]."""
    h, w = data.shape
    x1, x2 = np.clip([x1, x2], 1, w)
    y1, y2 = np.clip([y1, y2], 1, h)
    dx, dy = x2 - x1, y2 - y1
    n = int(max(abs(dx) + 0.001, abs(dy) + 0.001)) * 4 + 1
    length = np.hypot(dx, dy)
    nx, ny = (-dy / length, dx / length) if length > 0 else (0.0, 0.0)
    t = np.arange(n) / (n - 1) if n > 1 else np.zeros(1)
    cx, cy = (1 - t) * x1 + t * x2, (1 - t) * y1 + t * y2
    wi = int(width)
    if wi <= 1:
        offsets = [0.0]
    elif wi % 2:
        offsets = [0.0] + [s * k for k in range(1, wi // 2 + 1) for s in (1, -1)]
    else:
        offsets = [s * (k - 0.5) for k in range(1, wi // 2 + 1) for s in (1, -1)]
    values = np.zeros(n)
    for o in offsets:
        coords = np.array([cy - 1 + o * ny, cx - 1 + o * nx])
        values += map_coordinates(data.astype(np.float64), coords, order=1, mode="nearest")
    return cx, cy, values / len(offsets)


def parse_csv(text):
    lines = text.splitlines()
    if lines[0] != '"X座標","Y座標","カウント値"':
        fail(f"CSV heading {lines[0]!r}")
    return np.array([[float(v) for v in line.split(",")] for line in lines[1:]])


def check_profiles(work, name, data, physical):
    cases = [
        ((3, 4), (40, 29), 1),     # diagonal
        ((10, 2), (14, 30), 2),    # steep, even width
        ((50, 20), (5, 20), 3),    # right to left
        ((-5, -3), (70, 60), 1),   # past every edge: clamped
        ((2, 2), (2, 2), 1),       # a point
        ((8, 30), (45, 6), 7),     # a wide band, reaching past the top
        ((1.5, 3.25), (33.75, 17.5), 4),
    ]
    for (x1, y1), (x2, y2), width in cases:
        args = ["profile", name, f"{x1},{y1}", f"{x2},{y2}", "--csv"]
        if width != 1:
            args += ["--width", str(width)]
        r = run(*args)
        if r.returncode:
            continue
        got = parse_csv(r.stdout)
        cx, cy, want = expected_profile(physical, x1, y1, x2, y2, width)
        what = f"{os.path.basename(name)} {x1},{y1} {x2},{y2} w{width}"
        if got.shape[0] != len(want):
            fail(f"{what}: {got.shape[0]} rows, expected {len(want)}")
            continue
        if not (np.allclose(got[:, 0], cx, atol=0.051) and np.allclose(got[:, 1], cy, atol=0.051)):
            fail(f"{what}: positions differ")
        if not np.allclose(got[:, 2], want, rtol=1e-6, atol=1e-6):
            worst = np.max(np.abs(got[:, 2] - want) / np.maximum(np.abs(want), 1e-12))
            fail(f"{what}: values differ (worst relative {worst:.3g})")


def main():
    work = tempfile.mkdtemp()
    os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
    rng = np.random.default_rng(7)
    h, w = 37, 53
    yy, xx = np.mgrid[0:h, 0:w]
    star = 5000 * np.exp(-((xx - 20.3) ** 2 + (yy - 15.7) ** 2) / 6.0)
    data = (300 + star + rng.normal(0, 20, (h, w))).astype(np.float32)
    fits.PrimaryHDU(data).writeto(os.path.join(work, "f.fits"))
    ints = np.round(rng.uniform(-30000, 30000, (h, w))).astype(np.int16)
    hdu = fits.PrimaryHDU(ints)
    hdu.header["BSCALE"] = 0.5
    hdu.header["BZERO"] = 1000.0
    hdu.writeto(os.path.join(work, "i.fits"))
    physical_ints = ints.astype(np.float64) * 0.5 + 1000.0

    for bottom_up in ("1", "0"):
        run("settings", "set", "IO", "FitsBottomUp", bottom_up)
        check_profiles(work, os.path.join(work, "f.fits"), data, data.astype(np.float64))
        check_profiles(work, os.path.join(work, "i.fits"), ints, physical_ints)

    # The text form: heading, rule and a row per sample.
    r = run("profile", os.path.join(work, "f.fits"), "1,1", "11,1")
    lines = r.stdout.splitlines()
    if len(lines) != 43 or lines[1] != "------ ------ --------------------":
        fail(f"text form of a 10-pixel line: {len(lines)} lines")
    r = run("profile", os.path.join(work, "f.fits"), "1,1", "11", ok=False)
    if r.returncode != 2:
        fail("a malformed end point was not refused as misuse")

    # A spectrum along x: the physical column equals astropy's wavelength at the points.
    spectrum = fits.Header()
    for k, v in [("CTYPE1", "WAVE"), ("CUNIT1", "Angstrom"), ("CRPIX1", 12.5),
                 ("CRVAL1", 5000.0), ("CDELT1", 1.25), ("CRPIX2", 1.0), ("CRVAL2", 0.0),
                 ("CDELT2", 1.0), ("PC1_1", 1.0), ("PC2_2", 1.0)]:
        spectrum[k] = v
    fits.PrimaryHDU(data, spectrum).writeto(os.path.join(work, "s.fits"))
    spectrum = fits.getheader(os.path.join(work, "s.fits"))
    run("settings", "set", "IO", "FitsBottomUp", "1")
    r = run("profile", os.path.join(work, "s.fits"), "3,4", "40,29", "--csv")
    if r.returncode == 0:
        lines = r.stdout.splitlines()
        if lines[0] != '"X座標","Y座標","波長 [Angstrom]","カウント値"':
            fail(f"spectral CSV heading {lines[0]!r}")
        got = np.array([[float(v) for v in line.split(",")] for line in lines[1:]])
        cx, cy, want = expected_profile(data.astype(np.float64), 3, 4, 40, 29, 1)
        ws = WCS(spectrum)
        wave = ws.all_pix2world(np.column_stack([cx, cy]), 1)[:, 0]
        from astropy import units as u
        wave = (wave * u.Unit(ws.wcs.cunit[0])).to_value(u.AA)
        if not np.allclose(got[:, 2], wave, rtol=0, atol=1e-6):
            fail("spectral values differ from astropy's")
        if not np.allclose(got[:, 3], want, rtol=1e-6, atol=1e-6):
            fail("spectral profile values differ")

    # ---- crop
    hdr = fits.Header()
    for k, v in [("CTYPE1", "RA---TAN-SIP"), ("CTYPE2", "DEC--TAN-SIP"), ("CRPIX1", 25.5),
                 ("CRPIX2", 18.25), ("CRVAL1", 150.0), ("CRVAL2", 30.0),
                 ("CD1_1", -1e-4), ("CD1_2", 2e-5), ("CD2_1", 1e-5), ("CD2_2", 1e-4),
                 ("A_ORDER", 2), ("B_ORDER", 2), ("A_2_0", 3e-5), ("A_1_1", -2e-5),
                 ("B_0_2", 4e-5), ("B_1_1", 1e-5)]:
        hdr[k] = v
    src = os.path.join(work, "w.fits")
    fits.PrimaryHDU(data, hdr).writeto(src)
    before = WCS(fits.getheader(src))
    for bottom_up, rng_text, first in (("1", "5,30,20,3", (5, 3)), ("0", "5,30,3,20", (5, 3)),
                                       ("0", "1,53,1,37", (1, 1)), ("0", "53,53,1,37", None),
                                       ("1", "5,30,3,20", None)):
        run("settings", "set", "IO", "FitsBottomUp", bottom_up)
        out = os.path.join(work, f"c{bottom_up}-{rng_text.replace(',', '_')}.fits")
        r = run("crop", src, out, rng_text, ok=first is not None)
        if first is None:
            want = "x1 は x2 より小さな値" if bottom_up == "0" else "y1 は y2 より大きな値"
            if r.returncode != 1 or want not in r.stderr or os.path.exists(out):
                fail(f"crop {rng_text} (bottom-up {bottom_up}) not refused: {r.stderr}")
            continue
        if r.returncode:
            continue
        with fits.open(out) as f:
            got, header = f[0].data, f[0].header
        x1, x2, y1, y2 = (int(v) for v in rng_text.split(","))
        ylo, yhi = min(y1, y2), max(y1, y2)
        if not np.array_equal(got, data[ylo - 1:yhi, x1 - 1:x2]):
            fail(f"crop {rng_text}: pixels differ")
        after = WCS(header)
        a = before.all_pix2world([first], 1)[0]
        b = after.all_pix2world([[1, 1]], 1)[0]
        # The same sky to well under a milliarcsecond.
        if not np.allclose(a, b, rtol=0, atol=1e-10):
            fail(f"crop {rng_text}: pixel (1, 1) at {b}, the input's {first} at {a}")
        corner = [x2 - x1 + 1, yhi - ylo + 1]
        a = before.all_pix2world([[x2, yhi]], 1)[0]
        b = after.all_pix2world([corner], 1)[0]
        if not np.allclose(a, b, rtol=0, atol=1e-10):
            fail(f"crop {rng_text}: far corner moved")
        cropped = (x2 - x1 + 1, yhi - ylo + 1) != (w, h)
        comments = "\n".join(str(c) for c in header.get("COMMENT", []))
        if cropped and f"NAXIS1  = {w:20d}" not in comments:
            fail(f"crop {rng_text}: original width not kept as a comment")
        v = subprocess.run(["fitsverify", "-q", "-e", out], capture_output=True, text=True)
        if v.returncode != 0 or "verification OK" not in v.stdout:
            fail(f"crop {rng_text}: fitsverify: {v.stdout}{v.stderr}")

    print(f"{len(failures)} failure(s)")
    sys.exit(1 if failures else 0)


main()
