#!/usr/bin/env python3
"""Speed and memory of the column path, against DataSketches' update loop.

One run, the same values for every side, each figure the best of several
repetitions:
  * 5,000,000 random int64 in a numpy array: vantorelle.sketch vs
    hll_sketch(15, HLL_8).update over the same values (target >= 8x, <= 10 ns/value)
  * 1,000,000 short strings as a pyarrow string array, vs update over the same
    Python strings (target >= 8x, <= 20 ns/value)
  * Python lists of 1,000,000 ints and of strs: vantorelle.sketch vs a loop of
    add (target <= 0.5x the loop's time per value)
  * two threads over the two halves of a 10,000,000-value int64 array (target
    >= 1.6x one thread's throughput)
  * peak extra memory of vantorelle.sketch over a 10,000,000-value array
    (target <= the sketch's own size + 1 MiB)

Needs numpy, pyarrow and datasketches (development requirements). Run after
`make install`:
    .venv/bin/python bench/columns_bench.py
"""

import argparse
import subprocess
import sys
import threading
import time

import numpy as np
import pyarrow as pa

import vantorelle
from vantorelle import HyperLogLogPlusPlus


def best_time(repeats, run):
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - started)
    return best


def datasketches_loop(values):
    import datasketches

    sketch = datasketches.hll_sketch(15, datasketches.tgt_hll_type.HLL_8)
    update = sketch.update
    for value in values:
        update(value)


def add_loop(ty, values):
    sketch = HyperLogLogPlusPlus(ty)
    add = sketch.add
    for value in values:
        add(value)


def line(name, seconds, count, other_name, other_seconds, target):
    print(f"{name:<44} {seconds / count * 1e9:7.1f} ns/value   {other_name}: "
          f"{other_seconds / count * 1e9:7.1f} ns/value   ratio {other_seconds / seconds:5.1f}x "
          f"(target {target})")


def two_threads(values, repeats):
    halves = [values[: len(values) // 2], values[len(values) // 2 :]]

    def run():
        threads = [threading.Thread(target=vantorelle.sketch, args=(half,)) for half in halves]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    return best_time(repeats, run)


PEAK_PROBE = """
import resource, sys
import numpy as np
import vantorelle
values = np.random.default_rng(5).integers(-(2**63), 2**63 - 1, size=10_000_000, dtype=np.int64)
vantorelle.sketch(values[:1000])  # imports and first-call set-up outside the measurement
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
sketch = vantorelle.sketch(values)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) * 1024, len(sketch.to_bytes()))
"""


def peak_extra_memory():
    """Growth of the peak resident size (C++ allocations included) while a
    fresh process sketches a 10M-value array it already holds."""
    out = subprocess.run([sys.executable, "-c", PEAK_PROBE], capture_output=True, text=True,
                         check=True)
    peak, sketch_size = map(int, out.stdout.split())
    return peak, sketch_size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(20261208)

    ints = rng.integers(-(2**63), 2**63 - 1, size=5_000_000, dtype=np.int64)
    int_list = ints.tolist()
    seconds = best_time(args.repeats, lambda: vantorelle.sketch(ints))
    peer = best_time(1, lambda: datasketches_loop(int_list))
    line("numpy int64 x 5M: vantorelle.sketch", seconds, len(ints), "DataSketches update",
         peer, ">= 8x, <= 10 ns")

    words = [f"user-{value:x}"[:12] for value in ints[:1_000_000].tolist()]
    arrow_words = pa.array(words, pa.string())
    seconds = best_time(args.repeats, lambda: vantorelle.sketch(arrow_words))
    peer = best_time(1, lambda: datasketches_loop(words))
    line("pyarrow string x 1M: vantorelle.sketch", seconds, len(words), "DataSketches update",
         peer, ">= 8x, <= 20 ns")

    small = int_list[:1_000_000]
    seconds = best_time(args.repeats, lambda: vantorelle.sketch(small, int))
    loop = best_time(args.repeats, lambda: add_loop(int, small))
    line("list of 1M ints: vantorelle.sketch", seconds, len(small), "add loop", loop,
         ">= 2x (<= 0.5x the time)")
    seconds = best_time(args.repeats, lambda: vantorelle.sketch(words, str))
    loop = best_time(args.repeats, lambda: add_loop(str, words))
    line("list of 1M strs: vantorelle.sketch", seconds, len(words), "add loop", loop,
         ">= 2x (<= 0.5x the time)")

    big = rng.integers(-(2**63), 2**63 - 1, size=10_000_000, dtype=np.int64)
    one = best_time(args.repeats, lambda: vantorelle.sketch(big))
    two = two_threads(big, args.repeats)
    print(f"{'10M int64, two threads vs one':<44} one {one * 1e3:7.1f} ms   two {two * 1e3:7.1f} ms"
          f"   speed-up {one / two:4.2f}x (target >= 1.6x)")

    peak, sketch_size = peak_extra_memory()
    print(f"{'10M int64, peak extra memory':<44} {peak / 2**20:7.2f} MiB   sketch {sketch_size / 2**20:.2f}"
          f" MiB   budget {(sketch_size + 2**20) / 2**20:.2f} MiB   "
          f"{'met' if peak <= sketch_size + 2**20 else 'MISSED'}")


if __name__ == "__main__":
    main()
