#!/usr/bin/env bash
# Builds both extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the Python tests against them.
#
#   scripts/python_asan.sh [PYTEST ARGS...]
#
# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded (LD_PRELOAD of g++'s libasan, and libstdc++ after it so that the
# runtime finds the C++ exception functions it wraps; without it the first
# C++ throw aborts), and leak detection is off: the
# interpreter keeps memory until exit on purpose. Any sanitizer report
# aborts the test process. The instrumented modules are staged in
# BUILD_DIR/site (default build-asan-python), which PYTHONPATH puts ahead of
# the installed ones; subprocesses of the tests inherit both settings.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build-asan-python}
python=.venv/bin/python

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORELLE_SANITIZE=ON \
  -DVANTORELLE_BUILD_TESTS=OFF -DVANTORELLE_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$(pwd)/$python" >/dev/null
cmake --build "$build_dir" --target vantorelle_py vantorelle_native -j"${JOBS:-2}" >/dev/null

site="$build_dir/site"
rm -rf "$site"
mkdir -p "$site/vantorelle"
cp python/vantorelle/*.py python/vantorelle/py.typed "$site/vantorelle/"
cp "$build_dir"/src/python/vantorelle_py*.so "$site/"
cp "$build_dir"/src/native/_native*.so "$site/vantorelle/"

export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$(pwd)/$site${PYTHONPATH:+:$PYTHONPATH}"
# The stub test compares the installed stubs with the installed module, and
# needs no second run here.
"$python" -c 'import vantorelle_py, vantorelle._native as n; print("sanitized modules:", vantorelle_py.__file__, n.__file__)'
exec "$python" -m pytest tests/python -p no:cacheprovider --deselect tests/python/test_stub.py "$@"
