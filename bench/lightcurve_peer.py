#!/usr/bin/python3
"""Frames for the light-curve benchmark, and its peer measurement with photutils.

  lightcurve_peer.py generate DIR FRAMES SIDE
      writes DIR/frame0000.fits … as 16-bit camera frames (BZERO 32768) of SIDE x SIDE:
      sky 1000 with noise, ten Gaussian stars drifting by up to 8 px through the series,
      DATE-OBS and EXPTIME; and DIR/stars.txt, the stars' 0-based x y in the first frame.
  lightcurve_peer.py measure DIR FRAMES
      the same measurement as the program's: each frame read with astropy, each star's
      centre of gravity in a 17 x 17 box round where it stood last (photutils'
      centroid_sources with centroid_com), the disc of radius 5 and the ring from 10 to 12
      by CircularAperture and CircularAnnulus (method 'center'), the sky's mean and
      deviation, the net counts, their errors, the magnitude of the first star against
      the sum of the others, and the mid-exposure time from DATE-OBS and EXPTIME by
      astropy.time. Prints the processor seconds of the whole run.
Exit 77 when numpy, astropy or photutils is missing."""
import os
import sys
import time

try:
    import numpy as np
    from astropy.io import fits
    from astropy.time import Time, TimeDelta
    from photutils.aperture import ApertureStats, CircularAnnulus, CircularAperture, aperture_photometry
    from photutils.centroids import centroid_com, centroid_sources
except ImportError:
    sys.exit(77)


def generate(folder, frames, side):
    rng = np.random.default_rng(42)
    stars = np.column_stack([rng.uniform(100, side - 100, 10), rng.uniform(100, side - 100, 10),
                             rng.uniform(2e5, 8e5, 10)])
    np.savetxt(os.path.join(folder, "stars.txt"), stars[:, :2])
    base = rng.normal(1000.0, 16.0, (side, side))
    start = Time("2026-03-14T20:00:00", scale="utc")
    yy, xx = np.mgrid[-10:11, -10:11]
    for i in range(frames):
        img = base.copy()
        dx, dy = 6.4 * i / max(frames - 1, 1), -4.8 * i / max(frames - 1, 1)
        for x, y, f in stars:
            cx, cy = x + dx, y + dy
            ix, iy = int(round(cx)), int(round(cy))
            g = np.exp(-((xx + ix - cx) ** 2 + (yy + iy - cy) ** 2) / (2 * 1.6 ** 2))
            img[iy - 10:iy + 11, ix - 10:ix + 11] += f / (2 * np.pi * 1.6 ** 2) * g
        h = fits.Header()
        h["DATE-OBS"] = (start + TimeDelta(i * 75.0, format="sec")).isot
        h["EXPTIME"] = 60.0
        h["GAIN"] = 2.0
        data = np.clip(np.rint(img), 0, 65535).astype(np.uint16)
        fits.writeto(os.path.join(folder, "frame%04d.fits" % i), data, h, overwrite=True)


def measure(folder, frames):
    xy = np.loadtxt(os.path.join(folder, "stars.txt"), ndmin=2)
    x, y = xy[:, 0].copy(), xy[:, 1].copy()
    mags = []
    t0 = time.process_time()
    for i in range(frames):
        with fits.open(os.path.join(folder, "frame%04d.fits" % i)) as hdul:
            data = hdul[0].data.astype(np.float64)
            header = hdul[0].header
        mid = Time(header["DATE-OBS"], scale="utc") + TimeDelta(header["EXPTIME"] / 2, format="sec")
        gain = header.get("GAIN", 1.0)
        x, y = centroid_sources(data, x, y, box_size=17, centroid_func=centroid_com)
        centres = np.column_stack([x, y])
        star = CircularAperture(centres, r=5)
        ring = CircularAnnulus(centres, r_in=10, r_out=12)
        sky = ApertureStats(data, ring, sum_method="center")
        table = aperture_photometry(data, star, method="center")
        n = star.area_overlap(data, method="center")
        net = table["aperture_sum"] - sky.mean * n
        err = np.sqrt(np.maximum(net, 0) / gain + n * sky.std ** 2 * (1 + n / sky.sum_aper_area.value))
        mags.append((mid.mjd, -2.5 * np.log10(net[0] / net[1:].sum()), err[0]))
    print(f"{time.process_time() - t0:.6f}")


if sys.argv[1] == "generate":
    generate(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
else:
    measure(sys.argv[2], int(sys.argv[3]))
