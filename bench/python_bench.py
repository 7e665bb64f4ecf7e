#!/usr/bin/env python3
"""Speed of the Python surface against CPython's own set.

Side by side, with the same bound-method loop for both sides:
  * add of 1,000,000 distinct ints into a sketch at (15, 20) vs set.add (target ratio <= 1.0)
  * add of 1,000,000 distinct short strings vs set.add (target ratio <= 1.2)
  * merge of another sketch object at p = 15 (target <= 15 us per call)

Each figure is the best of several repetitions. Run after `make install`:
    .venv/bin/python bench/python_bench.py
"""

import argparse
import random
import time

from vantorelle_py import HyperLogLogPlusPlus

COUNT = 1_000_000


def feed(add, values):
    for value in values:
        add(value)


def best_time(repeats, prepare, run):
    best = float("inf")
    for _ in range(repeats):
        state = prepare()
        start = time.perf_counter()
        run(*state)
        best = min(best, time.perf_counter() - start)
    return best


def compare(name, repeats, make_values, make_sketch, target):
    # Fresh values each repetition: a str caches its hash after the first
    # set.add, which would flatter the set in later rounds.
    sketch_seconds = best_time(repeats, lambda: (make_sketch().add, make_values()), feed)
    set_seconds = best_time(repeats, lambda: (set().add, make_values()), feed)
    ratio = sketch_seconds / set_seconds
    verdict = "ok" if ratio <= target else "ABOVE TARGET"
    print(
        f"{name:<34} sketch {sketch_seconds * 1e9 / COUNT:7.1f} ns/op   set {set_seconds * 1e9 / COUNT:7.1f} ns/op"
        f"   ratio {ratio:5.2f} (target <= {target}) {verdict}"
    )
    return ratio <= target


def bench_merge(repeats, calls):
    left, right = HyperLogLogPlusPlus(int, 15, 20), HyperLogLogPlusPlus(int, 15, 20)
    feed(left.add, range(COUNT))
    feed(right.add, range(COUNT // 2, COUNT + COUNT // 2))
    results = {}
    for label, argument in (("merge(sketch)", right), ("merge(bytes)", right.to_bytes())):
        merge = left.merge

        def run(merge=merge, argument=argument):
            for _ in range(calls):
                merge(argument)

        seconds = best_time(repeats, tuple, run)
        results[label] = seconds / calls * 1e6
    target = 15.0
    verdict = "ok" if results["merge(sketch)"] <= target else "ABOVE TARGET"
    print(
        f"{'merge of a dense sketch at p = 15':<34} merge(sketch) {results['merge(sketch)']:6.2f} us/call"
        f"   merge(bytes) {results['merge(bytes)']:6.2f} us/call   (target <= {target} us) {verdict}"
    )
    return results["merge(sketch)"] <= target


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    rng = random.Random(7)
    ints = rng.sample(range(1 << 62), COUNT)

    def fresh_strings():
        return [f"u{value:x}"[:12] + str(i) for i, value in enumerate(ints)]

    ok = compare("add 1M distinct ints", args.repeats, lambda: ints, lambda: HyperLogLogPlusPlus(int, 15, 20), 1.0)
    ok &= compare(
        "add 1M distinct short strings", args.repeats, fresh_strings, lambda: HyperLogLogPlusPlus(str, 15, 20), 1.2
    )
    ok &= bench_merge(args.repeats, 2000)
    print("all targets met" if ok else "some targets missed")


if __name__ == "__main__":
    main()
