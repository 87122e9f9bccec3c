#!/usr/bin/python3
"""Times the peers of the engine's geometry on a SIDE x SIDE float32 image of noise.

Usage: geometry_peer.py rotate|halve SIDE REPEATS. Prints the best of REPEATS runs in
seconds: scipy.ndimage.rotate (order 1, the image grown to hold the turn) by 17 degrees,
or the 2 x 2 block mean with numpy.
"""
import sys
import time

import numpy as np
from scipy import ndimage

op, side, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
a = np.random.default_rng(1).uniform(50, 4050, (side, side)).astype(np.float32)
best = float("inf")
for _ in range(repeats):
    t = time.perf_counter()
    if op == "rotate":
        ndimage.rotate(a, 17.0, order=1)
    else:
        a.reshape(side // 2, 2, side // 2, 2).mean(axis=(1, 3))
    best = min(best, time.perf_counter() - t)
print(best)
