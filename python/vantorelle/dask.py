"""Distinct counts on Dask: whole-collection sketches, per-group sketches and roll-ups.

Each partition is read into sketches by the column path (no Python loop per
row); what travels between processes is serialised sketches (``bytes``), and
every task function lives in this module, so workers import it by name.

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
from vantorelle import InvalidInputError, RefusedValueError

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

_COUNTABLE = "integer, string and binary columns (or object columns of int, str or bytes)"


# --- value types -------------------------------------------------------------


def _arrow_value_type(arrow_type: pa.DataType) -> type | None:
    """int, str or bytes for an Arrow type the column path reads; None for null."""
    if pa.types.is_integer(arrow_type):
        return int
    if (
        pa.types.is_string(arrow_type)
        or pa.types.is_large_string(arrow_type)
        or pa.types.is_string_view(arrow_type)
    ):
        return str
    if (
        pa.types.is_binary(arrow_type)
        or pa.types.is_large_binary(arrow_type)
        or pa.types.is_binary_view(arrow_type)
    ):
        return bytes
    if pa.types.is_null(arrow_type):
        return None
    raise _refused(arrow_type)


# The refusal of a column's type, caught where a better message can name more.
_Refused = RefusedValueError


def _refused(dtype: Any, column: Any = None) -> RefusedValueError:
    where = "" if column is None else f"column {column!r} "
    return _Refused(f"cannot sketch {where}of dtype {dtype}: only {_COUNTABLE} can be counted")


def _value_type_of_dtype(dtype: Any, column: Any = None) -> type | None:
    """The sketch type a column's dtype fixes: int, str or bytes; None for
    object columns, whose values decide. Raises TypeError naming the dtype for
    any other column (floats, booleans, dates, categories...)."""
    if isinstance(dtype, pd.ArrowDtype):
        try:
            return _arrow_value_type(dtype.pyarrow_dtype)
        except _Refused:
            raise _refused(dtype, column) from None
    if isinstance(dtype, pd.StringDtype):
        return str
    if isinstance(dtype, pd.api.extensions.ExtensionDtype):
        if pd.api.types.is_integer_dtype(dtype):
            return int
        raise _refused(dtype, column)
    kind = np.dtype(dtype).kind
    if kind in "iu":
        return int
    if kind == "U":
        return str
    if kind == "S":
        return bytes
    if kind == "O":
        return None
    raise _refused(dtype, column)


def _check_ty(ty: type | None) -> None:
    if ty not in (None, int, str, bytes):
        raise TypeError(f"ty must be int, str, bytes or None, not {ty!r}")


def _check_precisions(normal_precision: int, sparse_precision: int | None) -> None:
    # The class's own checks and messages.
    try:
        HyperLogLogPlusPlus(int, normal_precision, sparse_precision)
    except ValueError as error:
        raise InvalidInputError(str(error)) from None


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


def _resolve_type(ty: type | None, values: pd.Series, array: pa.Array) -> type | None:
    """The sketches' type: the caller's, else the column's (its Arrow type for
    an object column); None when nothing tells (an all-null object column)."""
    if ty is not None:
        return ty
    fixed = _value_type_of_dtype(values.dtype, values.name)
    if fixed is not None:
        return fixed
    try:
        return _arrow_value_type(array.type)
    except _Refused:
        raise RefusedValueError(
            f"cannot sketch column {values.name!r} of dtype {values.dtype} holding "
            f"{array.type} values: only {_COUNTABLE} can be counted"
        ) from None


def _sketch_bytes(
    values: Any, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> bytes | None:
    """The serialised sketch of a column; None when its type is unknown (no values)."""
    if ty is None:
        return None
    return vantorelle.sketch(values, ty, normal_precision, sparse_precision).to_bytes()


def _series_partition(
    values: pd.Series, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> bytes | None:
    array = _as_arrow(values)
    return _sketch_bytes(
        array, _resolve_type(ty, values, array), normal_precision, sparse_precision
    )


def _array_partition(
    chunk: np.ndarray, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> bytes | None:
    flat = np.ravel(chunk)
    if flat.dtype.kind in "iu":
        return _sketch_bytes(flat, ty or int, normal_precision, sparse_precision)
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
    return _sketch_bytes(values, ty, normal_precision, sparse_precision)


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
    serialized: bytes | None, ty: type | None, normal_precision: int, sparse_precision: int | None
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
    collection: Any, ty: type | None
) -> tuple[list[Any], Callable[..., bytes | None], type | None]:
    """The collection's partitions as Delayed objects, the function that reads
    one, and the type the collection's dtype fixes (if any)."""
    if isinstance(collection, dd.Series):
        fixed = _value_type_of_dtype(collection.dtype, collection.name)
        return list(collection.to_delayed()), _series_partition, ty or fixed
    if isinstance(collection, da.Array):
        if collection.ndim != 1:
            raise InvalidInputError(
                f"expected a 1-D Dask array, got {collection.ndim} dimensions"
            )
        fixed = _value_type_of_dtype(collection.dtype, None)
        return list(collection.to_delayed().ravel()), _array_partition, ty or fixed
    if isinstance(collection, db.Bag):
        return list(collection.to_delayed()), _bag_partition, ty
    if isinstance(collection, dd.DataFrame):
        raise TypeError("expected one column (a Dask Series), not a DataFrame: select a column")
    raise TypeError(
        f"expected a Dask Series, 1-D Array or Bag, not {type(collection).__qualname__}"
    )


def _merged(
    collection: Any, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> tuple[Any, type | None]:
    """A Delayed holding the serialised sketch of the whole collection (or
    None when it has no values), merged as a tree of small merges."""
    _check_ty(ty)
    _check_precisions(normal_precision, sparse_precision)
    parts, read, ty = _partitions(collection, ty)
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
    return level[0], ty


def sketch(
    collection: Any,
    normal_precision: int = 15,
    sparse_precision: int | None = 20,
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
    merged, ty = _merged(collection, ty, normal_precision, sparse_precision)
    return dask.delayed(_finish_sketch, pure=True)(
        merged, ty, normal_precision, sparse_precision
    )


def approx_distinct(
    collection: Any,
    normal_precision: int = 15,
    sparse_precision: int | None = 20,
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


def _groups(grouped: Any) -> tuple[pd.Index, np.ndarray, np.ndarray]:
    """The group keys, the row positions sorted by group (rows whose key is
    dropped left out), and the start of each group's run in that order."""
    keys = grouped.size().index
    codes = grouped.ngroup().to_numpy(dtype=np.int64, na_value=-1)
    kept = np.flatnonzero(codes >= 0)
    # Codes in the smallest integer type: a stable sort of 8- or 16-bit
    # integers is a radix sort, linear in the rows.
    small = codes[kept].astype(np.min_scalar_type(max(len(keys) - 1, 0)))
    order = kept[np.argsort(small, kind="stable")]
    counts = np.bincount(small, minlength=len(keys))
    starts = np.concatenate(([0], np.cumsum(counts)))
    return keys, order, starts


def _sketch_series(values: list[bytes | None], keys: pd.Index, name: Any) -> pd.Series:
    return pd.Series(pa.array(values, type=pa.binary()), index=keys, name=name, dtype=SKETCH_DTYPE)


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
    return _sketch_series([], keys, grouped.obj.name)


def _sketch_groups(
    grouped: Any, ty: type | None, normal_precision: int, sparse_precision: int | None
) -> pd.Series:
    """chunk of `sketch_aggregation`: each group's values read into a sketch
    by the column path, one slice of the partition's column per group."""
    values = grouped.obj
    fixed = _value_type_of_dtype(values.dtype, values.name)
    if fixed is None and len(values) and values.iloc[0] is _dask_object_placeholder():
        # Dask's sample of an object column: no values to read, and none needed
        # to learn the output type, which is always a sketch column.
        return _empty_result(grouped)
    keys, order, starts = _groups(grouped)
    array = _as_arrow(values)
    ty = _resolve_type(ty, values, array)
    taken = array.take(pa.array(order, type=pa.int64()))
    out: list[bytes | None] = []
    for group in range(len(keys)):
        start = int(starts[group])
        part = taken.slice(start, int(starts[group + 1]) - start)
        out.append(_sketch_bytes(part, ty, normal_precision, sparse_precision))
    return _sketch_series(out, keys, values.name)


def _serialized_items(values: pd.Series) -> list[Any]:
    """The items of a column of serialised sketches, nulls as None."""
    dtype = values.dtype
    if isinstance(dtype, pd.ArrowDtype):
        if _arrow_value_type(dtype.pyarrow_dtype) in (bytes, None):
            return pa.array(values).to_pylist()
    elif isinstance(dtype, pd.StringDtype) or np.dtype(dtype).kind != "O":
        pass
    else:
        items = values.tolist()
        for position in np.flatnonzero(values.isna().to_numpy()):
            items[position] = None
        return items
    raise TypeError(
        f"column {values.name!r} of dtype {dtype} does not hold serialised sketches: a sketch "
        f"column is Arrow binary (pd.ArrowDtype(pa.binary())) or an object column of bytes "
        f"(Dask's string conversion turns object columns of bytes into text; keep them binary)"
    )


def _merge_groups(grouped: Any) -> pd.Series:
    """chunk of `merge_aggregation` and the combining step of both: the
    serialised sketches of each group merged into one."""
    values = grouped.obj
    if _is_dask_sample(values):
        # Dask's made-up sample is no sketch: it is never parsed.
        return _empty_result(grouped)
    items = _serialized_items(values)
    keys, order, starts = _groups(grouped)
    out: list[bytes | None] = []
    for group, key in enumerate(keys.tolist()):
        rows = order[starts[group] : starts[group + 1]]
        out.append(_merge_present([items[row] for row in rows], f"group {key!r}"))
    return _sketch_series(out, keys, values.name)


def sketch_aggregation(
    normal_precision: int = 15,
    sparse_precision: int | None = 20,
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
    out = np.zeros(len(values), dtype=np.int64)
    for position, item in enumerate(_serialized_items(values)):
        if item is not None:
            out[position] = vantorelle.from_bytes(item).result()
    return pd.Series(out, index=values.index, name=values.name)


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
