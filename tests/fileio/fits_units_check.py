#!/usr/bin/python3
"""Judges the dispatcher's reading of FITS units and compressed files against astropy.

  units FILE DIR   DIR holds what we read of FILE: "units.txt" lists each image unit we
                   opened (index, width, height) and "U.phys" its first plane as doubles
                   in file order, or "none CODE" when we found no image. Every unit that
                   astropy reads as an image of one to three axes must be among ours, with
                   the same values; a file astropy sees no image in must be "none".
  int64 make CASE DIR [GZIP_1|GZIP_2]
                   writes DIR/int64.fits, an image of 64-bit integers of the case named,
                   and DIR/rounded.txt: 1 when some physical value is no double, else 0;
                   with a compression named, also DIR/int64.fits.fz, the same image
                   tile-compressed so (astropy writes the table; its own writer refuses
                   64-bit integers, so the tiles are packed here with zlib).
  int64 check DIR  DIR holds "read.phys", our read of int64.fits (doubles, file order),
                   and "saved.fits", our save of it: both must hold astropy's values of
                   int64.fits rounded to doubles (blank pixels NaN), and fitsverify must
                   pass the save.
  tables SRC COPY  COPY is our save of the image that SRC holds in an extension: its
                   primary array holds that image's values, and its extensions are
                   SRC's tables named 'Vantorel ...' and no other unit, each with SRC's
                   cards and data bytes; fitsverify passes COPY.
  packed DIR       DIR holds "source.phys" (doubles, file order), its shape in
                   "shape.txt", and our saves "*.fits.gz", "*.fits.fz": astropy reads the
                   same data (integers exactly, reals within half the quantisation step
                   given in "tolerance.txt"), and fitsverify passes each file.

Exit status 0 when everything agrees, 1 with one line per disagreement otherwise.
"""
import glob
import os
import subprocess
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")
from astropy.io import fits  # noqa: E402

failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
    return ok


def image_units(hdul):
    out = {}
    for i, hdu in enumerate(hdul):
        if not isinstance(hdu, (fits.PrimaryHDU, fits.ImageHDU, fits.CompImageHDU)):
            continue
        if isinstance(hdu, fits.GroupsHDU):
            continue
        data = hdu.data
        if data is None or data.size == 0 or not 1 <= data.ndim <= 3:
            continue
        if hdu.header.get("ZBITPIX") == 64:
            continue  # astropy does not unpack compressed 64-bit integers (see int64)
        plane = data[0] if data.ndim == 3 else data
        if plane.ndim == 1:
            plane = plane[np.newaxis, :]
        out[i] = np.asarray(plane, dtype="f8")
    return out


def units(path, directory):
    try:
        hdul = fits.open(path)
        theirs = image_units(hdul)
    except Exception:  # astropy refuses the file as FITS
        theirs = None
    lines = open(os.path.join(directory, "units.txt")).read().split("\n")
    lines = [l.split() for l in lines if l.strip()]
    if theirs is None or not theirs:
        check(lines and lines[0][0] == "none", f"{path}: astropy sees no image, we opened {lines}")
        return
    ours = {int(l[0]): (int(l[1]), int(l[2])) for l in lines if l[0] != "none"}
    for i, hdu in enumerate(hdul):
        if hdu.header.get("ZBITPIX") == 64:
            ours.pop(i, None)
    check(set(theirs) == set(ours), f"{path}: image units {sorted(ours)} != astropy's {sorted(theirs)}")
    for u, plane in theirs.items():
        if u not in ours:
            continue
        w, h = ours[u]
        mine = np.fromfile(os.path.join(directory, f"{u}.phys"), "<f8")
        if not check(mine.size == w * h and plane.shape == (h, w),
                     f"{path}[{u}]: shape {(h, w)} != astropy's {plane.shape}"):
            continue
        mine = mine.reshape(h, w)
        # Blank pixels are NaN for us; astropy keeps unscaled integers as they are stored.
        blank = hdul[u].header.get("BLANK", hdul[u].header.get("ZBLANK"))
        nan = np.isnan(mine)
        ok_nan = np.isnan(plane[nan]) | (plane[nan] == (blank if blank is not None else np.nan))
        check(ok_nan.all(), f"{path}[{u}]: {int((~ok_nan).sum())} NaN pixels astropy has as values")
        a, b = mine[~nan], plane[~nan]
        close = np.isclose(a, b, rtol=1e-6, atol=0) | (a == b)
        if not close.all():
            k = int(np.argmin(close))
            check(False, f"{path}[{u}]: {int((~close).sum())} values differ, e.g. {a[k]!r} != {b[k]!r}")


def packed(directory):
    shape = tuple(int(v) for v in open(os.path.join(directory, "shape.txt")).read().split())
    source = np.fromfile(os.path.join(directory, "source.phys"), "<f8").reshape(shape)
    tolerance = float(open(os.path.join(directory, "tolerance.txt")).read())
    files = sorted(glob.glob(os.path.join(directory, "*.fits.gz")) +
                   glob.glob(os.path.join(directory, "*.fits.fz")))
    check(len(files) == 2, f"{directory}: saves {files}")
    for path in files:
        hdul = fits.open(path)
        data = [h for h in hdul if h.data is not None and h.is_image]
        if not check(len(data) == 1, f"{path}: {len(data)} images"):
            continue
        theirs = np.asarray(data[0].data, dtype="f8")
        if not check(theirs.shape == shape, f"{path}: shape {theirs.shape} != {shape}"):
            continue
        worst = float(np.nanmax(np.abs(theirs - source))) if source.size else 0.0
        check(worst <= tolerance, f"{path}: values differ by up to {worst} (allowed {tolerance})")
        compressed = path.endswith(".fz")
        check(isinstance(data[0], fits.CompImageHDU) == compressed, f"{path}: compressed form")
        if compressed:
            check(data[0]._header.get("ZCMPTYPE") == "RICE_1", f"{path}: not RICE")
        verify = subprocess.run(["fitsverify", "-q", "-e", path], capture_output=True, text=True)
        check(verify.returncode == 0 and "OK" in verify.stdout,
              f"{path}: fitsverify: {verify.stdout.strip()} {verify.stderr.strip()}")


INT64_CASES = {
    # name: (values, header cards)
    "small": ([[-(2**53), -7, 0], [5, 2**53, 123456789012345]], {}),
    "big": ([[2**62 + 1, -(2**63), 2**63 - 1], [2**53 + 1, 3, -(2**53) - 3]], {}),
    "scaled": ([[-4, 0, 7], [11, 2**40, -(2**40)]], {"BSCALE": 0.5, "BZERO": 10.0}),
    "unsigned": ([[0, 2**63, 2**64 - 1], [2**63 + 12345, 17, 2**53]], {"BZERO": 2**63}),
    "blank": ([[-1, 4, 2**55 + 1], [8, -1, 9]], {"BLANK": -1}),
}


def int64_make(case, directory):
    values, cards = INT64_CASES[case]
    exact = [[int(v) for v in row] for row in values]
    stored = np.array(exact, dtype=object)
    bzero = cards.get("BZERO", 0)
    bscale = cards.get("BSCALE", 1)
    raw = np.array([[int((v - bzero) / bscale) if bscale != 1 else v - bzero for v in row]
                    for row in exact], dtype=np.int64)
    path = os.path.join(directory, "int64.fits")
    fits.PrimaryHDU(raw).writeto(path, overwrite=True)
    # The scaling goes on the stored integers as they are.
    with fits.open(path, mode="update", do_not_scale_image_data=True) as hdul:
        for key, value in cards.items():
            hdul[0].header[key] = value
    blank = cards.get("BLANK")
    rounded = False
    for row_raw, row in zip(raw.tolist(), stored.tolist()):
        for r, v in zip(row_raw, row):
            if blank is not None and r == blank:
                continue
            physical = r * bscale + bzero  # exact: Python integers and small binary fractions
            rounded |= float(physical) != physical
    open(os.path.join(directory, "rounded.txt"), "w").write("1" if rounded else "0")


def int64_pack(directory, kind):
    """Tile-compresses int64.fits as the tiled image convention has it: tiles of one row
    (GZIP_1) or of two (GZIP_2, each tile's bytes shuffled most significant first)."""
    import zlib
    with fits.open(os.path.join(directory, "int64.fits"), do_not_scale_image_data=True) as hdul:
        raw = hdul[0].data.astype(">i8")
        header = hdul[0].header
    rows = 1 if kind == "GZIP_1" else 2
    tiles = []
    for r in range(0, raw.shape[0], rows):
        b = raw[r:r + rows].tobytes()
        if kind == "GZIP_2":
            b = np.frombuffer(b, np.uint8).reshape(-1, 8).T.tobytes()
        z = zlib.compressobj(9, zlib.DEFLATED, 31)  # a gzip wrapper, as tiles have
        tiles.append(np.frombuffer(z.compress(b) + z.flush(), np.uint8))
    column = fits.Column(name="COMPRESSED_DATA", format="1PB",
                         array=np.array(tiles + [np.zeros(0, np.uint8)], dtype=object)[:-1])
    table = fits.BinTableHDU.from_columns([column])
    h = table.header
    h["ZIMAGE"] = True
    h["ZBITPIX"] = 64
    h["ZNAXIS"] = 2
    h["ZNAXIS1"] = raw.shape[1]
    h["ZNAXIS2"] = raw.shape[0]
    h["ZTILE1"] = raw.shape[1]
    h["ZTILE2"] = rows
    h["ZCMPTYPE"] = kind
    for key in ("BSCALE", "BZERO"):
        if key in header:
            h[key] = header[key]
    if "BLANK" in header:
        h["ZBLANK"] = header["BLANK"]
    fits.HDUList([fits.PrimaryHDU(), table]).writeto(os.path.join(directory, "int64.fits.fz"),
                                                     overwrite=True)


def int64_check(directory):
    path = os.path.join(directory, "int64.fits")
    header = fits.getheader(path)
    with fits.open(path, do_not_scale_image_data=True) as hdul:
        raw = hdul[0].data.astype(np.int64)
    bscale, bzero = header.get("BSCALE", 1), header.get("BZERO", 0)
    blank = header.get("BLANK")
    # The physical values, exact in Python integers, then rounded once to doubles.
    want = np.array([[float(int(r) * bscale + bzero) if blank is None or r != blank else np.nan
                      for r in row] for row in raw.tolist()])
    for name, mine in (("read", np.fromfile(os.path.join(directory, "read.phys"), "<f8")),
                       ("saved", None)):
        if mine is None:
            saved = fits.getdata(os.path.join(directory, "saved.fits"))
            check(saved.dtype.kind == "f" and saved.dtype.itemsize == 8,
                  f"saved as {saved.dtype}, not doubles")
            mine = np.asarray(saved, dtype="f8")
        mine = mine.reshape(want.shape)
        same = (mine == want) | (np.isnan(mine) & np.isnan(want))
        check(same.all(), f"{name}: {mine.tolist()} != astropy's {want.tolist()}")
    verify = subprocess.run(["fitsverify", "-q", "-e", os.path.join(directory, "saved.fits")],
                            capture_output=True, text=True)
    check(verify.returncode == 0 and "OK" in verify.stdout, f"fitsverify: {verify.stdout.strip()}")


def tables(src, copy):
    with fits.open(src) as a, fits.open(copy) as b:
        images = [h for h in a if h.is_image and h.data is not None and h.data.size]
        if not check(len(images) == 1, f"{src}: {len(images)} images"):
            return
        check(np.array_equal(np.asarray(b[0].data, "f8"), np.asarray(images[0].data, "f8")),
              f"{copy}: primary data differ from {src}'s image")
        own = [h for h in a[1:] if str(h.header.get("EXTNAME", "")).startswith("Vantorel ")]
        kept = list(b[1:])
        check([h.header.get("EXTNAME") for h in kept] == [h.header.get("EXTNAME") for h in own],
              f"{copy}: extensions {[h.header.get('EXTNAME') for h in kept]}, "
              f"wanted {[h.header.get('EXTNAME') for h in own]}")
        for mine, theirs in zip(kept, own):
            name = theirs.header.get("EXTNAME")
            check(mine.header.tostring() == theirs.header.tostring(), f"{copy}[{name}]: cards differ")
            check(mine._get_raw_data(mine._data_size, "ubyte", mine._data_offset).tobytes() ==
                  theirs._get_raw_data(theirs._data_size, "ubyte", theirs._data_offset).tobytes(),
                  f"{copy}[{name}]: data bytes differ")
    verify = subprocess.run(["fitsverify", "-q", "-e", copy], capture_output=True, text=True)
    check(verify.returncode == 0 and "OK" in verify.stdout, f"fitsverify: {verify.stdout.strip()}")


if __name__ == "__main__":
    if sys.argv[1] == "tables":
        tables(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "int64":
        if sys.argv[2] == "make":
            int64_make(sys.argv[3], sys.argv[4])
            if len(sys.argv) > 5:
                int64_pack(sys.argv[4], sys.argv[5])
        else:
            int64_check(sys.argv[3])
    elif sys.argv[1] == "units":
        units(sys.argv[2], sys.argv[3])
    else:
        packed(sys.argv[2])
    for f in failures:
        print(f)
    sys.exit(1 if failures else 0)
