#!/usr/bin/python3
"""Independent computations for the positioning tests, on a frame of raw float32 samples
(rows from image row 0, NaN for blanks).

detect RAW W H FACTOR L,T,R,B ...
                                peaks by the detection rule (numpy) in each inclusive
                                rectangle, each with the centre of gravity of its 5 x 5 box
                                (photutils centroid_com on the values above the box's
                                minimum): "rectangle px py cx cy" per line
centroid RAW W H CASES          per line "L T R B HW0,HW1,..." of the file CASES:
                                centroid_com over the pixels of the inclusive rectangle
                                whose |dx| <= HW[|dy|] round its middle: "case cx cy"
sep RAW W H THRESH              sep's sources above THRESH times the global background
                                noise: "x y peak" per line
"""
import sys

import numpy as np
from photutils.centroids import centroid_com


def load(path, w, h):
    return np.fromfile(path, dtype="<f4").reshape(h, w)


def com(values, mask):
    """Centre of gravity of the unmasked values above their minimum, as (x, y)."""
    low = np.min(values[~mask])
    weights = np.where(mask, 0.0, values.astype(np.float64) - low)
    return centroid_com(weights, mask=mask)


def detect(a, l, t, r, b, factor):
    h, w = a.shape
    blank = np.isnan(a)
    v = a[~blank].astype(np.float64)
    mean = v.sum() / v.size
    sigma = np.sqrt(((v - mean) ** 2).sum() / v.size)
    top = np.nanmax(a[t:b + 1, l:r + 1].astype(np.float64))
    thr = factor * sigma
    if top - mean < thr:
        thr = top - mean
    # Every box sample, the coordinates clamped into the image.
    pad = np.pad(a, 2, mode="edge")
    lower = np.zeros(a.shape, dtype=np.int32)
    blanks = np.zeros(a.shape, dtype=np.int32)
    for dy in range(5):
        for dx in range(5):
            s = pad[dy:dy + h, dx:dx + w]
            blanks += np.isnan(s)
            with np.errstate(invalid="ignore"):
                lower += s < a
    with np.errstate(invalid="ignore"):
        peak = (~blank) & (a.astype(np.float64) > mean + thr) & (lower > 23 - blanks)
    region = np.zeros(a.shape, dtype=bool)
    region[t:b, l:r] = True
    out = []
    for y, x in zip(*np.nonzero(peak & region)):
        x0, y0, x1, y1 = max(x - 2, 0), max(y - 2, 0), min(x + 2, w - 1), min(y + 2, h - 1)
        box = a[y0:y1 + 1, x0:x1 + 1]
        cx, cy = com(box, np.isnan(box))
        out.append("%d %d %.10f %.10f" % (x, y, x0 + cx, y0 + cy))
    return out


def centroid(a, l, t, r, b, hw):
    box = a[t:b + 1, l:r + 1]
    yy, xx = np.mgrid[t:b + 1, l:r + 1]
    cx, cy = l + (r - l) // 2, t + (b - t) // 2
    dy = np.abs(yy - cy)
    table = np.array(hw + [-1])
    inside = np.abs(xx - cx) <= table[np.minimum(dy, len(hw))]
    mask = ~inside | np.isnan(box)
    x, y = com(box, mask)
    return "%.10f %.10f" % (l + x, t + y)


def run_sep(a, thresh):
    import sep
    data = np.ascontiguousarray(a, dtype=np.float64)
    bkg = sep.Background(data)
    objects = sep.extract(data - bkg.back(), thresh, err=bkg.globalrms)
    return ["%.10f %.10f %.6f" % (o["x"], o["y"], o["peak"]) for o in objects]


def main():
    mode, path, w, h = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    a = load(path, w, h)
    rest = sys.argv[5:]
    lines = []
    if mode == "detect":
        for i, rect in enumerate(rest[1:]):
            l, t, r, b = (int(s) for s in rect.split(","))
            lines += ["%d %s" % (i, line) for line in detect(a, l, t, r, b, float(rest[0]))]
    elif mode == "centroid":
        with open(rest[0]) as f:
            for i, case in enumerate(f):
                l, t, r, b, hw = case.split()
                lines.append("%d %s" % (i, centroid(a, int(l), int(t), int(r), int(b),
                                                     [int(s) for s in hw.split(",")])))
    else:
        lines = run_sep(a, float(rest[0]))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
