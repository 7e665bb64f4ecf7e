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
# The isolated build environment has no pyspark: the Spark jar is compiled
# against the jars of this checkout's pyspark.
spark_jars=$("$python" -c 'import os, pyspark; print(os.path.join(os.path.dirname(pyspark.__file__), "jars"))')
"$python" -m build --sdist --wheel --outdir dist/raw \
  --config-setting=cmake.define.VANTORELLE_SPARK_JARS="$spark_jars" . >/dev/null
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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/smoke.py" <<'PYTHON'
import vantorelle, vantorelle_py
import vantorelle.duckdb as vdb
sketch = vantorelle.sketch(range(100000), int)
assert abs(sketch.result() - 100000) < 2000, sketch.result()
assert vantorelle.from_bytes(sketch.to_bytes()).to_bytes() == sketch.to_bytes()
with vdb.connect() as connection:
    n = connection.execute("SELECT vantorelle_estimate(vantorelle_sketch(i)) FROM range(1000) t(i)").fetchall()[0][0]
assert abs(n - 1000) < 20, n
print("smoke test passed:", vantorelle_py.__file__, vdb.extension_path())
PYTHON

# The wheel's modules need only what the wheel carries.
unzip -q -o "$wheel" -d "$work/unpacked"
for module in "$work"/unpacked/vantorelle_py*.so "$work"/unpacked/vantorelle/_native*.so; do
  echo "$(basename "$module"):"
  readelf -d "$module" | grep -E 'NEEDED|RPATH|RUNPATH' | sed 's/^/  /'
done

# The wheel's DuckDB extension and the Spark jar's native library, loaded
# in the same conditions: DuckDB from the version this checkout uses, the jar
# by a plain JVM.
duckdb_version=$("$python" -c 'import duckdb; print(duckdb.__version__)')
cat >"$work/Probe.java" <<'JAVA'
public class Probe {
  public static void main(String[] args) {
    org.vantorelle.spark.NativeSketches.liveStates();
    System.out.println("Spark jar's native library loaded");
  }
}
JAVA
jar_check=""
if command -v java >/dev/null && [[ -f $work/unpacked/vantorelle/vantorelle-spark.jar ]]; then
  jar_check="&& java -cp '$work/unpacked/vantorelle/vantorelle-spark.jar' '$work/Probe.java'"
fi

"$python" -m venv "$work/wheel-env"
"$work/wheel-env/bin/pip" install --quiet "$wheel" "duckdb==$duckdb_version"
system_lib=$(ldconfig -p | sed -n 's/.*libprotobuf-lite\.so\.[0-9]* .*=> //p' | head -n 1)
if [[ -n $system_lib ]] && unshare --mount true 2>/dev/null; then
  echo "hiding $system_lib"
  unshare --mount bash -c "mount --bind /dev/null '$system_lib' && cd '$work' && '$work/wheel-env/bin/python' smoke.py $jar_check"
else
  (cd "$work" && "$work/wheel-env/bin/python" smoke.py && eval "true $jar_check")
fi

"$python" -m venv "$work/sdist-env"
"$work/sdist-env/bin/pip" install --quiet "$sdist" "duckdb==$duckdb_version"
(cd "$work" && "$work/sdist-env/bin/python" smoke.py)
