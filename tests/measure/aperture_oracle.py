# Pixel counts, totals and standard deviations of aperture marks computed with numpy from
# the stated rules: the midpoint-circle boundary tables, the membership of a pixel, the
# clipped bounding box and the truncation of pixel values toward zero (NaN pixels left
# out); the deviation is the population one, the squares divided by the count.
# Usage: aperture_oracle.py IMAGE.raw WIDTH HEIGHT CASES.txt; IMAGE.raw holds float32
# values row by row; each case line is "SHAPE CX CY OUTERX OUTERY INNERX INNERY" (SHAPE 0
# circle, 2 square). Prints "COUNT TOTAL STDDEV" per case (STDDEV 0 for an empty mark).
import math
import sys

import numpy as np


def tables(a, b):
    a, b = max(a, 0), max(b, 0)
    per_dy = np.full(b + 1, -1, dtype=np.int64)
    r = max(a, b)
    err, u, v = r, 0, r
    while v >= u:
        for ox, oy in ((u, v), (v, u)):
            if r > 0 and a != b:
                ox, oy = ox * a // r, oy * b // r
            if oy <= b:
                per_dy[oy] = max(per_dy[oy], ox)
        err -= 2 * u + 1
        if err < 0:
            err += 2 * v - 2
            v -= 1
        u += 1
    return per_dy


def lookup(table, idx):
    out = np.full(idx.shape, -1, dtype=np.int64)
    ok = idx < len(table)
    out[ok] = table[idx[ok]]
    return out


def measure(img, shape, cx, cy, ox, oy, ix, iy):
    h, w = img.shape
    t = math.trunc
    if shape == 0:
        icx, icy = t(cx + 0.5), t(cy + 0.5)
        x0, x1 = icx - t(ox + 0.5), icx + t(ox + 0.5) + 1
        y0, y1 = icy - t(oy + 0.5), icy + t(oy + 0.5) + 1
    else:
        x0, x1 = t(cx - ox - 0.5), t(cx + ox + 0.5) + 1
        y0, y1 = t(cy - oy - 0.5), t(cy + oy + 0.5) + 1
    x0, y0, x1, y1 = max(x0, 0), max(y0, 0), min(x1, w), min(y1, h)
    if x1 <= x0 or y1 <= y0:
        return 0, 0.0, 0.0
    ys, xs = np.mgrid[y0:y1, x0:x1]
    if shape == 0:
        inside = (xs >= icx - t(ox)) & (xs < icx + t(ox) + 1) & (ys >= icy - t(oy)) & (ys < icy + t(oy) + 1)
        dx, dy = np.abs(xs - icx), np.abs(ys - icy)
        outer = tables(t(ox), t(oy))
        inner = tables(t(ix), t(iy)) if ix >= 0 else np.array([], dtype=np.int64)
        member = inside & (dx <= lookup(outer, dy)) & (dx > lookup(inner, dy))
    else:
        def box(rx, ry):
            return (xs >= t(cx - rx)) & (xs < t(cx + rx) + 1) & (ys >= t(cy - ry)) & (ys < t(cy + ry) + 1)
        member = box(ox, oy)
        if ix > 0:
            member &= ~box(ix, iy)
    vals = img[y0:y1, x0:x1][member].astype(np.float64)
    vals = np.trunc(vals[~np.isnan(vals)])
    std = float(np.std(vals, ddof=0)) if len(vals) else 0.0
    return len(vals), float(vals.sum()), std


def main():
    width, height = int(sys.argv[2]), int(sys.argv[3])
    img = np.fromfile(sys.argv[1], dtype="<f4").reshape(height, width)
    for line in open(sys.argv[4]):
        f = line.split()
        n, total, std = measure(img, int(f[0]), *map(float, f[1:]))
        print(n, repr(total), repr(std))


main()
