#!/usr/bin/python3
"""Region files as python3-regions writes them, for the program to read.

Writes into DIR: frame.fits (a ramp whose values name their FITS pixel, value = 1000 y + x
for 1-based x, y, with a rotated TAN solution in FK5 and a physical-to-image map LTM/LTV),
and region files holding circles, points and shapes the program passes over:
  image.reg   Regions.write in image coordinates, with an ellipse and a rectangle;
  fk5.reg     Regions.write on the sky (fk5, degrees), radii in arc seconds;
  sexa.reg    the same sky positions in sexagesimal text (hh:mm:ss, dd:mm:ss);
  physical.reg the image positions through LTM/LTV, in physical coordinates;
  ds9_*.reg   files DS9 saved (tests/measure/data) after the same shapes were drawn on
              frame.fits, in image coordinates and in fk5 (degrees, sexagesimal).
expected.txt has one line per circle or point read: "FILE KIND X Y R VALUE", X and Y the
FITS pixel (1-based) from astropy's world_to_pixel for the sky files, R in pixels (0 for
points) and VALUE the frame's value at the nearest pixel, so that the reader's rows are
checked against the file's own order. The last line per file, "FILE skipped N", counts
the shapes that are not circles or points.
"""
import os
import sys

import numpy as np
from astropy import units as u
from astropy.coordinates import SkyCoord
from astropy.io import fits
from astropy.wcs import WCS
from astropy.wcs.utils import proj_plane_pixel_scales
from regions import (CirclePixelRegion, CircleSkyRegion, EllipsePixelRegion, PixCoord,
                     PointPixelRegion, PointSkyRegion, RectanglePixelRegion, Regions)

out = sys.argv[1]
w = WCS(naxis=2)
w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
w.wcs.crpix = [60, 40]
w.wcs.crval = [210.5, -12.25]
c, s, sc = np.cos(np.radians(-35)), np.sin(np.radians(-35)), 0.8 / 3600
w.wcs.cd = [[-sc * c, sc * s], [sc * s, sc * c]]
w.wcs.radesys = "FK5"
w.wcs.equinox = 2000.0
H, W = 90, 130
yy, xx = np.mgrid[1:H + 1, 1:W + 1]
header = w.to_header()
header["LTV1"], header["LTV2"], header["LTM1_1"], header["LTM2_2"] = -4.0, 6.0, 0.5, 0.5
fits.PrimaryHDU((1000.0 * yy + xx).astype(np.float64), header=header).writeto(
    os.path.join(out, "frame.fits"))
scale = proj_plane_pixel_scales(w).mean() * 3600

# 1-based FITS pixel positions of the circles (with radii) and points.
circles = [(12.25, 17.4, 3.0), (100.75, 71.125, 6.5), (64.0, 45.0, 11.0)]
points = [(20.4, 80.25), (121.0, 5.75)]
lines = []


def value(x, y):
    return 1000.0 * round(y) + round(x)


def shapes(pixel):
    out = []
    for x, y, r in circles:
        if pixel:
            out.append(CirclePixelRegion(PixCoord(x - 1, y - 1), r))
        else:
            out.append(CircleSkyRegion(w.pixel_to_world(x - 1, y - 1), r * scale * u.arcsec))
    for x, y in points:
        out.append(PointPixelRegion(PixCoord(x - 1, y - 1)) if pixel else
                   PointSkyRegion(w.pixel_to_world(x - 1, y - 1)))
    return out


image = shapes(True) + [EllipsePixelRegion(PixCoord(30, 30), 8, 4),
                        RectanglePixelRegion(PixCoord(50, 20), 10, 6)]
Regions(image).write(os.path.join(out, "image.reg"), format="ds9", overwrite=True)
Regions(shapes(False)).write(os.path.join(out, "fk5.reg"), format="ds9", overwrite=True)
for x, y, r in circles:
    lines.append(f"image.reg circle {x!r} {y!r} {r!r} {value(x, y)!r}")
for x, y in points:
    lines.append(f"image.reg point {x!r} {y!r} 0 {value(x, y)!r}")
lines.append("image.reg skipped 2")

# The sky files: where astropy puts the written sky positions back on the pixels.
sexa = ["# Region file format: DS9 version 4.1", "global color=green", "fk5"]
for kind, sky in [("circle", sh) for sh in shapes(False)[:3]] + \
                 [("point", sh) for sh in shapes(False)[3:]]:
    px, py = w.world_to_pixel(sky.center)
    x, y = float(px) + 1, float(py) + 1
    r = sky.radius.to_value(u.arcsec) / scale if kind == "circle" else 0.0
    for name in ("fk5.reg", "sexa.reg"):
        lines.append(f"{name} {kind} {x!r} {y!r} {r!r} {value(x, y)!r}")
    pos = sky.center.to_string("hmsdms", sep=":", precision=5).replace(" ", ",")
    sexa.append(f"{kind}({pos},{sky.radius.to_value(u.arcmin):.9f}')" if kind == "circle"
                else f"point({pos}) # point=cross")
sexa.append("# text(1,2) text={a note}")
lines += ["fk5.reg skipped 0", "sexa.reg skipped 1"]
with open(os.path.join(out, "sexa.reg"), "w") as f:
    f.write("\n".join(sexa) + "\n")

# Physical: image = LTM physical + LTV, so physical = (image - LTV) / LTM.
phys = ["global color=green", "physical"]
for x, y, r in circles:
    phys.append(f"circle({(x + 4) / 0.5!r},{(y - 6) / 0.5!r},{r / 0.5!r})")
    lines.append(f"physical.reg circle {x!r} {y!r} {r!r} {value(x, y)!r}")
for x, y in points:
    phys.append(f"point {(x + 4) / 0.5!r} {(y - 6) / 0.5!r}")
    lines.append(f"physical.reg point {x!r} {y!r} 0 {value(x, y)!r}")
lines.append("physical.reg skipped 0")
with open(os.path.join(out, "physical.reg"), "w") as f:
    f.write("\n".join(phys) + "\n")
# Files that DS9 itself saved after the same circles, points and a box were drawn on
# frame.fits (image, and fk5 in degrees and in sexagesimal): the positions expected are
# where python3-regions and astropy put the shapes that DS9 wrote.
here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
for name in ("ds9_image.reg", "ds9_fk5.reg", "ds9_sexa.reg"):
    with open(os.path.join(here, name)) as f:
        text = f.read()
    with open(os.path.join(out, name), "w") as f:
        f.write(text)
    skipped = 0
    for sh in Regions.read(os.path.join(out, name), format="ds9"):
        kind = type(sh).__name__
        if kind.startswith("Circle"):
            kind = "circle"
        elif kind.startswith("Point"):
            kind = "point"
        else:
            skipped += 1
            continue
        if "Sky" in type(sh).__name__:
            px, py = w.world_to_pixel(sh.center)
            r = sh.radius.to_value(u.arcsec) / scale if kind == "circle" else 0.0
        else:
            px, py = sh.center.x, sh.center.y
            r = float(sh.radius) if kind == "circle" else 0.0
        x, y = float(px) + 1, float(py) + 1
        lines.append(f"{name} {kind} {x!r} {y!r} {r!r} {value(x, y)!r}")
    lines.append(f"{name} skipped {skipped}")
with open(os.path.join(out, "expected.txt"), "w") as f:
    f.write("\n".join(lines) + "\n")
