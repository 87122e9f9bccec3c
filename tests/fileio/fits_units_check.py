#!/usr/bin/python3
"""Judges the dispatcher's reading of FITS units and compressed files against astropy.

  units FILE DIR   DIR holds what we read of FILE: "units.txt" lists each image unit we
                   opened (index, width, height) and "U.phys" its first plane as doubles
                   in file order, or "none CODE" when we found no image. Every unit that
                   astropy reads as an image of one to three axes must be among ours, with
                   the same values; a file astropy sees no image in must be "none".
  packed DIR       DIR holds "source.phys" (doubles, file order), its shape in
                   "shape.txt", and our saves "*.fits.gz", "*.fits.fz": astropy reads the
                   same data (integers exactly, reals within half the quantisation step
                   given in "tolerance.txt"), and fitsverify passes each file.

Exit status 0 when everything agrees, 1 with one line per disagreement otherwise.
"""
import glob
import os
import subprocess
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")
from astropy.io import fits  # noqa: E402

failures = []


def check(ok, message):
    if not ok:
        failures.append(message)


def image_units(hdul):
    out = {}
    for i, hdu in enumerate(hdul):
        if not isinstance(hdu, (fits.PrimaryHDU, fits.ImageHDU, fits.CompImageHDU)):
            continue
        if isinstance(hdu, fits.GroupsHDU):
            continue
        data = hdu.data
        if data is None or data.size == 0 or not 1 <= data.ndim <= 3:
            continue
        if hdu.header.get("ZBITPIX", hdu.header.get("BITPIX")) == 64:
            continue  # 64-bit integers: no image type of ours holds them
        plane = data[0] if data.ndim == 3 else data
        if plane.ndim == 1:
            plane = plane[np.newaxis, :]
        out[i] = np.asarray(plane, dtype="f8")
    return out


def units(path, directory):
    try:
        hdul = fits.open(path)
        theirs = image_units(hdul)
    except Exception:  # astropy refuses the file as FITS
        theirs = None
    lines = open(os.path.join(directory, "units.txt")).read().split("\n")
    lines = [l.split() for l in lines if l.strip()]
    if theirs is None or not theirs:
        check(lines and lines[0][0] == "none", f"{path}: astropy sees no image, we opened {lines}")
        return
    ours = {int(l[0]): (int(l[1]), int(l[2])) for l in lines if l[0] != "none"}
    check(set(theirs) == set(ours), f"{path}: image units {sorted(ours)} != astropy's {sorted(theirs)}")
    for u, plane in theirs.items():
        if u not in ours:
            continue
        w, h = ours[u]
        mine = np.fromfile(os.path.join(directory, f"{u}.phys"), "<f8")
        if not check(mine.size == w * h and plane.shape == (h, w),
                     f"{path}[{u}]: shape {(h, w)} != astropy's {plane.shape}"):
            continue
        mine = mine.reshape(h, w)
        # Blank pixels are NaN for us; astropy keeps unscaled integers as they are stored.
        blank = hdul[u].header.get("BLANK", hdul[u].header.get("ZBLANK"))
        nan = np.isnan(mine)
        ok_nan = np.isnan(plane[nan]) | (plane[nan] == (blank if blank is not None else np.nan))
        check(ok_nan.all(), f"{path}[{u}]: {int((~ok_nan).sum())} NaN pixels astropy has as values")
        a, b = mine[~nan], plane[~nan]
        close = np.isclose(a, b, rtol=1e-6, atol=0) | (a == b)
        if not close.all():
            k = int(np.argmin(close))
            check(False, f"{path}[{u}]: {int((~close).sum())} values differ, e.g. {a[k]!r} != {b[k]!r}")


def packed(directory):
    shape = tuple(int(v) for v in open(os.path.join(directory, "shape.txt")).read().split())
    source = np.fromfile(os.path.join(directory, "source.phys"), "<f8").reshape(shape)
    tolerance = float(open(os.path.join(directory, "tolerance.txt")).read())
    files = sorted(glob.glob(os.path.join(directory, "*.fits.gz")) +
                   glob.glob(os.path.join(directory, "*.fits.fz")))
    check(len(files) == 2, f"{directory}: saves {files}")
    for path in files:
        hdul = fits.open(path)
        data = [h for h in hdul if h.data is not None and h.is_image]
        if not check(len(data) == 1, f"{path}: {len(data)} images"):
            continue
        theirs = np.asarray(data[0].data, dtype="f8")
        if not check(theirs.shape == shape, f"{path}: shape {theirs.shape} != {shape}"):
            continue
        worst = float(np.nanmax(np.abs(theirs - source))) if source.size else 0.0
        check(worst <= tolerance, f"{path}: values differ by up to {worst} (allowed {tolerance})")
        compressed = path.endswith(".fz")
        check(isinstance(data[0], fits.CompImageHDU) == compressed, f"{path}: compressed form")
        if compressed:
            check(data[0]._header.get("ZCMPTYPE") == "RICE_1", f"{path}: not RICE")
        verify = subprocess.run(["fitsverify", "-q", "-e", path], capture_output=True, text=True)
        check(verify.returncode == 0 and "OK" in verify.stdout,
              f"{path}: fitsverify: {verify.stdout.strip()} {verify.stderr.strip()}")


if __name__ == "__main__":
    if sys.argv[1] == "units":
        units(sys.argv[2], sys.argv[3])
    else:
        packed(sys.argv[2])
    for f in failures:
        print(f)
    sys.exit(1 if failures else 0)
