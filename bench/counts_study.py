"""Two sections of docs/accuracy.md, called by accuracy.py:

  * the coverage grid of the bounds: every precision 10 .. 18, n from 1 to
    10^7, sparse sketches (real streams, as `sketch_by` builds them: one group
    a stream) and dense ones (the registers of an ideal hash drawn exactly, as
    estimator_study.simulated_registers draws them), coverage of the bounds
    of `estimates(..., bounds=c)` at 68 / 95 / 99 %;
  * count_by against estimates(sketch_by(...)) on the same groups: mean and
    RMS relative error per n at p = 12 and 15 (default sparse precision 20).

Each row takes `streams` streams, fewer where n x streams passes `budget`
values (the row says how many).
"""

from __future__ import annotations

import json
import math
import time
from pathlib import Path

import numpy as np
import pyarrow as pa

import vantorelle
from vantorelle import _native
from estimator_study import simulated_registers

CONFIDENCES = (0.68, 0.95, 0.99)
GRID_PRECISIONS = tuple(range(10, 19))
SEED = 20261209


def sizes_up_to(max_n: int) -> list[int]:
    """Three sizes a decade from 1."""
    return sorted({int(round(10 ** (i / 3))) for i in range(int(round(math.log10(max_n) * 3)) + 1)})


def grouped_streams(rng: np.random.Generator, n: int, streams: int) -> pa.Table:
    """`streams` groups of n distinct random 64-bit integers each."""
    return pa.table({
        "k": np.repeat(np.arange(streams), n),
        "v": rng.integers(-(1 << 63), (1 << 63) - 1, n * streams, dtype=np.int64, endpoint=True),
    })


def coverage(column, n: int) -> tuple[list[float], float]:
    """Coverage at each confidence, and the spread of the ml estimate over the
    mean std_error (1.0: the reported error is the measured one)."""
    out = []
    for confidence in CONFIDENCES:
        _, lower, upper = _native.estimates(column, 2, 2, confidence)
        lower, upper = np.frombuffer(lower, np.int64), np.frombuffer(upper, np.int64)
        out.append(float(np.mean((lower <= n) & (n <= upper))))
    estimates = np.frombuffer(_native.estimates(column, 2, 2), np.int64)
    errors = [vantorelle.std_error(sketch) for sketch in column]
    mean_error = float(np.mean(errors))
    ratio = float(np.std(estimates) / mean_error) if mean_error > 0 else float("nan")
    return out, ratio


def coverage_grid(max_n: int, streams: int, budget: int, log, precisions=GRID_PRECISIONS, record=None) -> list[dict]:
    """The rows; each is also passed to `record` as it is measured."""
    rows = []
    record = record or (lambda row: None)
    for p in precisions:
        m = 1 << p
        sparse_limit = 3 * m // 4  # a sparse sketch of (p, p + 5) turns normal near here
        for index, n in enumerate(sizes_up_to(max_n)):
            rng = np.random.default_rng((SEED, p, index))
            count = max(10, min(streams, budget // max(n, 1)))
            started = time.perf_counter()
            if n <= sparse_limit:
                table = grouped_streams(rng, n, count)
                column = vantorelle.sketch_by(table, "k", "v", None, p, min(p + 5, 25))["sketch"].to_pylist()
                covered, ratio = coverage(column, n)
                rows.append(dict(p=p, n=n, form="sparse", streams=count, coverage=covered, ratio=ratio))
                record(rows[-1])
            if n >= m // 4:
                dense_count = max(10, min(streams, budget // m))
                column = [_native.sketch_from_registers(simulated_registers(rng, n, p).tobytes(), p, min(p + 5, 25))
                          for _ in range(dense_count)]
                covered, ratio = coverage(column, n)
                rows.append(dict(p=p, n=n, form="dense", streams=dense_count, coverage=covered, ratio=ratio))
                record(rows[-1])
            log(f"coverage grid p = {p}, n = {n:>10,}: {time.perf_counter() - started:6.1f} s")
    return rows


def count_by_study(max_n: int, streams: int, budget: int, log, record=None) -> dict:
    """(p, n) -> {"count_by": errors, "sketch_by": errors, "streams": k}; each
    row is also passed to `record` as it is measured."""
    results = {}
    record = record or (lambda key, row: None)
    for p in (12, 15):
        for index, n in enumerate(sizes_up_to(max_n)):
            count = max(10, min(streams, budget // max(n, 1)))
            rng = np.random.default_rng((SEED, 100 + p, index))
            started = time.perf_counter()
            table = grouped_streams(rng, n, count)
            counted = vantorelle.count_by(table, "k", "v", None, p, 20)["count"].to_numpy() / n - 1
            sketched = vantorelle.estimates(vantorelle.sketch_by(table, "k", "v", None, p, 20)["sketch"]).to_numpy() / n - 1
            results[(p, n)] = {"count_by": counted, "sketch_by": sketched, "streams": count}
            record((p, n), results[(p, n)])
            log(f"count_by p = {p}, n = {n:>10,}: {time.perf_counter() - started:6.1f} s")
    return results


def percent(value: float) -> str:
    return f"{value * 100:.1f}"


def coverage_section(rows: list[dict], streams: int, budget: int) -> list[str]:
    lines = [
        "## Coverage of the bounds over the whole grid",
        "",
        f"`estimates(column, bounds=c)` (the same intervals as `bounds`, `std_error` and the command's "
        f"`--bounds`) on {streams:,} independent streams a row where n × streams ≤ {budget:,} values, "
        "fewer beyond (the streams column). *sparse*: real streams of n random 64-bit integers, one "
        "group each of `sketch_by` at (p, p + 5), while the sketch stays sparse; *dense*: the "
        "registers of an ideal 64-bit hash for n distinct values drawn exactly (a multinomial split over "
        "the registers, each the maximum of its share's ranks), from n = m/4 up. Binomial noise on a "
        "coverage from 1,000 streams: ±1.5 points (one standard error) at 68 %, ±0.7 at 95 %, ±0.3 at 99 %. "
        "*se ratio*: the spread of the ml estimate over the mean `std_error` (1.00: the reported error "
        "is the measured one).",
        "",
        "| p | n | form | streams | coverage 68 / 95 / 99 % | se ratio | outside ±1.5 points |",
        "|---:|---:|---|---:|---|---:|---|",
    ]
    for row in rows:
        misses = [f"{c:.0%}" for c, hit in zip(CONFIDENCES, row["coverage"]) if abs(hit - c) > 0.015]
        ratio = "–" if math.isnan(row["ratio"]) else f"{row['ratio']:.2f}"
        lines.append(f"| {row['p']} | {row['n']:,} | {row['form']} | {row['streams']} | "
                     f"{' / '.join(percent(c) for c in row['coverage'])} | {ratio} | {', '.join(misses) or '–'} |")
    lines += [
        "",
        "Where a row lies outside ±1.5 points, read it with the rules the intervals follow:",
        "",
        "- While a collision among the sparse indices is unlikely the interval is the exact count, which "
        "holds always (100 % at every confidence): no interval of whole counts can hold 68 % of the time there.",
        "- While few collisions are expected (at most 30), the interval inverts the Poisson tails of the "
        "collision count: it holds at least at the stated confidence, above it at 68 % because the count takes "
        "few values (half-counting the observed value was measured 9 points below at 68 %, worse for a user).",
        "- Beyond, the normal tail with the exact variance (sparse indices, or registers up to m/2 values) and the "
        "maximum-likelihood estimate ± z standard errors (registers beyond) hold at the stated confidence "
        "within the binomial noise.",
        "",
    ]
    return lines


def count_by_section(results: dict) -> list[str]:
    lines = [
        "## count_by: the martingale count per group",
        "",
        "`vantorelle.count_by(table, by, column, None, p, 20)` against `estimates(sketch_by(...))` on the same "
        "groups (one group a stream of n random 64-bit integers). Mean and RMS of the relative error, in percent; "
        "1.04/√m is 1.625 % at p = 12 and 0.575 % at p = 15.",
        "",
        "| p | n | streams | count_by mean | count_by RMS | estimates(sketch_by) mean | estimates(sketch_by) RMS | RMS ratio |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for (p, n), row in sorted(results.items()):
        c, s = row["count_by"], row["sketch_by"]
        rms_c, rms_s = float(np.sqrt(np.mean(c**2))), float(np.sqrt(np.mean(s**2)))
        ratio = f"{rms_c / rms_s:.2f}" if rms_s > 0 else "–"
        lines.append(f"| {p} | {n:,} | {row['streams']} | {c.mean() * 100:+.3f} | {rms_c * 100:.3f} | "
                     f"{s.mean() * 100:+.3f} | {rms_s * 100:.3f} | {ratio} |")
    lines.append("")
    return lines


def write_plots(out, rows: list[dict], results: dict) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(1, 3, figsize=(15, 4.5), sharey=False)
    for axis, (index, confidence) in zip(axes, enumerate(CONFIDENCES)):
        for p in GRID_PRECISIONS:
            for form, marker in (("sparse", "o"), ("dense", "s")):
                chosen = [r for r in rows if r["p"] == p and r["form"] == form]
                if chosen:
                    axis.plot([r["n"] for r in chosen], [r["coverage"][index] * 100 for r in chosen], marker=marker,
                              markersize=3, linewidth=0.8, label=f"p {p} {form}" if index == 0 else None)
        axis.axhspan(confidence * 100 - 1.5, confidence * 100 + 1.5, color="grey", alpha=0.2)
        axis.set_xscale("log")
        axis.set_title(f"coverage at {confidence:.0%}")
        axis.set_xlabel("n")
    axes[0].set_ylabel("observed coverage (%)")
    figure.legend(fontsize=6, ncol=9, loc="lower center")
    figure.tight_layout(rect=(0, 0.08, 1, 1))
    figure.savefig(out / "accuracy_coverage_grid.png", dpi=100)
    plt.close(figure)

    figure, axes = plt.subplots(1, 2, figsize=(12, 4.5))
    for axis, p in zip(axes, (12, 15)):
        keys = sorted(n for (q, n) in results if q == p)
        for name, style in (("count_by", "-o"), ("sketch_by", "--s")):
            axis.plot(keys, [np.sqrt(np.mean(results[(p, n)][name] ** 2)) * 100 for n in keys], style, markersize=3,
                      label="count_by" if name == "count_by" else "estimates(sketch_by)")
        axis.axhline(104 / math.sqrt(1 << p), color="black", linestyle=":", label="1.04/√m")
        axis.axhline(0.85 * 104 / math.sqrt(1 << p), color="grey", linestyle=":", label="0.85 × 1.04/√m")
        axis.set_xscale("log")
        axis.set_title(f"p = {p}, sparse precision 20: RMS relative error")
        axis.set_xlabel("n")
        axis.set_ylabel("RMS relative error (%)")
        axis.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(out / "accuracy_count_by.png", dpi=100)
    plt.close(figure)


def sections(out, rows: list[dict], results: dict, streams: int, budget: int) -> list[str]:
    write_plots(out, rows, results)
    return (coverage_section(rows, streams, budget) + ["![coverage grid](accuracy_coverage_grid.png)", ""]
            + count_by_section(results) + ["![count_by](accuracy_count_by.png)", ""])


def run(out, max_n: int, streams: int, budget: int, log=print) -> list[str]:
    rows = coverage_grid(max_n, streams, budget, log)
    results = count_by_study(max_n, streams, budget, log)
    return sections(out, rows, results, streams, budget)


# Parts of one study run as separate processes (the grid and the count_by
# study side by side), each appending its rows to a JSON-lines file as they
# come; `render` makes the sections from whatever the files hold.


def run_part(part: str, path: Path, max_n: int, streams: int, budget: int, precisions, log=print) -> None:
    with path.open("a") as file:
        def write(entry):
            file.write(json.dumps(entry) + "\n")
            file.flush()

        if part == "grid":
            coverage_grid(max_n, streams, budget, log, precisions, record=lambda row: write({"grid": row}))
        else:
            count_by_study(max_n, streams, budget, log, record=lambda key, row: write(
                {"count_by": {"p": key[0], "n": key[1], "streams": row["streams"],
                              "count_by": row["count_by"].tolist(), "sketch_by": row["sketch_by"].tolist()}}))


def render(out, paths: list[Path], streams: int, budget: int) -> list[str]:
    rows, results = [], {}
    for path in paths:
        for line in path.read_text().splitlines():
            entry = json.loads(line)
            if "grid" in entry:
                rows.append(entry["grid"])
            else:
                row = entry["count_by"]
                results[(row["p"], row["n"])] = {"count_by": np.asarray(row["count_by"]),
                                                 "sketch_by": np.asarray(row["sketch_by"]), "streams": row["streams"]}
    rows.sort(key=lambda row: (row["p"], row["n"], row["form"] != "sparse"))
    return sections(out, rows, results, streams, budget)
