#!/usr/bin/python3
"""An interrupted `vantorel-cli convert` leaves nothing behind and loses nothing.

  signals  SIGINT, SIGTERM and SIGHUP sent while the save writes its temporary: the
           process dies of that signal, its temporary is gone, the old target is intact.
           The same save under a file-size limit (RLIMIT_FSIZE) fails with exit status 1
           and a message naming the file and the limit, again leaving no temporary and
           the old target intact (FITS, and PNG written through stdio).
  kill     20 saves of an 8192 x 8192 16-bit image over an older valid file, each killed
           (SIGKILL) at a random moment: the target is always the old file or the new
           one complete; one further save of another file into the folder removes every
           temporary the kills left.

Usage: interrupted_save_test.py signals|kill CLI
Exit status 0 when all pass, 1 on a failure, 77 when numpy or astropy is missing.
"""
import hashlib
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

try:
    import numpy as np
    from astropy.io import fits
except ImportError:
    print("SKIP: numpy and astropy are needed")
    sys.exit(77)

TEMP = re.compile(r"^\..+\.(vtl-)?tmp-[A-Za-z0-9]{6}$")
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def temporaries(folder):
    return sorted(n for n in os.listdir(folder) if TEMP.match(n))


def digest(path, mask_date=False):
    """SHA-256 of a file; with mask_date the DATE card of the primary header (the time
    of the save) is blanked, so two saves of the same image compare equal."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if mask_date:
        for at in range(0, min(len(data), 2880 * 4), 80):
            card = bytes(data[at:at + 80])
            if card.startswith(b"DATE    ="):
                data[at:at + 80] = b" " * 80
            if card.startswith(b"END     "):
                break
    return hashlib.sha256(data).hexdigest()


def start(cli, args, env, log, fsize=None):
    def child():
        # Whatever ctest or the shell left ignored, the tool starts with the defaults.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_DFL)
        if fsize is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))

    return subprocess.Popen([cli] + args, env=env, stdout=subprocess.DEVNULL,
                            stderr=open(log, "wb"), preexec_fn=child)


def wait_for_temporary(proc, folder, min_size=1):
    """Polls until the save has written into its temporary; the temporary's path, or
    None when the process ended first."""
    while proc.poll() is None:
        for name in temporaries(folder):
            path = os.path.join(folder, name)
            try:
                if os.stat(path).st_size >= min_size:
                    return path
            except FileNotFoundError:
                pass
        time.sleep(0.0005)
    return None


def signals_test(cli, work, env):
    folder = os.path.join(work, "out")
    os.mkdir(folder)
    src = os.path.join(work, "big.fits")
    rng = np.random.default_rng(7)
    fits.PrimaryHDU(rng.random((4096, 4096), dtype=np.float32)).writeto(src)
    target = os.path.join(folder, "target.fits")
    fits.PrimaryHDU(np.arange(64 * 64, dtype=np.int16).reshape(64, 64)).writeto(target)
    old = digest(target)

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        name = signal.Signals(sig).name
        for attempt in range(10):
            proc = start(cli, ["convert", src, target], env, os.path.join(work, "sig.err"))
            temp = wait_for_temporary(proc, folder)
            if temp is None:
                continue  # the save finished before it was seen; try again
            # Stopped, the save cannot finish between the look and the signal.
            os.kill(proc.pid, signal.SIGSTOP)
            if proc.poll() is not None or not os.path.exists(temp):
                os.kill(proc.pid, signal.SIGCONT)
                proc.wait()
                continue
            os.kill(proc.pid, sig)
            os.kill(proc.pid, signal.SIGCONT)
            proc.wait()
            break
        else:
            check(False, f"{name}: never caught the save while it wrote")
            continue
        check(proc.returncode == -sig, f"{name}: exit by the signal (status {proc.returncode})")
        check(temporaries(folder) == [], f"{name}: no temporary left {temporaries(folder)}")
        check(digest(target) == old, f"{name}: the old target intact")

    # The file-size limit: well above the old files, well below the new ones.
    small = os.path.join(work, "small.fits")
    fits.PrimaryHDU(rng.integers(0, 65535, (512, 512), dtype=np.uint16)).writeto(small)
    png = os.path.join(folder, "target.png")
    subprocess.run([cli, "convert", small, png], env=env,
                   check=True, capture_output=True)
    for source, out in ((src, target), (small, png)):
        kind = os.path.splitext(out)[1]
        before = digest(out)
        log = os.path.join(work, "limit.err")
        limit = os.path.getsize(out) // 2 if kind == ".png" else 1 << 20
        proc = start(cli, ["convert", source, out], env, log, fsize=limit)
        proc.wait()
        err = open(log, encoding="utf-8", errors="replace").read()
        check(proc.returncode == 1, f"limit {kind}: exit status 1 (got {proc.returncode})")
        check(out in err and "ファイルサイズの上限を超えています" in err,
              f"limit {kind}: the message names the file and the limit: {err[-300:]!r}")
        check(temporaries(folder) == [], f"limit {kind}: no temporary left")
        check(digest(out) == before, f"limit {kind}: the old target intact")


# Saved as 32-bit floats: the reading and folding of every save stays, the conversion back
# to integers (most of a plain save's time, and no part of what is tested here) goes, and
# the file that a kill can catch half-written is twice as large.
FLOATS = ["--bits", "-32"]


def kill_test(cli, work, env):
    folder = os.path.join(work, "out")
    os.mkdir(folder)
    src = os.path.join(work, "huge.fits")
    rng = np.random.default_rng(11)
    fits.PrimaryHDU(rng.integers(-32768, 32767, (8192, 8192), dtype=np.int16)).writeto(src)
    old_file = os.path.join(work, "old.fits")
    fits.PrimaryHDU(np.arange(100 * 80, dtype=np.int16).reshape(80, 100)).writeto(old_file)
    old = digest(old_file, mask_date=True)
    target = os.path.join(folder, "target.fits")

    # One whole save, timed: the new file to compare with, and when the writing starts
    # and ends, so that the kills can fall where there is something to lose.
    ref = os.path.join(work, "ref.fits")
    t0 = time.monotonic()
    proc = start(cli, ["convert", src, ref] + FLOATS, env, os.path.join(work, "ref.err"))
    wait_for_temporary(proc, work)
    t_write = time.monotonic() - t0
    proc.wait()
    t_end = time.monotonic() - t0
    if proc.returncode != 0:
        check(False, "the whole save succeeds")
        return
    new = digest(ref, mask_date=True)
    os.remove(ref)
    print(f"whole save {t_end:.1f} s, writing from {t_write:.1f} s", flush=True)

    seed = int(os.environ.get("VANTOREL_TEST_SEED", time.time_ns() % 100000))
    print(f"seed {seed}", flush=True)
    pick = random.Random(seed)
    outcomes = {"old": 0, "new": 0}
    for round_ in range(20):
        shutil.copyfile(old_file, target)
        began = time.monotonic()
        proc = start(cli, ["convert", src, target] + FLOATS, env,
                     os.path.join(work, "kill.err"))
        if round_ < 14:
            # From the last part of the conversion to just past the end of the save.
            at = pick.uniform(0.9 * t_write, 1.1 * t_end)
            while proc.poll() is None and time.monotonic() - began < at:
                time.sleep(0.002)
        else:
            # While the temporary is being written, whatever the machine's speed today.
            wait_for_temporary(proc, folder, min_size=pick.randint(1, 100 << 20))
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        got = digest(target, mask_date=True)
        state = "old" if got == old else "new" if got == new else "neither"
        outcomes[state] = outcomes.get(state, 0) + 1
        check(state != "neither",
              f"kill {round_ + 1}: the target is the old or the new file ({state}, "
              f"temporaries {len(temporaries(folder))})")
        # Each save sweeps what the kill before it left: at most the last one's remains.
        check(len(temporaries(folder)) <= 1, f"kill {round_ + 1}: earlier temporaries swept")
    print(f"outcomes {outcomes}", flush=True)

    left = temporaries(folder)
    check(len(left) == 1, f"the last kill, while writing, left its temporary {left}")
    small = os.path.join(work, "small.fits")
    fits.PrimaryHDU(np.zeros((16, 16), dtype=np.int16)).writeto(small)
    result = subprocess.run([cli, "convert", small, os.path.join(folder, "other.fits")],
                            env=env, capture_output=True)
    check(result.returncode == 0, "a further save into the folder succeeds")
    check(temporaries(folder) == [],
          f"the further save removed the temporaries {left} (left {temporaries(folder)})")


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("signals", "kill"):
        print(__doc__)
        return 2
    cli = os.path.realpath(sys.argv[2])
    work = tempfile.mkdtemp(prefix="vantorel-interrupted-")
    try:
        env = dict(os.environ, VANTOREL_CONFIG_HOME=os.path.join(work, "config"))
        (signals_test if sys.argv[1] == "signals" else kill_test)(cli, work, env)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} failed", flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
