#!/usr/bin/python3
"""vantorel-cli convert of FITS files with an extension whose header cannot be parsed.

astropy writes an image, a binary table GOOD1, an ASCII table DAMAGED and a binary table
GOOD2; then one card of DAMAGED is spoilt in the bytes: its XTENSION value cut short, its
keyword misspelt, its value indicator lost, or its NAXIS2 beyond the file. The convert
must succeed with a message naming extension 2, keep the primary array and GOOD1 as
astropy reads them, and end with the bytes of DAMAGED and GOOD2 exactly as the source
held them; GOOD2 cut out of the copy must read back in astropy with its data and pass
fitsverify. The same file undamaged, and with blank or zero records after its last
extension, converts without the message and with all four units.
"""
import os
import subprocess
import sys
import tempfile
import warnings

try:
    import numpy as np
    from astropy.io import fits
except ImportError:
    sys.exit(77)

warnings.simplefilter("ignore")
CLI = os.path.realpath(sys.argv[1])
MESSAGE = "2 番目の Extension (DAMAGED) のヘッダが壊れていて"
RECORD = 2880

failures = []


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def units():
    image = np.arange(120, dtype=np.int16).reshape(10, 12)
    good1 = np.arange(5, dtype=np.int32) * 7
    damaged = np.arange(4, dtype=np.int16)
    good2 = np.linspace(0.5, 2.5, 3, dtype=np.float32)
    hdus = fits.HDUList([
        fits.PrimaryHDU(image),
        fits.BinTableHDU.from_columns([fits.Column(name="A", format="J", array=good1)],
                                      name="GOOD1"),
        fits.TableHDU.from_columns([fits.Column(name="B", format="I6", array=damaged)],
                                   name="DAMAGED"),
        fits.BinTableHDU.from_columns([fits.Column(name="C", format="E", array=good2)],
                                      name="GOOD2"),
    ])
    return hdus, image, good1, good2


def starts(data):
    """Offsets of the records that begin an extension, in the file's order."""
    return [i for i in range(0, len(data), RECORD) if data[i:i + 10] == b"XTENSION= "]


def spoil(data, at, keyword, card):
    """The header starting at `at` with its card of `keyword` replaced."""
    data = bytearray(data)
    for c in range(at, at + RECORD, 80):
        if data[c:c + 8] == keyword.ljust(8).encode():
            data[c:c + 80] = card.ljust(80).encode()
            return bytes(data)
    raise AssertionError(keyword)


def convert(name, data, tmp):
    src, dst = os.path.join(tmp, name + ".fits"), os.path.join(tmp, name + "-out.fits")
    with open(src, "wb") as f:
        f.write(data)
    env = dict(os.environ, VANTOREL_CONFIG_HOME=os.path.join(tmp, "config"))
    p = subprocess.run([CLI, "convert", src, dst], capture_output=True, env=env,
                       stdin=subprocess.DEVNULL, timeout=120)
    out = open(dst, "rb").read() if os.path.exists(dst) else b""
    return p.returncode, p.stderr.decode(errors="replace"), out, dst


def main():
    hdus, image, good1, good2 = units()
    with tempfile.TemporaryDirectory() as tmp:
        clean_path = os.path.join(tmp, "source.fits")
        hdus.writeto(clean_path)
        clean = open(clean_path, "rb").read()
        damaged_at = starts(clean)[1]

        cases = {
            "cut-value": ("XTENSION", "XTENSION= 'TABL"),
            "misspelt": ("XTENSION", "XTENSXON= 'TABLE   '           / ASCII table extension"),
            "no-indicator": ("XTENSION", "XTENSION  'TABLE   '"),
            "naxis2": ("NAXIS2", "NAXIS2  =             99999999 / number of table rows"),
        }
        for name, (keyword, card) in cases.items():
            data = spoil(clean, damaged_at, keyword, card)
            rc, err, out, dst = convert(name, data, tmp)
            if rc != 0 or MESSAGE not in err:
                fail(f"{name}: exit {rc}, without the message naming extension 2: {err.strip()}")
                continue
            tail = data[damaged_at:]
            if not out.endswith(tail):
                fail(f"{name}: the copy does not end with DAMAGED and GOOD2 as the source has them")
                continue
            with fits.open(dst) as copy:
                if not np.array_equal(copy[0].data, image):
                    fail(f"{name}: the primary array differs")
                if copy[1].name != "GOOD1" or not np.array_equal(copy[1].data["A"], good1):
                    fail(f"{name}: GOOD1 differs")
            # GOOD2 as the copy holds it, behind a primary header of its own.
            good2_at = [i for i in starts(out) if b"EXTNAME = 'GOOD2" in out[i:i + RECORD]][-1]
            alone = os.path.join(tmp, name + "-good2.fits")
            with open(alone, "wb") as f:
                f.write(fits.Header([("SIMPLE", True), ("BITPIX", 8), ("NAXIS", 0),
                                     ("EXTEND", True)]).tostring().encode())
                f.write(out[good2_at:])
            with fits.open(alone) as g:
                if g[1].name != "GOOD2" or not np.allclose(g[1].data["C"], good2):
                    fail(f"{name}: GOOD2 in the copy does not read back")
            v = subprocess.run(["fitsverify", "-q", "-e", alone], capture_output=True, text=True)
            if "verification OK" not in v.stdout:
                fail(f"{name}: fitsverify refuses GOOD2 from the copy: {v.stdout.strip()}")

        # No false alarm: the sound file, also with blank or zero records after its end.
        for name, data in (("sound", clean), ("blank-after", clean + b" " * RECORD),
                           ("zeros-after", clean + b"\0" * RECORD)):
            rc, err, out, dst = convert(name, data, tmp)
            if rc != 0 or "壊れていて" in err:
                fail(f"{name}: exit {rc}, {err.strip()}")
                continue
            with fits.open(dst) as copy:
                names = [h.name for h in copy]
                if names != ["PRIMARY", "GOOD1", "DAMAGED", "GOOD2"]:
                    fail(f"{name}: units {names}")
                elif not np.allclose(copy["GOOD2"].data["C"], good2):
                    fail(f"{name}: GOOD2 differs")


main()
print(f"{0 if failures else 1} passed, {len(failures) and 1} failed")
sys.exit(1 if failures else 0)
