"""Loading serialised sketches that someone else made: every byte is checked
before a sketch is built from it, so a corrupt row is refused where it is
loaded, as a ValueError, and never surfaces later as an internal failure."""

from __future__ import annotations

# Annotations only (they are never evaluated): importing typing would add
# to the start-up of every process that imports vantorelle, the command's too.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Iterable

from vantorelle_py import HyperLogLogPlusPlus

from vantorelle import _native
from vantorelle._internal import InternalError, corrupt_sketch
from vantorelle._native import IncompatibleSketchError, InvalidInputError, RefusedValueError


def _as_bytes(data: Any) -> bytes:
    """The bytes of a bytes-like object with one-byte items."""
    if isinstance(data, bytes):
        return data
    if isinstance(data, str):
        raise RefusedValueError("a serialised sketch is bytes, not str")
    try:
        view = memoryview(data)
    except TypeError:
        raise RefusedValueError(
            f"a serialised sketch must be a bytes-like object, not {type(data).__qualname__}"
        ) from None
    with view:
        if view.itemsize != 1:
            raise RefusedValueError(
                f"a serialised sketch must have one-byte items, not items of {view.itemsize} "
                f"bytes (format {view.format!r})"
            )
        return view.tobytes()


def validate(data: Any) -> None:
    """Checks that `data` is a sound serialised sketch.

    Raises CorruptSketchError (a ValueError) naming the offset or value and
    the reason when it is not. Bytes that pass load with `from_bytes` into a sketch that every later
    call handles without an internal failure.
    """
    _native.validate(_as_bytes(data))


def from_bytes(data: Any) -> HyperLogLogPlusPlus:
    """Like ``HyperLogLogPlusPlus.from_bytes``, for any bytes-like object
    (``bytes``, ``bytearray``, a ``memoryview`` of one-byte items, a numpy
    uint8/int8 array, a pyarrow ``Buffer``), checked by `validate` first."""
    raw = _as_bytes(data)
    _native.validate(raw)
    return HyperLogLogPlusPlus.from_bytes(raw)


def merge_all(items: Iterable[Any]) -> HyperLogLogPlusPlus:
    """Merges sketches and/or serialised sketches into a new sketch.

    Serialised sketches are checked as `from_bytes` checks them. The result
    has the lowest precisions of the inputs, as ``merge`` does. Raises
    InvalidInputError for an empty iterable, CorruptSketchError for corrupt
    bytes and for a corrupt sketch (one loaded from corrupt bytes by the
    class's own ``from_bytes``), both ValueErrors, and IncompatibleSketchError
    (a RuntimeError) for sketches of different kinds of value.
    """
    merged: HyperLogLogPlusPlus | None = None
    for position, item in enumerate(items):
        failure = None
        try:
            if isinstance(item, HyperLogLogPlusPlus):
                if merged is None:
                    merged = from_bytes(item.to_bytes())
                else:
                    merged.merge(item)
                continue
            raw = _as_bytes(item)
            _native.validate(raw)
            if merged is None:
                merged = HyperLogLogPlusPlus.from_bytes(raw)
            else:
                merged.merge(raw)
        except InternalError as caught:
            failure = caught
        except RuntimeError as error:
            if str(error).startswith("Already "):  # held by another thread's call
                raise
            raise IncompatibleSketchError(f"sketch at position {position}: {error}") from None
        if failure is not None:
            raise corrupt_sketch(failure)
    if merged is None:
        raise InvalidInputError("merge_all() needs at least one sketch")
    return merged
