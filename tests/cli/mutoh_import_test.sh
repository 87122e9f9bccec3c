#!/usr/bin/env bash
# vantorel-cli on Mutoh MTF and BIN files, headerless raw files and text data imports:
# conversions in each direction compared with astropy, the raw layout from flags, the
# import with each layout flag compared with numpy's loadtxt, and the messages of
# malformed files and texts.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"
/usr/bin/python3 -c "import numpy, astropy" 2>/dev/null || { echo "numpy or astropy missing"; exit 77; }

ok() {
  local name=$1; shift
  if ! "$cli" "$@" >"$name.out" 2>"$name.err"; then fail "$name: $* exited $?"; cat "$name.err"; fi
}
refused() {
  local name=$1 text=$2; shift 2
  if "$cli" "$@" >"$name.out" 2>"$name.err"; then fail "$name: $* succeeded"; return; fi
  grep -qF -- "$text" "$name.err" || { fail "$name: no '$text' in:"; cat "$name.err"; }
}

/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
px = (np.arange(12, dtype=np.uint16) * 5000 + 7).reshape(3, 4)
head = b"MUTOHCV\nWIDTH 4\nHEIGHT 3\nCAMERA CV-04\nSHUTTIME 30\nEND\n"
open("a.mtf", "wb").write(head.ljust(2048, b"\0") + px.astype("<u2").tobytes())
open("a.bin", "wb").write(np.array([4, 3, 0, 0], "<u2").tobytes() + px.astype("<u2").tobytes())
open("a.raw", "wb").write(b"skip" + px.astype(">i2").tobytes())
np.save("px.npy", px)
open("bad.mtf", "wb").write(b"MUTOHCV 1\n".ljust(2048, b"\0") + px.tobytes())
open("huge.bin", "wb").write(np.array([2000, 2000, 0, 0], "<u2").tobytes())
cards = ["SIMPLE  =                    T", "BITPIX  =                  -32",
         "NAXIS   =                    2", "NAXIS1  =                    4",
         "NAXIS2  =                    3", "AUTHOR  = 'Someone'", "END"]
header = "".join(c.ljust(80) for c in cards)
values = np.array([[1.5, -2, 3e5, 4], [0, 6.25, -7, 8], [9, 10, 11, 1e-3]])
open("rows.txt", "w").write(header + "\n" + "\n".join(",".join(repr(v) for v in r) for r in values) + "\n")
open("cols.txt", "w").write(header + "\n" + "\n".join("\t".join(repr(v) for v in c) for c in values.T) + "\n")
open("short.txt", "w").write(header + "1 2 3\n")
open("noend.txt", "w").write(cards[0].ljust(80) + "1 2 3\n")
spec = [c for c in cards if not c.startswith(("NAXIS2", "AUTHOR"))]
spec[2] = "NAXIS   =                    1"
open("spec.txt", "w").write("".join(c.ljust(80) for c in spec) + "1 10\n2 20\n3 30\n4 40\n")
PY

check() {  # check NAME FITS PYTHON-EXPRESSION-OF-EXPECTED
  /usr/bin/python3 - "$2" "$3" <<'PY' || fail "$1: $2 differs"
import sys
import numpy as np
from astropy.io import fits
px = np.load("px.npy")
data = fits.getdata(sys.argv[1]).astype(np.float64)
# FITS rows are written bottom-up: the first row of the file is the last image row.
expected = np.asarray(eval(sys.argv[2]), dtype=np.float64)
if expected.ndim == 2:
    expected = np.flipud(expected)
if data.shape != expected.shape or not np.array_equal(data, expected):
    print(data, expected, sep="\n")
    sys.exit(1)
PY
}

for f in a.mtf a.bin; do
  ok "conv-$f" convert "$f" "$f.fts"
  check "conv-$f" "$f.fts" "px"
done
ok info-mtf info a.mtf
grep -q "format: Mutoh MTF ﾌｫｰﾏｯﾄ$" info-mtf.out || fail "a.mtf: $(cat info-mtf.out)"
ok header-mtf header a.mtf
grep -q "^INSTRUME= 'CV-04 " header-mtf.out || fail "a.mtf has no INSTRUME: $(cat header-mtf.out)"
grep -q "^EXPTIME =                30.00" header-mtf.out || fail "a.mtf has no EXPTIME"

# FITS to MTF and BIN and back; the MTF header keeps the camera line.
ok to-mtf convert a.mtf.fts b.mtf
ok to-bin convert a.mtf.fts b.bin
for f in b.mtf b.bin; do
  ok "back-$f" convert "$f" "$f.fts"
  check "back-$f" "$f.fts" "px"
done
head -c 2048 b.mtf | tr '\0' '\n' | grep -q "^CAMERA CV-04$" || fail "b.mtf lost its CAMERA line"
cmp -s <(tail -c 24 b.bin) <(tail -c 24 a.bin) || fail "b.bin pixels differ from a.bin"

# A raw file: layout from the flags.
ok raw convert a.raw raw.fts --raw 4,3,16,header=4,mac,signed
check raw raw.fts "px.astype(np.int16)"
ok raw-info info a.raw --raw 4,3,16,header=4,mac,signed
grep -q "format: Rawイメージ$" raw-info.out || fail "a.raw: $(cat raw-info.out)"

# Malformed files: their messages, never a crash.
refused bad-mtf "ファイルの形式が正しくないか、読み込めない種類のデータです。" info bad.mtf
refused huge-bin "ファイルが途中で終わっています。" info huge.bin

# Imports: the same numbers whatever the layout.
ok import-rows import rows.txt rows.fts --separator , --order rows
check import-rows rows.fts "np.array([[1.5, -2, 3e5, 4], [0, 6.25, -7, 8], [9, 10, 11, 1e-3]], np.float32)"
ok import-cols import cols.txt cols.fts --tab --order columns
check import-cols cols.fts "np.array([[1.5, -2, 3e5, 4], [0, 6.25, -7, 8], [9, 10, 11, 1e-3]], np.float32)"
ok import-scaled import rows.txt scaled.fts --separator , --bscale 2 --bzero 10
check import-scaled scaled.fts "np.array([[1.5, -2, 3e5, 4], [0, 6.25, -7, 8], [9, 10, 11, 1e-3]], np.float32) * 2 + 10"
/usr/bin/python3 -c "
from astropy.io import fits
assert fits.getheader('rows.fts')['AUTHOR'] == 'Someone'" || fail "rows.fts lost its AUTHOR"
# Spectral data of two columns: the column to read must be named.
refused import-ask "ﾃﾞｰﾀは 2 列（行）あります。" import spec.txt sp.fts --kind spectrum --order columns --separator " "
# One axis: saved as a one-dimensional FITS image.
ok import-spec import spec.txt sp.fts --kind spectrum --order columns --separator " " --column 2 --rows 2
check import-spec sp.fts "np.array([10, 20, 30, 40], np.float32)"
refused import-short "ﾃﾞｰﾀ数が少ないため" import short.txt s.fts --separator " "
refused import-noend "FITSﾍｯﾀﾞのENDが見つかりません。" import noend.txt n.fts --separator " " --size 3,1
refused import-bad-size "入力した値が不正です。" import rows.txt z.fts --separator , --size 0,3
[ -e s.fts ] || [ -e n.fts ] && fail "a refused import wrote a file"

[ "$failures" -eq 0 ] && echo "all passed"
exit $((failures > 0))
