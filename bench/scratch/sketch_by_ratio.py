"""Scratch: sketch_by p15 with an int key and a string key over the same
groups (the tables of bench/groups_bench.py), interleaved, best of --repeat:
less at the mercy of a shared machine than one pass of the full benchmark."""

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from groups_bench import make_table  # noqa: E402

import vantorelle  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--threads", type=int, default=2)
parser.add_argument("--repeat", type=int, default=15)
parser.add_argument("--groups", type=int, nargs="*", default=[14, 10_000, 200_000])
args = parser.parse_args()
for groups in args.groups:
    tables = {key: make_table(2_000_000, groups, key) for key in ("int", "string")}
    best = {key: float("inf") for key in tables}
    for _ in range(args.repeat):
        for key, table in tables.items():
            start = time.perf_counter()
            vantorelle.sketch_by(table, ["g"], "v", threads=args.threads)
            best[key] = min(best[key], time.perf_counter() - start)
    print(f"{groups:>9,} groups: int {best['int'] * 1e3:6.1f} ms, string {best['string'] * 1e3:6.1f} ms, "
          f"ratio {best['string'] / best['int']:.2f}")
