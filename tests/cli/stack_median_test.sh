#!/usr/bin/env bash
# vantorel-cli stack --method median beside numpy's nanmedian of the same frames: 16-bit
# frames with BZERO, one with BSCALE 0.5 and one with BLANK pixels, and a float frame
# with NaN, so that some pixels have gaps and most have none. The 16-bit result holds the
# median rounded to nearest (ties to even), the --bits -32 result the median itself.
# Exits 77 without numpy or astropy.
source "$(dirname "$0")/cli_test_setup.sh"
/usr/bin/python3 -c 'import numpy, astropy' 2>/dev/null || exit 77

/usr/bin/python3 - <<'PY'
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(11)
h, w, n = 23, 61, 20
values = []
for i in range(n):
    v = np.rint(rng.normal(1200, 30, (h, w)) + np.arange(w)[None, :])
    v[rng.random((h, w)) < 0.03] += 20000  # hot pixels
    name = f"f{i:02d}.fits"
    if i == 5:  # 16-bit with a scale: the stored integers are twice the values
        hdu = fits.PrimaryHDU((v * 2 - 2400).astype(np.int16))
        hdu.header["BSCALE"] = 0.5
        hdu.header["BZERO"] = 1200.0
        hdu.writeto(name)
        v = hdu.data.astype(np.float64) * 0.5 + 1200.0
    elif i == 9:  # 16-bit with BLANK pixels
        raw = (v - 32768).astype(np.int16)
        blank = rng.random((h, w)) < 0.05
        raw[blank] = -32768
        hdu = fits.PrimaryHDU(raw)
        hdu.header["BZERO"] = 32768
        hdu.header["BLANK"] = -32768
        hdu.writeto(name)
        v[blank] = np.nan
    elif i == 14:  # float with NaN gaps and fractions
        v = v + rng.uniform(-0.5, 0.5, (h, w))
        v[rng.random((h, w)) < 0.05] = np.nan
        fits.writeto(name, v.astype(np.float32))
        v = v.astype(np.float32).astype(np.float64)
    else:
        fits.writeto(name, v.astype(np.uint16))
    values.append(v)
np.save("want.npy", np.nanmedian(np.stack(values), axis=0))
PY

"$cli" stack --method median -o m16.fits f*.fits 2> err16.txt || fail "16-bit stack: $(cat err16.txt)"
"$cli" stack --method median --bits -32 -o m32.fits f*.fits 2> err32.txt ||
  fail "float stack: $(cat err32.txt)"
/usr/bin/python3 - <<'PY' || fail "the stacks differ from numpy's median"
import sys
import numpy as np
from astropy.io import fits
want = np.load("want.npy")
ok = True
for name, expect in (("m16.fits", np.rint(want)), ("m32.fits", want.astype(np.float32))):
    got = fits.getdata(name).astype(np.float64)
    bad = got != expect
    if bad.any():
        i = np.argmax(bad)
        print(f"{name}: {bad.sum()} pixels differ, first {got.flat[i]!r} for {expect.flat[i]!r}")
        ok = False
sys.exit(0 if ok else 1)
PY

echo "failures: $failures"
[ "$failures" = 0 ]
