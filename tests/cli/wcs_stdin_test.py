#!/usr/bin/python3
"""vantorel-cli wcs reading "X Y" pairs from standard input, checked against independent
computations of every text it prints.

Reading: the C library's own fscanf("%lf %lf") (called through ctypes on the same bytes,
opened with fmemopen) says which pairs the input holds, their exact doubles, and at which
pair it stops; the tool must print those pairs and nothing else, and fail at that pair
with "pair N is not X Y". The input mixes many spellings of numbers (exponents, hex, a
leading '+', 'inf', 'nan', thousands of digits) and separators (tabs, CR LF, form feeds,
a run of spaces longer than the tool's read buffer), and is several megabytes long.

Numbers: every x, y, a and d is the first of Python's '%.15g', '%.16g', '%.17g' that
reads back as the same double (the texts printf writes; 'nan' with its sign as glibc
writes it), and has as few significant digits as Python's repr() except for subnormals
and powers of two, where those three precisions cannot give repr's digits. The inputs
include negative zero, subnormals, the largest double, every power of two, 0.1 + 0.2,
integers, values around the switches between fixed and exponent notation, and random
bit patterns.

Angles: the sexagesimal right ascension and declination, and the information bar's text
in the JSON form, equal exact rational rounding (fractions.Fraction) of the printed a and
d, half away from zero at the last digit shown, right ascension wrapped at 24 hours. The
image's field crosses right ascension 0 and declination 0, so the wrap and the signs come
up. a and d agree with astropy.wcs (wcs_pix2world, origin 1) to 1e-9 degrees.

Other images: galactic axes (degrees in the bar's text, no sexagesimal fields) and a
frequency axis beside an axis without a type ('-' or null for the second value).

Also: positions given as arguments print the same lines; a refused standard output and
an unreadable standard input end with the reason and exit 1; JSON strings escape quotes,
backslashes and control characters (the file name of info --json). Exits 77 when numpy or
astropy is missing.
"""
import ctypes
import json
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
from fractions import Fraction
from pathlib import Path

try:
    import numpy as np
    from astropy.io import fits
    from astropy.wcs import WCS
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

CLI = os.path.realpath(sys.argv[1])
WORK = Path(tempfile.mkdtemp(prefix="vantorel-wcs-stdin-"))
ENV = dict(os.environ, VANTOREL_CONFIG_HOME=str(WORK / "config"))
failures = []


def fail(text):
    failures.append(text)
    print("FAIL:", text[:2000])


def run(args, data=b"", stdout=subprocess.PIPE):
    return subprocess.run([CLI, *args], input=data, stdout=stdout, stderr=subprocess.PIPE,
                          env=ENV, timeout=600)


def write_image(name, cards, shape=(16, 16)):
    hdu = fits.PrimaryHDU(np.zeros(shape, np.int16))
    for key, value in cards.items():
        hdu.header[key] = value
    path = WORK / name
    hdu.writeto(path)
    return path


# ------------------------------------------------------------------ oracles

LIBC = ctypes.CDLL(None, use_errno=True)
LIBC.fmemopen.restype = ctypes.c_void_p
LIBC.fmemopen.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p]
LIBC.fclose.argtypes = [ctypes.c_void_p]


def scanf_pairs(data):
    """The pairs fscanf("%lf %lf") reads from data, and the 1-based pair at which it
    stopped on something else (None when the input ended)."""
    if not data:
        return [], None
    buf = ctypes.create_string_buffer(data, len(data))
    stream = LIBC.fmemopen(buf, len(data), b"r")
    x, y = ctypes.c_double(), ctypes.c_double()
    pairs = []
    try:
        while True:
            n = LIBC.fscanf(ctypes.c_void_p(stream), b"%lf %lf", ctypes.byref(x), ctypes.byref(y))
            if n == -1:
                return pairs, None
            if n != 2:
                return pairs, len(pairs) + 1
            pairs.append((x.value, y.value))
    finally:
        LIBC.fclose(stream)


def printf_text(v):
    """What "%.15g", "%.16g" or "%.17g" gives first that reads back as v."""
    if math.isnan(v):
        return "-nan" if math.copysign(1.0, v) < 0 else "nan"
    for p in (15, 16, 17):
        s = "%.*g" % (p, v)
        if float(s) == v:
            return s
    return s


def significant(text):
    mantissa = text.lstrip("-").split("e")[0].replace(".", "").lstrip("0").rstrip("0")
    return mantissa or "0"


def is_power_of_two_or_subnormal(v):
    bits = struct.unpack("<Q", struct.pack("<d", v))[0]
    return (bits >> 52) & 0x7FF == 0 or bits & ((1 << 52) - 1) == 0


def check_number(text, v, what):
    """text must be the printf text of v, and as short as repr's unless v is one of the
    values where the three precisions cannot be."""
    want = printf_text(v)
    if text != want:
        return f"{what} {v!r} printed as {text}, expected {want}"
    if math.isfinite(v) and not is_power_of_two_or_subnormal(v) and \
            len(significant(text)) != len(significant(repr(v))):
        return f"{what} {text} is not as short as repr's {v!r}"
    return None


def split_rounded(value, decimals, wrap_hours=False):
    """value (hours or degrees) in units, minutes, seconds and a decimal fraction of a
    second, rounded exactly, half away from zero, at the given decimal."""
    scale = 10 ** decimals
    exact = abs(Fraction(value)) * 3600 * scale
    total = int(exact + Fraction(1, 2))  # floor(x + 1/2) of a non-negative x
    if wrap_hours:
        if value < 0:
            total = -int(-Fraction(value) * 3600 * scale + Fraction(1, 2))
        total %= 24 * 3600 * scale
    fraction, seconds = total % scale, total // scale
    return seconds // 3600, seconds // 60 % 60, seconds % 60, fraction


def hms(a_degrees, decimals, seps=(":", ":", ".", "")):
    h, m, s, f = split_rounded(Fraction(a_degrees) / 15, decimals, wrap_hours=True)
    return f"{h:02d}{seps[0]}{m:02d}{seps[1]}{s:02d}{seps[2]}{f:0{decimals}d}{seps[3]}"


def dms(d_degrees, decimals, seps=(":", ":", ".", "")):
    g, m, s, f = split_rounded(d_degrees, decimals)
    sign = "-" if d_degrees < 0 else "+"
    return f"{sign}{g:02d}{seps[0]}{m:02d}{seps[1]}{s:02d}{seps[2]}{f:0{decimals}d}{seps[3]}"


BAR_HOURS = ("h", "m", "s.", "")
BAR_DEGREES = ("ﾟ", "'", '".', "")


def bar_text_ra(a, d):
    return f"赤道座標 赤経:{hms(a, 1, BAR_HOURS)} 赤緯:{dms(d, 1, BAR_DEGREES)}"


# ------------------------------------------------------------------ the input

def number_values(rng):
    """Doubles the texts must get right."""
    values = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
              1e-310, 1.7976931348623157e308, -1.7976931348623157e308, 0.1 + 0.2, 0.1, 1 / 3,
              1.0, -1.0, 2.0, 1024.0, 123456789.0, 2.0 ** 53, 2.0 ** 53 + 2, 1e15, 1e15 + 1,
              1e16, 1e17, 123456789012345.6, 1234567890123456.7, 12345678901234567.0,
              1e-4, 1e-5, 9.99999999999999e-5, 0.0001234567890123456, 99999999999999.98,
              999999999999999.9, 1e21, 1e22, 1e-300, 1e300, 83.8221, -5.3911]
    values += [math.ldexp(1.0, e) for e in range(-1074, 1024)]
    values += [math.ldexp(1.0, e) * s for e in range(-1022, 1024, 37) for s in (-1, 1)]
    values += [float(i) for i in range(-50, 2100, 7)]
    values += [math.nextafter(v, math.inf) for v in (0.0, 1.0, 1e15, 1e16, 1e-5, 0.1)]
    while len(values) < 12000:
        v = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if math.isfinite(v):
            values.append(v)
    return values


def spell(v, rng):
    """One of the texts scanf reads as v (or, for some spellings, as a rounding of v)."""
    kind = rng.randrange(10)
    if kind == 0:
        return "%.17g" % v
    if kind == 1:
        return "%.25e" % v
    if kind == 2:
        return v.hex()
    if kind == 3 and v >= 0:
        return "+" + repr(v)
    if kind == 4:
        return ("%.17G" % v)
    if kind == 5 and 0 < abs(v) < 1e6:
        return ("%.30f" % v).rstrip("0")  # "5." or ".5" forms through the next kind
    if kind == 6 and 0 < v < 1:
        return repr(v)[1:] if repr(v).startswith("0.") else repr(v)
    return repr(v)


SEPARATORS = [" ", " ", " ", "\n", "\t", "  ", "\r\n", " \n ", "\v", "\f", "\n\n\t "]


def pair_input(rng):
    """A few megabytes of pairs: positions over the field, then the awkward values as x
    and y beside field positions, in many spellings and separators."""
    tokens = []
    for _ in range(40000):
        tokens.append(repr(rng.uniform(-1500.0, 1800.0)))
    for v in number_values(rng):
        tokens.append(spell(v, rng))
        tokens.append(repr(rng.uniform(1.0, 100.0)))
    tokens[1000:1000] = ["inf", "1", "-Infinity", "2", "nan", "3", "-nan", "4", "1e400", "5",
                         "2", "-1e-400", "0x1p3", "7", "1.5.25", "1e5.5", "4e", "6"]
    tokens.insert(3000, "0." + "0" * 4000 + "12345")
    tokens.insert(3001, "1" * 3000)
    text = []
    for i, t in enumerate(tokens):
        text.append(t)
        text.append(" " * 1_500_000 if i == 20001 else rng.choice(SEPARATORS))
    return "".join(text).encode()


# ------------------------------------------------------------------ checks

def check_lines(path, data, json_form, world, kinds=("celestial",), sexagesimal=True,
                text_of=None):
    pairs, stop = scanf_pairs(data)
    r = run(["wcs"] + (["--json"] if json_form else []) + [str(path), "-"], data)
    form = "--json" if json_form else "plain"
    lines = r.stdout.decode().splitlines()
    want_exit = 1 if stop else 0
    want_err = f"vantorel-cli: standard input: pair {stop} is not X Y\n" if stop else ""
    if r.returncode != want_exit or r.stderr.decode() != want_err:
        return fail(f"{path.name} {form}: exit {r.returncode}, '{r.stderr.decode()}'; expected "
                    f"{want_exit}, '{want_err}'")
    if len(lines) != len(pairs):
        return fail(f"{path.name} {form}: {len(lines)} lines for {len(pairs)} pairs")
    if not pairs:
        return len(lines)
    near = [abs(x) < 1e4 and abs(y) < 1e4 for x, y in pairs]  # (False for NaN)
    peer = world.wcs_pix2world(np.array([p if n else (1.0, 1.0) for p, n in zip(pairs, near)]), 1)
    for (x, y), line, (pa, pd), close in zip(pairs, lines, peer, near):
        if json_form:
            if '"kind":null' in line:
                def json_text(v):  # JSON has no text for inf and NaN
                    return printf_text(v) if math.isfinite(v) else "null"
                want = f'{{"x":{json_text(x)},"y":{json_text(y)},"kind":null}}'
                if line != want:
                    return fail(f"{path.name}: '{line}', expected '{want}'")
                continue
            row = json.loads(line)
            fields = [line.split('"x":')[1].split(",")[0], line.split('"y":')[1].split(",")[0],
                      row["kind"]]
            values = [row["a"], row["d"]]
            texts = [line.split('"a":')[1].split(",")[0], line.split('"d":')[1].split(",")[0]]
            angles = [row.get("ra"), row.get("dec")]
        else:
            f = line.split(" ")
            fields = f[:3]
            if f[2] == "none":
                if len(f) != 3:
                    return fail(f"{path.name}: '{line}'")
                fields.append(None)
            texts = f[3:5]
            values = [None if t == "-" else float(t) for t in texts]
            angles = f[5:7] or [None, None]
        for text, v, what in ((fields[0], x, "x"), (fields[1], y, "y")):
            why = check_number(text, v, what)
            if why:
                return fail(f"{path.name} {form}: {why} in '{line}'")
        if fields[2] in ("none", None):
            if close and math.isfinite(pa):
                return fail(f"{path.name}: no value at ({x}, {y}); wcslib gives {pa}, {pd}")
            continue
        if fields[2] not in kinds:
            return fail(f"{path.name}: kind {fields[2]} in '{line}'")
        for text, v in zip(texts, values):
            if v is not None and text != printf_text(v):
                return fail(f"{path.name}: value {text} is not printed as {printf_text(v)}")
        a, d = values
        # Degrees to 1e-9 (longitudes modulo 360), a spectral value to 1e-12 of itself.
        if close and fields[2] == "celestial":
            if abs((a - pa + 180) % 360 - 180) > 1e-9 or abs(d - pd) > 1e-9:
                return fail(f"{path.name}: ({a}, {d}) at ({x}, {y}); wcslib gives ({pa}, {pd})")
        elif close and (abs(a - pa) > 1e-12 * abs(pa) or d is not None):
            return fail(f"{path.name}: ({a}, {d}) at ({x}, {y}); wcslib gives {pa}")
        want_angles = [hms(a, 3), dms(d, 2)] if sexagesimal else [None, None]
        if angles != want_angles:
            return fail(f"{path.name} {form}: angles {angles} of {a!r} {d!r}, expected "
                        f"{want_angles}")
        if json_form and text_of and row["text"] != text_of(a, d):
            return fail(f"{path.name}: text '{row['text']}', expected '{text_of(a, d)}'")
    return len(lines)


def main():
    rng = random.Random(20240611)
    tan = write_image("tan.fits", {
        "CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRPIX1": 150.5, "CRPIX2": 100.5,
        "CRVAL1": 0.05, "CRVAL2": 0.02, "CD1_1": -1.2e-3, "CD1_2": 2.0e-4, "CD2_1": 1.5e-4,
        "CD2_2": 1.2e-3})
    data = pair_input(rng)
    world = WCS(fits.getheader(tan))
    for json_form in (False, True):
        n = check_lines(tan, data, json_form, world, text_of=bar_text_ra)
        if n:
            print(f"ok tan {'--json' if json_form else 'plain'}: {n} lines, {len(data)} bytes")

    glon = write_image("glon.fits", {
        "CTYPE1": "GLON-ARC", "CTYPE2": "GLAT-ARC", "CRPIX1": 8.5, "CRPIX2": 8.5,
        "CRVAL1": 359.9, "CRVAL2": -0.05, "CDELT1": -0.01, "CDELT2": 0.01, "PC1_1": 1.0,
        "PC2_2": 1.0})
    small = "\n".join(f"{rng.uniform(-100, 120)!r} {rng.uniform(-100, 120)!r}"
                      for _ in range(3000)).encode()
    n = check_lines(glon, small, True, WCS(fits.getheader(glon)), sexagesimal=False,
                    text_of=lambda a, d: "銀河座標 銀経:%11.4f[degree]  銀緯:%+11.4f[degree]" % (a, d))
    if n:
        print(f"ok galactic --json: {n} lines")
    freq = write_image("freq.fits", {
        "CTYPE1": "FREQ", "CUNIT1": "Hz", "CRPIX1": 1.0, "CRVAL1": 1.4e9, "CDELT1": 1e6,
        "CDELT2": 1.0, "PC1_1": 1.0, "PC2_2": 1.0})
    for json_form in (False, True):
        n = check_lines(freq, small, json_form, WCS(fits.getheader(freq)), kinds=("linear",),
                        sexagesimal=False, text_of=lambda a, d: "周波数:%11.4f[Hz]" % a)
        if n:
            print(f"ok frequency {'--json' if json_form else 'plain'}: {n} lines")

    malformed(tan, rng)
    arguments_and_failures(tan, data)
    json_escapes()


def malformed(tan, rng):
    """Where the input goes wrong, the tool stops where the C library's fscanf stops."""
    cases = ["1 2 3", "1 2x 3 4", "abc", "1 -", "0x 1", "0x-1 2", "1 2 - 3", "", " \n\t\v\f\r ",
             "1.2.3 4e+-5 6", "nan(1) 2", "infin 1", "1 2\0 3 4", "+ 1", ". 1", "-.e1 2",
             "1e 2 3e+", "0xp3 1", "1,5 2", "1 2\n3", "4e\n5E+\n-.5 .5e-1", "INFINITY -inf",
             "0X1P-3 0x.8p1 0x1.", "1" * 70000 + " 2", "1 " + "1" * 70000]
    alphabet = "0123456789.eE+-xXpPnNaAiIfFtTyY \t\n"
    for _ in range(40):
        cases.append("".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 80))))
    bad = 0
    for case in cases:
        data = case.encode()
        pairs, stop = scanf_pairs(data)
        if len(case) > 65536:
            pairs, stop = [], 1  # a number of more than 65536 characters is refused
        r = run(["wcs", str(tan), "-"], data)
        lines = r.stdout.decode().splitlines()
        err = f"vantorel-cli: standard input: pair {stop} is not X Y\n" if stop else ""
        got = [tuple(line.split(" ")[:2]) for line in lines]
        want = [(printf_text(x), printf_text(y)) for x, y in pairs]
        if r.returncode != (1 if stop else 0) or r.stderr.decode() != err or got != want:
            bad += 1
            fail(f"malformed {case[:60]!r}: exit {r.returncode} '{r.stderr.decode()}' {got[:4]}; "
                 f"expected '{err}' {want[:4]}")
    if not bad:
        print(f"ok malformed: {len(cases)} inputs stop where fscanf stops")


def arguments_and_failures(tan, data):
    args = ["1", "2", "-0", "5e-324", "1e+16", "0.30000000000000004", "1500.25", "-7"]
    r = run(["wcs", str(tan), *args])
    s = run(["wcs", str(tan), "-"], " ".join(args).encode())
    if r.returncode or r.stdout != s.stdout or len(r.stdout.splitlines()) != 4:
        fail(f"arguments give '{r.stdout}', standard input '{s.stdout}'")
    else:
        print("ok arguments: the same lines as standard input")
    with open("/dev/full", "wb") as full:
        r = run(["wcs", str(tan), "-"], data, stdout=full)
    if r.returncode != 1 or r.stderr != b"vantorel-cli: standard output: No space left on device\n":
        fail(f"a full standard output: exit {r.returncode}, '{r.stderr}'")
    else:
        print("ok full standard output: refused with the reason")
    fd = os.open(WORK, os.O_RDONLY | os.O_DIRECTORY)
    try:
        r = subprocess.run([CLI, "wcs", str(tan), "-"], stdin=fd, capture_output=True, env=ENV,
                           timeout=60)
    finally:
        os.close(fd)
    if r.returncode != 1 or r.stderr != b"vantorel-cli: standard input: Is a directory\n":
        fail(f"a folder as standard input: exit {r.returncode}, '{r.stderr}'")
    else:
        print("ok unreadable standard input: refused with the reason")


def json_escapes():
    # Each character that needs an escape after 0 to 16 plain ones, so that it falls at
    # every place of an 8-byte word.
    specials = '"\\\t\n\r\x01\x1f\x7f'
    name = "".join("名" * (k % 3) + "x" * k + specials[k % len(specials)] for k in range(17))
    name += ".fits"
    path = write_image(name, {})
    r = run(["info", "--json", str(path)])
    try:
        got = json.loads(r.stdout.decode().splitlines()[0])["file"]
    except (ValueError, IndexError, KeyError) as e:
        return fail(f"info --json of '{name}': {e}: {r.stdout!r} {r.stderr!r}")
    if got != str(path):
        return fail(f"info --json gives the file {got!r}, expected {str(path)!r}")
    print("ok JSON strings: quotes, backslashes and control characters escaped")


main()
print(f"{'FAILED' if failures else 'passed'}: {len(failures)} failed")
sys.exit(1 if failures else 0)
