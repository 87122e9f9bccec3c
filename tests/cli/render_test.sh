#!/usr/bin/env bash
# vantorel-cli render checked against an independent computation: a FITS image with
# known levels must give exactly the bytes of the linear display mapping (0 at or below
# the minimum, 255 at or above the maximum, else (v - min) × (255 / range) truncated, in
# single precision), the first FITS row at the bottom, each pixel an m × m block at
# magnification m; the colour tables and the log mapping give their documented ends.
# Grey displays of one-plane images are grey PNG; --png-level changes the size only.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(7)
data = rng.normal(1000, 50, size=(37, 53)).astype(np.float32)
data[0, 0], data[5, 7], data[36, 52] = 800, 1200, 1100.0  # at and beyond the levels
fits.PrimaryHDU(data).writeto("in.fits")
PY

fail=0
run() { "$cli" "$@" 2>"err.txt" || { echo "FAIL: $* exited $?"; cat err.txt; fail=1; }; }
run render in.fits linear.png --levels 900,1100
run render in.fits smallest.png --levels 900,1100 --png-level 10
run render in.fits negative.png --levels 900,1100 --mode negative
run render in.fits zoom3.png --levels 900,1100 --zoom 3
run render in.fits half.png --levels 900,1100 --zoom 0
run render in.fits log.png --levels 900,1100 --log
run render in.fits vermilion.png --levels 900,1100 --mode vermilion
if "$cli" render in.fits bad.png --mode spectrum 2>err.txt; then echo "FAIL: spectrum accepted"; fail=1; fi
grep -q "does not apply" err.txt || { echo "FAIL: no reason for the refused mode"; fail=1; }
if "$cli" render in.fits bad.tif 2>err.txt; then echo "FAIL: a .tif output accepted"; fail=1; fi
if "$cli" render in.fits bad.png --png-level 11 2>err.txt; then echo "FAIL: --png-level 11 accepted"; fail=1; fi

/usr/bin/python3 - <<'PY' || fail=1
import numpy as np
from astropy.io import fits
from PIL import Image
data = fits.getdata("in.fits").astype(np.float32)
low, high = np.float32(900), np.float32(1100)
scale = np.float32(255) / (high - low)
expect = np.where(data <= low, 0, np.where(data >= high, 255,
                  np.trunc((data - low) * scale))).astype(np.uint8)
expect = expect[::-1]  # the first FITS row is the bottom of the picture
ok = True
def check(name, want):
    global ok
    got = np.asarray(Image.open(name))
    if got.shape[:2] != want.shape[:2]:
        print(f"FAIL: {name} is {got.shape}, expected {want.shape}"); ok = False; return None
    return got
def grey(name):
    global ok
    image = Image.open(name)
    if image.mode != "L":
        print(f"FAIL: {name} is {image.mode}, expected grey (L)"); ok = False
        return np.asarray(image.convert("L"))
    return np.asarray(image)
for name, want in (("linear.png", expect), ("smallest.png", expect),
                   ("negative.png", 255 - expect)):
    got = check(name, want)
    if got is not None and not np.array_equal(grey(name), want):
        bad = np.argwhere(grey(name) != want)
        print(f"FAIL: {name} differs at {len(bad)} pixels, first {bad[0]}"); ok = False
got = check("zoom3.png", np.kron(expect, np.ones((3, 3), np.uint8)))
if got is not None and not np.array_equal(grey("zoom3.png"), np.kron(expect, np.ones((3, 3), np.uint8))):
    print("FAIL: zoom3.png is not each pixel as a 3 x 3 block"); ok = False
half = np.asarray(Image.open("half.png"))
if half.shape[:2] != (18, 26):
    print(f"FAIL: half.png is {half.shape[:2]}, expected the image halved"); ok = False
log = grey("log.png")
if log[expect == 0].max() != 0 or log[expect == 255].min() != 255:
    print("FAIL: the log mapping does not keep its ends"); ok = False
ver = np.asarray(Image.open("vermilion.png"))
if ver.ndim != 3:
    print("FAIL: a colour table was not written as RGB"); ok = False
if tuple(ver[expect == 0][0]) != (0, 0, 0) or tuple(ver[expect == 255][0]) != (253, 249, 248):
    print("FAIL: vermilion ends are", tuple(ver[expect == 0][0]), tuple(ver[expect == 255][0])); ok = False
raise SystemExit(0 if ok else 1)
PY

[ $fail -eq 0 ] && echo "render checks passed" || echo "render checks FAILED"
exit $fail
