"""Distinct counts per group in DuckDB SQL: vantorelle's extension beside
DuckDB's own count(DISTINCT) and approx_count_distinct, and the list() route
of the earlier Python functions.

The data of bench/groups_bench.py (2,000,000 rows by default, int64 values
out of 1,000,000, an int64 key with 14, 10,000 and 200,000 groups of uneven
sizes), stored in a DuckDB table of one in-memory database; every query runs
there, with SET threads, one run each (--repeat for the best of more, in
rounds that run every query once in turn),
timed by the wall clock and by the process's CPU time:

  vantorelle_sketch(v) + estimate       precision 15 (0.57 % error)
  vantorelle_sketch(v, 10) + estimate   precision 10: DuckDB's accuracy
  count(DISTINCT v)                     exact
  approx_count_distinct(v)              DuckDB's HyperLogLog of 2^10 registers
                                        (about 3.3 % error; no precision to choose)
  list() route                          vantorelle_estimate of an Arrow UDF over
                                        list(v): what vantorelle.duckdb.register()
                                        offered before the extension
  count(v)                              no distinct count at all: what DuckDB's
                                        scan and grouping cost, the floor under
                                        every aggregate here

Targets printed beside the results: vantorelle_sketch(v) at least 3x faster
than count(DISTINCT v), and vantorelle_sketch(v, 10) faster than
approx_count_distinct, at every group count.

Run: .venv/bin/python bench/duckdb_bench.py [--rows N] [--threads N] [--repeat N]
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from groups_bench import GROUP_COUNTS, best_of_rounds, make_table  # noqa: E402

TARGET_EXACT_RATIO = 3.0

QUERIES = {
    "vantorelle_sketch(v)": "SELECT g, vantorelle_estimate(vantorelle_sketch(v)) FROM t GROUP BY g",
    "vantorelle_sketch(v, 10)": "SELECT g, vantorelle_estimate(vantorelle_sketch(v, 10)) FROM t GROUP BY g",
    "count(DISTINCT v)": "SELECT g, count(DISTINCT v) FROM t GROUP BY g",
    "approx_count_distinct(v)": "SELECT g, approx_count_distinct(v) FROM t GROUP BY g",
    "list() route": "SELECT g, vantorelle_estimate(list_route_sketch(list(v))) FROM t GROUP BY g",
    "count(v)": "SELECT g, count(v) FROM t GROUP BY g",
}


def add_list_route(connection) -> None:
    """The Arrow UDF of the earlier vantorelle.duckdb.register(): each group's
    list handed to the native list kernel."""
    import duckdb
    import pyarrow as pa
    from duckdb import sqltypes
    from duckdb.func import PythonUDFType

    from vantorelle import _native

    def sketch_lists(lists):
        if isinstance(lists, pa.ChunkedArray):
            lists = lists.combine_chunks()
        return pa.array(_native.sketch_lists(lists, None, 15, 20, 1)).cast(pa.binary())

    connection.create_function("list_route_sketch", sketch_lists, [duckdb.list_type(sqltypes.BIGINT)],
                               sqltypes.BLOB, type=PythonUDFType.ARROW)


def run(args) -> list[dict]:
    import vantorelle.duckdb as vdb

    results = []
    for groups in args.groups:
        table = make_table(args.rows, groups)
        with vdb.connect(threads=args.threads) as connection:
            add_list_route(connection)
            connection.register("arrow_input", table)
            connection.execute("CREATE TABLE t AS SELECT * FROM arrow_input")
            connection.unregister("arrow_input")
            times, rows, cpu = best_of_rounds(
                args.repeat,
                {name: lambda query=query: connection.execute(query).fetchall() for name, query in QUERIES.items()})
            answers = {name: dict(found) for name, found in rows.items()}
            # The sketches' estimates stay close to the exact counts (a check
            # that the timed queries counted the same thing).
            exact = answers["count(DISTINCT v)"]
            worst = max(abs(answers["vantorelle_sketch(v)"][g] - n) / n for g, n in exact.items())
            assert answers["list() route"] == answers["vantorelle_sketch(v)"]
            results.append({"groups": groups, "times": times, "cpu": cpu, "worst_error": worst})
    return results


def report(results: list[dict], args) -> None:
    print(f"{args.rows:,} rows, {args.threads} threads, best of {args.repeat}\n")
    names = list(QUERIES)
    print(f"{'groups':>8}  " + "  ".join(f"{name:>26}" for name in names))
    for result in results:
        times = result["times"]
        print(f"{result['groups']:>8,}  " + "  ".join(f"{times[n] * 1e3:>23.0f} ms" for n in names))
    print()
    # What is left of each query once DuckDB's own scan and grouping
    # (count(v)) are taken away: the aggregates' own work.
    print(f"{'groups':>8}  " + "  ".join(f"{name + ' - count(v)':>36}" for name in names[:4]))
    for result in results:
        times = result["times"]
        print(f"{result['groups']:>8,}  " + "  ".join(
            f"{(times[n] - times['count(v)']) * 1e3:>33.0f} ms" for n in names[:4]))
    print()
    # CPU time is steadier than wall time on a shared machine, and shows
    # what a query costs beyond DuckDB's own work whatever the other cores
    # are doing.
    print("CPU time (user + sys, all threads) of one run, mean of the runs")
    print(f"{'groups':>8}  " + "  ".join(f"{name:>26}" for name in names))
    for result in results:
        cpu = result["cpu"]
        print(f"{result['groups']:>8,}  " + "  ".join(f"{cpu[n] * 1e3:>23.0f} ms" for n in names))
    print()
    print(f"{'groups':>8}  {'count(DISTINCT)/sketch':>24}  {'approx/sketch(p10)':>20}  "
          f"{'approx/sketch':>14}  {'list route/sketch':>18}  targets")
    for result in results:
        times = result["times"]
        exact = times["count(DISTINCT v)"] / times["vantorelle_sketch(v)"]
        at_10 = times["approx_count_distinct(v)"] / times["vantorelle_sketch(v, 10)"]
        at_15 = times["approx_count_distinct(v)"] / times["vantorelle_sketch(v)"]
        listed = times["list() route"] / times["vantorelle_sketch(v)"]
        met = exact >= TARGET_EXACT_RATIO and at_10 > 1.0
        print(f"{result['groups']:>8,}  {exact:>23.2f}x  {at_10:>19.2f}x  {at_15:>13.2f}x  "
              f"{listed:>17.2f}x  {'met' if met else 'MISSED'}")
    print()
    print("the same ratios of CPU time")
    print(f"{'groups':>8}  {'count(DISTINCT)/sketch':>24}  {'approx/sketch(p10)':>20}  "
          f"{'approx/sketch':>14}  {'list route/sketch':>18}")
    for result in results:
        cpu = result["cpu"]
        print(f"{result['groups']:>8,}  {cpu['count(DISTINCT v)'] / cpu['vantorelle_sketch(v)']:>23.2f}x  "
              f"{cpu['approx_count_distinct(v)'] / cpu['vantorelle_sketch(v, 10)']:>19.2f}x  "
              f"{cpu['approx_count_distinct(v)'] / cpu['vantorelle_sketch(v)']:>13.2f}x  "
              f"{cpu['list() route'] / cpu['vantorelle_sketch(v)']:>17.2f}x")
    print("\n(ratios above 1: vantorelle_sketch is faster; worst relative error of the "
          "p=15 estimates: " + ", ".join(f"{r['worst_error']:.2%}" for r in results) + ")")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--groups", type=int, nargs="*", default=list(GROUP_COUNTS))
    args = parser.parse_args()
    report(run(args), args)


if __name__ == "__main__":
    main()
