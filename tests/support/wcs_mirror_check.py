#!/usr/bin/python3
"""astropy.wcs checks that a mirror of FITS axis 1 or 2 keeps the sky under every pixel.

Usage: wcs_mirror_check.py CASES, one case a line: NAME AXIS BEFORE AFTER, each image a
FITS file or a header of one card a line (.hdr). The world position of every pixel
before must be that of its mirrored pixel after (1e-9 deg); with SIP inverse terms the
focal-plane to pixel polynomial must commute with the mirror (1e-9 px); two FITS files
must hold the same data, mirrored. Prints "ok NAME" or "fail NAME: why" for each case.
"""
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")
from astropy.io import fits  # noqa: E402
from astropy.wcs import WCS  # noqa: E402


def load(path):
    if path.endswith(".hdr"):
        with open(path, encoding="ascii") as f:
            return fits.Header.fromstring(f.read(), sep="\n"), None
    with fits.open(path) as hdul:
        return hdul[0].header, hdul[0].data.astype(np.float64)


def problem(axis, before_path, after_path):
    (h0, d0), (h1, d1) = load(before_path), load(after_path)
    w, h = h0["NAXIS1"], h0["NAXIS2"]
    if d0 is not None and not np.array_equal(d1, np.flip(d0, axis=2 - axis)):
        return "the data are not mirrored"  # numpy's last index is FITS axis 1
    wcs0, wcs1 = WCS(h0), WCS(h1)
    y, x = (a.ravel().astype(float) for a in np.mgrid[0:h, 0:w])
    mx, my = (w - 1 - x, y) if axis == 1 else (x, h - 1 - y)
    worst = np.max(np.abs(np.subtract(wcs1.all_pix2world(mx, my, 0),
                                      wcs0.all_pix2world(x, y, 0))))
    if not worst <= 1e-9:
        return f"the sky moved by up to {worst:.3g} deg"
    if wcs0.sip is not None and wcs0.sip.ap is not None:
        focal = np.column_stack([x - w / 2, y - h / 2])
        mirrored = focal * np.where(np.arange(2) == axis - 1, -1.0, 1.0)
        p0, p1 = wcs0.sip.foc2pix(focal, 1), wcs1.sip.foc2pix(mirrored, 1)
        p0[:, axis - 1] = (w if axis == 1 else h) + 1 - p0[:, axis - 1]
        if not np.max(np.abs(p1 - p0)) <= 1e-9:
            return f"the inverse polynomial differs by {np.max(np.abs(p1 - p0)):.3g} px"
    return None


failed = False
with open(sys.argv[1], encoding="utf-8") as cases:
    for line in cases:
        name, axis, before, after = line.split()
        try:
            why = problem(int(axis), before, after)
        except Exception as e:  # a header astropy refuses fails its case
            why = f"{type(e).__name__}: {e}"
        failed = failed or why is not None
        print(f"fail {name}: {why}" if why else f"ok {name}")
sys.exit(1 if failed else 0)
