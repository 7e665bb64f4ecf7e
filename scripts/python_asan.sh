#!/usr/bin/env bash
# Runs the Python tests that reach the extension modules (tests/python/conftest.py
# names the files left out) against both modules of the sanitized tree
# (scripts/sanitized_build.sh: clang 14, ASan and UBSan).
#
#   scripts/python_asan.sh [PYTEST ARGS...]      BUILD_DIR (default build-sanitize)
#
# The interpreter itself is not instrumented, so clang's ASan runtime (which
# carries UBSan's handlers) is preloaded, with libstdc++ after it so that the
# runtime finds the C++ exception functions it wraps (without it the first
# C++ throw aborts). Leak detection is off, since the interpreter keeps
# memory until exit on purpose. Any sanitizer report aborts the test
# process. PYTHONPATH puts the instrumented modules, staged with the
# package's Python files in BUILD_DIR/site (scripts/stage_site.sh), ahead of
# the installed ones;
# subprocesses of the tests inherit both settings.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=$(realpath -m "${BUILD_DIR:-build-sanitize}")
bash scripts/sanitized_build.sh "$build_dir" >/dev/null

site=$(bash scripts/stage_site.sh "$build_dir")

export LD_PRELOAD="$(clang++-14 -print-file-name=libclang_rt.asan-x86_64.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}"
# Tests that read the resident size skip themselves: the sanitizer's
# quarantine keeps freed memory resident.
export VANTORELLE_SANITIZED=1
# The DuckDB extension of the same tree, where it was built.
if [[ -f $build_dir/src/duckdb/vantorelle.duckdb_extension ]]; then
  export VANTORELLE_DUCKDB_EXTENSION="$build_dir/src/duckdb/vantorelle.duckdb_extension"
fi
.venv/bin/python -c "import sys, vantorelle_py, vantorelle._native as n
print('sanitized modules:', vantorelle_py.__file__, n.__file__)
sys.exit(0 if vantorelle_py.__file__.startswith('$site') and n.__file__.startswith('$site') else
         'the sanitized modules were not imported')"
exec .venv/bin/python -m pytest -p no:cacheprovider "$@"
