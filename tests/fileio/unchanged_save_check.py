#!/usr/bin/python3
"""Files for unchanged_save_test and the checks of what it saved, by astropy and numpy.

  make DIR          writes the source files into DIR
  same A B          the data of A and B are equal (physical values, NaN where blank)
  flipped A B       the data of B are those of A mirrored top to bottom
"""
import sys
import warnings

import numpy as np
from astropy.io import fits

warnings.simplefilter("ignore")


def make(folder):
    rng = np.random.default_rng(7)
    # Unsigned 16-bit sky, stored with BZERO 32768.
    u16 = rng.integers(0, 65536, (37, 53), dtype=np.uint16)
    fits.PrimaryHDU(u16).writeto(f"{folder}/scaled16.fits", overwrite=True)
    # Signed 16-bit with a scale, an offset and blank pixels.
    i16 = rng.integers(-32000, 32000, (40, 31), dtype=np.int16)
    i16[3, 4] = i16[20, 0] = i16[39, 30] = -32768
    h = fits.PrimaryHDU(i16)
    h.header["BSCALE"] = 0.5
    h.header["BZERO"] = 100.0
    h.header["BLANK"] = -32768
    h.writeto(f"{folder}/blank16.fits", overwrite=True)
    # A blank value declared that no pixel holds.
    i16b = rng.integers(-1000, 1000, (12, 17), dtype=np.int16)
    h = fits.PrimaryHDU(i16b)
    h.header["BLANK"] = 32767
    h.writeto(f"{folder}/blankfree16.fits", overwrite=True)
    # Bytes, no scaling.
    fits.PrimaryHDU(rng.integers(0, 256, (21, 19), dtype=np.uint8)).writeto(
        f"{folder}/plain8.fits", overwrite=True)
    # 32-bit integers with a scale floats cannot hold: the image takes doubles.
    i32 = rng.integers(-2**31, 2**31 - 1, (9, 14), dtype=np.int32)
    h = fits.PrimaryHDU(i32)
    h.header["BSCALE"] = 0.25
    h.header["BZERO"] = 3.0
    h.writeto(f"{folder}/scaled32.fits", overwrite=True)
    # Three planes of 16 bits.
    fits.PrimaryHDU(rng.integers(0, 4000, (3, 15, 22), dtype=np.int16)).writeto(
        f"{folder}/cube16.fits", overwrite=True)


def data(path):
    with fits.open(path) as f:
        return np.asarray(f[0].data, dtype=np.float64)


def main():
    what = sys.argv[1]
    if what == "make":
        make(sys.argv[2])
        return 0
    a, b = data(sys.argv[2]), data(sys.argv[3])
    if what == "flipped":
        a = a[..., ::-1, :]
    if a.shape != b.shape or not np.array_equal(a, b, equal_nan=True):
        print(f"{what}: {sys.argv[2]} {sys.argv[3]} differ")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
