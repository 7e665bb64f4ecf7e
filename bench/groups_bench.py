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

Run: .venv/bin/python bench/groups_bench.py [--rows N] [--threads N] [--repeat N] [--docs]
(`make docs` runs it with --docs after bench/compare.py: a section of
docs/benchmarks.md and docs/groups.png).
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import subprocess
import sys
import time
from pathlib import Path

GROUP_COUNTS = (14, 10_000, 200_000)
DISTINCT_VALUES = 1_000_000
TARGET_BYTES_PER_ROW = 16
TARGET_EXACT_RATIO = 3.0
DOCS = Path(__file__).resolve().parent.parent / "docs"


def make_table(rows: int, groups: int, seed: int = 1):
    import numpy as np
    import pyarrow as pa

    rng = np.random.default_rng(seed)
    # Every group present, sizes uneven (a few large groups, many small ones).
    keys = np.concatenate([np.arange(groups), rng.zipf(1.2, rows - groups) % groups])
    rng.shuffle(keys)
    values = rng.integers(0, DISTINCT_VALUES, rows)
    return pa.table({"g": keys.astype(np.int64), "v": values.astype(np.int64)})


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


def run(args) -> list[dict]:
    """Every method at every group count: times, memory per row, errors."""
    import numpy as np

    import vantorelle

    results = []
    for groups in args.groups:
        table = make_table(args.rows, groups)
        runs = methods(table, args.threads)
        times, outputs = {}, {}
        for name, method in runs.items():
            times[name], outputs[name] = best(args.repeat, method)
        exact = outputs["polars n_unique"].sort("g")["v"].to_numpy()
        sketches = outputs["vantorelle sketch_by"]
        estimates = vantorelle.estimates(sketches.column("sketch")).to_numpy()
        order = np.argsort(sketches.column("g").to_numpy())
        errors = np.abs(estimates[order] - exact) / exact
        memory = measure_memory(args.rows, groups, args.threads)
        results.append({
            "groups": groups,
            "times": times,
            "peak": memory["peak"],
            "output": memory["output"],
            "bytes_per_row": (memory["peak"] - memory["output"]) / args.rows,
            "mean_error": float(errors.mean()),
            "max_error": float(errors.max()),
        })
    return results


def report(results: list[dict]) -> None:
    for result in results:
        times = result["times"]
        ours = times[OURS]
        fastest_approx = min(times[name] for name in APPROXIMATE)
        exact_ratio = times["polars n_unique"] / ours
        per_row = result["bytes_per_row"]
        print(f"\n{result['groups']:,} groups")
        for name, seconds in times.items():
            print(f"  {name:30s} {seconds * 1e3:9.1f} ms   {seconds / ours:6.2f}x vantorelle's time")
        print(f"  fastest approximate peer / vantorelle: {fastest_approx / ours:.2f}x "
              f"(target > 1: {'met' if fastest_approx > ours else 'missed'})")
        print(f"  polars n_unique / vantorelle:          {exact_ratio:.2f}x "
              f"(target >= {TARGET_EXACT_RATIO:g}: "
              f"{'met' if exact_ratio >= TARGET_EXACT_RATIO else 'missed'})")
        print(f"  memory beyond the output: {per_row:.1f} bytes per row (peak "
              f"{result['peak'] / 2**20:.1f} MiB, output {result['output'] / 2**20:.1f} MiB; "
              f"target <= {TARGET_BYTES_PER_ROW}: "
              f"{'met' if per_row <= TARGET_BYTES_PER_ROW else 'missed'})")
        print(f"  estimate error per group: mean {result['mean_error']:.3%}, "
              f"max {result['max_error']:.3%}")
    print()
    print("\n".join(table_lines(results)))


OURS = "vantorelle sketch_by"


def table_lines(results: list[dict]) -> list[str]:
    names = list(results[0]["times"])
    lines = ["| groups | " + " | ".join(names) + " | memory beyond the output |",
             "|---:" * (len(names) + 2) + "|"]
    for result in results:
        times = result["times"]
        ours = times[OURS]
        cells = [f"{times[name] * 1e3:,.0f} ms" + ("" if name == OURS else f" ({times[name] / ours:.2g}×)")
                 for name in names]
        lines.append(f"| {result['groups']:,} | " + " | ".join(cells)
                     + f" | {result['bytes_per_row']:.1f} bytes/row |")
    return lines


SECTION = "## Counting per group"


def write_docs(results: list[dict], args, docs: Path, elapsed: float) -> None:
    """Puts the section into docs/benchmarks.md (replacing an earlier one) and
    draws docs/groups.png."""
    page = docs / "benchmarks.md"
    text = page.read_text() if page.exists() else ""
    text = text.split("\n" + SECTION + "\n")[0].rstrip("\n") + "\n"
    lines = [
        "",
        SECTION,
        "",
        f"Generated by `python bench/groups_bench.py --docs` on {datetime.date.today().isoformat()} "
        f"(run time {elapsed / 60:.1f} min). {args.rows:,} rows of int64 values "
        f"({DISTINCT_VALUES:,} possible) grouped by an int64 key, every group present, sizes "
        f"uneven; all methods in one process on the same pyarrow table, {args.threads} thread(s) "
        f"each (polars through `POLARS_MAX_THREADS`, DuckDB through `SET threads`), best of "
        f"{args.repeat}. `vantorelle.sketch_by` returns a stored, mergeable sketch per group; the "
        "peers return one number. In each cell, *(k×)* is the method's time divided by "
        "Vantorelle's: above 1 Vantorelle is faster. Memory: the peak resident memory of one "
        "`sketch_by` call beyond its output, per row, in a fresh process.",
        "",
        *table_lines(results),
        "",
        f"Targets: faster than the fastest approximate peer at every group count, at least "
        f"{TARGET_EXACT_RATIO:g}× faster than polars' exact `n_unique`, at most "
        f"{TARGET_BYTES_PER_ROW} bytes per row beyond the output. Estimate error per group "
        "against the exact counts: "
        + "; ".join(f"{r['groups']:,} groups mean {r['mean_error']:.2%}, max {r['max_error']:.2%}"
                    for r in results) + ".",
        "",
        "![Time per grouped count](groups.png)",
        "",
    ]
    page.write_text(text + "\n".join(lines))
    write_plot(results, docs / "groups.png")


def write_plot(results: list[dict], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    names = list(results[0]["times"])
    figure, axis = plt.subplots(figsize=(11, 5))
    width = 0.8 / len(names)
    positions = np.arange(len(results))
    for index, name in enumerate(names):
        axis.bar(positions + (index - (len(names) - 1) / 2) * width,
                 [r["times"][name] * 1e3 for r in results], width, label=name)
    axis.set_yscale("log")
    axis.set_xticks(positions)
    axis.set_xticklabels([f"{r['groups']:,} groups" for r in results])
    axis.set_ylabel("ms (log scale)")
    axis.grid(True, axis="y", alpha=0.3)
    axis.legend(fontsize=8)
    axis.set_title("Distinct count per group, same process and rows (bench/groups_bench.py); "
                   "lower is better")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--repeat", type=int, default=3, help="runs per method (best time)")
    parser.add_argument("--groups", type=int, nargs="*", default=list(GROUP_COUNTS))
    parser.add_argument("--docs", nargs="?", type=Path, const=DOCS,
                        help="also write the section of docs/benchmarks.md and docs/groups.png")
    parser.add_argument("--memory-probe", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    os.environ["POLARS_MAX_THREADS"] = str(args.threads)
    if args.memory_probe is not None:
        memory_probe(args.rows, args.memory_probe, args.threads)
        return
    print(f"{args.rows:,} rows of int64 values ({DISTINCT_VALUES:,} possible), int64 keys, "
          f"{args.threads} thread(s), best of {args.repeat}")
    started = time.perf_counter()
    results = run(args)
    report(results)
    if args.docs is not None:
        write_docs(results, args, args.docs, time.perf_counter() - started)
        print(f"wrote the section of {args.docs / 'benchmarks.md'} and {args.docs / 'groups.png'}")


if __name__ == "__main__":
    main()
