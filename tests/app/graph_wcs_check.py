# The sky at FITS pixel positions of a file, by astropy.wcs: one "ra dec" line (degrees)
# per "x y" pair given (1-based, as the FITS header counts pixels).
# Usage: graph_wcs_check.py FILE.fits X1 Y1 [X2 Y2 ...]
import sys

from astropy.io import fits
from astropy.wcs import WCS

with fits.open(sys.argv[1]) as hdul:
    wcs = WCS(hdul[0].header)
values = [float(v) for v in sys.argv[2:]]
for x, y in zip(values[0::2], values[1::2]):
    ra, dec = wcs.all_pix2world(x, y, 1)
    print(f"{float(ra):.10f} {float(dec):.10f}")
