#!/usr/bin/python3
"""Prints, for each FITS file named, the IMAGETYP, FILTER and GAIN that ccdproc's
ImageFileCollection reads from it ("-" for a key it does not find) and "verified" when
fitsverify passes it (else what fitsverify says).

Usage: keep_cards_check.py FOLDER FILE...   Exit 77 when astropy or ccdproc is missing."""
import subprocess
import sys
import warnings

try:
    import numpy as np
    from astropy.utils.exceptions import AstropyWarning
    from ccdproc import ImageFileCollection
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

warnings.simplefilter("ignore", AstropyWarning)
folder, files = sys.argv[1], sys.argv[2:]
keys = ["imagetyp", "filter", "gain"]
summary = ImageFileCollection(folder, keywords=keys, filenames=files).summary
for name in files:
    row = summary[list(summary["file"]).index(name)]
    cells = []
    for k in keys:
        value = row[k] if k in summary.colnames else None
        cells.append("-" if value is None or np.ma.is_masked(value) else str(value))
    v = subprocess.run(["fitsverify", "-q", "-e", f"{folder}/{name}"], capture_output=True,
                       text=True)
    ok = v.returncode == 0 and "verification OK" in v.stdout
    print(name, " ".join(cells), "verified" if ok else f"fitsverify: {v.stdout}{v.stderr}")
