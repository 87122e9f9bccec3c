#!/usr/bin/python3
"""World coordinates through every vantorel-cli operation that moves pixels, judged by
astropy.

For each operation (quarter turns both ways, the half turn, free turns with and without
a fixed size, both mirrors, resampling, scrolling, crop) and each form of the linear
matrix (CD, PC with CDELT, CDELT alone, CROTA2 with CDELT, CD with SIP distortion, and a
zenithal polynomial projection whose parameters include PV2_0), on
files whose rows are read bottom-up (the default) and top-down: a star's new pixel,
computed here from the operation's own geometry (not from the program), must carry the
same sky in astropy's reading of the output as its old pixel carried in the input, to
0.02 px (astropy's world2pix of the old sky lands on the predicted pixel). The pixels
are checked too where they move whole (a marked pixel lands where predicted).

The program's dialogs are judged by the same rule: "--make DIR" writes the input files,
"--pair FORM OLD NEW OP BOTTOM_UP" checks one output the program saved (OP one of the
operations below, or of WINDOW_OPS, which move pixels as the window's dialogs are set).

Exits 77 when numpy or astropy is missing.
"""
import math
import os
import subprocess
import sys
import tempfile

try:
    import numpy as np
    from astropy.io import fits
    from astropy.wcs import WCS, FITSFixedWarning
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

import warnings

warnings.simplefilter("ignore", FITSFixedWarning)

CLI = os.path.realpath(sys.argv[1]) if not sys.argv[1].startswith("--") else None
W, H = 61, 44
failures = []


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def run(*args):
    r = subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=120)
    if r.returncode != 0:
        fail(f"{args} exited {r.returncode}: {r.stderr}")
    return r


def header_for(form):
    h = fits.Header()
    h["CTYPE1"], h["CTYPE2"] = "RA---TAN", "DEC--TAN"
    h["CRVAL1"], h["CRVAL2"] = 150.2, 2.3
    h["CRPIX1"], h["CRPIX2"] = 23.5, 17.25
    if form == "CD":
        h["CD1_1"], h["CD1_2"], h["CD2_1"], h["CD2_2"] = -2.0e-4, 5.0e-5, 4.0e-5, 2.1e-4
    elif form == "PC":
        h["CDELT1"], h["CDELT2"] = -2.0e-4, 2.2e-4
        h["PC1_1"], h["PC1_2"], h["PC2_1"], h["PC2_2"] = 0.95, 0.3, -0.25, 1.02
    elif form == "CDELT":
        h["CDELT1"], h["CDELT2"] = -2.0e-4, 2.5e-4
    elif form == "CROTA":
        h["CDELT1"], h["CDELT2"] = -2.0e-4, 2.4e-4
        h["CROTA2"] = 17.0
    elif form == "ZPN":
        # A zenithal polynomial whose constant term (PV2_0) opens a hole of 5e-6 rad round
        # the reference point: left out, every star moves by more than a pixel.
        h["CTYPE1"], h["CTYPE2"] = "RA---ZPN", "DEC--ZPN"
        h["CD1_1"], h["CD1_2"], h["CD2_1"], h["CD2_2"] = -2.0e-4, 2.0e-5, 3.0e-5, 2.0e-4
        h["PV2_0"], h["PV2_1"], h["PV2_3"] = 5.0e-6, 1.0, 0.3
    elif form == "SIP":
        h["CTYPE1"], h["CTYPE2"] = "RA---TAN-SIP", "DEC--TAN-SIP"
        h["CD1_1"], h["CD1_2"], h["CD2_1"], h["CD2_2"] = -2.0e-4, 3.0e-5, 2.0e-5, 2.0e-4
        h["A_ORDER"], h["B_ORDER"] = 2, 2
        h["A_2_0"], h["A_1_1"], h["A_0_2"] = 2.0e-4, -1.5e-4, 1.0e-4
        h["B_2_0"], h["B_1_1"], h["B_0_2"] = -1.0e-4, 2.5e-4, 1.5e-4
    return h


def to_memory(x, y, h, bottom_up):
    """FITS pixel (1-based) → stored position (0-based, row 0 first)."""
    return x - 1.0, (h - y) if bottom_up else (y - 1.0)


def to_fits(x, y, h, bottom_up):
    return x + 1.0, (h - y) if bottom_up else (y + 1.0)


def turned_size(angle, fixed):
    if fixed:
        return W, H
    c, s = abs(math.cos(math.radians(angle))), abs(math.sin(math.radians(angle)))
    return max(1, int(c * W + s * H + 0.5 - 1e-9)), max(1, int(s * W + c * H + 0.5 - 1e-9))


def turn(angle, fixed):
    """Counterclockwise as shown: row 0 at the top, y growing downward on the screen."""
    nw, nh = turned_size(angle, fixed)
    c, s = math.cos(math.radians(angle)), math.sin(math.radians(angle))

    def f(x, y):
        u, v = x - (W - 1) / 2, y - (H - 1) / 2
        return c * u + s * v + (nw - 1) / 2, -s * u + c * v + (nh - 1) / 2

    return (nw, nh), f


# Each operation: its arguments, the new size, the map of stored positions, and whether
# pixels move whole. Maps take and give stored positions except "fits" ones, which work
# in FITS pixels (the scroll and the crop are given as the information bar counts).
OPS = {
    "rotate 90": (["rotate", "{in}", "{out}", 90], (H, W), lambda x, y: (y, W - 1 - x), True),
    "rotate -90": (["rotate", "{in}", "{out}", -90], (H, W), lambda x, y: (H - 1 - y, x), True),
    "rotate 180": (["rotate", "{in}", "{out}", 180], (W, H),
                   lambda x, y: (W - 1 - x, H - 1 - y), True),
    "rotate 30": (["rotate", "{in}", "{out}", 30], *turn(30, False), False),
    "rotate -117 fixed": (["rotate", "{in}", "{out}", -117, "--fixed-size"], *turn(-117, True),
                          False),
    "flip horizontal": (["flip", "{in}", "{out}", "--horizontal"], (W, H),
                        lambda x, y: (W - 1 - x, y), True),
    "flip vertical": (["flip", "{in}", "{out}", "--vertical"], (W, H),
                      lambda x, y: (x, H - 1 - y), True),
    "resample": (["resample", "{in}", "{out}", 97, 30], (97, 30),
                 lambda x, y: ((x + 0.5) * 97 / W - 0.5, (y + 0.5) * 30 / H - 0.5), False),
    "shift": (["shift", "{in}", "{out}", 7, -4], (W, H), ("fits", lambda x, y: (x + 7, y - 4)),
              True),
    # Rows 9 to 40: the crop takes its range as the dialog does, y1 above y2 when rows
    # count from the bottom.
    "crop": (["crop", "{in}", "{out}", "{range}"], (46, 32),
             ("fits", lambda x, y: (x - 4, y - 8)), True),
}

# The scroll dialog as the window tests set it: right 7, and up 5 on the screen (toward
# the first stored row).
WINDOW_OPS = {
    "scroll right 7": (None, (W, H), lambda x, y: (x + 7, y), True),
    "scroll up 5": (None, (W, H), lambda x, y: (x, y - 5), True),
}

# Old FITS pixels standing for stars, away from the edges so that a scroll or a cut
# keeps them.
STARS = [(12.0, 14.0), (30.0, 22.0), (44.0, 30.0), (20.3, 27.6), (38.0, 12.0)]


def check(form, bottom_up, name, work):
    args = OPS[name][0]
    src = os.path.join(work, f"{form}.fits")
    out = os.path.join(work, f"{form}-{bottom_up}-{name.replace(' ', '_')}.fits")
    names = {"in": src, "out": out, "range": "5,50,40,9" if bottom_up else "5,50,9,40"}
    run(*[a.format(**names) if isinstance(a, str) else a for a in args])
    if os.path.exists(out):
        check_pair(form, src, out, name, bottom_up)


def check_pair(form, src, out, name, bottom_up):
    _, (nw, nh), mapping, whole = {**OPS, **WINDOW_OPS}[name]
    with fits.open(src) as f:
        old_wcs, old_data = WCS(f[0].header), f[0].data
    with fits.open(out) as f:
        new_header, new_data = f[0].header, f[0].data
    if new_data.shape != (nh, nw):
        fail(f"{form} bottom_up={bottom_up} {name}: shape {new_data.shape}, want {(nh, nw)}")
        return
    new_wcs = WCS(new_header)
    for x, y in STARS:
        if isinstance(mapping, tuple):
            nx, ny = mapping[1](x, y)
        else:
            mx, my = to_memory(x, y, H, bottom_up)
            nx, ny = to_fits(*mapping(mx, my), nh, bottom_up)
        sky = old_wcs.all_pix2world([[x, y]], 1)
        got = new_wcs.all_world2pix(sky, 1, tolerance=1e-10, maxiter=200)[0]
        if math.hypot(got[0] - nx, got[1] - ny) > 0.02:
            fail(f"{form} bottom_up={bottom_up} {name}: star at {(x, y)} should be at "
                 f"({nx:.3f}, {ny:.3f}), its sky is at ({got[0]:.3f}, {got[1]:.3f})")
        if whole and float(x).is_integer() and float(y).is_integer():
            if new_data[int(round(ny)) - 1, int(round(nx)) - 1] != old_data[int(y) - 1, int(x) - 1]:
                fail(f"{form} bottom_up={bottom_up} {name}: pixel {(x, y)} did not land "
                     f"at ({nx}, {ny})")


FORMS = ["CD", "PC", "CDELT", "CROTA", "ZPN", "SIP"]


def make(work):
    rng = np.random.default_rng(7)
    # Distinct values, so that a pixel is recognised wherever it lands.
    data = rng.permutation(W * H).astype(np.float32).reshape(H, W)
    for form in FORMS:
        fits.PrimaryHDU(data, header_for(form)).writeto(os.path.join(work, f"{form}.fits"),
                                                         overwrite=True)


def main():
    if sys.argv[1] == "--make":
        make(sys.argv[2])
        return 0
    if sys.argv[1] == "--pair":
        form, old, new, name, bottom_up = sys.argv[2:7]
        check_pair(form, old, new, name, int(bottom_up))
        print(f"{name} on {form}: {len(failures)} failures")
        return 1 if failures else 0
    with tempfile.TemporaryDirectory() as work:
        os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
        make(work)
        for bottom_up in (1, 0):
            run("settings", "set", "IO", "FitsBottomUp", bottom_up)
            for form in FORMS:
                for name in OPS:
                    check(form, bottom_up, name, work)
        run("settings", "set", "IO", "FitsBottomUp", 1)
        checks = 2 * len(FORMS) * len(OPS)
    print(f"{checks} operations checked, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
