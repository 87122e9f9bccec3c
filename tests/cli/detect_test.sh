#!/usr/bin/env bash
# vantorel-cli detect and centroid on a frame of three stars: the rows printed, the
# saved positions table accepted by fitsverify and read by astropy as printed, and a
# second detection over the saved file still finding the same stars. Bad options are
# misuse.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(5)
y, x = np.mgrid[0:100, 0:140]
data = 300 + rng.normal(0, 4, size=y.shape)
for sx, sy in ((30.3, 40.6), (90.7, 20.2), (110.1, 80.8)):
    data += 4000 * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2 * 1.5 ** 2))
fits.PrimaryHDU(data.astype(np.float32)).writeto("stars.fits")
PY

# Whole frame, then a rectangle round the first star only (1-based, y as shown).
"$cli" detect stars.fits --factor 3 --csv --save out.fits >all.csv 2>err.txt ||
  fail "detect failed: $(cat err.txt)"
[ "$(grep -c ' SEARCH  ,' all.csv)" = 3 ] || fail "three stars expected: $(cat all.csv)"
"$cli" detect stars.fits --rect 20,30,40,50 >one.txt 2>err.txt || fail "detect --rect: $(cat err.txt)"
[ "$(grep -c ' SEARCH  ' one.txt)" = 1 ] || fail "one star expected: $(cat one.txt)"
grep -q '^    1     31\.[0-9][0-9]     41\.[0-9][0-9]   SEARCH  ' one.txt ||
  fail "first star misplaced: $(cat one.txt)"

# Two points on the same star give one row.
"$cli" centroid stars.fits --at 31,42 --at 32,41 --radius 6 >c.txt 2>err.txt ||
  fail "centroid failed: $(cat err.txt)"
[ "$(grep -c ' CENTROID ' c.txt)" = 1 ] || fail "one centroid row expected: $(cat c.txt)"
grep -q '      31        42      6$' c.txt || fail "square not shown: $(cat c.txt)"

fitsverify -q -e out.fits >verify.txt 2>&1 || fail "fitsverify: $(cat verify.txt)"
/usr/bin/python3 - <<'PY' || fail "astropy does not read the positions table as printed"
import csv
from astropy.io import fits
with fits.open("out.fits") as f:
    t = f["Vantorel Pos data"]
    assert t.header["NAXIS1"] == 49 and t.header["TFIELDS"] == 8
    assert [c.start for c in t.columns] == [1, 6, 14, 22, 31, 36, 41, 46]
    assert t.columns.names[:4] == ["data number", "OBJ_X", "OBJ_Y", "METHOD"]
    rows = list(csv.reader(open("all.csv", encoding="utf-8")))[1:]
    assert len(t.data) == 3 == len(rows)
    for d, r in zip(t.data, rows):
        assert d["data number"] == int(r[0]) and d["METHOD"] == "SEARCH"
        assert abs(d["OBJ_X"] - float(r[1])) < 1e-9 and abs(d["OBJ_Y"] - float(r[2])) < 1e-9
        assert [d[i] for i in range(4, 8)] == [1, 100, 140, 1], d
PY
"$cli" detect out.fits --factor 3 --csv >again.csv 2>err.txt || fail "detect on the saved file"
cmp -s all.csv again.csv || fail "the saved file detects differently"

# One star field of whole numbers (exact as 32-bit floats) on skies of -500, 0 and +1000:
# the rows do not depend on the sky level. The stars are too faint to lift the peaks above
# zero on the lowest sky. numpy counts the peaks by the same rule (higher than every other
# sample of the 5 x 5 box and more than 3 sigma above the mean); a rectangle of sky alone
# lists nothing on any sky (FITS rows are shown from the bottom, so y 72 to 88 are the
# starless top rows of the array).
/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(11)
h, w = 90, 120
y, x = np.mgrid[0:h, 0:w]
base = np.round(rng.normal(0, 6, size=(h, w)))
for sx, sy, a in zip(rng.uniform(8, w - 9, 10), rng.uniform(8, 60, 10), rng.uniform(80, 400, 10)):
    base += np.round(a * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2 * 1.4 ** 2)))
for name, sky in (("low", -500), ("zero", 0), ("high", 1000)):
    fits.PrimaryHDU((base + sky).astype(np.float32)).writeto(name + ".fits")
a = base.astype(np.float64)
mean, sigma = a.mean(), a.std()
pad = np.pad(a, 2, mode="edge")
lower = sum((pad[dy:dy + h, dx:dx + w] < a).astype(int) for dy in range(5) for dx in range(5))
peaks = (a > mean + 3 * sigma) & (lower == 24)
peaks[-1, :] = peaks[:, -1] = False  # the last row and column are not examined
open("numpy_count.txt", "w").write("%d\n" % peaks.sum())
PY
for name in low zero high; do
  "$cli" detect $name.fits --factor 3 --csv >$name.csv 2>err.txt || fail "detect $name: $(cat err.txt)"
  "$cli" detect $name.fits --factor 3 --rect 11,72,111,88 >$name-sky.txt 2>err.txt ||
    fail "detect $name sky: $(cat err.txt)"
  [ "$(grep -c SEARCH $name-sky.txt)" = 0 ] || fail "rows in the sky on sky $name: $(cat $name-sky.txt)"
done
count=$(grep -c ' SEARCH  ,' zero.csv)
[ "$count" -ge 5 ] && [ "$count" = "$(cat numpy_count.txt)" ] ||
  fail "numpy finds $(cat numpy_count.txt) peaks, detect $count"
cmp -s zero.csv low.csv || fail "sky -500 detects differently: $(grep -c SEARCH low.csv) rows"
cmp -s zero.csv high.csv || fail "sky +1000 detects differently: $(grep -c SEARCH high.csv) rows"

# The measuring commands work on one plane: a colour image is refused under each name.
/usr/bin/python3 - <<'PY' || exit 1
import struct
w, h = 8, 4
row = bytes([200, 100, 50] * w)  # 24 bits a pixel, rows a multiple of 4 bytes
pixels = row * h
head = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
open("colour.bmp", "wb").write(head + info + pixels)
PY
for command in "detect colour.bmp" "centroid colour.bmp --at 2,2" "phot colour.bmp --at 2,2" \
  "solve colour.bmp"; do
  "$cli" $command >/dev/null 2>err.txt
  code=$?
  [ $code = 1 ] && grep -qx "vantorel-cli: ${command%% *}: colour.bmp is a colour image" err.txt ||
    fail "$command on a colour image: exit $code, $(cat err.txt)"
done

"$cli" detect stars.fits --factor 3.5 >/dev/null 2>&1
[ $? = 2 ] || fail "a factor above 3.0 is misuse"
"$cli" centroid stars.fits >/dev/null 2>&1
[ $? = 2 ] || fail "centroid without --at is misuse"
[ "$failures" = 0 ] && echo "detect and centroid: all checks passed"
exit "$failures"
