#!/usr/bin/env bash
# vantorel-cli render gives the same bytes with one thread and with two: a grey 16-bit
# image and a colour one (three planes read as red, green, blue), large enough that the
# display mapping, the PNG rows and the compressed pieces are shared between the threads,
# as is, enlarged and reduced; and those files are sound PNG with libpng's pixels.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

/usr/bin/python3 - <<'PY' || exit 1
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(11)
grey = rng.integers(0, 65536, (400, 2600), dtype=np.uint16)
fits.PrimaryHDU(grey).writeto("grey.fits")
colour = rng.normal(1000, 200, (3, 300, 2100)).astype(np.float32)
fits.PrimaryHDU(colour).writeto("colour.fits")
PY

for image in grey colour; do
  planes=()
  [ $image = colour ] && planes=(--planes rgb:1,2,3)
  for zoom in 1 2 0; do
    for threads in 1 2; do
      "$cli" --threads $threads render $image.fits $image-$zoom-$threads.png --zoom $zoom \
        "${planes[@]}" 2>err.txt ||
        { fail "$image zoom $zoom, $threads threads"; cat err.txt; }
    done
    cmp -s $image-$zoom-1.png $image-$zoom-2.png ||
      fail "$image at zoom $zoom differs between one thread and two"
  done
done
if "$cli" --threads 0 render grey.fits x.png 2>err.txt; then fail "--threads 0 accepted"; fi

# The quick setting's files, compressed in pieces, are whole PNG files: every chunk's CRC
# holds, the IDAT data are one zlib stream whose check value holds, and the pixels equal
# those of the same picture written by libpng at a level of its own.
for image in grey colour; do
  planes=()
  [ $image = colour ] && planes=(--planes rgb:1,2,3)
  for zoom in 1 2 0; do
    "$cli" render $image.fits $image-$zoom-libpng.png --zoom $zoom --png-level 7 \
      "${planes[@]}" 2>err.txt || { fail "$image zoom $zoom at --png-level 7"; cat err.txt; }
  done
done
/usr/bin/python3 - <<'PY' || fail "a quick PNG is not a whole PNG file with the pixels of libpng's"
import struct, zlib
import numpy as np
from PIL import Image
ok = True
for image in ("grey", "colour"):
    for zoom in (1, 2, 0):
        path = f"{image}-{zoom}-2.png"
        data = open(path, "rb").read()
        assert data[:8] == b"\x89PNG\r\n\x1a\n", path
        pos, kinds, idat = 8, [], b""
        while pos < len(data):
            n, = struct.unpack(">I", data[pos:pos + 4])
            kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
            crc, = struct.unpack(">I", data[pos + 8 + n:pos + 12 + n])
            if zlib.crc32(kind + body) != crc:
                print(f"{path}: bad CRC in {kind}"); ok = False
            kinds.append(kind)
            if kind == b"IHDR":
                width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            if kind == b"IDAT":
                idat += body
            pos += 12 + n
        # As is and enlarged, each picture spans several pieces.
        if kinds[0] != b"IHDR" or kinds[-1] != b"IEND" or kinds.count(b"IDAT") < (2 if zoom else 1):
            print(f"{path}: chunks {kinds[:3]}...{kinds[-2:]}, {kinds.count(b'IDAT')} IDAT"); ok = False
        raw = zlib.decompress(idat)  # raises on a wrong check value
        if len(raw) != height * (1 + width * (1 if colour == 0 else 3)):
            print(f"{path}: {len(raw)} bytes unpacked for {width} x {height}"); ok = False
        if not np.array_equal(np.asarray(Image.open(path)),
                              np.asarray(Image.open(f"{image}-{zoom}-libpng.png"))):
            print(f"{path}: pixels differ from libpng's"); ok = False
raise SystemExit(0 if ok else 1)
PY

[ $failures -eq 0 ] && echo "render thread checks passed" || echo "render thread checks FAILED"
exit $((failures > 0))
