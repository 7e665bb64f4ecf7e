"""DEVELOPMENT STAND-IN, to be deleted once the native grouped kernel is on main.

Pure-Python versions of ``vantorelle._native.sketch_by``, ``merge_by``,
``estimates`` and ``int64_array`` with the native functions' contract, so that
the grouped Python functions can be built and tested before the kernel lands.
``vantorelle._grouped`` uses a function from here only while ``_native`` lacks
it. Slow (one Python step per group) and needs pyarrow; never use it for
measurements.
"""

from __future__ import annotations

from typing import Any

import pyarrow as pa

import vantorelle
from vantorelle_py import HyperLogLogPlusPlus


def _read(table: Any, names: list[str]) -> pa.Table:
    whole = pa.RecordBatchReader.from_stream(table).read_all()
    for name in names:
        if name not in whole.column_names:
            raise ValueError(f"no column {name!r} in the table")
    return whole


def _plain_type(of: pa.DataType) -> pa.DataType:
    if pa.types.is_string_view(of):
        return pa.large_string()
    if pa.types.is_binary_view(of):
        return pa.large_binary()
    return of


def _without_views(column: pa.ChunkedArray) -> pa.ChunkedArray:
    """The column with string and binary views as large strings and binaries,
    which pyarrow's take and grouping accept."""
    if pa.types.is_dictionary(column.type):
        values = _plain_type(column.type.value_type)
        if values == column.type.value_type:
            return column
        return pa.chunked_array(
            [chunk.dictionary.cast(values).take(chunk.indices) for chunk in column.chunks], values
        )
    plain = _plain_type(column.type)
    return column if plain == column.type else column.cast(plain)


def _groups(table: pa.Table, keys: list[str]) -> tuple[list[int], list[list[int]]]:
    """Each group's first row and its rows, groups in order of first appearance."""
    rows_of: dict = {}
    for row, key in enumerate(zip(*(table.column(k).to_pylist() for k in keys))):
        rows_of.setdefault(key, []).append(row)
    rows = list(rows_of.values())
    return [group[0] for group in rows], rows


def _value_type(column: pa.ChunkedArray, name: str) -> type:
    present = column.drop_null()
    try:
        if len(present):
            return int if _is_int(vantorelle.sketch(present.slice(0, 1))) else str
        return int if (pa.types.is_integer(column.type) or pa.types.is_boolean(column.type)) else str
    except TypeError as error:
        raise TypeError(f"column {name!r} cannot be counted: {error}") from None


def _is_int(probe: HyperLogLogPlusPlus) -> bool:
    try:
        probe.merge(vantorelle.sketch([0], int))
        return True
    except RuntimeError:
        return False


def sketch_by(table, keys, value, ty, normal_precision, sparse_precision, threads):
    whole = _read(table, [*keys, value])
    column = _without_views(whole.column(value))
    if ty is None:
        ty = _value_type(column, value)
    first_rows, rows = _groups(whole, keys)
    out = []
    for group in rows:
        part = column.take(pa.array(group, type=pa.int64()))
        try:
            made = vantorelle.sketch(part, ty, normal_precision, sparse_precision or None)
        except TypeError as error:
            raise TypeError(f"column {value!r} cannot be counted: {error}") from None
        out.append(made.to_bytes())
    return pa.array(first_rows, type=pa.int64()), pa.array(out, type=pa.binary())


def merge_by(table, keys, column, threads):
    whole = _read(table, [*keys, column])
    items = whole.column(column).to_pylist()
    first_rows, rows = _groups(whole, keys)
    out = []
    for group in rows:
        present = []
        for row in group:
            if items[row] is None:
                continue
            try:
                vantorelle.validate(items[row])
            except (TypeError, ValueError) as error:
                raise ValueError(f"row {row}: {error}") from None
            present.append(items[row])
        if not present:
            out.append(None)
            continue
        try:
            out.append(vantorelle.merge_all(present).to_bytes())
        except RuntimeError as error:
            raise ValueError(f"row {group[0]}: {error}") from None
    return pa.array(first_rows, type=pa.int64()), pa.array(out, type=pa.binary())


def estimates(column, threads=1) -> bytes:
    if hasattr(column, "__arrow_c_stream__") or hasattr(column, "__arrow_c_array__"):
        items = pa.chunked_array(column).to_pylist() if hasattr(
            column, "__arrow_c_stream__") else pa.array(column).to_pylist()
    else:
        items = list(column)
    out = pa.array(
        [0 if item is None else vantorelle.from_bytes(item).result() for item in items],
        type=pa.int64(),
    )
    return out.buffers()[1].to_pybytes()[: 8 * len(out)]


def int64_array(data: bytes):
    return pa.Array.from_buffers(pa.int64(), len(data) // 8, [None, pa.py_buffer(data)])
