"""What the benchmarks share: a timed run with the collector held off, runs taken in
alternation, and the median of their ratios."""

import gc
import statistics
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
