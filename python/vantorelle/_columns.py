"""Whole columns into sketches: numpy arrays, Arrow columns, any iterable."""

from __future__ import annotations

import operator

# Annotations only (they are never evaluated): importing typing would add
# to the start-up of every process that imports vantorelle, the command's too.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

from vantorelle_py import HyperLogLogPlusPlus

from vantorelle import _native
from vantorelle._arguments import check_precisions, check_ty, thread_count
from vantorelle._internal import InternalError, corrupt_sketch
from vantorelle._loading import merge_waiting
from vantorelle._native import (
    DEFAULT_NORMAL_PRECISION,
    DEFAULT_SPARSE_PRECISION,
    InvalidInputError,
    RefusedValueError,
)

# _native.collect's family for a column whose own values decide its type.
_ANY = 2
# Input type codes _native.collect reports.
_INPUT_LONG = 0


def _sparse_code(sparse_precision: int | None) -> int:
    return 0 if sparse_precision is None else sparse_precision


def _apply(target: HyperLogLogPlusPlus, collected: tuple) -> None:
    """Adds a collected column to `target` through its own methods.

    The first value goes through `add`, so that a text-or-bytes sketch narrows
    to the kind it saw (and refuses the other kind) exactly as one-by-one adds
    would; the rest arrives as one serialised sketch, of the whole column but
    counting one value fewer, and is merged.
    """
    _, first, position, rest = collected
    if first is None:
        return
    try:
        target.add(first)
        if rest is not None:
            # The rest is of the first value's kind and of the sketch's own
            # precisions, so only a hold by another call can refuse it.
            merge_waiting(target, rest, watched=target, wait_seconds=_BORROW_WAIT_SECONDS)
    except TypeError as error:
        raise _refused_at(position, error) from None
    except InternalError as caught:
        failure = caught
    else:
        return
    raise corrupt_sketch(failure)


def _refused_at(position: int, error: TypeError) -> RefusedValueError:
    return RefusedValueError(f"value at position {position}: {error}")


def _refusal_of_first(target: HyperLogLogPlusPlus, first: Any, position: int) -> RefusedValueError | None:
    """The refusal that `_apply` would meet adding the column's first value
    to `target`, found on a copy of it (a copy keeps a text-or-bytes sketch's
    narrowing), or None. None too when no copy can be made (a corrupt
    sketch): the column's own refusal then stands."""
    import copy

    try:
        trial = copy.copy(target)
    except (ValueError, RuntimeError, InternalError):
        return None
    try:
        trial.add(first)
    except TypeError as error:
        return _refused_at(position, error)
    return None


# How long the rest of a column waits for a sketch that another thread holds.
# The first value is in by then, so giving up would leave half a column: a
# hold by another thread (inside an add whose value conversion runs Python
# code) ends when that call does.
_BORROW_WAIT_SECONDS = 60.0


def _new_sketch(
    ty: type, normal_precision: int, sparse_precision: int | None
) -> HyperLogLogPlusPlus:
    """The class's constructor, after the checks every function shares."""
    check_ty(ty)
    check_precisions(normal_precision, sparse_precision)
    return HyperLogLogPlusPlus(ty, normal_precision, sparse_precision)


# The libraries whose objects are read in their own ways.
_LIBRARIES = ("pandas", "polars", "pyarrow", "duckdb")


def library_class(obj: Any) -> tuple[str, str]:
    """The library `obj` comes from and the name of its class there. A class
    of the caller's own derived from one of the libraries' (a DataFrame
    subclass, say) is read as its base is."""
    for cls in type(obj).__mro__:
        library = (cls.__module__ or "").partition(".")[0]
        if library in _LIBRARIES:
            return library, cls.__name__
    return (type(obj).__module__ or "").partition(".")[0], type(obj).__name__


def library_of(obj: Any) -> str:
    return library_class(obj)[0]


# pyarrow's classes whose Arrow struct type is a table's, not a column's.
_PYARROW_TABLES = {"Table", "RecordBatch", "RecordBatchReader"}


def table_allowed(values: Any) -> bool:
    """Whether an Arrow struct of one field that `values` exports may be a
    one-column table (counted as its column): not when `values` is known to
    be one column, whose structs are its values."""
    library, kind = library_class(values)
    if library == "pyarrow":
        return kind in _PYARROW_TABLES
    return (library, kind) not in {("polars", "Series"), ("pandas", "Series")}


def in_native_byte_order(pandas_object: Any) -> Any:
    """A pandas Series or DataFrame whose numpy columns of the other byte
    order (as read from some binary formats) are swapped to this machine's:
    Arrow, which every pandas column passes through, takes no other."""
    import numpy as np

    def swapped(dtype: Any) -> bool:
        return isinstance(dtype, np.dtype) and not dtype.isnative

    if hasattr(pandas_object, "columns"):
        dtypes = dict(pandas_object.dtypes.items())
        if any(swapped(dtype) for dtype in dtypes.values()):
            return pandas_object.astype(
                {name: dtype.newbyteorder("=") for name, dtype in dtypes.items() if swapped(dtype)})
        return pandas_object
    dtype: Any = getattr(pandas_object, "dtype", None)
    return pandas_object.astype(dtype.newbyteorder("=")) if swapped(dtype) else pandas_object


def _is_pandas_object_column(values: Any) -> bool:
    return library_of(values) == "pandas" and str(
        getattr(values, "dtype", "")
    ) == "object"


# pandas.api.types.infer_dtype kinds of an object column whose items are all
# of one kind that Arrow converts as `add` converts each item.
# (Arrow hashes a boolean as `add` hashes the int it is.)
_ARROW_KINDS = {"integer": "int64", "boolean": "bool", "string": "string", "bytes": "binary"}


def object_column_as_arrow(values: Any) -> Any:
    """A pandas object column as the Arrow array that every function counts
    for it (`sketch`, `sketch_by`, `vantorelle.dask`), missing values as
    nulls: integers and booleans as int64, text as string, byte strings as
    binary, each item as `add` takes it. None when the items are not all of
    one kind that `add` takes, or do not fit (an integer past 64 bits): the
    column is then read item by item, which names the refused item."""
    import pyarrow as pa
    from pandas.api.types import infer_dtype

    kind = infer_dtype(values, skipna=True)
    try:
        if kind == "empty":
            return pa.nulls(len(values))
        if kind in _ARROW_KINDS:
            return pa.array(values, type=pa.type_for_alias(_ARROW_KINDS[kind]), from_pandas=True)
        if kind in ("mixed-integer", "mixed"):
            # Several types: ints with bools or numpy integers (anything with
            # __index__, as `add` takes it), byte strings of several types, or
            # kinds that do not go together (read item by item).
            present = (~values.isna()).tolist()
            items = values.tolist()
            first = next(item for item, keep in zip(items, present) if keep)
            if isinstance(first, (bytes, bytearray, memoryview)):
                kinds = (bytes, bytearray, memoryview)
                if all(isinstance(items[i], kinds) for i, keep in enumerate(present) if keep):
                    return pa.array(
                        [bytes(item) if keep else None for item, keep in zip(items, present)],
                        type=pa.binary(),
                    )
            elif not isinstance(first, str):
                return pa.array(
                    [operator.index(item) if keep else None for item, keep in zip(items, present)],
                    type=pa.int64(),
                )
    except (pa.ArrowException, OverflowError, ValueError, TypeError):
        pass  # read item by item, which names the item
    return None


def read_object_column(values: Any, name: Any) -> Any:
    """`object_column_as_arrow` of a pandas object column, or the refusal
    that `vantorelle.sketch` gives the column, naming it."""
    array = object_column_as_arrow(values)
    if array is not None:
        return array
    try:
        input_type = _collect(values, DEFAULT_NORMAL_PRECISION, DEFAULT_SPARSE_PRECISION, 1)[0]
    except RefusedValueError as error:
        what = "the column" if name is None else f"column {name!r}"
        raise RefusedValueError(f"{what} of dtype object: {error}") from None
    # Items that `add` takes though Arrow does not read them so (text beside
    # a NaT, which pandas counts as missing; lists of byte values): each as
    # `add` converts it.
    import pyarrow as pa

    present = (~values.isna()).tolist()
    items = [item if keep else None for item, keep in zip(values.tolist(), present)]
    if input_type is None:
        return pa.nulls(len(items))
    if input_type == _INPUT_LONG:
        return pa.array([None if item is None else operator.index(item) for item in items], pa.int64())
    if all(item is None or isinstance(item, str) for item in items):
        return pa.array(items, pa.string())
    return pa.array([None if item is None else bytes(item) for item in items], pa.binary())


def column_value_type(arrow_type: Any) -> type | None:
    """The type of sketch an Arrow column of `arrow_type` counts as (int or
    str; None for the null type, whose values decide nothing), asked of the
    column path itself without reading a value; a type it does not count is
    refused as `vantorelle.sketch` refuses it."""
    import pyarrow as pa

    if pa.types.is_null(arrow_type):
        return None
    # (pa.nulls: pa.array([], type) cannot make dictionaries of dates, say)
    input_type = _native.collect(
        pa.nulls(0, arrow_type), _ANY, DEFAULT_NORMAL_PRECISION, DEFAULT_SPARSE_PRECISION, 1, False
    )[0]
    return int if input_type == _INPUT_LONG else str


def arrow_refusal(error: BaseException) -> Exception:
    """pyarrow's refusal to convert a column, as the package's own error."""
    if isinstance(error, UnicodeEncodeError):
        text = error.object[error.start:error.end]
        return RefusedValueError(f"a column cannot be read as Arrow: it holds text with a lone surrogate ({text!r})")
    detail = "; ".join(str(part) for part in error.args) or type(error).__name__
    if isinstance(error, (TypeError, NotImplementedError)):
        return RefusedValueError(f"a column cannot be read as Arrow: {detail}")
    return InvalidInputError(f"a column cannot be read as Arrow: {detail}")


def exports_arrow(values: Any) -> bool:
    """Whether `values` is read through the Arrow C interfaces."""
    return hasattr(values, "__arrow_c_stream__") or hasattr(values, "__arrow_c_array__")


def read_through_arrow(call: Any, *args: Any) -> Any:
    """call(*args), a native call that reads the caller's column or table
    args[0]: when that is read through the Arrow interfaces, a library's own
    failure to export it (pyarrow's ArrowTypeError from a pandas column, say)
    comes out as the package's error. The package's and Python's own pass
    unchanged, as does whatever a caller's iterable raises."""
    try:
        return call(*args)
    except Exception as error:  # noqa: BLE001 (foreign classes, unknown here)
        # (text that UTF-8 cannot encode is the export's failure, not Python's)
        foreign = type(error).__module__.partition(".")[0] not in ("vantorelle", "builtins")
        if not exports_arrow(args[0]) or not (foreign or isinstance(error, UnicodeEncodeError)):
            raise
        raise arrow_refusal(error) from None


def _collect(
    values: Any, normal_precision: int, sparse_code: int, threads: int,
    target: HyperLogLogPlusPlus | None = None,
) -> tuple:
    """_native.collect, with a pandas object column read as
    `object_column_as_arrow` reads it, or, when that does not take it, item by
    item as `add` reads each (its missing values skipped), so that the refused
    item is named by its position in the column.

    `target` is the sketch the column goes to, if any: when it refuses the
    column's first value, that is the refusal, as one-by-one adds would meet
    it, not the column's own refusal of a later value (another kind than the
    first's, say)."""
    positions = None
    if library_class(values) == ("polars", "LazyFrame"):
        raise RefusedValueError("expected a column, not a polars LazyFrame: collect() it first")
    if library_of(values) == "pandas":
        values = in_native_byte_order(values)
    if _is_pandas_object_column(values):
        arrow = object_column_as_arrow(values)
        if arrow is not None:
            values = arrow
        else:
            present = (~values.isna()).tolist()
            positions = [i for i, keep in enumerate(present) if keep]
            values = [item for item, keep in zip(values.tolist(), present) if keep]
    try:
        collected = read_through_arrow(
            _native.collect, values, _ANY, normal_precision, sparse_code, threads, table_allowed(values)
        )
    except RefusedValueError as error:
        # ((value, position) of a first value taken before the refused one)
        first = getattr(error, "first", None)
        if target is not None and first is not None:
            value, position = first
            refusal = _refusal_of_first(target, value, position if positions is None else positions[position])
            if refusal is not None:
                raise refusal from None
        placed = _at_column_position(error, positions)
        if placed is error:
            raise  # (its cause kept: the exception an iterable of the caller's raised, say)
        raise placed from None
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
        raise RefusedValueError(
            f"add_all() expects a HyperLogLogPlusPlus, not {type(sketch).__qualname__}"
        )
    # The column's own type decides its private sketch; the sketch's `add` of
    # the first value then accepts or refuses that type.
    collected = _collect(
        values, sketch.normal_precision, sketch.sparse_precision, thread_count(threads), sketch
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
    check_ty(ty)
    check_precisions(normal_precision, sparse_precision)
    count = thread_count(threads)
    if ty is not None:
        result = _new_sketch(ty, normal_precision, sparse_precision)
        add_all(result, values, threads=count)
        return result
    collected = _collect(values, normal_precision, _sparse_code(sparse_precision), count)
    input_type = collected[0]
    if input_type is None:
        raise InvalidInputError(
            "cannot infer the value type of a column without values (empty, or every value "
            "null); pass ty=int, ty=str or ty=bytes"
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
    check_precisions(normal_precision, sparse_precision)
    collected = _collect(
        values, normal_precision, _sparse_code(sparse_precision), thread_count(threads)
    )
    input_type = collected[0]
    if input_type is None:
        return 0
    result = HyperLogLogPlusPlus(
        int if input_type == _INPUT_LONG else str, normal_precision, sparse_precision
    )
    _apply(result, collected)
    return result.result()
