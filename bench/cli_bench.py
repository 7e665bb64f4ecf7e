#!/usr/bin/env python3
"""Speed of the `vantorelle count` command against the usual tools.

Makes a 2,000,000-line file of `user-<32-bit number>` with 400,000 distinct
lines in a temporary directory, then times whole processes, start-up
included, each on the same file (already in the page cache):

  * vantorelle count FILE                      (the command, a native program)
  * sort -u FILE | wc -l                       (target: >= 40x slower than the command)
  * wc -l FILE                                 (target: the command within 2x of it)
  * a Python loop of HyperLogLogPlusPlus.add over the lines
  * vantorelle count ONE-LINE-FILE             (target: within 5 ms)
  * python -m vantorelle count ONE-LINE-FILE   (the interpreter, then the program)


Processes are started directly (no shell) except the `sort | wc` pipeline.
Wall time and CPU time (user + system, both threads) of each process are
printed; the machine may be shared, so CPU time is the steadier figure. One
run each by default (--repeat N takes the best of N). Run after
`make install`:
    .venv/bin/python bench/cli_bench.py
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

LINES = 2_000_000
DISTINCT = 400_000

BIN = Path(sys.executable).parent
VANTORELLE = str(BIN / "vantorelle")

ADD_LOOP = """
import sys
from vantorelle_py import HyperLogLogPlusPlus
sketch = HyperLogLogPlusPlus(bytes)
add = sketch.add
with open(sys.argv[1], "rb") as source:
    for line in source:
        add(line[:-1])
print(sketch.result())
"""


def make_file(path: Path) -> None:
    rng = random.Random(20240)
    distinct = [b"user-%d" % rng.getrandbits(32) for _ in range(DISTINCT)]
    lines = distinct + [rng.choice(distinct) for _ in range(LINES - DISTINCT)]
    rng.shuffle(lines)
    path.write_bytes(b"\n".join(lines) + b"\n")


def timed(command: str | list[str], repeat: int) -> tuple[float, float, str]:
    """(best wall seconds, CPU seconds of that run, output) of a command (a
    string: through the shell)."""
    best = (float("inf"), 0.0, "")
    for _ in range(repeat):
        start = time.perf_counter()
        process = subprocess.Popen(command, shell=isinstance(command, str), stdout=subprocess.PIPE)
        output = process.stdout.read()
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            raise SystemExit(f"{command!r} exited with {process.returncode}")
        if wall < best[0]:
            best = (wall, usage.ru_utime + usage.ru_stime, output.decode().strip())
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=1, help="best of N runs (default 1)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "lines.txt"
        make_file(path)
        with open(directory + "/add_loop.py", "w") as script:
            script.write(ADD_LOOP)
        data = path.read_bytes()  # also puts the file in the page cache
        print(f"file: {LINES:,} lines, {DISTINCT:,} distinct, {len(data) / 1e6:.1f} MB")

        one_line = Path(directory) / "one.txt"
        one_line.write_bytes(b"user-1\n")
        runs = {
            "vantorelle count": [VANTORELLE, "count", str(path)],
            "sort -u | wc -l": f"sort -u {path} | wc -l",
            "wc -l": ["wc", "-l", str(path)],
            "python add loop": [sys.executable, f"{directory}/add_loop.py", str(path)],
            "vantorelle count (one line)": [VANTORELLE, "count", str(one_line)],
            "python -m vantorelle count (one line)": [sys.executable, "-m", "vantorelle", "count",
                                                      str(one_line)],
        }
        results = {name: timed(command, args.repeat) for name, command in runs.items()}
        print(f"{'process':42} {'wall ms':>9} {'cpu ms':>9}  output")
        for name, (wall, cpu, output) in results.items():
            print(f"{name:42} {wall * 1e3:9.1f} {cpu * 1e3:9.1f}  {output[:40]}")

        ours = results["vantorelle count"][0]
        sort, loop, wc = (
            results[name][0] for name in ("sort -u | wc -l", "python add loop", "wc -l")
        )
        one = results["vantorelle count (one line)"][0]
        print()
        print(f"sort -u | wc -l / vantorelle count: {sort / ours:6.1f}x faster   (target >= 40x)")
        print(f"python add loop / vantorelle count: {loop / ours:6.1f}x faster")
        print(f"vantorelle count / wc -l:           {ours / wc:6.1f}x the time (target <= 2x)")
        print(f"vantorelle count of one line:       {one * 1e3:6.1f} ms        (target <= 5 ms)")
        # On a shared machine the processes wait for a core; CPU time does not.
        ours_cpu, sort_cpu, wc_cpu = (
            results[name][1] for name in ("vantorelle count", "sort -u | wc -l", "wc -l")
        )
        print(f"by CPU time: {sort_cpu / ours_cpu:.1f}x faster than sort -u | wc -l, "
              f"{ours_cpu / wc_cpu:.1f}x the time of wc -l (both threads counted)")

if __name__ == "__main__":
    main()
