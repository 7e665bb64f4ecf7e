"""Whole columns into sketches: numpy arrays, Arrow columns, any iterable."""

from __future__ import annotations

import os
import time

# Annotations only (they are never evaluated): importing typing would add
# to the start-up of every process that imports vantorelle, the command's too.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

from vantorelle_py import HyperLogLogPlusPlus

from vantorelle import _native
from vantorelle._internal import InternalError, corrupt_sketch
from vantorelle._native import (
    DEFAULT_NORMAL_PRECISION,
    DEFAULT_SPARSE_PRECISION,
    IncompatibleSketchError,
    InvalidInputError,
    RefusedValueError,
)

# _native.collect's family for a column whose own values decide its type.
_ANY = 2
# Input type codes _native.collect reports.
_INPUT_LONG = 0


def _sparse_code(sparse_precision: int | None) -> int:
    return 0 if sparse_precision is None else sparse_precision


def _thread_count(threads: int | None) -> int:
    if threads is None:
        return os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise InvalidInputError(f"threads must be a positive int or None, got {threads!r}")
    return threads


# Below this many rows a column is read on one thread.
_SPLIT_FROM = 1 << 17


def _read_column(values: Any, normal_precision: int, sparse_code: int, threads: int) -> tuple:
    """_native.collect, with large Arrow columns hashed on `threads` threads.

    The split path gives collect's result; for a column it does not take as it
    is (it returns None), collect reads the column and reports what it refuses.
    """
    if threads > 1 and (hasattr(values, "__arrow_c_array__") or hasattr(values, "__arrow_c_stream__")):
        length = getattr(values, "__len__", None)
        if length is not None and length() >= _SPLIT_FROM:
            split = _native.collect_split(values, _ANY, normal_precision, sparse_code, threads)
            if split is not None:
                return split
    return _native.collect(values, _ANY, normal_precision, sparse_code)


def _apply(target: HyperLogLogPlusPlus, collected: tuple) -> None:
    """Adds a collected column to `target` through its own methods.

    The first value goes through `add`, so that a text-or-bytes sketch narrows
    to the kind it saw (and refuses the other kind) exactly as one-by-one adds
    would; the rest arrives as one serialised sketch and is merged.
    """
    _, first, position, rest = collected
    if first is None:
        return
    try:
        target.add(first)
        if rest is not None:
            _merge_once_free(target, rest)
    except TypeError as error:
        raise RefusedValueError(f"value at position {position}: {error}") from None
    except InternalError as caught:
        failure = caught
    else:
        return
    raise corrupt_sketch(failure)


# How long the rest of a column waits for a sketch that another thread holds.
_BORROW_WAIT_SECONDS = 60.0


def _merge_once_free(target: HyperLogLogPlusPlus, rest: bytes) -> None:
    """Merges `rest`, waiting while another thread's call holds `target`.

    The first value is in by now, so giving up would leave half a column: a
    hold by another thread (inside an add whose value conversion runs Python
    code) ends when that call does.
    """
    deadline = time.monotonic() + _BORROW_WAIT_SECONDS
    while True:
        try:
            target.merge(rest)
            return
        except RuntimeError as error:
            if not str(error).startswith("Already "):  # not a hold by another call
                raise IncompatibleSketchError(str(error)) from None
            if str(error) != "Already borrowed" or time.monotonic() > deadline:
                raise
        time.sleep(0)  # lets the holding thread finish its call


def _new_sketch(
    ty: type, normal_precision: int, sparse_precision: int | None
) -> HyperLogLogPlusPlus:
    """The class's constructor, its refusal of a type or precision as InvalidInputError."""
    try:
        return HyperLogLogPlusPlus(ty, normal_precision, sparse_precision)
    except ValueError as error:
        raise InvalidInputError(str(error)) from None


# pandas.api.types.infer_dtype kinds of an object column that Arrow would
# convert to one type while `add` would refuse some of the items.
_MIXED_KINDS = ("mixed", "mixed-integer", "mixed-integer-float")


def _collect(values: Any, normal_precision: int, sparse_code: int, threads: int) -> tuple:
    """_native.collect, with a pandas object column of mixed kinds read item
    by item as `add` reads them (its missing values skipped), not through
    Arrow, which would turn ``[b"a", "a"]`` into two equal byte strings."""
    positions = None
    module = type(values).__module__.partition(".")[0]
    if module == "pandas" and str(getattr(values, "dtype", "")) == "object":
        from pandas.api.types import infer_dtype

        if infer_dtype(values, skipna=True) in _MIXED_KINDS:
            present = (~values.isna()).tolist()
            positions = [i for i, keep in enumerate(present) if keep]
            values = [item for item, keep in zip(values.tolist(), present) if keep]
    try:
        collected = _read_column(values, normal_precision, sparse_code, threads)
    except RefusedValueError as error:
        raise _at_column_position(error, positions) from None
    if positions is None or collected[1] is None:
        return collected
    input_type, first, position, rest = collected
    return input_type, first, positions[position], rest


def _at_column_position(error: RefusedValueError, positions: list[int] | None):
    """`error` with the position of its value in the column, not in the list
    of present values it was read from."""
    head, separator, tail = str(error).partition(": ")
    if positions is None or not head.startswith("value at position "):
        return error
    index = int(head.removeprefix("value at position "))
    return RefusedValueError(f"value at position {positions[index]}{separator}{tail}")


def add_all(sketch: HyperLogLogPlusPlus, values: Any, *, threads: int | None = None) -> None:
    """Adds every value of `values` to `sketch`, as `sketch.add` would add each.

    `values` may be a numpy array (or anything else with integer items under
    the buffer protocol), an Arrow column (pyarrow, polars, pandas: anything
    with ``__arrow_c_stream__`` or ``__arrow_c_array__``; nulls are skipped), or
    any other iterable, whose items are converted exactly as ``add`` converts
    its argument.

    The call is atomic: when a value is refused, ``sketch`` is left unchanged and
    the error names the value's position. A corrupt sketch (loaded from corrupt
    bytes by the class's own ``from_bytes``) gives ValueError, and may be left
    unusable by the class's own add, as with ``sketch.add``. The result equals
    ``sketch.merge(vantorelle.sketch(values, <the sketch's type and precisions>))``:
    the column is read into a sketch of its own (with the GIL released for
    arrays and Arrow columns) and merged in at the end.

    ``threads`` (default: all cores) splits a large Arrow column across that
    many threads; the result is the same for any number of them.
    """
    if not isinstance(sketch, HyperLogLogPlusPlus):
        raise TypeError(
            f"add_all() expects a HyperLogLogPlusPlus, not {type(sketch).__qualname__}"
        )
    # The column's own type decides its private sketch; the sketch's `add` of
    # the first value then accepts or refuses that type.
    collected = _collect(
        values, sketch.normal_precision, sketch.sparse_precision, _thread_count(threads)
    )
    _apply(sketch, collected)


def sketch(
    values: Any,
    ty: type | None = None,
    normal_precision: int = DEFAULT_NORMAL_PRECISION,
    sparse_precision: int | None = DEFAULT_SPARSE_PRECISION,
    *,
    threads: int | None = None,
) -> HyperLogLogPlusPlus:
    """A new sketch holding `values` (see `add_all` for what a column may be).

    ``ty`` is as in the ``HyperLogLogPlusPlus`` constructor; ``None`` infers it
    from the column: integer arrays and Arrow integer columns count as ``int``,
    Arrow text as ``str``, Arrow binary as ``bytes``, and any other iterable by
    the type of its first value. The sketch's ``to_bytes()`` equals that of a
    sketch built with the same arguments and ``add`` of each value in order.
    ``threads`` as in `add_all`.
    """
    if ty is not None:
        result = _new_sketch(ty, normal_precision, sparse_precision)
        add_all(result, values, threads=threads)
        return result
    # Checks the precisions with the class's own rules before reading anything.
    _native.check_precisions(normal_precision, sparse_precision)
    collected = _collect(
        values, normal_precision, _sparse_code(sparse_precision), _thread_count(threads)
    )
    input_type = collected[0]
    if input_type is None:
        raise InvalidInputError(
            "cannot infer the value type of an empty column; pass ty=int, ty=str or ty=bytes"
        )
    result = HyperLogLogPlusPlus(
        int if input_type == _INPUT_LONG else str, normal_precision, sparse_precision
    )
    _apply(result, collected)
    return result


def count_distinct(
    values: Any,
    normal_precision: int = DEFAULT_NORMAL_PRECISION,
    sparse_precision: int | None = DEFAULT_SPARSE_PRECISION,
    *,
    threads: int | None = None,
) -> int:
    """The estimated number of distinct values in `values` (0 for an empty column)."""
    _native.check_precisions(normal_precision, sparse_precision)
    collected = _collect(
        values, normal_precision, _sparse_code(sparse_precision), _thread_count(threads)
    )
    input_type = collected[0]
    if input_type is None:
        return 0
    result = HyperLogLogPlusPlus(
        int if input_type == _INPUT_LONG else str, normal_precision, sparse_precision
    )
    _apply(result, collected)
    return result.result()
