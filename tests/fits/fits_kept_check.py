#!/usr/bin/python3
"""Checks with astropy that our plain save of a FITS file kept its extensions.

  fits_kept_check.py SOURCE COPY ORDER PLANES

ORDER lists, for each extension of COPY in turn, the index of the HDU of SOURCE it must
equal; PLANES lists the planes of SOURCE's primary array that COPY's primary array holds.
The copy must have as many HDUs as the source, EXTEND true, the same primary data, and
each extension of the same kind with the same cards and the same data, variable-length
arrays included. Exit status 0 when all agree, 1 with one line per disagreement.
"""
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")
from astropy.io import fits  # noqa: E402

failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
    return ok


def same_column(a, b):
    if a.dtype == object or b.dtype == object:  # variable-length arrays: one array per row
        return len(a) == len(b) and all(np.array_equal(x, y) for x, y in zip(a, b))
    return np.array_equal(a, b)


def main():
    source, copy = sys.argv[1], sys.argv[2]
    order = [int(i) for i in sys.argv[3].split(",") if i]
    planes = [int(p) for p in sys.argv[4].split(",")]
    with fits.open(source, do_not_scale_image_data=True) as src, \
            fits.open(copy, do_not_scale_image_data=True) as out:
        check(len(out) == len(src), f"{len(out)} HDUs, the source has {len(src)}")
        check(out[0].header.get("EXTEND") is True, "EXTEND is not T")
        data = src[0].data if src[0].data.ndim == 2 else src[0].data[planes]
        if len(planes) == 1 and data.ndim == 3:
            data = data[0]
        check(np.array_equal(out[0].data, data), "primary data differ")
        for i, j in enumerate(order, start=1):
            if not check(i < len(out) and j < len(src), f"HDU {i} or source HDU {j} missing"):
                continue
            a, b = out[i], src[j]
            where = f"HDU {i} ({b.name})"
            check([c.image for c in a.header.cards] == [c.image for c in b.header.cards],
                  f"{where}: cards differ")
            if not check(type(a) is type(b), f"{where}: {type(a).__name__} != {type(b).__name__}"):
                continue
            if isinstance(b, (fits.BinTableHDU, fits.TableHDU)):
                if not check(a.columns.names == b.columns.names, f"{where}: columns differ"):
                    continue
                for name in b.columns.names:
                    check(same_column(a.data[name], b.data[name]), f"{where}: column {name}")
            else:
                check(np.array_equal(a.data, b.data), f"{where}: data differ")
    for f in failures:
        print("MISMATCH:", f)
    print(f"{len(order)} extension(s) checked")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
