#!/usr/bin/env bash
# Positions on the command line that no pixel of an int image can be: NaN, infinities and
# numbers beyond ±1e9 are refused by profile, phot (--at, --rect), detect (--rect) and
# centroid (--at) with exit 2 and a message naming the argument, before anything is
# measured. Under the sanitizers the old code overflowed (profile aborted) or wrapped
# 2^32 + 5 round to pixel 5; positions at ±1e9 are still taken. wcs keeps its own rule:
# its arguments must be finite, and pairs read from standard input print none or null.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
from astropy.io import fits
y, x = np.mgrid[0:40, 0:50]
data = (100 + 500 * np.exp(-((x - 20) ** 2 + (y - 15) ** 2) / 8.0)).astype(np.float32)
h = fits.PrimaryHDU(data).header
for k, v in {"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRPIX1": 25.0, "CRPIX2": 20.0,
             "CRVAL1": 150.0, "CRVAL2": 2.0, "CDELT1": -0.001, "CDELT2": 0.001}.items():
    h[k] = v
fits.PrimaryHDU(data, h).writeto("star.fits")
PY

# refused ARGUMENT-TEXT COMMAND...: exit 2, the argument named, no sanitizer report.
refused() {
  local named=$1
  shift
  "$cli" "$@" >out.txt 2>err.txt
  local rc=$?
  [ "$rc" -eq 2 ] || fail "$* gave exit $rc, not 2: $(head -c 300 err.txt)"
  grep -qF -- "$named" err.txt || fail "$*: the message does not name '$named': $(cat err.txt)"
  grep -qF "each coordinate must be a finite number from -1e9 to 1e9" err.txt ||
    fail "$*: no range in the message: $(head -c 300 err.txt)"
  [ -s out.txt ] && fail "$*: printed a result"
}

for bad in nan inf -inf 1e300 1.5e9 -1000000001 2147483647 4294967301 -nan infinity; do
  refused "the start point '$bad,5'" profile star.fits "$bad,5" 10,10
  refused "the end point '3,$bad'" profile star.fits 1,1 "3,$bad"
  refused "--at '$bad,15'" phot star.fits --at "$bad,15"
  refused "--at '21,$bad'" phot star.fits --at 21,16 --at "21,$bad"
  refused "--rect '1,1,$bad,5'" phot star.fits --rect "1,1,$bad,5"
  refused "--rect '$bad,1,5,5'" detect star.fits --rect "$bad,1,5,5"
  refused "--at '21,$bad'" centroid star.fits --at "21,$bad"
done

# Malformed positions keep their own message.
"$cli" profile star.fits 1,1,1 3,3 2>err.txt
[ $? -eq 2 ] && grep -qF "the start point takes X1,Y1, not '1,1,1'" err.txt ||
  fail "malformed start: $(cat err.txt)"
"$cli" phot star.fits --at 1,x 2>err.txt
[ $? -eq 2 ] && grep -qF "phot: --at takes X,Y, not '1,x'" err.txt || fail "malformed --at: $(cat err.txt)"

# The edges of the range are taken: measured far off the image, or not at all, never a
# wrapped pixel and never undefined behaviour (the sanitizers would end the process).
for edge in 1e9 -1e9 1000000000; do
  for cmd in "profile star.fits $edge,$edge 1,1" "phot star.fits --at $edge,5" \
             "phot star.fits --at $edge,5 --method semi" "phot star.fits --rect 1,1,$edge,$edge" \
             "detect star.fits --rect $edge,$edge,1,1" "centroid star.fits --at $edge,-5"; do
    # shellcheck disable=SC2086
    "$cli" $cmd >out.txt 2>err.txt
    rc=$?
    [ "$rc" -le 1 ] || fail "$cmd: exit $rc: $(head -c 300 err.txt)"
    grep -q "runtime error\|AddressSanitizer" err.txt && fail "$cmd: $(head -c 300 err.txt)"
  done
done
# 2^32 + 21 is no alias of pixel 21: the star there is not measured.
"$cli" phot star.fits --at 4294967317,16 >out.txt 2>/dev/null && fail "2^32 + 21 measured"
# In range, the star is where it is: x 21, y 16 counted from the bottom (the default).
"$cli" centroid star.fits --at 21,16 >out.txt 2>err.txt || fail "centroid: $(cat err.txt)"
grep -qE "^ +1 +21\.00 +16\.00 " out.txt || fail "centroid row: $(cat out.txt)"

# wcs: arguments finite or refused; from standard input any number, none where no sky.
"$cli" wcs star.fits nan 5 2>err.txt
[ $? -eq 2 ] && grep -qF "'nan' is not a pixel position" err.txt || fail "wcs nan arg: $(cat err.txt)"
printf 'nan 5\n25 20\n' | "$cli" wcs star.fits - >out.txt 2>err.txt || fail "wcs -: $(cat err.txt)"
grep -qx "nan 5 none" out.txt && grep -qF "25 20 celestial 150 2" out.txt || fail "wcs -: $(cat out.txt)"
printf 'nan 5\n' | "$cli" wcs --json star.fits - >out.txt 2>err.txt || fail "wcs --json -"
grep -qF '"x":null' out.txt || fail "wcs --json nan: $(cat out.txt)"

echo "coordinates_test: $failures failure(s)"
[ "$failures" -eq 0 ]
