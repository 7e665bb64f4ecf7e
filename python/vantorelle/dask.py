"""Distinct counts on Dask: whole-collection sketches, per-group sketches and roll-ups.

Each partition is read by the column path (``vantorelle.sketch``) or, per
group, by one ``vantorelle.sketch_by`` call, and partial results are merged
per group by one ``vantorelle.merge_by`` call: no Python loop per row or per
group. Which columns count, and as what, is the column path's decision, read
from the Arrow type of each partition. What travels between processes is
serialised sketches (``bytes``), and every task function lives in this module,
so workers import it by name.

    approx_distinct(collection)    lazy int: estimated distinct values
    sketch(collection)             lazy HyperLogLogPlusPlus
    sketch_aggregation()           ddf.groupby(key)[column].agg(...): one sketch per group
    merge_aggregation()            ddf.groupby(key)[sketches].agg(...): roll-ups of stored sketches
    estimate(series)               the estimates of a column of serialised sketches

Sketch columns are Arrow binary (``SKETCH_DTYPE``, what Parquet stores); object
columns of ``bytes`` are accepted as input. Object columns are read as
``vantorelle.sketch`` reads them; Dask's own string conversion
(``dataframe.convert-string``) turns them into text before they reach this
module, unless it is switched off. Importing this module imports Dask;
importing ``vantorelle`` does not.
"""

from __future__ import annotations

import functools
from typing import Any, Callable

import dask
import dask.array as da
import dask.bag as db
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa
from dask.dataframe.utils import meta_nonempty
from vantorelle_py import HyperLogLogPlusPlus

import vantorelle
from vantorelle import IncompatibleSketchError, InvalidInputError, RefusedValueError, _grouped, _native
from vantorelle._arguments import check_precisions, check_ty
from vantorelle._columns import column_value_type, in_native_byte_order, read_object_column
from vantorelle._native import DEFAULT_NORMAL_PRECISION, DEFAULT_SPARSE_PRECISION

__all__ = [
    "approx_distinct",
    "estimate",
    "merge_aggregation",
    "sketch",
    "sketch_aggregation",
]

# The dtype of every sketch column this module produces.
SKETCH_DTYPE = pd.ArrowDtype(pa.binary())

# How many partial sketches one merge task takes.
_SPLIT_EVERY = 8

# Each task is one partition; Dask runs the tasks side by side.
_TASK_THREADS = 1


# --- value types -------------------------------------------------------------


def _refused(error: Exception, dtype: Any, column: Any = None) -> RefusedValueError:
    what = "values" if column is None else f"column {column!r}"
    return RefusedValueError(f"cannot sketch {what} of dtype {dtype}: {error}")


def _value_type(meta: pd.Series, ty: type | None) -> type | None:
    """The type of sketch a column of `meta`'s dtype counts as, as the column
    path decides it (None for object columns, whose values decide). A dtype
    that cannot be counted (floats, dates...) is refused here, naming the
    column and dtype."""
    if ty is not None or pd.api.types.is_object_dtype(meta.dtype):
        return ty
    try:
        return column_value_type(pa.array(in_native_byte_order(meta.iloc[:0]), from_pandas=True).type)
    except RefusedValueError as error:
        raise _refused(error, meta.dtype, meta.name) from None


# --- reading one partition ---------------------------------------------------


def _as_arrow(values: pd.Series) -> pa.Array:
    """A pandas column as one Arrow array (nulls as Arrow nulls); an object
    column read as `vantorelle.sketch` reads it."""
    if values.dtype == object:
        return read_object_column(values, values.name)
    try:
        array = pa.array(in_native_byte_order(values), from_pandas=True)
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError) as error:
        raise _refused(error, values.dtype, values.name) from None
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    return array


def _series_partition(
    values: pd.Series, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> bytes | None:
    """The serialised sketch of a partition; None when it has no values and
    nothing fixes their type."""
    array = _as_arrow(values)
    if ty is None and array.null_count == len(array):
        return None
    try:
        return vantorelle.sketch(array, ty, normal_precision, sparse_precision).to_bytes()
    except RefusedValueError as error:
        raise _refused(error, values.dtype, values.name) from None


def _array_partition(
    chunk: np.ndarray, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> bytes | None:
    flat = np.ravel(chunk)
    if flat.dtype.kind in "iu":
        return vantorelle.sketch(flat, ty or int, normal_precision, sparse_precision).to_bytes()
    return _series_partition(pd.Series(flat), ty, normal_precision, sparse_precision)


def _bag_partition(
    items: Any, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> bytes | None:
    values = [value for value in items if value is not None]
    if ty is None and values:
        first = values[0]
        ty = bytes if isinstance(first, (bytes, bytearray, memoryview)) else (
            str if isinstance(first, str) else int
        )
    if ty is None:
        return None
    return vantorelle.sketch(values, ty, normal_precision, sparse_precision).to_bytes()


# --- merging -----------------------------------------------------------------


def _merge_present(items: list[Any], where: str = "") -> bytes | None:
    """One serialised sketch merging the non-null serialised sketches in `items`
    (None when there are none). Every input is checked before it is used."""
    present = [item for item in items if item is not None]
    try:
        if not present:
            return None
        if len(present) == 1:
            vantorelle.validate(present[0])
            return bytes(present[0])
        return vantorelle.merge_all(present).to_bytes()
    except (TypeError, ValueError, RuntimeError) as error:
        if not where:
            raise
        raise type(error)(f"{where}: {error}") from None


def _mixed_partitions(what: str) -> RefusedValueError:
    """The refusal of `what` (a collection, a column) whose partitions'
    values are of different types (integers in some, text or bytes in
    others), met when their partial sketches, all made at one pair of
    precisions, cannot merge: the class vantorelle.sketch refuses such a
    column with. (Dask's steps know the column only by a name of its own.)"""
    return RefusedValueError(
        f"{what} holds integers in some partitions and text or bytes in others, which one sketch does "
        "not count together (vantorelle.sketch refuses such a column at its first value of the other type)"
    )


def _merge_serialized(parts: list[bytes | None]) -> bytes | None:
    """A merge of a collection's own partial sketches."""
    try:
        return _merge_present(list(parts))
    except IncompatibleSketchError:
        raise _mixed_partitions("the collection") from None


def _finish_sketch(
    serialized: bytes | None,
    ty: type | None,
    normal_precision: int,
    sparse_precision: int | None,
) -> HyperLogLogPlusPlus:
    if serialized is not None:
        return vantorelle.from_bytes(serialized)
    if ty is None:
        raise InvalidInputError(
            "cannot infer the value type of a collection without values; pass ty=int, "
            "ty=str or ty=bytes"
        )
    return HyperLogLogPlusPlus(ty, normal_precision, sparse_precision)


def _finish_estimate(serialized: bytes | None) -> int:
    return 0 if serialized is None else vantorelle.from_bytes(serialized).result()


# --- whole collections -------------------------------------------------------


def _partitions(
    collection: Any, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> tuple[list[Any], Callable[..., bytes | None], type | None]:
    """The collection's partitions as Delayed objects, the function that reads
    one, and the type of sketch the collection's dtype counts as (None when
    its values decide). A dtype that cannot be counted is refused here,
    before anything runs."""
    if isinstance(collection, dd.Series):
        return list(collection.to_delayed()), _series_partition, _value_type(collection._meta, ty)
    if isinstance(collection, da.Array):
        if collection.ndim != 1:
            raise InvalidInputError(
                f"expected a 1-D Dask array, got {collection.ndim} dimensions"
            )
        meta = pd.Series(np.empty(0, dtype=collection.dtype))
        return list(collection.to_delayed().ravel()), _array_partition, _value_type(meta, ty)
    if isinstance(collection, db.Bag):
        return list(collection.to_delayed()), _bag_partition, ty
    if isinstance(collection, dd.DataFrame):
        raise RefusedValueError(
            "expected one column (a Dask Series), not a DataFrame: select a column"
        )
    raise RefusedValueError(
        f"expected a Dask Series, 1-D Array or Bag, not {type(collection).__qualname__}"
    )


def _merged(
    collection: Any, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> tuple[Any, type | None]:
    """A Delayed holding the serialised sketch of the whole collection (or
    None when it has no values), merged as a tree of small merges, and the
    type of sketch the collection's dtype counts as."""
    check_ty(ty)
    check_precisions(normal_precision, sparse_precision)
    parts, read, value_type = _partitions(collection, ty, normal_precision, sparse_precision)
    level = [
        dask.delayed(read, pure=True)(part, ty, normal_precision, sparse_precision)
        for part in parts
    ]
    if not level:
        level = [dask.delayed(_merge_serialized, pure=True)([])]
    while len(level) > 1:
        level = [
            dask.delayed(_merge_serialized, pure=True)(level[i : i + _SPLIT_EVERY])
            for i in range(0, len(level), _SPLIT_EVERY)
        ]
    return level[0], value_type


def sketch(
    collection: Any,
    normal_precision: int = DEFAULT_NORMAL_PRECISION,
    sparse_precision: int | None = DEFAULT_SPARSE_PRECISION,
    *,
    ty: type | None = None,
) -> Any:
    """A Dask Delayed whose ``compute()`` is one ``HyperLogLogPlusPlus`` of
    every value of `collection` (a Dask Series, 1-D Array or Bag).

    Nulls are skipped. The sketch's type follows the column (integers ->
    ``int``, strings -> ``str``, binary -> ``bytes``; object columns and Bags
    by their values) unless ``ty`` fixes it. Its ``result()`` and
    ``num_values()`` equal those of ``vantorelle.sketch`` over all the values.
    """
    merged, value_type = _merged(collection, ty, normal_precision, sparse_precision)
    return dask.delayed(_finish_sketch, pure=True)(
        merged, value_type, normal_precision, sparse_precision
    )


def approx_distinct(
    collection: Any,
    normal_precision: int = DEFAULT_NORMAL_PRECISION,
    sparse_precision: int | None = DEFAULT_SPARSE_PRECISION,
    *,
    ty: type | None = None,
) -> Any:
    """A Dask Delayed whose ``compute()`` is the estimated number of distinct
    values of `collection` as an ``int`` (0 when it has none); see `sketch`."""
    merged, _ = _merged(collection, ty, normal_precision, sparse_precision)
    return dask.delayed(_finish_estimate, pure=True)(merged)


# --- per-group aggregations --------------------------------------------------
#
# Dask calls an aggregation's steps on pandas SeriesGroupBy objects: `chunk`
# on each partition, `agg` on the concatenated chunk outputs (grouped by the
# index), repeatedly in a tree, then `finalize` once. `merge_aggregation`'s
# steps return one serialised sketch per group as an Arrow binary Series
# indexed by the group keys.
#
# `sketch_aggregation` ships partial sketches only where they pay. A partial
# sketch of a few values is larger than the values, and merging it costs
# more than hashing them again, so a partition whose groups hold fewer than
# _PARTIAL_FROM values on average passes its values on as they are; they
# are sketched by the first step that has gathered enough of them per
# group (in a tree of merges, when Dask is given split_out=1), or at the end. Its steps return two Series on one
# index of group keys, partial sketches and values: a row holds either a
# group's partial sketch or one of its values (a key may repeat), and
# `finalize` turns all of a group's rows into its one sketch.

# The average values per group from which partial sketches are shipped.
_PARTIAL_FROM = 32


def _group_codes(grouped: Any) -> tuple[pd.Index, np.ndarray]:
    """The group keys and each row's position among them (-1 for a row whose
    key the groupby drops)."""
    return grouped.size().index, grouped.ngroup().to_numpy(dtype=np.int64, na_value=-1)


def _value_column(column: pa.Array, name: Any) -> str:
    """The name under which a column of the user's takes part in a native
    grouped call: its own when it is text that does not clash and that Arrow
    can carry (so that refusals name it), else "values"."""
    return name if _carried(name) and name != "group" else "values"


def _carried(name: Any) -> bool:
    """Whether `name` is text that can name a column through Arrow's C
    interfaces."""
    return isinstance(name, str) and _grouped.arrow_name_fault(name) is None


def _by_group(
    grouped: Any, column: pa.Array, run: Callable[[pa.Table, str], pa.Table]
) -> pd.Series:
    """One native grouped call over the partition, its groups given by their
    codes; the result as a sketch Series indexed by the group keys."""
    keys, codes = _group_codes(grouped)
    name = _value_column(column, grouped.obj.name)
    table = run(pa.table({"group": codes, name: column}), name)
    return _keyed_sketches(table, keys, grouped.obj.name)


def _keyed_sketches(table: pa.Table, keys: pd.Index, name: Any) -> pd.Series:
    """A native grouped result over group codes (-1: no group), as a sketch
    Series indexed by the keys of the codes."""
    found = table.column("group").to_numpy()
    kept = found >= 0
    sketches = table.column("sketch").combine_chunks().filter(pa.array(kept))
    return pd.Series(
        pd.arrays.ArrowExtensionArray(sketches),
        index=keys.take(found[kept]),
        name=name,
        dtype=SKETCH_DTYPE,
    )


_PLACEHOLDER: list[Any] = []


def _dask_object_placeholder() -> Any:
    """The value Dask puts in its made-up samples of object columns."""
    if not _PLACEHOLDER:
        _PLACEHOLDER.append(meta_nonempty(pd.Series([], dtype=object)).iloc[0])
    return _PLACEHOLDER[0]


def _is_dask_sample(values: pd.Series) -> bool:
    """Whether `values` is Dask's made-up two-row sample of a column of its
    dtype, on which Dask calls the steps only to learn their output types."""
    return len(values) == 2 and values.equals(meta_nonempty(values.iloc[:0]))


def _empty_result(grouped: Any) -> pd.Series:
    keys = grouped.size().index[:0]
    return pd.Series(pa.array([], pa.binary()), index=keys, name=grouped.obj.name,
                     dtype=SKETCH_DTYPE)


def _null_result(grouped: Any) -> pd.Series:
    keys = grouped.size().index
    return pd.Series(pa.nulls(len(keys), pa.binary()), index=keys, name=grouped.obj.name,
                     dtype=SKETCH_DTYPE)


def _raw_type(values: pd.Series) -> pa.DataType:
    """The Arrow type in which a column's values travel between the steps:
    the column's own (a dictionary's value type); none for object columns,
    whose type may differ from one partition to the next and which always
    ship partial sketches."""
    if pd.api.types.is_object_dtype(values.dtype):
        return pa.null()
    arrow_type = pa.array(in_native_byte_order(values.iloc[:0]), from_pandas=True).type
    return arrow_type.value_type if pa.types.is_dictionary(arrow_type) else arrow_type


def _partials(
    keys: pd.Index, sketches: pa.Array, values: pa.Array, value_type: pa.DataType, name: Any
) -> tuple[pd.Series, pd.Series]:
    """A step's output: two Series on the same index of keys, the partial
    sketches (Arrow binary) and the values (of `value_type`); each row holds
    one of the two, the other null. (Two plain columns, not one struct
    column: Dask's shuffle rebuilds columns from their dtype names.)"""
    if values.type != value_type:
        values = values.cast(value_type)
    return (
        pd.Series(pd.arrays.ArrowExtensionArray(sketches), index=keys, name=name,
                  dtype=SKETCH_DTYPE),
        pd.Series(pd.arrays.ArrowExtensionArray(values), index=keys, name=name,
                  dtype=pd.ArrowDtype(value_type)),
    )


def _as_partials(sketched: pd.Series, value_type: pa.DataType) -> tuple[pd.Series, pd.Series]:
    """A sketch Series (one sketch per key) as a step's output."""
    return _partials(sketched.index, _arrow_of(sketched, pa.binary()),
                     pa.nulls(len(sketched), value_type), value_type, sketched.name)


def _arrow_of(series: pd.Series, empty_type: pa.DataType) -> pa.Array:
    """An Arrow-backed Series as one Arrow array."""
    if not len(series):
        return pa.array([], empty_type)
    array = pa.array(series.array)
    return array.combine_chunks() if isinstance(array, pa.ChunkedArray) else array


def _key_table(index: pd.Index) -> tuple[pa.Table, list[str]] | None:
    """The levels of an index of group keys as Arrow key columns, each named
    as its level is where that name is text and unique (so that the engine's
    messages name a group by the user's keys), else key<i>. None for keys
    that Arrow cannot hold or the engine does not group by."""
    frame = index.to_frame(index=False)
    names: list[str] = []
    for i, level in enumerate(index.names):
        names.append(level if _carried(level) and level not in names else f"key{i}")
    if len(set(names)) != len(names):
        names = [f"key{i}" for i in range(len(names))]
    frame.columns = names
    try:
        table = pa.Table.from_pandas(frame, preserve_index=False)
    except (pa.ArrowException, TypeError, ValueError):
        return None
    try:
        _grouped.check_key_types(table.schema)
    except RefusedValueError:  # keys the engine does not group by (floats, intervals)
        return None
    return table, names


def _beside_keys(column: str, key_names: list[str]) -> str:
    """A name for the value column that no key column has."""
    return "_".join(["values", *key_names]) if column in key_names else column


def _sketch_rows(
    keys: pd.Index, codes: np.ndarray, values: pa.Array, dtype: Any, name: Any,
    ty: type | None, normal_precision: int, sparse_precision: int | None, sample: bool = False,
) -> pd.Series:
    """One sketch_by call: a sketch per group of `values` by their codes.
    (On Dask's made-up `sample` a refusal stays as the call over codes gives
    it: the sample's keys are not the user's.)"""
    column = _value_column(values, name)

    try:
        table = vantorelle.sketch_by(
            pa.table({"group": codes, column: values}), "group", column, ty,
            normal_precision, sparse_precision, threads=_TASK_THREADS,
        )
    except RefusedValueError as error:
        if not sample:
            error = _refusal_by_key(error, keys, codes, values, name, ty, normal_precision, sparse_precision)
        raise _refused(error, dtype, name) from None
    return _keyed_sketches(table, keys, name)


def _refusal_by_key(
    error: RefusedValueError, keys: pd.Index, codes: np.ndarray, values: pa.Array, name: Any,
    ty: type | None, normal_precision: int, sparse_precision: int | None,
) -> RefusedValueError:
    """The refusal of a call over group codes, made again over the groups'
    own keys, so that it names the failing group as sketch_by over the
    user's frame would; `error` itself when those keys cannot be grouped."""
    present = codes >= 0
    keyed = _key_table(keys.take(codes[present]))
    if keyed is None:
        return error
    table, key_names = keyed
    column = _beside_keys(_value_column(values, name), key_names)
    try:
        _native.sketch_by(table.append_column(column, values.filter(pa.array(present))), key_names, column,
                          ty, normal_precision, sparse_precision or 0, 1)
    except RefusedValueError as named:
        return named
    return error


def _sketch_groups(
    grouped: Any, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> pd.Series:
    """chunk of `sketch_aggregation`: a partition's partial sketches (one
    sketch_by call), or its rows as they are when its groups are small."""
    values = grouped.obj
    value_type = _raw_type(values)
    if (
        pd.api.types.is_object_dtype(values.dtype)
        and len(values)
        and values.iloc[0] is _dask_object_placeholder()
    ):
        # Dask's sample of an object column: no values to read, and none needed
        # to learn the output type.
        return _as_partials(_empty_result(grouped), value_type)
    array = _as_arrow(values)
    if ty is None and pa.types.is_null(array.type):
        # An object column without values in this partition: nothing gives the
        # sketches a type here; the other partitions' sketches will.
        return _as_partials(_null_result(grouped), value_type)
    keys, codes = _group_codes(grouped)
    present = codes >= 0
    rows = int(present.sum())
    if not pa.types.is_null(value_type) and rows < _PARTIAL_FROM * len(keys):
        counts_as = _value_type(values, None)  # refuses a column that does not count
        if ty is not None and (ty is int) != (counts_as is int) and rows:
            # A ty the values do not fit: the refusal sketch_by gives, here,
            # where the column still has its name.
            _sketch_rows(keys, codes, array, values.dtype, values.name, ty,
                         normal_precision, sparse_precision, _is_dask_sample(values))
        kept = pa.array(present)
        return _partials(keys.take(codes[present]), pa.nulls(rows, pa.binary()),
                         array.filter(kept), value_type, values.name)
    sketched = _sketch_rows(keys, codes, array, values.dtype, values.name, ty,
                            normal_precision, sparse_precision, _is_dask_sample(values))
    return _as_partials(sketched, value_type)


def _combine_partials(
    grouped_sketches: Any, grouped_values: Any, ty: type | None, normal_precision: int,
    sparse_precision: int | None, final: bool = False,
) -> Any:
    """agg of `sketch_aggregation` (and, with `final`, its finalize): the
    rows of several steps' outputs combined per group. Values pass on while
    their groups are small and are sketched (one sketch_by call) once they
    are not, or at the end; sketches are merged (one merge_by call)."""
    name = grouped_sketches.obj.name
    value_type = grouped_values.obj.dtype.pyarrow_dtype
    sketches = _arrow_of(grouped_sketches.obj, pa.binary())
    values = _arrow_of(grouped_values.obj, value_type)
    # Object columns ship sketches only, some of them null; for the others a
    # row without a sketch holds a value.
    is_value = np.asarray(sketches.is_null().to_numpy(zero_copy_only=False))
    if pa.types.is_null(value_type):
        is_value[:] = False
    if not final and is_value.any():
        # Still small groups pass their values on untouched, to be sketched
        # once by finalize (or by a later step, once enough partitions have
        # come together for sketches to pay).
        if is_value.all():
            # One native call both counts the groups and sketches them.
            sketched = _sketch_by_index(grouped_values.obj, values, ty, normal_precision,
                                        sparse_precision)
            if sketched is not None:
                if len(values) >= _PARTIAL_FROM * len(sketched):
                    return _as_partials(sketched, value_type)
                return grouped_sketches.obj, grouped_values.obj
        if int(is_value.sum()) < _PARTIAL_FROM * grouped_sketches.ngroups:
            return grouped_sketches.obj, grouped_values.obj
    if final and len(is_value) and is_value.all():
        sketched = _sketch_by_index(grouped_values.obj, values, ty, normal_precision,
                                    sparse_precision)
        if sketched is not None:
            return sketched
    keys, codes = _group_codes(grouped_sketches)
    is_value &= codes >= 0
    value_count = int(is_value.sum())
    parts = [sketches]
    part_codes = [codes]
    if value_count:
        kept = pa.array(is_value)
        column = _value_column(values, name)
        try:
            sketched = vantorelle.sketch_by(
                pa.table({"group": codes[is_value], column: values.filter(kept)}), "group",
                column, ty, normal_precision, sparse_precision, threads=_TASK_THREADS,
            )
        except RefusedValueError as error:  # a ty the column's values do not fit
            raise _refused(error, value_type, name) from None
        is_sketch = ~is_value & (codes >= 0)
        if not is_sketch.any():  # values only: sketch_by gave each group its one sketch
            merged = _keyed_sketches(sketched, keys, name)
            return merged if final else _as_partials(merged, value_type)
        parts = [sketches.filter(pa.array(is_sketch)), sketched.column("sketch").combine_chunks()]
        part_codes = [codes[is_sketch], sketched.column("group").to_numpy()]
    try:
        merged = _merge_rows(keys, np.concatenate(part_codes), pa.concat_arrays(parts), name)
    except IncompatibleSketchError:  # (partial sketches, all of one pair of precisions)
        raise _mixed_partitions("the column") from None
    return merged if final else _as_partials(merged, value_type)


def _sketch_by_index(
    rows: pd.Series, values: pa.Array, ty: type | None, normal_precision: int,
    sparse_precision: int | None,
) -> pd.Series | None:
    """One sketch per key of `rows`' index, of the values: one native
    sketch_by call grouping by the keys themselves (no pandas grouping
    first). None for keys that Arrow cannot hold or the engine does not
    group by, which the caller then groups with pandas."""
    keyed = _key_table(rows.index)
    if keyed is None:
        return None
    table, key_names = keyed
    column = _beside_keys(_value_column(values, rows.name), key_names)
    try:
        first_rows, sketches = _native.sketch_by(
            table.append_column(column, values), key_names, column, ty, normal_precision,
            sparse_precision or 0, _TASK_THREADS,
        )
    except RefusedValueError as error:  # a ty the column's values do not fit
        raise _refused(error, values.type, rows.name) from None
    return pd.Series(
        pd.arrays.ArrowExtensionArray(pa.array(sketches)),
        index=rows.index.take(pa.array(first_rows).to_numpy()),
        name=rows.name,
        dtype=SKETCH_DTYPE,
    )


def _merge_rows(keys: pd.Index, codes: np.ndarray, sketches: pa.Array, name: Any) -> pd.Series:
    """One merge_by call over rows of sketches given by their group codes."""
    table = vantorelle.merge_by(pa.table({"group": codes, "sketch": sketches}), "group", "sketch",
                                threads=_TASK_THREADS)
    return _keyed_sketches(table, keys, name)


def _finalize_partials(
    sketches: pd.Series, values: pd.Series, ty: type | None, normal_precision: int,
    sparse_precision: int | None,
) -> pd.Series:
    """finalize of `sketch_aggregation`: one sketch per group. (A null key
    here is a group: the user's groupby dropped none, or none would reach
    this far.)"""
    levels = list(range(sketches.index.nlevels))
    return _combine_partials(
        sketches.groupby(level=levels, sort=False, dropna=False),
        values.groupby(level=levels, sort=False, dropna=False),
        ty, normal_precision, sparse_precision, final=True,
    )


def _sketch_column(values: pd.Series) -> pa.Array:
    """A column of serialised sketches as Arrow, nulls as nulls: an object
    column read as every object column is read; whether it holds sketches is
    checked where it is read, by the one check of `merge_by` and
    `estimates`."""
    if pd.api.types.is_object_dtype(values.dtype):
        return read_object_column(values, values.name)
    array = pa.array(values, from_pandas=True)
    return array.combine_chunks() if isinstance(array, pa.ChunkedArray) else array


def _merge_groups(grouped: Any) -> pd.Series:
    """chunk of `merge_aggregation` and the combining step of both: one
    merge_by call over the partition's serialised sketches."""
    values = grouped.obj
    if _is_dask_sample(values):
        # Dask's made-up sample is no sketch: it is never parsed.
        return _empty_result(grouped)
    column = _sketch_column(values)

    def run(table: pa.Table, name: str) -> pa.Table:
        try:
            return vantorelle.merge_by(table, "group", name, threads=_TASK_THREADS)
        except (vantorelle.CorruptSketchError, vantorelle.IncompatibleSketchError) as error:
            _name_the_failing_group(grouped, column)
            raise error

    return _by_group(grouped, column, run)


def _name_the_failing_group(grouped: Any, column: pa.Array) -> None:
    """After a failed merge: merges group by group to raise the error again,
    naming the group. Runs only when the partition holds a bad sketch."""
    keys, codes = _group_codes(grouped)
    items = column.to_pylist()
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(len(keys) + 1))
    for code, key in enumerate(keys.tolist()):
        rows = order[bounds[code] : bounds[code + 1]]
        _merge_present([items[row] for row in rows], f"group {key!r}")


def sketch_aggregation(
    normal_precision: int = DEFAULT_NORMAL_PRECISION,
    sparse_precision: int | None = DEFAULT_SPARSE_PRECISION,
    *,
    ty: type | None = None,
) -> dd.Aggregation:
    """A groupby aggregation giving one serialised sketch (``bytes``) per group:
    ``ddf.groupby(key)[column].agg(sketch_aggregation())``.

    The result is an Arrow binary Series indexed by the group keys. Nulls in
    the column are skipped; the sketches' type follows the column (or ``ty``).
    A group whose values are all null in an object column gets a null sketch.
    """
    check_ty(ty)
    check_precisions(normal_precision, sparse_precision)
    type_name = "any" if ty is None else ty.__name__
    arguments: dict[str, Any] = dict(
        ty=ty, normal_precision=normal_precision, sparse_precision=sparse_precision
    )
    return dd.Aggregation(
        name=f"vantorelle_sketch_{type_name}_{normal_precision}_{sparse_precision}",
        chunk=functools.partial(_sketch_groups, **arguments),
        agg=functools.partial(_combine_partials, **arguments, final=False),
        finalize=functools.partial(_finalize_partials, **arguments),
    )


def merge_aggregation() -> dd.Aggregation:
    """A groupby aggregation merging a column of serialised sketches per group
    (Arrow binary or object column of ``bytes``; nulls are skipped):
    ``ddf.groupby(key)[sketches].agg(merge_aggregation())``.

    Every stored sketch is checked as ``vantorelle.from_bytes`` checks it; a
    bad one fails the computation with a ValueError naming its group.
    """
    return dd.Aggregation(name="vantorelle_merge", chunk=_merge_groups, agg=_merge_groups)


# --- estimates ---------------------------------------------------------------


def _estimates(values: pd.Series) -> pd.Series:
    out = vantorelle.estimates(_sketch_column(values), threads=_TASK_THREADS)
    return pd.Series(out.to_numpy(), index=values.index, name=values.name)


def estimate(series: Any) -> Any:
    """The estimates of a column of serialised sketches as ``int64`` (0 for a
    null sketch): a pandas Series for a pandas Series, a Dask Series for a
    Dask Series."""
    if isinstance(series, dd.Series):
        meta = pd.Series([], dtype=np.int64, name=series.name, index=series._meta.index)
        return series.map_partitions(_estimates, meta=meta)
    if isinstance(series, pd.Series):
        return _estimates(series)
    raise RefusedValueError(f"expected a pandas or Dask Series, not {type(series).__qualname__}")
