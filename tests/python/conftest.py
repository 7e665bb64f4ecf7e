import pytest

from support import HLL


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
    import sys
    import warnings

    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        pytest.skip("no Java runtime on PATH or in JAVA_HOME (Spark needs Java 17 or 21; "
                    "scripts/setup.sh installs one)")
    import psutil
    from pyspark import SparkContext
    from pyspark.sql import SparkSession

    before = {child.pid for child in psutil.Process().children(recursive=True)}
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
        session.stop()
        # The JVM exits once its standard input closes.
        gateway.shutdown()
        gateway.proc.stdin.close()
        try:
            gateway.proc.wait(timeout=60)
        except Exception:
            gateway.proc.kill()
            gateway.proc.wait(timeout=30)
        SparkContext._gateway = None
        SparkContext._jvm = None
        if old_python is None:
            os.environ.pop("PYSPARK_PYTHON", None)
        else:
            os.environ["PYSPARK_PYTHON"] = old_python
        new = [child for child in psutil.Process().children(recursive=True)
               if child.pid not in before and child.is_running()]
        _, alive = psutil.wait_procs(new, timeout=30)
        assert not alive, f"processes left running after Spark stopped: {alive}"
