#!/usr/bin/env bash
# What vantorel-cli says on standard error when a file can only be read in part or not
# at all: a FITS file that ends inside its last extension (opened without it, with a
# warning naming the file and the extension, and saved with the rest, as astropy reads
# it), a low-resolution colour Bitran frame too small for one mosaic cell, and the
# "<USF>" suffix on a file that is not FITS.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

# A primary image, a binary table EVENTS and an image extension SCI; the cut points go
# inside SCI's header, on its header's record boundary and inside its data, and nowhere
# (the whole file).
/usr/bin/python3 - <<'PY' || exit 1
import struct
import numpy as np
from astropy.io import fits
primary = fits.PrimaryHDU(np.arange(200, dtype=np.int16).reshape(10, 20))
events = fits.BinTableHDU.from_columns([fits.Column(name="A", format="E", array=np.arange(5))],
                                       name="EVENTS")
sci = fits.ImageHDU(np.ones((30, 40), np.float32), name="SCI")
fits.HDUList([primary, events, sci]).writeto("full.fits")
start = fits.open("full.fits").fileinfo(2)["hdrLoc"]
data = open("full.fits", "rb").read()
cuts = {"header": start + 400, "boundary": start + 2880, "data": start + 2880 + 1234}
for name, size in cuts.items():
    open(f"cut_{name}.fits", "wb").write(data[:size])

def bitran(width, height):
    text = "カラー".encode("cp932") + b"\0"
    f = b"BITRAN CCD original format ".ljust(28, b" ") + b"1.7" + b"\0"
    f += struct.pack("<ii", 1, len(text)) + text + struct.pack("<i", 0)
    f += struct.pack("<iiii", width, height, 0, 0) + b"CCD=word"
    return f + b"".join(struct.pack("<H", 100 + i) for i in range(width * height))
open("tiny.ccd", "wb").write(bitran(1, 1))
open("thin.ccd", "wb").write(bitran(5, 1))
open("cell.ccd", "wb").write(bitran(2, 2))
PY
"$cli" render full.fits picture.png >/dev/null 2>&1 || { fail "no PNG to try <USF> on"; }

# says NAME TEXT ARGS...: the command's standard error holds TEXT.
says() {
  local name=$1 text=$2; shift 2
  "$cli" "$@" >"$name.out" 2>"$name.err"
  echo $? >"$name.rc"
  grep -qF -- "$text" "$name.err" || { fail "$name: no '$text' in:"; cat "$name.err"; }
}
cutText="2 番目の Extension (SCI) の途中で終わっています"
for cut in header boundary data; do
  says "$cut" "cut_$cut.fits" convert "cut_$cut.fits" "saved_$cut.fits"
  [ "$(cat "$cut.rc")" = 0 ] || fail "$cut: convert exited $(cat "$cut.rc")"
  if [ "$cut" = header ]; then
    # The name is not in the part of the header the file holds.
    grep -qF "2 番目の Extension の途中で終わっています" "$cut.err" || fail "$cut: no warning"
  else
    grep -qF "$cutText" "$cut.err" || fail "$cut: the warning does not name SCI"
  fi
  grep -qF "保存しても残りません" "$cut.err" || fail "$cut: not told the extension is not kept"
done
says whole "" convert full.fits saved_whole.fits
grep -qF "Extension" whole.err && fail "the whole file gave a warning: $(cat whole.err)"
/usr/bin/python3 - <<'PY' || fail "saved files"
from astropy.io import fits
for cut in ("header", "boundary", "data"):
    names = [h.name for h in fits.open(f"saved_{cut}.fits")]
    assert names == ["PRIMARY", "EVENTS"], (cut, names)
    assert (fits.getdata(f"saved_{cut}.fits", 1)["A"] == range(5)).all(), cut
assert [h.name for h in fits.open("saved_whole.fits")] == ["PRIMARY", "EVENTS", "SCI"]
PY

small="画像が小さすぎるため、カラー画像に変換できません"
for f in tiny thin; do
  says "$f" "$small" info "$f.ccd"
  grep -qF "$f.ccd" "$f.err" || fail "$f: the message does not name the file"
  grep -qF "メモリが不足" "$f.err" && fail "$f.ccd still blames memory"
done
"$cli" info cell.ccd >cell.out 2>cell.err || fail "a 2 x 2 colour frame is refused: $(cat cell.err)"
grep -q "width: 1" cell.out || fail "a 2 x 2 colour frame is not one colour pixel"

usf="「<USF>」はFITSファイルの整数データを符号なしとして読むための指定です"
says usf-png "$usf" info "picture.png<USF>"
grep -qF "途中で終わっています" usf-png.err && fail "<USF> on a PNG still says the file ends early"
says usf-render "$usf" render "picture.png<usf>" again.png
[ -e again.png ] && fail "a PNG with <USF> was read"
"$cli" info "full.fits<USF>" >usf-fits.out 2>usf-fits.err || fail "<USF> on FITS refused: $(cat usf-fits.err)"

[ $failures -eq 0 ] && echo "read message checks passed" || echo "read message checks: $failures failed"
exit $((failures > 0))
