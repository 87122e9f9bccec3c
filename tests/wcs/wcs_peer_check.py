"""vantorel-cli wcs beside wcslib (through astropy.wcs) on the same FITS files.

Usage: wcs_peer_check.py celestial|spectral VANTOREL_CLI [VANTOREL_SAMPLE]

Each case is written as a small FITS file; `vantorel-cli wcs --json FILE -` gets a grid of
1-based pixel positions on standard input, and astropy's wcs_pix2world(..., 1) (wcslib
without the distortions) converts the same positions of the same file.

Where this system differs from wcslib by its own rules, the cases are chosen or adjusted
so that the difference does not arise, and the adjustment is said where it is made:
- EQUINOX, RADESYS and LATPOLE select no other frame: wcs_pix2world converts no frame
  either;
- a spectral axis' rest value is read from RESTWAVn / RESTFRQn, else RESTWAV / RESTFRQ;
  the files carry both forms. The headers of astropy's own test data are compared, all
  of them and as they stand, by wcs_corpus_check.py.
"""
import json
import math
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
from astropy.wcs import WCS, FITSFixedWarning

warnings.simplefilter("ignore", FITSFixedWarning)

MODE, CLI = sys.argv[1], sys.argv[2]
SAMPLE = sys.argv[3] if len(sys.argv) > 3 else None
WORK = Path(tempfile.mkdtemp(prefix="vantorel-wcs-"))
ENV = dict(os.environ, VANTOREL_CONFIG_HOME=str(WORK / "config"))
C = 299792458.0
H = 6.6260755e-34
failures = []


def fail(name, text):
    failures.append(name)
    print(f"FAIL {name}: {text}")


def write(name, cards, shape=(8, 8)):
    """A 16-bit image of the given (NAXIS2, NAXIS1) with the world-coordinate cards."""
    hdu = fits.PrimaryHDU(np.zeros(shape, np.int16))
    for key, value in cards.items():
        hdu.header[key] = value
    path = WORK / f"{name}.fits"
    hdu.writeto(path, overwrite=True)
    return path


def vantorel(path, xy):
    text = "".join(f"{x!r} {y!r}\n" for x, y in xy)
    run = subprocess.run([CLI, "wcs", "--json", str(path), "-"], input=text,
                         capture_output=True, text=True, env=ENV, timeout=120)
    if run.returncode != 0:
        return None, run.stderr.strip()
    rows = [json.loads(line) for line in run.stdout.splitlines()]
    if len(rows) != len(xy):
        return None, f"{len(rows)} lines for {len(xy)} positions"
    return rows, ""


def grid(nx, ny, n=12):
    xs, ys = np.linspace(1, nx, n), np.linspace(1, ny, n)
    return [(float(x), float(y)) for y in ys for x in xs]


# ---------------------------------------------------------------- celestial

def compare_celestial(name, path, xy, reference_path=None, tol=1e-9):
    """Every position that wcslib reaches must agree to tol degrees in both coordinates
    (the longitude modulo 360); a position wcslib cannot reach may give no value."""
    rows, why = vantorel(path, xy)
    if rows is None:
        return fail(name, why)
    w = WCS(fits.getheader(reference_path or path))
    world = w.wcs_pix2world(np.array(xy), 1)[:, [w.wcs.lng, w.wcs.lat]]
    worst, checked = 0.0, 0
    for (x, y), row, (ra, dec) in zip(xy, rows, world):
        if not (np.isfinite(ra) and np.isfinite(dec)):
            continue
        if row["kind"] != "celestial":
            return fail(name, f"no value at ({x}, {y}); wcslib gives ({ra}, {dec})")
        if not 0.0 <= row["a"] < 360.0:
            return fail(name, f"longitude {row['a']} at ({x}, {y}) is outside 0 .. 360")
        da = abs((row["a"] - ra + 180.0) % 360.0 - 180.0)
        worst = max(worst, da, abs(row["d"] - dec))
        checked += 1
    if checked < 10:
        return fail(name, f"wcslib reaches only {checked} of {len(xy)} positions")
    if worst > tol:
        return fail(name, f"differs from wcslib by {worst:.3g} degrees")
    print(f"ok {name}: {checked} positions, largest difference {worst:.2g} degrees")


def celestial_cases():
    base = {"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRPIX1": 1000.5, "CRPIX2": 1000.5,
            "CRVAL1": 83.8221, "CRVAL2": -5.3911}
    cd = {"CD1_1": -2.8e-4, "CD1_2": 0.0, "CD2_1": 0.0, "CD2_2": 2.8e-4}

    def pc(scale, angle=0.0, skew=(0.0, 0.0)):
        r = math.radians(angle)
        return {"CDELT1": -scale, "CDELT2": scale, "PC1_1": math.cos(r) + skew[0],
                "PC1_2": -math.sin(r), "PC2_1": math.sin(r), "PC2_2": math.cos(r) + skew[1]}

    def proj(code, *parts, **extra):
        merged = {**base, "CTYPE1": f"RA---{code}", "CTYPE2": f"DEC--{code}"}
        for part in parts:
            merged.update(part)
        return {**merged, **extra}

    cases = {
        "tan-cd": {**base, **cd},
        "tan-pc-rotated": {**base, **pc(3e-4, 30.0)},
        "tan-cd-skewed": {**base, "CD1_1": -2.8e-4, "CD1_2": 3.1e-5, "CD2_1": 1.2e-5,
                          "CD2_2": 2.9e-4},
        "tan-cdelt-crota2": {**base, "CDELT1": -3e-4, "CDELT2": 3e-4, "CROTA2": 25.0},
        "tan-lonpole-150": {**base, **pc(3e-4), "LONPOLE": 150.0},
        "tan-near-pole": {**base, **pc(1e-3, 10.0), "CRVAL2": 89.9},
        "tan-ra-zero": {**base, **cd, "CRVAL1": 0.0, "CRVAL2": 30.0},
        "tan-ra-359.9": {**base, **pc(5e-4, -40.0), "CRVAL1": 359.9, "CRVAL2": -60.0},
        "tan-south-pole": {**base, **pc(1e-3), "CRVAL2": -90.0},
        "stg-cd": proj("STG", cd, CD1_1=-0.01, CD2_2=0.01),
        "stg-pv-ignored": proj("STG", pc(0.01, 15.0), PV2_1=3.0),
        "azp-mu-gamma": proj("AZP", pc(0.005, 20.0), PV2_1=0.7, PV2_2=25.0, CRVAL2=40.0),
        "azp-negative-mu": proj("AZP", pc(0.004), PV2_1=-0.3, PV2_2=-10.0),
        "arc-wide": proj("ARC", pc(0.05, 5.0), CRVAL2=60.0),
        "arc-lonpole": proj("ARC", cd, LONPOLE=90.0),
        "sin-plain": proj("SIN", pc(0.02, -12.0)),
        "sin-slant": proj("SIN", pc(0.02, 12.0), PV2_1=0.3, PV2_2=-0.2, CRVAL2=-30.0),
        "sin-ncp-like": proj("SIN", pc(0.003), PV2_1=0.0, PV2_2=1.0 / math.tan(math.radians(50)),
                             CRVAL2=50.0),
        "glon-tan": {**base, **cd, "CTYPE1": "GLON-TAN", "CTYPE2": "GLAT-TAN",
                     "CRVAL1": 120.0, "CRVAL2": 2.0},
        # The defaults of the standard: a unit matrix with CDELT, φ_p = 0 at δ_p = 90°.
        "tan-cdelt-only": {**base, "CDELT1": -3e-4, "CDELT2": 3e-4},
        "tan-north-pole": {**base, **pc(1e-3, 20.0), "CRVAL2": 90.0},
        "car-cdelt-only": proj("CAR", CDELT1=-0.05, CDELT2=0.05, CRVAL2=0.0),
        "ait-galactic": {**proj("AIT", pc(0.1, 0.0)), "CTYPE1": "GLON-AIT",
                         "CTYPE2": "GLAT-AIT", "CRVAL1": 0.0, "CRVAL2": 0.0},
        "zpn-cd": proj("ZPN", cd, PV2_0=0.0, PV2_1=1.0, PV2_3=-0.02),
        "tpv": proj("TPV", cd, PV1_0=0.0, PV1_1=1.0, PV1_2=0.0, PV1_4=2e-3, PV2_0=0.0,
                    PV2_1=1.0, PV2_2=0.0, PV2_5=-1e-3),
        # The latitude on the first axis.
        "dec-ra": {**base, "CTYPE1": "DEC--TAN", "CTYPE2": "RA---TAN", "CRVAL1": -5.3911,
                   "CRVAL2": 83.8221, "CD1_1": 0.0, "CD1_2": 2.8e-4, "CD2_1": -2.8e-4,
                   "CD2_2": 0.0},
    }
    for name, cards in cases.items():
        compare_celestial(name, write(name, cards), grid(2000, 2000))


def celestial_sample():
    path = WORK / "sample.fits"
    if subprocess.run([SAMPLE, str(path), "640", "480"], env=ENV, capture_output=True).returncode:
        return fail("sample", "vantorel-sample failed")
    compare_celestial("sample", path, grid(2000, 2000))


# ---------------------------------------------------------------- spectral
# An independent computation of the chain this system uses: the axis value S is turned
# into its basic quantity (ν, λ, λa or v), that into X of the code's first letter; X is
# linear in the intermediate coordinate w with the slope dX/dS at the reference; back to S.

def edlen(lam):
    s2 = (1.0 / (100.0 * lam)) ** 2
    return 1.000064328 + 2949810.0 / (1.46e10 - s2) + 25540.0 / (4.1e9 - s2)


BASIC = {"FREQ": "F", "ENER": "F", "WAVN": "F", "VRAD": "F", "WAVE": "W", "VOPT": "W",
         "ZOPT": "W", "AWAV": "A", "VELO": "V", "BETA": "V"}


def to_basic(t, s, l0):
    nu0 = C / l0
    return {"FREQ": lambda: s, "ENER": lambda: s / H, "WAVN": lambda: s * C,
            "VRAD": lambda: nu0 * (1 - s / C), "WAVE": lambda: s, "AWAV": lambda: s,
            "VOPT": lambda: l0 * (1 + s / C), "ZOPT": lambda: l0 * (1 + s),
            "VELO": lambda: s, "BETA": lambda: s * C}[t]()


def from_basic(t, b, l0):
    nu0 = C / l0
    return {"FREQ": lambda: b, "ENER": lambda: b * H, "WAVN": lambda: b / C,
            "VRAD": lambda: C * (nu0 - b) / nu0, "WAVE": lambda: b, "AWAV": lambda: b,
            "VOPT": lambda: C * (b - l0) / l0, "ZOPT": lambda: (b - l0) / l0,
            "VELO": lambda: b, "BETA": lambda: b / C}[t]()


def to_vacuum(q, v, l0):
    """A basic quantity as a vacuum wavelength; the air one as λa · n(λa)."""
    if q == "F":
        return C / v
    if q == "W":
        return v
    if q == "A":
        return v * edlen(v)
    return l0 * (C + v) / np.sqrt(C * C - v * v)


def from_vacuum(q, lam, l0):
    if q == "F":
        return C / lam
    if q == "W":
        return lam
    if q == "A":
        return lam / edlen(lam)
    return C * (lam * lam - l0 * l0) / (lam * lam + l0 * l0)


def model(t, code, s_ref, w, scale, l0):
    """S at intermediate coordinates w, S in the axis unit (scale: unit to SI)."""
    b, x = BASIC[t], code[0]

    def s_to_x(s):
        basic = to_basic(t, s * scale if t in ("WAVE", "AWAV") else s, l0)
        return basic if b == x else from_vacuum(x, to_vacuum(b, basic, l0), l0)

    def x_to_s(xv):
        basic = xv if b == x else from_vacuum(b, to_vacuum(x, xv, l0), l0)
        s = from_basic(t, basic, l0)
        return s / scale if t in ("WAVE", "AWAV") else s

    # The slope by a symmetric difference of the exact chain, as a check of the
    # analytic derivatives.
    h = abs(s_ref) * 1e-6 if s_ref else 1e-6
    slope = (s_to_x(s_ref + h) - s_to_x(s_ref - h)) / (2 * h)
    return x_to_s(s_to_x(s_ref) + w * slope)


UNIT_SCALE = {"m": 1.0, "cm": 1e-2, "nm": 1e-9, "angstrom": 1e-10, "Angstrom": 1e-10}
SI_UNIT = {"FREQ": "Hz", "ENER": "J", "WAVN": "m-1", "VRAD": "m/s", "VOPT": "m/s",
           "VELO": "m/s", "WAVE": "m", "AWAV": "m", "ZOPT": "", "BETA": ""}
ACCEPTED = {t: ["F2W", "F2V", "F2A", "W2F", "W2V", "W2A", "V2F", "V2W", "V2A", "A2F", "A2W",
                "A2V"] for t in ("FREQ", "WAVE", "AWAV", "VELO")}
ACCEPTED.update({t: ["W2F", "V2F", "A2F"] for t in ("ENER", "WAVN", "VRAD")})
ACCEPTED.update({t: ["F2W", "F2A", "W2A", "V2W", "V2A", "A2W"] for t in ("VOPT", "ZOPT")})
ACCEPTED["BETA"] = ["F2V", "W2V", "A2V"]

L0 = 6.5628e-7       # rest wavelength (Hα, m)
V_REF = 4.5e6        # velocity of the reference pixel (m/s)
NPIX = 2000


def reference_value(t, scale):
    nu = (C / L0) * math.sqrt((C - V_REF) / (C + V_REF))
    lam = C / nu
    return {"FREQ": nu, "ENER": H * nu, "WAVN": nu / C, "VRAD": C * (C / L0 - nu) / (C / L0),
            "WAVE": lam / scale, "AWAV": lam / edlen(lam) / scale,
            "VOPT": C * (lam - L0) / L0, "ZOPT": (lam - L0) / L0, "VELO": V_REF,
            "BETA": V_REF / C}[t]


def spectral_case(name, t, code, unit, form="nonlinear"):
    """One spectral first axis; the second axis is a plain linear axis without a type."""
    scale = UNIT_SCALE.get(unit, 1.0)
    s_ref = reference_value(t, scale)
    # About ±1.5 % of the reference across the grid (velocities: ±1.5 % of c).
    span = abs(s_ref) if t not in ("VRAD", "VOPT", "VELO", "BETA", "ZOPT") else \
        {"BETA": 0.01, "ZOPT": 0.01}.get(t, 0.01 * C)
    cdelt = 1.5e-5 * span
    ours = {"CTYPE1": t if form == "linear" else f"{t}-{code}", "CRPIX1": NPIX / 2 + 0.5,
            "CRVAL1": s_ref, "CDELT1": cdelt, "CRPIX2": 1.0, "CRVAL2": 0.0, "CDELT2": 1.0,
            "PC1_1": 1.0, "PC2_2": 1.0, "RESTWAV1": L0, "RESTWAV": L0}
    if unit:
        ours["CUNIT1"] = unit
    peer = dict(ours)
    if unit == "ms-1":
        peer["CUNIT1"] = "m/s"  # for wcslib "ms-1" is per millisecond
    if unit == "angstrom":
        peer["CUNIT1"] = "Angstrom"
    if form == "log":
        # log10 of the value on the axis: S = 10^(CRVAL + w). wcslib's LOG is
        # S = S_r exp(w / S_r), the same with S_r = 10^CRVAL and w scaled by S_r ln 10.
        ours["CRVAL1"] = math.log10(s_ref)
        ours["CDELT1"] = cdelt / s_ref / math.log(10)
        peer["CRVAL1"] = 10.0 ** ours["CRVAL1"]
        peer["CDELT1"] = ours["CDELT1"] * math.log(10) * peer["CRVAL1"]
    elif form == "nonlinear":
        # The axis type says what the value is; the code's second letter is not used. For
        # wcslib it must be the basic quantity of the type; X2X is a linear axis.
        peer_code = code[0] + "2" + BASIC[t]
        peer["CTYPE1"] = t if code[0] == BASIC[t] else f"{t}-{peer_code}"
    path = write(name, ours)
    peer_path = write(name + "-wcslib", peer)
    xy = [(float(x), 1.0) for x in np.linspace(1, NPIX, 41)]
    rows, why = vantorel(path, xy)
    if rows is None:
        return fail(name, why)
    w = WCS(fits.getheader(peer_path))
    peer_values = w.wcs_pix2world(np.array(xy), 1)[:, 0]
    wcs_unit = str(w.wcs.cunit[0])
    if wcs_unit and unit:
        peer_values = peer_values * (1 * u.Unit(wcs_unit)).to(u.Unit(peer["CUNIT1"])).value
    got = np.array([r["a"] if r["kind"] is not None else np.nan for r in rows])
    kinds = {r["kind"] for r in rows}
    expect_kind = {"linear": "linear", "log": "logarithmic"}.get(form, "non-linear")
    if kinds != {expect_kind}:
        return fail(name, f"kinds {kinds}, expected {expect_kind}")
    size = np.maximum(np.abs(peer_values), abs(cdelt) * NPIX)
    peer_diff = np.max(np.abs(got - peer_values) / size)
    via_air = form == "nonlinear" and ((BASIC[t] == "A") != (code[0] == "A"))
    if via_air:
        # Air to vacuum here is λa · n(λa); wcslib iterates to λ with n(λ). The index at λa
        # and at λ differ by about 3e-9 in the visible, so wcslib cannot be the oracle to
        # 1e-9: the formula is, computed independently, and wcslib's difference is bounded.
        ws = (np.array([p[0] for p in xy]) - ours["CRPIX1"]) * cdelt
        expect = model(t, code, s_ref, ws, scale, L0)
        own_diff = np.max(np.abs(got - expect) / size)
        if own_diff > 1e-9:
            return fail(name, f"differs from the Edlén formula by {own_diff:.3g} (relative)")
        # Measured on the wavelength: a velocity or redshift relative to c or to 1.
        unit_of_shift = {"VRAD": C, "VOPT": C, "VELO": C, "ZOPT": 1.0, "BETA": 1.0}
        if t in unit_of_shift:
            peer_diff = np.max(np.abs(got - peer_values) /
                               np.maximum(np.abs(peer_values), unit_of_shift[t]))
        if peer_diff > 5e-9:
            return fail(name, f"differs from wcslib by {peer_diff:.3g} (relative)")
        print(f"ok {name}: Edlén formula to {own_diff:.2g}, wcslib's air index differs by "
              f"{peer_diff:.2g} (relative)")
        return peer_diff
    if peer_diff > 1e-9:
        return fail(name, f"differs from wcslib by {peer_diff:.3g} (relative)")
    print(f"ok {name}: wcslib to {peer_diff:.2g} (relative)")


def spectral():
    for t, codes in ACCEPTED.items():
        unit = {"WAVE": "nm", "AWAV": "Angstrom"}.get(t, SI_UNIT[t])
        for code in codes:
            spectral_case(f"{t}-{code}", t, code, unit)
    # Every unit each type accepts.
    for unit in UNIT_SCALE:
        spectral_case(f"WAVE-F2W-{unit}", "WAVE", "F2W", unit)
        spectral_case(f"AWAV-W2A-{unit}", "AWAV", "W2A", unit)
    for t, code in (("VRAD", "W2F"), ("VOPT", "F2W"), ("VELO", "F2V")):
        spectral_case(f"{t}-{code}-ms-1", t, code, "ms-1")
    # Linear and logarithmic forms.
    for t in SI_UNIT:
        spectral_case(f"{t}-linear", t, "", SI_UNIT[t], form="linear")
    for t, unit in (("FREQ", "Hz"), ("WAVE", "nm"), ("ENER", "J"), ("WAVN", "m-1"),
                    ("AWAV", "Angstrom")):
        spectral_case(f"{t}-LOG", t, "LOG", unit, form="log")


def command_line():
    """The plain text form (sexagesimal beside astropy's), positions given as arguments,
    and the refusals."""
    from astropy.coordinates import Angle
    cards = {"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRPIX1": 4.5, "CRPIX2": 4.5,
             "CRVAL1": 359.99999, "CRVAL2": -0.0000001, "CD1_1": -1e-4, "CD2_2": 1e-4,
             "CD1_2": 0.0, "CD2_1": 0.0}
    path = write("text", cards)
    xy = [(4.5, 4.5), (1.0, 1.0), (2000.0, 3.25), (-7.0, 1500.5)]
    args = [CLI, "wcs", str(path)] + [repr(v) for p in xy for v in p]
    run = subprocess.run(args, capture_output=True, text=True, env=ENV)
    lines = run.stdout.splitlines()
    world = WCS(fits.getheader(path)).wcs_pix2world(np.array(xy), 1)
    if run.returncode != 0 or len(lines) != len(xy):
        return fail("text", f"exit {run.returncode}, {len(lines)} lines: {run.stderr}")
    for line, (ra, dec) in zip(lines, world):
        f = line.split()
        hms = Angle(ra, u.deg).to_string(unit=u.hourangle, sep=":", precision=3, pad=True)
        dms = Angle(dec, u.deg).to_string(unit=u.deg, sep=":", precision=2, pad=True,
                                          alwayssign=True)
        if f[2] != "celestial" or f[5] != hms or f[6] != dms:
            return fail("text", f"'{line}', expected {hms} {dms}")
        if abs((float(f[3]) - ra + 180) % 360 - 180) > 1e-9 or abs(float(f[4]) - dec) > 1e-9:
            return fail("text", f"'{line}' against {ra} {dec}")
    bare = write("bare", {})
    run = subprocess.run([CLI, "wcs", str(bare), "1", "1"], capture_output=True, text=True,
                         env=ENV)
    if run.returncode != 1 or "no usable world coordinates" not in run.stderr or run.stdout:
        return fail("text", f"a file without coordinates: exit {run.returncode} {run.stderr}")
    run = subprocess.run([CLI, "wcs", str(path), "1"], capture_output=True, text=True, env=ENV)
    if run.returncode != 2:
        return fail("text", f"an odd number of positions: exit {run.returncode}")
    print("ok text: sexagesimal as astropy writes it; refusals")


if MODE == "celestial":
    command_line()
    celestial_cases()
    if SAMPLE:
        celestial_sample()
else:
    spectral()
shutil.rmtree(WORK, ignore_errors=True)
print(f"{'FAILED' if failures else 'passed'}: {len(failures)} failed")
sys.exit(1 if failures else 0)
