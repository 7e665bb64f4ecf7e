"""The shipped type stub matches the runtime module."""

import os
import subprocess
import sys

import pytest


def test_stub_matches_runtime(tmp_path):
    pytest.importorskip("mypy.stubtest")
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vantorelle_py"],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
        env={**os.environ, "MYPY_CACHE_DIR": str(tmp_path / "cache")},
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
