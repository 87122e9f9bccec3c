#!/usr/bin/env bash
# vantorel-cli as a new user runs it: convert between FITS, TIFF, PNG, JPEG and SBIG in
# each direction that saving allows, check the refused ones fail with their message,
# and run info and header on every result.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

# ok NAME ARGS...: the command succeeds.
ok() {
  local name=$1; shift
  if ! "$cli" "$@" >"$name.out" 2>"$name.err"; then fail "$name: $* exited $?"; cat "$name.err"; fi
}
# refused NAME TEXT ARGS...: the command fails and says TEXT on standard error.
refused() {
  local name=$1 text=$2; shift 2
  if "$cli" "$@" >"$name.out" 2>"$name.err"; then fail "$name: $* succeeded"; return; fi
  grep -qF -- "$text" "$name.err" || { fail "$name: no '$text' in:"; cat "$name.err"; }
}

# Sources made here: a 16-bit FITS file with BZERO (through the tool's own writer from a
# PGM-free route: python writes the FITS bytes), and an ST-7 SBIG file.
/usr/bin/python3 - <<'PY'
import struct
def card(s): return s.ljust(80)[:80]
def key(k, v): return card(k.ljust(8) + "= " + v.rjust(20))
w, h = 64, 48
hdr = "".join([key("SIMPLE", "T"), key("BITPIX", "16"), key("NAXIS", "2"),
               key("NAXIS1", str(w)), key("NAXIS2", str(h)), key("BZERO", "32768"),
               card("END")])
hdr = hdr.ljust((len(hdr) + 2879) // 2880 * 2880)
data = b"".join(struct.pack(">h", ((x * 97 + y * 331) % 60000) - 32768)
                for y in range(h) for x in range(w))
data = data.ljust((len(data) + 2879) // 2880 * 2880, b"\0")
open("src.fts", "wb").write(hdr.encode() + data)
lines = ["ST-7 Image", "File_version = 3", "Data_version = 1", "Width = 32", "Height = 24"]
text = "".join(l + "\n\r" for l in lines) + "End\n\r\x1a"
head = text.encode().ljust(2048, b"\0")
pix = b"".join(struct.pack("<H", (x * 211 + y * 17) % 65536) for y in range(24) for x in range(32))
open("src.st7", "wb").write(head + pix)
PY

# FITS out to every raster format and back in.
ok fits-tif convert src.fts a.tif --bits 16 --compression lzw --byte-order mac
ok fits-png convert src.fts a.png
ok fits-jpg convert src.fts a.jpg --quality 9 --progressive
ok fits-fits convert src.fts a.fts
ok tif-png convert a.tif b.png --png-level 9 --interlace
ok png-tif convert a.png b.tif
ok jpg-png convert a.jpg c.png
ok png-jpg convert a.png c.jpg
ok tif-jpg convert a.tif d.jpg
# SBIG in: to FITS and the other formats, and back to SBIG of its own type.
ok sbig-fits convert src.st7 s.fts
ok sbig-tif convert src.st7 s.tif
ok sbig-png convert src.st7 s.png
ok sbig-jpg convert src.st7 s.jpg
ok sbig-sbig convert src.st7 s2.st7 --compression sbig
ok sbig-001 convert src.st7 s.001
ok fitsfromsbig-sbig convert s.fts s3.st7
# BMP and GIF: the image as shown, out and back in.
ok fits-bmp convert src.fts a.bmp
ok fits-gif convert src.fts a.gif
ok bmp-png convert a.bmp e.png
ok gif-tif convert a.gif e.tif
ok png-bmp convert a.png e.bmp

# Refusals, each with its message and a non-zero exit.
refused png-fits "この画像はFITS形式では保存できません" convert a.png x.fts
refused jpg-fits "この画像はFITS形式では保存できません" convert a.jpg x.fts
refused tif-fits "この画像はFITS形式では保存できません" convert a.tif x.fits
refused fits-sbig "SBIG形式でないファイルをSBIG形式には保存できません。" convert src.fts x.st7
refused png-sbig "SBIG形式でないファイルをSBIG形式には保存できません。" convert a.png x.st7
refused sbig-st8 "読み込んだファイル形式以外のSBIG形式では保存できません。" convert src.st7 x.st8
refused to-bitran "Bitran形式では保存できません" convert src.fts x.ccd
refused to-unknown "ファイルの形式を特定できません。" convert src.fts x.xyz
refused gif-fits "この画像はFITS形式では保存できません" convert a.gif x.fts
refused missing "ファイルを開くことができません" convert nothing.fts y.png
refused jpeg-quality "画質は1から10の範囲で指定してください。" convert src.fts y.jpg --quality 11
refused fits-bits "保存できるFITS形式は整数8/16/32ビット" convert src.fts y.fts --bits 64
refused fits-fit "--fit clip" convert src.fts y.fts --bits 8
refused stray-option "does not apply" convert src.fts y.png --quality 5
for f in x.fts x.st7 x.st8 x.ccd y.fts y.jpg; do [ -e "$f" ] && fail "$f was written"; done

# The data that fit are written again as 16-bit integers; compress fills the 8-bit range.
ok fits-compress convert src.fts e.fts --bits 8 --fit compress
"$cli" header a.fts | grep -q "^BITPIX  =                   16 " || fail "a.fts is not 16-bit"
"$cli" header e.fts | grep -q "^BITPIX  =                    8 " || fail "e.fts is not 8-bit"

# info and header on every result.
for f in a.tif a.png a.jpg a.fts b.png b.tif c.png c.jpg d.jpg s.fts s.tif s.png s.jpg s2.st7 \
         s.001 s3.st7 e.fts; do
  ok "info-$f" info "$f"
  grep -q "width: " "info-$f.out" || fail "info $f printed no width"
  ok "json-$f" info --json "$f"
  /usr/bin/python3 -c 'import json,sys; d=json.loads(open(sys.argv[1]).read()); assert d["width"]>0 and len(d["levels"])>=1, d' \
    "json-$f.out" || fail "info --json $f is not the expected JSON"
  ok "header-$f" header "$f"
  awk 'length($0) != 80 { bad = 1 } END { exit bad }' "header-$f.out" || fail "header $f: a line is not 80 characters"
  tail -n 1 "header-$f.out" | grep -q '^END ' || fail "header $f does not end with END"
done
grep -q "format: TIFF (LZW圧縮, Macintosh形式)" info-a.tif.out || fail "a.tif format: $(cat info-a.tif.out)"
grep -q "format: JPEG (ﾌﾟﾛｸﾞﾚｯｼﾌﾞ)" info-a.jpg.out || fail "a.jpg is not progressive"
grep -q "format: ST-7 Series (圧縮)" info-s2.st7.out || fail "s2.st7 is not compressed"
grep -q "width: 64" info-a.png.out || fail "a.png width"
# A whole camera frame saved as FITS keeps no card of an "original" size.
grep -q "^COMMENT NAXIS" header-s.fts.out && fail "s.fts: $(grep '^COMMENT NAXIS' header-s.fts.out)"

# Flags hold for one run: convert starts from the stored answers, never stores its own,
# and --no-progressive / --no-interlace turn off what the settings turn on.
settings=$("$cli" settings path | sed -n 's/^user: //p')
for kv in "IO SaveJpegProgressive yes" "IO SavePngInterlace yes" "IO SaveJpegQuality 8" \
          "IO SaveFitsBitsPixel -32" "IO ChangeBitsMode 0" "Dialog\\LoadByteImage Width 640"; do
  "$cli" settings set $kv >/dev/null || fail "settings set $kv"
done
# The pager notes the memory it took at each start: a report, not an answer.
snapshot() { grep -v '^AquiredMemory=' "$settings"; }
before=$(snapshot)
ok once-jpg convert src.fts n.jpg --quality 3 --no-progressive
ok once-png convert src.fts n.png --no-interlace --png-level 2 --bits 16
ok once-tif convert src.fts n.tif --bits 16 --compression packbits --byte-order mac
ok once-fits convert src.fts n.fts --bits 8 --fit compress
ok once-sbig convert src.st7 n.st7 --compression none
printf 'abcdefghijkl' > r.raw
ok once-raw convert r.raw n2.png --raw 4,3,8,mac
[ "$(snapshot)" = "$before" ] || fail "convert with flags changed the settings: $(diff <(echo "$before") <(snapshot))"
ok once-jpg-info info n.jpg
grep -q "format: JPEG$" once-jpg-info.out || fail "n.jpg: $(grep format once-jpg-info.out)"
ok once-png-info info n.png
grep -q "format: PNG$" once-png-info.out || fail "n.png: $(grep format once-png-info.out)"
# Without the flags the stored answers hold.
ok stored-jpg convert src.fts p.jpg --quality 5
ok stored-png convert src.fts p.png --png-level 5
ok stored-jpg-info info p.jpg
grep -q "format: JPEG (ﾌﾟﾛｸﾞﾚｯｼﾌﾞ)" stored-jpg-info.out || fail "p.jpg is not progressive"
ok stored-png-info info p.png
grep -q "format: PNG (ｲﾝﾀｰﾚｰｽ)" stored-png-info.out || fail "p.png is not interlaced"
[ "$(snapshot)" = "$before" ] || fail "convert changed the settings"

# header shows the cards that convert writes, card for card (the save's time aside), for
# files whose plain save keeps their own scaling, blank value and carried cards.
/usr/bin/python3 - <<'PY'
import struct
def card(s): return s.ljust(80)[:80]
def key(k, v): return card(k.ljust(8) + "= " + v.rjust(20))
hdr = "".join([key("SIMPLE", "T"), key("BITPIX", "16"), key("NAXIS", "2"), key("NAXIS1", "8"),
               key("NAXIS2", "4"), key("BSCALE", "0.045777764213996"), key("BZERO", "10.5"),
               key("BLANK", "-32768"), card("OBSERVER= 'someone'"),
               card("FOCUS   =                 1234 / a card the save comments out"),
               card("END")])
hdr = hdr.ljust((len(hdr) + 2879) // 2880 * 2880)
data = b"".join(struct.pack(">h", -32768 if i == 5 else i * 911 - 9000) for i in range(32))
open("scaled.fts", "wb").write(hdr.encode() + data.ljust(2880, b"\0"))
PY
for f in scaled.fts src.fts s.fts; do
  ok "header-of-$f" header "$f"
  ok "convert-of-$f" convert "$f" "h-$f"
  fold -w 80 "h-$f" | sed '/^END /q' > "written-$f"
  same=$(diff <(grep -v '^DATE    =\|COMMENT OUT BY' "header-of-$f.out") \
              <(grep -v '^DATE    =\|COMMENT OUT BY' "written-$f"))
  [ -z "$same" ] || fail "header $f differs from what convert writes: $same"
done
grep -q "^BSCALE  =    0.045777764213996 " header-of-scaled.fts.out ||
  fail "scaled.fts: $(grep '^BSCALE' header-of-scaled.fts.out)"
grep -q "^BLANK   =               -32768 " header-of-scaled.fts.out || fail "scaled.fts lost BLANK"

# A tile-compressed file opens through the cfitsio that is loaded on first use: the
# program itself starts without it and the forty libraries it brings.
if ldd "$cli" | grep -E 'libcfitsio|libcurl' >ldd.out; then fail "linked at start: $(cat ldd.out)"; fi
/usr/bin/python3 - <<'PY'
import numpy as np
from astropy.io import fits
d = (np.add.outer(np.arange(40) * 37, np.arange(56) * 11) % 5000 - 1200).astype(np.int16)
fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(d, compression_type="RICE_1")]).writeto(
    "rice.fits", overwrite=True)
np.save("rice.npy", d)
PY
ok convert-rice convert rice.fits rice-out.fts
/usr/bin/python3 - <<'PY' || fail "rice-out.fts differs from astropy's reading of rice.fits"
import numpy as np
from astropy.io import fits
got = fits.getdata("rice-out.fts").astype(np.int64)
raise SystemExit(0 if np.array_equal(got, np.load("rice.npy")) else 1)
PY

# Every command answers --help with the usage, on standard output, and success.
for c in info header convert render settings wcs; do
  out=$("$cli" "$c" --help 2>/dev/null) || fail "$c --help failed"
  case "$out" in "Usage: vantorel-cli"*) ;; *) fail "$c --help gave no usage" ;; esac
done

if [ "$failures" -ne 0 ]; then echo "$failures failures"; exit 1; fi
echo "all conversions behaved"
