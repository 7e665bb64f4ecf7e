#!/usr/bin/env python3
"""Per-sketch estimate time of normal (dense) p = 15 sketches, in one run:

  * `result()` of the installed class, looped in Python over loaded sketches;
  * `vantorelle._native.estimates` over the serialised sketches (threads=1),
    which also decodes and validates every row;
  * with --baseline DIR (a directory holding a `vantorelle_py` built before
    the estimate was vectorised, e.g. `pip install --target DIR` of an older
    commit): its `result()` on the same sketches, in a subprocess, and the
    ratios against it (target: the new `result()` and `estimates` each at
    least 6x faster);
  * Apache DataSketches `hll_sketch(15, HLL_8).get_estimate()` on the same
    values, as a peer that keeps its estimate current.

Every figure is the best of several repetitions, the sides alternating
within each. The estimates of all sides are compared before anything is
timed. Run after `make install`:
    .venv/bin/python bench/estimate_bench.py [--baseline DIR]
"""

from __future__ import annotations

import argparse
import array
import os
import pickle
import subprocess
import sys
import tempfile
import time

import numpy as np

import vantorelle
from vantorelle import _native
from vantorelle_py import HyperLogLogPlusPlus

PRECISION = 15

# Run in the baseline interpreter: the serialised sketches come in a pickle,
# the estimates and the best per-sketch time go back as one line.
BASELINE_SCRIPT = """
import pickle, sys, time
from vantorelle_py import HyperLogLogPlusPlus
serialised, repeats, rounds = pickle.load(open(sys.argv[1], "rb"))
sketches = [HyperLogLogPlusPlus.from_bytes(b) for b in serialised]
best = float("inf")
for _ in range(repeats):
    start = time.perf_counter()
    for _ in range(rounds):
        for s in sketches:
            s.result()
    best = min(best, (time.perf_counter() - start) / (rounds * len(sketches)))
print(repr(([s.result() for s in sketches], best)))
"""


def best_per_item(run, items, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        best = min(best, (time.perf_counter() - start) / items)
    return best


def baseline(directory, serialised, repeats, rounds):
    with tempfile.NamedTemporaryFile(suffix=".pickle", delete=False) as handle:
        pickle.dump((serialised, repeats, rounds), handle)
    try:
        env = {**os.environ, "PYTHONPATH": directory}
        done = subprocess.run([sys.executable, "-c", BASELINE_SCRIPT, handle.name], env=env,
                              capture_output=True, text=True, check=True, timeout=900)
    finally:
        os.unlink(handle.name)
    return eval(done.stdout.strip())  # noqa: S307 - our own subprocess's repr


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sketches", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=20, help="passes over the sketches per repetition")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--baseline", metavar="DIR", help="site directory of an older vantorelle_py")
    args = parser.parse_args()

    rng = np.random.default_rng(15)
    columns = [rng.integers(-(2**62), 2**62, size=int(n))
               for n in rng.integers(50_000, 1_000_000, size=args.sketches)]
    sketches = [vantorelle.sketch(values, int, PRECISION, 20) for values in columns]
    serialised = [s.to_bytes() for s in sketches]
    assert all(HyperLogLogPlusPlus.from_bytes(b).result() == s.result() for b, s in zip(serialised, sketches))
    results = [s.result() for s in sketches]
    native = array.array("q")
    native.frombytes(_native.estimates(serialised))
    assert native.tolist() == results, "estimates() differ from result()"

    items = args.rounds * len(sketches)
    many = serialised * args.rounds

    def loop_result():
        for _ in range(args.rounds):
            for s in sketches:
                s.result()

    # The sides alternate within each repetition (the baseline in a fresh
    # subprocess each time), so a busy machine shifts them alike.
    timed = {
        "result() (this build)": (loop_result, items),
        "_native.estimates, threads=1": (lambda: _native.estimates(many, threads=1), items),
        "_native.estimates, threads=2": (lambda: _native.estimates(many, threads=2), items),
    }
    rows = dict.fromkeys(timed, float("inf"))
    old = None
    for _ in range(args.repeats):
        for name, (run, count) in timed.items():
            rows[name] = min(rows[name], best_per_item(run, count, 1))
        if args.baseline:
            old_results, seconds = baseline(args.baseline, serialised, 1, args.rounds)
            assert old_results == results, "the baseline's result() differs"
            old = seconds if old is None else min(old, seconds)
    if old is not None:
        rows["result() (baseline)"] = old
    try:
        from datasketches import hll_sketch, tgt_hll_type
    except ImportError:
        hll_sketch = None
    if hll_sketch is not None:
        peers = []
        for values in columns[:4]:
            peer = hll_sketch(PRECISION, tgt_hll_type.HLL_8)
            update = peer.update
            for value in values.tolist():
                update(value)
            peers.append(peer)
        peer_rounds = args.rounds * len(sketches) // len(peers)

        def loop_peer():
            for _ in range(peer_rounds):
                for p in peers:
                    p.get_estimate()

        rows["datasketches get_estimate()"] = best_per_item(loop_peer, peer_rounds * len(peers), args.repeats)

    print(f"{len(sketches)} normal sketches at p = {PRECISION}, 50,000 .. 1,000,000 values each; "
          f"best of {args.repeats}, per sketch")
    for name, seconds in rows.items():
        line = f"  {name:32s} {seconds * 1e6:8.3f} us"
        if old is not None and name != "result() (baseline)":
            line += f"   {old / seconds:6.1f}x faster than the baseline result()"
        print(line)
    if old is None:
        print("  (pass --baseline DIR for the ratios against an older build's result(); target >= 6x)")
    else:
        for name in ("result() (this build)", "_native.estimates, threads=1"):
            ratio = old / rows[name]
            print(f"  {name}: {ratio:.1f}x, target >= 6x: {'ok' if ratio >= 6 else 'BELOW TARGET'}")


if __name__ == "__main__":
    main()
