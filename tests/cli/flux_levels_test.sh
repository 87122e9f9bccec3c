#!/usr/bin/env bash
# Flux-calibrated data (values near 1e-18 erg/s/cm²/Å, as spectrographs and pipelines
# write them) open with automatic levels that follow the data: the picture vantorel-cli
# renders is the linear mapping of those levels byte for byte (numpy), spread over the
# grey range with numpy's percentiles of the data at the matching bytes; and the same
# data in counts (× 1e18) and as huge sums (× 1e38, about 1e20) get the same levels,
# scaled (but for the cut), each rendered as the mapping of its levels.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"
/usr/bin/python3 -c "import numpy, astropy, PIL" 2>/dev/null || { echo "SKIP: numpy, astropy or PIL missing"; exit 77; }

/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(18)
h, w = 64, 96
y, x = np.mgrid[0:h, 0:w]
counts = rng.normal(60.0, 40.0, size=(h, w))  # sky noise around a low background
for cx, cy, peak in ((20, 15, 9000), (70, 40, 3000), (45, 50, 25000), (85, 10, 1200)):
    counts += peak * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * 1.8 ** 2))
flux = (counts * 1.7e-18).astype(np.float32)
assert (flux < 0).any()
header = fits.Header()
header["BUNIT"] = "erg/s/cm2/Angstrom"
fits.PrimaryHDU(flux, header).writeto("flux.fits")
fits.PrimaryHDU(flux.astype(np.float64) * 1e18).writeto("counts.fits")
fits.PrimaryHDU(flux.astype(np.float64) * 1e38).writeto("huge.fits")
PY

for name in flux counts huge; do
  "$cli" info --json "$name.fits" >"$name.json" 2>err.txt || { fail "info $name.fits"; cat err.txt; }
  "$cli" render "$name.fits" "$name.png" 2>err.txt || { fail "render $name.fits"; cat err.txt; }
done

/usr/bin/python3 - <<'PY' || fail "the pictures or levels above"
import json
import numpy as np
from astropy.io import fits
from PIL import Image

ok = True
def check(cond, what):
    global ok
    if not cond:
        print("FAIL:", what)
        ok = False

def levels(name):
    return json.load(open(name + ".json"))["levels"][0]

data = fits.getdata("flux.fits")
lo, hi = levels("flux")
print(f"flux levels {lo!r} .. {hi!r}; data {data.min()!r} .. {data.max()!r}")
check(hi > lo, "levels collapsed")
# Inside the data's range (less a cut of a 1024th of the range at most), around the sky.
check(data.min() - (hi - lo) / 100 <= lo < np.median(data) < hi <= data.max(),
      "levels do not follow the data")

# The same data in other units: the same levels, scaled, but for the cut: each is cut down
# to the decimals a 1024th of its range implies (a unit of that digit is at most ten such
# steps), and to whole units above a range of 1024.
for name, scale in (("counts", 1e18), ("huge", 1e38)):
    l2, h2 = levels(name)
    tolerance = max(10 * (h2 - l2) / 1024, 1.0) * (1 + 1e-9)
    check(abs(l2 - lo * scale) <= tolerance and abs(h2 - hi * scale) <= tolerance,
          f"{name} levels {l2!r} .. {h2!r} are not {lo * scale!r} .. {hi * scale!r}")


def mapping(values, lo, hi, kind):
    """The linear mapping of the levels, the first FITS row at the bottom."""
    low, high = kind(lo), kind(hi)
    scale = kind(255.0 / (hi - lo))
    t = np.clip(np.trunc((values.astype(kind) - low) * scale), 0, 254)
    return np.where(values <= low, 0, np.where(values >= high, 255, t)).astype(np.uint8)


# The flux picture in single precision, as its pixels are floats.
expect = mapping(data, lo, hi, np.float32)
png = np.asarray(Image.open("flux.png").convert("L"))[::-1]
check(png.shape == data.shape, f"flux.png is {png.shape}")
if png.shape == data.shape:
    bad = np.count_nonzero(png != expect)
    check(bad == 0, f"flux.png differs from the mapping at {bad} pixels")
    values = np.unique(png)
    print(f"flux.png: {len(values)} grey values")
    check(len(values) >= 64, "the picture is not spread over the grey range")
    # A monotonic mapping keeps order statistics: numpy's percentiles of the data land on
    # the same percentiles of the picture.
    for q in (5, 25, 50, 75, 95, 99.5):
        v = np.percentile(data, q, method="lower")
        byte = expect[data == v][0]
        got = np.percentile(png, q, method="lower")
        check(got == byte, f"percentile {q}: picture {got}, data {v!r} maps to {byte}")
# The other units map their own levels alike.
for name in ("counts", "huge"):
    values = fits.getdata(name + ".fits")
    l2, h2 = levels(name)
    other = np.asarray(Image.open(name + ".png").convert("L"))[::-1]
    differ = np.abs(other.astype(int) - mapping(values, l2, h2, np.float64).astype(int))
    # The display maps in single precision: a byte apart at a boundary, rarely.
    check(other.shape == values.shape and differ.max() <= 1 and np.mean(differ > 0) < 0.005,
          f"{name}.png is not the mapping of its levels")
    check(len(np.unique(other)) >= 64, f"{name}.png is not spread over the grey range")
raise SystemExit(0 if ok else 1)
PY

[ "$failures" -eq 0 ] && echo "flux level checks passed" || echo "flux level checks FAILED"
exit $((failures > 0))
