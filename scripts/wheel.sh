#!/usr/bin/env bash
# Writes to dist/ what a package index would serve: an sdist, and a wheel
# made self-contained by auditwheel (libprotobuf-lite and the C++ runtime
# copied into the wheel, the extension modules pointed at them). Then checks
# both, each in a fresh virtual environment:
#  - the sdist builds and installs from source and passes a smoke test;
#  - the wheel installs and passes the same smoke test while the system's
#    libprotobuf-lite cannot be found (hidden in a private mount namespace,
#    when the machine allows one).
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(pwd)/.venv/bin/python
# auditwheel runs patchelf, which the patchelf package puts beside the interpreter.
export PATH="$(pwd)/.venv/bin:$PATH"
rm -rf dist
"$python" -m build --sdist --wheel --outdir dist/raw . >/dev/null
mv dist/raw/*.tar.gz dist/
"$python" -m auditwheel repair --wheel-dir dist dist/raw/*.whl >/dev/null
# auditwheel's patchelf rewrites the DuckDB extension and drops the footer
# DuckDB's loader reads; it is put back.
"$python" src/duckdb/footer.py --wheel dist/*.whl
rm -rf dist/raw
wheel=$(ls dist/*.whl)
sdist=$(ls dist/*.tar.gz)
echo "wheel: $wheel"
echo "sdist: $sdist"

smoke='
import vantorelle, vantorelle_py
sketch = vantorelle.sketch(range(100000), int)
assert abs(sketch.result() - 100000) < 2000, sketch.result()
assert vantorelle.from_bytes(sketch.to_bytes()).to_bytes() == sketch.to_bytes()
print("smoke test passed:", vantorelle_py.__file__)
'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The wheel's modules need only what the wheel carries.
unzip -q -o "$wheel" -d "$work/unpacked"
for module in "$work"/unpacked/vantorelle_py*.so "$work"/unpacked/vantorelle/_native*.so; do
  echo "$(basename "$module"):"
  readelf -d "$module" | grep -E 'NEEDED|RPATH|RUNPATH' | sed 's/^/  /'
done

"$python" -m venv "$work/wheel-env"
"$work/wheel-env/bin/pip" install --quiet "$wheel"
system_lib=$(ldconfig -p | sed -n 's/.*libprotobuf-lite\.so\.[0-9]* .*=> //p' | head -n 1)
if [[ -n $system_lib ]] && unshare --mount true 2>/dev/null; then
  echo "hiding $system_lib"
  unshare --mount bash -c "mount --bind /dev/null '$system_lib' && cd '$work' && '$work/wheel-env/bin/python' -c '$smoke'"
else
  (cd "$work" && "$work/wheel-env/bin/python" -c "$smoke")
fi

"$python" -m venv "$work/sdist-env"
"$work/sdist-env/bin/pip" install --quiet "$sdist"
(cd "$work" && "$work/sdist-env/bin/python" -c "$smoke")
