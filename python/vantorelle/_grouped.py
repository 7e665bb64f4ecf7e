"""Sketches per group: sketch_by, merge_by and estimates over whole tables.

The work is one native call over the table's Arrow C stream; this module only
checks the arguments, streams the columns the call needs, and builds the
result in the caller's own library. That library is recognised by the module
name of the table's type and imported only then, so importing vantorelle
still imports nothing beyond the standard library.

The native call reports each group by the index of its first row in the
stream; the key columns of the result are taken from the input by those
rows, so their types are exactly the input's (categories stay categories,
dates stay dates).
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

from vantorelle import _native
from vantorelle._arguments import check_precisions, check_ty, thread_count
from vantorelle._columns import (
    _is_pandas_object_column,
    arrow_refusal,
    exports_arrow,
    in_native_byte_order,
    library_class,
    library_of,
    read_object_column,
    read_through_arrow,
)
from vantorelle._estimators import _confidence, _method_code
from vantorelle._native import (
    DEFAULT_NORMAL_PRECISION,
    DEFAULT_SPARSE_PRECISION,
    InvalidInputError,
    RefusedValueError,
)

# The result's column of serialised sketches.
SKETCH_COLUMN = "sketch"


# --- arguments ----------------------------------------------------------------


def _key_names(by: Any, table: Any) -> list[Any]:
    """The key column names in `by`. A pandas frame's columns may be labelled
    by other values than str (0, 1, ... after read_csv(header=None)): its
    labels are taken as they are."""
    labels = library_of(table) == "pandas"
    # (a tuple that labels a column is that column, as pandas reads it)
    single = isinstance(by, str) or (labels and (not isinstance(by, (list, tuple)) or _labels_column(by, table)))
    names = [by] if single else by
    if not isinstance(names, (list, tuple)):
        raise RefusedValueError(
            f"by must be a column name or a list of column names, not {type(by).__qualname__}"
        )
    if not names:
        raise InvalidInputError("by names no column: give at least one key column")
    for name in names:
        if labels:
            _check_label(name, "by")
        elif not isinstance(name, str):
            raise RefusedValueError(f"key column names must be str, not {type(name).__qualname__}: {name!r}")
    repeated = [name for i, name in enumerate(names) if name in names[:i]]
    if repeated:
        raise InvalidInputError(f"key column {repeated[0]!r} is named more than once in by")
    return list(names)


def _labels_column(by: Any, table: Any) -> bool:
    try:
        return isinstance(by, tuple) and by in table.columns
    except Exception:  # noqa: BLE001 (an index that cannot look the tuple up)
        return False


def _check_label(label: Any, role: str) -> None:
    """Refuses a pandas column label that cannot name one column: one that is
    not hashable (an array of labels, say), a bool (pandas reads a list of
    them as a mask of rows), None or NaN (equal to no label), or one without
    a text (which names it in the Arrow stream)."""
    import pandas as pd

    try:
        hash(label)
        str(label)
    except Exception:  # noqa: BLE001 (whatever the label's own methods raise)
        some = " or a list of them" if role == "by" else ""
        raise RefusedValueError(f"{role} must be a column label{some}, not {type(label).__qualname__}") from None
    if pd.api.types.is_bool(label) or (pd.api.types.is_scalar(label) and pd.isna(label)):
        raise RefusedValueError(f"a column labelled {label!r} cannot be named in {role}: relabel it")


def _value_name(column: Any, keys: list[Any], role: str, table: Any) -> Any:
    if library_of(table) == "pandas":
        _check_label(column, role)
    elif not isinstance(column, str):
        raise RefusedValueError(f"{role} must be a column name (str), not {type(column).__qualname__}")
    if column in keys:
        raise InvalidInputError(f"{role} {column!r} is also a key column")
    if SKETCH_COLUMN in keys:
        raise InvalidInputError(
            f"a key column named {SKETCH_COLUMN!r} would clash with the result's sketch column; "
            "rename it"
        )
    return column


def _grouping_names(table: Any, by: Any, column: Any) -> tuple[list[Any], Any, list[str], str]:
    """The key columns and the value column of a grouped call on `table`, as
    the caller names them and as the table's Arrow stream names them."""
    keys = _key_names(by, table)
    column = _value_name(column, keys, "column", table)
    *stream_keys, stream_column = _stream_names([*keys, column])
    return keys, column, stream_keys, stream_column


def _stream_names(names: list[Any]) -> list[str]:
    """The names the columns `names` have in the table's Arrow stream, where
    a pandas frame's labels become text."""
    streamed = [str(name) for name in names]
    for i, name in enumerate(streamed):
        fault = arrow_name_fault(name)
        if fault is not None:
            raise RefusedValueError(f"column {names[i]!r} cannot be named in Arrow (its name holds {fault}): rename it")
        if name in streamed[:i]:
            first = names[streamed.index(name)]
            raise InvalidInputError(
                f"columns {first!r} and {names[i]!r} are both named {name!r} in Arrow; rename one"
            )
    return streamed


def arrow_name_fault(name: str) -> str | None:
    """What keeps `name` from naming an Arrow column through the C interfaces
    (C text in UTF-8), or None."""
    if "\0" in name:
        return "a NUL character"
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return "text that is not UTF-8"
    return None


def _check_present(available: Any, names: list[str]) -> None:
    available = list(available)
    for name in names:
        if name not in available:
            raise InvalidInputError(f"no column {name!r} in the table (columns: {available})")
        if available.count(name) > 1:
            raise InvalidInputError(f"column {name!r} appears more than once in the table")


# --- inputs and results in the caller's library --------------------------------
#
# Each reader returns (stream, finish): `stream` has __arrow_c_stream__ and
# holds the needed columns only; finish(first_rows, sketches, sketch_type)
# builds the result table from the native call's two Arrow arrays.


def _pyarrow_table(table: Any, keys: list[str], names: list[str]):
    import pyarrow as pa

    if isinstance(table, pa.RecordBatch):
        table = pa.Table.from_batches([table])
    _check_present(table.column_names, names)

    def finish(first_rows: Any, sketches: Any) -> Any:
        result = _take_rows(table.select(keys), pa.array(first_rows))
        return result.append_column(SKETCH_COLUMN, pa.array(sketches))

    return table.select(names), finish


def _take_rows(table: Any, rows: Any) -> Any:
    """table.take(rows), for every key type the engine groups by."""
    import pyarrow as pa

    return pa.Table.from_arrays([_take_column(column, rows) for column in table.columns], schema=table.schema)


def _take_column(column: Any, rows: Any) -> Any:
    """column.take(rows) where pyarrow's take falls short: string_view and
    binary_view (no kernel: they pass through their large forms), and
    dictionaries that differ between chunks and hold a null entry (which take
    cannot unify: they pass through their values, encoded again)."""
    import pyarrow as pa

    large = {pa.string_view(): pa.large_string(), pa.binary_view(): pa.large_binary()}
    if column.type in large:
        return column.cast(large[column.type]).take(rows).cast(column.type)
    if (pa.types.is_dictionary(column.type) and column.num_chunks > 1
            and any(chunk.dictionary.null_count for chunk in column.chunks)):
        # (each chunk's entries looked up by hand: a dictionary of views has
        # no cast to its values)
        through = large.get(column.type.value_type, column.type.value_type)
        values = pa.chunked_array(
            [chunk.dictionary.cast(through).take(chunk.indices) for chunk in column.chunks], through)
        return values.take(rows).dictionary_encode().cast(column.type)
    return column.take(rows)


def _arrow_stream(source: Any, keys: list[str], names: list[str]):
    """Any Arrow C stream of struct batches, read once: the key columns of each
    batch are kept (for the result) while the needed columns pass on."""
    import pyarrow as pa

    try:
        # (a pyarrow reader is read as it is: through its C stream, an
        # exception of its source, a Ctrl-C say, would come out as an Arrow
        # error's text)
        reader = source if isinstance(source, pa.RecordBatchReader) else pa.RecordBatchReader.from_stream(source)
    except (TypeError, ValueError, pa.ArrowException) as error:
        raise RefusedValueError(f"expected a table: its Arrow stream does not give record batches ({error})") from None
    _check_present(reader.schema.names, names)
    needed = pa.schema([reader.schema.field(name) for name in names])
    key_schema = pa.schema([reader.schema.field(name) for name in keys])
    kept: list[Any] = []
    stream = _SourceStream()

    def batches():
        try:
            for batch in reader:
                kept.append(batch.select(keys))
                yield batch.select(names)
        except BaseException as error:  # noqa: BLE001 (the source's own: a query failing midway, a Ctrl-C)
            stream.failure = error
            raise

    def finish(first_rows: Any, sketches: Any) -> Any:
        seen = pa.Table.from_batches(kept, schema=key_schema)
        result = _take_rows(seen, pa.array(first_rows))
        return result.append_column(SKETCH_COLUMN, pa.array(sketches))

    stream.reader = pa.RecordBatchReader.from_batches(needed, batches())
    return stream, finish


class _SourceStream:
    """A stream of the source's batches that keeps the source's own failure,
    which the native call would only see as the stream's error text."""

    def __init__(self) -> None:
        self.reader: Any = None
        self.failure: BaseException | None = None

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self.reader.__arrow_c_stream__(requested_schema)


def _pandas_frame(frame: Any, keys: list[str], names: list[str]):
    import pandas as pd
    import pyarrow as pa

    if not isinstance(frame, pd.DataFrame):
        raise RefusedValueError(f"expected a table, not a {type(frame).__qualname__}: use a DataFrame")
    if isinstance(frame.columns, pd.MultiIndex):
        if frame.columns.nlevels > 1:
            # (its results' columns would mix levels with the sketch's name)
            raise RefusedValueError("the frame's columns have several levels: give them one (frame.columns = [...])")
        # (one level: its labels name the columns, as a plain index's would)
        frame = frame.set_axis(frame.columns.get_level_values(0), axis="columns")
    _check_present(frame.columns, names)
    # (the keys of the result are taken from it too, which pandas does not
    # do in the other byte order either)
    frame = in_native_byte_order(frame)
    needed = frame[names].reset_index(drop=True)
    # (named as the native call names them, whatever the frame's labels)
    needed.columns = _stream_names(names)
    value = needed.columns[-1]
    if str(needed[value].dtype) == "object":
        needed = _arrow_of_frame(needed, value)

    def finish(first_rows: Any, sketches: Any) -> Any:
        rows = pa.array(first_rows).to_numpy(zero_copy_only=False)
        result = frame[keys].take(rows).reset_index(drop=True)
        result[SKETCH_COLUMN] = pd.Series(
            pa.array(sketches).to_numpy(zero_copy_only=False), dtype=object
        )
        return result

    return needed, finish


def _arrow_of_frame(frame: Any, value: str) -> Any:
    """The needed columns of a pandas frame as an Arrow table whose object
    value column is read as `vantorelle.sketch` reads that column (and
    refused, naming the column, where `vantorelle.sketch` refuses it)."""
    import pyarrow as pa

    array = read_object_column(frame[value], value)
    keys = frame.drop(columns=[value])
    try:
        table = pa.Table.from_pandas(keys, preserve_index=False)
    except (pa.ArrowException, UnicodeEncodeError) as error:
        raise arrow_refusal(error) from None
    return table.append_column(value, array)


def _polars_frame(frame: Any, keys: list[str], names: list[str]):
    import polars as pl

    if isinstance(frame, pl.LazyFrame):
        raise RefusedValueError("expected a table, not a polars LazyFrame: collect() it first")
    if not isinstance(frame, pl.DataFrame):
        raise RefusedValueError(f"expected a table, not a {type(frame).__qualname__}: use a DataFrame")
    _check_present(frame.columns, names)

    def finish(first_rows: Any, sketches: Any) -> Any:
        result = frame.select(keys)[pl.Series(first_rows)]
        # (a Series made from an Arrow array takes the array's own field name)
        return result.with_columns(pl.Series(sketches).alias(SKETCH_COLUMN))

    return frame.select(names), finish


def _duckdb_relation(relation: Any, keys: list[str], names: list[str]):
    import duckdb

    if not isinstance(relation, duckdb.DuckDBPyRelation):
        raise RefusedValueError(f"expected a table, not a {type(relation).__qualname__}: use a relation")
    columns = relation.columns
    _check_present(columns, names)
    # Each column is picked by its place: DuckDB matches a name to a column
    # whatever their case, so "k" would pick a column "K" that comes first.
    projected = relation.project(", ".join(
        f"#{columns.index(name) + 1} AS " + '"' + name.replace('"', '""') + '"' for name in names
    ))
    # A relation may give its rows in another order when run again, so the
    # keys are kept from the one pass that is counted.
    stream, finish_arrow = _arrow_stream(projected, keys, names)

    def finish(first_rows: Any, sketches: Any) -> Any:
        return on_connection_of(relation, finish_arrow(first_rows, sketches))

    return stream, finish


def on_connection_of(relation: Any, table: Any) -> Any:
    """The Arrow `table` as a relation on `relation`'s own connection, so that
    a result can be stored or joined there."""
    # DuckDB finds the Arrow table by this variable's name.
    __vantorelle_result = table  # noqa: F841
    return relation.query("__vantorelle_input", "SELECT * FROM __vantorelle_result")


def _reader(table: Any, keys: list[str], names: list[str]):
    library = library_of(table)
    if library == "pandas":
        return _pandas_frame(table, keys, names)
    if library == "polars":
        return _polars_frame(table, keys, names)
    if library == "duckdb":
        return _duckdb_relation(table, keys, names)
    if not hasattr(table, "__arrow_c_stream__"):
        raise RefusedValueError(
            f"expected a table (pyarrow, pandas, polars, a DuckDB relation: anything with "
            f"__arrow_c_stream__), not {type(table).__qualname__}"
        )
    if library == "pyarrow":
        import pyarrow as pa

        if isinstance(table, (pa.Table, pa.RecordBatch)):
            return _pyarrow_table(table, keys, names)
    return _arrow_stream(table, keys, names)


# --- the functions ---------------------------------------------------------------


def sketch_by(
    table: Any,
    by: str | list[str],
    column: str,
    ty: type | None = None,
    normal_precision: int = DEFAULT_NORMAL_PRECISION,
    sparse_precision: int | None = DEFAULT_SPARSE_PRECISION,
    *,
    threads: int | None = None,
) -> Any:
    """One serialised sketch per group of `table`'s rows: a table with the key
    columns and a ``sketch`` column of Arrow binary.

    `table` is anything with ``__arrow_c_stream__``: a pyarrow Table or
    RecordBatchReader, a pandas or polars DataFrame, a DuckDB relation. The
    result is of the same library (pandas: an object column of bytes; polars:
    Binary; a DuckDB relation for a relation; a pyarrow Table otherwise).
    `by` is one key column or a list of them; as SQL's GROUP BY does, rows
    with a null key form a group of their own. Groups come in the order of
    their first rows. Null values are skipped; a group whose values are all
    null has an empty sketch. Each group's bytes equal those of
    ``vantorelle.sketch(<the group's values>, ty, normal_precision,
    sparse_precision)``. ``threads=None`` uses every core; the bytes do not
    depend on it.
    """
    keys, column, stream_keys, stream_column = _grouping_names(table, by, column)
    check_ty(ty)
    check_precisions(normal_precision, sparse_precision)
    count = thread_count(threads)
    stream, finish = _reader(table, keys, [*keys, column])
    first_rows, sketches = _through_arrow(
        _native.sketch_by, stream, stream_keys, stream_column, ty, normal_precision, sparse_precision or 0, count
    )
    return finish(first_rows, sketches)


def check_key_types(schema: Any) -> None:
    """Raises the RefusedValueError that `sketch_by` would for a key column of
    the pyarrow `schema` that the engine does not group by (floats, decimals,
    nested types): an empty table of those columns, grouped."""
    import pyarrow as pa

    keys = list(schema.names)
    counted = "_".join(["counted", *keys])  # (a name no key has)
    empty = pa.schema([*schema, pa.field(counted, pa.int64())]).empty_table()
    _native.sketch_by(empty, keys, counted, None, DEFAULT_NORMAL_PRECISION, DEFAULT_SPARSE_PRECISION, 1)


def _through_arrow(call: Any, *args: Any) -> Any:
    """A native call whose table is read through the Arrow C stream
    (read_through_arrow), a source that failed midway (a DuckDB query
    raising) named by its own message, not the stream's text of it with a
    traceback inside."""
    try:
        return read_through_arrow(call, *args)
    except Exception:
        failure = getattr(args[0], "failure", None)
        if failure is None:
            raise
        if not isinstance(failure, Exception):
            raise failure from None  # (KeyboardInterrupt, SystemExit: as they were)
        raise InvalidInputError(f"reading the table failed: {failure}") from failure


def merge_by(
    table: Any, by: str | list[str], column: str = SKETCH_COLUMN, *, threads: int | None = None
) -> Any:
    """The stored sketches of `column` merged per group (roll-ups): a table of
    the input's library, as `sketch_by` gives, with the key columns and a
    ``sketch`` column.

    Every stored sketch is checked as ``vantorelle.from_bytes`` checks it; a
    corrupt one is a ValueError naming its row. Null sketches are skipped.
    """
    keys, column, stream_keys, stream_column = _grouping_names(table, by, column)
    count = thread_count(threads)
    stream, finish = _reader(table, keys, [*keys, column])
    first_rows, sketches = _through_arrow(_native.merge_by, stream, stream_keys, stream_column, count)
    return finish(first_rows, sketches)


# The tables that `estimates` may be handed in place of one of their columns.
_TABLES = {("pandas", "DataFrame"), ("polars", "DataFrame"), ("polars", "LazyFrame"),
           ("pyarrow", "Table"), ("pyarrow", "RecordBatch")}


def _one_column_wanted(table: Any, library: str, kind: str) -> str:
    """The refusal of a table given where one column of sketches is expected,
    with a column to pass instead: the ``sketch`` column that sketch_by and
    merge_by give, when the table has one, else its first."""
    refusal = f"expected one column of sketches, not a {library} {kind}"
    if kind == "LazyFrame":
        return f"{refusal}: collect() it and pass one of its columns"
    names = list(table.column_names if library == "pyarrow" else table.columns)
    if not names:
        return f"{refusal} (it has no columns)"
    name = SKETCH_COLUMN if SKETCH_COLUMN in names else names[0]
    return f"{refusal}: pass one of its columns, e.g. table[{name!r}]"


def estimates(
    sketches: Any,
    *,
    method: str = "default",
    bounds: float | None = None,
    threads: int | None = None,
) -> Any:
    """The estimates of a column of serialised sketches, as an int64 column of
    the same kind: a pyarrow array for an Arrow column, a pandas Series (same
    index and name) for a pandas Series, a polars Int64 Series for a polars
    Series, a list of int for a list or any other iterable of bytes. A null
    sketch gives 0.

    ``method`` is as in `vantorelle.estimate`: ``"default"`` equals
    ``result()`` of each sketch; ``"improved"`` and ``"ml"`` are the
    estimators without bias tables. With ``bounds=confidence`` (for example
    0.95) the result holds three int64 columns, ``estimate``, ``lower`` and
    ``upper``, as `vantorelle.bounds` gives them: a pyarrow Table, a pandas
    DataFrame (same index), a polars DataFrame, or a list of
    ``(estimate, lower, upper)`` tuples.
    """
    count = thread_count(threads)
    code = _method_code(method)
    library, kind = library_class(sketches)
    if (library, kind) in _TABLES:
        raise RefusedValueError(_one_column_wanted(sketches, library, kind))
    if isinstance(sketches, (str, bytes, bytearray, memoryview)):
        raise RefusedValueError(
            f"expected a column of serialised sketches, not one {type(sketches).__qualname__}"
        )
    arrow = exports_arrow(sketches)
    if not arrow and not hasattr(sketches, "__iter__"):
        raise RefusedValueError(
            f"expected a column of serialised sketches, not {type(sketches).__qualname__}"
        )
    # (a pandas object column read item by item, as merge_by reads one: text
    # among bytes is refused, not encoded by Arrow and read as a sketch)
    column = read_object_column(sketches, sketches.name) if _is_pandas_object_column(sketches) else sketches
    if bounds is None:
        columns = {"estimate": read_through_arrow(_native.estimates, column, count, code)}
    else:
        values, lower, upper = read_through_arrow(_native.estimates, column, count, code, _confidence(bounds))
        columns = {"estimate": values, "lower": lower, "upper": upper}
    if not arrow:
        lists = [memoryview(data).cast("q").tolist() for data in columns.values()]
        return lists[0] if bounds is None else list(zip(*lists))
    if library == "pandas":
        import numpy as np
        import pandas as pd

        # Each column's values are its own (a writable buffer): no copy.
        series = {
            name: pd.Series(np.frombuffer(data, dtype=np.int64), index=sketches.index, copy=False)
            for name, data in columns.items()
        }
        if bounds is None:
            return series["estimate"].rename(sketches.name)
        return pd.DataFrame(series)
    if library == "polars":
        import polars as pl

        series = {name: pl.Series(data).alias(name) for name, data in columns.items()}
        if bounds is None:
            return series["estimate"].alias(sketches.name)
        return pl.DataFrame(list(series.values()))
    import pyarrow as pa

    arrays = {name: pa.array(data) for name, data in columns.items()}
    return arrays["estimate"] if bounds is None else pa.table(arrays)
