#!/usr/bin/python3
"""Reads the CSV files the measurement tools and the graph wrote with astropy's
Table.read(format="ascii.csv") and numpy's genfromtxt, and compares what they parse with
the values the tools hold.

Usage: csv_oracle.py EXPECTATIONS

EXPECTATIONS is UTF-8 text in blocks:
  FILE <path>
  COLUMNS <name>\t<name>...
  ROW <cell>\t<cell>...        one per data row
A cell is a number (compared within 0.0051, the rounding of two decimals, or 1e-9
relative), "=TEXT" (the field's text without blanks), or empty (a field left empty or
missing, which astropy masks). Prints each disagreement; exit status 1 when there is any,
77 when astropy or numpy is missing.
"""
import math
import sys

try:
    import numpy as np
    from astropy.table import Table
except ImportError as e:
    print("skipped: %s" % e)
    sys.exit(77)


def blocks(path):
    found = []
    block = None
    with open(path, encoding="utf-8") as f:
        for line in f.read().split("\n"):
            if line.startswith("FILE "):
                block = {"path": line[5:], "columns": [], "rows": []}
                found.append(block)
            elif line.startswith("COLUMNS "):
                block["columns"] = line[8:].split("\t")
            elif line.startswith("ROW "):
                block["rows"].append(line[4:].split("\t"))
    return found


def empty(value):
    return np.ma.is_masked(value) or str(value).strip() == ""


def check(block, problems):
    path = block["path"]
    # The decoding itself is the first thing checked: a file in another encoding than
    # UTF-8 makes astropy raise here.
    try:
        table = Table.read(path, format="ascii.csv")
    except Exception as e:  # noqa: BLE001 - every failure to read is a finding
        problems.append("%s: astropy cannot read it: %s" % (path, e))
        return
    if table.colnames != block["columns"]:
        problems.append("%s: columns %r, expected %r" % (path, table.colnames, block["columns"]))
        return
    if len(table) != len(block["rows"]):
        problems.append("%s: %d rows, expected %d" % (path, len(table), len(block["rows"])))
        return
    for r, want_row in enumerate(block["rows"]):
        for c, want in enumerate(want_row):
            got = table[table.colnames[c]][r]
            where = "%s row %d column %s" % (path, r + 1, table.colnames[c])
            if want == "":
                if not empty(got):
                    problems.append("%s: %r, expected an empty field" % (where, got))
            elif want.startswith("="):
                if empty(got) or str(got).strip() != want[1:]:
                    problems.append("%s: %r, expected %r" % (where, got, want[1:]))
            else:
                try:
                    value = float(got)
                except (TypeError, ValueError):
                    problems.append("%s: %r is no number" % (where, got))
                    continue
                if not math.isclose(value, float(want), rel_tol=1e-9, abs_tol=0.0051):
                    problems.append("%s: %r, expected %s" % (where, value, want))
    # numpy reads the same file as UTF-8 text: the names of the heading and every row.
    try:
        data = np.genfromtxt(path, delimiter=",", names=True, dtype=None, encoding="utf-8",
                             deletechars="", autostrip=True, invalid_raise=False)
    except Exception as e:  # noqa: BLE001
        problems.append("%s: numpy cannot read it: %s" % (path, e))
        return
    names = [n.strip('"') for n in data.dtype.names]
    if names != block["columns"]:
        problems.append("%s: numpy reads the columns %r" % (path, names))


files = blocks(sys.argv[1])
problems = []
for b in files:
    check(b, problems)
for p in problems:
    print(p)
print("%d files, %d problems" % (len(files), len(problems)))
sys.exit(1 if problems or not files else 0)
