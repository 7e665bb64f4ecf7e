"""The checks of the arguments that several functions take, each written once
so that the same mistake raises the same class with the same text through
every function: `sketch`, `sketch_by`, `merge_by`, `estimates` and
`vantorelle.dask`.

A value of the wrong type is a RefusedValueError (a TypeError); a value of
the right type out of range an InvalidInputError (a ValueError), except
`ty`, which the sketch class itself refuses with a ValueError.
"""

from __future__ import annotations

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

from vantorelle import _native
from vantorelle._native import InvalidInputError, RefusedValueError

# Thread counts past this are taken as this (the native grouped calls
# refuse more, a guard against a count that is no count).
_MOST_THREADS = 1024

# The class's own text for a value type it does not take.
_UNSUPPORTED_TY = "Unsupported type for HyperLogLogPlusPlus. Use 'str', 'int', or 'bytes'."


def thread_count(threads: Any) -> int:
    """`threads` as a count: None is every core."""
    if threads is None:
        return os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise RefusedValueError(f"threads must be an int or None, not {type(threads).__qualname__}")
    if threads < 1:
        raise InvalidInputError(f"threads must be at least 1, not {threads}")
    # (more than any machine has cores: the work is split by rows anyway)
    return min(threads, _MOST_THREADS)


def check_ty(ty: Any) -> None:
    """`ty` as the sketch class takes it (int, str or bytes), or None (the
    column decides). The class's own classes and texts: a TypeError for
    anything that is not a type, a ValueError for another type."""
    if ty is None or ty in (int, str, bytes):
        return
    if not isinstance(ty, type):
        raise RefusedValueError(
            f"argument 'ty': '{type(ty).__name__}' object cannot be converted to 'PyType'"
        )
    raise InvalidInputError(_UNSUPPORTED_TY)


def check_precisions(normal_precision: Any, sparse_precision: Any) -> None:
    """The class's own checks and texts for the precisions, before any work."""
    _native.check_precisions(normal_precision, sparse_precision)
