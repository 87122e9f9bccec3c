#!/usr/bin/python3
"""vantorel-cli on FITS files as observatories ship them, judged by astropy and fitsverify.

names:   a FITS file named x.mt, x.fts.1, x (no suffix) and, gzip-packed, x.pk opens as
         FITS: info gives astropy's size and data range, and convert writes astropy's
         pixels. A text file named y.mt is refused as of unknown format.
rows:    a NAXIS = 1 spectrum of 93260 floats and a 2-D image with rows that long open at
         the default settings with astropy's values; with the pager held to 64 MB, a
         400 MB row is refused as out of memory, which it is.
axes:    NAXIS = 4 images whose third and fourth axes are 1 long (astropy's orion-freq-4
         spectrum header; a 20 x 16 radio image in SIN with FREQ and STOKES axes, as the
         primary array, as an image extension and tile-compressed, RICE integers and GZIP
         floats) open with astropy's pixels, and the copy gives astropy.wcs the sky of the
         first two axes; with NAXIS4 = 2 each is refused with the message that names the
         fourth axis.
plate:   astropy's DSS file converted (and saved over a copy of itself with a plain save,
         through the dispatcher's own save) gives astropy.wcs the same sky at every pixel
         of a grid to 1e-9 degrees, keeps the plate solution as live cards, and fitsverify
         finds no more warnings or errors than in the original; a cut of it keeps the sky
         under every pixel.
Exits 77 when numpy or astropy is missing.
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import warnings

try:
    import numpy as np
    from astropy.io import fits
    from astropy.wcs import WCS
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

warnings.simplefilter("ignore")
CLI = os.path.realpath(sys.argv[1])
DATA = "/usr/lib/python3/dist-packages/astropy"
failures = []

UNKNOWN_TYPE = "ファイルの形式を特定できません。"
MEMORY = "メモリが不足しています。"
EXTRA_AXIS = "4番目以降の軸(NAXIS4 など)の長さが1より大きい画像です。"


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def run(*args, ok=True, timeout=120):
    r = subprocess.run([CLI, *args], capture_output=True, text=True, timeout=timeout)
    if ok and r.returncode != 0:
        fail(f"{args} exited {r.returncode}: {r.stderr}")
    return r


def info(path):
    r = run("info", "--json", path)
    return json.loads(r.stdout) if r.returncode == 0 else None


def refused(path, text):
    r = run("info", path, ok=False, timeout=20)
    if r.returncode == 0 or text not in r.stderr:
        fail(f"{path}: not refused with '{text}': {r.returncode} {r.stderr!r}")


def physical(path, unit=0):
    """The physical values of a unit in doubles (raw × BSCALE + BZERO, BLANK as NaN),
    axes of length 1 dropped."""
    with fits.open(path, do_not_scale_image_data=True) as hdul:
        hdu = hdul[unit]
        raw = np.asarray(hdu.data)
        scale, zero = hdu.header.get("BSCALE", 1.0), hdu.header.get("BZERO", 0.0)
        values = raw.astype(np.float64) * scale + zero
        if "BLANK" in hdu.header and raw.dtype.kind == "i":
            values[raw == hdu.header["BLANK"]] = np.nan
    return values.reshape([n for n in values.shape if n != 1] or [1])


def same_pixels(source, unit, label, copy):
    """copy, our save, holds astropy's pixels of the source's unit: each value exactly, or
    rounded to a float where floats hold the stored value (as the reader folds them)."""
    want, got = physical(source, unit), physical(copy)
    same = (got == want) | (got == want.astype(np.float32)) | (np.isnan(got) & np.isnan(want))
    if got.shape != want.shape or not same.all():
        fail(f"{label}: the pixels are not astropy's")


def opens_as_astropy(source, unit, label, opened):
    """info and convert of opened: source's unit under another name or form. The copy is
    written in doubles, so that it holds the values read exactly; its name is returned."""
    data = physical(source, unit)
    got = info(opened)
    if got is None:
        return None
    height = data.shape[0] if data.ndim > 1 else 1
    if (got["format"], got["width"], got["height"]) != ("FITS", data.shape[-1], height):
        fail(f"{label}: info gives {got['format']} {got['width']} x {got['height']}")
    # Without automatic levels, the levels are the range of the data read.
    if got["levels"] != [[float(np.nanmin(data)), float(np.nanmax(data))]]:
        fail(f"{label}: levels {got['levels']}, astropy's range {np.nanmin(data)} .. "
             f"{np.nanmax(data)}")
    copy = re.sub(r"[^A-Za-z0-9]+", "_", label) + ".copy.fits"
    run("convert", "--bits=-64", opened, copy)
    same_pixels(source, unit, label, copy)
    return copy


def names(work):
    source = os.path.join(DATA, "io/fits/tests/data/scale.fits")
    raw = open(source, "rb").read()
    for name in ("x.mt", "x.fts.1", "x"):
        open(name, "wb").write(raw)
        opens_as_astropy(source, 0, name, name)
    subprocess.run(f"gzip -c {source} > x.pk", shell=True, check=True)
    opens_as_astropy(source, 0, "gzip-packed", "x.pk")
    open("y.mt", "w").write("SIMPLE  = not quite a FITS file\n")
    refused("y.mt", UNKNOWN_TYPE)


def rows(work):
    rng = np.random.default_rng(7)
    fits.PrimaryHDU(rng.normal(size=93260).astype(">f4")).writeto("spectrum.fits")
    fits.PrimaryHDU(rng.normal(size=(3, 93260)).astype(">f4")).writeto("wide.fits")
    for name in ("spectrum", "wide"):
        opens_as_astropy(name + ".fits", 0, name, name + ".fits")
    # A row that no pager of 64 MB can hold, in a file that really has its data (sparse).
    header = fits.Header()
    header["SIMPLE"], header["BITPIX"], header["NAXIS"] = True, -32, 1
    header["NAXIS1"] = 100_000_000
    with open("huge.fits", "wb") as f:
        f.write(header.tostring().encode("ascii"))
        f.truncate(2880 + 400_000_000)
    for key, value in (("MemoryRatio", "0"), ("MinMemorySize", "64"), ("MaxDiskSize", "0")):
        run("settings", "set", "VMManager", key, value)
    refused("huge.fits", MEMORY)
    opens_as_astropy("spectrum.fits", 0, "spectrum in 64 MB", "spectrum.fits")
    run("settings", "delete", "VMManager")


def radio_header():
    h = fits.Header()
    for k, v in (("CTYPE1", "RA---SIN"), ("CRVAL1", 83.8), ("CDELT1", -2e-3), ("CRPIX1", 10.5),
                 ("CUNIT1", "deg"), ("CTYPE2", "DEC--SIN"), ("CRVAL2", -5.4), ("CDELT2", 2e-3),
                 ("CRPIX2", 7.0), ("CUNIT2", "deg"), ("PC1_2", 0.1), ("PC2_1", -0.1),
                 ("CTYPE3", "FREQ"), ("CRVAL3", 1.1e11), ("CDELT3", 2e5), ("CRPIX3", 1.0),
                 ("CUNIT3", "Hz"), ("CTYPE4", "STOKES"), ("CRVAL4", 1.0), ("CDELT4", 1.0),
                 ("CRPIX4", 1.0), ("PC3_3", 1.0), ("PC4_4", 1.0), ("RADESYS", "FK5"),
                 ("EQUINOX", 2000.0), ("SPECSYS", "LSRK")):
        h[k] = v
    return h


def same_sky_of_first_axes(source, unit, name, copy):
    theirs, mine = WCS(fits.getheader(source, unit)), WCS(fits.getheader(copy))
    y, x = np.mgrid[0:16:3, 0:20:3]
    pixels = np.zeros((x.size, theirs.naxis))
    pixels[:, 0], pixels[:, 1] = x.ravel(), y.ravel()
    a = theirs.all_pix2world(pixels, 0)[:, :2]
    b = mine.all_pix2world(pixels[:, :2], 0)[:, :2]
    worst = np.max(np.abs(a - b))
    if not worst <= 1e-9:
        fail(f"{name}: the copy's sky differs by {worst} degrees")


def axes(work):
    rng = np.random.default_rng(11)
    orion = fits.Header.fromtextfile(os.path.join(DATA, "wcs/tests/data/spectra/orion-freq-4.hdr"))
    fits.PrimaryHDU(rng.normal(size=(1, 1, 1, 4096)).astype(">f4"), orion).writeto("orion.fits")
    opens_as_astropy("orion.fits", 0, "orion-freq-4", "orion.fits")
    for extra, suffix in ((1, ""), (2, "-two")):
        data = rng.normal(size=(extra, 1, 16, 20)).astype(">f4")
        fits.PrimaryHDU(data, radio_header()).writeto(f"radio{suffix}.fits")
        fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(data, radio_header(), name="SCI")]
                     ).writeto(f"ext{suffix}.fits")
        # astropy packs three axes at most: a fourth is added to the table's header, which
        # leaves the tiles as they are (with 2 the tiles no longer match; it is refused
        # before they are looked at). RICE integers are unpacked by our own decoder,
        # GZIP floats by cfitsio.
        integers = rng.integers(-3000, 3000, size=(1, 16, 20)).astype(">i2")
        for name, pixels, kind in (("comp", integers, "RICE_1"), ("compf", data[0], "GZIP_1")):
            fits.HDUList([fits.PrimaryHDU(),
                          fits.CompImageHDU(pixels, radio_header(), compression_type=kind)]
                         ).writeto(f"{name}3{suffix}.fits")
            with fits.open(f"{name}3{suffix}.fits", disable_image_compression=True) as hdul:
                table = hdul[1].header
                table["ZNAXIS"] = 4
                table.insert("ZNAXIS3", ("ZNAXIS4", extra), after=True)
                table.insert("ZTILE3", ("ZTILE4", 1), after=True)
                hdul.writeto(f"{name}{suffix}.fits")
    for name, unit, oracle in (("radio", 0, "radio"), ("ext", 1, "ext"), ("comp", 1, "comp3"),
                               ("compf", 1, "compf3")):
        copy = opens_as_astropy(f"{oracle}.fits", unit, name, f"{name}.fits")
        if copy:
            same_sky_of_first_axes(f"{oracle}.fits", unit, name, copy)
        refused(f"{name}-two.fits", EXTRA_AXIS)
        refused(f"{name}-two.fits[{unit}]", EXTRA_AXIS)


def verify_counts(path):
    out = subprocess.run(["fitsverify", path], capture_output=True, text=True).stdout
    m = re.search(r"found (\d+) warning\(s\) and (\d+) error\(s\)", out)
    return (int(m.group(1)), int(m.group(2))) if m else (1 << 30, 1 << 30)


def plate(work):
    source = os.path.join(DATA, "wcs/tests/data/dss.14.29.56-62.41.05.fits.gz")
    subprocess.run(f"gzip -dc {source} > dss.fits", shell=True, check=True)
    run("convert", source, "converted.fits")
    # A plain save over the opened file itself goes through the dispatcher's save.
    run("convert", "dss.fits", "dss.fits")
    solution = ["PLTRAH", "PLTRAM", "PLTRAS", "PLTDECSN", "PLTDECD", "PLTDECM", "PLTDECS",
                "PLTSCALE", "XPIXELSZ", "YPIXELSZ", "CNPIX1", "CNPIX2"] + [
        f"PPO{i}" for i in range(1, 7)] + [f"AMD{a}{i}" for a in "XY" for i in range(1, 21)]
    original = fits.getheader(source)
    theirs = WCS(original)
    y, x = np.mgrid[0:100:3, 0:100:3]
    pixels = np.column_stack([x.ravel(), y.ravel()]).astype(np.float64)
    for copy in ("converted.fits", "dss.fits"):
        header = fits.getheader(copy)
        missing = [k for k in solution if k not in header or header[k] != original[k]]
        if missing:
            fail(f"{copy}: plate solution cards not carried: {missing}")
        worst = np.max(np.abs(theirs.all_pix2world(pixels, 0) -
                              WCS(header).all_pix2world(pixels, 0)))
        if not worst <= 1e-9:
            fail(f"{copy}: the sky differs from the original's by {worst} degrees")
        same_pixels(source, 0, copy, copy)
        before, after = verify_counts(source), verify_counts(copy)
        if after[0] > before[0] or after[1] > before[1]:
            fail(f"{copy}: fitsverify finds {after} warnings and errors, the original {before}")
    # A cut moves the scan's corner on the plate with it: the sky stays under each pixel.
    run("crop", source, "cut.fits", "21,80,90,11")  # FITS rows 11 to 90, counted from the bottom
    cut = WCS(fits.getheader("cut.fits"))
    y, x = np.mgrid[0:80:3, 0:60:3]
    inside = np.column_stack([x.ravel(), y.ravel()]).astype(np.float64)
    worst = np.max(np.abs(cut.all_pix2world(inside, 0) -
                          theirs.all_pix2world(inside + [20, 10], 0)))
    if not worst <= 1e-9:
        fail(f"cut: the sky moved by {worst} degrees")


def main():
    with tempfile.TemporaryDirectory() as work:
        os.chdir(work)
        os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
        run("settings", "set", "General", "AutoLevelOnOpen", "no")
        for part in (names, rows, axes, plate):
            part(work)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
