#!/usr/bin/env bash
# Builds both extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer and stages them, with the vantorelle package,
# in BUILD_DIR/site; prints that folder's path.
#
#   scripts/sanitized_modules.sh BUILD_DIR [gcc|clang-fuzz]
#
# gcc builds for the sanitized test run; clang-fuzz adds libFuzzer's
# coverage instrumentation for the atheris harness.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=$(realpath -m "$1")
flavour=${2:-gcc}
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORELLE_SANITIZE=ON -DVANTORELLE_BUILD_TESTS=OFF
         -DVANTORELLE_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(pwd)/.venv/bin/python")
if [[ $flavour == clang-fuzz ]]; then
  options+=(-DCMAKE_CXX_COMPILER=clang++-14 -DVANTORELLE_FUZZ_COVERAGE=ON)
fi
cmake -S . -B "$build_dir" "${options[@]}" >/dev/null
cmake --build "$build_dir" --target vantorelle_py vantorelle_native -j"${JOBS:-2}" >/dev/null

site="$build_dir/site"
rm -rf "$site"
mkdir -p "$site/vantorelle"
cp python/vantorelle/*.py python/vantorelle/py.typed "$site/vantorelle/"
cp "$build_dir"/src/python/vantorelle_py*.so "$site/"
cp "$build_dir"/src/native/_native*.so "$site/vantorelle/"
echo "$site"
