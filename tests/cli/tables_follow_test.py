#!/usr/bin/python3
"""Measurement tables through vantorel-cli flip, rotate, shift and crop, judged by astropy.

A FITS file of Gaussian stars of distinct brightness gets its tables from the program
itself: phot --save writes the photometry and rectangle tables, centroid --save adds the
positions. The file is then mirrored, turned by 90 degrees, cut (and, separately,
shifted) and saved at each step. astropy reads every table of every result: each
photometry and position row must stand within 0.5 pixel of a numpy centroid of the star
under it, and that star must be the row's own (the same peak value as before the
step); every rectangle's stored total must be numpy's sum of its pixels in the new image;
rows whose star left the image must be gone, the others kept; fitsverify must accept
every file. A turn by 30 degrees
resamples: the result carries no table. Table coordinates are FITS pixels, data[y-1, x-1],
with the rows of the file kept bottom-up (the default) or top-down.
Exits 77 when numpy or astropy is missing.
"""
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import numpy as np
    from astropy.io import fits
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

CLI = os.path.realpath(sys.argv[1])
failures = []

W, H = 96, 72
# FITS pixel positions and peak heights, all different.
STARS = [(20.3, 15.6, 900), (70.2, 20.4, 600), (45.7, 50.2, 1200), (80.6, 60.3, 750),
         (12.4, 58.7, 1000), (55.1, 30.9, 450)]
RECTS = [(41, 46, 50, 55), (16, 11, 25, 20), (66, 16, 75, 25)]  # round stars 3, 1, 2
TABLES = ("Vantorel Phot data", "Vantorel PhoR data", "Vantorel Pos data")


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def run(*args, ok=True):
    r = subprocess.run([CLI, *args], capture_output=True, text=True, timeout=120)
    if ok and r.returncode != 0:
        fail(f"{args} exited {r.returncode}: {r.stderr}")
    return r


def star_field(path):
    y, x = np.mgrid[1:H + 1, 1:W + 1].astype(np.float64)
    data = 100.0 + 0.05 * x + 0.02 * y
    for sx, sy, amp in STARS:
        data += amp * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2 * 1.6 ** 2))
    fits.PrimaryHDU(data.astype(np.float32)).writeto(path, overwrite=True)


def centroid(data, x, y, r=4):
    """The centre of gravity above the local sky of the window round FITS (x, y), and the
    window's peak; None when the window leaves the image."""
    cx, cy = int(round(x)), int(round(y))
    h, w = data.shape
    if cx - r < 1 or cy - r < 1 or cx + r > w or cy + r > h:
        return None
    win = data[cy - r - 1:cy + r, cx - r - 1:cx + r].astype(np.float64)
    wts = np.clip(win - np.median(win), 0, None)
    yy, xx = np.mgrid[cy - r:cy + r + 1, cx - r:cx + r + 1]
    return (wts * xx).sum() / wts.sum(), (wts * yy).sum() / wts.sum(), float(win.max())


def peaks(data):
    """Peak value -> FITS position of each star in data: the highest pixel of its 7 x 7
    neighbourhood, above the sky, at least two pixels inside the edges."""
    padded = np.pad(data, 3, constant_values=-np.inf)
    highest = np.lib.stride_tricks.sliding_window_view(padded, (7, 7)).max(axis=(2, 3))
    ys, xs = np.nonzero((data == highest) & (data > 300))
    h, w = data.shape
    return {float(data[y, x]): (x + 1, y + 1) for y, x in zip(ys, xs)
            if 2 <= x < w - 2 and 2 <= y < h - 2}


def tables(path):
    with fits.open(path) as hdul:
        data = hdul[0].data.astype(np.float64)
        out = {}
        for hdu in hdul[1:]:
            out[hdu.header.get("EXTNAME", "").strip()] = hdu.data.copy() if hdu.data is not None else None
        return data, out


def star_of(row_xy, data):
    c = centroid(data, *row_xy)
    return None if c is None else c[2]


def identities(path):
    """Per table, data number -> the peak value of the star under the row (rectangles:
    their stored total)."""
    data, tabs = tables(path)
    ids = {}
    if "Vantorel Phot data" in tabs:
        t = tabs["Vantorel Phot data"]
        ids["phot"] = {int(n): star_of((x, y), data)
                       for n, x, y in zip(t["data number"], t["XCENTER"], t["YCENTER"])}
    if "Vantorel Pos data" in tabs:
        t = tabs["Vantorel Pos data"]
        ids["pos"] = {int(n): star_of((x, y), data)
                      for n, x, y in zip(t["data number"], t["OBJ_X"], t["OBJ_Y"])}
    if "Vantorel PhoR data" in tabs:
        t = tabs["Vantorel PhoR data"]
        ids["rect"] = {int(n): float(v) for n, v in zip(t["data number"], t["Total Count of obj"])}
    return ids


def check(step, path, before):
    """Every row of path stands on its own star (or rectangle), rows whose star went are
    gone; before holds the identities the rows had. fitsverify accepts the file."""
    if shutil.which("fitsverify"):
        r = subprocess.run(["fitsverify", "-q", "-e", path], capture_output=True, text=True)
        if r.returncode != 0:
            fail(f"{step}: fitsverify: {r.stdout}{r.stderr}")
    data, tabs = tables(path)
    present = peaks(data)
    after = identities(path)
    for kind, rows in before.items():
        got = after.get(kind, {})
        for n, ident in rows.items():
            if kind == "rect":
                continue
            if ident in present and n not in got:
                fail(f"{step}: {kind} row {n} on a star still in the image was dropped")
            if ident not in present and n in got:
                fail(f"{step}: {kind} row {n} kept though its star left the image")
            if n in got and got[n] != ident:
                fail(f"{step}: {kind} row {n} stands on the star of peak {got[n]}, not {ident}")
    for name, x_col, y_col in (("Vantorel Phot data", "XCENTER", "YCENTER"),
                               ("Vantorel Pos data", "OBJ_X", "OBJ_Y")):
        t = tabs.get(name)
        if t is None:
            continue
        for n, x, y in zip(t["data number"], t[x_col], t[y_col]):
            c = centroid(data, x, y)
            if c is None or np.hypot(c[0] - x, c[1] - y) >= 0.5:
                fail(f"{step}: {name} row {n} at ({x}, {y}) is not on a star: {c}")
    t = tabs.get("Vantorel PhoR data")
    if t is not None:
        for row in t:
            x1, x2 = sorted((int(row["left X of area"]), int(row["right X of area"])))
            y1, y2 = sorted((int(row["top Y of area"]), int(row["bottom Y of area"])))
            total = data[y1 - 1:y2, x1 - 1:x2].sum()
            if abs(total - row["Total Count of obj"]) > 1e-4 * abs(total):
                fail(f"{step}: rectangle {row['data number']} [{x1}..{x2}, {y1}..{y2}] sums "
                     f"{total}, its table says {row['Total Count of obj']}")
            if (x2 - x1 + 1) * (y2 - y1 + 1) != row["Pixel Number obj"]:
                fail(f"{step}: rectangle {row['data number']} changed its size")
    if before.get("rect"):
        kept = set(after.get("rect", {}).values())
        if not kept <= set(before["rect"].values()):
            fail(f"{step}: rectangle totals {kept} are not among {set(before['rect'].values())}")
    return after


def main():
    work = tempfile.mkdtemp(prefix="tables-follow-")
    os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
    for bottom_up in ("1", "0"):
        run("settings", "set", "IO", "FitsBottomUp", bottom_up)
        f = lambda name: os.path.join(work, f"{name}-{bottom_up}.fits")
        star_field(f("field"))
        at = []
        for sx, sy, _ in STARS:
            at += ["--at", f"{round(sx)},{round(sy)}"]
        rects = []
        for r in RECTS:
            rects += ["--rect", ",".join(map(str, r))]
        run("phot", f("field"), *at, "--method", "semictrd", "--star", "4", "--sky", "8",
            "--width", "3", "--search", "3", *rects, "--save", f("phot"))
        run("centroid", f("phot"), *at, "--radius", "5", "--save", f("measured"))
        _, tabs = tables(f("measured"))
        if sorted(tabs) != sorted(TABLES):
            fail(f"FitsBottomUp {bottom_up}: the measured file holds {sorted(tabs)}")
            continue
        ids = check(f"measured, FitsBottomUp {bottom_up}", f("measured"),
                    identities(f("measured")))
        if len(ids["phot"]) != len(STARS) or len(ids["pos"]) != len(STARS):
            fail(f"FitsBottomUp {bottom_up}: not every star was measured: {ids}")

        # A chain of moves, each saved and judged against the identities before it.
        steps = [("flip", ["flip", None, None, "--vertical"]),
                 ("turned", ["rotate", None, None, "90"]),
                 ("mirrored", ["flip", None, None, "--horizontal"])]
        src = f("measured")
        for name, args in steps:
            args = [args[0], src, f(name)] + args[3:]
            run(*args)
            ids = check(f"{name}, FitsBottomUp {bottom_up}", f(name), ids)
            if len(ids["phot"]) != len(STARS):
                fail(f"{name}, FitsBottomUp {bottom_up}: rows were lost: {ids['phot']}")
            src = f(name)

        # A cut between two columns of stars, halfway across the widest gap near the
        # middle, so that no star is cut in two: about half the stars stay.
        data, _ = tables(src)
        h, w = data.shape
        xs = sorted(x for x, _ in peaks(data).values())
        gaps = [(b - a, (a + b) // 2) for a, b in zip(xs, xs[1:]) if w / 4 < (a + b) / 2 < 3 * w / 4]
        edge = max(gaps)[1] if gaps else w // 2
        # The crop's rows as the dialog takes them: from the top row down when bottom-up.
        rows = f"{h},1" if bottom_up == "1" else f"1,{h}"
        if run("crop", src, f("cut"), f"1,{edge},{rows}").returncode != 0:
            continue
        after = check(f"cut, FitsBottomUp {bottom_up}", f("cut"), ids)
        kept = len(after.get("phot", {}))
        if not 0 < kept < len(STARS):
            fail(f"cut, FitsBottomUp {bottom_up}: {kept} of {len(STARS)} photometry rows kept")

        # A shift wraps two stars and two rectangles round the edges (none is torn).
        run("shift", f("measured"), f("shifted"), "-30", "-25")
        after = check(f"shifted, FitsBottomUp {bottom_up}", f("shifted"),
                      identities(f("measured")))
        if len(after.get("phot", {})) != len(STARS) or len(after.get("rect", {})) != len(RECTS):
            fail(f"shifted, FitsBottomUp {bottom_up}: rows were lost: {after}")

        # A turn by 30 degrees resamples: no table survives, and the command says so.
        r = run("rotate", f("measured"), f("thirty"), "30")
        if r.returncode != 0:
            continue
        _, tabs = tables(f("thirty"))
        if tabs:
            fail(f"30 degrees, FitsBottomUp {bottom_up}: tables left: {sorted(tabs)}")
        if "removed" not in r.stderr:
            fail(f"30 degrees, FitsBottomUp {bottom_up}: nothing said: {r.stderr!r}")

    print(f"{len(failures)} failure(s)")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
