#!/usr/bin/python3
"""Header keywords that the composition does not place, through vantorel-cli.

A camera frame carries FILTER, GAIN, IMAGETYP, CCD-TEMP, AIRMASS, XBINNING, HISTORY
cards and a long string over CONTINUE cards, beside cards that are not valid FITS (a value
that does not parse, a keyword with a blank in it, a lower-case keyword), keywords that
describe data the save rewrites (CHECKSUM, DATAMIN, a third axis's CTYPE3) and a second
FILTER card. With --keep-cards (or the setting KeepCards of section IO):
- astropy reads every valid unplaced keyword with its value, and ccdproc's
  ImageFileCollection finds the frame by FILTER, GAIN and IMAGETYP;
- those cards stand live, in their order, after the placed groups and before the
  parameter block; the others are commented out under the banner;
- fitsverify passes the file;
- saving the saved file again gives the same cards (only DATE and the banner's time
  differ), and `header --keep-cards` prints those cards;
- every command that saves takes the flag (crop and calibrate are tried).
Without it (and with --no-keep-cards over the setting) the unplaced keywords are
commented out as before: no live FILTER, "COMMENT FILTER  = 'R'" under the banner.

Exit 77 when numpy, astropy or ccdproc is missing."""
import os
import shutil
import subprocess
import sys
import tempfile
import warnings

try:
    import numpy as np
    from astropy.io import fits
    from astropy.utils.exceptions import AstropyWarning
    from ccdproc import ImageFileCollection
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

warnings.simplefilter("ignore", AstropyWarning)
cli = os.path.abspath(sys.argv[1])
work = tempfile.mkdtemp()
os.chdir(work)
os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
failures = 0


def fail(what):
    global failures
    print("FAIL:", what)
    failures += 1


def run(args, expect=0):
    p = subprocess.run([cli] + args, capture_output=True, text=True)
    if p.returncode != expect:
        fail(f"{args}: exit {p.returncode}, expected {expect}\n{p.stderr}")
    return p


LONG_NOTE = " ".join(["Flat taken at dusk with the new filter wheel, sky gradient removed"] * 2)
KEPT = [  # (keyword, value) in the order of the source
    ("IMAGETYP", "LIGHT"),
    ("FILTER", "R"),
    ("GAIN", 1.5),
    ("CCD-TEMP", -20.25),
    ("AIRMASS", 1.2345678901234),
    ("XBINNING", 2),
    ("FOCUSING", True),
]


def card(text):
    assert len(text) <= 80, text
    return text.ljust(80)


def source(path):
    """A 16-bit frame whose header is written card by card, invalid cards included."""
    h = fits.Header()
    for key, value in KEPT:
        h[key] = value
    h["NOTE"] = LONG_NOTE
    cards = [
        card("SIMPLE  =                    T"),
        card("BITPIX  =                   16"),
        card("NAXIS   =                    2"),
        card("NAXIS1  =                   40"),
        card("NAXIS2  =                   30"),
        card("OBJECT  = 'M 42    '"),
        card("EXPTIME =                 30.0"),
    ]
    for c in h.cards:
        cards.extend(card(s) for s in [c.image[i:i + 80] for i in range(0, len(c.image), 80)])
    cards += [
        card("HISTORY dark subtracted"),
        card("GAIN2   = abc / a value that is no FITS value"),
        card("BAD KEY = 1"),
        card("lowkey  = 2"),
        card("CHECKSUM= 'hcHjjc9ghcEghc9g'"),
        card("DATAMIN =                  0.0"),
        card("CTYPE3  = 'WAVE    '"),
        card("FILTER  = 'B       '           / a second card of the keyword"),
        card("HISTORY flat fielded"),
        card("COMMENT a note of the observer"),
        card("END"),
    ]
    text = "".join(cards)
    text += " " * (-len(text) % 2880)
    data = (np.arange(40 * 30, dtype=">i2") % 1000).tobytes()
    data += b"\0" * (-len(data) % 2880)
    with open(path, "wb") as f:
        f.write(text.encode("ascii") + data)


def cards_of(path):
    with open(path, "rb") as f:
        return [c.rstrip() for c in fits.Header.fromfile(f).tostring(sep="\n").split("\n")]


def comparable(cards):
    """The cards without the two that carry the time of the save."""
    return [c for c in cards
            if not c.startswith("DATE    =") and "COMMENT OUT BY Vantorel ON" not in c]


def verify(path):
    v = subprocess.run(["fitsverify", "-q", "-e", path], capture_output=True, text=True)
    if v.returncode != 0 or "verification OK" not in v.stdout:
        fail(f"fitsverify {path}: {v.stdout}{v.stderr}")


def check_kept(path):
    header = fits.getheader(path)
    for key, value in KEPT:
        if key not in header:
            fail(f"{path}: {key} is not a live keyword")
        elif isinstance(value, float) and not np.isclose(header[key], value, rtol=1e-15):
            fail(f"{path}: {key} = {header[key]!r}, expected {value!r}")
        elif not isinstance(value, float) and header[key] != value:
            fail(f"{path}: {key} = {header[key]!r}, expected {value!r}")
    if header.get("NOTE") != LONG_NOTE:
        fail(f"{path}: NOTE over CONTINUE cards reads {header.get('NOTE')!r}")
    if list(header["HISTORY"]) != ["dark subtracted", "flat fielded"]:
        fail(f"{path}: HISTORY reads {list(header['HISTORY'])!r}")
    for key in ("GAIN2", "CHECKSUM", "DATAMIN", "CTYPE3"):
        if key in header:
            fail(f"{path}: {key} is live")
    cards = cards_of(path)
    comments = [c for c in cards if c.startswith("COMMENT ")]
    for text in ("COMMENT GAIN2   = abc", "COMMENT BAD KEY = 1", "COMMENT lowkey  = 2",
                 "COMMENT CHECKSUM=", "COMMENT FILTER  = 'B", "COMMENT CTYPE3  ="):
        if not any(c.startswith(text) for c in comments):
            fail(f"{path}: no {text!r} among the comments")
    # Kept cards in their order, after the observation group, before the parameter block.
    keys = [c[:8].rstrip() for c in cards]
    places = [keys.index(k) for k, _ in KEPT]
    block = next(i for i, c in enumerate(cards) if "PARAMETERS FOR Vantorel" in c)
    if places != sorted(places) or not keys.index("EXPTIME") < places[0] or places[-1] > block:
        fail(f"{path}: kept cards at {places}, EXPTIME at {keys.index('EXPTIME')}, "
             f"parameter block at {block}")
    verify(path)


def check_plain(path):
    header = fits.getheader(path)
    for key, _ in KEPT:
        if key in header:
            fail(f"{path}: {key} is live without --keep-cards")
    if not any(c.startswith("COMMENT FILTER  = 'R") for c in cards_of(path)):
        fail(f"{path}: FILTER not commented out")
    verify(path)


source("src.fits")
os.mkdir("kept")
run(["convert", "src.fits", "kept/a.fits", "--keep-cards"])
check_kept("kept/a.fits")

# ccdproc finds the frame by the keys a pipeline sorts frames by.
collection = ImageFileCollection("kept", keywords=["imagetyp", "filter", "gain"])
summary = collection.summary
if len(summary) != 1 or summary["imagetyp"][0] != "LIGHT" or summary["filter"][0] != "R" or \
        summary["gain"][0] != 1.5:
    fail(f"ImageFileCollection: {summary}")
if list(collection.files_filtered(imagetyp="light", filter="R")) != ["a.fits"]:
    fail(f"files_filtered: {list(collection.files_filtered(imagetyp='light', filter='R'))}")

# Saving the saved file again, twice: the same cards.
run(["convert", "kept/a.fits", "again.fits", "--keep-cards"])
run(["convert", "again.fits", "third.fits", "--keep-cards"])
first = comparable(cards_of("kept/a.fits"))
for path in ("again.fits", "third.fits"):
    if comparable(cards_of(path)) != first:
        fail(f"{path}: the cards changed on saving again:\n" +
             "\n".join(c for c in comparable(cards_of(path)) if c not in first))
printed = run(["header", "src.fits", "--keep-cards"]).stdout.rstrip("\n").split("\n")
if comparable([c.rstrip() for c in printed]) != first:
    fail("header --keep-cards does not print the cards convert --keep-cards writes")

# Other commands that save take the flag.
run(["crop", "src.fits", "crop.fits", "1,20,20,1", "--keep-cards"])
check_kept("crop.fits")
os.mkdir("cal")
shutil.copy("src.fits", "bias.fits")
run(["calibrate", "--bias", "bias.fits", "--out-dir", "cal", "--keep-cards", "src.fits"])
check_kept("cal/src.fits")

# Without the flag: commented out as before; and --no-keep-cards over the setting.
run(["convert", "src.fits", "plain.fits"])
check_plain("plain.fits")
plain = comparable(cards_of("plain.fits"))
run(["settings", "set", "IO", "KeepCards", "yes"])
run(["convert", "src.fits", "setting.fits"])
if comparable(cards_of("setting.fits")) != first:
    fail("the setting KeepCards does not keep the cards as --keep-cards does")
run(["convert", "src.fits", "refused.fits", "--no-keep-cards"])
if comparable(cards_of("refused.fits")) != plain:
    fail("--no-keep-cards over the setting does not write what a plain save writes")
# A command that saves nothing does not take the flag.
run(["info", "src.fits", "--keep-cards"], expect=2)

shutil.rmtree(work, ignore_errors=True)
if failures == 0:
    print("keep-cards: all checks passed")
sys.exit(1 if failures else 0)
