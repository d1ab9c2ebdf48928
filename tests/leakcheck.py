"""Reference-leak check: a call repeated many times must not grow the heap.

`sys.getallocatedblocks()` counts every live object allocation, so a missing
decref on any path shows up as steady growth. The function runs a warm-up round
first (caches, interned names, lazily created attributes), then the measured
rounds; garbage is collected before each measurement.
"""

import gc
import sys

import pytest


def assert_no_leak(func, *, rounds=5, calls=200, tolerance=20):
    """Call `func()` `calls` times per round; fail if blocks keep growing.

    `func` may raise: error paths are measured like success paths (the exception
    and its traceback are dropped each time). The check fails only when every
    round grew, and by more than `tolerance` blocks in total, which separates a
    leak (grows with the number of calls) from allocator noise.
    """

    def run():
        for _ in range(calls):
            try:
                func()
            except Exception:
                pass

    run()
    gc.collect()
    counts = [sys.getallocatedblocks()]
    for _ in range(rounds):
        run()
        gc.collect()
        counts.append(sys.getallocatedblocks())
    growth = [b - a for a, b in zip(counts, counts[1:])]
    if all(g > 0 for g in growth) and counts[-1] - counts[0] > tolerance:
        pytest.fail(f"allocated blocks grew every round: {counts}")
