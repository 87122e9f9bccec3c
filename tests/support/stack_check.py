#!/usr/bin/python3
"""numpy, astropy and scikit-image as oracles for stacking, matching and overscan.

Usage:
  stack_check.py stack DIR F H W BITS   DIR/stack.f64 holds F frames (F, H, W), NaN where
        a frame has no value; DIR/median.f64, clipmed.f64, clipmean.f64, clipsum.f64 what
        the engine wrote (BITS -32: a float32 destination). Compares with numpy.nanmedian
        and astropy.stats.sigma_clip(sigma=3, maxiters=5, cenfunc='median', stdfunc='std');
        prints "ok WHAT" or "fail WHAT: why".
  stack_check.py pairs FIELD OTHER DIR  makes reference/target pairs from the star field
        FIELD (FITS): the target shows the reference's sky moved by a known shift (whole
        part by cropping, fraction by a Fourier shift), each with fresh noise and hot
        pixels; the last pair takes its target from OTHER, a field with other stars.
        Writes DIR/pairN_a.f64, DIR/pairN_b.f64 (H, W) and prints "N H W dx dy" a pair.
  stack_check.py skimage DIR N H W      prints "i dx dy" of phase_cross_correlation
        (upsample_factor=100) for pairs 0 … N − 1, in the engine's sense.
  stack_check.py level IMG H W X1 X2 Y1 Y2 CLIP   prints repr of the overscan level:
        the mean of IMG[y1:y2+1, x1:x2+1] (finite values), or the mean kept by the same
        sigma_clip when CLIP is 1.
"""
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")


def load(path, shape):
    return np.fromfile(path, dtype="<f8").reshape(shape)


def clipped(stack):
    from astropy.stats import sigma_clip
    return sigma_clip(stack, sigma=3, maxiters=5, cenfunc="median", stdfunc="std", axis=0,
                      masked=True)


def compare(name, got, want, exact, f32):
    if f32:
        want = want.astype(np.float32).astype(np.float64)
    if exact:
        same = (got == want) | (np.isnan(got) & np.isnan(want))
    else:
        tol = 1e-6 if f32 else 1e-12
        same = np.isclose(got, want, rtol=tol, atol=0) | (np.isnan(got) & np.isnan(want))
    if same.all():
        print(f"ok {name}")
    else:
        i = np.argmax(~same)
        print(f"fail {name}: {(~same).sum()} differ, first {got.ravel()[i]!r} for "
              f"{want.ravel()[i]!r}")


def stack(d, f, h, w, bits):
    s = load(f"{d}/stack.f64", (f, h, w))
    f32 = bits == -32
    compare("median", load(f"{d}/median.f64", (h, w)), np.nanmedian(s, axis=0), True, f32)
    c = clipped(np.ma.masked_invalid(s))
    kept = c.count(axis=0)
    med = np.ma.median(c, axis=0).filled(np.nan)
    mean = c.mean(axis=0).filled(np.nan)
    compare("clipmed", load(f"{d}/clipmed.f64", (h, w)), med, True, f32)
    compare("clipmean", load(f"{d}/clipmean.f64", (h, w)), mean, False, f32)
    present = np.isfinite(s).sum(axis=0)
    compare("clipsum", load(f"{d}/clipsum.f64", (h, w)), mean * present, False, f32)
    # The recipe must have had something to clip, or the case shows nothing.
    print(f"info rejected {int((present - kept).sum())} of {int(present.sum())}")


CASES = [(12, -7), (3.25, 0.5), (-40.6, 22.3), (63.0, -63.0), (-17.75, -48.4), (0.5, -0.5)]
SIDE, ORIGIN = 256, 128


def read_field(path):
    from astropy.io import fits
    with fits.open(path) as hdul:
        return hdul[0].data.astype(np.float64)


def frame(field, x0, y0, rng):
    out = field[y0:y0 + SIDE, x0:x0 + SIDE] + rng.normal(0.0, 12.0, (SIDE, SIDE))
    hot = rng.integers(0, SIDE, (60, 2))
    out[hot[:, 0], hot[:, 1]] = 60000.0
    return out


def pairs(field_path, other_path, d):
    from scipy import ndimage
    field, other = read_field(field_path), read_field(other_path)
    rng = np.random.default_rng(7)
    for i, (dx, dy) in enumerate(CASES + [(0.0, 0.0)]):
        ix, iy = int(np.floor(dx)), int(np.floor(dy))
        fx, fy = dx - ix, dy - iy
        source = field if i < len(CASES) else other
        # moved(y, x) = source(y + fy, x + fx)
        moved = np.fft.ifft2(ndimage.fourier_shift(np.fft.fft2(source), (-fy, -fx))).real
        frame(field, ORIGIN, ORIGIN, rng).tofile(f"{d}/pair{i}_a.f64")
        frame(moved, ORIGIN + ix, ORIGIN + iy, rng).tofile(f"{d}/pair{i}_b.f64")
        print(i, SIDE, SIDE, dx, dy)


def skimage_shifts(d, n, h, w):
    from skimage.registration import phase_cross_correlation
    for i in range(n):
        a, b = load(f"{d}/pair{i}_a.f64", (h, w)), load(f"{d}/pair{i}_b.f64", (h, w))
        shift = phase_cross_correlation(a, b, upsample_factor=100)[0]
        print(i, shift[1], shift[0])


def level(path, h, w, x1, x2, y1, y2, clip):
    region = load(path, (h, w))[y1:y2 + 1, x1:x2 + 1]
    region = region[np.isfinite(region)]
    if clip:
        region = clipped(region).compressed()
    print(repr(float(np.mean(region))))


def main(argv):
    op = argv[1]
    if op == "stack":
        stack(argv[2], *[int(v) for v in argv[3:7]])
    elif op == "pairs":
        pairs(argv[2], argv[3], argv[4])
    elif op == "skimage":
        skimage_shifts(argv[2], *[int(v) for v in argv[3:6]])
    elif op == "level":
        level(argv[2], *[int(v) for v in argv[3:10]])
    else:
        sys.exit(f"unknown op {op}")


if __name__ == "__main__":
    main(sys.argv)
