#!/usr/bin/env bash
# Builds both extension modules for the atheris harness (scripts/fuzz_python.sh):
# clang 14 with ASan, UBSan and libFuzzer's coverage instrumentation, without
# the vptr and function checks, whose handlers atheris's runtime lacks. Stages
# them, with the vantorelle package, in BUILD_DIR/site (scripts/stage_site.sh);
# prints that folder's path. (The sanitized test run uses the tree of scripts/sanitized_build.sh.)
#
#   scripts/sanitized_modules.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=$(realpath -m "$1")
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DVANTORELLE_SANITIZE=ON -DVANTORELLE_FUZZ_COVERAGE=ON -DVANTORELLE_BUILD_TESTS=OFF \
  -DVANTORELLE_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(pwd)/.venv/bin/python" >/dev/null
cmake --build "$build_dir" --target vantorelle_py vantorelle_native -j"${JOBS:-2}" >/dev/null

bash scripts/stage_site.sh "$build_dir"
