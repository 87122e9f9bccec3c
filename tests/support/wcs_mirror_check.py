#!/usr/bin/python3
"""Checks with astropy.wcs that mirrored world coordinates keep the sky under each pixel.

Usage: wcs_mirror_check.py CASES

CASES has one line per case: NAME AXIS BEFORE AFTER. BEFORE and AFTER are the image
before and after the mirror of FITS axis AXIS (1 left-right, 2 top-bottom), each either
a FITS file or a header (one card a line, the name ending in .hdr). For every pixel, the
world position before must equal the world position of its mirrored pixel after, to
1e-9 degrees. When the header has SIP inverse terms (AP_ORDER), the focal-plane to pixel
polynomial must commute with the mirror as well, to 1e-9 pixels. When both are FITS
files, the data after must be the data before, mirrored, value for value.

Prints "ok NAME" for each case that agrees, "fail NAME: reason" otherwise; exit status 0
when every case agrees.
"""
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")
from astropy.io import fits  # noqa: E402
from astropy.wcs import WCS  # noqa: E402

TOLERANCE_DEG = 1e-9
TOLERANCE_PIX = 1e-9


def load(path):
    """The header and, for a FITS file, the data of the primary array."""
    if path.endswith(".hdr"):
        with open(path, encoding="ascii") as f:
            return fits.Header.fromstring(f.read(), sep="\n"), None
    with fits.open(path) as hdul:
        return hdul[0].header, hdul[0].data.astype(np.float64)


def check_case(axis, before_path, after_path):
    before_header, before_data = load(before_path)
    after_header, after_data = load(after_path)
    width, height = before_header["NAXIS1"], before_header["NAXIS2"]
    if (after_header["NAXIS1"], after_header["NAXIS2"]) != (width, height):
        return "the size changed"
    if before_data is not None and after_data is not None:
        # numpy indexes [row, column]: FITS axis 1 is the last index.
        mirrored = np.flip(before_data, axis=1 if axis == 1 else 0)
        if not np.array_equal(after_data, mirrored, equal_nan=True):
            return f"{int(np.sum(after_data != mirrored))} pixels are not the mirrored ones"

    before, after = WCS(before_header), WCS(after_header)
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
        flipped = focal.copy()
        flipped[:, axis - 1] = -flipped[:, axis - 1]
        p0 = before.sip.foc2pix(focal, 1)
        p1 = after.sip.foc2pix(flipped, 1)
        n = width if axis == 1 else height
        p0[:, axis - 1] = n + 1 - p0[:, axis - 1]
        worst = np.max(np.abs(p1 - p0))
        if not worst <= TOLERANCE_PIX:
            return f"inverse polynomial differs by up to {worst:.3g} px"
    return None


def main():
    failed = False
    with open(sys.argv[1], encoding="utf-8") as f:
        for line in f:
            name, axis, before, after = line.split()
            try:
                problem = check_case(int(axis), before, after)
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
