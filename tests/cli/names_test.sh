#!/usr/bin/env bash
# vantorel-cli with awkward names: targets whose names are up to the folder's limit save
# (a longer one is named as too long), files whose names hold '<' open and save, bracketed
# units whose number is no int are refused, and (as root, who can make a link of another
# user) a link planted by another user in a sticky folder is not saved through. astropy
# reads every file written back.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
from astropy.io import fits
data = np.arange(20, dtype=np.float32).reshape(4, 5)
fits.PrimaryHDU(data).writeto("p.fits")
fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(data * 2, name="SCI", ver=1),
              fits.ImageHDU(data * 3, name="SCI", ver=2)]).writeto("mef.fits")
PY

# Is the file a FITS image equal to p.fits times factor?
same() {
  /usr/bin/python3 - "$1" "$2" 2>/dev/null <<'PY'
import sys
import numpy as np
from astropy.io import fits
want = fits.getdata("p.fits") * float(sys.argv[2])
got = fits.getdata(sys.argv[1])
sys.exit(0 if got.shape == want.shape and np.array_equal(got, want) else 1)
PY
}

name_max=$(getconf NAME_MAX .)
for length in 239 240 247 254 255; do
  name=$(printf 'n%.0s' $(seq $((length - 5)))).fits
  "$cli" convert p.fits "$name" 2>err.txt || fail "a $length-byte name not saved: $(cat err.txt)"
  "$cli" convert p.fits "$name" 2>err.txt || fail "a $length-byte name not saved over"
  same "$name" 1 || fail "the $length-byte file is not the image"
  rm -f "$name"
done
# The same in Japanese, three bytes a character: 83 of them and ".fits" make 254 bytes.
jname=$(printf 'あ%.0s' $(seq 83)).fits
"$cli" convert p.fits "$jname" 2>err.txt || fail "a 254-byte Japanese name not saved: $(cat err.txt)"
same "$jname" 1 || fail "the Japanese-named file is not the image"
[ "$(ls -A | grep -c vtl-tmp)" -eq 0 ] || fail "a temporary was left: $(ls -A)"
long=$(printf 'n%.0s' $(seq $((name_max + 1 - 5)))).fits
"$cli" convert p.fits "$long" 2>err.txt && fail "a name beyond NAME_MAX was saved"
grep -qF "ファイル名が長すぎます。" err.txt || fail "too-long text: $(cat err.txt)"
grep -qF "書き込みが許可されているか" err.txt && fail "a too-long name blamed on permissions"

# '<' in names that are on disk: read, and written as named.
for n in "a<b.fits" "c<USF>.fits" "x.fits<USF>"; do
  cp p.fits "$n"
  "$cli" info "$n" 2>err.txt | grep -qF "width: 5" || fail "$n not opened: $(cat err.txt)"
  "$cli" convert "$n" "out<$n>.fits" 2>err.txt || fail "$n not converted: $(cat err.txt)"
  same "out<$n>.fits" 1 || fail "out<$n>.fits is not the image"
done
"$cli" info "p.fits<USF>" 2>/dev/null | grep -qF "width: 5" || fail "the <USF> mark no longer read"

for spec in "SCI,99999999999" "99999999999" "-1" "SCI,-2"; do
  "$cli" convert "mef.fits[$spec]" bad.fits 2>err.txt && fail "mef.fits[$spec] opened"
  grep -qF "拡張部(HDU)の指定が正しくありません。" err.txt || fail "[$spec]: $(cat err.txt)"
  [ -e bad.fits ] && fail "mef.fits[$spec] wrote a file"
  rm -f bad.fits
done
"$cli" convert "mef.fits[SCI,2]" sci2.fits 2>err.txt || fail "mef.fits[SCI,2]: $(cat err.txt)"
same sci2.fits 3 || fail "mef.fits[SCI,2] is not the second SCI"

if [ "$(id -u)" -eq 0 ]; then
  mkdir -m 1777 shared
  cp p.fits victim.fits
  ln -s "$PWD/victim.fits" shared/out.fits
  chown -h 4242:4242 shared/out.fits
  "$cli" convert mef.fits[1] shared/out.fits 2>err.txt && fail "saved through another user's link"
  grep -qF "他のユーザーが作ったシンボリックリンク" err.txt || fail "foreign-link text: $(cat err.txt)"
  same victim.fits 1 || fail "the file behind the planted link changed"
  # The user's own link there is followed as before.
  ln -s "$PWD/victim.fits" shared/mine.fits
  "$cli" convert mef.fits[1] shared/mine.fits 2>err.txt || fail "own link: $(cat err.txt)"
  same victim.fits 2 || fail "the save through the own link did not reach its file"
  [ -L shared/mine.fits ] || fail "the own link was replaced"
else
  echo "names_test: not root, the foreign-link case is left out"
fi

echo "names_test: $failures failure(s)"
[ "$failures" -eq 0 ]
