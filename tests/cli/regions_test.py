#!/usr/bin/python3
"""vantorel-cli --regions read back by python3-regions, against the printed results.

A frame of three stars with a rotated TAN solution (FK5) is measured by centroid, phot
(apertures and a rectangle) and profile (a line and a band), with FITS rows read
bottom-up (the default) and top-down. The region files are read by
Regions.read(format='ds9'):
- image files: every point, circle, annulus, box and line sits where the printed text
  puts it (1-based FITS pixels, which DS9 uses) to 0.01 px, with the printed radii and
  sizes; the centroids lie on the stars as placed in the numpy array (0-based + 1);
- sky files (--regions-sky): each sky position lies within 0.01 arc seconds of astropy's
  world position of the printed pixel; radii and sizes are the pixel ones times astropy's
  pixel scale; a box turned back onto the pixels keeps the rectangle's centre and sizes.
An image without celestial coordinates refuses --regions-sky; a bad --regions-system is
misuse. Exits 77 when numpy, astropy or regions is missing.
"""
import csv
import io
import os
import subprocess
import sys
import tempfile

try:
    import numpy as np
    from astropy.io import fits
    from astropy.wcs import WCS
    from astropy.wcs.utils import proj_plane_pixel_scales
    from regions import Regions
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

CLI = os.path.realpath(sys.argv[1])
failures = []
STARS = ((30.3, 40.6), (90.7, 20.2), (110.1, 80.8))  # 0-based numpy x, y


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def run(*args, expect=0):
    p = subprocess.run([CLI, *args], capture_output=True, text=True)
    if p.returncode != expect:
        fail(f"{' '.join(args)}: exit {p.returncode}, wanted {expect}: {p.stderr.strip()}")
    return p


def near(what, got, want, tol):
    if not abs(got - want) <= tol:
        fail(f"{what}: {got} against {want} (tolerance {tol})")


def make_frame(path):
    rng = np.random.default_rng(5)
    y, x = np.mgrid[0:120, 0:160]
    data = 300 + rng.normal(0, 4, size=y.shape)
    for sx, sy in STARS:
        data += 4000 * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2 * 1.5**2))
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w.wcs.crpix = [80, 60]
    w.wcs.crval = [150.0, 30.0]
    c, s, sc = np.cos(np.radians(20)), np.sin(np.radians(20)), 0.5 / 3600
    w.wcs.cd = [[-sc * c, sc * s], [sc * s, sc * c]]
    w.wcs.radesys = "FK5"
    w.wcs.equinox = 2000.0
    fits.PrimaryHDU(data.astype(np.float32), header=w.to_header()).writeto(path)
    fits.PrimaryHDU(data.astype(np.float32)).writeto(path.replace(".fits", "-plain.fits"))
    return w


def csv_rows(text):
    rows = list(csv.reader(io.StringIO(text), skipinitialspace=True))
    return [[c.strip() for c in r] for r in rows[1:] if r]


def check(frame, wcs, tag):
    scale = proj_plane_pixel_scales(wcs).mean() * 3600  # arc seconds per pixel
    def sky_of(x, y):  # FITS 1-based pixel -> SkyCoord
        return wcs.pixel_to_world(x - 1, y - 1)

    # Positions: points.
    for sky in (False, True):
        reg = f"pos-{tag}-{sky}.reg"
        extra = ["--regions-sky"] if sky else []
        out = run("centroid", frame, *sum((["--at", f"{x + 1:.0f},{y + 1:.0f}"] for x, y in STARS), []),
                  "--csv", "--regions", reg, *extra).stdout
        printed = [(float(r[1]), float(r[2])) for r in csv_rows(out)]
        shapes = Regions.read(reg, format="ds9")
        if len(shapes) != 3 or len(printed) != 3:
            fail(f"{tag}: 3 points wanted, {len(shapes)} read, {len(printed)} printed")
            continue
        for i, (shape, (px, py)) in enumerate(zip(shapes, printed)):
            if sky:
                sep = shape.center.separation(sky_of(px, py)).arcsec
                near(f"{tag} point {i} on the sky (arcsec)", sep, 0.0, 0.01)
            else:
                near(f"{tag} point {i} x", shape.center.x + 1, px, 0.01)
                near(f"{tag} point {i} y", shape.center.y + 1, py, 0.01)
                # On the star as placed (0-based array position + 1).
                near(f"{tag} point {i} on its star", np.hypot(shape.center.x - STARS[i][0],
                                                              shape.center.y - STARS[i][1]), 0, 0.3)

    # Photometry: circle and annulus of each star, and a box.
    for sky in (False, True):
        reg = f"phot-{tag}-{sky}.reg"
        extra = ["--regions-sky"] if sky else []
        out = run("phot", frame, "--at", "31,42", "--at", "111,82", "--method", "semictrd",
                  "--star", "4", "--sky", "8", "--width", "3", "--rect", "10,12,25,40",
                  "--csv", "--regions", reg, *extra).stdout
        printed = [(float(r[1]), float(r[2])) for r in csv_rows(out) if len(r) == 18]
        shapes = Regions.read(reg, format="ds9")
        kinds = [type(s).__name__ for s in shapes]
        want = ["Circle", "CircleAnnulus"] * 2 + ["Rectangle"]
        want = [k + ("SkyRegion" if sky else "PixelRegion") for k in want]
        if kinds != want or len(printed) != 2:
            fail(f"{tag} phot shapes {kinds}, printed {printed}")
            continue
        for n, (px, py) in enumerate(printed):
            circle, ring = shapes[2 * n], shapes[2 * n + 1]
            if sky:
                for what, s in (("circle", circle), ("annulus", ring)):
                    near(f"{tag} {what} {n} on the sky", s.center.separation(sky_of(px, py)).arcsec,
                         0, 0.01)
                near(f"{tag} star radius (arcsec)", circle.radius.to_value("arcsec"), 4 * scale, 4 * scale * 1e-3)
                near(f"{tag} sky inner (arcsec)", ring.inner_radius.to_value("arcsec"), 8 * scale, 8 * scale * 1e-3)
                near(f"{tag} sky outer (arcsec)", ring.outer_radius.to_value("arcsec"), 11 * scale, 11 * scale * 1e-3)
            else:
                for what, s in (("circle", circle), ("annulus", ring)):
                    near(f"{tag} {what} {n} x", s.center.x + 1, px, 0.01)
                    near(f"{tag} {what} {n} y", s.center.y + 1, py, 0.01)
                near(f"{tag} star radius", circle.radius, 4, 1e-6)
                near(f"{tag} sky inner", ring.inner_radius, 8, 1e-6)
                near(f"{tag} sky outer", ring.outer_radius, 11, 1e-6)
        box = shapes[4].to_pixel(wcs) if sky else shapes[4]
        # Pixels 10 … 25 and 12 … 40 whole (1-based, inclusive).
        near(f"{tag} box x", box.center.x + 1, 17.5, 0.01)
        near(f"{tag} box y", box.center.y + 1, 26.0, 0.01)
        near(f"{tag} box width", box.width, 16, 0.01)
        near(f"{tag} box height", box.height, 29, 0.01)
        near(f"{tag} box angle", (box.angle.to_value("deg") + 1) % 180 - 1, 0, 0.01)

    # Profile: a line, and a band as a projection (a comment to the reader, but written).
    run("profile", frame, "12,20", "70,50", "--regions", f"line-{tag}.reg")
    shapes = Regions.read(f"line-{tag}.reg", format="ds9")
    if len(shapes) != 1 or type(shapes[0]).__name__ != "LinePixelRegion":
        fail(f"{tag} line: {shapes}")
    else:
        l = shapes[0]
        for what, got, want in (("x1", l.start.x, 12), ("y1", l.start.y, 20), ("x2", l.end.x, 70),
                                ("y2", l.end.y, 50)):
            near(f"{tag} line {what}", got + 1, want, 0.01)
    run("profile", frame, "12,20", "70,50", "--width", "5", "--regions", f"band-{tag}.reg")
    with open(f"band-{tag}.reg") as f:
        text = f.read()
    if "# projection(12.0000,20.0000,70.0000,50.0000,5.0000)" not in text:
        fail(f"{tag} band: {text}")


def main():
    with tempfile.TemporaryDirectory() as work:
        os.chdir(work)
        os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
        wcs = make_frame("stars.fits")
        for bottom_up in ("1", "0"):
            run("settings", "set", "IO", "FitsBottomUp", bottom_up)
            check("stars.fits", wcs, "bottom-up" if bottom_up == "1" else "top-down")

        # Refusals: no celestial coordinates, a system the image is not in, bad values.
        p = run("centroid", "stars-plain.fits", "--at", "31,41", "--regions", "x.reg",
                "--regions-sky", expect=1)
        if "no celestial coordinates" not in p.stderr or os.path.exists("x.reg"):
            fail(f"plain image with --regions-sky: {p.stderr}")
        p = run("phot", "stars.fits", "--at", "31,41", "--regions", "x.reg", "--regions-system",
                "galactic", expect=1)
        if "fk5" not in p.stderr or os.path.exists("x.reg"):
            fail(f"galactic on an fk5 image: {p.stderr}")
        run("detect", "stars.fits", "--regions-system", "mars", "--regions", "x.reg", expect=2)
        # --regions-system fk5 is the image's own sky here: the file of --regions-sky.
        for name, how in (("a.reg", ["--regions-sky"]), ("b.reg", ["--regions-system", "fk5"])):
            run("centroid", "stars.fits", "--at", "31,41", "--regions", name, *how)
        if open("a.reg").read() != open("b.reg").read() or "\nfk5\n" not in open("b.reg").read():
            fail("--regions-system fk5 differs from --regions-sky")
        run("profile", "stars.fits", "1,1", "5,5", "--regions", expect=2)
        # detect writes its peaks too; an existing file is replaced whole.
        with open("d.reg", "w") as f:
            f.write("old text\n" * 1000)
        run("detect", "stars.fits", "--factor", "3", "--regions", "d.reg")
        if len(Regions.read("d.reg", format="ds9")) != 3:
            fail("detect: three points wanted in d.reg")
    if failures:
        sys.exit(1)
    print("regions: all checks passed")


main()
