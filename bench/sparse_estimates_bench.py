#!/usr/bin/env python3
"""`vantorelle.estimates` of a column of 200,000 small sparse sketches, as
`sketch_by` makes them from 2,000,000 int64 rows over 200,000 groups
(default precisions, about ten values a sketch), in one run:

  * this build, threads=None (every core) and threads=1, and with
    method="ml" and bounds=0.95 (threads=1);
  * with --baseline DIR (a directory holding an older build of the package,
    e.g. `pip install --target DIR` of main before the sparse decode was
    reworked): the same calls through that build's `_native` module, loaded
    into this process beside ours, and the ratios. The package's Python
    wrapper is this build's on both sides; only the native column path
    differs.

Target: threads=1 at least 5x faster than the baseline. The figure measured
on main before the rework, on the 2-core development machine, is printed
too (RECORDED_MAIN_MS); timings there vary with the load of the machine,
so the ratio from one run is the figure to read.

Every estimate (and bound) of both builds is compared before anything is
timed; each figure is the best of several repetitions, the builds
alternating within each. Run after `make install`:
    .venv/bin/python bench/sparse_estimates_bench.py [--baseline DIR]
"""

from __future__ import annotations

import argparse
import glob
import importlib.machinery
import importlib.util
import os
import sys
import time
import types

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

import vantorelle
from vantorelle import _grouped, _native

ROWS = 2_000_000
GROUPS = 200_000
# vantorelle.estimates(column, threads=1) on main (bac94db), best of 7.
RECORDED_MAIN_MS = 58.0


def load_baseline_native(directory: str) -> types.ModuleType:
    """The older build's vantorelle._native, as a module of a package of
    another name, so that both builds live in one process."""
    paths = glob.glob(os.path.join(directory, "vantorelle", "_native.*.so"))
    if not paths:
        sys.exit(f"no vantorelle/_native.*.so under {directory}")
    package = types.ModuleType("vantorelle_baseline")
    package.__path__ = []
    sys.modules["vantorelle_baseline"] = package
    name = "vantorelle_baseline._native"
    loader = importlib.machinery.ExtensionFileLoader(name, paths[0])
    spec = importlib.util.spec_from_file_location(name, paths[0], loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def through(native: types.ModuleType, call):
    """`call()` with the package's estimates going through `native`."""
    saved = _grouped._native
    _grouped._native = native
    try:
        return call()
    finally:
        _grouped._native = saved


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", metavar="DIR", help="site directory of an older build of the package")
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    table = pa.table({"k": rng.integers(0, GROUPS, ROWS), "v": rng.integers(-(2**62), 2**62, ROWS)})
    column = vantorelle.sketch_by(table, "k", "v").column("sketch")
    sizes = pc.binary_length(column).to_numpy()

    calls = {
        "threads=None": lambda: vantorelle.estimates(column),
        "threads=1": lambda: vantorelle.estimates(column, threads=1),
        'method="ml", threads=1': lambda: vantorelle.estimates(column, method="ml", threads=1),
        "bounds=0.95, threads=1": lambda: vantorelle.estimates(column, bounds=0.95, threads=1),
    }
    builds = {"this build": _native}
    if args.baseline:
        builds["baseline"] = load_baseline_native(args.baseline)
        for name, call in calls.items():
            assert through(builds["baseline"], call).equals(call()), f"{name}: the builds differ"

    best = {(build, name): float("inf") for build in builds for name in calls}
    for _ in range(args.repeats):
        for name, call in calls.items():
            for build, native in builds.items():
                start = time.perf_counter()
                through(native, call)
                best[build, name] = min(best[build, name], time.perf_counter() - start)

    print(f"{len(column):,} sparse sketches (sketch_by of {ROWS:,} int64 rows over {GROUPS:,} groups, "
          f"p = 15, sp = 20), {sizes.mean():.1f} bytes each on average; best of {args.repeats}")
    for name in calls:
        ours = best["this build", name]
        line = f"  {name:24s} {ours * 1e3:8.2f} ms {ours / len(column) * 1e9:6.0f} ns/sketch"
        if args.baseline:
            old = best["baseline", name]
            line += f"   baseline {old * 1e3:8.2f} ms   {old / ours:5.1f}x faster"
        print(line)
    ours = best["this build", "threads=1"]
    print(f"  recorded on main before the rework: {RECORDED_MAIN_MS:.0f} ms (threads=1); "
          f"this run's threads=1 against it: {RECORDED_MAIN_MS / 1e3 / ours:.1f}x")
    if args.baseline:
        ratio = best["baseline", "threads=1"] / ours
        print(f"  threads=1 against the baseline in this run: {ratio:.1f}x, target >= 5x: "
              f"{'ok' if ratio >= 5 else 'BELOW TARGET'}")
    else:
        print("  (pass --baseline DIR for the ratios against an older build in this run)")


if __name__ == "__main__":
    main()
