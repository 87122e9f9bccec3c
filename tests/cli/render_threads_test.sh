#!/usr/bin/env bash
# vantorel-cli render gives the same bytes with one thread and with two: a grey 16-bit
# image and a colour one (three planes read as red, green, blue), large enough that the
# display mapping and the PNG rows are shared between the threads, as is, enlarged and
# reduced.
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

[ $failures -eq 0 ] && echo "render thread checks passed" || echo "render thread checks FAILED"
exit $((failures > 0))
