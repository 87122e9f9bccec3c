#!/usr/bin/python3
"""A plain open-and-save loses nothing: every file of the corpus goes through
`vantorel-cli convert IN OUT.fits` without options, and OUT is checked against IN with
astropy and fitsverify:

  (a) data        the physical values of the pixels read (plane 1, or the first three
                  planes of an RGB-typed cube) are bit for bit those of IN; NaN equals NaN
                  and a BLANK pixel is NaN;
  (b) wcs         every pixel that IN's world coordinates (astropy.wcs, first two axes,
                  distortions included) map, OUT maps to the same place: within 1e-9
                  degrees on the sky, within 1e-9 of the value (at least 1) on other axes;
  (c) extensions  IN's extensions, and only those, follow in OUT in the same order, every
                  card up to END and every data byte identical;
  (d) fitsverify  OUT has no error and no warning that IN does not have;
  (e) keywords    every card of IN's primary header is in OUT whole: as it stands, with
                  an equal value, or turned into COMMENT cards, nothing of its text cut.
                  Cards the save writes from the image instead (the data's structure and
                  scaling, the linear coordinates checked by (b), ORIGIN, DATE and the
                  program's own level cards) are left to the other checks.

A file whose primary array is empty opens at its first image extension (a tile-compressed
one unpacked): IN's image is then that unit, the checks compare against its header and
data, the primary header's cards it lacks count as its own for (e), and (c) asks that OUT
holds that image alone, the file's other units staying in IN (the corpus has none of the
tool's own measurement tables, which such a save keeps).

The corpus is every FITS file of Debian's python3-astropy and ftools-fv packages that
`vantorel-cli info` opens (those it refuses are listed, not failed), and files made here
with astropy for the cases those lack: integers at their limits, scalings that 32-bit
floats cannot hold, blank pixels, NaN, long cards, extensions, rotated and distorted
coordinates, cubes.

Usage: plain_save_check.py [--keep DIR] CLI [FITS...]
  FITS...     check only these files instead of the corpus
  --keep DIR  make the files and write the outputs in DIR (NNN-NAME.fits, in corpus order) and
              leave them there, to look at a failure
One line per file and check, a summary of the failures last; exit status 0 when all
pass, 1 on any failure, 77 when astropy or fitsverify is missing.
"""
import collections
import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import warnings

try:
    import numpy as np
    from astropy.io import fits
    from astropy.wcs import WCS
except ImportError as e:
    print(f"SKIP: {sys.executable} cannot import numpy and astropy ({e})")
    sys.exit(77)

warnings.simplefilter("ignore")

PACKAGES = ("python3-astropy", "ftools-fv")
SUFFIXES = (".fits", ".fit", ".fts")
BLOCK = 2880
TIMEOUT = 60  # seconds for one run of the tool or of fitsverify
SKY_TOLERANCE_DEG = 1e-9
LINEAR_TOLERANCE = 1e-9
# Keywords that state world coordinates on the first two axes.
WCS_KEYS = re.compile(r"(CTYPE|CRVAL|CRPIX|CDELT|CUNIT|CROTA)[12]|(CD|PC)[12]_[12]|PC00[12]00[12]")


# ---------------------------------------------------------------------------------------
# The files made here. Each is written byte by byte: the header formatted by astropy, the
# data as the raw big-endian values given, so that nothing is scaled on the way.

def write_primary(path, raw, cards, bitpix):
    header = fits.Header()
    header["SIMPLE"] = True
    header["BITPIX"] = bitpix
    header["NAXIS"] = raw.ndim
    for axis, n in enumerate(reversed(raw.shape), start=1):
        header[f"NAXIS{axis}"] = n
    header["EXTEND"] = True
    for card in cards:
        header.append(card)
    dtype = {8: ">u1", 16: ">i2", 32: ">i4", 64: ">i8", -32: ">f4", -64: ">f8"}[bitpix]
    data = np.ascontiguousarray(raw, dtype=dtype).tobytes()
    with open(path, "wb") as f:
        f.write(header.tostring().encode("ascii"))
        f.write(data + b"\0" * (-len(data) % BLOCK))


def append_extensions(path, *hdus):
    with fits.open(path, mode="append") as hdul:
        for hdu in hdus:
            hdul.append(hdu)


def ramp(shape, lo, hi, dtype):
    """Values spread from lo to hi over the pixels, both ends included."""
    n = int(np.prod(shape))
    return np.linspace(lo, hi, n).round().astype(np.int64).astype(dtype).reshape(shape)


TAN = [("CTYPE1", "RA---TAN"), ("CTYPE2", "DEC--TAN"), ("CRPIX1", 18.5), ("CRPIX2", 12.25),
       ("CRVAL1", 150.12345678901234), ("CRVAL2", 2.3456789012345678)]


def make_files(folder):
    """Writes the made files into folder; returns their paths, each with the checks that
    must apply to it."""
    shape = (23, 37)  # rows, columns: odd and unequal, so a transposition shows
    made = []

    def add(name, raw, cards, bitpix, extensions=()):
        path = os.path.join(folder, name + ".fits")
        write_primary(path, raw, cards, bitpix)
        if extensions:
            append_extensions(path, *extensions)
        # A made file is there for the checks it exercises: none of them may find nothing
        # to compare.
        applies = {"(a) data", "(d) fitsverify"}
        if any(WCS_KEYS.fullmatch(card[0]) for card in cards):
            applies.add("(b) wcs")
        if extensions:
            applies.add("(c) extensions")
        made.append((path, applies))

    u32 = ramp(shape, 0, 4294967295, np.uint64)
    u32.flat[:4] = [0, 1, 2147483647, 2147483648]
    u32.flat[-3:] = [4294967293, 4294967294, 4294967295]
    add("uint32_bzero", (u32.astype(np.int64) - 2147483648).astype(np.int32),
        [("BZERO", 2147483648), ("BSCALE", 1)], 32)

    i32 = ramp(shape, -2147483648, 2147483647, np.int32)
    i32.flat[:3] = [-2147483648, -2147483647, 16777217]  # 2^24 + 1: no 32-bit float holds it
    i32.flat[-2:] = [2147483646, 2147483647]
    add("int32_limits", i32, [], 32)

    f64 = np.linspace(-1.0, 1.0, np.prod(shape)).reshape(shape) * 0.1
    f64.flat[:6] = [1e-300, np.pi, 1e300, -1e300, -np.pi, 5e-324]
    add("float64_extremes", f64, [], -64)

    i16 = ramp(shape, -32768, 32767, np.int16)
    add("int16_bscale_1e-9", i16, [("BSCALE", 1e-9), ("BZERO", 0.0)], 16)
    add("int16_bscale_bzero", i16, [("BSCALE", 0.045777764213996), ("BZERO", 1500.25)], 16)

    with_blank = i16.copy()
    with_blank.flat[::7] = -1
    add("blank16", with_blank, [("BLANK", -1)], 16)
    with_blank = i16.copy()
    with_blank.flat[::5] = -32768
    add("blank16_scaled", with_blank,
        [("BSCALE", 0.25), ("BZERO", 32768.0), ("BLANK", -32768)], 16)
    with_blank = i32.copy()
    with_blank.flat[::6] = -2147483648
    add("blank32", with_blank, [("BLANK", -2147483648)], 32)
    with_blank = i32.copy()
    with_blank.flat[1::4] = 123456
    add("blank32_scaled", with_blank, [("BSCALE", 2.5e-3), ("BZERO", -7.0), ("BLANK", 123456)],
        32)

    for bitpix, dtype in ((-32, np.float32), (-64, np.float64)):
        values = (np.arange(np.prod(shape)).reshape(shape) * 0.37 - 100).astype(dtype)
        values.flat[::9] = np.nan
        add(f"nan{-bitpix}", values, [], bitpix)

    long_comment = "a comment that runs on past the end of its card " * 2
    add("long_cards", i16,
        [(k, v, long_comment) for k, v in TAN + [("CDELT1", -2.5e-4), ("CDELT2", 2.5e-4)]] +
        [("LONGSTRN", "OGIP 1.0", "long strings go on in CONTINUE cards"),
         ("OBSERVER", "A. N. Observer", long_comment), ("FILTER", "R", long_comment),
         ("GAIN", 1.25, long_comment), ("OBJECT", "a field of stars " * 6),
         ("NOTES", "notes that need more than one card to hold them " * 3, "and a comment"),
         ("COMMENT", "a comment card longer than the seventy-two columns that one holds " * 2),
         ("HISTORY", "a history card longer than the seventy-two columns that one holds " * 2)],
        16)

    heap = fits.BinTableHDU.from_columns([
        fits.Column(name="ID", format="J", array=np.array([1, 2, 3, 4])),
        fits.Column(name="SAMPLES", format="PD()",
                    array=np.array([np.arange(n) * 0.5 for n in (3, 0, 7, 1)], dtype=object)),
        fits.Column(name="LABEL", format="PA()",
                    array=np.array(["a", "bcd", "", "efghij"], dtype=object)),
    ], name="EVENTS")
    add("bintable_heap", i16, [], 16, [heap])

    image = fits.ImageHDU(np.arange(35, dtype=np.float32).reshape(5, 7) / 3, name="SCI")
    image.header["OBSERVER"] = "someone"
    add("image_extension", i16, [], 16, [image])

    add("tan_cd", i16, TAN + [("CD1_1", -2.7777777777777778e-4), ("CD1_2", 1.2345678901234e-5),
                              ("CD2_1", -1.1111111111111e-5), ("CD2_2", 2.7777777777777778e-4)],
        16)
    add("crota2", i16, TAN + [("CDELT1", -2.7777777777777778e-4),
                              ("CDELT2", 2.7777777777777778e-4), ("CROTA2", 30.0)], 16)
    sip = [("CTYPE1", "RA---TAN-SIP"), ("CTYPE2", "DEC--TAN-SIP")] + TAN[2:] + [
        ("CD1_1", -2.7777777777777778e-4), ("CD1_2", 0.0), ("CD2_1", 0.0),
        ("CD2_2", 2.7777777777777778e-4), ("A_ORDER", 2), ("B_ORDER", 2),
        ("A_0_2", 2.5e-5), ("A_1_1", -1.5e-5), ("A_2_0", 3.25e-5),
        ("B_0_2", -2.0e-5), ("B_1_1", 1.75e-5), ("B_2_0", 1.0e-5), ("AP_ORDER", 2),
        ("BP_ORDER", 2), ("AP_0_2", -2.5e-5), ("AP_1_1", 1.5e-5), ("AP_2_0", -3.25e-5),
        ("BP_0_2", 2.0e-5), ("BP_1_1", -1.75e-5), ("BP_2_0", -1.0e-5)]
    add("sip", i16, sip, 16)

    cube = (np.arange(3 * np.prod(shape)).reshape((3,) + shape) * 1.5 - 20).astype(np.float32)
    add("cube3", cube, TAN + [("CDELT1", -2.5e-4), ("CDELT2", 2.5e-4), ("CTYPE3", "FREQ"),
                              ("CRPIX3", 1.0), ("CRVAL3", 1.4e9), ("CDELT3", 1e6)], -32)
    add("cube3_rgb", ramp((3,) + shape, -32768, 32767, np.int16), [("SI-TYPE", "RGB")], 16)
    return made


# ---------------------------------------------------------------------------------------
# Reading FITS structure as bytes, independently of astropy's leniency.

def card_value(card):
    return card[10:].split("/")[0].strip()


def split_hdus(path):
    """Each HDU as (cards up to and including END, bytes after END in the header's last
    record, data unit bytes); stops at the first incomplete HDU."""
    with open(path, "rb") as f:
        buf = f.read()
    hdus, pos = [], 0
    while pos + BLOCK <= len(buf):
        cards, end, block = [], None, pos
        while end is None and block + BLOCK <= len(buf):
            for i in range(block, block + BLOCK, 80):
                card = buf[i:i + 80]
                cards.append(card)
                if card[:8] == b"END     ":
                    end = i + 80
                    break
            block += BLOCK
        if end is None:
            break
        keys = {c[:8].decode("latin-1").rstrip(): c.decode("latin-1")
                for c in cards if c[8:10] == b"= "}
        try:
            bitpix = abs(int(card_value(keys["BITPIX"])))
            naxis = int(card_value(keys["NAXIS"]))
            axes = [int(card_value(keys[f"NAXIS{n}"])) for n in range(1, naxis + 1)]
            pcount = int(card_value(keys["PCOUNT"])) if "PCOUNT" in keys else 0
            gcount = int(card_value(keys["GCOUNT"])) if "GCOUNT" in keys else 1
        except (KeyError, ValueError):
            break
        if axes and axes[0] == 0 and pos == 0:
            axes = axes[1:]  # random groups
        size = 0 if naxis == 0 else bitpix // 8 * gcount * (pcount + int(np.prod(axes)))
        data_start = block
        hdus.append((cards, buf[end:data_start], buf[data_start:data_start + size]))
        pos = data_start + size + (-size % BLOCK)
    return hdus


# ---------------------------------------------------------------------------------------
# The checks. Each returns (status, detail) with status PASS, FAIL or N/A.

def physical(hdu):
    """raw x BSCALE + BZERO in doubles, BLANK pixels of integer data as NaN. astropy scales
    8- and 16-bit data in 32-bit floats, which cannot hold every such value, so the scaling
    is done here alike for IN and OUT."""
    raw = hdu.data
    if raw is None:
        return None
    header = hdu.header
    values = raw.astype(np.float64)
    bscale, bzero = float(header.get("BSCALE", 1.0)), float(header.get("BZERO", 0.0))
    if bscale != 1.0 or bzero != 0.0:
        values = values * bscale + bzero
    if header["BITPIX"] > 0 and "BLANK" in header:
        values[raw == int(header["BLANK"])] = np.nan
    return values


def planes_read(values, header):
    """The planes vantorel-cli reads of a cube: red, green and blue (file planes 1 to 3) of
    an RGB-typed file, else plane 1."""
    if values.ndim < 3:
        return values
    rgb = str(header.get("SI-TYPE", "")).strip().upper() == "RGB"
    return values[:3] if rgb and values.shape[0] >= 3 else values[0]


def image_unit(path):
    """The unit the tool opens: the primary array, or when that is empty the first image
    extension."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with fits.open(path) as hdul:
            for i, hdu in enumerate(hdul):
                if isinstance(hdu, fits.GroupsHDU):
                    return 0
                # Images of one to three axes in a pixel type the tool holds.
                naxis = hdu.header.get("NAXIS", 0) if hdu.is_image else 0
                axes = [hdu.header.get(f"NAXIS{n}", 0) for n in range(1, naxis + 1)]
                if 1 <= naxis <= 3 and min(axes) > 0 and hdu.header.get("BITPIX") != 64:
                    return i
    return 0


def read_physical(path, unit=0):
    with fits.open(path, do_not_scale_image_data=True, memmap=False) as hdul:
        return physical(hdul[unit]), hdul[unit].header.copy()


def check_data(src, out):
    try:
        values, header = read_physical(src, image_unit(src))
    except Exception as e:  # noqa: BLE001: a file astropy cannot read has no oracle
        return "N/A", f"astropy cannot read IN: {e}"
    if values is None or values.size == 0:
        return "N/A", "IN has no pixels"
    expected = planes_read(values, header)
    try:
        got, _ = read_physical(out)
    except Exception as e:  # noqa: BLE001
        return "FAIL", f"astropy cannot read OUT: {e}"
    if got is None:
        return "FAIL", "OUT has no primary data"
    if got.shape != expected.shape:
        return "FAIL", f"OUT shape {got.shape}, expected {expected.shape}"
    differ = expected.view(np.uint64) != got.view(np.uint64)
    differ &= ~(np.isnan(expected) & np.isnan(got))
    if differ.any():
        first = tuple(int(i) for i in np.argwhere(differ)[0])
        return "FAIL", (f"{int(differ.sum())} of {expected.size} values differ, first at "
                        f"{first}: {got[first]!r} instead of {expected[first]!r}")
    nans = int(np.isnan(expected).sum())
    return "PASS", f"{expected.size} values identical ({nans} NaN)"


def states_coordinates(header):
    return any(WCS_KEYS.fullmatch(k) for k in header.keys())


def world(path, shape, unit=0):
    """astropy's world coordinates of every pixel on the first two axes (distortions
    included), and whether they are longitude and latitude (in that order, then)."""
    with fits.open(path) as hdul:
        w = WCS(hdul[unit].header, hdul, naxis=2)
        w.wcs.set()
        rows, cols = shape[-2:] if len(shape) >= 2 else (1, shape[-1])
        y, x = np.mgrid[0:rows, 0:cols]
        coords = w.all_pix2world(x.ravel().astype(float), y.ravel().astype(float), 0)
        sky = sorted((w.wcs.lng, w.wcs.lat)) == [0, 1]
        if sky:
            coords = [coords[w.wcs.lng], coords[w.wcs.lat]]
        return np.array(coords), sky


def unit_vectors(lonlat):
    lon, lat = np.radians(lonlat[0]), np.radians(lonlat[1])
    return np.array([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)])


def check_wcs(src, out):
    unit = image_unit(src)
    try:
        values, header = read_physical(src, unit)
        shape = planes_read(values, header).shape
    except Exception as e:  # noqa: BLE001
        return "N/A", f"astropy cannot read IN: {e}"
    try:
        stated = states_coordinates(fits.getheader(out))
    except Exception as e:  # noqa: BLE001
        return "FAIL", f"astropy cannot read OUT's header: {e}"
    if not states_coordinates(header):
        if stated:
            return "FAIL", "IN states no world coordinates, OUT does"
        return "N/A", "no world coordinates in IN or OUT"
    try:
        theirs, sky = world(src, shape, unit)
    except Exception as e:  # noqa: BLE001
        return "N/A", f"astropy cannot map IN: {' '.join(str(e).split())}"
    if not stated:
        return "FAIL", "OUT states no world coordinates"
    try:
        ours, our_sky = world(out, shape)
    except Exception as e:  # noqa: BLE001
        return "FAIL", f"astropy cannot map OUT: {' '.join(str(e).split())}"
    mapped = np.isfinite(theirs).all(axis=0)
    if not mapped.any():
        return "N/A", "IN's coordinates map no pixel"
    if sky != our_sky:
        return "FAIL", ("IN's first two axes are longitude and latitude, OUT's are not" if sky
                        else "OUT's first two axes are longitude and latitude, IN's are not")
    lost = mapped & ~np.isfinite(ours).all(axis=0)
    if lost.any():
        return "FAIL", f"OUT maps {int(lost.sum())} of IN's {int(mapped.sum())} pixels nowhere"
    if sky:
        # The chord between unit vectors is the separation in radians at these distances.
        apart = np.degrees(np.linalg.norm(unit_vectors(theirs) - unit_vectors(ours), axis=0))
        worst = np.where(mapped, apart, 0.0)
        tolerance = np.full(worst.shape, SKY_TOLERANCE_DEG)
        what = "degrees on the sky"
    else:
        diff = np.abs(theirs - ours).max(axis=0)
        worst = np.where(mapped, diff, 0.0)
        tolerance = LINEAR_TOLERANCE * np.maximum(1.0, np.abs(theirs).max(axis=0))
        what = "in value"
    bad = worst > tolerance
    if bad.any():
        i = int(np.argmax(worst))
        return "FAIL", (f"{int(bad.sum())} of {int(mapped.sum())} pixels moved, at most "
                        f"{worst[i]:.3g} {what} (pixel x={i % shape[-1]} y={i // shape[-1]})")
    return "PASS", f"{int(mapped.sum())} pixels within {worst.max():.2g} {what}"


def describe(cards):
    for c in cards:
        if c[:8] in (b"XTENSION", b"EXTNAME "):
            yield card_value(c.decode("latin-1"))


def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def check_extensions(src, out):
    unit = image_unit(src)
    ins, outs = split_hdus(src)[1:], split_hdus(out)[1:]
    if unit > 0:
        if outs:
            return "FAIL", f"the image of unit {unit} saved with {len(outs)} extension(s)"
        return "PASS", f"the image of unit {unit} saved alone"
    if not ins:
        if outs:
            return "FAIL", f"IN has no extensions, OUT has {len(outs)}"
        return "N/A", "no extensions in IN or OUT"
    for n, (a, b) in enumerate(zip(ins, outs), start=1):
        name = " ".join(describe(a[0]))
        if a[0] != b[0]:
            first = first_difference(a[0], b[0])
            x = a[0][first].decode("latin-1").rstrip() if first < len(a[0]) else "(none)"
            y = b[0][first].decode("latin-1").rstrip() if first < len(b[0]) else "(none)"
            return "FAIL", f"extension {n} ({name}) card {first + 1}: {y!r} instead of {x!r}"
        # Only blanks may stand after END: anything else there is not part of the header.
        if b[1].strip(b" "):
            return "FAIL", f"extension {n} ({name}): other than blanks after END"
        if a[2] != b[2]:
            return "FAIL", (f"extension {n} ({name}): data differ from byte "
                            f"{first_difference(a[2], b[2])} of {len(a[2])}")
    if len(outs) < len(ins):
        return "FAIL", f"OUT has {len(outs)} of IN's {len(ins)} extensions"
    if len(outs) > len(ins):
        return "FAIL", f"OUT has {len(outs) - len(ins)} extension(s) more than IN"
    size = sum(len(h[2]) for h in ins)
    return "PASS", f"{len(ins)} extension(s) identical, {size} data bytes"


def fitsverify(path):
    """(errors, warnings) of fitsverify; warnings as (HDU, text with card numbers dropped),
    since a header that is written anew numbers its cards differently."""
    try:
        text = subprocess.run(["fitsverify", path], capture_output=True, text=True,
                              errors="replace", timeout=TIMEOUT).stdout
    except subprocess.TimeoutExpired:
        text = ""
    found = re.search(r"Verification found (\d+) warning\(s\) and (\d+) error\(s\)", text)
    errors = [line.strip() for line in text.splitlines() if "*** Error" in line]
    if not found:
        errors.append("fitsverify gave no verdict" + (": " + errors[0] if errors else ""))
    warnings_, hdu = [], 0
    for line in text.splitlines():
        m = re.match(r"=+ HDU (\d+)", line)
        if m:
            hdu = int(m.group(1))
        elif "*** Warning:" in line:
            warnings_.append((hdu, re.sub(r"#\d+", "#", line.split("*** Warning:")[1].strip())))
    return errors, warnings_


def check_fitsverify(src_verdict, out, unit=0):
    errors, warns = fitsverify(out)
    if errors:
        return "FAIL", f"{len(errors)} error(s): {errors[0]}"
    # An image from an extension stands first in OUT: IN's warnings on that unit are its.
    theirs = [(1 if hdu == unit + 1 else hdu, text) for hdu, text in src_verdict[1]]
    new = collections.Counter(warns) - collections.Counter(theirs)
    if new:
        hdu, text = next(iter(new))
        return "FAIL", f"{sum(new.values())} warning(s) IN has not, first in HDU {hdu}: {text}"
    return "PASS", f"no error, {len(warns)} warning(s) as IN"


# ---------------------------------------------------------------------------------------

# Cards a save writes afresh from the image, their values checked by (a) and (b); the
# matrix elements of a third axis go with the rest of the matrix, as a save writes two.
REWRITTEN = re.compile(r"(SIMPLE|BITPIX|NAXIS\d*|EXTEND|BZERO|BSCALE|BLANK|ORIGIN|DATE|"
                       r"LONGSTRN|END|(CRPIX|CRVAL|CDELT|CTYPE|CUNIT)[12]|(CD|PC)[1-3]_[1-3]|"
                       r"SI-L(MIN|MAX)\d|SI-TYPE|SI-LMTD)")


def squashed(text):
    return re.sub(r"\s+", "", text)


def check_keywords(src, out):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        unit = image_unit(src)
        with fits.open(src) as a, fits.open(out) as b:
            theirs, ours = a[unit].header.copy(), b[0].header
            if unit > 0:
                # The unit's place among the file's units is not the image's; the primary
                # header's cards that the unit lacks come with it.
                for key in ("XTENSION", "PCOUNT", "GCOUNT", "INHERIT"):
                    theirs.remove(key, ignore_missing=True, remove_all=True)
                for card in a[0].header.cards:
                    if card.keyword in ("COMMENT", "HISTORY") or (
                            card.keyword and card.keyword not in theirs and
                            card.keyword not in ("NEXTEND", "CHECKSUM", "DATASUM", "GROUPS")):
                        theirs.append(card)
            # A card turned into comments runs on over COMMENT cards: their texts from
            # column 9 on, joined, give it back.
            text = squashed("".join(card.image[8:] if card.keyword == "COMMENT" else card.image
                                    for card in ours.cards))
            looked = 0
            for card in theirs.cards:
                key = card.keyword
                if not key and not str(card.value).strip():
                    continue
                if REWRITTEN.fullmatch(key):
                    continue
                looked += 1
                needle = card.image[8:] if key == "COMMENT" else card.image
                if squashed(needle) in text:
                    continue
                if key not in ("COMMENT", "HISTORY", "") and key in ours and \
                        ours[key] == card.value:
                    continue
                if key == "EPOCH" and ours.get("EQUINOX") == card.value:
                    continue  # the old name of EQUINOX, written under the new one
                return "FAIL", f"card lost or cut: {card.image.rstrip()[:90]}"
    if not looked:
        return "N/A", "no cards beyond those written from the image"
    return "PASS", f"{looked} cards kept whole"


def run(cli, env, *args):
    """The tool's exit status and the last line it wrote to standard error."""
    try:
        p = subprocess.run([cli, *args], capture_output=True, text=True, env=env,
                           errors="replace", timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return -1, f"no answer within {TIMEOUT} s"
    lines = [line for line in p.stderr.splitlines() if line.strip()]
    return p.returncode, lines[-1] if lines else ""


def check_file(cli, env, label, src, out, applies):
    """The result lines of one file; applies: the checks that must find something to
    compare, None for a file of the corpus (which the tool may refuse)."""
    made = applies is not None
    if not made:
        rc, why = run(cli, env, "info", src)
        if rc != 0:
            return [("REFUSED", label, "info", why)]
    src_verdict = fitsverify(src)
    lines = []
    if made and (src_verdict[0] or src_verdict[1]):
        # The made files are meant to be clean; otherwise the oracle is at fault.
        what = (src_verdict[0] + [w[1] for w in src_verdict[1]])[0]
        lines.append(("FAIL", label, "made", f"the made file does not verify: {what}"))
    if os.path.exists(out):
        os.remove(out)
    rc, why = run(cli, env, "convert", src, out)
    if rc != 0 or not os.path.isfile(out):
        return lines + [("FAIL", label, "convert", f"exit status {rc}: {why}")]
    for name, check in (("(a) data", lambda: check_data(src, out)),
                        ("(b) wcs", lambda: check_wcs(src, out)),
                        ("(c) extensions", lambda: check_extensions(src, out)),
                        ("(d) fitsverify",
                         lambda: check_fitsverify(src_verdict, out, image_unit(src))),
                        ("(e) keywords", lambda: check_keywords(src, out))):
        try:
            status, detail = check()
        except Exception as e:  # noqa: BLE001: a check that breaks is a failure
            status, detail = "FAIL", f"the check broke: {type(e).__name__}: {e}"
        if status == "N/A" and made and name in applies:
            status, detail = "FAIL", f"nothing compared in a file made for it ({detail})"
        lines.append((status, label, name, detail))
    return lines


def package_files(package):
    p = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True)
    if p.returncode != 0:
        return []
    return sorted(f for f in p.stdout.splitlines()
                  if f.lower().endswith(SUFFIXES) and os.path.isfile(f))


def labelled(paths, package):
    """Short names: the package and the path below the folder its files share."""
    root = os.path.commonpath([os.path.dirname(p) for p in paths]) if paths else ""
    return [(f"{package}:{os.path.relpath(p, root)}", p) for p in paths]


def main(argv):
    keep = None
    if len(argv) > 2 and argv[1] == "--keep":
        keep = os.path.abspath(argv[2])
        argv = argv[:1] + argv[3:]
    if len(argv) < 2:
        print(__doc__)
        return 2
    cli = os.path.abspath(argv[1])
    if not shutil.which("fitsverify"):
        print("SKIP: fitsverify is not installed (package fitsverify)")
        return 77
    if keep:
        shutil.rmtree(keep, ignore_errors=True)
        os.makedirs(keep)
    with (contextlib.nullcontext(keep) if keep else
          tempfile.TemporaryDirectory(prefix="vantorel-integrity-")) as tmp:
        # Settings of its own, so that no other test's choices change what a plain save
        # writes.
        env = dict(os.environ, VANTOREL_CONFIG_HOME=os.path.join(tmp, "config"))
        os.makedirs(env["VANTOREL_CONFIG_HOME"])
        corpus = []
        if len(argv) > 2:
            corpus = [(os.path.basename(p), os.path.abspath(p), None) for p in argv[2:]]
        else:
            for package in PACKAGES:
                files = package_files(package)
                if not files:
                    print(f"N/A {package}: not installed or no FITS files")
                corpus += [(label, path, None) for label, path in labelled(files, package)]
            made = os.path.join(tmp, "made")
            os.makedirs(made)
            corpus += [("made:" + os.path.basename(p), p, applies)
                       for p, applies in make_files(made)]
        outs = os.path.join(tmp, "out")
        os.makedirs(outs)
        results = []
        for n, (label, path, applies) in enumerate(corpus):
            stem = os.path.splitext(os.path.basename(path))[0]
            out = os.path.join(outs, f"{n:03d}-{stem}.fits")
            lines = check_file(cli, env, label, path, out, applies)
            for status, _, check, detail in lines:
                print(f"{status:7} {label} {check}: {detail}", flush=True)
            results += lines
    counts = collections.Counter(r[0] for r in results)
    files = len(corpus) - len({r[1] for r in results if r[0] == "REFUSED"})
    print(f"\n{files} files opened, {counts['REFUSED']} refused by the tool; "
          f"{counts['PASS']} checks passed, {counts['FAIL']} failed, {counts['N/A']} not "
          f"applicable")
    failed = [r for r in results if r[0] == "FAIL"]
    if failed:
        print("Failures:")
        for _, label, check, detail in failed:
            print(f"  {label} {check}: {detail}")
    if files == 0:
        print("FAIL: no file was converted")
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
