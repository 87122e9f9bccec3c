#!/usr/bin/python3
"""The region files of the dialog test, through python3-regions and astropy.

check REG FITS EXPECTED: the shapes of REG, in order, are those of EXPECTED (lines
"KIND X Y [R]", FITS pixels, KIND circle, annulus, point, box or line; for a line X Y are
its start), sky shapes put on the pixels by astropy's WCS of FITS; positions to 0.01 px.
write REG FITS X Y [X Y ...]: points on the sky (fk5) at those FITS pixels, and one
circle of radius 3 px at the first, as DS9 files are written.
"""
import sys

from astropy import units as u
from astropy.io import fits
from astropy.wcs import WCS
from astropy.wcs.utils import proj_plane_pixel_scales
from regions import CircleSkyRegion, PointSkyRegion, Regions

mode, reg, path = sys.argv[1:4]
wcs = WCS(fits.getheader(path))
if mode == "write":
    xy = [float(v) for v in sys.argv[4:]]
    pts = [PointSkyRegion(wcs.pixel_to_world(x - 1, y - 1)) for x, y in zip(xy[::2], xy[1::2])]
    scale = proj_plane_pixel_scales(wcs).mean() * 3600 * u.arcsec
    circle = CircleSkyRegion(wcs.pixel_to_world(xy[0] - 1, xy[1] - 1), 3 * scale)
    Regions(pts + [circle]).write(reg, format="ds9", overwrite=True)
    sys.exit(0)

shapes = [s.to_pixel(wcs) if hasattr(s, "to_pixel") else s for s in Regions.read(reg, format="ds9")]
want = [line.split() for line in open(sys.argv[4]) if line.strip()]
bad = []
if len(shapes) != len(want):
    bad.append(f"{len(shapes)} shapes, {len(want)} wanted")
names = {"circle": "CirclePixelRegion", "annulus": "CircleAnnulusPixelRegion",
         "point": "PointPixelRegion", "box": "RectanglePixelRegion", "line": "LinePixelRegion"}
for i, (s, w) in enumerate(zip(shapes, want)):
    if type(s).__name__ != names[w[0]]:
        bad.append(f"shape {i}: {type(s).__name__}, {w[0]} wanted")
        continue
    at = s.start if w[0] == "line" else s.center
    if abs(at.x + 1 - float(w[1])) > 0.01 or abs(at.y + 1 - float(w[2])) > 0.01:
        bad.append(f"shape {i}: at {at.x + 1:.4f},{at.y + 1:.4f}, {w[1]},{w[2]} wanted")
    if len(w) > 3:
        r = s.radius if w[0] == "circle" else s.outer_radius
        if abs(r - float(w[3])) > 0.01 * float(w[3]):
            bad.append(f"shape {i}: radius {r}, {w[3]} wanted")
print("\n".join(bad) or "ok")
sys.exit(1 if bad else 0)
