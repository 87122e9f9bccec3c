#!/usr/bin/python3
"""Checks with astropy.wcs that mirrored world coordinates keep the sky under each pixel.

Usage: wcs_mirror_check.py DIR

DIR/cases.txt has one line per case: NAME AXIS WIDTH HEIGHT. DIR/NAME.before.hdr and
DIR/NAME.after.hdr hold the headers (one card a line) of the image before and after the
mirror of FITS axis AXIS (1 left-right, 2 top-bottom). For every pixel, the world
position before must equal the world position of its mirrored pixel after, to 1e-9
degrees. When the header has SIP inverse terms (AP_ORDER), the focal-plane to pixel
polynomial must commute with the mirror as well, to 1e-9 pixels.

Prints "ok NAME" for each case that agrees, "fail NAME: reason" otherwise; exit status 0
when every case agrees.
"""
import os
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")
from astropy.io import fits  # noqa: E402
from astropy.wcs import WCS  # noqa: E402

TOLERANCE_DEG = 1e-9
TOLERANCE_PIX = 1e-9


def header(path):
    with open(path, encoding="ascii") as f:
        return fits.Header.fromstring(f.read(), sep="\n")


def check_case(directory, name, axis, width, height):
    before = WCS(header(os.path.join(directory, name + ".before.hdr")))
    after = WCS(header(os.path.join(directory, name + ".after.hdr")))
    y, x = np.mgrid[0:height, 0:width].astype(float)
    x, y = x.ravel(), y.ravel()
    mx, my = (width - 1 - x, y) if axis == 1 else (x, height - 1 - y)
    ra0, dec0 = before.all_pix2world(x, y, 0)
    ra1, dec1 = after.all_pix2world(mx, my, 0)
    worst = max(np.max(np.abs(ra1 - ra0)), np.max(np.abs(dec1 - dec0)))
    if not worst <= TOLERANCE_DEG:
        i = int(np.argmax(np.abs(ra1 - ra0) + np.abs(dec1 - dec0)))
        return (f"sky moved by up to {worst:.3g} deg; pixel ({x[i]:.0f}, {y[i]:.0f}): "
                f"({ra0[i]!r}, {dec0[i]!r}) became ({ra1[i]!r}, {dec1[i]!r})")
    if before.sip is not None and before.sip.ap is not None:
        # Offsets in the focal plane, mirrored with the pixels; foc2pix answers 1-based
        # pixels, whose mirror is n + 1 - p.
        focal = np.column_stack([x - width / 2, y - height / 2])
        mirrored = focal.copy()
        mirrored[:, axis - 1] = -mirrored[:, axis - 1]
        p0 = before.sip.foc2pix(focal, 1)
        p1 = after.sip.foc2pix(mirrored, 1)
        n = width if axis == 1 else height
        p0[:, axis - 1] = n + 1 - p0[:, axis - 1]
        worst = np.max(np.abs(p1 - p0))
        if not worst <= TOLERANCE_PIX:
            return f"inverse polynomial differs by up to {worst:.3g} px"
    return None


def main():
    directory = sys.argv[1]
    failed = False
    with open(os.path.join(directory, "cases.txt"), encoding="ascii") as f:
        for line in f:
            name, axis, width, height = line.split()
            try:
                problem = check_case(directory, name, int(axis), int(width), int(height))
            except Exception as e:  # a header astropy refuses is a failure of the case
                problem = f"{type(e).__name__}: {e}"
            if problem:
                failed = True
                print(f"fail {name}: {problem}")
            else:
                print(f"ok {name}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
