#!/usr/bin/env bash
# vantorel-cli phot as a script of a night's frames would use it: five stars measured
# automatically, semi-automatic CSV and rectangles, and the saved file with its two
# tables, which fitsverify accepts and astropy reads with the declared columns and the
# values printed. A position without a star fails; bad options are misuse.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(3)
y, x = np.mgrid[0:120, 0:160]
data = 200 + rng.normal(0, 3, size=y.shape)
for sx, sy, s in ((30.2, 40.7, 1.2), (80.6, 30.1, 1.6), (120.4, 90.3, 1.4), (50.5, 95.5, 1.3),
                  (140.0, 20.0, 1.5)):
    data += 3000 * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2 * s * s))
fits.PrimaryHDU(data.astype(np.float32)).writeto("night.fits")
PY

# FITS rows count from the bottom: the star at 0-based (30.2, 40.7) is shown at
# x 31.2, y 41.7.
"$cli" phot night.fits --at 31,42 --at 82,31 --at 121,91 --at 51,96 --at 141,21 \
  >auto.txt 2>err.txt || fail "automatic photometry failed: $(cat err.txt)"
[ "$(grep -c ' AUTO$' auto.txt)" = 5 ] || fail "five AUTO rows expected: $(cat auto.txt)"
grep -q '^   1   31\.2[0-9]   41\.7[0-9] ' auto.txt || fail "star 1 not centred: $(head -3 auto.txt)"

"$cli" phot night.fits --at 31,42 --at 82,31 --method semictrd --star 4 --sky 8 --width 3 \
  --rect 10,10,40,30 --rect 60,60,70,80 --csv --save out.fits >semi.csv 2>err.txt ||
  fail "semi-automatic photometry failed: $(cat err.txt)"
fitsverify -q -e out.fits >verify.txt 2>&1 || fail "fitsverify: $(cat verify.txt)"

/usr/bin/python3 - <<'PY' || fail "astropy does not read the tables as printed"
import csv
from astropy.io import fits
with fits.open("out.fits") as f:
    phot, rect = f["Vantorel Phot data"], f["Vantorel PhoR data"]
    assert phot.header["NAXIS1"] == 193 and rect.header["NAXIS1"] == 116
    cols = phot.columns
    assert [c.start for c in cols] == [1, 6, 14, 22, 30, 37, 58, 79, 100, 108, 116, 123, 144,
                                       165, 186], [c.start for c in cols]
    assert cols.names[0] == "data number" and cols.names[14] == "METHOD"
    assert [c.start for c in rect.columns] == [1, 5, 10, 15, 20, 25, 34, 55, 76, 97]
    rows = list(csv.reader(open("semi.csv", encoding="utf-8")))
    circles = [r for r in rows[1:] if len(r) == 18][:2]
    boxes = [r for r in rows[1:] if len(r) == 10][-2:]
    assert len(phot.data) == 2 and len(circles) == 2, rows
    for t, r in zip(phot.data, circles):
        assert t["data number"] == int(r[0])
        assert abs(t["XCENTER"] - float(r[1])) < 1e-9 and abs(t["YCENTER"] - float(r[2])) < 1e-9
        assert t["Pixel Number obj"] == int(r[4])
        assert abs(t["Total Count of obj"] - float(r[5])) < 1e-6
        assert abs(t["Total Count of sky"] - float(r[13])) < 1e-6
        assert t["METHOD"] == "SEMICTRD"
    assert len(rect.data) == 2 and len(boxes) == 2, rows
    for t, r in zip(rect.data, boxes):
        assert [t[i] for i in range(6)] == [int(v) for v in r[:6]], (t, r)
        assert abs(t["Total Count of obj"] - float(r[6])) < 1e-6
PY

# Nothing but sky: the automatic method takes no star.
if "$cli" phot night.fits --at 100,60 >none.txt 2>err.txt; then fail "a star found in the sky"; fi
grep -q "no star measured at 100,60" err.txt || fail "no reason given: $(cat err.txt)"
# Rectangles off the image (160 x 120) are not added and list no row; one reaching over
# two edges keeps the part on the image, its count and total numpy's over that part (FITS
# rows are shown from the bottom, so y 1 is row 0 of the array).
for r in 161,10,170,20 -20,10,0,20 10,121,20,140 -9,-9,-1,-1; do
  "$cli" phot night.fits --rect $r --csv >off.csv 2>err.txt
  [ $? = 1 ] || fail "a rectangle off the image ($r) did not fail"
  grep -q "rectangle $r not added: it lies outside the image" err.txt ||
    fail "no reason for $r: $(cat err.txt)"
  [ "$(wc -l <off.csv)" = 1 ] || fail "rows listed for $r: $(cat off.csv)"
done
"$cli" phot night.fits --rect 150,110,175,130 --rect -3,-4,6,5 --rect 500,5,600,9 --csv \
  >part.csv 2>err.txt
[ $? = 1 ] || fail "the rectangle off the image among others did not fail"
/usr/bin/python3 - <<'PY' || fail "clipped rectangles differ from numpy: $(cat part.csv)"
import csv
import numpy as np
from astropy.io import fits
a = fits.getdata("night.fits").astype(np.float64)
rows = list(csv.reader(open("part.csv", encoding="utf-8")))[1:]
assert len(rows) == 2, rows
# Shown from the bottom: the top bound is the larger y.
for r, (x1, y1, x2, y2) in zip(rows, ((150, 110, 160, 120), (1, 1, 6, 5))):
    assert [int(v) for v in r[1:5]] == [x1, y2, x2, y1], r
    part = a[y1 - 1:y2, x1 - 1:x2]
    assert int(r[5]) == part.size, (r, part.size)
    assert abs(float(r[6]) - part.sum()) < 1e-6 * abs(part.sum()), (r, part.sum())
    assert abs(float(r[8]) - part.min()) < 1e-3 and abs(float(r[9]) - part.max()) < 1e-3, r
PY
"$cli" phot night.fits --at 1 >/dev/null 2>&1
[ $? = 2 ] || fail "--at without Y accepted"
"$cli" phot night.fits --method semi --star 9 --sky 8 --at 5,5 >/dev/null 2>&1
[ $? = 2 ] || fail "a star radius beyond the sky accepted"

[ "$failures" = 0 ] && echo "phot: all checks passed"
exit "$failures"
