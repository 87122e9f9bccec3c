#!/usr/bin/python3
"""The peer of profile_bench: scipy's map_coordinates (order 1, edges held) at the points of
a profile of width W from (X1, Y1) to (X2, Y2) (0-based), averaged across the line, on the
float32 image in RAW (W x H). Prints the best of REPEATS timings in seconds, and the sum of
the profile for the benchmark to compare."""
import sys
import time

import numpy as np
from scipy.ndimage import map_coordinates


def main():
    raw, w, h, x1, y1, x2, y2, width, repeats = sys.argv[1:]
    w, h, width, repeats = int(w), int(h), int(width), int(repeats)
    x1, y1, x2, y2 = map(float, (x1, y1, x2, y2))
    data = np.fromfile(raw, dtype=np.float32).reshape(h, w)
    dx, dy = x2 - x1, y2 - y1
    n = int(max(abs(dx) + 0.001, abs(dy) + 0.001)) * 4 + 1
    length = np.hypot(dx, dy)
    nx, ny = -dy / length, dx / length
    t = np.arange(n) / (n - 1)
    cx, cy = (1 - t) * x1 + t * x2, (1 - t) * y1 + t * y2
    if width % 2:
        offsets = [0.0] + [s * k for k in range(1, width // 2 + 1) for s in (1, -1)]
    else:
        offsets = [s * (k - 0.5) for k in range(1, width // 2 + 1) for s in (1, -1)]
    o = np.array(offsets)[:, None]
    coords = np.array([(cy + o * ny).ravel(), (cx + o * nx).ravel()])
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        values = map_coordinates(data, coords, order=1, mode="nearest", prefilter=False)
        profile = values.reshape(len(offsets), n).astype(np.float64).mean(axis=0)
        best = min(best, time.perf_counter() - start)
    print(best, float(profile.sum()))


main()
