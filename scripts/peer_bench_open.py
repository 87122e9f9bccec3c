#!/usr/bin/python3
"""Time to the first picture and peak resident memory of opening a FITS file, for
vantorel and for ds9, on one virtual screen in the same run.

The clock starts when the program is started. A picture counts as shown when a square
at the middle of the program's window holds more than a handful of colours (the test
files are noisy everywhere, and before the picture that square is a flat background).
The peak resident memory is the largest VmHWM of the program's processes at that moment,
and again a few seconds later, after the work a program does once it is idle.

usage: peer_bench_open.py VANTOREL_BIN FILE [FILE ...]   (runs, settle time: env)
"""
import ctypes
import os
import signal
import statistics
import subprocess
import sys
import time

RUNS = int(os.environ.get("PEER_BENCH_RUNS", "3"))
SETTLE = float(os.environ.get("PEER_BENCH_SETTLE", "4"))
TIMEOUT = 60.0
SCREEN = "1600x1200x24"
BOX = 48


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_uint8)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int)]


x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XGetImage.restype = ctypes.POINTER(XImage)
x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                          ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
x11.XDestroyImage = None  # a macro; XFree of data and struct instead
x11.XFree.argtypes = [ctypes.c_void_p]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]


def colours(dpy, root, x, y):
    img = x11.XGetImage(dpy, root, x, y, BOX, BOX, 0xFFFFFFFF, 2)  # ZPixmap
    if not img:
        return 0
    im = img.contents
    seen = set()
    bpp = im.bits_per_pixel // 8
    for r in range(BOX):
        row = ctypes.string_at(ctypes.addressof(im.data.contents) + r * im.bytes_per_line,
                               BOX * bpp)
        for c in range(0, BOX * bpp, bpp):
            seen.add(row[c:c + 3])
    x11.XFree(im.data)
    x11.XFree(img)
    return len(seen)


def windows():
    try:
        return set(subprocess.run(["xdotool", "search", "--onlyvisible", "--name", ""],
                                  capture_output=True, text=True, timeout=5).stdout.split())
    except subprocess.TimeoutExpired:
        return set()


def window_centre(before):
    """The middle of the largest visible window that was not there before the start."""
    best = None
    for w in windows() - before:
        g = subprocess.run(["xdotool", "getwindowgeometry", "--shell", w],
                           capture_output=True, text=True).stdout
        v = dict(line.split("=", 1) for line in g.split() if "=" in line)
        try:
            x, y, wd, ht = (int(v[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
        except (KeyError, ValueError):
            continue
        if wd < 200 or ht < 200:
            continue
        if best is None or wd * ht > best[2] * best[3]:
            best = (x, y, wd, ht)
    if best is None:
        return None
    x, y, wd, ht = best
    return x + wd // 2 - BOX // 2, y + ht // 2 - BOX // 2


def tree(pid):
    pids, todo = [], [pid]
    while todo:
        p = todo.pop()
        pids.append(p)
        try:
            for t in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{t}/children") as f:
                    todo += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return pids


def hwm_mb(pid):
    best = 0
    for p in tree(pid):
        try:
            with open(f"/proc/{p}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        best = max(best, int(line.split()[1]))
        except OSError:
            pass
    return best / 1024.0


def run(cmd, env, dpy, root):
    before = windows()
    start = time.monotonic()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    shown = None
    centre = None
    try:
        while time.monotonic() - start < TIMEOUT:
            if proc.poll() is not None:
                break
            if centre is None:
                centre = window_centre(before)
            if centre is not None:
                x11.XSync(dpy, 0)
                if colours(dpy, root, *centre) > 12:
                    shown = time.monotonic() - start
                    break
            time.sleep(0.01)
        at_picture = hwm_mb(proc.pid)
        time.sleep(SETTLE)
        settled = hwm_mb(proc.pid)
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
    return shown, at_picture, settled


def main():
    vantorel, files = sys.argv[1], sys.argv[2:]
    n = 90 + os.getpid() % 100
    while os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
        n += 1
    display = ":%d" % n
    os.environ["DISPLAY"] = display  # for xdotool
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", SCREEN, "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.5)
    env = dict(os.environ, DISPLAY=display)
    env.pop("QT_QPA_PLATFORM", None)
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        sys.exit("cannot open the virtual screen")
    root = x11.XDefaultRootWindow(dpy)
    programs = [
        ("vantorel", lambda f: [vantorel, f]),
        ("ds9", lambda f: ["ds9", "-geometry", "1024x900", f, "-zoom", "to", "fit"]),
    ]
    print("%-40s %-9s %9s %12s %12s" % ("file", "program", "seconds", "MB at shown",
                                         "MB settled"))
    try:
        for f in files:
            results = {}
            for label, cmd in programs:
                times, mems, settled = [], [], []
                for _ in range(RUNS):
                    t, m, s = run(cmd(f), env, dpy, root)
                    if t is None:
                        print("%-40s %-9s no picture within %d s" % (os.path.basename(f), label,
                                                                    TIMEOUT))
                        continue
                    times.append(t)
                    mems.append(m)
                    settled.append(s)
                if times:
                    results[label] = (statistics.median(times), max(mems), max(settled))
                    print("%-40s %-9s %9.2f %12.0f %12.0f" % ((os.path.basename(f), label) +
                                                              results[label]))
            if len(results) == 2:
                v, d = results["vantorel"], results["ds9"]
                print("%-40s ratios: time %.2f (goal <= 1.0), memory at picture %.2f, settled "
                      "%.2f (goal <= 1.2)" % (os.path.basename(f), v[0] / d[0], v[1] / d[1],
                                              v[2] / d[2]))
    finally:
        xvfb.terminate()
        xvfb.wait()


if __name__ == "__main__":
    main()
