"""Distinct counts in DuckDB SQL: `register(connection)` adds

    vantorelle_sketch(list [, normal_precision [, sparse_precision]]) -> BLOB
    vantorelle_merge(list_of_blobs)                                    -> BLOB
    vantorelle_union(a, b)                                             -> BLOB
    vantorelle_estimate(blob)                                          -> BIGINT

so that ``SELECT day, vantorelle_sketch(list(user)) FROM events GROUP BY day``
stores one sketch per group, and ``vantorelle_merge(list(sketch))`` rolls
stored sketches up. The functions are Arrow UDFs: DuckDB hands each call a
whole vector of rows, and the kernel reads it without a Python call per row.

A list of integers, text or blobs is counted (null items are skipped; a null
list gives NULL); any other list (doubles, decimals, dates) fails the query
with the reason. A corrupt sketch fails the query naming its row.
Importing this module imports duckdb and pyarrow; importing ``vantorelle``
does not.
"""

from __future__ import annotations

from typing import Any

import duckdb
import pyarrow as pa
import pyarrow.compute as pc
from duckdb import sqltypes
from duckdb.func import FunctionNullHandling, PythonUDFType

import vantorelle
from vantorelle import _grouped, _native

__all__ = ["register"]


# The Python function behind the overloads of vantorelle_sketch (DuckDB takes
# one Python function per name, so the optional precisions are macro overloads).
_SKETCH_AT = "__vantorelle_sketch"

_FAILURES = (TypeError, ValueError, RuntimeError)


def _one_array(column: Any) -> pa.Array:
    if isinstance(column, pa.ChunkedArray):
        return column.combine_chunks()
    return column


def _failed(function: str, error: BaseException) -> BaseException:
    return type(error)(f"{function}: {error}")


def _precision_pairs(normal: pa.Array, sparse: pa.Array) -> list[tuple[int, int | None]]:
    pairs = pa.table({"p": normal, "sp": sparse}).group_by(["p", "sp"]).aggregate([])
    return list(zip(pairs.column("p").to_pylist(), pairs.column("sp").to_pylist()))


def _sketches(lists: pa.Array, normal_precision: int, sparse_precision: int | None) -> pa.Array:
    # The kernel takes 0 for "no sparse phase", as the class does.
    return pa.array(
        _native.sketch_lists(lists, None, normal_precision, sparse_precision or 0, 1)
    ).cast(pa.binary())


def _sketch_at(lists: Any, normal: Any, sparse: Any) -> pa.Array:
    lists, normal, sparse = _one_array(lists), _one_array(normal), _one_array(sparse)
    try:
        if normal.null_count:
            raise ValueError("normal_precision is NULL")
        pairs = _precision_pairs(normal, sparse)
        # Nearly always one pair (constant arguments): one kernel call.
        if len(pairs) == 1:
            return _sketches(lists, *pairs[0])
        parts, rows = [], []
        for p, sp in pairs:
            mask = pc.and_(
                pc.equal(normal, p),
                pc.is_null(sparse) if sp is None else pc.equal(sparse, sp),
            )
            mask = pc.fill_null(mask, False)
            taken = pc.indices_nonzero(mask)
            parts.append(_sketches(lists.take(taken), p, sp))
            rows.append(taken)
        order = pc.sort_indices(pa.concat_arrays(rows))
        return pa.concat_arrays(parts).take(order)
    except _FAILURES as error:
        raise _failed("vantorelle_sketch", error) from None


def _merge(lists: Any) -> pa.Array:
    try:
        return pa.array(_native.merge_lists(_one_array(lists), 1)).cast(pa.binary())
    except _FAILURES as error:
        raise _failed("vantorelle_merge", error) from None


def _union(a: Any, b: Any) -> pa.Array:
    a, b = _one_array(a).cast(pa.binary()), _one_array(b).cast(pa.binary())
    pairs = pa.ListArray.from_arrays(
        pc.multiply(_arange(len(a) + 1), 2), pa.concat_arrays([a, b]).take(_interleave(len(a)))
    )
    try:
        return pa.array(_native.merge_lists(pairs, 1)).cast(pa.binary())
    except _FAILURES as error:
        raise _failed("vantorelle_union", error) from None


def _arange(n: int) -> pa.Array:
    """0, 1, ..., n - 1 as int64, built in Arrow."""
    return pc.subtract(pc.cumulative_sum(pc.fill_null(pa.nulls(n, pa.int64()), 1)), 1)


def _interleave(n: int) -> pa.Array:
    """0, n, 1, n + 1, ...: the rows of a and b side by side."""
    position = _arange(2 * n)
    return pc.add(pc.shift_right(position, 1), pc.multiply(pc.bit_wise_and(position, 1), n))


def _estimate(sketches: Any) -> pa.Array:
    try:
        return pa.array(_grouped.estimates(_one_array(sketches).cast(pa.binary()), threads=1)
                        ).cast(pa.int64())
    except _FAILURES as error:
        raise _failed("vantorelle_estimate", error) from None


def register(connection: duckdb.DuckDBPyConnection) -> duckdb.DuckDBPyConnection:
    """Adds the vantorelle SQL functions to `connection` (for this connection
    only; the precision overloads are temporary macros) and returns it."""
    blob = sqltypes.BLOB
    # Untyped parameters take any type: the kernel decides what it counts and
    # says why it refuses the rest.
    connection.create_function(_SKETCH_AT, _sketch_at, None, blob, type=PythonUDFType.ARROW)
    connection.create_function("vantorelle_merge", _merge, [duckdb.list_type(blob)], blob,
                               type=PythonUDFType.ARROW)
    connection.create_function("vantorelle_union", _union, [blob, blob], blob,
                               type=PythonUDFType.ARROW, null_handling=FunctionNullHandling.SPECIAL)
    connection.create_function("vantorelle_estimate", _estimate, [blob], sqltypes.BIGINT,
                               type=PythonUDFType.ARROW, null_handling=FunctionNullHandling.SPECIAL)
    connection.execute(
        f"CREATE OR REPLACE TEMP MACRO vantorelle_sketch(values) AS {_SKETCH_AT}(values, 15, 20),"
        f" (values, normal_precision) AS {_SKETCH_AT}(values, normal_precision, 20),"
        f" (values, normal_precision, sparse_precision)"
        f" AS {_SKETCH_AT}(values, normal_precision, sparse_precision)"
    )
    return connection
