#!/usr/bin/python3
"""Checks Vantorel's FITS reading and writing against astropy.

fits_peer_test dumps what our reader made of a file (pixels of every plane in file
order as raw and physical doubles, scaling and world-coordinate attributes) and the
copies our writer made of it. This script reads the same files with astropy and
compares:

  peer DIR     a FITS file (of a Debian package, or made by the test): our codes,
               pixels and attributes equal astropy's reading; our copy holds the same
               data and keywords, bit for bit, and gives astropy.wcs the same sky at
               every pixel.
  written DIR  an image made in code and written by us: astropy reads the same data,
               scaling, world coordinates, carried cards and table.
  cards DIR    files written by us, with the value each real card must hold: astropy
               reads every one bit for bit.

Exit status 0 when everything agrees, 1 with one line per disagreement otherwise.
"""
import os
import re
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore")
from astropy.io import fits  # noqa: E402
from astropy import wcs  # noqa: E402

failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
    return ok


def load(directory):
    values = {}
    with open(os.path.join(directory, "ours.txt"), encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("\t")
            values[key] = value
    return values


def real(text):
    return None if text == "-" else float(text)


def same_array(ours, theirs, what):
    """Exact equality, NaN equal to NaN."""
    if not check(ours.shape == theirs.shape, f"{what}: shape {ours.shape} != {theirs.shape}"):
        return
    both_nan = np.isnan(ours) & np.isnan(theirs)
    diff = ~both_nan & (ours != theirs)
    if diff.any():
        idx = np.argwhere(diff)[0]
        check(False, f"{what}: {int(diff.sum())} values differ, first at {tuple(idx)}: "
                     f"{ours[tuple(idx)]!r} != {theirs[tuple(idx)]!r}")


def pixels(directory, stem, shape):
    raw = np.fromfile(os.path.join(directory, stem + ".raw"), "<f8")
    phys = np.fromfile(os.path.join(directory, stem + ".phys"), "<f8")
    return raw.reshape(shape), phys.reshape(shape)


def quoted_inner(card):
    """The text inside the quotes of a string card as it stands in the file."""
    image = card.image[10:]
    if not image.startswith("'"):
        return None
    i, inner = 1, ""
    while i < len(image):
        if image[i] == "'":
            if i + 1 < len(image) and image[i + 1] == "'":
                inner += "''"
                i += 2
                continue
            return inner
        inner += image[i]
        i += 1
    return None


def close(a, b, rel=0.0, absolute=0.0):
    return abs(a - b) <= max(absolute, rel * max(abs(a), abs(b)))


MATRIX = [(1, 1), (1, 2), (2, 1), (2, 2)]


def celestial_wcs(header):
    """wcslib's reading of the first two axes, or None when it has no celestial pair."""
    try:
        w = wcs.WCS(header, naxis=2)
        w.wcs.set()
    except Exception:
        return None
    return w if w.wcs.lng >= 0 and w.wcs.lat >= 0 else None


def expected_matrix(header):
    """Kind and elements of the linear matrix the header's conventions give."""
    keys = set(header.keys())
    if any(f"CD{i}_{j}" in keys for i, j in MATRIX):
        return 1, [float(header.get(f"CD{i}_{j}", 0.0)) for i, j in MATRIX]
    if any(f"PC{i}_{j}" in keys for i, j in MATRIX):
        return 2, [float(header.get(f"PC{i}_{j}", 1.0 if i == j else 0.0)) for i, j in MATRIX]
    if any(f"PC{i:03d}{j:03d}" in keys for i, j in MATRIX):
        return 2, [float(header.get(f"PC{i:03d}{j:03d}", 1.0 if i == j else 0.0)) for i, j in MATRIX]
    # CROTAn of the latitude axis of a celestial pair: the PC matrix wcslib makes of it.
    w = celestial_wcs(header)
    if w is not None and f"CROTA{w.wcs.lat + 1}" in keys:
        return 2, [float(v) for v in np.asarray(w.wcs.get_pc()).flatten()]
    return 0, [1.0, 0.0, 0.0, 1.0]


def compare_world_coordinates(ours, header, where):
    """Our attributes against the keywords that fill them."""
    for axis in (1, 2):
        for key, minimum in (("CTYPE", 8), ("CUNIT", 1)):
            name = f"{key}{axis}"
            mine = ours[name.lower()]
            if name not in header:
                check(mine == "-", f"{where}: {name} absent but ours is {mine}")
                continue
            inner = quoted_inner(header.cards[name])
            if inner is None or len(inner) < minimum:
                # The reader takes an axis type only with 8 characters or more inside the
                # quotes, a unit with at least one; the card itself is kept.
                check(mine == "-", f"{where}: {name} {inner!r} should not be taken, ours {mine}")
            else:
                check(mine == f"'{inner}'", f"{where}: {name} ours {mine} != '{inner}'")
                check(inner.rstrip() == str(header[name]).rstrip(),
                      f"{where}: {name} astropy reads {header[name]!r}")
        for key in ("CRPIX", "CRVAL", "CDELT"):
            name = f"{key}{axis}"
            mine = real(ours[name.lower()])
            if name not in header:
                check(mine is None, f"{where}: {name} absent but ours is {mine}")
            elif check(mine is not None, f"{where}: {name} missing in ours"):
                # CRPIX is kept 0-based, so x - 1 + 1 may differ from x in its last bit.
                check(close(mine, float(header[name]), rel=1e-15, absolute=1e-12),
                      f"{where}: {name} ours {mine!r} != {header[name]!r}")
    kind, matrix = expected_matrix(header)
    check(int(ours["ltkind"]) == kind, f"{where}: matrix kind ours {ours['ltkind']} != {kind}")
    if kind:
        mine = [float(v) for v in ours["ltmatrix"].split()]
        check(mine == matrix, f"{where}: matrix ours {mine} != {matrix}")
    pv = [0.0] * 8
    given = False
    for key in header.keys():
        m = re.fullmatch(r"PV(\d)_(\d)", key)
        if m:
            element = (int(m.group(1)) - 1) * 4 + int(m.group(2))
            if 0 <= element <= 7:
                pv[element] = float(header[key])
                given = True
    if given:
        mine = [float(v) for v in ours["pv"].split()] if ours["pv"] != "-" else None
        check(mine == pv, f"{where}: PV ours {mine} != {pv}")
    else:
        check(ours["pv"] == "-", f"{where}: no PV cards but ours {ours['pv']}")
    for key in ("LONPOLE", "LATPOLE"):
        mine = real(ours[key.lower()])
        if key in header:
            check(mine == float(header[key]), f"{where}: {key} ours {mine} != {header[key]}")
        else:
            check(mine is None, f"{where}: {key} absent but ours {mine}")


MOVED = ["BUNIT", "WCSAXES", "WCSAXIS", "WCSNAME", "EQUINOX", "RADESYS", "RADECSYS",
         "MJD-OBS", "SPECSYS", "SSYSOBS", "OBSGEO-X", "OBSGEO-Y", "OBSGEO-Z", "MJD-AVG", "VSOURCE",
         "ZSOURCE", "VELOSYS", "RESTFRQ", "RESTWAV", "LONPOLE", "LATPOLE", "DATE-OBS", "UT",
         "EXPTIME", "TELESCOP", "INSTRUME", "OBSERVER", "OBSERVAT", "OBJECT", "REFERENC", "RA",
         "RA2000", "DEC", "DEC2000"] + [
    f"{p}{i}_{m}" for p in ("PV", "PS") for i in (1, 2) for m in range(0, 100)] + [
    f"{p}_{s}" for p in ("A", "B", "AP", "BP")
    for s in ["ORDER"] + [f"{i}_{j}" for i in range(10) for j in range(10)]] + [
    # A scanned plate's solution (the sky surveys' headers).
    "PLTRAH", "PLTRAM", "PLTRAS", "PLTDECSN", "PLTDECD", "PLTDECM", "PLTDECS", "PLTSCALE",
    "XPIXELSZ", "YPIXELSZ", "CNPIX1", "CNPIX2"] + [f"PPO{i}" for i in range(1, 7)] + [
    f"AMD{a}{i}" for a in "XY" for i in range(1, 21)]
# Written from the image's attributes (LONGSTRN: when the copy carries long strings), so a
# carried copy is dropped or commented.
FROM_ATTRIBUTES = {"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "NAXIS3", "EXTEND", "ORIGIN",
                   "DATE", "BZERO", "BSCALE", "BLANK", "DISPAXIS", "AUTHOR", "LONGSTRN", "END"} | {
    f"{k}{a}" for k in ("CTYPE", "CUNIT", "CRPIX", "CRVAL", "CDELT") for a in (1, 2)} | {
    f"{c}{i}_{j}" for c in ("CD", "PC") for i in (1, 2, 3) for j in (1, 2, 3)}


def raw_cards(path):
    """The primary header's cards exactly as the file holds them."""
    cards = []
    with open(path, "rb") as f:
        while True:
            record = f.read(2880)
            if len(record) < 2880:
                return cards
            for i in range(0, 2880, 80):
                card = record[i:i + 80].decode("latin-1")
                if card.startswith("END     "):
                    return cards
                cards.append(card)


def commented_whole(text, comments):
    """Whether consecutive COMMENT cards, joined, give the text back whole."""
    for start in range(len(comments)):
        joined = ""
        for piece in comments[start:]:
            joined += piece
            if len(joined) >= len(text):
                break
        if joined == text:
            return True
    return False


def compare_copy(ours, source_header, planes_raw, path, where, source_path=None):
    """What our writer made: the same data, the attributes in their cards exactly, every
    carried keyword placed or commented out whole."""
    with fits.open(path, do_not_scale_image_data=True) as hdul:
        header = hdul[0].header
        data = np.asarray(hdul[0].data).astype(np.float64)
    while data.ndim < 3:
        data = data[None]
    same_array(data, planes_raw, f"{where}: data")
    check(header["BITPIX"] == int(ours["bitpix"]), f"{where}: BITPIX {header['BITPIX']}")
    for key in ("BSCALE", "BZERO"):
        check(float(header[key]) == float(ours[key.lower()]),
              f"{where}: {key} written {header[key]!r}, ours {ours[key.lower()]}")
    for axis in (1, 2):
        for key in ("CRPIX", "CRVAL", "CDELT"):
            mine = real(ours[f"{key}{axis}".lower()])
            name = f"{key}{axis}"
            if mine is None:
                continue
            check(name in header and float(header[name]) == mine,
                  f"{where}: {name} written {header.get(name)!r}, ours {mine!r}")
        for key in ("CTYPE", "CUNIT"):
            mine = ours[f"{key}{axis}".lower()]
            if mine != "-":
                check(str(header.get(f"{key}{axis}", "")).rstrip() == mine.strip("'").rstrip(),
                      f"{where}: {key}{axis} written {header.get(f'{key}{axis}')!r}, ours {mine}")
    kind = int(ours["ltkind"])
    if kind:
        mine = [float(v) for v in ours["ltmatrix"].split()]
        prefix = "CD" if kind == 1 else "PC"
        for (i, j), v in zip(MATRIX, mine):
            check(float(header.get(f"{prefix}{i}_{j}", np.nan)) == v,
                  f"{where}: {prefix}{i}_{j} written {header.get(f'{prefix}{i}_{j}')!r}, ours {v}")
    if source_header is None:
        return header
    comments = [c[8:].rstrip() for c in raw_cards(path) if c.startswith("COMMENT ")]
    seen = set()
    owner = ""
    for card in raw_cards(source_path):
        key = card[:8].rstrip()
        if key == "CONTINUE":
            key = owner  # a long string's CONTINUE cards go where its first card goes
        else:
            owner = key
            if key in seen and key not in ("COMMENT", "HISTORY", ""):
                continue
            seen.add(key)
        if key == "EPOCH" and "EQUINOX" not in source_header:
            # The old name goes on as EQUINOX; beside an EQUINOX it is commented out.
            check(header.get("EQUINOX") == source_header["EPOCH"],
                  f"{where}: EPOCH carried as EQUINOX {header.get('EQUINOX')!r}")
        elif key in MOVED and not (key == "WCSAXES" and source_header[key] > 2):
            check(key in header and header[key] == source_header[key],
                  f"{where}: {key} carried as {header.get(key)!r}, source {source_header[key]!r}")
        elif key in ("COMMENT", "") or key in FROM_ATTRIBUTES or key.startswith("SI-"):
            continue
        else:
            # Commented out whole: "COMMENT " and the card, over as many cards as it takes.
            text = card.rstrip()
            check(commented_whole(text, comments),
                  f"{where}: card {text[:40]!r} neither placed nor commented out whole")
    return header


def same_sky(source, copy, where):
    """astropy.wcs gives the source and our copy the same sky at every pixel. Not asked of
    a source with two matrix conventions: the reader takes CD then, wcslib PC."""
    header = fits.getheader(source)
    conventions = [any(k in header for k in keys) for keys in (
        [f"CD{i}_{j}" for i, j in MATRIX], [f"PC{i}_{j}" for i, j in MATRIX],
        [f"PC{i:03d}{j:03d}" for i, j in MATRIX])]
    theirs = celestial_wcs(header)
    if theirs is None or sum(conventions) > 1:
        return False
    mine = celestial_wcs(fits.getheader(copy))
    if not check(mine is not None, f"{where}: the copy has no celestial coordinates"):
        return False
    height, width = fits.getdata(source).shape[-2:]
    y, x = np.mgrid[0:height, 0:width]
    pixels = np.column_stack([x.ravel(), y.ravel()]).astype(np.float64)
    a = theirs.all_pix2world(pixels, 0)
    b = mine.all_pix2world(pixels, 0)
    lng, lat = theirs.wcs.lng, theirs.wcs.lat
    diff = np.abs(np.stack([(a[:, lng] - b[:, lng] + 180.0) % 360.0 - 180.0,
                            a[:, lat] - b[:, lat]]))
    worst = np.nanmax(diff) if np.isfinite(diff).any() else 0.0
    check(np.array_equal(np.isnan(a), np.isnan(b)) and worst <= 1e-9,
          f"{where}: the copy's sky differs from the source's by {worst!r} degrees")
    return True


def expected_code(header, source):
    # NAXIS as the file states it: astropy mends that of random groups.
    stated = [c[10:].split("/")[0] for c in raw_cards(source) if c.startswith("NAXIS   = ")]
    naxis = int(stated[0]) if stated else header.get("NAXIS", 0)
    if not 1 <= naxis <= 999:
        return 17
    if header.get("GROUPS"):
        return 7
    # Axes beyond the third may only be 1 long: more dimensions are refused as such.
    extra = [header.get(f"NAXIS{i}", 0) for i in range(4, naxis + 1)]
    if any(n <= 0 for n in extra):
        return 7
    if any(n > 1 for n in extra):
        return 47
    if header.get("BITPIX") not in (8, 16, 32, -32, -64, 64):
        return 7
    if any(header.get(f"NAXIS{i}", 0) <= 0 for i in range(1, min(naxis, 3) + 1)):
        return 7
    return 0


def peer(directory):
    ours = load(directory)
    source = ours["source"]
    code = int(ours["code"])
    try:
        hdul = fits.open(source, do_not_scale_image_data=True)
        header = hdul[0].header
    except Exception as error:  # astropy does not take it for FITS either
        check(code != 0, f"astropy cannot open it ({error}) but we read it")
        return
    expected = expected_code(header, source)
    if not check(code == expected, f"read gives {code}, expected {expected}"):
        return
    if code != 0:
        print(f"not an image we read: code {code} as expected")
        return
    raw = np.asarray(hdul[0].data).astype(np.float64)
    bscale = float(header.get("BSCALE", 1.0))
    bzero = float(header.get("BZERO", 0.0))
    blank = str(header["BLANK"]) if "BLANK" in header else "-"
    if header["BITPIX"] == 64:
        # 64-bit integers come in as doubles with the scaling folded in: physical values
        # rounded once, BLANK pixels NaN, and no scaling or blank value left.
        stored = np.asarray(hdul[0].data)
        raw = np.array([np.nan if "BLANK" in header and int(v) == header["BLANK"] else
                        float(int(v) * header.get("BSCALE", 1) + header.get("BZERO", 0))
                        for v in stored.ravel().tolist()]).reshape(stored.shape)
        bscale, bzero, blank = 1.0, 0.0, "-"
    while raw.ndim < 3:
        raw = raw[None]
    raw = raw.reshape(raw.shape[-3:])  # further axes are all 1 long
    planes, height, width = raw.shape
    check(int(ours["width"]) == width, f"width {ours['width']} != {width}")
    check(int(ours["fileplanes"]) == planes, f"planes {ours['fileplanes']} != {planes}")
    check(float(ours["bscale"]) == bscale, f"BSCALE {ours['bscale']} != {bscale}")
    check(float(ours["bzero"]) == bzero, f"BZERO {ours['bzero']} != {bzero}")
    check(ours["blank"] == blank, "BLANK")
    with fits.open(source) as scaled_hdul:
        scaled = np.asarray(scaled_hdul[0].data).astype(np.float64)
    while scaled.ndim < 3:
        scaled = scaled[None]
    scaled = scaled.reshape(scaled.shape[-3:])
    for p in range(planes):
        ours_raw, ours_phys = pixels(directory, ours[f"plane{p}"], (height, width))
        same_array(ours_raw, raw[p], f"plane {p} raw")
        same_array(ours_phys, raw[p] * bscale + bzero, f"plane {p} physical")
        # astropy's own scaled values (float32 for scaled integers; NaN for BLANK).
        valid = ~np.isnan(scaled[p])
        check(np.allclose(ours_phys[valid], scaled[p][valid], rtol=2e-7, atol=0, equal_nan=True),
              f"plane {p}: physical values differ from astropy's scaled data")
    compare_world_coordinates(ours, header, "attributes")
    compare_copy(ours, header, raw[:1], ours["copy"], "copy", source)
    if same_sky(source, ours["copy"], "copy"):
        print("the copy gives astropy.wcs the same sky at every pixel")
    if "color" in ours:
        ours_raw, _ = pixels(directory, ours["color"], (3, height, width))
        same_array(ours_raw, raw[[2, 1, 0]], "colour planes 2, 1, 0")
        copy = compare_copy(ours, None, raw[[2, 1, 0]], ours["colorcopy"], "colour copy")
        check(copy.get("NAXIS3") == 3 and copy.get("SI-TYPE", "").strip() == "RGB",
              "colour copy: NAXIS3 and SI-TYPE")
    print(f"{planes} plane(s) of {width} x {height}, BITPIX {header['BITPIX']}: agree")


def written(directory):
    ours = load(directory)
    planes, height, width = int(ours["planes"]), int(ours["height"]), int(ours["width"])
    ours_raw, ours_phys = pixels(directory, ours["written"], (planes, height, width))
    header = compare_copy(ours, None, ours_raw, ours["copy"], "written")
    with fits.open(ours["copy"]) as hdul:
        scaled = np.asarray(hdul[0].data).astype(np.float64)
        scaled = scaled.reshape(planes, height, width)
        check(np.allclose(ours_phys, scaled, rtol=2e-7, atol=0), "physical values")
        check(header["NAXIS"] == (1 if ours["onedim"] == "1" else 3 if planes > 1 else 2),
              f"NAXIS {header['NAXIS']}")
        check(header.get("OBJECT") == "Test field", "OBJECT carried")
        comments = [str(c) for c in header.get("COMMENT", [])]
        check(any(c.startswith("OBSCODE =") for c in comments), "OBSCODE commented out")
        check(any(c.startswith("HISTORY made by") for c in comments), "HISTORY commented out")
        check(sum("COMMENT OUT BY Vantorel ON" in c for c in comments) == 1, "one banner")
        for n in range(1, min(planes, 3) + 1):
            check(f"SI-LMIN{n}" in header and f"SI-LMAX{n}" in header, f"levels of plane {n}")
        if ours["ctype1"] != "-":
            check(header.get("AUTHOR") == "Vantorel test", "AUTHOR")
        if ours["table"] == "1":
            check(len(hdul) == 2 and hdul[1].header.get("EXTNAME") == "Vantorel Phot data",
                  f"photometry table: {[h.header.get('EXTNAME') for h in hdul]}")
            table = hdul[1].data
            check(list(table["NO"]) == [1, 2], f"NO column {list(table['NO'])}")
            check(np.allclose(table["MAG"], [12.345, 13.5]), f"MAG column {list(table['MAG'])}")
            check(header["EXTEND"] is True, "EXTEND T")
        else:
            check(len(hdul) == 1 and header["EXTEND"] is False, "no extension, EXTEND F")
    print(f"{planes} plane(s) of {width} x {height}, BITPIX {ours['bitpix']}: agree")


def cards(directory):
    with open(os.path.join(directory, "ours.txt"), encoding="utf-8") as f:
        for line in f:
            path, key, value = line.rstrip("\n").split("\t")
            want = float.fromhex(value)
            header = fits.getheader(path)
            got = float(header[key]) if key in header else None
            check(got is not None and got.hex() == want.hex(),
                  f"{os.path.basename(path)}: {key} = {header.get(key)!r} reads {got!r}, "
                  f"written {want!r}")


def main():
    mode, directory = sys.argv[1], sys.argv[2]
    {"peer": peer, "written": written, "cards": cards}[mode](directory)
    for f in failures:
        print("MISMATCH:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
