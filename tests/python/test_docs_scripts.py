"""bench/accuracy.py still runs against the installed libraries.

A smoke run on tiny inputs into a temporary directory; skipped when the peer
libraries or matplotlib (development requirements) are missing. (A smoke run of
bench/compare.py takes well over 20 s, so it is left to `make docs`.)
"""

import re
import subprocess
import sys
from pathlib import Path

import pytest

for _module in ("numpy", "pyarrow", "matplotlib", "datasketches", "datasketch", "HLL"):
    pytest.importorskip(_module)

BENCH = Path(__file__).resolve().parents[2] / "bench"
NUMBER = r"[+-]?[\d,]+(?:\.\d+)?"


def run(script, *arguments):
    done = subprocess.run([sys.executable, str(BENCH / script), *arguments], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr


def assert_png(path):
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert path.stat().st_size > 10_000


def test_accuracy_writes_tables_with_small_errors(tmp_path):
    run("accuracy.py", "--quick", "--max-n", "1000", "--streams", "5", "--out", str(tmp_path))
    page = (tmp_path / "accuracy.md").read_text()
    # The error tables come first; the coverage and count_by sections follow.
    errors = page.split("## Reading the numbers")[0]
    table_rows = [line for line in errors.splitlines() if re.match(r"\| [\d,]+ \|", line)]
    # Seven sizes (10 ... 1,000) in each of the two memory classes.
    assert len(table_rows) == 14
    for line in table_rows:
        cells = [cell.strip() for cell in line.split("|")[2:-2]]
        assert len(cells) == 5
        # At n <= 1,000 every sketch here is within a few percent of the truth.
        for cell in cells:
            mean, std = (float(part) for part in cell.split(", "))
            assert abs(mean) < 3 and std < 3, line
    assert_png(tmp_path / "accuracy.png")
