#!/usr/bin/env bash
# vantorel-cli info and header on gzip-packed FITS files say exactly what they say of the
# same files unpacked: an image in the primary unit, and images in extensions named or
# chosen. Sizes, types and units are checked against astropy's reading of the packed files.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

/usr/bin/python3 - <<'PY' || exit 1
import gzip, shutil
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(3)
# Larger than a megabyte, so that its data span several pieces of the stream.
primary = fits.PrimaryHDU(rng.integers(-3000, 30000, (500, 1100)).astype(np.int16))
primary.header["BSCALE"] = 0.5
primary.header["BZERO"] = 100.0
primary.header["OBJECT"] = "M 31"
table = fits.BinTableHDU.from_columns([fits.Column(name="A", format="E", array=np.arange(3))],
                                      name="EVENTS")
fits.HDUList([primary, table]).writeto("prim.fits")
sci1 = fits.ImageHDU(rng.integers(0, 4000, (40, 30)).astype(np.int16), name="SCI", ver=1)
sci2 = fits.ImageHDU(rng.normal(5, 2, (20, 50)).astype(np.float32), name="SCI", ver=2)
sci2.header["EXPTIME"] = 12.5
fits.HDUList([fits.PrimaryHDU(), sci1, table, sci2]).writeto("mef.fits")
for name in ("prim.fits", "mef.fits"):
    with open(name, "rb") as f, gzip.open(name + ".gz", "wb") as g:
        shutil.copyfileobj(f, g)
# What astropy makes of the packed files: the size and type of the unit each name opens.
with open("expected.txt", "w") as out:
    for name, unit in (("prim.fits", 0), ("mef.fits", 1), ("mef.fits[1]", 1),
                       ("mef.fits[SCI,2]", 3)):
        file, _, rest = name.partition("[")
        with fits.open(file + ".gz") as hdus:
            h = hdus[unit].header
            out.write(f"{name}|{h['NAXIS1']}|{h['NAXIS2']}|{h['BITPIX']}|{len(hdus)}\n")
PY

# One command on a name and on the same name packed, the packed name written as the
# plain one so that the two outputs, standard error included, may be compared whole.
same() {
  local what=$1 name=$2 packed=${2/.fits/.fits.gz}
  shift 2
  "$cli" "$what" "$@" "$name" >plain.out 2>plain.err
  local plainCode=$?
  "$cli" "$what" "$@" "$packed" >packed.out 2>packed.err
  local packedCode=$?
  sed -i "s/\.fits\.gz/.fits/g" packed.out packed.err
  # The header written states when it was made, in more than one card.
  sed -i -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}/(now)/g' plain.out packed.out
  [ "$plainCode" -eq "$packedCode" ] || fail "$what $* $packed: exit $packedCode, plain $plainCode"
  cmp -s plain.out packed.out || fail "$what $* $packed differs: $(diff plain.out packed.out)"
  cmp -s plain.err packed.err || fail "$what $* $packed says else: $(diff plain.err packed.err)"
  [ -s plain.out ] || fail "$what $* $name printed nothing: $(cat plain.err)"
}

while IFS='|' read -r name width height bits units; do
  same info "$name"
  same info "$name" --json
  same header "$name"
  "$cli" info "${name/.fits/.fits.gz}" >out.txt 2>/dev/null
  for line in "width: $width" "height: $height" "bits: $bits" "hdus: $units"; do
    grep -qxF "  $line" out.txt || fail "info ${name/.fits/.fits.gz} lacks '$line': $(cat out.txt)"
  done
  "$cli" header "${name/.fits/.fits.gz}" >out.txt 2>/dev/null
  for key in "NAXIS1  = *$width " "NAXIS2  = *$height " "BITPIX  = *$bits "; do
    grep -qE "^$key" out.txt || fail "header ${name/.fits/.fits.gz} lacks '$key'"
  done
done <expected.txt

echo "gzip_header_test: $failures failure(s)"
[ "$failures" -eq 0 ]
