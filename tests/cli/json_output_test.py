#!/usr/bin/python3
"""vantorel-cli --json against the CSV (or the per-file lines) of the same commands.

phot, detect, centroid and profile run twice on the same files, with --csv and with
--json (each CSV table also read by astropy's Table.read as ascii.csv): every JSON line must parse (strict: no raw control characters, standard output
strict UTF-8), and each of its values, printed in the CSV's own format, must be the CSV's
field of the same row; there must be as many lines as rows. stack and calibrate give a
JSON line per written file whose "file" and "output" are the ones their lines on standard
error name, whose "date_obs" is the DATE-OBS that astropy reads from the written file, and
whose "inputs" and "frames" are the files given.

Beyond the eight decimals of the CSV, numbers must hold the full double: profile samples
at whole pixels equal the float32 pixels astropy reads, a rectangle's total equals the
exact sum of its pixels, means are exactly total / count.

File names carry a quote, a backslash, non-ASCII letters, a tab, a line end and a byte
that is no UTF-8; "file" must give each back (as os.fsdecode does). A file without
DATE-OBS gives null. --json with --csv is refused (exit 2) by all six commands (stack
and calibrate know no --csv); lines that standard output refuses fail the run (exit 1).
Exits 77 when numpy or astropy is missing.
"""
import json
import math
import os
import re
import subprocess
import sys
import tempfile

try:
    import numpy as np
    from astropy.io import fits
    from astropy.table import Table
except ImportError as e:
    print("skipped:", e)
    sys.exit(77)

CLI = os.path.realpath(sys.argv[1])
failures = []


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def run(*args):
    """Runs the tool with str or bytes arguments; standard output must be UTF-8."""
    r = subprocess.run([CLI, *[os.fsencode(a) for a in args]], capture_output=True, timeout=120)
    if r.returncode != 0:
        fail(f"{args} exited {r.returncode}: {r.stderr.decode(errors='replace')}")
    try:
        out = r.stdout.decode("utf-8")
    except UnicodeDecodeError as e:
        fail(f"{args}: standard output is not UTF-8: {e}")
        out = r.stdout.decode("utf-8", errors="replace")
    return out, r.stderr


def json_lines(out, where):
    if out and not out.endswith("\n"):
        fail(f"{where}: JSON output does not end with a line end")
    records = []
    for line in out.splitlines():
        try:
            record = json.loads(line)  # strict: a raw control character fails
        except ValueError as e:
            fail(f"{where}: not JSON ({e}): {line!r}")
            continue
        if not isinstance(record, dict):
            fail(f"{where}: not an object: {line!r}")
            continue
        records.append(record)
    return records


def csv_tables(out):
    """The CSV's tables: each heading line (quoted names) starts one; rows as fields.
    Each table must also be what astropy's Table.read(format="ascii.csv") reads: as many
    rows, and every numeric field the number the text holds."""
    tables, texts = [], []
    for line in out.splitlines():
        if line.startswith('"'):
            tables.append([])
            texts.append([line])
        else:
            tables[-1].append([f.strip() for f in line.split(",")])
            texts[-1].append(line)
    for rows, text in zip(tables, texts):
        table = Table.read("\n".join(text) + "\n", format="ascii.csv")
        if len(table) != len(rows) or len(table.colnames) != len(text[0].split(",")):
            fail(f"astropy reads {len(table)} rows of {len(table.colnames)} columns from "
                 f"{len(rows)} rows headed {text[0]!r}")
            continue
        for row, fields in zip(table, rows):
            for value, field in zip(row, fields):
                try:
                    number = float(field)
                except ValueError:
                    continue
                got = float(value)
                if got != number and not (math.isnan(got) and math.isnan(number)):
                    fail(f"astropy reads {value!r} where the CSV has {field!r}")
    return tables


def compare(where, records, rows, columns, beyond=()):
    """columns: (key, CSV field index, printf format); each JSON value printed in the
    CSV's format must be that field. Keys in beyond may hold a value where the CSV's
    field is empty (the caller checks them)."""
    if len(records) != len(rows):
        fail(f"{where}: {len(records)} JSON lines, {len(rows)} CSV rows")
    for n, (record, row) in enumerate(zip(records, rows)):
        for key, index, form in columns:
            value = record.get(key, "missing")
            if index >= len(row) or row[index] == "":
                if value is not None and key not in beyond:
                    fail(f"{where} row {n + 1}: {key} is {value!r}, the CSV has no value")
                continue
            text = (form % value).strip() if isinstance(value, (int, float)) else str(value)
            if text != row[index]:
                fail(f"{where} row {n + 1}: {key} {value!r} prints {text!r}, CSV {row[index]!r}")


def check_common(where, records, name, date):
    for r in records:
        if r.get("file") != os.fsdecode(name):
            fail(f"{where}: file {r.get('file')!r}, expected {os.fsdecode(name)!r}")
        if "date_obs" not in r or r["date_obs"] != date:
            fail(f"{where}: date_obs {r.get('date_obs', 'missing')!r}, expected {date!r}")


APERTURE = [("number", 0, "%4d"), ("x", 1, "%7.2f"), ("y", 2, "%7.2f"), ("radius", 3, "%7.2f"),
            ("star_pixels", 4, "%6d"), ("star_total", 5, "%20.8f"), ("star_mean", 6, "%20.8f"),
            ("star_sd", 7, "%20.8f"), ("sky_x", 8, "%7.2f"), ("sky_y", 9, "%7.2f"),
            ("sky_inner", 10, "%7.2f"), ("sky_width", 11, "%7.2f"), ("sky_pixels", 12, "%6d"),
            ("sky_total", 13, "%20.8f"), ("sky_mean", 14, "%20.8f"), ("sky_sd", 15, "%20.8f"),
            ("result", 16, "%20.8f"), ("method", 17, "%s")]
RECTANGLE = [("number", 0, "%4d"), ("left", 1, "%4d"), ("top", 2, "%4d"), ("right", 3, "%4d"),
             ("bottom", 4, "%4d"), ("pixels", 5, "%8d"), ("total", 6, "%20.8f"),
             ("mean", 7, "%20.8f"), ("min", 8, "%20.8f"), ("max", 9, "%20.8f")]
POSITION = [("number", 0, "%4d"), ("x", 1, "%7.2f"), ("y", 2, "%7.2f"), ("method", 3, "%s"),
            ("left", 4, "%4d"), ("top", 5, "%4d"), ("right", 6, "%4d"), ("bottom", 7, "%4d"),
            ("center_x", 8, "%4d"), ("center_y", 9, "%4d"), ("radius", 10, "%4d")]
PROFILE = [("x", 0, "%6.1f"), ("y", 1, "%6.1f"), ("value", 2, "%20.8f")]


def star_field(h, w):
    """Two stars on a sky, divided by 3 so that no value has a short decimal form."""
    y, x = np.mgrid[0:h, 0:w]
    d = (100 + 900 * np.exp(-((x - 20) ** 2 + (y - 30) ** 2) / 8.0)
         + 600 * np.exp(-((x - 45) ** 2 + (y - 12) ** 2) / 6.0))
    return (d / 3).astype(np.float32)


def measurements(name, date, data):
    """phot, detect, centroid and profile on one file."""
    tag = os.fsdecode(name)
    # phot: two stars (semi-automatic and automatic) and two rectangles.
    for method in ("semi", "auto"):
        args = [name, "--method", method, "--at", "21,31", "--at", "46,13",
                "--rect", "3,3,10,12", "--rect", "30,40,60,44"]
        csv, _ = run("phot", *args, "--csv")
        out, _ = run("phot", *args, "--json")
        records = json_lines(out, f"phot {method} {tag}")
        check_common(f"phot {tag}", records, name, date)
        tables = csv_tables(csv)
        stars = [r for r in records if r.get("kind") == "aperture"]
        rects = [r for r in records if r.get("kind") == "rectangle"]
        if len(stars) + len(rects) != len(records) or len(tables) != 2:
            fail(f"phot {method} {tag}: kinds {[r.get('kind') for r in records]}, "
                 f"{len(tables)} CSV tables")
            continue
        compare(f"phot {method} stars {tag}", stars, tables[0], APERTURE)
        compare(f"phot {method} rectangles {tag}", rects, tables[1], RECTANGLE)
        for s in stars:
            for part in ("star", "sky"):
                if s[f"{part}_mean"] != s[f"{part}_total"] / s[f"{part}_pixels"]:
                    fail(f"phot {tag}: {part}_mean {s[f'{part}_mean']!r} is not total / count")
        for r in rects:
            # Bounds are FITS pixels (rows counted from the bottom, as the data's).
            top, bottom = sorted((r["top"], r["bottom"]))
            block = data[top - 1:bottom, r["left"] - 1:r["right"]].astype(np.float64)
            exact = math.fsum(block.ravel())
            if (r["pixels"] != block.size or r["total"] != exact
                    or r["min"] != block.min() or r["max"] != block.max()
                    or r["mean"] != r["total"] / r["pixels"]):
                fail(f"phot {tag}: rectangle {r} against the pixels: {block.size} pixels, "
                     f"total {exact!r}, min {block.min()!r}, max {block.max()!r}")

    for command, args, rows in (("detect", [], None),
                                ("detect", ["--rect", "10,20,30,40", "--factor", "1.5"], None),
                                ("centroid", ["--at", "21,31", "--at", "46,13"], None),
                                ("centroid", ["--at", "20,30", "--radius", "4"], None)):
        csv, _ = run(command, name, *args, "--csv")
        out, _ = run(command, name, *args, "--json")
        records = json_lines(out, f"{command} {tag}")
        check_common(f"{command} {tag}", records, name, date)
        rows = csv_tables(csv)[0]
        if not rows:
            fail(f"{command} {args} {tag}: nothing found, the check would be empty")
        compare(f"{command} {args} {tag}", records, rows, POSITION,
                beyond=("left", "top", "right", "bottom"))
        # A centroid's area, which its CSV row gives as centre and half size only.
        for r in records:
            if r.get("method") != "CENTROID":
                continue
            cx, cy, half = r["center_x"], r["center_y"], r["radius"]
            if (r["left"], r["right"]) != (cx - half, cx + half) or \
                    sorted((r["top"], r["bottom"])) != [cy - half, cy + half]:
                fail(f"{command} {tag}: centroid area {r} is not its centre and half size")

    h, w = data.shape
    for line in (["3,10", "20,10"], ["2,2", f"{w - 3},{h - 5}", "--width", "3"],
                 ["40,5", "40,40", "--width", "2"]):
        csv, _ = run("profile", name, *line, "--csv")
        out, _ = run("profile", name, *line, "--json")
        records = json_lines(out, f"profile {line} {tag}")
        check_common(f"profile {tag}", records, name, date)
        compare(f"profile {line} {tag}", records, csv_tables(csv)[0], PROFILE)
        if [r.get("index") for r in records] != list(range(len(records))):
            fail(f"profile {line} {tag}: indices are not 0, 1, ...")
        # A one-pixel line at whole pixels gives the pixel itself, to the last bit.
        if "--width" not in line:
            for r in records:
                if r["x"] == int(r["x"]) and r["y"] == int(r["y"]):
                    pixel = float(data[int(r["y"]) - 1, int(r["x"]) - 1])
                    if r["value"] != pixel:
                        fail(f"profile {tag}: value {r['value']!r} at {r['x']},{r['y']} "
                             f"is not the pixel {pixel!r}")


def batch_lines(err, command):
    """(index, total, file, saved) of the per-file lines on standard error."""
    pattern = re.compile(rb"^" + command.encode() + rb": \[(\d+)/(\d+)\] (.*?)(?: -> (.*?))?$",
                         re.M | re.S)
    return [(int(m[1]), int(m[2]), os.fsdecode(m[3]), m[4] and os.fsdecode(m[4]))
            for m in pattern.finditer(err)]


def batch(dated, nodate, date):
    # stack: one line for the one file written, dated as the frame it was laid on.
    for first in (dated, nodate):
        others = [f for f in (dated, nodate, "copy.fits") if f != first]
        files = [first, *others]
        out, err = run("stack", "--method", "average", "--json", "-o", "stacked.fits", *files)
        records = json_lines(out, "stack")
        if len(records) != 1:
            fail(f"stack: {len(records)} JSON lines for one file written")
            continue
        r = records[0]
        header = fits.getheader("stacked.fits")
        expected = {"file": os.fsdecode(first), "date_obs": header.get("DATE-OBS"),
                    "output": "stacked.fits", "inputs": [os.fsdecode(f) for f in files],
                    "frames": len(files),
                    "settings": {"method": "average", "clip": False, "align": None,
                                 "bits": None}}
        if r != expected:
            fail(f"stack: {r} != {expected}")
        if (first == dated) != (r.get("date_obs") == date):
            fail(f"stack: date_obs {r.get('date_obs')!r} with {os.fsdecode(first)!r} first")
        if [f for _, _, f, _ in batch_lines(err, "stack")] != expected["inputs"]:
            fail(f"stack: its lines name {batch_lines(err, 'stack')}")

    # calibrate: one line per file written, as its line on standard error names it.
    outdir = "out \"q\" é"
    targets = [dated, nodate, "copy.fits"]
    out, err = run("calibrate", "--json", "--bias", "bias.fits", "--flat", "flat.fits",
                   "--out-dir", outdir, "--suffix", "_c", *targets)
    records = json_lines(out, "calibrate")
    lines = batch_lines(err, "calibrate")
    if len(records) != len(targets) or len(lines) != len(targets):
        fail(f"calibrate: {len(records)} JSON lines, {len(lines)} lines on standard error, "
             f"{len(targets)} targets")
    for r, (index, total, path, saved), target in zip(records, lines, targets):
        header = fits.getheader(saved)
        expected = {"file": path, "date_obs": header.get("DATE-OBS"), "output": saved,
                    "inputs": [os.fsdecode(target), "bias.fits", "flat.fits"], "frames": 3,
                    "settings": {"bias": "bias.fits", "dark": None, "flat": "flat.fits",
                                 "flat_dark": None, "overwrite": False, "out_dir": outdir,
                                 "prefix": None, "suffix": "_c", "bits": None}}
        if r != expected or path != os.fsdecode(target) or total != len(targets):
            fail(f"calibrate: {r} != {expected} (line {index}/{total} {path!r})")
        if (target == dated) != (r.get("date_obs") == date):
            fail(f"calibrate: date_obs {r.get('date_obs')!r} of {path!r}")


def refusals(name):
    for args in (["phot", name, "--at", "21,31"], ["profile", name, "3,10", "20,10"],
                 ["detect", name], ["centroid", name, "--at", "21,31"],
                 ["stack", "--method", "add", "-o", "never.fits", name],
                 ["calibrate", "--bias", "bias.fits", "--out-dir", "never", name]):
        r = subprocess.run([CLI, *map(os.fsencode, args), b"--json", b"--csv"],
                           capture_output=True, timeout=60)
        # stack and calibrate have no CSV: --csv is unknown to them.
        named = (b"--csv",) if args[0] in ("stack", "calibrate") else (b"--json", b"--csv")
        if r.returncode != 2 or r.stdout or not all(n in r.stderr for n in named):
            fail(f"{args[0]} --json --csv: exit {r.returncode}, out {r.stdout[:80]!r}, "
                 f"err {r.stderr[:200]!r}")
    if os.path.exists("never.fits") or os.path.exists("never"):
        fail("a refused run wrote its output")

    # Lines standard output refuses (a full disk) fail the run, with the reason.
    if os.path.exists("/dev/full"):
        for args in (["phot", name, "--at", "21,31", "--json"],
                     ["profile", name, "3,10", "20,10", "--json"],
                     ["calibrate", "--json", "--bias", "bias.fits", "--out-dir", "full", name]):
            with open("/dev/full", "wb") as full:
                r = subprocess.run([CLI, *map(os.fsencode, args)], stdout=full,
                                   stderr=subprocess.PIPE, timeout=60)
            if r.returncode != 1 or b"standard output" not in r.stderr:
                fail(f"{args[0]} --json into a full disk: exit {r.returncode}, "
                     f"err {r.stderr[-200:]!r}")


def main():
    with tempfile.TemporaryDirectory() as work:
        os.chdir(work)
        os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
        data = star_field(48, 64)
        date = "2024-03-05T21:14:07.250"
        dated = 'st"ar\\field é星.fits'
        odd = b"tab\there\nline \xff\xfe.fits"  # a tab, a line end, bytes no UTF-8 has
        nodate = "nodate.fits"
        header = fits.Header()
        header["DATE-OBS"] = date
        fits.writeto(dated, data, header)
        fits.writeto(os.fsdecode(odd), data, header)
        fits.writeto(nodate, data)
        fits.writeto("copy.fits", data)
        fits.writeto("bias.fits", np.full(data.shape, 10, np.float32))
        fits.writeto("flat.fits", np.linspace(0.9, 1.1, data.size, dtype=np.float32)
                     .reshape(data.shape))

        measurements(dated, date, data)
        measurements(odd, date, data)
        measurements(nodate, None, data)
        batch(dated, nodate, date)
        refusals(dated)
    if failures:
        print(f"{len(failures)} failures")
        return 1
    print("json output: all checks passed")
    return 0


sys.exit(main())
