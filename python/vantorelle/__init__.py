"""Vantorelle: HyperLogLog++ distinct counts for whole columns.

The sketch class is ``vantorelle_py.HyperLogLogPlusPlus``; this package adds
column ingestion (numpy arrays, Arrow columns, iterables) at C speed, checked
loading of serialised sketches, per-group sketches and roll-ups, pickling, and
estimates with error bounds, estimators without bias tables and intersections.

Errors about sketches and their input derive from ``SketchError`` and from
the built-in the call raised before (ValueError, TypeError, RuntimeError), so
existing ``except`` clauses keep working. The class's own methods raise the
built-ins, as they always have.
"""

from vantorelle_py import HyperLogLogPlusPlus

from vantorelle import _pickling  # noqa: F401  (registers pickling and copying)
from vantorelle._columns import add_all, count_distinct, sketch
from vantorelle._counts import count_by
from vantorelle._estimators import bounds, estimate, intersection, jaccard, std_error, union
from vantorelle._grouped import estimates, merge_by, sketch_by
from vantorelle._internal import InternalError
from vantorelle._native import (
    CorruptSketchError,
    IncompatibleSketchError,
    InvalidInputError,
    RefusedValueError,
    SketchError,
    __version__,
)
from vantorelle._loading import from_bytes, merge_all, validate

__all__ = [
    "CorruptSketchError",
    "HyperLogLogPlusPlus",
    "IncompatibleSketchError",
    "InternalError",
    "InvalidInputError",
    "RefusedValueError",
    "SketchError",
    "__version__",
    "add_all",
    "bounds",
    "count_by",
    "count_distinct",
    "estimates",
    "estimate",
    "from_bytes",
    "intersection",
    "jaccard",
    "merge_all",
    "merge_by",
    "sketch",
    "sketch_by",
    "std_error",
    "union",
    "validate",
]
