"""Distinct counts per group: vantorelle.sketch_by beside polars, DuckDB and pandas.

2,000,000 rows of int64 values (by default) grouped with 14, 10,000 and
200,000 groups by three keys over the same groups: an int64 key, a string key
("country-<n>") and a two-column int64 key; every method runs in this process
on the same data, best of --repeat rounds that each run every method once in
turn, with the same number of threads where the library takes one (polars
through POLARS_MAX_THREADS, set before it is imported; DuckDB through SET
threads):

  vantorelle.sketch_by        one stored sketch per group, at the default
                              precision (15) and at 14 and 10 for equal-accuracy
                              comparisons with the approximate peers
  polars n_unique             exact count per group
  polars approx_n_unique      approximate count per group
  DuckDB count(DISTINCT v)    exact
  DuckDB approx_count_distinct
  pandas nunique              exact (int key)

The error of every approximate method (mean and largest relative error per
group against the exact counts, int key) is printed beside its time.

Memory: the peak resident memory of sketch_by beyond its output, per input row,
measured in a fresh process for each case (the kernel's allocations are C++,
which tracemalloc cannot see): the high-water mark is reset through
/proc/self/clear_refs right before the call and read from /proc/self/status
after it. Measured at each group count and at 1,000,000 groups on 1 and 2
threads, for the int and the string key.

Targets printed beside the results: string keys within 1.5x the time of int
keys; at precision 10 faster than DuckDB approx_count_distinct, at precision 14
faster than polars approx_n_unique, at the default precision at least 3x
faster than polars' exact n_unique (int and string keys); at most 16 bytes per
row beyond the output at 1,000,000 groups, and 2 threads within 1.25x of 1.

Run: .venv/bin/python bench/groups_bench.py [--rows N] [--threads N] [--repeat N] [--docs]
(`make docs` runs it with --docs after bench/compare.py: a section of
docs/benchmarks.md and docs/groups.png).
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

GROUP_COUNTS = (14, 10_000, 200_000)
MEMORY_GROUPS = 1_000_000
KEYS = ("int", "string", "two-column")
TARGET_STRING_RATIO = 1.5
TARGET_THREAD_MEMORY_RATIO = 1.25
DISTINCT_VALUES = 1_000_000
TARGET_BYTES_PER_ROW = 16
TARGET_EXACT_RATIO = 3.0
DOCS = Path(__file__).resolve().parent.parent / "docs"


def make_table(rows: int, groups: int, key: str = "int", seed: int = 1):
    """The rows with their groups' key as `key` says: g (int64 or
    "country-<n>"), or g_high and g_low (the group's number in two int64s)."""
    import numpy as np
    import pyarrow as pa

    rng = np.random.default_rng(seed)
    # Every group present, sizes uneven (a few large groups, many small ones).
    numbers = np.concatenate([np.arange(groups), rng.zipf(1.2, rows - groups) % groups])
    rng.shuffle(numbers)
    values = pa.array(rng.integers(0, DISTINCT_VALUES, rows).astype(np.int64))
    if key == "int":
        return pa.table({"g": numbers.astype(np.int64), "v": values})
    if key == "string":
        names = pa.array([f"country-{n}" for n in range(groups)])
        return pa.table({"g": names.take(pa.array(numbers)), "v": values})
    return pa.table({"g_high": (numbers // 1000).astype(np.int64), "g_low": (numbers % 1000).astype(np.int64),
                     "v": values})


def key_names(key: str) -> list[str]:
    return ["g_high", "g_low"] if key == "two-column" else ["g"]


def best_of_rounds(repeat: int, runs: dict) -> tuple[dict, dict, dict]:
    """The best time, the last output and the mean CPU time (user + system
    of the whole process, every thread of it) of every run, over `repeat`
    rounds that each time every run once in turn: a slow spell of the
    machine then falls on every method alike, and the ratios of one run hold
    while its speed drifts."""
    times = {name: float("inf") for name in runs}
    cpu = {name: 0.0 for name in runs}
    outputs = {}
    for _ in range(repeat):
        for name, run in runs.items():
            before = resource.getrusage(resource.RUSAGE_SELF)
            start = time.perf_counter()
            outputs[name] = run()
            times[name] = min(times[name], time.perf_counter() - start)
            after = resource.getrusage(resource.RUSAGE_SELF)
            cpu[name] += (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return times, outputs, {name: total / repeat for name, total in cpu.items()}


def methods(tables: dict, threads: int):
    """name -> (key, run) for every method on the tables by key."""
    import duckdb
    import polars as pl

    import vantorelle

    connection = duckdb.connect()
    connection.execute(f"SET threads = {threads}")
    out = {}
    for key, table in tables.items():
        keys = key_names(key)
        for precision in (15, 14, 10):
            if key == "two-column" and precision != 15:
                continue
            out[f"sketch_by p{precision}, {key} key"] = (key, lambda t=table, k=keys, p=precision:
                                                       vantorelle.sketch_by(t, k, "v", normal_precision=p,
                                                                            threads=threads))
        if key == "two-column":
            continue
        frame = pl.from_arrow(table)
        connection.register(f"t_{key}", table)
        out[f"polars n_unique, {key} key"] = (key, lambda f=frame: f.group_by("g").agg(pl.col("v").n_unique()))
        out[f"polars approx_n_unique, {key} key"] = (
            key, lambda f=frame: f.group_by("g").agg(pl.col("v").approx_n_unique()))
        out[f"DuckDB approx_count_distinct, {key} key"] = (
            key, lambda k=key: connection.sql(
                f"SELECT g, approx_count_distinct(v) AS v FROM t_{k} GROUP BY g").to_arrow_table())
        if key == "int":
            pandas_frame = table.to_pandas()
            out["DuckDB count(distinct), int key"] = (key, lambda: connection.sql(
                "SELECT g, count(DISTINCT v) AS v FROM t_int GROUP BY g").to_arrow_table())
            out["pandas nunique, int key"] = (key, lambda f=pandas_frame: f.groupby("g").v.nunique())
    return out


OURS = "sketch_by p15, int key"


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


def memory_probe(rows: int, groups: int, threads: int, key: str) -> None:
    """In a fresh process: prints the peak memory of one sketch_by call beyond
    the memory in use before it, and the size of its output, as JSON."""
    import vantorelle

    table = make_table(rows, groups, key)
    keys = key_names(key)
    vantorelle.sketch_by(table.slice(0, 1000), keys, "v", threads=threads)  # code paged in
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = resident_bytes()
    result = vantorelle.sketch_by(table, keys, "v", threads=threads)
    peak = high_water_bytes()
    print(json.dumps({"peak": peak - before, "output": result.nbytes}))


def measure_memory(rows: int, groups: int, threads: int, key: str = "int") -> dict:
    done = subprocess.run(
        [sys.executable, __file__, "--memory-probe", str(groups), "--rows", str(rows),
         "--threads", str(threads), "--memory-key", key],
        capture_output=True, text=True, check=True,
    )
    memory = json.loads(done.stdout)
    memory["bytes_per_row"] = (memory["peak"] - memory["output"]) / rows
    return memory


def counts_of(name: str, output, key: str):
    """Per group count of an output, ordered by the group's key."""
    import numpy as np
    import pyarrow as pa

    import vantorelle

    if name.startswith("sketch_by"):
        order = np.argsort(output.column("g").to_numpy(zero_copy_only=False))
        return vantorelle.estimates(output.column("sketch")).to_numpy()[order]
    if name.startswith("polars"):
        output = output.to_arrow()
    table = output if isinstance(output, pa.Table) else pa.Table.from_pandas(output.reset_index())
    order = np.argsort(table.column("g").to_numpy(zero_copy_only=False))
    return table.column("v").to_numpy(zero_copy_only=False)[order].astype(float)


def run(args) -> list[dict]:
    """Every method at every group count: times, errors, memory per row."""
    import numpy as np

    results = []
    for groups in args.groups:
        tables = {key: make_table(args.rows, groups, key) for key in KEYS}
        runs = methods(tables, args.threads)
        times, outputs, _ = best_of_rounds(args.repeat, {name: method for name, (_, method) in runs.items()})
        errors = {}
        exact = None
        for name, (key, _) in runs.items():
            if key != "int":
                continue
            counts = counts_of(name, outputs[name], key)
            if name == "polars n_unique, int key":
                exact = counts
            errors[name] = counts
        for name in list(errors):
            relative = np.abs(errors[name] - exact) / exact
            errors[name] = (float(relative.mean()), float(relative.max()))
        memory = measure_memory(args.rows, groups, args.threads)
        results.append({"groups": groups, "times": times, "errors": errors, **memory})
    return results


def run_memory(args) -> dict:
    """Memory per row at 1,000,000 groups: int and string keys, 1 and 2 threads."""
    groups = min(MEMORY_GROUPS, args.rows // 2)
    memory: dict = {"groups": groups}
    for key in ("int", "string"):
        for threads in (1, 2):
            memory[(key, threads)] = measure_memory(args.rows, groups, threads, key)
    return memory


def verdict(met: bool) -> str:
    return "met" if met else "missed"


def report(results: list[dict], memory: dict) -> None:
    for result in results:
        times = result["times"]
        print(f"\n{result['groups']:,} groups")
        for name, seconds in times.items():
            error = result["errors"].get(name)
            accuracy = f"   error mean {error[0]:.2%}, max {error[1]:.2%}" if error else ""
            print(f"  {name:42s} {seconds * 1e3:9.1f} ms   {seconds / times[OURS]:6.2f}x int-key time{accuracy}")
        for key in ("string", "two-column"):
            ratio = times[f"sketch_by p15, {key} key"] / times[OURS]
            print(f"  {key} key / int key: {ratio:.2f}x (target <= {TARGET_STRING_RATIO:g}: "
                  f"{verdict(ratio <= TARGET_STRING_RATIO)})")
        for key in ("int", "string"):
            duck = times[f"DuckDB approx_count_distinct, {key} key"] / times[f"sketch_by p10, {key} key"]
            approx = times[f"polars approx_n_unique, {key} key"] / times[f"sketch_by p14, {key} key"]
            exact = times[f"polars n_unique, {key} key"] / times[f"sketch_by p15, {key} key"]
            print(f"  {key} key: DuckDB approx / p10 {duck:.2f}x (target > 1: {verdict(duck > 1)}); "
                  f"polars approx / p14 {approx:.2f}x (target > 1: {verdict(approx > 1)}); "
                  f"polars n_unique / p15 {exact:.2f}x (target >= {TARGET_EXACT_RATIO:g}: "
                  f"{verdict(exact >= TARGET_EXACT_RATIO)})")
        print(f"  memory beyond the output (int key, {result['groups']:,} groups): "
              f"{result['bytes_per_row']:.1f} bytes per row")
    print(f"\nmemory beyond the output at {memory['groups']:,} groups:")
    for key in ("int", "string"):
        one, two = memory[(key, 1)]["bytes_per_row"], memory[(key, 2)]["bytes_per_row"]
        print(f"  {key} key: 1 thread {one:.1f} bytes/row, 2 threads {two:.1f} bytes/row "
              f"(target <= {TARGET_BYTES_PER_ROW}: {verdict(max(one, two) <= TARGET_BYTES_PER_ROW)}; "
              f"2 / 1 threads {two / one:.2f}x, target <= {TARGET_THREAD_MEMORY_RATIO:g}: "
              f"{verdict(two / one <= TARGET_THREAD_MEMORY_RATIO)})")
    print()
    print("\n".join(table_lines(results)))


def table_lines(results: list[dict]) -> list[str]:
    names = list(results[0]["times"])
    # The error beside each time: at the fewest groups, whose groups are the
    # largest (with many small groups every method is nearly exact).
    lines = ["| method | " + " | ".join(f"{r['groups']:,} groups" for r in results)
             + f" | error at {results[0]['groups']:,} groups (mean, int key) |",
             "|---" + "|---:" * (len(results) + 1) + "|"]
    for name in names:
        cells = [f"{r['times'][name] * 1e3:,.0f} ms" for r in results]
        error = results[0]["errors"].get(name)
        lines.append(f"| {name} | " + " | ".join(cells) + f" | {f'{error[0]:.2%}' if error else ''} |")
    lines.append("| memory beyond the output | "
                 + " | ".join(f"{r['bytes_per_row']:.1f} bytes/row" for r in results) + " | |")
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
        f"({DISTINCT_VALUES:,} possible) grouped by an int64 key, a string key and a two-column "
        f"key over the same groups, every group present, sizes uneven; all methods in one process on the same pyarrow table, {args.threads} thread(s) "
        f"each (polars through `POLARS_MAX_THREADS`, DuckDB through `SET threads`), best of "
        f"{args.repeat} rounds that each run every method once in turn. `vantorelle.sketch_by` returns a stored, mergeable sketch per group; the "
        "peers return one number. Memory: the peak resident memory of one "
        "`sketch_by` call beyond its output, per row, in a fresh process.",
        "",
        *table_lines(results),
        "",
        f"Targets: string keys within {TARGET_STRING_RATIO:g}× of int keys; at precision 10 faster "
        f"than DuckDB's approx_count_distinct, at 14 faster than polars' approx_n_unique, at the "
        f"default at least {TARGET_EXACT_RATIO:g}× faster than polars' exact `n_unique`; at most "
        f"{TARGET_BYTES_PER_ROW} bytes per row beyond the output at {MEMORY_GROUPS:,} groups. "
        "Errors: mean relative error per group against the exact counts at the fewest groups.",
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
    parser.add_argument("--memory-key", default="int", help=argparse.SUPPRESS)
    args = parser.parse_args()
    os.environ["POLARS_MAX_THREADS"] = str(args.threads)
    if args.memory_probe is not None:
        memory_probe(args.rows, args.memory_probe, args.threads, args.memory_key)
        return
    print(f"{args.rows:,} rows of int64 values ({DISTINCT_VALUES:,} possible), int64, string and "
          f"two-column keys, {args.threads} thread(s), best of {args.repeat}")
    started = time.perf_counter()
    results = run(args)
    memory = run_memory(args)
    report(results, memory)
    if args.docs is not None:
        write_docs(results, args, args.docs, time.perf_counter() - started)
        print(f"wrote the section of {args.docs / 'benchmarks.md'} and {args.docs / 'groups.png'}")


if __name__ == "__main__":
    main()
