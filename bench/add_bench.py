#!/usr/bin/env python3
"""Per-call speed of `add` against Apache DataSketches in the same process.

Both sides run the same bound-method loop over the same values:
  * 1,000,000 random 62-bit ints: sketch (15, 20) `add` vs `hll_sketch(15, HLL_8).update`
    (target ratio <= 0.6), and within 5 ns of `add` of the small ints 0 .. 999,999;
  * 1,000,000 short strs: `add` vs `update` (target ratio <= 0.4).
Also reports `add` of bytes for reference.

The sides alternate within each repetition and each figure is the best of
several repetitions, so a busy machine shifts both alike. Run after
`make install` with the development requirements (datasketches):
    .venv/bin/python bench/add_bench.py
"""

import argparse
import random
import time

from datasketches import hll_sketch, tgt_hll_type

from vantorelle_py import HyperLogLogPlusPlus

COUNT = 1_000_000


def feed(add, values):
    for value in values:
        add(value)


def timed(add, values):
    start = time.perf_counter()
    feed(add, values)
    return time.perf_counter() - start


def best_of(repeats, runners):
    """runners: name -> (make_add, make_values). Alternates the runners each round."""
    best = dict.fromkeys(runners, float("inf"))
    for _ in range(repeats):
        for name, (make_add, make_values) in runners.items():
            values = make_values()
            best[name] = min(best[name], timed(make_add(), values))
    return {name: seconds * 1e9 / COUNT for name, seconds in best.items()}


def verdict(ok):
    return "ok" if ok else "ABOVE TARGET"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    rng = random.Random(11)
    large = [rng.getrandbits(62) for _ in range(COUNT)]
    small = list(range(COUNT))

    def fresh_strings():
        # New objects each round: a str caches its hash and UTF-8 form.
        return [f"user-{value:x}"[:12] for value in large]

    def fresh_bytes():
        return [f"user-{value:x}"[:12].encode() for value in large]

    ns = best_of(
        args.repeats,
        {
            "add large ints": (lambda: HyperLogLogPlusPlus(int, 15, 20).add, lambda: large),
            "add small ints": (lambda: HyperLogLogPlusPlus(int, 15, 20).add, lambda: small),
            "ds update large ints": (lambda: hll_sketch(15, tgt_hll_type.HLL_8).update, lambda: large),
            "add strs": (lambda: HyperLogLogPlusPlus(str, 15, 20).add, fresh_strings),
            "ds update strs": (lambda: hll_sketch(15, tgt_hll_type.HLL_8).update, fresh_strings),
            "add bytes": (lambda: HyperLogLogPlusPlus(bytes, 15, 20).add, fresh_bytes),
            "loop only": (lambda: (lambda value: None), lambda: large),
        },
    )
    for name, value in ns.items():
        print(f"{name:<24} {value:7.1f} ns/op")

    int_ratio = ns["add large ints"] / ns["ds update large ints"]
    int_gap = ns["add large ints"] - ns["add small ints"]
    str_ratio = ns["add strs"] / ns["ds update strs"]
    checks = [
        (f"large ints / datasketches   {int_ratio:5.2f} (target <= 0.6)", int_ratio <= 0.6),
        (f"large ints - small ints     {int_gap:5.1f} ns (target <= 5)", int_gap <= 5.0),
        (f"strs / datasketches         {str_ratio:5.2f} (target <= 0.4)", str_ratio <= 0.4),
    ]
    for text, ok in checks:
        print(f"{text}  {verdict(ok)}")
    print("all targets met" if all(ok for _, ok in checks) else "some targets missed")


if __name__ == "__main__":
    main()
