#!/usr/bin/python3
"""Times numpy's median of a stack of float32 frames along the stack.

Usage: stack_peer.py FRAMES SIDE REPEATS. Prints the best of REPEATS runs in seconds of
numpy.median(stack, axis=0) on a (FRAMES, SIDE, SIDE) float32 stack of noise: wall-clock
time, then process CPU time (the fairer figure on a machine shared with other work).
"""
import sys
import time

import numpy as np

frames, side, repeats = (int(v) for v in sys.argv[1:4])
stack = np.random.default_rng(1).uniform(50, 4050, (frames, side, side)).astype(np.float32)
best = cpu = float("inf")
for _ in range(repeats):
    t, c = time.perf_counter(), time.process_time()
    np.median(stack, axis=0)
    best = min(best, time.perf_counter() - t)
    cpu = min(cpu, time.process_time() - c)
print(best, cpu)
