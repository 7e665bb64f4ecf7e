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
columns of ``bytes`` are accepted as input. Importing this module imports Dask;
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
from vantorelle import InvalidInputError, RefusedValueError, _native
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
    where = "" if column is None else f"column {column!r} "
    return RefusedValueError(f"cannot sketch {where}of dtype {dtype}: {error}")


def _empty_sketch(
    meta: pd.Series, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> bytes | None:
    """The bytes of an empty sketch of the type a column's dtype counts as, by
    asking the column path about a null of that dtype; None for object columns,
    whose values decide. Raises TypeError naming the column and dtype for a
    column that cannot be counted (floats, dates...)."""
    if pd.api.types.is_object_dtype(meta.dtype):
        return None
    arrow_type = pa.array(meta.iloc[:0], from_pandas=True).type
    probe = pa.table({"k": pa.array([0]), "v": pa.nulls(1, arrow_type)})
    try:
        table = vantorelle.sketch_by(
            probe, "k", "v", ty, normal_precision, sparse_precision, threads=1
        )
    except TypeError as error:
        raise _refused(error, meta.dtype, meta.name) from None
    return table.column("sketch")[0].as_py()


def _check_ty(ty: type | None) -> None:
    if ty not in (None, int, str, bytes):
        raise TypeError(f"ty must be int, str, bytes or None, not {ty!r}")


def _check_precisions(normal_precision: int, sparse_precision: int | None) -> None:
    # The class's own checks and messages.
    _native.check_precisions(normal_precision, sparse_precision)


# --- reading one partition ---------------------------------------------------


def _as_arrow(values: pd.Series) -> pa.Array:
    """A pandas column as one Arrow array (nulls as Arrow nulls)."""

    def mixed(reason: object) -> RefusedValueError:
        return RefusedValueError(
            f"cannot sketch column {values.name!r} of dtype {values.dtype}: its values are not "
            f"all int, all str or all bytes ({reason})"
        )

    # Arrow would turn the text of a column mixing str and bytes into bytes,
    # where `add` refuses the mix.
    if values.dtype == object:
        kind = pd.api.types.infer_dtype(values, skipna=True)
        if kind.startswith("mixed"):
            raise mixed(f"inferred as {kind}")
    try:
        array = pa.array(values, from_pandas=True)
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError) as error:
        raise mixed(error) from None
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
    except TypeError as error:
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


def _merge_serialized(parts: list[bytes | None]) -> bytes | None:
    return _merge_present(list(parts))


def _finish_sketch(
    serialized: bytes | None,
    ty: type | None,
    normal_precision: int,
    sparse_precision: int | None,
    empty: bytes | None = None,
) -> HyperLogLogPlusPlus:
    if serialized is not None:
        return vantorelle.from_bytes(serialized)
    if empty is not None and ty is None:
        return vantorelle.from_bytes(empty)
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
) -> tuple[list[Any], Callable[..., bytes | None], bytes | None]:
    """The collection's partitions as Delayed objects, the function that reads
    one, and an empty sketch of the type the collection's dtype counts as
    (None when its values decide). A dtype that cannot be counted is refused
    here, before anything runs."""
    if isinstance(collection, dd.Series):
        empty = _empty_sketch(collection._meta, ty, normal_precision, sparse_precision)
        return list(collection.to_delayed()), _series_partition, empty
    if isinstance(collection, da.Array):
        if collection.ndim != 1:
            raise InvalidInputError(
                f"expected a 1-D Dask array, got {collection.ndim} dimensions"
            )
        meta = pd.Series(np.empty(0, dtype=collection.dtype))
        empty = _empty_sketch(meta, ty, normal_precision, sparse_precision)
        return list(collection.to_delayed().ravel()), _array_partition, empty
    if isinstance(collection, db.Bag):
        return list(collection.to_delayed()), _bag_partition, None
    if isinstance(collection, dd.DataFrame):
        raise TypeError("expected one column (a Dask Series), not a DataFrame: select a column")
    raise TypeError(
        f"expected a Dask Series, 1-D Array or Bag, not {type(collection).__qualname__}"
    )


def _merged(
    collection: Any, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> tuple[Any, bytes | None]:
    """A Delayed holding the serialised sketch of the whole collection (or
    None when it has no values), merged as a tree of small merges, and the
    empty sketch of the collection's type."""
    _check_ty(ty)
    _check_precisions(normal_precision, sparse_precision)
    parts, read, empty = _partitions(collection, ty, normal_precision, sparse_precision)
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
    return level[0], empty


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
    merged, empty = _merged(collection, ty, normal_precision, sparse_precision)
    return dask.delayed(_finish_sketch, pure=True)(
        merged, ty, normal_precision, sparse_precision, empty
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
# index), repeatedly in a tree. Each step returns one serialised sketch per
# group as an Arrow binary Series indexed by the group keys.


def _group_codes(grouped: Any) -> tuple[pd.Index, np.ndarray]:
    """The group keys and each row's position among them (-1 for a row whose
    key the groupby drops)."""
    return grouped.size().index, grouped.ngroup().to_numpy(dtype=np.int64, na_value=-1)


def _by_group(
    grouped: Any, column: pa.Array, run: Callable[[pa.Table], pa.Table]
) -> pd.Series:
    """One native grouped call over the partition, its groups given by their
    codes; the result as a sketch Series indexed by the group keys."""
    keys, codes = _group_codes(grouped)
    table = run(pa.table({"group": codes, "values": column}))
    found = table.column("group").to_numpy()
    kept = found >= 0
    sketches = table.column("sketch").combine_chunks().filter(pa.array(kept))
    return pd.Series(
        pd.arrays.ArrowExtensionArray(sketches),
        index=keys.take(found[kept]),
        name=grouped.obj.name,
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


def _sketch_groups(
    grouped: Any, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> pd.Series:
    """chunk of `sketch_aggregation`: one sketch_by call over the partition."""
    values = grouped.obj
    if (
        pd.api.types.is_object_dtype(values.dtype)
        and len(values)
        and values.iloc[0] is _dask_object_placeholder()
    ):
        # Dask's sample of an object column: no values to read, and none needed
        # to learn the output type, which is always a sketch column.
        return _empty_result(grouped)
    array = _as_arrow(values)
    if ty is None and pa.types.is_null(array.type):
        # An object column without values in this partition: nothing gives the
        # sketches a type here; the other partitions' sketches will.
        return _null_result(grouped)

    def run(table: pa.Table) -> pa.Table:
        try:
            return vantorelle.sketch_by(
                table, "group", "values", ty, normal_precision, sparse_precision,
                threads=_TASK_THREADS,
            )
        except TypeError as error:
            raise _refused(error, values.dtype, values.name) from None

    return _by_group(grouped, array, run)


def _sketch_column(values: pd.Series) -> pa.Array:
    """A column of serialised sketches as Arrow binary, nulls as nulls."""
    dtype = values.dtype
    refusal = TypeError(
        f"column {values.name!r} of dtype {dtype} does not hold serialised sketches: a sketch "
        f"column is Arrow binary (pd.ArrowDtype(pa.binary())) or an object column of bytes "
        f"(Dask's string conversion turns object columns of bytes into text; keep them binary)"
    )
    if isinstance(dtype, pd.ArrowDtype):
        arrow_type = dtype.pyarrow_dtype
        if not (pa.types.is_binary(arrow_type) or pa.types.is_large_binary(arrow_type)
                or pa.types.is_binary_view(arrow_type) or pa.types.is_null(arrow_type)):
            raise refusal
        return pa.array(values).cast(pa.binary())
    if not pd.api.types.is_object_dtype(dtype):
        raise refusal
    try:
        return pa.array(values, type=pa.binary(), from_pandas=True)
    except (pa.ArrowInvalid, pa.ArrowTypeError):
        raise refusal from None


def _merge_groups(grouped: Any) -> pd.Series:
    """chunk of `merge_aggregation` and the combining step of both: one
    merge_by call over the partition's serialised sketches."""
    values = grouped.obj
    if _is_dask_sample(values):
        # Dask's made-up sample is no sketch: it is never parsed.
        return _empty_result(grouped)
    column = _sketch_column(values)

    def run(table: pa.Table) -> pa.Table:
        try:
            return vantorelle.merge_by(table, "group", "values", threads=_TASK_THREADS)
        except (TypeError, ValueError, RuntimeError) as error:
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
    _check_ty(ty)
    _check_precisions(normal_precision, sparse_precision)
    type_name = "any" if ty is None else ty.__name__
    return dd.Aggregation(
        name=f"vantorelle_sketch_{type_name}_{normal_precision}_{sparse_precision}",
        chunk=functools.partial(
            _sketch_groups,
            ty=ty,
            normal_precision=normal_precision,
            sparse_precision=sparse_precision,
        ),
        agg=_merge_groups,
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
    raise TypeError(f"expected a pandas or Dask Series, not {type(series).__qualname__}")
