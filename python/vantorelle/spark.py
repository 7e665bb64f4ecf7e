"""Distinct counts on Spark: per-group sketches as binary columns, roll-ups of
stored sketches, and estimates.

SQL functions on the JVM (no Python worker involved), from the jar that this
package installs:

    configure(builder)            a session builder that loads them
    register(spark)               the same for a running session
    jar_path()                    the jar, for spark-submit --jars and Scala/Java

    SELECT day, vantorelle_sketch(user) FROM events GROUP BY day

A GROUP BY whose aggregates are all vantorelle_sketch (or
vantorelle_estimate of it) has its partial step done by the jar's own plan
node rather than by Spark's generic aggregation: far less work a row, and no
sorting however many groups. Its buffers stay within
``spark.vantorelle.partialAggregationBytes`` a task (64 MiB unless set; a
size as Spark's settings take it, 67108864 or 64m);
past that it writes its groups out and starts again, which costs shuffle
bytes but no memory.

and the DataFrame functions, which run on Python workers (Arrow):

    sketch_by(df, by, column)     one sketch per group, aggregated in two steps
    merge_by(df, by, column)      roll-ups of stored sketches, the same way
    sketch_agg(column)            df.groupBy(...).agg(sketch_agg("user"))
    merge_agg(column)             df.groupBy(...).agg(merge_agg("sketch"))
    estimate(column)              a LongType column of estimates (0 for null)

`sketch_by` and `merge_by` aggregate as Spark's own aggregates do: every
partition turns its rows into one partial sketch per group with one call of
the grouped kernel (``mapInArrow``), the partial sketches are shuffled by key,
and every shuffled partition merges its groups with one ``merge_by`` call.
No Python code runs per row or per group, and no partition holds more than
its own rows and, after the shuffle, one partial sketch per group and input
partition.

`sketch_agg` and `merge_agg` are grouped-aggregate Arrow UDFs: Spark hands
each one a whole group at once, and refuses them beside built-in aggregates
(``count``, ``sum``, ``approx_count_distinct``...) in the same ``agg``; they
may be combined with each other. For large groups use `sketch_by`.

Sketch columns are ``BinaryType``: the serialised sketches, stored as they
are in Parquet and read back by ``vantorelle.from_bytes``, vantorelle.dask
and vantorelle.duckdb. Importing this module imports pyspark and pyarrow;
importing ``vantorelle`` does not.
"""

from __future__ import annotations

import contextlib
import functools
import os
import warnings
from typing import Any, Iterable, Iterator

import pyarrow as pa
from pyspark.sql import Column, DataFrame
from pyspark.sql import functions as F
from pyspark.sql.pandas.types import to_arrow_type
from pyspark.sql.types import BinaryType, StructField, StructType

import vantorelle
from vantorelle import RefusedValueError, _grouped, _native
from vantorelle._columns import column_value_type
from vantorelle._native import DEFAULT_NORMAL_PRECISION, DEFAULT_SPARSE_PRECISION

__all__ = [
    "configure", "estimate", "jar_path", "merge_agg", "merge_by", "register", "sketch_agg",
    "sketch_by",
]

SKETCH = "sketch"

_FAILURES = (TypeError, ValueError, RuntimeError)


@contextlib.contextmanager
def _no_pandas_version_warning() -> Iterator[None]:
    # pyspark checks the pandas version whenever an Arrow UDF or an Arrow map
    # is built, and warns about pandas 3; these functions never use pandas.
    with warnings.catch_warnings():
        warnings.filterwarnings(
            "ignore", message="PySpark does not yet fully support pandas", category=FutureWarning
        )
        yield


def _column_name(column: Any) -> str:
    return column if isinstance(column, str) else str(column)


def _key_list(df: DataFrame, by: Any) -> list[str]:
    keys = [by] if isinstance(by, str) else list(by)
    if not keys:
        raise ValueError("by names no column; for one sketch of a whole column use "
                         "df.agg(vantorelle.spark.sketch_agg(column))")
    for key in keys:
        if not isinstance(key, str):
            raise TypeError(f"by must name columns, not {type(key).__qualname__}")
    _check_present(df, keys)
    if len(set(keys)) != len(keys):
        raise ValueError(f"by names a column twice: {keys}")
    return keys


def _check_present(df: DataFrame, names: Iterable[str]) -> None:
    for name in names:
        if name not in df.columns:
            raise ValueError(f"no column {name!r} in the DataFrame (columns: {df.columns})")
        if "." in name:
            # (pyspark's mapInArrow selects its input's columns by name, which
            # reads a dot as a struct's field)
            raise ValueError(f"column {name!r} has a dot in its name, which these functions cannot "
                             f"select: rename it first (df.withColumnRenamed)")


def _field(df: DataFrame, name: str) -> StructField:
    return df.schema[name]


def _check_value_column(
    df: DataFrame, column: str, ty: type | None, normal_precision: int,
    sparse_precision: int | None,
) -> None:
    """Refuses, before any job runs, a column whose type the core does not
    count, and bad precisions or `ty`, with the core's own checks."""
    field = _field(df, column)
    try:
        # (pyspark converts a timestamp type only with a zone, which only names the type)
        arrow_type = to_arrow_type(field.dataType, timezone="UTC")
    except Exception:  # noqa: BLE001 (pyspark raises its own kinds for unconvertible types)
        raise RefusedValueError(
            f"cannot sketch column {column!r} of type {field.dataType.simpleString()}: "
            "integers, booleans, strings and binary are counted"
        ) from None
    if ty not in (None, int, str, bytes):
        raise TypeError(f"ty must be int, str, bytes or None, not {ty!r}")
    try:
        vantorelle.sketch(pa.nulls(0, arrow_type), ty, normal_precision, sparse_precision)
        counts_as = column_value_type(arrow_type)
    except TypeError as error:
        raise RefusedValueError(
            f"cannot sketch column {column!r} of type {field.dataType.simpleString()}: {error}"
        ) from None
    if ty is not None and counts_as is not None and (ty is int) != (counts_as is int):
        # (every value of the column would be refused, in the job)
        counted = "integers" if counts_as is int else "text or bytes"
        raise RefusedValueError(
            f"cannot sketch column {column!r} of type {field.dataType.simpleString()} with ty={ty.__name__}: "
            f"its values count as {counted}"
        )


def _check_key_columns(df: DataFrame, keys: list[str]) -> None:
    """Refuses, before any job runs, key columns the core does not group by."""
    fields = []
    for key in keys:
        data_type = _field(df, key).dataType
        try:
            # (the zone only names the type: mapInArrow hands timestamps over as UTC)
            fields.append(pa.field(key, to_arrow_type(data_type, timezone="UTC")))
        except Exception:  # noqa: BLE001 (pyspark raises its own kinds for unconvertible types)
            raise vantorelle.RefusedValueError(
                f"cannot group by column {key!r} of type {data_type.simpleString()}"
            ) from None
    _grouped.check_key_types(pa.schema(fields))


def _check_sketch_column(df: DataFrame, column: str) -> None:
    data_type = _field(df, column).dataType
    if not isinstance(data_type, BinaryType):
        raise TypeError(
            f"column {column!r} holds {data_type.simpleString()}, not serialised sketches "
            "(binary)"
        )


def _output_schema(df: DataFrame, keys: list[str], name: str) -> StructType:
    if name in keys:
        raise ValueError(f"a key column is named {name!r}, the name of the sketch column")
    return StructType([_field(df, key) for key in keys]
                      + [StructField(name, BinaryType(), nullable=True)])


# --- the JVM functions ---------------------------------------------------------

JAR_NAME = "vantorelle-spark.jar"
EXTENSIONS = "org.vantorelle.spark.VantorelleExtensions"
_FUNCTIONS_CLASS = "org.vantorelle.spark.Functions"


def jar_path() -> str:
    """The jar of the SQL functions (Java classes and the native library for
    Linux x86-64), installed with this package: for ``spark-submit --jars``,
    ``spark.jars``, or a Scala or Java job (``VantorelleExtensions`` as
    ``spark.sql.extensions``, or ``org.vantorelle.spark.Functions.register``)."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), JAR_NAME)
    if not os.path.isfile(path):
        raise FileNotFoundError(
            f"{path} is missing: this vantorelle was built without its Spark jar "
            "(VANTORELLE_BUILD_SPARK, which needs a JDK and pyspark at build time)")
    return path


def _appended(current: str | None, item: str) -> str:
    items = [part for part in (current or "").split(",") if part.strip()]
    return ",".join(items if item in items else items + [item])


def configure(builder: Any) -> Any:
    """Adds the jar (``spark.jars``) and the SQL functions
    (``spark.sql.extensions``) to a ``SparkSession.builder``, keeping what it
    names already; returns the builder::

        spark = vantorelle.spark.configure(SparkSession.builder).getOrCreate()
    """
    options = builder._options  # what the builder was given so far
    builder.config("spark.jars", _appended(options.get("spark.jars"), jar_path()))
    builder.config("spark.sql.extensions",
                   _appended(options.get("spark.sql.extensions"), EXTENSIONS))
    return builder


def _java_class(spark: Any, name: str) -> Any:
    # Through the session's jar class loader: the class may have come with
    # ADD JAR, which py4j's own lookup does not see.
    loader = spark._jsparkSession.sharedState().jarClassLoader()
    return spark._jvm.java.lang.Class.forName(name, True, loader)


def _invoke_static(spark: Any, class_name: str, method: str,
                   parameters: list[str], arguments: list[Any]) -> Any:
    gateway = spark.sparkContext._gateway
    types = gateway.new_array(spark._jvm.java.lang.Class, len(parameters))
    values = gateway.new_array(spark._jvm.java.lang.Object, len(arguments))
    for i, (parameter, argument) in enumerate(zip(parameters, arguments, strict=True)):
        types[i] = _java_class(spark, parameter)
        values[i] = argument
    return _java_class(spark, class_name).getMethod(method, types).invoke(None, values)


def _jar_loaded(spark: Any) -> bool:
    try:
        _java_class(spark, _FUNCTIONS_CLASS)
    except Exception:  # noqa: BLE001 (py4j reports the ClassNotFoundException its own way)
        return False
    return True


def register(spark: Any) -> Any:
    """Registers the SQL functions in a running session (as its temporary
    functions), first adding the jar to it when it lacks it; returns
    `spark`."""
    if not _jar_loaded(spark):
        spark.sql(f"ADD JAR '{jar_path()}'")
    _invoke_static(spark, _FUNCTIONS_CLASS, "register", ["org.apache.spark.sql.SparkSession"],
                   [spark._jsparkSession])
    return spark


def _registered(df: DataFrame) -> bool:
    """Whether the DataFrame's session has the JVM functions."""
    try:
        return bool(df.sparkSession.catalog.functionExists("vantorelle_sketch"))
    except Exception:  # noqa: BLE001 (a Connect session without them, say)
        return False


def live_native_states(spark: Any) -> int:
    """Engine states alive in the session's JVM: a debug counter that no path,
    a failed task included, should leave above where it started."""
    return int(_invoke_static(spark, _FUNCTIONS_CLASS, "liveStates", [], []))


# --- partition steps (run in the Python workers) ------------------------------


def _whole_partition(batches: Iterable[pa.RecordBatch]) -> pa.Table | None:
    collected = list(batches)
    if not collected:
        return None
    return pa.Table.from_batches(collected)


def _as_output(result: Any, keys: list[str], name: str) -> Iterator[pa.RecordBatch]:
    """The kernel's table as batches of the keys (types as they came in) and
    one binary column called `name`."""
    table = result if isinstance(result, pa.Table) else pa.table(result)
    sketches = [column for column in table.column_names if column not in keys]
    if len(sketches) != 1:
        raise RuntimeError(f"the grouped kernel gave columns {table.column_names}")
    out = pa.table(
        [table.column(key) for key in keys]
        + [table.column(sketches[0]).cast(pa.binary())],
        names=keys + [name],
    )
    yield from out.to_batches()


def _group_named(table: pa.Table, keys: list[str], row: int) -> str:
    values = ", ".join(f"{key}={table.column(key)[row].as_py()!r}" for key in keys)
    return f"group ({values})"


def _failure_by_group(table: pa.Table, keys: list[str], column: str, corrupt: bool) -> str | None:
    """Why the grouped merge of a partition failed, as "group (k=2): <reason>",
    found again item by item (error path only): the kernel's message numbers
    the row within the partition, which no one can find in the DataFrame.
    Corrupt bytes are looked for first, as the kernel checks every sketch
    before it merges any. None when the failure is not found again."""
    if corrupt:
        for row, item in enumerate(table.column(column).to_pylist()):
            try:
                if item is not None:
                    vantorelle.validate(item)
            except vantorelle.CorruptSketchError as error:
                return f"{_group_named(table, keys, row)}: not a valid sketch: {error}"
        return None
    groups = table.group_by(keys, use_threads=False).aggregate([(column, "list")])
    for row, items in enumerate(groups.column(column + "_list").to_pylist()):
        present = [vantorelle.from_bytes(item) for item in items if item is not None]
        try:
            for sketch in present[1:]:
                present[0].merge(sketch)
        except _FAILURES as error:
            return f"{_group_named(groups, keys, row)}: its sketches do not merge: {error}"
    return None


def _sketch_partition(
    batches: Iterable[pa.RecordBatch], keys: list[str], column: str, ty: type | None,
    normal_precision: int, sparse_precision: int | None,
) -> Iterator[pa.RecordBatch]:
    table = _whole_partition(batches)
    if table is None:
        return
    try:
        result = _grouped.sketch_by(table, keys, column, ty, normal_precision, sparse_precision,
                                    threads=1)
    except _FAILURES as error:
        raise type(error)(f"vantorelle.spark.sketch_by, column {column!r}: {error}") from None
    yield from _as_output(result, keys, SKETCH)


def _merge_partition(
    batches: Iterable[pa.RecordBatch], keys: list[str], column: str, who: str, name: str,
) -> Iterator[pa.RecordBatch]:
    table = _whole_partition(batches)
    if table is None:
        return
    try:
        result = _grouped.merge_by(table, keys, column, threads=1)
    except (vantorelle.CorruptSketchError, vantorelle.IncompatibleSketchError) as error:
        found = _failure_by_group(table, keys, column,
                                  isinstance(error, vantorelle.CorruptSketchError))
        raise type(error)(f"{who}, column {column!r}, {found}" if found else f"{who}: {error}") from None
    except _FAILURES as error:
        raise type(error)(f"{who}, column {column!r}: {error}") from None
    yield from _as_output(result, keys, name)


# --- DataFrame functions -----------------------------------------------------


def _shuffled_merge(partial: DataFrame, keys: list[str], schema: StructType, who: str,
                    name: str) -> DataFrame:
    merge = functools.partial(_merge_partition, keys=keys, column=name, who=who, name=name)
    with _no_pandas_version_warning():
        return partial.repartition(*keys).mapInArrow(merge, schema)


def sketch_by(
    df: DataFrame,
    by: str | Iterable[str],
    column: str,
    ty: type | None = None,
    normal_precision: int = DEFAULT_NORMAL_PRECISION,
    sparse_precision: int | None = DEFAULT_SPARSE_PRECISION,
) -> DataFrame:
    """A DataFrame of the key columns `by` and a ``sketch`` column
    (``BinaryType``): the serialised sketch of each group's values of
    `column`, byte for byte that of ``vantorelle.sketch`` over those values.

    Nulls are skipped; rows with a null key form a group, as in ``groupBy``;
    a group without values has an empty sketch. The sketches' type follows the
    column (integers -> ``int``, strings -> ``str``, binary -> ``bytes``)
    unless ``ty`` fixes it; other columns are refused with a ``TypeError``
    before any job runs.
    """
    keys = _key_list(df, by)
    _check_present(df, [column])
    if column in keys:
        raise ValueError(f"column {column!r} is also a key")
    _check_key_columns(df, keys)
    _check_value_column(df, column, ty, normal_precision, sparse_precision)
    schema = _output_schema(df, keys, SKETCH)
    read = functools.partial(
        _sketch_partition, keys=keys, column=column, ty=ty,
        normal_precision=normal_precision, sparse_precision=sparse_precision,
    )
    with _no_pandas_version_warning():
        partial = df.select(*keys, column).mapInArrow(read, schema)
    return _shuffled_merge(partial, keys, schema, "vantorelle.spark.sketch_by", SKETCH)


def merge_by(df: DataFrame, by: str | Iterable[str], column: str = SKETCH) -> DataFrame:
    """A DataFrame of the key columns `by` and `column`: the stored sketches
    of `column` merged per group (roll-ups). Null sketches are skipped; a
    group of null sketches gives null. A corrupt sketch, or sketches of
    different types, fail the job with an error naming the column and group.
    """
    keys = _key_list(df, by)
    _check_present(df, [column])
    if column in keys:
        raise ValueError(f"column {column!r} is also a key")
    _check_key_columns(df, keys)
    _check_sketch_column(df, column)
    schema = _output_schema(df, keys, column)
    who = "vantorelle.spark.merge_by"
    first = functools.partial(_merge_partition, keys=keys, column=column, who=who, name=column)
    with _no_pandas_version_warning():
        partial = df.select(*keys, column).mapInArrow(first, schema)
    return _shuffled_merge(partial, keys, schema, who, column)


# --- column functions --------------------------------------------------------


def _sketch_group(
    values: pa.Array, name: str, ty: type | None, normal_precision: int,
    sparse_precision: int | None,
) -> bytes:
    try:
        return vantorelle.sketch(values, ty, normal_precision, sparse_precision).to_bytes()
    except _FAILURES as error:
        raise type(error)(f"vantorelle.spark.sketch_agg, column {name}: {error}") from None


def _merge_group(sketches: pa.Array, name: str) -> bytes | None:
    present = [item for item in sketches.to_pylist() if item is not None]
    if not present:
        return None
    try:
        return vantorelle.merge_all(present).to_bytes()
    except _FAILURES as error:
        raise type(error)(f"vantorelle.spark.merge_agg, column {name}: {error}") from None


def _estimates(sketches: pa.Array, name: str) -> pa.Array:
    try:
        result = _grouped.estimates(sketches, threads=1)
    except _FAILURES as error:
        raise type(error)(f"vantorelle.spark.estimate, column {name}: {error}") from None
    return pa.array(result).cast(pa.int64())


def _arrow_udf(function: Any, return_type: Any) -> Any:
    with _no_pandas_version_warning():
        return F.arrow_udf(function, return_type)


def sketch_agg(
    column: str | Column,
    ty: type | None = None,
    normal_precision: int = DEFAULT_NORMAL_PRECISION,
    sparse_precision: int | None = DEFAULT_SPARSE_PRECISION,
) -> Column:
    """For ``df.groupBy(...).agg(sketch_agg("user"))``: each group's
    serialised sketch (``BinaryType``), as `sketch_by` gives it.

    A grouped-aggregate UDF: Spark hands it a whole group at once and refuses
    it beside built-in aggregates in the same ``agg`` (other vantorelle
    aggregates are fine). For large groups use `sketch_by`.
    """
    if ty not in (None, int, str, bytes):
        raise TypeError(f"ty must be int, str, bytes or None, not {ty!r}")
    # The class's own checks of the precisions, on the driver.
    _native.check_precisions(normal_precision, sparse_precision)
    name = repr(_column_name(column))

    def sketch_group(values: pa.Array) -> bytes:
        return _sketch_group(values, name, ty, normal_precision, sparse_precision)

    return _arrow_udf(sketch_group, BinaryType())(column)


def merge_agg(column: str | Column) -> Column:
    """For ``df.groupBy(...).agg(merge_agg("sketch"))``: each group's stored
    sketches merged (null when all are null); see `sketch_agg` for what Spark
    allows beside it, and `merge_by` for large groups."""
    name = repr(_column_name(column))

    def merge_group(sketches: pa.Array) -> bytes | None:
        return _merge_group(sketches, name)

    return _arrow_udf(merge_group, BinaryType())(column)


def estimate(column: str | Column) -> Column:
    """A ``LongType`` column of the estimates of a column of serialised
    sketches, computed a batch at a time; 0 for null."""
    name = repr(_column_name(column))

    def estimate_batch(sketches: pa.Array) -> pa.Array:
        return _estimates(sketches, name)

    return _arrow_udf(estimate_batch, "long")(column)
