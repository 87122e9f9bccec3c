# The peer of the photometry benchmark: photutils' aperture_photometry with method
# 'center' for the star discs and sky annuli of the given centres on a 4096 x 4096 float
# image. Prints the best of three timings in processor seconds. Usage: phot_peer.py CENTRES.txt
# (one "x y" per line, 0-based), exit 77 when photutils is missing.
import sys
import time

import numpy as np

try:
    from photutils.aperture import CircularAnnulus, CircularAperture, aperture_photometry
except ImportError:
    sys.exit(77)

centres = np.loadtxt(sys.argv[1], ndmin=2)
rng = np.random.default_rng(12345)
data = rng.uniform(50, 4050, size=(4096, 4096)).astype(np.float32)
best = None
for _ in range(3):
    t0 = time.process_time()
    star = CircularAperture(centres, r=5)
    sky = CircularAnnulus(centres, r_in=10, r_out=12)
    table = aperture_photometry(data, [star, sky], method="center")
    mean_sky = table["aperture_sum_1"] / sky.area
    result = table["aperture_sum_0"] - mean_sky * star.area
    elapsed = time.process_time() - t0
    best = elapsed if best is None else min(best, elapsed)
print(f"{best:.6f}")
