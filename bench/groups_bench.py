"""Distinct counts per group: vantorelle.sketch_by beside polars, DuckDB and pandas.

2,000,000 rows of int64 values (by default) grouped by an int64 key with 14,
10,000 and 200,000 groups; every method runs in this process on the same data,
best of --repeat runs, with the same number of threads where the library takes
one (polars through POLARS_MAX_THREADS, set before it is imported; DuckDB
through SET threads):

  vantorelle.sketch_by        one stored sketch per group (pyarrow Table in and out)
  polars n_unique             exact count per group
  polars approx_n_unique      approximate count per group
  DuckDB count(DISTINCT v)    exact
  DuckDB approx_count_distinct
  pandas nunique              exact

Memory: the peak resident memory of sketch_by beyond its output, per input row,
measured in a fresh process for each group count (the kernel's allocations are
C++, which tracemalloc cannot see): the high-water mark is reset through
/proc/self/clear_refs right before the call and read from /proc/self/status
after it.

Targets printed beside the results: at every group count faster than the
fastest approximate peer and at least 3x faster than polars' exact n_unique;
at most 16 bytes per row beyond the output.

Run: .venv/bin/python bench/groups_bench.py [--rows N] [--threads N] [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

GROUP_COUNTS = (14, 10_000, 200_000)
DISTINCT_VALUES = 1_000_000
TARGET_BYTES_PER_ROW = 16
TARGET_EXACT_RATIO = 3.0


def make_table(rows: int, groups: int, seed: int = 1):
    import numpy as np
    import pyarrow as pa

    rng = np.random.default_rng(seed)
    # Every group present, sizes uneven (a few large groups, many small ones).
    keys = np.concatenate([np.arange(groups), rng.zipf(1.2, rows - groups) % groups])
    rng.shuffle(keys)
    values = rng.integers(0, DISTINCT_VALUES, rows)
    return pa.table({"g": keys.astype(np.int64), "v": values.astype(np.int64)})


def using_stand_in() -> bool:
    from vantorelle import _native

    return not all(hasattr(_native, name) for name in ("sketch_by", "merge_by", "estimates"))


def best(repeat: int, run) -> tuple[float, object]:
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    return min(times), result


def methods(table, threads: int):
    import duckdb
    import polars as pl

    import vantorelle

    frame = pl.from_arrow(table)
    pandas_frame = table.to_pandas()
    connection = duckdb.connect()
    connection.execute(f"SET threads = {threads}")
    connection.register("t", table)
    return {
        "vantorelle sketch_by": lambda: vantorelle.sketch_by(table, "g", "v", threads=threads),
        "polars n_unique": lambda: frame.group_by("g").agg(pl.col("v").n_unique()),
        "polars approx_n_unique": lambda: frame.group_by("g").agg(pl.col("v").approx_n_unique()),
        "DuckDB count(distinct)": lambda: connection.sql(
            "SELECT g, count(DISTINCT v) FROM t GROUP BY g").to_arrow_table(),
        "DuckDB approx_count_distinct": lambda: connection.sql(
            "SELECT g, approx_count_distinct(v) FROM t GROUP BY g").to_arrow_table(),
        "pandas nunique": lambda: pandas_frame.groupby("g").v.nunique(),
    }


APPROXIMATE = ("polars approx_n_unique", "DuckDB approx_count_distinct")


def high_water_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def resident_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def memory_probe(rows: int, groups: int, threads: int) -> None:
    """In a fresh process: prints the peak memory of one sketch_by call beyond
    the memory in use before it, and the size of its output, as JSON."""
    import vantorelle

    table = make_table(rows, groups)
    vantorelle.sketch_by(table.slice(0, 1000), "g", "v", threads=threads)  # code paged in
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = resident_bytes()
    result = vantorelle.sketch_by(table, "g", "v", threads=threads)
    peak = high_water_bytes()
    print(json.dumps({"peak": peak - before, "output": result.nbytes}))


def measure_memory(rows: int, groups: int, threads: int) -> dict:
    done = subprocess.run(
        [sys.executable, __file__, "--memory-probe", str(groups), "--rows", str(rows),
         "--threads", str(threads)],
        capture_output=True, text=True, check=True,
    )
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--repeat", type=int, default=3, help="runs per method (best time)")
    parser.add_argument("--groups", type=int, nargs="*", default=list(GROUP_COUNTS))
    parser.add_argument("--memory-probe", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    os.environ["POLARS_MAX_THREADS"] = str(args.threads)
    if args.memory_probe is not None:
        memory_probe(args.rows, args.memory_probe, args.threads)
        return

    import numpy as np

    import vantorelle

    stand_in = using_stand_in()
    if stand_in:
        print("NOTE: vantorelle._native has no grouped kernel; the development stand-in "
              "(one Python step per group) is in use. These numbers say nothing about the kernel.")
    print(f"{args.rows:,} rows of int64 values ({DISTINCT_VALUES:,} possible), int64 keys, "
          f"{args.threads} thread(s), best of {args.repeat}")
    summary = []
    for groups in args.groups:
        table = make_table(args.rows, groups)
        runs = methods(table, args.threads)
        times, results = {}, {}
        for name, run in runs.items():
            times[name], results[name] = best(args.repeat, run)
        ours = times["vantorelle sketch_by"]
        fastest_approx = min(times[name] for name in APPROXIMATE)
        exact = results["polars n_unique"].sort("g")
        sketches = results["vantorelle sketch_by"]
        estimates = vantorelle.estimates(sketches.column("sketch")).to_numpy()
        order = np.argsort(sketches.column("g").to_numpy())
        truth = exact["v"].to_numpy()
        errors = np.abs(estimates[order] - truth) / truth
        memory = measure_memory(args.rows, groups, args.threads)
        per_row = (memory["peak"] - memory["output"]) / args.rows
        print(f"\n{groups:,} groups")
        for name, seconds in times.items():
            print(f"  {name:30s} {seconds * 1e3:9.1f} ms   {seconds / ours:6.2f}x vantorelle's time")
        approx_ok = ours < fastest_approx
        exact_ok = times["polars n_unique"] / ours >= TARGET_EXACT_RATIO
        memory_ok = per_row <= TARGET_BYTES_PER_ROW
        print(f"  fastest approximate peer / vantorelle: {fastest_approx / ours:.2f}x "
              f"(target > 1: {'met' if approx_ok else 'missed'})")
        print(f"  polars n_unique / vantorelle:          {times['polars n_unique'] / ours:.2f}x "
              f"(target >= {TARGET_EXACT_RATIO:g}: {'met' if exact_ok else 'missed'})")
        print(f"  memory beyond the output: {per_row:.1f} bytes per row (peak "
              f"{memory['peak'] / 2**20:.1f} MiB, output {memory['output'] / 2**20:.1f} MiB; "
              f"target <= {TARGET_BYTES_PER_ROW}: {'met' if memory_ok else 'missed'})")
        print(f"  estimate error per group: mean {errors.mean():.3%}, max {errors.max():.3%}")
        summary.append((groups, times, per_row))

    print("\n| groups | " + " | ".join(summary[0][1]) + " | bytes/row beyond output |")
    print("|---" * (len(summary[0][1]) + 2) + "|")
    for groups, times, per_row in summary:
        ours = times["vantorelle sketch_by"]
        cells = [f"{times[name] * 1e3:,.0f} ms" + ("" if name == "vantorelle sketch_by"
                                                    else f" ({times[name] / ours:.1f}x)")
                 for name in times]
        print(f"| {groups:,} | " + " | ".join(cells) + f" | {per_row:.1f} |")
    if stand_in:
        print("\n(stand-in in use: do not publish these numbers)")


if __name__ == "__main__":
    main()
