"""Reference-leak check: a call repeated many times must not grow the heap.

`sys.getallocatedblocks()` counts every live object allocation, so a missing
decref on any path adds at least one block per call. The function runs two
warm-up rounds first (caches, interned names, lazily created attributes, the
array library's own dispatch caches), then the measured rounds; garbage is
collected before each measurement.
"""

import gc
import itertools
import sys

import pytest


def assert_no_leak(func, *, rounds=4, calls=200, warmup=0):
    """Call `func()` `calls` times per round; fail if every round grows with the calls.

    `func` may raise: error paths are measured like success paths (the exception
    and its traceback are dropped each time). A leak grows the heap by at least
    one block per call in every round; caches settling down grow it by a few
    blocks, less each round. The check fails when the smallest growth of a round
    is at least half the number of calls. `warmup` extra calls come first, for code
    whose caches take longer than two rounds to fill.
    """

    def run():
        for _ in range(calls):
            try:
                func()
            except Exception:
                pass

    for _ in range(warmup):
        try:
            func()
        except Exception:
            pass
    run()
    run()
    gc.collect()
    counts = [sys.getallocatedblocks()]
    for _ in range(rounds):
        run()
        gc.collect()
        counts.append(sys.getallocatedblocks())
    growth = [b - a for a, b in itertools.pairwise(counts)]
    if min(growth) >= calls // 2:
        pytest.fail(f"allocated blocks grew by {growth} per {calls} calls: {counts}")
