#!/usr/bin/python3
"""cluster_frames.py DIR N: writes a small synthetic night into DIR for the cluster recipe
tests: bias.fits, dark.fits, flat.fits and N drifting 16-bit lights of 64 x 64 pixels,
light-NN.fits, a star field on a sky with noise and hot pixels."""
import os
import sys

import numpy as np
from astropy.io import fits

out, n = sys.argv[1], int(sys.argv[2])
os.makedirs(out, exist_ok=True)
rng = np.random.default_rng(3)
h = w = 64
yy, xx = np.mgrid[0:h, 0:w]
bias = rng.normal(300, 3, (h, w))
dark = bias + rng.gamma(2, 5, (h, w))
flat = 20000 * (1 - 0.15 * ((xx - 32) ** 2 + (yy - 30) ** 2) / 2048) + rng.normal(0, 40, (h, w))
for name, v in (("bias", bias), ("dark", dark), ("flat", flat)):
    fits.writeto(os.path.join(out, f"{name}.fits"), np.rint(v).astype(np.uint16))
stars = [(12.3, 15.8, 9000), (40.1, 22.6, 14000), (25.7, 47.2, 7000), (52.2, 53.9, 11000),
         (8.8, 40.4, 5000), (33.3, 9.1, 6000), (47.5, 36.0, 8000)]
for i in range(n):
    dx, dy = 2.5 * np.sin(i / 3.0), 2.0 * np.cos(i / 4.0)
    sky = rng.poisson(800, (h, w)).astype(np.float64)
    for sx, sy, f in stars:
        sky += f * np.exp(-((xx - sx - dx) ** 2 + (yy - sy - dy) ** 2) / (2 * 1.5 ** 2))
    v = (dark - bias) + bias + sky * flat / flat.mean()
    v[rng.random((h, w)) < 0.01] = 60000
    hdu = fits.PrimaryHDU(np.rint(np.clip(v, 0, 65535)).astype(np.uint16))
    hdu.header["DATE-OBS"] = f"2026-03-01T21:{i // 60:02d}:{i % 60:02d}"
    hdu.writeto(os.path.join(out, f"light-{i:02d}.fits"))
