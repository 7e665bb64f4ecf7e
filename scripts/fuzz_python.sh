#!/usr/bin/env bash
# Fuzzes the Python surface (tests/fuzz/python_fuzz.py) with atheris for
# SECONDS, against both extension modules built by clang with ASan, UBSan
# and libFuzzer's coverage instrumentation. Exits non-zero on any finding,
# crash or sanitizer report.
#
#   scripts/fuzz_python.sh SECONDS
#
# atheris ships a sanitizer runtime that contains its libFuzzer; it is
# preloaded (with libstdc++, for the C++ exception functions the runtime
# wraps) because the interpreter is not instrumented. The committed corpus
# in tests/fuzz/corpus/python seeds the run; new inputs go to
# BUILD_DIR/fuzz-corpus-python.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -ne 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi
build_dir=${BUILD_DIR:-build-fuzz-python}
site=$(bash scripts/sanitized_modules.sh "$build_dir")
runtime=$(.venv/bin/python -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')

# The instrumented modules, not the installed ones, must be what imports.
LD_PRELOAD="$runtime $(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$site" \
  .venv/bin/python -c "import sys, vantorelle_py, vantorelle._native as n
sys.exit(0 if vantorelle_py.__file__.startswith('$site') and n.__file__.startswith('$site') else
         'python_fuzz: the instrumented modules were not imported')"

corpus="$build_dir/fuzz-corpus-python"
artifacts="$build_dir/fuzz-artifacts-python"
log="$build_dir/fuzz-python.log"
mkdir -p "$corpus" "$artifacts"
status=0
LD_PRELOAD="$runtime $(g++ -print-file-name=libstdc++.so)" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONPATH="$site" \
  .venv/bin/python tests/fuzz/python_fuzz.py -max_total_time="$1" -timeout=60 -rss_limit_mb=4096 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" tests/fuzz/corpus/python \
  >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "python_fuzz: ${executions:-unknown} executions in $1 s (log: $log)"
if ((status != 0)) || grep -qE '^(==[0-9]+==ERROR|SUMMARY: )|Finding|runtime error' "$log"; then
  echo "python_fuzz: FAILED (exit status $status)" >&2
  grep -E '==ERROR|SUMMARY: |Finding|runtime error|Uncaught|Test unit written' "$log" >&2 || true
  exit 1
fi
echo "python_fuzz: no finding"
