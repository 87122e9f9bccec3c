#!/usr/bin/python3
"""Packed FITS files (.fits.gz, .fits.fz) that must cost neither the program's life, nor
more memory than its pager allows, nor files left behind, through `vantorel-cli`.

  hang    A tile-compressed file whose first gzip tile is cut short, which sends cfitsio
          round for ever: `info` stops the decoding child at its time limit and reports
          the file as damaged, with the message a damaged file gets (the same as for a
          garbled gzip stream), and no child is left. A program killed outright (SIGKILL)
          or by SIGINT while its child spins takes the child with it.
  memory  Small files that stand for huge ones: a header claiming 60000 x 60000 pixels
          over a stream that holds little, a gzip of zeros that unpacks to a large image,
          gzip streams of zeros that are no FITS or follow a small FITS file, tiles that
          share their bytes, and tiles of zeros that unpack to a large image. Under a pager
          budget of 64 MB each costs at most the budget and 64 MB more than opening a
          small file (peak resident memory of the program and its children, plus its
          files in memory), ends with the message of its code (that of the same file
          unpacked, where there is one) or opens, and never crashes.
  saves   Saves to .fits.gz and .fits.fz interrupted by SIGINT and SIGTERM leave no
          temporary; ones killed (SIGKILL) may, and a later save into the folder, packed
          or plain, removes them.

Usage: packed_files_test.py hang|memory|saves CLI
Exit status 0 when all pass, 1 on a failure, 77 when numpy or astropy is missing.
"""
import gzip
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

try:
    import numpy as np
    from astropy.io import fits
except ImportError:
    print("SKIP: numpy and astropy are needed")
    sys.exit(77)

failures = []
BUDGET_MB = 64


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def cli_env(work):
    env = dict(os.environ, VANTOREL_CONFIG_HOME=os.path.join(work, "config"))
    # AddressSanitizer keeps freed blocks resident for a while (256 MB of them unless told
    # otherwise); kept small here, so that the figures measured are the program's.
    env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=16").lstrip(":")
    return env


def run(cli, args, env, timeout=300):
    return subprocess.run([cli] + args, env=env, capture_output=True, timeout=timeout)


def message(result):
    """The message the tool printed for a file it could not open: its last line."""
    lines = result.stderr.decode("utf-8", "replace").strip().splitlines()
    return lines[-1] if lines else ""


def processes_reading(path):
    """Pids of live processes (not zombies) whose command line names path."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if path.encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if state not in ("Z", "X"):
            found.append(int(pid))
    return found


def children_of(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def compressed(path, image, kind, tile):
    fits.HDUList([fits.PrimaryHDU(),
                  fits.CompImageHDU(image, compression_type=kind, tile_shape=tile)]).writeto(path)


def table_start(path):
    """Where the compressed image's table (the second unit) starts, its row width and
    the offset of the COMPRESSED_DATA descriptor in a row."""
    with fits.open(path, disable_image_compression=True) as units:
        table = units[1]
        at = table.data.dtype.fields["COMPRESSED_DATA"][1]
        return table.fileinfo()["datLoc"], table.header["NAXIS1"], table.header["NAXIS2"], at


def set_descriptor(data, path, row, count, offset):
    start, width, _, at = table_start(path)
    data[start + row * width + at:start + row * width + at + 8] = struct.pack(">ii", count, offset)


def descriptor(data, path, row):
    start, width, _, at = table_start(path)
    return struct.unpack(">ii", bytes(data[start + row * width + at:start + row * width + at + 8]))


def hanging_file(work):
    """A GZIP_1 tile-compressed image whose first tile's stream is cut in half: cfitsio's
    gzip tile reader grows its buffer for the rest of the stream for ever."""
    good = os.path.join(work, "good.fits.fz")
    rng = np.random.default_rng(5)
    compressed(good, (1000 + rng.normal(0, 10, (64, 96))).astype(np.int16), "GZIP_1", (16, 96))
    data = bytearray(open(good, "rb").read())
    count, offset = descriptor(data, good, 0)
    set_descriptor(data, good, 0, count // 2, offset)
    bad = os.path.join(work, "hang.fits.fz")
    open(bad, "wb").write(data)
    return good, bad


def hang_test(cli, work, env):
    good, bad = hanging_file(work)
    check(run(cli, ["info", good], env).returncode == 0, "the file before the cut opens")
    garbled = os.path.join(work, "garbled.fits.gz")
    open(garbled, "wb").write(gzip.compress(b"x" * 100)[:10] + b"\x03" * 32)
    damaged = message(run(cli, ["info", garbled], env))
    result = run(cli, ["info", bad], env, timeout=120)
    check(result.returncode == 1, f"info ends with status 1 (got {result.returncode})")
    check(message(result) == damaged and damaged != "",
          f"with the damaged-file message {message(result)!r} (a garbled stream: {damaged!r})")
    check(processes_reading(bad) == [], "no decoding child is left")

    for sig in (signal.SIGKILL, signal.SIGINT):
        name = signal.Signals(sig).name
        proc = subprocess.Popen([cli, "info", bad], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        spinning = []
        deadline = time.monotonic() + 30
        while not spinning and proc.poll() is None and time.monotonic() < deadline:
            spinning = children_of(proc.pid)
            time.sleep(0.01)
        check(spinning != [], f"{name}: the decoding child was seen")
        os.kill(proc.pid, sig)
        proc.wait()
        deadline = time.monotonic() + 10
        while processes_reading(bad) and time.monotonic() < deadline:
            time.sleep(0.02)
        check(processes_reading(bad) == [], f"{name}: the child went with its parent")


class MemoryWatch:
    """Samples the files in memory (memfd) that a process holds open, every few ms."""

    def __init__(self, pid):
        self.pid, self.peak, self.done = pid, 0, False
        self.thread = threading.Thread(target=self.watch, daemon=True)
        self.thread.start()

    def watch(self):
        folder = f"/proc/{self.pid}/fd"
        while not self.done:
            held = {}  # one file may be open more than once
            try:
                for fd in os.listdir(folder):
                    try:
                        if os.readlink(os.path.join(folder, fd)).startswith("/memfd:"):
                            st = os.stat(os.path.join(folder, fd))
                            held[(st.st_dev, st.st_ino)] = st.st_blocks * 512
                    except OSError:
                        pass
            except OSError:
                pass
            self.peak = max(self.peak, sum(held.values()))
            time.sleep(0.003)

    def stop(self):
        self.done = True
        self.thread.join()
        return self.peak


def measured(cli, args, env):
    """Runs the tool; its exit status, stderr, and peak memory in bytes: the resident
    memory of the largest of it and its children, plus its files in memory."""
    err = tempfile.TemporaryFile()
    proc = subprocess.Popen([cli] + args, env=env, stdout=subprocess.DEVNULL, stderr=err)
    watch = MemoryWatch(proc.pid)
    _, status, usage = os.wait4(proc.pid, 0)
    in_files = watch.stop()
    proc.returncode = os.waitstatus_to_exitcode(status)
    err.seek(0)
    return proc.returncode, err.read().decode("utf-8", "replace"), usage.ru_maxrss * 1024, in_files


def fits_header(**cards):
    header = fits.Header()
    header["SIMPLE"] = True
    for key, value in cards.items():
        header[key] = value
    return header.tostring().encode()


def gzip_of_zeros(path, head, zero_bytes):
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    chunk = bytes(1 << 24)
    with open(path, "wb") as out:
        out.write(packer.compress(head))
        for _ in range(zero_bytes // len(chunk)):
            out.write(packer.compress(chunk))
        out.write(packer.compress(bytes(zero_bytes % len(chunk))))
        out.write(packer.flush())


def memory_test(cli, work, env):
    for key, value in (("MemoryRatio", "0"), ("MinMemorySize", str(BUDGET_MB))):
        run(cli, ["settings", "set", "VMManager", key, value], env)
    os.chdir(work)

    # The cost of opening a small file, plain and tile-compressed (a decoding child).
    rng = np.random.default_rng(1)
    fits.PrimaryHDU(rng.integers(0, 1000, (64, 64)).astype(np.int16)).writeto("small.fits")
    compressed("small.fits.fz", rng.normal(0, 1, (64, 64)).astype(np.float32), "RICE_1", (16, 64))
    base = 0
    for name in ("small.fits", "small.fits.fz"):
        rc, _, rss, held = measured(cli, ["info", name], env)
        check(rc == 0, f"{name} opens")
        base = max(base, rss + held)
    limit = base + ((BUDGET_MB + 64) << 20)
    print(f"baseline {base >> 20} MB, limit {limit >> 20} MB", flush=True)

    # The messages of the codes, from files whose code is known.
    with open("claim.fits", "wb") as f:
        f.write(fits_header(BITPIX=16, NAXIS=2, NAXIS1=60000, NAXIS2=60000) + bytes(2880 * 10))
    with open("claim.fits", "rb") as f, gzip.open("claim.fits.gz", "wb") as g:
        shutil.copyfileobj(f, g)
    with open("notfits.bin", "wb") as f:
        f.write(b"hello" + bytes(2880 * 10001))
    garbled = os.path.join(work, "garbled.fits.gz")
    open(garbled, "wb").write(gzip.compress(b"x" * 100)[:10] + b"\x03" * 32)
    texts = {"short": message(run(cli, ["info", "claim.fits"], env)),
             "format": message(run(cli, ["info", "notfits.bin"], env)),
             "damaged": message(run(cli, ["info", garbled], env))}
    check(all(texts.values()) and len(set(texts.values())) == 3, f"three messages {texts}")

    # A gzip of zeros that unpacks to 144 MB of image; 256 MB of zeros that is no FITS,
    # and as much behind a small image.
    gzip_of_zeros("zeros.fits.gz", fits_header(BITPIX=-32, NAXIS=2, NAXIS1=6144, NAXIS2=6144),
                  6144 * 6144 * 4)
    gzip_of_zeros("notfits.fits.gz", b"hello", 256 << 20)
    small = open("small.fits", "rb").read()
    gzip_of_zeros("trailing.fits.gz", small, 256 << 20)

    # Tiles: every descriptor pointing at the bytes of the largest tile, and GZIP tiles
    # of zeros that unpack to 144 MB of 32-bit integers.
    compressed("rice.fits.fz", rng.integers(0, 30000, (4096, 1024)).astype(np.int16), "RICE_1",
               (1, 1024))
    data = bytearray(open("rice.fits.fz", "rb").read())
    rows = table_start("rice.fits.fz")[2]
    largest = max((descriptor(data, "rice.fits.fz", r) for r in range(rows)), key=lambda d: d[0])
    for r in range(rows):
        set_descriptor(data, "rice.fits.fz", r, *largest)
    open("shared.fits.fz", "wb").write(data)
    compressed("zerotiles.fits.fz", np.zeros((6144, 6144), dtype=np.int32), "GZIP_1", (1, 6144))

    cases = (("claim.fits.gz", "short"), ("zeros.fits.gz", None), ("notfits.fits.gz", "format"),
             ("trailing.fits.gz", None), ("shared.fits.fz", "damaged"),
             ("zerotiles.fits.fz", None))
    for name, code in cases:
        size = os.path.getsize(name)
        began = time.monotonic()
        rc, err, rss, held = measured(cli, ["info", name], env)
        print(f"{name}: {size >> 10} KB, status {rc} after {time.monotonic() - began:.1f} s, "
              f"peak resident {rss >> 20} MB, in memory files {held >> 20} MB", flush=True)
        check(rc in (0, 1), f"{name}: no crash (status {rc})")
        if code is None:
            check(rc == 0, f"{name}: opens")
        else:
            last = err.strip().splitlines()[-1] if err.strip() else ""
            check(rc == 1 and last == texts[code], f"{name}: refused as {code} ({last!r})")
        check(rss + held <= limit,
              f"{name}: {(rss + held) >> 20} MB within {limit >> 20} MB")


TEMP = re.compile(r"^\..*(vtl-tmp-|vtl-fitscomp-|\.tmp-)[A-Za-z0-9]{6}$")


def temporaries(folder):
    return sorted(n for n in os.listdir(folder) if TEMP.match(n))


def start(cli, args, env):
    def child():
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_DFL)

    return subprocess.Popen([cli] + args, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, preexec_fn=child)


def catch_writing(cli, args, env, folder, count):
    """Starts a save and stops it (SIGSTOP) once it has count temporaries with something
    in them: 1 while it writes the plain file, 2 while it packs that into the target's
    own; the process, or None when the save ended first."""
    proc = start(cli, args, env)
    while proc.poll() is None:
        names = temporaries(folder)
        try:
            written = [n for n in names if os.stat(os.path.join(folder, n)).st_size > 0]
        except FileNotFoundError:
            continue
        if len(written) >= count:
            os.kill(proc.pid, signal.SIGSTOP)
            if len(temporaries(folder)) >= count:
                return proc
            os.kill(proc.pid, signal.SIGCONT)
        time.sleep(0.001)
    return None


def saves_test(cli, work, env):
    folder = os.path.join(work, "out")
    os.mkdir(folder)
    src = os.path.join(work, "big.fits")
    rng = np.random.default_rng(7)
    fits.PrimaryHDU(rng.random((4096, 4096), dtype=np.float32)).writeto(src)
    small = os.path.join(work, "small.fits")
    fits.PrimaryHDU(np.arange(64 * 64, dtype=np.int16).reshape(64, 64)).writeto(small)

    for suffix in (".fits.gz", ".fits.fz"):
        target = os.path.join(folder, "target" + suffix)
        check(run(cli, ["convert", small, target], env).returncode == 0, f"{suffix}: a first save")
        old = open(target, "rb").read()
        for sig, count in ((signal.SIGINT, 1), (signal.SIGTERM, 2), (signal.SIGINT, 2)):
            name = f"{signal.Signals(sig).name} with {count} temporaries"
            proc = catch_writing(cli, ["convert", src, target], env, folder, count)
            if proc is None:
                check(False, f"{suffix} {name}: the save was caught while it wrote")
                continue
            held = temporaries(folder)
            os.kill(proc.pid, sig)
            os.kill(proc.pid, signal.SIGCONT)
            proc.wait()
            check(proc.returncode == -sig, f"{suffix} {name}: ends by the signal")
            check(len(held) == count and temporaries(folder) == [],
                  f"{suffix} {name}: its temporaries {held} are gone ({temporaries(folder)})")
            check(open(target, "rb").read() == old, f"{suffix} {name}: the old file intact")

        # Killed outright, while it packs: what the kill leaves, a later save removes.
        proc = catch_writing(cli, ["convert", src, target], env, folder, 2)
        if proc is not None:
            proc.kill()
            proc.wait()
        left = temporaries(folder)
        check(len(left) == 2, f"{suffix}: the kill left the two temporaries {left}")
        check(open(target, "rb").read() == old, f"{suffix}: the old file intact after the kills")
        later = os.path.join(folder, "later" + (suffix if suffix.endswith("gz") else ".fits"))
        check(run(cli, ["convert", small, later], env).returncode == 0, f"{suffix}: a later save")
        check(temporaries(folder) == [], f"{suffix}: the later save removed {left} "
              f"(left {temporaries(folder)})")


def main():
    tests = {"hang": hang_test, "memory": memory_test, "saves": saves_test}
    if len(sys.argv) != 3 or sys.argv[1] not in tests:
        print(__doc__)
        return 2
    cli = os.path.realpath(sys.argv[2])
    work = tempfile.mkdtemp(prefix="vantorel-packed-")
    try:
        tests[sys.argv[1]](cli, work, cli_env(work))
    finally:
        os.chdir("/")
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} failed", flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
