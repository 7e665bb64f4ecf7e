#!/usr/bin/env python3
"""Vantorelle against peer distinct-count libraries, in one process, on the same values.

Peers: Apache DataSketches (`datasketches`, HLL_4 and HLL_8 at lg_k 15),
`datasketch` (HyperLogLogPlusPlus, p 15), `HLL` (p 15), and Python's `set` as
the exact baseline. Measured: time per value for ints, short strings and bytes
through the per-value call and through the column path; result(); merge of two
sketches; serialise and deserialise; serialized size; memory per sketch.

Writes benchmarks.md and benchmarks.png to --out (docs/ by default). Run after
`make install` with the development requirements installed:

    .venv/bin/python bench/compare.py           # or: make docs
    .venv/bin/python bench/compare.py --quick --out /tmp/bench   # smoke run
"""

from __future__ import annotations

import argparse
import collections
import ctypes
import gc
import itertools
import math
import os
import operator
import pickle
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

import numpy as np
import pyarrow as pa

import vantorelle
from vantorelle_py import HyperLogLogPlusPlus

sys.path.insert(0, str(Path(__file__).resolve().parent))
import _report  # noqa: E402

try:
    import datasketch
    import datasketches
    import HLL
except ImportError as error:  # pragma: no cover - exercised only without the peers
    sys.exit(f"compare.py needs the peer libraries of requirements-dev.txt: {error}")

SEED = 20240602
LG = 15
SMALL = 1_000  # the "small sketch" size for the size and memory rows
to_8_bytes = operator.methodcaller("to_bytes", 8, "little", signed=True)


def drain(iterator) -> None:
    collections.deque(iterator, maxlen=0)


# ---------------------------------------------------------------------------
# The libraries, each behind the same small surface.
# ---------------------------------------------------------------------------


@dataclass
class Library:
    key: str
    label: str
    make: Callable[[str], Any]  # kind ("int", "str", "bytes") -> empty sketch
    # kind -> (sketch, list of values) -> None, the per-value loop; None: not supported.
    feed: dict[str, Callable[[Any, list], None] | None]
    result: Callable[[Any], Any]
    merge: Callable[[Any, Any], Any]
    dumps: Callable[[Any], bytes]
    loads: Callable[[bytes], Any]
    notes: list[str] = field(default_factory=list)


def vantorelle_library() -> Library:
    types = {"int": int, "str": str, "bytes": bytes}

    def feed(sketch, values):
        drain(map(sketch.add, values))

    return Library(
        "vantorelle", "Vantorelle (15, 20)",
        make=lambda kind: HyperLogLogPlusPlus(types[kind], LG, 20),
        feed={"int": feed, "str": feed, "bytes": feed},
        result=lambda sketch: sketch.result(),
        merge=lambda left, right: left.merge(right),
        dumps=lambda sketch: sketch.to_bytes(),
        loads=HyperLogLogPlusPlus.from_bytes,
    )


def datasketches_library(target, name: str) -> Library:
    def feed(sketch, values):
        drain(map(sketch.update, values))

    def merge(left, right):
        union = datasketches.hll_union(LG)
        union.update(left)
        union.update(right)
        return union.get_result(target)

    return Library(
        f"ds_{name.lower()}", f"DataSketches {name} lg_k 15",
        make=lambda kind: datasketches.hll_sketch(LG, target),
        feed={"int": feed, "str": feed, "bytes": None},
        result=lambda sketch: sketch.get_estimate(),
        merge=merge,
        dumps=lambda sketch: sketch.serialize_compact(),
        loads=datasketches.hll_sketch.deserialize,
    )


def datasketch_library() -> Library:
    def dumps(sketch):
        buffer = bytearray(sketch.bytesize())
        sketch.serialize(buffer)
        return bytes(buffer)

    return Library(
        "datasketch", "datasketch HLL++ p 15",
        make=lambda kind: datasketch.HyperLogLogPlusPlus(p=LG),
        feed={
            "int": lambda sketch, values: drain(map(sketch.update, map(to_8_bytes, values))),
            "str": lambda sketch, values: drain(map(sketch.update, map(str.encode, values))),
            "bytes": lambda sketch, values: drain(map(sketch.update, values)),
        },
        result=lambda sketch: sketch.count(),
        merge=lambda left, right: left.merge(right),
        dumps=dumps,
        loads=datasketch.HyperLogLogPlusPlus.deserialize,
    )


def hll_library() -> Library:
    def feed(sketch, values):
        drain(map(sketch.add, values))

    return Library(
        "hll", "HLL p 15",
        make=lambda kind: HLL.HyperLogLog(LG),
        feed={
            "int": lambda sketch, values: drain(map(sketch.add, map(to_8_bytes, values))),
            "str": feed,
            "bytes": feed,
        },
        result=lambda sketch: sketch.cardinality(),
        merge=lambda left, right: left.merge(right),
        dumps=pickle.dumps,
        loads=pickle.loads,
    )


def set_library() -> Library:
    def feed(sketch, values):
        drain(map(sketch.add, values))

    return Library(
        "set", "set (exact)",
        make=lambda kind: set(),
        feed={"int": feed, "str": feed, "bytes": feed},
        result=len,
        merge=operator.ior,
        dumps=pickle.dumps,
        loads=pickle.loads,
    )


def libraries() -> list[Library]:
    return [
        vantorelle_library(),
        datasketches_library(datasketches.HLL_4, "HLL_4"),
        datasketches_library(datasketches.HLL_8, "HLL_8"),
        datasketch_library(),
        hll_library(),
        set_library(),
    ]


# ---------------------------------------------------------------------------
# Values. Strings and bytes are made afresh for every repetition: str and bytes
# cache their hash after the first set.add, which would flatter the set later.
# ---------------------------------------------------------------------------


class Values:
    def __init__(self, count: int):
        rng = np.random.default_rng(SEED)
        self.count = count
        self.ints_array = rng.integers(-(1 << 63), (1 << 63) - 1, count, dtype=np.int64, endpoint=True)
        self.ints = self.ints_array.tolist()
        # Distinct short strings ("u" and up to 8 digits), and their UTF-8 bytes.
        self.labels = rng.permutation(10 * count)[:count].tolist()
        self.strs_arrow = pa.array(self.fresh("str"), pa.string())
        self.bytes_arrow = pa.array(self.fresh("bytes"), pa.binary())

    def fresh(self, kind: str) -> list:
        if kind == "int":
            return self.ints
        strings = [f"u{label}" for label in self.labels]
        return strings if kind == "str" else [s.encode() for s in strings]

    def column(self, kind: str):
        return {"int": self.ints_array, "str": self.strs_arrow, "bytes": self.bytes_arrow}[kind]


def best_seconds(repeats: int, prepare: Callable[[], tuple], run: Callable[..., Any]) -> float:
    """Best wall time of `run(*prepare())` over the repetitions, with the collector off as in timeit."""
    best = math.inf
    for _ in range(repeats):
        arguments = prepare()
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            run(*arguments)
            best = min(best, time.perf_counter() - start)
        finally:
            gc.enable()
    return best


# ---------------------------------------------------------------------------
# Measurements. results[row][library key] = value (None: not applicable).
# ---------------------------------------------------------------------------

KINDS = ("int", "str", "bytes")
COLUMN_NAMES = {"int": "numpy int64", "str": "Arrow string", "bytes": "Arrow binary"}


def measure_speed(libs: list[Library], values: Values, repeats: int, slow_count: int) -> dict:
    results: dict = collections.defaultdict(dict)
    for kind in KINDS:
        for lib in libs:
            feed = lib.feed[kind]
            if feed is None:
                results[f"add {kind}"][lib.key] = None
                continue
            # datasketch hashes in Python (SHA-1): a slice of the values is enough for its rate.
            count = slow_count if lib.key == "datasketch" else values.count
            seconds = best_seconds(repeats, lambda: (lib.make(kind), values.fresh(kind)[:count]), feed)
            results[f"add {kind}"][lib.key] = seconds / count * 1e9
        # The column path: Vantorelle reads numpy / Arrow in C++; set.update is
        # the set's own C loop over a list; the peers have only their loop.
        for lib in libs:
            row = f"column {kind} ({COLUMN_NAMES[kind]})"
            list_row = f"column {kind} (Python list)"
            if lib.key == "vantorelle":
                column = values.column(kind)
                py_type = {"int": int, "str": str, "bytes": bytes}[kind]
                seconds = best_seconds(repeats, tuple, lambda: vantorelle.sketch(column, py_type, LG, 20))
                results[row][lib.key] = seconds / values.count * 1e9
                seconds = best_seconds(repeats, lambda: (values.fresh(kind),),
                                       lambda items: vantorelle.sketch(items, py_type, LG, 20))
                results[list_row][lib.key] = seconds / values.count * 1e9
            elif lib.key == "set":
                results[row][lib.key] = None
                seconds = best_seconds(repeats, lambda: (set(), values.fresh(kind)), set.update)
                results[list_row][lib.key] = seconds / values.count * 1e9
            else:
                results[row][lib.key] = results[f"add {kind}"][lib.key]
                results[list_row][lib.key] = results[f"add {kind}"][lib.key]
    return results


def build(lib: Library, items: list):
    sketch = lib.make("int")
    if lib.key == "vantorelle":
        vantorelle.add_all(sketch, items)
    else:
        lib.feed["int"](sketch, items)
    return sketch


def per_call_microseconds(call: Callable[[], Any], budget_seconds: float) -> float:
    """Best time of one call over three rounds, each of as many calls as fill about `budget_seconds`."""
    start = time.perf_counter()
    call()
    once = time.perf_counter() - start
    calls = int(min(1_000, max(3, budget_seconds / max(once, 1e-7))))

    def run():
        for _ in range(calls):
            call()

    return best_seconds(3, tuple, run) / calls * 1e6


def measure_operations(libs: list[Library], values: Values, budget_seconds: float) -> dict:
    """result(), merge, serialise, deserialise on sketches of all the ints; sizes at SMALL and at count."""
    results: dict = collections.defaultdict(dict)
    half = values.count // 2
    fresh_values = itertools.count(1 << 40)
    for lib in libs:
        left = build(lib, values.ints)
        # The right-hand sketch shares half of its values with the left one.
        right = build(lib, values.ints[half:] + [v ^ (1 << 62) for v in values.ints[:half]])
        feed = lib.feed["int"]

        def result_after_add(lib=lib, left=left, feed=feed):
            # One new value before each call, so that no cached estimate is returned.
            feed(left, [next(fresh_values)])
            lib.result(left)

        results["result() after an add"][lib.key] = per_call_microseconds(result_after_add, budget_seconds)
        results["merge of two sketches"][lib.key] = per_call_microseconds(
            lambda lib=lib, left=left, right=right: lib.merge(left, right), budget_seconds)
        payload = lib.dumps(left)
        results["serialise"][lib.key] = per_call_microseconds(lambda lib=lib, left=left: lib.dumps(left),
                                                              budget_seconds)
        results["deserialise"][lib.key] = per_call_microseconds(lambda lib=lib, payload=payload: lib.loads(payload),
                                                                budget_seconds)
        results[f"serialized size, {SMALL:,} values"][lib.key] = len(lib.dumps(build(lib, values.ints[:SMALL])))
        results[f"serialized size, {values.count:,} values"][lib.key] = len(payload)
        del left, right, payload
    return results


MEMORY_PROBE = "--memory-probe"


def memory_probe(lib_key: str, count: int, copies: int) -> None:
    """Child process: bytes of memory per sketch holding `count` ints, printed on stdout."""
    values = Values(count)
    lib = {lib.key: lib for lib in libraries()}[lib_key]
    if lib_key == "set":
        # Python objects: the set's own size (its table) plus its int objects.
        kept = set(values.ints_array.tolist())
        print(sys.getsizeof(kept) + sum(sys.getsizeof(v) for v in kept))
        return
    payload = lib.dumps(build(lib, values.ints))
    gc.collect()
    before = heap_in_use()
    kept = [lib.loads(payload) for _ in range(copies)]
    grown = heap_in_use() - before
    print(grown / len(kept))


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


def heap_in_use() -> int:
    """Bytes the C allocator has handed out and not taken back (glibc mallinfo2)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def measure_memory(libs: list[Library], sizes: list[int], serialized: dict) -> dict:
    results: dict = collections.defaultdict(dict)
    for count, size_row in zip(sizes, (f"serialized size, {SMALL:,} values", f"serialized size, {sizes[1]:,} values")):
        row = f"memory per sketch, {count:,} values"
        for lib in libs:
            copies = int(min(2_000, max(50, 20e6 / max(serialized[size_row][lib.key], 1_000))))
            done = subprocess.run(
                [sys.executable, __file__, MEMORY_PROBE, lib.key, str(count), str(copies)],
                capture_output=True, text=True, check=True, timeout=600)
            results[row][lib.key] = float(done.stdout.strip())
    return results


# ---------------------------------------------------------------------------
# Output.
# ---------------------------------------------------------------------------

UNITS = {
    "add": "ns/value",
    "column": "ns/value",
    "result": "µs/call",
    "merge": "µs/call",
    "serialise": "µs/call",
    "deserialise": "µs/call",
    "serialized": "bytes",
    "memory": "bytes",
}


def unit(row: str) -> str:
    return UNITS[row.split()[0].removesuffix("()")]


def fmt(value: float | None) -> str:
    if value is None:
        return "–"
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def cell(row: dict, key: str, reference: str = "vantorelle") -> str:
    value = row.get(key)
    if value is None:
        return "–"
    text = fmt(value)
    base = row.get(reference)
    if key != reference and base:
        ratio = value / base
        text += f" ({ratio:,.0f}×)" if ratio >= 10 else f" ({ratio:.2g}×)"
    return text


def write_markdown(path: Path, libs: list[Library], rows: dict, values: Values, slow_count: int,
                   repeats: int, load: tuple[float, float], elapsed: float, command: str) -> None:
    lines = _report.header("Speed and memory against peer libraries", command, elapsed)
    lines += [
        f"All libraries run in one process on the same values: {values.count:,} distinct random "
        "64-bit ints; as many distinct short strings (\"u\" and up to 8 digits); the same strings "
        "as UTF-8 bytes. Sketches at 2^15 registers (Vantorelle (15, 20), DataSketches lg_k 15, "
        "datasketch and HLL p 15). Times are the best of "
        f"{repeats} repetitions with the garbage collector off (as `timeit` does), on a machine "
        f"shared with other work (load average {load[0]:.1f} at the start, {load[1]:.1f} at the end), "
        "so expect noise of tens of percent between runs. In each cell, *(k×)* is the library's figure "
        "divided by Vantorelle's in the same row: above 1 Vantorelle is faster or smaller, below 1 "
        "the peer is.",
        "",
        "| | unit | " + " | ".join(lib.label for lib in libs) + " |",
        "|---|---|" + "---:|" * len(libs),
    ]
    for name, row in rows.items():
        lines.append(f"| {name} | {unit(name)} | " + " | ".join(cell(row, lib.key) for lib in libs) + " |")
    lines += [
        "",
        "How each row was measured:",
        "",
        "- **add**: a per-value loop, `collections.deque(map(sketch.add, values), maxlen=0)` (the "
        "fastest way to call a method per value from Python), into an empty sketch. DataSketches "
        "`update` takes int, float and str but not bytes (–). datasketch and HLL hash only byte "
        "strings, so their ints go through `int.to_bytes(8, \"little\", signed=True)` and "
        "datasketch's strs through `str.encode`, inside the timed loop: that is what a caller "
        f"pays. datasketch hashes with SHA-1 in Python; its rate comes from {slow_count:,} values.",
        "- **column**: Vantorelle reads a numpy int64 array, a pyarrow string or binary array, or "
        "a Python list in C++ (`vantorelle.sketch(column, ty)`), building the arrays is not "
        "timed. None of the peers has a batch update for these sketches (DataSketches' HLL "
        "`update` takes one value; HLL's `add_range` only adds consecutive integers), so their "
        "column cells repeat their per-value loop. For `set` the list row is `set.update(list)`, "
        "its own C loop; numpy and Arrow columns do not apply (–).",
        "- **result(), merge, serialise, deserialise**: the best of three rounds, each of as many "
        "calls as fill about 0.2 s, on sketches of all the ints.",
        "- **result() after an add**: one new value added before each call, so that no library "
        "can return a cached estimate; sketches hold all the ints. DataSketches' `get_estimate`, "
        "datasketch's `count`, HLL's `cardinality`, `len` for the set.",
        "- **merge of two sketches**: two sketches of the ints sharing half their values. "
        "Vantorelle `left.merge(right)`, datasketch and HLL `left.merge(right)`, the set "
        "`left |= right`; DataSketches has no in-place merge: a new `hll_union(15)`, `update` "
        "with both sketches, `get_result` of the sketch's type.",
        "- **serialise / deserialise**: Vantorelle `to_bytes` / `HyperLogLogPlusPlus.from_bytes`; "
        "DataSketches `serialize_compact` / `hll_sketch.deserialize`; datasketch `serialize` into a "
        "`bytearray` of `bytesize()` / `deserialize`; HLL and set `pickle`.",
        "- **serialized size**: the length of those bytes for a sketch of the first "
        f"{SMALL:,} ints and of all {values.count:,}.",
        "- **memory per sketch**: in a fresh process per library and size, the growth of the C "
        "heap in use (glibc `mallinfo2`: bytes allocated and not freed) while restoring 50 to "
        "2,000 copies of the serialised sketch, divided by the number of copies. It includes the "
        "C++ heap of Vantorelle and DataSketches, HLL's C arrays and datasketch's numpy "
        "registers, which `tracemalloc` and `sys.getsizeof` do not see for C extensions; it "
        "leaves out Python's own small-object arenas (objects under 512 bytes, such as the few "
        "dozen bytes of each sketch object itself). For the set: `sys.getsizeof` of the set "
        "(its hash table) plus that of each of its int objects.",
        "",
    ]
    path.write_text("\n".join(lines) + "\n")


PALETTE = {
    "vantorelle": "#1f4e9c",
    "ds_hll_4": "#f4a261",
    "ds_hll_8": "#d9541e",
    "datasketch": "#2a9d5b",
    "hll": "#8a3fb5",
    "set": "#7f7f7f",
}


def write_plot(path: Path, libs: list[Library], rows: dict) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    groups = [
        ("Time per value (ns, log scale)", [r for r in rows if r.startswith(("add", "column"))]),
        ("Time per call (µs, log scale)", [r for r in rows if unit(r) == "µs/call"]),
        ("Bytes (log scale)", [r for r in rows if unit(r) == "bytes"]),
    ]
    figure, axes = plt.subplots(len(groups), 1, figsize=(14, 15))
    width = 0.8 / len(libs)
    for axis, (title, names) in zip(axes, groups):
        positions = np.arange(len(names))
        for index, lib in enumerate(libs):
            heights = [rows[name].get(lib.key) for name in names]
            present = [(p, h) for p, h in zip(positions, heights) if h]
            if not present:
                continue
            xs, hs = zip(*present)
            # A peer's column bars repeat its per-value loop: hatched.
            hatches = ["//" if names[x].startswith("column") and lib.key not in ("vantorelle", "set") else ""
                       for x in xs]
            axis.bar(np.asarray(xs) + (index - (len(libs) - 1) / 2) * width, hs, width,
                     label=lib.label, color=PALETTE[lib.key], hatch=hatches, edgecolor="white", linewidth=0)
        axis.set_yscale("log")
        smallest = min(rows[name][lib.key] for name in names for lib in libs if rows[name].get(lib.key))
        axis.set_ylim(bottom=smallest / 2)
        axis.set_xticks(positions)
        axis.set_xticklabels([name.replace(" (", "\n(") for name in names], fontsize=8)
        axis.set_title(title)
        axis.grid(True, axis="y", which="major", alpha=0.3)
    handles, labels = axes[0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="upper center", ncol=len(libs), fontsize=9, bbox_to_anchor=(0.5, 0.955))
    figure.suptitle("Vantorelle and peers, same process and values (bench/compare.py); lower is better.\n"
                    "Hatched: a peer's column path is its per-value loop")
    figure.tight_layout(rect=(0, 0, 1, 0.94))
    figure.savefig(path, dpi=100)
    plt.close(figure)


def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] == MEMORY_PROBE:
        memory_probe(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=_report.DOCS)
    parser.add_argument("--count", type=int, help="values per kind (default 1,000,000; --quick: 20,000)")
    parser.add_argument("--repeats", type=int, help="repetitions per time (default 3; --quick: 1)")
    parser.add_argument("--quick", action="store_true", help="smoke run: 20,000 values, one repetition")
    args = parser.parse_args()
    for name, default, quick in (("count", 1_000_000, 20_000), ("repeats", 3, 1)):
        if getattr(args, name) is None:
            setattr(args, name, quick if args.quick else default)
    budget_seconds = 0.02 if args.quick else 0.2
    load_before = os.getloadavg()[0]
    slow_count = min(args.count, 50_000)
    started = time.perf_counter()
    libs = libraries()
    values = Values(args.count)
    rows = measure_speed(libs, values, args.repeats, slow_count)
    operations = measure_operations(libs, values, budget_seconds)
    rows.update(operations)
    rows.update(measure_memory(libs, [SMALL, args.count], operations))
    elapsed = time.perf_counter() - started
    load = (load_before, os.getloadavg()[0])
    args.out.mkdir(parents=True, exist_ok=True)
    command = " ".join(["python bench/compare.py", *sys.argv[1:]])
    if command == "python bench/compare.py":
        command = "make docs` (which runs `python bench/compare.py`)"
    write_markdown(args.out / "benchmarks.md", libs, rows, values, slow_count, args.repeats, load, elapsed,
                   command)
    write_plot(args.out / "benchmarks.png", libs, rows)
    width = max(map(len, rows))
    print(f"{'':{width}}  " + "  ".join(f"{lib.key:>18}" for lib in libs))
    for name, row in rows.items():
        print(f"{name:{width}}  " + "  ".join(f"{cell(row, lib.key):>18}" for lib in libs))
    print(f"wrote {args.out / 'benchmarks.md'} and {args.out / 'benchmarks.png'}")


if __name__ == "__main__":
    main()
