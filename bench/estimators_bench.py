#!/usr/bin/env python3
"""Speed of the estimators, as ratios measured in one run on the same sketches:

  * estimate(sketch, "improved") and estimate(sketch, "ml") against
    sketch.result() of the same dense sketch (targets: <= 1x and <= 5x);
  * intersection(a, b) against one merge of the same two sketches
    (b merged into a copy of a; target <= 50x);
  * bounds(sketch) against result(), for information.

Each figure is the best of several repeats of a timed loop (the machine is
shared: the minimum is the least disturbed measurement).

    .venv/bin/python bench/estimators_bench.py
"""

from __future__ import annotations

import argparse
import copy
import time

import numpy as np

import vantorelle


def best_time(function, loops: int, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        for _ in range(loops):
            function()
        best = min(best, (time.perf_counter() - started) / loops)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--loops", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(18)
    print(f"{'case':<34} {'result() us':>12} {'improved':>9} {'ml':>9} {'bounds':>9} {'merge us':>9} {'intersection':>13}")
    verdicts = []
    for p, n in [(12, 100_000), (15, 1_000_000), (18, 5_000_000)]:
        a = vantorelle.sketch(rng.integers(0, 1 << 62, n), int, p, p + 5)
        b = vantorelle.sketch(rng.integers(0, 1 << 62, n), int, p, p + 5)
        loops = max(10, args.loops >> max(0, p - 14))
        result = best_time(a.result, loops, args.repeats)
        improved = best_time(lambda: vantorelle.estimate(a, "improved"), loops, args.repeats)
        ml = best_time(lambda: vantorelle.estimate(a, "ml"), loops, args.repeats)
        bounds = best_time(lambda: vantorelle.bounds(a), loops, args.repeats)

        # Merging b again into the same copy of a does the same work each time
        # (a register maximum), without timing the copy.
        target = copy.copy(a)
        merge = best_time(lambda: target.merge(b), loops, args.repeats)
        intersection = best_time(lambda: vantorelle.intersection(a, b), loops, args.repeats)
        print(f"p = {p}, n = {n:,} (dense){'':<10} {result * 1e6:12.1f} {improved / result:8.2f}x {ml / result:8.2f}x "
              f"{bounds / result:8.2f}x {merge * 1e6:9.1f} {intersection / merge:12.2f}x")
        verdicts.append((p, improved / result <= 1.0, ml / result <= 5.0, intersection / merge <= 50.0))
    print()
    for p, improved_ok, ml_ok, intersection_ok in verdicts:
        print(f"p = {p}: improved <= 1x result(): {'met' if improved_ok else 'MISSED'}; "
              f"ml <= 5x: {'met' if ml_ok else 'MISSED'}; intersection <= 50x merge: "
              f"{'met' if intersection_ok else 'MISSED'}")


if __name__ == "__main__":
    main()
