#!/usr/bin/env python3
"""The structure of the source drawn from its includes, against ARCHITECTURE.md.

Reads the layers from the block after `<!-- layers -->` in ARCHITECTURE.md (one layer a
line, lowest first, folders of one layer side by side) and walks every .cpp and .h
outside the tests, benchmarks and fuzz targets. Fails on
- an include of a project file from a folder of the same or a higher layer, or of a
  file that a project folder does not hold,
- a source folder the table does not name,
- a Qt header outside the qt/ folders and the widget folders,
- a file of more than 1,500 lines.

    layers_check.py ROOT        check the source tree at ROOT
    layers_check.py --self-test check that each fault above is found in a made-up tree
"""
import os
import re
import sys
import tempfile

OUTSIDE = {"tests", "bench", "fuzz", "scripts", "docs", ".git", ".ci"}
QT_FOLDERS = {"controls", "dialogs", "infobar", "app"}
MOST_LINES = 1500
INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^>"]+)[>"]')
QT_HEADER = re.compile(r"^Q[A-Za-z0-9]*(/|$)")


def read_layers(root):
    text = open(os.path.join(root, "ARCHITECTURE.md"), encoding="utf-8").read()
    block = re.search(r"<!-- layers -->\s*```\n(.*?)```", text, re.S)
    if not block:
        raise SystemExit("ARCHITECTURE.md has no block of layers after <!-- layers -->")
    rank = {}
    for n, line in enumerate(l for l in block.group(1).splitlines() if l.strip()):
        for folder in line.split():
            rank[folder] = n
    return rank


def source_files(root):
    for top in sorted(os.listdir(root)):
        if top in OUTSIDE or top.startswith("build") or top.startswith("."):
            continue
        if not os.path.isdir(os.path.join(root, top)):
            continue
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs[:] = sorted(d for d in dirs if not d.startswith("build"))
            for name in sorted(files):
                if name.endswith((".cpp", ".h")):
                    path = os.path.join(folder, name)
                    yield os.path.relpath(path, root)


def is_qt_folder(folder):
    return folder.split("/")[0] in QT_FOLDERS or "qt" in folder.split("/")


def check(root):
    rank = read_layers(root)
    faults = []
    for rel in source_files(root):
        folder = os.path.dirname(rel)
        if folder not in rank:
            faults.append(f"{rel}: folder {folder}/ is not in ARCHITECTURE.md's layers")
            continue
        lines = open(os.path.join(root, rel), encoding="utf-8", errors="replace").readlines()
        if len(lines) > MOST_LINES:
            faults.append(f"{rel}: {len(lines)} lines, more than {MOST_LINES}")
        for number, line in enumerate(lines, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            quote, name = m.groups()
            if quote == "<":
                if QT_HEADER.match(name) and not is_qt_folder(folder):
                    faults.append(f"{rel}:{number}: Qt header <{name}> outside the Qt folders")
                continue
            target = os.path.dirname(name)
            if not target or target == folder:
                continue
            if not os.path.isfile(os.path.join(root, name)):
                if target in rank:
                    faults.append(f"{rel}:{number}: includes {name}, which is not in the tree")
                continue  # otherwise a header of a library, not of this project
            if target not in rank:
                faults.append(f"{rel}:{number}: includes {name} from a folder not in the layers")
            elif rank[target] >= rank[folder]:
                way = "side by side with" if rank[target] == rank[folder] else "above"
                faults.append(f"{rel}:{number}: includes {name} from {target}/, {way} {folder}/")
    return faults


def self_test():
    architecture = "# t\n<!-- layers -->\n```\nlow\nmid side\nhigh\nhigh/qt\n```\n"
    files = {
        "ARCHITECTURE.md": architecture,
        "low/a.h": "#pragma once\n#include <vector>\n",
        "mid/b.cpp": '#include "low/a.h"\n#include "mid/b.h"\n',
        "mid/b.h": "#pragma once\n",
        "side/c.cpp": '#include "mid/b.h"\n',  # side by side
        "low/d.cpp": '#include "high/e.h"\n',  # upwards
        "high/e.h": '#pragma once\n#include "low/a.h"\n#include <QWidget>\n',  # Qt outside qt/
        "high/qt/f.cpp": '#include <QtWidgets/QDialog>\n#include "high/e.h"\n#include "wcslib/wcs.h"\n'
        '#include "mid/gone.h"\n',  # a project folder's file that is not there
        "stray/g.cpp": "int g;\n",  # a folder not in the table
        "low/long.cpp": "\n" * (MOST_LINES + 1),
        "tests/low/t.cpp": '#include "high/e.h"\n#include <QTest>\n',  # tests are outside
    }
    with tempfile.TemporaryDirectory() as root:
        for rel, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
            open(os.path.join(root, rel), "w", encoding="utf-8").write(text)
        faults = check(root)
    expected = [
        "high/e.h:3: Qt header <QWidget> outside the Qt folders",
        "high/qt/f.cpp:4: includes mid/gone.h, which is not in the tree",
        "low/d.cpp:1: includes high/e.h from high/, above low/",
        f"low/long.cpp: {MOST_LINES + 1} lines, more than {MOST_LINES}",
        "side/c.cpp:1: includes mid/b.h from mid/, side by side with side/",
        "stray/g.cpp: folder stray/ is not in ARCHITECTURE.md's layers",
    ]
    if sorted(faults) != expected:
        print("self-test: expected\n  " + "\n  ".join(expected) + "\nfound\n  " + "\n  ".join(sorted(faults)))
        return 1
    print(f"self-test: the {len(expected)} faults of the made-up tree found, nothing else")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    root = sys.argv[1]
    faults = check(root)
    for fault in faults:
        print(fault)
    rank = read_layers(root)
    print(f"{len(faults)} faults; {len(rank)} folders in {max(rank.values()) + 1} layers")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
