# The display bytes a blink frame must show, computed with numpy from the raw float32
# pixels of the window's image and of the frame: the frame's pixels where it has values,
# mapped with the frame's own display levels; the window's pixels elsewhere, mapped with
# the window's levels. Byte of v with levels lo, hi: 0 at or below lo (and NaN), 255 at or
# above hi, else floor((v - lo) * 255 / (hi - lo)) kept at or below 254.
# Usage: blink_oracle.py base.raw bw bh blo bhi frame.raw fw fh flo fhi out.raw
import sys

import numpy as np


def display(v, lo, hi):
    v = v.astype(np.float64)
    out = np.zeros(v.shape, dtype=np.uint8)
    with np.errstate(invalid="ignore"):
        mid = (v > lo) & (v < hi)
        out[mid] = np.minimum(np.floor((v[mid] - lo) * 255.0 / (hi - lo)), 254)
        out[v >= hi] = 255
    return out


def main():
    a = sys.argv
    bw, bh, fw, fh = int(a[2]), int(a[3]), int(a[7]), int(a[8])
    base = np.fromfile(a[1], dtype="<f4").reshape(bh, bw)
    frame = np.fromfile(a[6], dtype="<f4").reshape(fh, fw)
    shown = display(base, float(a[4]), float(a[5]))
    h, w = min(bh, fh), min(bw, fw)
    part = frame[:h, :w]
    mine = display(part, float(a[9]), float(a[10]))
    has = np.isfinite(part)
    shown[:h, :w][has] = mine[has]
    shown.tofile(a[11])


main()
