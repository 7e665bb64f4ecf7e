#!/usr/bin/env bash
# Runs the Python tests against both extension modules built with ASan and
# UBSan (scripts/sanitized_modules.sh).
#
#   scripts/python_asan.sh [PYTEST ARGS...]
#
# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded: g++'s libasan, and libstdc++ after it so that the runtime finds
# the C++ exception functions it wraps (without it the first C++ throw
# aborts). Leak detection is off, since the interpreter keeps memory until
# exit on purpose. Any sanitizer report aborts the test process. PYTHONPATH
# puts the instrumented modules ahead of the installed ones; subprocesses of
# the tests inherit both settings.
set -euo pipefail
cd "$(dirname "$0")/.."

site=$(bash scripts/sanitized_modules.sh "${BUILD_DIR:-build-asan-python}" gcc)
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}"
# Tests that read the resident size skip themselves: the sanitizer's
# quarantine keeps freed memory resident.
export VANTORELLE_SANITIZED=1
.venv/bin/python -c "import sys, vantorelle_py, vantorelle._native as n
print('sanitized modules:', vantorelle_py.__file__, n.__file__)
sys.exit(0 if vantorelle_py.__file__.startswith('$site') and n.__file__.startswith('$site') else
         'the sanitized modules were not imported')"
# The stub test compares the installed stubs with the installed module; one
# run of it, in the ordinary suite, is enough.
exec .venv/bin/python -m pytest tests/python -p no:cacheprovider --deselect tests/python/test_stub.py "$@"
