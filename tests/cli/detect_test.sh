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

"$cli" detect stars.fits --factor 3.5 >/dev/null 2>&1
[ $? = 2 ] || fail "a factor above 3.0 is misuse"
"$cli" centroid stars.fits >/dev/null 2>&1
[ $? = 2 ] || fail "centroid without --at is misuse"
[ "$failures" = 0 ] && echo "detect and centroid: all checks passed"
exit "$failures"
