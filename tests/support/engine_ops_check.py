#!/usr/bin/python3
"""numpy, scipy and astropy as oracles for the image engine's operations.

Usage:
  engine_ops_check.py export FITS HDU OUT   writes HDU's image as float64 (planes, h, w) to
                                            OUT and prints "w h planes"
  engine_ops_check.py CASES                 one case a line: NAME OP key=value ...; arrays
                                            are float64 files named by key=PATH:P,H,W

Ops and their oracles (a: the input, b: the other image, out: what the engine wrote):
  rot90 k=K       numpy.rot90 over the rows, exact    rotate angle= fixed=  scipy.ndimage.rotate
  scroll dx= dy=  numpy.roll, exact                   order 1, inside the source, 1e-4 relative
  shrink          block means of whole factors        enlarge  scipy.ndimage.zoom order 1
  calc op= value= cut=       numpy arithmetic, 0 for a division by zero
  composit method= rate= cut= sat= band= dx= dy= levels=   the numpy formula of each
                             method; levels: omin,omax,tmin,tmax of each plane
  contour step= mode=        numpy bands and lines
  wcs before= after= pairs=x0,y0,x1,y1;...   astropy: the sky at the old pixel equals the
                                             sky at the new one to 0.01 pixel
Prints "ok NAME" or "fail NAME: why" for each case.
"""
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")


def load(spec):
    path, shape = spec.rsplit(":", 1)
    return np.fromfile(path, dtype="<f8").reshape([int(n) for n in shape.split(",")])


def same(got, want, rtol=0.0, atol=0.0, mask=None):
    if got.shape != want.shape:
        return f"shape {got.shape} is not {want.shape}"
    if mask is not None:
        got, want = got[mask], want[mask]
    bad = ~(np.isclose(got, want, rtol=rtol, atol=atol) | (np.isnan(got) & np.isnan(want)))
    if bad.any():
        i = np.argmax(bad)
        return f"{bad.sum()} values differ, first {got.ravel()[i]!r} for {want.ravel()[i]!r}"
    return None


def nan_aware(a, f):
    """f over every plane, NaN wherever a NaN pixel takes part with a weight above 1e-9."""
    out = []
    for p in a:
        bad = f(np.isnan(p).astype(float))
        r = f(np.nan_to_num(p, nan=0.0))
        r[bad > 1e-9] = np.nan
        out.append(r)
    return np.stack(out)


def rotate_case(a, out, angle, fixed):
    from scipy import ndimage
    want = nan_aware(a, lambda p: ndimage.rotate(p, -angle, order=1, reshape=not fixed))
    if want.shape != out.shape:
        return f"shape {out.shape} is not {want.shape}"
    # Target pixels whose source point lies a pixel or more inside the source.
    h, w = a.shape[1:]
    th, tw = out.shape[1:]
    t = np.deg2rad(angle)
    y, x = np.mgrid[0:th, 0:tw].astype(float)
    x, y = x - (tw - 1) / 2, y - (th - 1) / 2
    u = np.cos(t) * x + np.sin(t) * y + (w - 1) / 2
    v = -np.sin(t) * x + np.cos(t) * y + (h - 1) / 2
    inside = (u >= 1) & (u <= w - 2) & (v >= 1) & (v <= h - 2)
    if inside.sum() < 0.3 * inside.size:
        return "too few pixels inside the source to compare"
    scale = np.nanmax(np.abs(a))
    return same(out, want, rtol=1e-4, atol=1e-4 * scale, mask=np.broadcast_to(inside, out.shape))


def composite(a, b, kw):
    method, rate = int(kw["method"]), float(kw.get("rate", 0))
    with np.errstate(all="ignore"):
        if method == 9:
            from scipy import ndimage
            band = int(kw["band"])
            r = np.empty_like(a)
            for p in range(a.shape[0]):
                lo, hi = np.nanmin(a[p]), np.nanmax(a[p])
                sat = a[p] >= lo + float(kw["sat"]) * (hi - lo)
                d = ndimage.distance_transform_cdt(~sat, metric="chessboard").astype(float)
                t = np.where(d <= band, 1 - d / (band + 1), 0.0) if sat.any() else 0 * d
                r[p] = np.where(t > 0, t * rate * b[p] + (1 - t) * a[p], a[p])
        else:
            r = [a + b, (a + b) / 2, (1 - rate) * a + rate * b, a - b, a * b,
                 np.where(b == 0, 0.0, a / b), np.abs(a - b), np.fmax(a, b) * (a == a) / (a == a),
                 np.fmin(a, b) * (a == a) / (a == a)][method]
    if int(kw.get("cut", 0)):
        r = np.where(r < 0, 0.0, r)
    return np.where(np.isnan(b), a, r)


def contour(a, step, mode):
    out = np.empty_like(a)
    for p in range(a.shape[0]):
        m = np.nanmin(a[p])
        k = np.floor((a[p] - m) / step)
        if mode == 0:
            out[p] = m + k * step
            continue
        pad = np.pad(k, 1, constant_values=-np.inf)
        with np.errstate(invalid="ignore"):
            higher = np.zeros(k.shape, bool)
            for dy, dx in ((0, 1), (2, 1), (1, 0), (1, 2)):
                higher |= pad[dy:dy + k.shape[0], dx:dx + k.shape[1]] > k
        out[p] = np.where(np.isnan(k), np.nan, np.where(higher, m + (k + 1) * step, m))
    return out


def wcs_case(kw):
    from astropy.io import fits
    from astropy.wcs import WCS

    def header(path):
        with open(path, encoding="ascii") as f:
            return fits.Header.fromstring(f.read(), sep="\n")

    w0, w1 = WCS(header(kw["before"])), WCS(header(kw["after"]))
    pairs = np.array([[float(v) for v in p.split(",")] for p in kw["pairs"].split(";")])
    s1 = np.array(w1.all_pix2world(pairs[:, 2], pairs[:, 3], 0)).T
    # The new pixel's sky taken back to the old grid must land on the old pixel.
    back = np.array(w0.all_world2pix(s1[:, 0], s1[:, 1], 0)).T
    worst = np.max(np.hypot(*(back - pairs[:, :2]).T))
    if not worst <= 0.01:
        return f"the sky moved by {worst:.3g} pixel"
    return None


def check(op, kw):
    if op == "wcs":
        return wcs_case(kw)
    a, out = load(kw["in"]), load(kw["out"])
    if op == "rot90":
        return same(out, np.rot90(a, int(kw["k"]), axes=(1, 2)))
    if op == "scroll":
        return same(out, np.roll(a, (int(kw["dy"]), int(kw["dx"])), axis=(1, 2)))
    if op == "rotate":
        return rotate_case(a, out, float(kw["angle"]), int(kw["fixed"]))
    if op == "shrink":
        p, h, w = a.shape
        fy, fx = h // out.shape[1], w // out.shape[2]
        want = a.reshape(p, h // fy, fy, w // fx, fx).mean(axis=(2, 4))
        return same(out, want, rtol=1e-12, atol=1e-9 * np.nanmax(np.abs(a)))
    if op == "enlarge":
        from scipy import ndimage
        z = [out.shape[1] / a.shape[1], out.shape[2] / a.shape[2]]
        want = nan_aware(a, lambda p: ndimage.zoom(p, z, order=1, grid_mode=True,
                                                    mode="nearest"))
        return same(out, want, rtol=float(kw.get("rtol", 1e-12)),
                    atol=1e-9 * np.nanmax(np.abs(a)))
    if op == "calc":
        v, o = float(kw["value"]), int(kw["op"])
        with np.errstate(all="ignore"):
            want = [a + v, a - v, a * v, a / v if v != 0 else np.where(np.isnan(a), a, 0.0)][o]
        if int(kw.get("cut", 0)):
            want = np.where(want < 0, 0.0, want)
        return same(out, want, rtol=1e-12)
    if op == "composit":
        b = load(kw["other"])
        if "dx" in kw:  # a whole-pixel shift: b moves, NaN where it has no value
            dx, dy = int(kw["dx"]), int(kw["dy"])
            moved = np.full_like(b, np.nan)
            h, w = b.shape[1:]
            moved[:, max(dy, 0):h + min(dy, 0), max(dx, 0):w + min(dx, 0)] = \
                b[:, max(-dy, 0):h - max(dy, 0), max(-dx, 0):w - max(dx, 0)]
            b = moved
        if "levels" in kw:  # the other image's levels mapped onto the target's, per plane
            lv = np.array([float(v) for v in kw["levels"].split(",")]).reshape(-1, 4)
            omin, omax, tmin, tmax = (lv[:, i, None, None] for i in range(4))
            b = tmin + (b - omin) * (tmax - tmin) / (omax - omin)
        return same(out, composite(a, b, kw), rtol=1e-12, atol=1e-12)
    if op == "contour":
        return same(out, contour(a, float(kw["step"]), int(kw["mode"])), rtol=1e-12)
    return f"unknown op {op}"


if sys.argv[1] == "export":
    from astropy.io import fits
    with fits.open(sys.argv[2]) as hdul:
        data = np.asarray(hdul[int(sys.argv[3])].data, dtype="<f8")
    data = data.reshape((-1,) + data.shape[-2:])
    data.tofile(sys.argv[4])
    print(data.shape[2], data.shape[1], data.shape[0])
    sys.exit(0)

failed = False
with open(sys.argv[1], encoding="utf-8") as cases:
    for line in cases:
        name, op, *rest = line.split()
        kw = dict(item.split("=", 1) for item in rest)
        try:
            why = check(op, kw)
        except Exception as e:  # an oracle that cannot run fails its case
            why = f"{type(e).__name__}: {e}"
        failed = failed or why is not None
        print(f"fail {name}: {why}" if why else f"ok {name}")
sys.exit(1 if failed else 0)
