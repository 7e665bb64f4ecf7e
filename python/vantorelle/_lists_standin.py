"""DEVELOPMENT STAND-IN for the list functions of vantorelle._native
(sketch_lists, merge_lists), in plain Python over pyarrow: one
`vantorelle.sketch` / `vantorelle.merge_all` call per list row.
vantorelle.duckdb uses it only while `_native` lacks them; once the native
kernel is installed this file is unused and can be deleted.

Contract:
  sketch_lists(column, ty, normal_precision, sparse_precision, threads)
      -> one serialised sketch per list row (its items the values; null items
         skipped; a null list gives null), as an Arrow binary array.
  merge_lists(column, threads)
      -> each row's stored sketches merged (null items skipped; a null or
         empty list gives null), as an Arrow binary array.
"""

from __future__ import annotations

from typing import Any

import vantorelle


def _lists(column: Any) -> Any:
    import pyarrow as pa

    if isinstance(column, (pa.Array, pa.ChunkedArray)):
        array = column
    elif hasattr(column, "__arrow_c_array__"):
        array = pa.array(column)
    else:
        array = pa.chunked_array(column)
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    if not (pa.types.is_list(array.type) or pa.types.is_large_list(array.type)
            or pa.types.is_list_view(array.type) or pa.types.is_large_list_view(array.type)):
        raise TypeError(f"expected an Arrow list column, not {array.type}")
    return array


def sketch_lists(
    column: Any, ty: type | None, normal_precision: int, sparse_precision: int | None,
    threads: int | None = None,
) -> Any:
    import pyarrow as pa

    lists = _lists(column)
    # The item type decides unless `ty` does; the check is the core's.
    items_type = lists.type.value_type
    vantorelle.sketch(pa.array([], items_type), ty, normal_precision, sparse_precision)
    out: list[bytes | None] = []
    for row in range(len(lists)):
        if not lists[row].is_valid:
            out.append(None)
            continue
        values = lists[row].values
        try:
            out.append(vantorelle.sketch(values, ty, normal_precision, sparse_precision)
                       .to_bytes())
        except (TypeError, ValueError) as error:
            raise type(error)(f"row {row}: {error}") from None
    return pa.array(out, pa.binary())


def merge_lists(column: Any, threads: int | None = None) -> Any:
    import pyarrow as pa

    lists = _lists(column)
    out: list[bytes | None] = []
    for row, items in enumerate(lists.to_pylist()):
        present = [item for item in items or () if item is not None]
        if not present:
            out.append(None)
            continue
        try:
            out.append(vantorelle.merge_all(present).to_bytes())
        except (TypeError, ValueError) as error:
            raise type(error)(f"row {row}: {error}") from None
    return pa.array(out, pa.binary())
