#!/usr/bin/python3
"""Damaged packed FITS files by the thousand: 3000 tile-compressed and 2000 gzip-packed
files, made with a fixed seed from small sound ones that astropy writes (every
compression method of the tile convention, integer and real pixels, tiles of rows and of
squares; gzip-packed images, cubes, tables, extensions, and tile-compressed files), are
each opened as `vantorel-cli info` opens them, in a process of its own
(packed_mutation_runner). None may crash (die of a signal), take more than 10 s, or take
more memory than the pager's budget (128 MB here) and 64 MB above opening a sound file.

Usage: packed_mutation_test.py RUNNER
Exit status 0 when all pass, 1 on a failure, 77 when numpy or astropy is missing.
The run prints how long it took, its slowest files and its largest.
"""
import gzip
import io
import os
import random
import shutil
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

TILED, PACKED = 3000, 2000
BUDGET_MB = 128
MAX_MS = 10000
WORKERS = 2


def sound_files():
    """The files the damaged ones are made from: name, bytes, and (for gzip) the plain
    bytes inside."""
    rng = np.random.default_rng(2024)
    sky16 = (1000 + rng.normal(0, 12, (40, 56))).astype(np.int16)
    sky32 = (50000 + rng.normal(0, 40, (40, 56))).astype(np.int32)
    bytes8 = rng.integers(0, 255, (40, 56)).astype(np.uint8)
    real = (5 + rng.normal(0, 1, (40, 56))).astype(np.float32)
    double = rng.normal(0, 1e3, (24, 30))
    tiled = []
    for method, image, tile in (
            ("RICE_1", sky16, (1, 56)), ("RICE_1", sky32, (16, 16)), ("RICE_1", bytes8, (8, 56)),
            ("RICE_1", real, (1, 56)), ("GZIP_1", sky16, (1, 56)), ("GZIP_1", real, (10, 20)),
            ("GZIP_2", sky32, (1, 56)), ("GZIP_2", double, (1, 30)),
            ("HCOMPRESS_1", sky16, (20, 28)), ("HCOMPRESS_1", real, (40, 56)),
            ("PLIO_1", sky16, (1, 56))):
        out = io.BytesIO()
        unit = fits.CompImageHDU(image, compression_type=method, tile_shape=tile)
        unit.header["OBJECT"] = "mutated"
        fits.HDUList([fits.PrimaryHDU(), unit]).writeto(out)
        tiled.append(out.getvalue())

    plains = []
    for units in (
            [fits.PrimaryHDU(sky16)],
            [fits.PrimaryHDU(real), fits.BinTableHDU.from_columns(
                [fits.Column(name="X", format="E", array=np.arange(20.0)),
                 fits.Column(name="NAME", format="8A", array=["a"] * 20)])],
            [fits.PrimaryHDU(), fits.ImageHDU(sky32, name="SCI"), fits.ImageHDU(bytes8, name="DQ")],
            [fits.PrimaryHDU(np.stack([sky16, sky16 + 5, sky16 - 5]))]):
        out = io.BytesIO()
        fits.HDUList(units).writeto(out)
        plains.append(out.getvalue())
    # A tile-compressed file packed whole, as archives ship some.
    plains.append(tiled[0])
    return tiled, plains


def mutate(data, pick, protect=0):
    """A few of the changes that damage does: bytes set at random (mostly past the first
    header), a run of bytes copied from elsewhere, digits changed in a card, the file cut
    short or grown."""
    data = bytearray(data)
    for _ in range(pick.randint(1, 6)):
        kind = pick.random()
        if kind < 0.55:
            lo = protect if pick.random() < 0.85 and protect < len(data) else 0
            at = pick.randrange(lo, len(data))
            data[at] = pick.randrange(256)
        elif kind < 0.7 and len(data) > 130:
            n = pick.randint(1, 64)
            src, dst = pick.randrange(len(data) - n), pick.randrange(len(data) - n)
            data[dst:dst + n] = data[src:src + n]
        elif kind < 0.85:
            # A digit in a card of some header: sizes, counts and offsets lie.
            digits = [i for i in range(0, min(len(data), 4 * 2880)) if 48 <= data[i] <= 57]
            if digits:
                data[pick.choice(digits)] = pick.randrange(48, 58)
        elif kind < 0.95:
            del data[pick.randrange(len(data) // 2, len(data)):]
        else:
            data += bytes(pick.randrange(1, 6000))
        if not data:
            data = bytearray(b"\0")
    return bytes(data)


def make_files(work):
    tiled, plains = sound_files()
    pick = random.Random(77)
    names = []
    for i in range(TILED):
        name = os.path.join(work, f"t{i:04d}.fits.fz")
        with open(name, "wb") as f:
            f.write(mutate(tiled[i % len(tiled)], pick, protect=2880))
        names.append(name)
    for i in range(PACKED):
        plain = plains[i % len(plains)]
        name = os.path.join(work, f"g{i:04d}.fits.gz")
        if i % 2:
            # Damage inside: a sound stream of a damaged file.
            packed = gzip.compress(mutate(plain, pick, protect=80), mtime=0)
        else:
            # Damage to the stream itself (its header, blocks, checksum, length).
            packed = mutate(gzip.compress(plain, mtime=0), pick, protect=10)
        with open(name, "wb") as f:
            f.write(packed)
        names.append(name)
    return names


def run_all(runner, names, work, env):
    """Runs the names in WORKERS runners side by side; {name: (code, ms, kb)}."""
    procs = []
    for k in range(WORKERS):
        listing = os.path.join(work, f"list{k}.txt")
        with open(listing, "w") as f:
            f.write("\n".join(names[k::WORKERS]) + "\n")
        procs.append(subprocess.Popen([runner, listing], env=env, stdout=subprocess.PIPE,
                                      stderr=open(os.path.join(work, f"err{k}.txt"), "wb")))
    results = {}
    for proc in procs:
        out, _ = proc.communicate()
        if proc.returncode != 0:
            print(f"FAIL the runner ended with status {proc.returncode}")
        for line in out.decode().splitlines():
            name, code, ms, kb = line.rsplit(" ", 3)
            results[name] = (int(code), int(ms), int(kb))
    return results


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    runner = os.path.realpath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="vantorel-mutation-")
    failures = 0
    try:
        env = dict(os.environ, VANTOREL_CONFIG_HOME=os.path.join(work, "config"))
        # AddressSanitizer keeps freed blocks resident (256 MB unless told otherwise);
        # kept small, so that the figures are the program's.
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=16").lstrip(":")
        # The pager's budget, exactly: a ratio of 0 leaves the minimum.
        os.makedirs(env["VANTOREL_CONFIG_HOME"])
        with open(os.path.join(env["VANTOREL_CONFIG_HOME"], "Vantorel-2.0.ini"), "w") as f:
            f.write(f"[VMManager]\nMemoryRatio=0\nMinMemorySize={BUDGET_MB}\n")

        began = time.monotonic()
        names = make_files(work)
        made = time.monotonic() - began
        # What a sound file costs: the baseline of the memory figures.
        tiled, plains = sound_files()
        sound = []
        for i, data in enumerate(tiled[:4] + [gzip.compress(p, mtime=0) for p in plains[:2]]):
            name = os.path.join(work, f"sound{i}.fits" + (".fz" if i < 4 else ".gz"))
            open(name, "wb").write(data)
            sound.append(name)
        base = run_all(runner, sound, work, env)
        if any(code != 0 for code, _, _ in base.values()):
            print(f"FAIL sound files do not open: {base}")
            return 1
        base_kb = max(kb for _, _, kb in base.values())
        limit_kb = base_kb + (BUDGET_MB + 64) * 1024

        began = time.monotonic()
        results = run_all(runner, names, work, env)
        ran = time.monotonic() - began
        missing = [n for n in names if n not in results]
        crashed = [(n, r) for n, r in results.items() if r[0] >= 128]
        slow = [(n, r) for n, r in results.items() if r[1] > MAX_MS]
        large = [(n, r) for n, r in results.items() if r[2] > limit_kb]
        opened = sum(1 for r in results.values() if r[0] == 0)
        codes = {}
        for code, _, _ in results.values():
            codes[code] = codes.get(code, 0) + 1
        print(f"{len(results)} files ({TILED} tile-compressed, {PACKED} gzip) made in "
              f"{made:.1f} s, opened in {ran:.1f} s by {WORKERS} runners; {opened} opened; "
              f"codes {dict(sorted(codes.items()))}")
        print(f"baseline {base_kb // 1024} MB, limit {limit_kb // 1024} MB")
        for title, key in (("slowest", 1), ("largest", 2)):
            top = sorted(results.items(), key=lambda item: -item[1][key])[:5]
            print(title + ": " + ", ".join(
                f"{os.path.basename(n)} {r[1]} ms {r[2] // 1024} MB (code {r[0]})" for n, r in top))
        for what, found in (("not run", missing), ("crashed", crashed),
                            (f"over {MAX_MS} ms", slow), (f"over {limit_kb // 1024} MB", large)):
            if found:
                failures += 1
                print(f"FAIL {len(found)} {what}: {found[:10]}")
                # VANTOREL_KEEP_FAILED names a folder that keeps a few of them for a look.
                keep = os.environ.get("VANTOREL_KEEP_FAILED")
                for name in [f if isinstance(f, str) else f[0] for f in found[:3]] if keep else []:
                    shutil.copy(name, keep)
        if failures:
            for k in range(WORKERS):
                err = open(os.path.join(work, f"err{k}.txt"), "rb").read().decode(errors="replace")
                print(f"runner {k} stderr (end): {err[-2000:]}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
