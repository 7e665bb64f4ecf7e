"""Every ```python block of README.md runs once, as written, each in a fresh
namespace in an empty folder, and prints what it shows as its output. A
block that imports an optional library skips when the library is absent."""

import ast
import importlib.util
import re
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def blocks():
    text = README.read_text(encoding="utf-8")
    return [
        pytest.param(match.group(1), id=f"line-{text.count(chr(10), 0, match.start()) + 1}")
        for match in BLOCK.finditer(text)
    ]


def top_level_imports(tree):
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            yield node.module


def shown_output(source):
    """The output a block shows: comment lines right under a print() call and,
    in a block that has such lines, the comments of its other print() lines."""
    lines = source.splitlines()
    comment = re.compile(r"#\s+\S")
    table = [line for above, line in zip(lines, lines[1:])
             if comment.match(line) and (above.startswith("print(") or comment.match(above))]
    if not table:
        return []
    shown = [line.split("# ", 1)[1] for line in table]
    shown += [line.rsplit("# ", 1)[1] for line in lines if line.startswith("print(") and "# " in line]
    return [line.rstrip() for line in shown]


def test_the_readme_has_python_blocks():
    sources = [param.values[0] for param in blocks()]
    assert len(sources) >= 4
    # The grouped example shows its printed table and roll-up.
    assert max(len(shown_output(source)) for source in sources) >= 6


@pytest.mark.parametrize("source", blocks())
def test_readme_block_runs(source, tmp_path, monkeypatch, capsys, request):
    tree = ast.parse(source, filename=str(README))
    imports = list(top_level_imports(tree))
    for module in imports:
        if importlib.util.find_spec(module.partition(".")[0]) is None:
            pytest.skip(f"needs {module}")
    if any(module.startswith("pyspark") for module in imports):
        # The block's getOrCreate() finds the run's shared session, which is
        # stopped, with its processes, when the run ends.
        request.getfixturevalue("spark")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", ["README"])
    exec(compile(tree, str(README), "exec"), {"__name__": "__readme__"})
    printed = capsys.readouterr().out
    for line in shown_output(source):
        assert line in printed, line
