# The peer of the positioning benchmark: the detection rule in numpy and scipy on the same
# 4096 x 4096 float frame (mean and deviation without blanks, the 5 x 5 maximum by
# scipy.ndimage.maximum_filter, the threshold), read from a raw float32 file. Prints the
# best of three timings in processor seconds and the number of peaks.
# Usage: positioning_peer.py FRAME.raw FACTOR
import sys
import time

import numpy as np
from scipy.ndimage import maximum_filter

data = np.fromfile(sys.argv[1], dtype="<f4").reshape(4096, 4096)
factor = float(sys.argv[2])
best = None
for _ in range(3):
    t0 = time.process_time()
    valid = data[~np.isnan(data)].astype(np.float64)
    mean = valid.mean()
    sigma = np.sqrt(((valid - mean) ** 2).mean())
    threshold = min(factor * sigma, float(np.nanmax(data)))
    peak = (data == maximum_filter(data, size=5, mode="nearest")) & (data > mean + threshold)
    ys, xs = np.nonzero(peak[:-1, :-1])
    elapsed = time.process_time() - t0
    best = elapsed if best is None else min(best, elapsed)
print(f"{best:.6f} {len(xs)}")
