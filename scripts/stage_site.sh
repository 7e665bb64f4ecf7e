#!/usr/bin/env bash
# Stages the extension modules built in BUILD_DIR, with the vantorelle
# package's Python files, in BUILD_DIR/site (to put first on PYTHONPATH);
# prints that folder's path.
#
#   scripts/stage_site.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=$(realpath -m "$1")
site="$build_dir/site"
rm -rf "$site"
mkdir -p "$site/vantorelle"
cp python/vantorelle/*.py python/vantorelle/py.typed "$site/vantorelle/"
cp "$build_dir"/src/python/vantorelle_py*.so "$site/"
cp "$build_dir"/src/native/_native*.so "$site/vantorelle/"
echo "$site"
