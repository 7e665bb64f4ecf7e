"""Loading serialised sketches that someone else made: every byte is checked
before a sketch is built from it, so a corrupt row is refused where it is
loaded, as a ValueError, and never surfaces later as an internal failure."""

from __future__ import annotations

import time

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


def _held(sketch: HyperLogLogPlusPlus) -> bool:
    """Whether another call holds `sketch` (it is inside its own add or merge,
    running Python code): the class then refuses even to read it."""
    try:
        sketch.normal_precision  # noqa: B018 (read for its refusal)
    except RuntimeError:
        return True
    return False


def merge_waiting(
    target: HyperLogLogPlusPlus, other: Any, *, watched: Any, wait_seconds: float
) -> None:
    """``target.merge(other)``, telling a refusal of the merge (an
    IncompatibleSketchError) from a hold by another call on `watched`, the
    one of the two that another call can hold: a hold is waited out for up
    to `wait_seconds` (0: not at all) and then raised as the class raised it.
    A failure while nothing is held is tried once more (a hold may have ended
    in between) before it counts as a refusal."""
    deadline = time.monotonic() + wait_seconds
    unheld_failures = 0
    while True:
        try:
            target.merge(other)
            return
        except RuntimeError as error:
            failure = error
        if not isinstance(watched, HyperLogLogPlusPlus) or not _held(watched):
            unheld_failures += 1
            if unheld_failures == 2 or not isinstance(watched, HyperLogLogPlusPlus):
                raise IncompatibleSketchError(str(failure)) from None
        elif time.monotonic() >= deadline:
            raise failure
        time.sleep(0)  # lets the holding thread finish its call


def merge_all(items: Iterable[Any]) -> HyperLogLogPlusPlus:
    """Merges sketches and/or serialised sketches into a new sketch.

    Serialised sketches are checked as `from_bytes` checks them. The result
    has the lowest precisions of the inputs, as ``merge`` does. Raises
    InvalidInputError for an empty iterable, CorruptSketchError for corrupt
    bytes and for a corrupt sketch (one loaded from corrupt bytes by the
    class's own ``from_bytes``), both ValueErrors, and IncompatibleSketchError
    (a RuntimeError) for sketches of different kinds of value.
    """
    refusal = f"expected an iterable of sketches or serialised sketches, not {type(items).__qualname__}"
    if isinstance(items, (str, bytes, bytearray, memoryview, HyperLogLogPlusPlus)):
        raise RefusedValueError(refusal)
    try:
        items = iter(items)
    except TypeError:
        raise RefusedValueError(refusal) from None
    merged: HyperLogLogPlusPlus | None = None
    for position, item in enumerate(items):
        failure = None
        try:
            if isinstance(item, HyperLogLogPlusPlus):
                if merged is None:
                    merged = from_bytes(item.to_bytes())
                else:
                    # `merged` is this call's own: only `item` can be held.
                    merge_waiting(merged, item, watched=item, wait_seconds=0)
                continue
            raw = _as_bytes(item)
            _native.validate(raw)
            if merged is None:
                merged = HyperLogLogPlusPlus.from_bytes(raw)
            else:
                merge_waiting(merged, raw, watched=None, wait_seconds=0)
        except InternalError as caught:
            failure = caught
        except IncompatibleSketchError as error:
            raise IncompatibleSketchError(f"sketch at position {position}: {error}") from None
        if failure is not None:
            raise corrupt_sketch(failure)
    if merged is None:
        raise InvalidInputError("merge_all() needs at least one sketch")
    return merged
