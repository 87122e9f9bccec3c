#!/usr/bin/python3
"""numpy as the oracle for calibrating an image with bias, dark and flat frames.

Usage: calibration_check.py key=PATH:P,H,W ...
  in, out: the image before and after; bias, dark, flat, darkflat: the frames used (any
  left out takes no part). Arrays are float64 files in (planes, height, width) order.
The dark and the flat are first less the bias; the flat less its own dark; the image less
the bias and the dark is divided by the flat over the flat's mean per plane, keeping the
pixels where that flat is not positive. Prints "ok" or "fail: why".
"""
import sys

import numpy as np


def load(spec):
    path, shape = spec.rsplit(":", 1)
    return np.fromfile(path, dtype="<f8").reshape([int(n) for n in shape.split(",")])


kw = dict(arg.split("=", 1) for arg in sys.argv[1:])
a, out = load(kw["in"]), load(kw["out"])
bias = load(kw["bias"]) if "bias" in kw else 0.0
want = a - bias
if "dark" in kw:
    want = want - (load(kw["dark"]) - bias)
if "flat" in kw:
    flat = load(kw["flat"]) - bias
    if "darkflat" in kw:
        flat = flat - (load(kw["darkflat"]) - bias)
    mean = np.nanmean(flat, axis=(1, 2), keepdims=True)
    norm = flat / mean
    with np.errstate(all="ignore"):
        want = np.where(norm > 0, want / norm, want)
if want.shape != out.shape:
    print(f"fail: shape {out.shape} is not {want.shape}")
    sys.exit(1)
bad = ~np.isclose(out, want, rtol=1e-6, atol=1e-6 * np.nanmax(np.abs(want)))
if bad.any():
    i = tuple(np.argwhere(bad)[0])
    print(f"fail: {bad.sum()} pixels differ, first at {i}: {out[i]} is not {want[i]}")
    sys.exit(1)
print("ok")
