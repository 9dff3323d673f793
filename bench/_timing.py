"""What the benchmarks share: a timed run with the collector held off, runs taken in
alternation, the median of their ratios, and a quiet stdout."""

import gc
import os
import statistics
import sys
import time


def timed(fn):
    """Seconds that fn() took, with no garbage collection in between."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start
    finally:
        gc.enable()


def alternate(fns, repeat):
    """Runs every fn in turn, `repeat` rounds; returns the list of times of each."""
    times = [[] for _ in fns]
    for _ in range(repeat):
        for slot, fn in zip(times, fns):
            slot.append(timed(fn))
    return times


def median_ratio(ours, base):
    """The median of the ratios of runs taken side by side: drifts of a shared machine
    touch both sides of a ratio alike."""
    return statistics.median(o / b for o, b in zip(ours, base))


class Quiet:
    """Sends file descriptor 1 to /dev/null: _vornel's build prints its summary there, and
    it is not a figure."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)
