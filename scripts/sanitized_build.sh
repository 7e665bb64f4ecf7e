#!/usr/bin/env bash
# Configures and builds the one sanitized tree: clang 14 with AddressSanitizer
# and UndefinedBehaviorSanitizer over the C++ tests, both extension modules
# and the libFuzzer targets (the core also carries libFuzzer's coverage
# instrumentation, which costs the other programs little: without a fuzzer
# linked in, its hooks are the sanitizer runtime's empty functions).
#
#   scripts/sanitized_build.sh BUILD_DIR [TARGET...]     (default: every target)
#
# CMAKE_DOORS (environment; the Makefile sets it) lists further CMake
# options, e.g. "-DVANTORELLE_BUILD_DUCKDB=ON", built in this tree as in the
# plain one.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 1 ]]; then
  echo "usage: $0 BUILD_DIR [TARGET...]" >&2
  exit 2
fi
build_dir=$1
shift

# shellcheck disable=SC2086 # CMAKE_DOORS is a list of options
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DVANTORELLE_SANITIZE=ON -DVANTORELLE_BUILD_TESTS=ON -DVANTORELLE_BUILD_FUZZ=ON \
  -DVANTORELLE_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(pwd)/.venv/bin/python" \
  ${CMAKE_DOORS:-} >/dev/null
if (($#)); then
  cmake --build "$build_dir" -j"${JOBS:-2}" --target "$@"
else
  cmake --build "$build_dir" -j"${JOBS:-2}"
fi
