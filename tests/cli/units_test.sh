#!/usr/bin/env bash
# vantorel-cli with FITS files of several units: info lists them, FILE[unit] and --hdu
# pick one, a name of no unit and a file of tables only are refused with their message.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
from astropy.io import fits
primary = fits.PrimaryHDU()
primary.header["TELESCOP"] = "SHARED"
table = fits.BinTableHDU.from_columns([fits.Column(name="A", format="E", array=np.arange(3))],
                                      name="EVENTS")
a = fits.ImageHDU(np.arange(12, dtype=np.int16).reshape(3, 4), name="SCI", ver=1)
b = fits.ImageHDU(np.full((5, 6), 2.5, np.float32), name="SCI", ver=2)
fits.HDUList([primary, a, table, b]).writeto("mef.fits")
fits.HDUList([fits.PrimaryHDU(), table]).writeto("tables.fits")
PY

out=$("$cli" info mef.fits 2>err.txt) || fail "info mef.fits failed: $(cat err.txt)"
for line in "hdus: 4" "hdu[1]: SCI      IMAGE 16 4 x 3" "hdu[2]: EVENTS   BINTABLE 8 4 x 3" \
            "hdu[3]: SCI      IMAGE -32 6 x 5" "width: 4"; do
  grep -qF -- "$line" <<<"$out" || fail "info lacks '$line': $out"
done
grep -qF "holds 2 images; reading unit 1" err.txt || fail "no note of the choice: $(cat err.txt)"

for name in "mef.fits[SCI,2]" "mef.fits[3]"; do
  "$cli" info "$name" 2>err.txt | grep -qF "width: 6" || fail "$name: not the second SCI"
  [ -s err.txt ] && fail "$name: asked or warned: $(cat err.txt)"
done
"$cli" info --hdu sci,2 mef.fits 2>/dev/null | grep -qF "width: 6" || fail "--hdu sci,2"
"$cli" info --hdu 2 mef.fits >/dev/null 2>err.txt && fail "--hdu 2 (a table) accepted"

"$cli" info "mef.fits[SCI,7]" >/dev/null 2>err.txt && fail "a unit that is not there opened"
grep -qF "指定された拡張部(HDU)はこのFITSファイルにありません。" err.txt || fail "no-unit text: $(cat err.txt)"
"$cli" info tables.fits >out.txt 2>err.txt && fail "a file of tables opened"
grep -qF "このFITSファイルには画像がありません。" err.txt || fail "no-image text: $(cat err.txt)"
grep -qF "hdu[1]: EVENTS" out.txt || fail "the units of a file without image not listed"

echo "units_test: $failures failure(s)"
[ "$failures" -eq 0 ]
