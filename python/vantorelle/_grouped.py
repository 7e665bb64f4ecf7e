"""DEVELOPMENT STAND-IN for the grouped functions (sketch_by, merge_by,
estimates), with their signatures and results, in plain Python over pyarrow:
one `vantorelle.sketch` / `vantorelle.merge_all` call per group. The grouped
kernel replaces this whole file; vantorelle.spark and vantorelle.duckdb are
written against its contract only. Nothing else belongs in this file.

Contract:
  sketch_by(table, by, column, ty=None, normal_precision=15, sparse_precision=20, *, threads=None)
      -> a table of the key columns and a `sketch` column (Arrow binary); rows
         with null keys form one group, null values are skipped, a group
         without values gets an empty sketch.
  merge_by(table, by, column="sketch", *, threads=None)
      -> roll-ups of stored sketches per group (validated; a corrupt one is a
         ValueError naming its row; a group of null sketches gives null).
  estimates(sketches, *, threads=None) -> int64 column (0 for null).
"""

from __future__ import annotations

from typing import Any

import vantorelle

_ROW = "__vantorelle_row"


def _table(table: Any) -> Any:
    import pyarrow as pa

    if isinstance(table, pa.Table):
        return table
    if isinstance(table, pa.RecordBatch):
        return pa.Table.from_batches([table])
    return pa.table(table)


def _keys(by: Any) -> list[str]:
    return [by] if isinstance(by, str) else list(by)


def _groups(table: Any, by: list[str]) -> Any:
    """The distinct keys with the row numbers of each group (a list column)."""
    import pyarrow as pa

    numbered = table.select(by).append_column(_ROW, pa.array(range(table.num_rows), pa.int64()))
    return numbered.group_by(by, use_threads=False).aggregate([(_ROW, "list")])


def _with_sketches(groups: Any, by: list[str], sketches: list[bytes | None]) -> Any:
    import pyarrow as pa

    return groups.select(by).append_column("sketch", pa.array(sketches, pa.binary()))


def sketch_by(
    table: Any,
    by: Any,
    column: str,
    ty: type | None = None,
    normal_precision: int = 15,
    sparse_precision: int | None = 20,
    *,
    threads: int | None = None,
) -> Any:
    table = _table(table)
    by = _keys(by)
    values = table.column(column)
    try:
        # The column's type decides unless `ty` does; the check is the core's.
        vantorelle.sketch(values.slice(0, 0), ty, normal_precision, sparse_precision)
    except TypeError as error:
        raise TypeError(f"column {column!r}: {error}") from None
    groups = _groups(table, by)
    sketches: list[bytes | None] = [
        vantorelle.sketch(values.take(rows), ty, normal_precision, sparse_precision).to_bytes()
        for rows in groups.column(_ROW + "_list").to_pylist()
    ]
    return _with_sketches(groups, by, sketches)


def merge_by(table: Any, by: Any, column: str = "sketch", *, threads: int | None = None) -> Any:
    table = _table(table)
    by = _keys(by)
    stored = table.column(column)
    groups = _groups(table, by)
    merged: list[bytes | None] = []
    for rows in groups.column(_ROW + "_list").to_pylist():
        present = []
        for row in rows:
            item = stored[row].as_py()
            if item is None:
                continue
            try:
                vantorelle.validate(item)
            except ValueError as error:
                raise ValueError(f"column {column!r}, row {row}: {error}") from None
            present.append(item)
        merged.append(vantorelle.merge_all(present).to_bytes() if present else None)
    return _with_sketches(groups, by, merged)


def estimates(sketches: Any, *, threads: int | None = None) -> Any:
    import pyarrow as pa

    if not isinstance(sketches, (pa.Array, pa.ChunkedArray)):
        sketches = pa.chunked_array(sketches) if hasattr(sketches, "__arrow_c_stream__") \
            else pa.array(sketches)
    out = []
    for row, item in enumerate(sketches.to_pylist()):
        if item is None:
            out.append(0)
            continue
        try:
            out.append(vantorelle.from_bytes(item).result())
        except ValueError as error:
            raise ValueError(f"row {row}: {error}") from None
    return pa.array(out, pa.int64())
