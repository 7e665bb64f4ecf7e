import os

import pytest

from support import HLL

# Under the sanitizers (scripts/python_asan.sh) the tests that reach the
# extension modules run; left out are the stub check (mypy reading the
# installed stubs, run once in the plain suite), the smoke run of
# bench/accuracy.py (the peer libraries' code) and Spark (a JVM, whose Python
# workers call the same functions the other tests call).
if os.environ.get("VANTORELLE_SANITIZED"):
    collect_ignore = ["test_stub.py", "test_docs_scripts.py", "test_spark.py"]


@pytest.fixture
def int_sketch():
    return HLL(int)


@pytest.fixture
def text_sketch():
    return HLL(str)


@pytest.fixture(scope="session")
def spark():
    """One local Spark session (local[2]) for the whole test run. Its JVM and
    Python workers are gone when the run ends."""
    import os
    import shutil
    import subprocess
    import sys
    import warnings

    if os.environ.get("VANTORELLE_SANITIZED"):
        # The sanitized run covers the native code, which the Spark tests
        # reach only through the same functions the other tests call.
        pytest.skip("Spark runs in the plain test run, not under the sanitizers")
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        pytest.skip("no Java runtime on PATH or in JAVA_HOME (Spark needs Java 17 or 21; "
                    "scripts/setup.sh installs one)")
    import psutil
    from pyspark import SparkContext
    from pyspark.sql import SparkSession

    old_python = os.environ.get("PYSPARK_PYTHON")
    # Workers run this interpreter, with vantorelle installed.
    os.environ["PYSPARK_PYTHON"] = sys.executable
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="PySpark does not yet fully support pandas",
                                category=FutureWarning)
        session = (
            SparkSession.builder.master("local[2]")
            .appName("vantorelle-tests")
            .config("spark.sql.shuffle.partitions", 4)
            .config("spark.default.parallelism", 4)
            .config("spark.ui.enabled", "false")
            .config("spark.ui.showConsoleProgress", "false")
            .config("spark.sql.session.timeZone", "UTC")
            # Short jobs on small tables: no adaptive re-planning, and a JVM
            # that compiles less (the machine's cores are shared).
            .config("spark.sql.adaptive.enabled", "false")
            .config("spark.driver.extraJavaOptions", "-XX:TieredStopAtLevel=1 -XX:+UseSerialGC")
            .getOrCreate()
        )
    session.sparkContext.setLogLevel("OFF")
    gateway = SparkContext._gateway
    try:
        yield session
    finally:
        # The JVM and what it started (the Python worker daemon and its workers).
        spark_processes = [psutil.Process(gateway.proc.pid)]
        spark_processes += spark_processes[0].children(recursive=True)
        session.stop()
        # The JVM exits once its standard input closes.
        gateway.shutdown()
        gateway.proc.stdin.close()
        try:
            gateway.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            gateway.proc.kill()
            gateway.proc.wait(timeout=30)
        SparkContext._gateway = None
        SparkContext._jvm = None
        if old_python is None:
            os.environ.pop("PYSPARK_PYTHON", None)
        else:
            os.environ["PYSPARK_PYTHON"] = old_python
        _, alive = psutil.wait_procs(spark_processes, timeout=30)
        assert not alive, "processes left running after Spark stopped: " + "; ".join(
            f"{p.pid}: {' '.join(p.cmdline())}" for p in alive)
