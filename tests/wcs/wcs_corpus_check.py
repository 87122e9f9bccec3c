"""vantorel-cli wcs beside astropy.wcs (wcslib) on every world-coordinate header that
Debian's python3-astropy ships: its FITS test files (every unit whose header describes
coordinates), the maps of every projection of the FITS paper on celestial coordinates
(wcs/tests/data/maps), the spectra of the paper on spectral coordinates
(wcs/tests/data/spectra) and the other headers of its coordinate tests.

Usage: wcs_corpus_check.py VANTOREL_CLI

For every pixel of a grid that reaches beyond the image on all sides, where astropy's
all_pix2world gives a celestial position on the first two axes, vantorel-cli must give the
same to 1e-9 degrees; where astropy gives none, vantorel-cli must give none. A spectral
first or second axis is compared the same way, to 1e-9 relative, in the unit of the
header. Pixels beyond the second axis stand at 1, the plane the program reads.

What the program deliberately does otherwise, and how it is compared then:
- axes of other types (PIXEL, LAMBDA, STOKES ...) carry no world coordinate the program
  shows: it must give none for them;
- distortions kept as lookup tables in other units of the file (CPDIS, D2IM) are not
  applied: such headers are compared with astropy without the tables;
- a scanned survey plate's own solution (PLTRAH, AMDX ...) is used only where the header
  has no other description: a header with both is compared with astropy without the plate
  solution, and once more without the other description, so that the plate solution
  itself is compared too.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np
from astropy import units as u
from astropy.io import fits
from astropy.wcs import WCS

warnings.simplefilter("ignore")

CLI = sys.argv[1]
ROOT = Path("/usr/lib/python3/dist-packages/astropy")
WORK = Path(tempfile.mkdtemp(prefix="vantorel-wcs-corpus-"))
ENV = dict(os.environ, VANTOREL_CONFIG_HOME=str(WORK / "config"))
SPECTRAL = ("FREQ", "ENER", "WAVN", "VRAD", "WAVE", "VOPT", "ZOPT", "AWAV", "VELO", "BETA")
PLATE = ("PLTRAH", "PLTRAM", "PLTRAS", "PLTDECSN", "PLTDECD", "PLTDECM", "PLTDECS",
         "PLTSCALE", "XPIXELSZ", "YPIXELSZ", "CNPIX1", "CNPIX2")
failures = []
compared = {"celestial": 0, "spectral": 0, "none": 0}


def fail(name, text):
    failures.append(name)
    print(f"FAIL {name}: {text}")


def is_plate_key(k):
    return k in PLATE or k.startswith(("PPO", "AMDX", "AMDY"))


def is_table_distortion_key(k):
    return k.startswith(("CPDIS", "CQDIS", "DP1", "DP2", "DQ1", "DQ2", "D2IM", "CPERR",
                         "CQERR", "AXISCORR", "NPOLEXT"))


def headers():
    """(name, header, path or None, unit): every unit with coordinate keywords."""
    found = [p for p in ROOT.rglob("*") if p.is_file() and (
        p.suffix in (".hdr", ".fits", ".fit", ".fts") or p.name.endswith(".fits.gz"))]
    for path in sorted(found):
        rel = str(path.relative_to(ROOT))
        if path.suffix == ".hdr":
            text = path.read_bytes().decode("ascii", "replace")
            try:
                header = fits.Header.fromstring(text.replace("\n", "").ljust(80), sep="")
            except Exception:
                continue
            yield rel, header, None, 0
            continue
        try:
            with fits.open(path) as hdul:
                units = [(i, hdu.header.copy(), hdu.is_image and hdu.data is not None
                          and hdu.data.ndim >= 1) for i, hdu in enumerate(hdul)]
        except Exception:
            continue
        for i, header, has_image in units:
            yield f"{rel}[{i}]", header, path if has_image else None, i


def describes_coordinates(header):
    return any(f"CTYPE{k}" in header for k in (1, 2)) or "PLTRAH" in header


def shape_of(header):
    n1 = int(header.get("NAXIS1", 0) or header.get("ZNAXIS1", 0) or 0)
    n2 = int(header.get("NAXIS2", 0) or header.get("ZNAXIS2", 0) or 0)
    if header.get("NAXIS", 2) == 1 and n1:
        return n1, 1
    return (n1 if 0 < n1 <= 8192 else 100), (n2 if 0 < n2 <= 8192 else 100)


def synthetic(name, header):
    """The header's cards on a small 16-bit image of its own width and height."""
    nx, ny = shape_of(header)
    one_axis = header.get("NAXIS", 2) == 1
    data = np.zeros((nx,) if one_axis else (ny, nx), np.int16)
    hdu = fits.PrimaryHDU(data)
    skip = {"SIMPLE", "BITPIX", "EXTEND", "XTENSION", "PCOUNT", "GCOUNT", "BSCALE", "BZERO",
            "BLANK", "END", "", "COMMENT", "HISTORY", "CHECKSUM", "DATASUM", "ZIMAGE",
            "ZBITPIX", "ZCMPTYPE", "ZTENSION", "ZPCOUNT", "ZGCOUNT", "ZQUANTIZ", "ZSIMPLE",
            "ZEXTEND", "ZBLOCKED", "TFIELDS"}
    for card in header.cards:
        k = card.keyword
        if k in skip or k.startswith(("NAXIS", "ZNAXIS", "ZTILE", "ZNAME", "ZVAL", "TTYPE",
                                      "TFORM", "TUNIT", "TDIM")):
            continue
        try:
            hdu.header.append(card, end=True)
        except Exception:
            pass
    path = WORK / (name.replace("/", "-").replace("[", "-").replace("]", "") + ".fits")
    hdu.writeto(path, overwrite=True, output_verify="silentfix")
    return path


def reference_wcs(header, path, unit, drop=()):
    header = header.copy()
    for k in list(header.keys()):
        if any(test(k) for test in drop):
            del header[k]
    try:
        if path is not None and not drop:
            with fits.open(path) as hdul:
                return WCS(header, fobj=hdul)
        return WCS(header)
    except Exception:
        return None


def grid(nx, ny, one_axis):
    xs = np.linspace(1 - 0.3 * nx, 1.3 * nx, 15)
    if one_axis:
        return [(float(x), 1.0) for x in xs]
    ys = np.linspace(1 - 0.3 * ny, 1.3 * ny, 15)
    return [(float(x), float(y)) for y in ys for x in xs]


def run_cli(target, xy):
    text = "".join(f"{x!r} {y!r}\n" for x, y in xy)
    run = subprocess.run([CLI, "wcs", "--json", target, "-"], input=text, capture_output=True,
                         text=True, env=ENV, timeout=300)
    if run.returncode == 1 and "no usable world coordinates" in run.stderr:
        return [None] * len(xy), ""
    if run.returncode != 0:
        return None, f"exit {run.returncode}: {run.stderr.strip()[:300]}"
    rows = [json.loads(line) for line in run.stdout.splitlines()]
    if len(rows) != len(xy):
        return None, f"{len(rows)} lines for {len(xy)} positions"
    return rows, ""


def expected(w, xy):
    """Per pixel: ("celestial", lon, lat), ("spectral", axis, value) or None; plus the
    axes that are neither, which must give nothing."""
    if w is None:
        return [None] * len(xy)
    n = w.pixel_n_dim
    pix = np.ones((len(xy), n))
    pix[:, 0] = [p[0] for p in xy]
    if n > 1:
        pix[:, 1] = [p[1] for p in xy]
    try:
        world = w.all_pix2world(pix, 1)
    except Exception:
        return [None] * len(xy)
    lng, lat, spec = w.wcs.lng, w.wcs.lat, w.wcs.spec
    if lng in (0, 1) and lat in (0, 1):
        return [("celestial", row[lng], row[lat]) if np.isfinite(row[lng]) and
                np.isfinite(row[lat]) else None for row in world]
    if spec in (0, 1) and str(w.wcs.ctype[spec])[:4] in SPECTRAL:
        # astropy works in SI units; the program keeps the header's unit.
        scale = 1.0
        stated = str(w.wcs.cunit[spec])
        wanted = WANTED_UNIT.get(id(w))
        if wanted and stated and wanted != stated:
            scale = (1 * u.Unit(stated)).to(u.Unit(wanted)).value
        return [("spectral", spec, row[spec] * scale) if np.isfinite(row[spec]) else None
                for row in world]
    return [None] * len(xy)


WANTED_UNIT = {}


def compare(name, target, header, w, one_axis):
    nx, ny = shape_of(header)
    xy = grid(nx, ny, one_axis)
    if w is not None and w.wcs.spec in (0, 1):
        WANTED_UNIT[id(w)] = str(header.get(f"CUNIT{w.wcs.spec + 1}", "")).strip()
    want = expected(w, xy)
    rows, why = run_cli(str(target), xy)
    if rows is None:
        return fail(name, why)
    worst = 0.0
    counts = {"celestial": 0, "spectral": 0, "none": 0}
    for (x, y), exp, row in zip(xy, want, rows):
        kind = row["kind"] if row else None
        if exp is None:
            if kind is not None:
                return fail(name, f"({x}, {y}): astropy gives nothing, vantorel {row}")
            counts["none"] += 1
            continue
        if exp[0] == "celestial":
            if kind != "celestial":
                return fail(name, f"({x}, {y}): astropy gives ({exp[1]}, {exp[2]}), "
                                  f"vantorel {row}")
            da = abs((row["a"] - exp[1] + 180.0) % 360.0 - 180.0)
            worst = max(worst, da, abs(row["d"] - exp[2]))
            if not 0.0 <= row["a"] < 360.0:
                return fail(name, f"longitude {row['a']} outside 0 .. 360")
            counts["celestial"] += 1
        else:
            value = row.get("a" if exp[1] == 0 else "d") if row else None
            if kind in (None, "celestial") or value is None:
                return fail(name, f"({x}, {y}): astropy gives {exp[2]}, vantorel {row}")
            worst = max(worst, abs(value - exp[2]) / max(abs(exp[2]), 1e-300))
            counts["spectral"] += 1
    tolerance = 1e-9
    if worst > tolerance:
        return fail(name, f"differs from astropy by {worst:.3g}")
    for k, v in counts.items():
        compared[k] += v
    print(f"ok {name}: {counts['celestial']} celestial, {counts['spectral']} spectral, "
          f"{counts['none']} without value; largest difference {worst:.2g}")


def main():
    cases = 0
    for name, header, path, unit in headers():
        if not describes_coordinates(header):
            continue
        if header.get("GROUPS") is True:
            continue  # random groups hold visibilities, not an image
        one_axis = header.get("NAXIS") == 1
        has_plate = "PLTRAH" in header
        has_other = "CTYPE1" in header or "CTYPE2" in header
        has_tables = any(is_table_distortion_key(k) for k in header) and \
            any(k.startswith(("CPDIS", "D2IM")) for k in header)
        target = f"{path}[{unit}]" if path is not None else synthetic(name, header)
        drops = []
        if has_tables:
            drops.append(is_table_distortion_key)
        if has_plate and has_other:
            drops.append(is_plate_key)
        w = reference_wcs(header, path, unit, drops)
        compare(name, target, header, w, one_axis)
        cases += 1
        if has_plate and has_other:
            # The plate solution alone, where the header has nothing else.
            plate_only = header.copy()
            for k in list(plate_only.keys()):
                if k.startswith(("CTYPE", "CRPIX", "CRVAL", "CDELT", "CROTA", "CD1_", "CD2_",
                                 "PC0", "PC1_", "PC2_", "CUNIT")):
                    del plate_only[k]
            pname = name + "-plate-solution"
            target = synthetic(pname, plate_only)
            compare(pname, target, plate_only, reference_wcs(plate_only, None, 0), one_axis)
            cases += 1
    if cases < 60:
        fail("corpus", f"only {cases} headers found")
    print(f"{cases} headers; {compared['celestial']} celestial and {compared['spectral']} "
          f"spectral positions compared, {compared['none']} without value")


main()
shutil.rmtree(WORK, ignore_errors=True)
print(f"{'FAILED' if failures else 'passed'}: {len(failures)} failed")
sys.exit(1 if failures else 0)
