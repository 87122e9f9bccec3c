#!/usr/bin/python3
"""vantorel-cli given names that are no regular file, to read and to save over.

Inputs: a FIFO, /dev/zero, a folder, a loop of symbolic links and a dangling link, each
named like every format that info and convert read (and as the dark, flat and flat dark
that a Bitran file names). Save targets: a FIFO, a link to a FIFO, a folder and a loop
named like every format that convert and render write, and a dangling link. Each run
must end within a few seconds with its message, and nothing may be replaced: a FIFO
stays a FIFO, a link stays a link, and a dangling link leads to the file the save made.
"""
import os
import stat
import struct
import subprocess
import sys
import tempfile

CLI = os.path.realpath(sys.argv[1])
TIMEOUT = 5  # seconds; a reader that blocks on a FIFO fails here instead of hanging CI

NOT_REGULAR = "通常のファイルではありません"
FOLDER = "フォルダです"
LOOP = "シンボリックリンクが循環"
CANNOT_OPEN = "ファイルを開くことができません"
RAW_NOT_FOUND = "ファイルがみつかりません"

failures = []


def fail(text):
    failures.append(text)
    print("FAIL:", text)


def run(*args):
    """(exit status, standard error) of one run; None when it did not end in time."""
    try:
        p = subprocess.run([CLI, *args], stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None
    return p.returncode, p.stderr.decode("utf-8", "replace")


def says(err, name, text):
    """Whether the message about name (its path on one line, the text on the next) is there."""
    lines = err.splitlines()
    return any(line.endswith(name) and i + 1 < len(lines) and text in lines[i + 1]
               for i, line in enumerate(lines))


def node(name):
    st = os.lstat(name)
    return stat.S_IFMT(st.st_mode), st.st_ino


# ---- sources

def card(s):
    return s.ljust(80)[:80].encode()


def fits8(w=16, h=16):
    cards = [card(f"{k:<8}= {v:>20}") for k, v in
             (("SIMPLE", "T"), ("BITPIX", "8"), ("NAXIS", "2"), ("NAXIS1", str(w)),
              ("NAXIS2", str(h)))]
    header = b"".join(cards + [card("END")]).ljust(2880, b" ")
    return header + bytes((x * 7 + y * 13) % 256 for y in range(h) for x in range(w)).ljust(
        2880, b"\0")


def st7(w=32, h=24):
    lines = ["ST-7 Image", "File_version = 3", "Data_version = 1", f"Width = {w}",
             f"Height = {h}"]
    text = "".join(line + "\n\r" for line in lines) + "End\n\r\x1a"
    return text.encode().ljust(2048, b"\0") + b"".join(
        struct.pack("<H", (x * 211 + y * 17) % 65536) for y in range(h) for x in range(w))


def bitran(convert="", w=4, h=3):
    i32 = lambda v: struct.pack("<i", v)
    f = b"BITRAN CCD original format ".ljust(28, b" ") + b"1.7" + b"\0"
    if convert:
        text = convert.encode("cp932") + b"\0"
        f += i32(4) + i32(len(text)) + text
    f += i32(0) + i32(w) + i32(h) + i32(0) + i32(0) + b"CCD=word"
    return f + b"".join(struct.pack("<H", 100 + x + 10 * y) for y in range(h) for x in range(w))


def make(kind, name):
    if kind == "fifo":
        os.mkfifo(name)
    elif kind == "device":
        os.symlink("/dev/zero", name)
    elif kind == "folder":
        os.mkdir(name)
    elif kind == "loop":
        os.symlink(name + ".other", name)
        os.symlink(name, name + ".other")
    elif kind == "dangling":
        os.symlink(name + ".missing", name)
    elif kind == "to-fifo":
        os.mkfifo(name + ".fifo")
        os.symlink(name + ".fifo", name)


READ_TEXT = {"fifo": NOT_REGULAR, "device": NOT_REGULAR, "folder": FOLDER, "loop": LOOP,
             "dangling": CANNOT_OPEN}

# Every extension the readers take, one or more per format.
IN_EXTS = ["fits", "fit", "FTS", "tif", "tiff", "png", "jpg", "jpeg", "st7", "sbig", "2k",
           "001", "r", "ccd", "drk", "flt", "fdk"]


def check_inputs():
    names = []
    for kind in READ_TEXT:
        for ext in IN_EXTS:
            name = f"in-{kind}.{ext}"
            make(kind, name)
            names.append((name, READ_TEXT[kind]))
    # All through one info run (each file read twice: header, then the whole image).
    result = run("info", *[n for n, _ in names])
    if result is None:
        return fail("info on names that are no regular file did not end in time")
    rc, err = result
    if rc != 1:
        fail(f"info on names that are no regular file exited {rc}")
    for name, text in names:
        if not says(err, name, text):
            fail(f"info {name}: no '{text}' in:\n{err}")
    # The unsigned FITS name, the raw layout question and convert take the same path.
    for kind, text in READ_TEXT.items():
        for args, want in (
                (["info", f"in-{kind}.fits<USF>"], text),
                (["info", "--raw", "4,4,8", f"in-{kind}.raw"],
                 RAW_NOT_FOUND if kind == "dangling" else text),
                (["convert", f"in-{kind}.fits", f"out-of-{kind}.fits"], text)):
            if args[-1].endswith(".raw"):
                make(kind, args[-1])
            result = run(*args)
            if result is None:
                fail(f"{' '.join(args)} did not end in time")
            elif result[0] != 1 or want not in result[1]:
                fail(f"{' '.join(args)}: exit {result[0]}, no '{want}' in:\n{result[1]}")
    if any(n.startswith("out-of-") for n in os.listdir(".")):
        fail("a convert that could not read made a file")


def check_bitran_calibration():
    with open("cal.flt", "wb") as f:
        f.write(bitran())
    cases = []
    for kind in ("fifo", "device", "folder", "loop"):
        for role, ext, convert in (("dark", "drk", "ダーク補正(0,{})"),
                                   ("flat", "flt", "フラット補正(0,{})"),
                                   ("flatdark", "fdk", "フラット補正(0,cal.flt,{})")):
            cal = f"{role}-{kind}.{ext}"
            make(kind, cal)
            frame = f"frame-{role}-{kind}.ccd"
            with open(frame, "wb") as f:
                f.write(bitran(convert.format(cal)))
            cases.append((frame, cal, READ_TEXT[kind]))
    result = run("info", *[frame for frame, _, _ in cases])
    if result is None:
        return fail("Bitran frames naming darks and flats that are no file did not end in time")
    rc, err = result
    # The frame itself is read; the calibration that is no file is named and left out.
    if rc != 0:
        fail(f"Bitran frames with calibration names that are no file exited {rc}:\n{err}")
    for frame, cal, text in cases:
        if not says(err, cal, text):
            fail(f"{frame}: no '{text}' about {cal} in:\n{err}")


OUT_EXTS = ["fts", "fit", "fits", "tif", "tiff", "png", "jpg", "jpeg", "st7", "001"]
SAVE_TEXT = {"fifo": NOT_REGULAR, "to-fifo": NOT_REGULAR, "folder": FOLDER, "loop": LOOP}


def check_targets():
    runs = [(["convert", "src.st7" if ext in ("st7", "001") else "src.fts"], ext)
            for ext in OUT_EXTS] + [(["render", "src.fts"], "png")]
    for command, ext in runs:
        tag = command[0]
        for kind, text in SAVE_TEXT.items():
            target = f"{tag}-{kind}.{ext}"
            make(kind, target)
            before = node(target)
            others = sorted(os.listdir("."))
            result = run(*command, target)
            if result is None:
                fail(f"{tag} to {target} did not end in time")
                continue
            rc, err = result
            if rc != 1 or not says(err, target, text):
                fail(f"{tag} to {target}: exit {rc}, no '{text}' in:\n{err}")
            if node(target) != before:
                fail(f"{tag} to {target} replaced it")
            if kind == "to-fifo" and not stat.S_ISFIFO(os.lstat(target + ".fifo").st_mode):
                fail(f"{tag} through {target} replaced the FIFO")
            if sorted(os.listdir(".")) != others:
                fail(f"{tag} to {target} left a file behind")
        # A dangling link: the save creates the file it names, and the link leads there.
        target = f"{tag}-dangling.{ext}"
        make("dangling", target)
        result = run(*command, target)
        if result is None or result[0] != 0:
            fail(f"{tag} to the dangling link {target}: {result}")
        elif not (os.path.islink(target) and os.path.isfile(target + ".missing")):
            fail(f"{tag} to the dangling link {target} did not create the file it names")


def main():
    with tempfile.TemporaryDirectory() as work:
        os.environ["VANTOREL_CONFIG_HOME"] = os.path.join(work, "config")
        os.chdir(work)
        with open("src.fts", "wb") as f:
            f.write(fits8())
        with open("src.st7", "wb") as f:
            f.write(st7())
        check_inputs()
        check_bitran_calibration()
        check_targets()
        os.chdir("/")
    print("names that are no regular file:", "FAILED" if failures else "all refused in time")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
