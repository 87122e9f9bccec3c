#!/usr/bin/python3
"""The peer of batchstack_bench: ccdproc.combine's median of the frames DIR/frame0.fits …
frame{N-1}.fits with mem_limit 512 MB; prints its time and peak resident size (VmHWM).

Usage: batchstack_peer.py DIR N"""
import sys
import time

try:
    import ccdproc
except ImportError:
    print("peer: ccdproc is not installed")
    sys.exit(0)


def peak_mb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return -1.0


folder, n = sys.argv[1], int(sys.argv[2])
files = [f"{folder}/frame{i}.fits" for i in range(n)]
before = peak_mb()
t = time.perf_counter()
ccdproc.combine(files, method="median", mem_limit=512e6, unit="adu", dtype="float32")
print(f"peer: ccdproc.combine median, mem_limit 512 MB: {time.perf_counter() - t:.1f} s, "
      f"peak RSS {peak_mb():.0f} MB ({before:.0f} MB before)")
