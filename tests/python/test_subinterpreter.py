"""The module belongs to the interpreter that imported it first."""

import json
import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent(
    """
    import json, sys, _interpreters
    import vantorelle_py

    def import_in(config):
        interpreter = _interpreters.create(config)
        try:
            failure = _interpreters.exec(interpreter, "import vantorelle_py")
            return None if failure is None else [failure.type.__name__, failure.msg]
        finally:
            _interpreters.destroy(interpreter)

    # Only a legacy interpreter (main allocator, no extension check) lets a
    # single-phase module's own init run; a refused import stays refused.
    legacy = import_in("legacy")
    again = import_in(_interpreters.new_config("legacy", allow_threads=False))
    sketch = vantorelle_py.HyperLogLogPlusPlus(int)
    sketch.add(1)
    print(json.dumps({"legacy": legacy, "again": again, "main_still_works": sketch.num_values()}))
    """
)


def test_second_interpreter_is_refused():
    completed = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=60, check=True)
    result = json.loads(completed.stdout)
    for key in ("legacy", "again"):
        kind, message = result[key]
        assert kind == "ImportError"
        assert message.startswith("vantorelle_py does not support sub-interpreters")
    assert result["main_still_works"] == 1
