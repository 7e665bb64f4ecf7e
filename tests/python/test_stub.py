"""The shipped type stubs and annotations match the runtime modules."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

PYPROJECT = Path(__file__).resolve().parents[2] / "pyproject.toml"


@pytest.mark.parametrize("module", ["vantorelle_py", "vantorelle"])
def test_stub_matches_runtime(tmp_path, module):
    pytest.importorskip("mypy.stubtest")
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module, "--mypy-config-file", str(PYPROJECT)],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
        env={**os.environ, "MYPY_CACHE_DIR": str(tmp_path / "cache")},
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
