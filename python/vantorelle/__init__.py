"""Vantorelle: HyperLogLog++ distinct counts for whole columns.

The sketch class is ``vantorelle_py.HyperLogLogPlusPlus``; this package adds
column ingestion (numpy arrays, Arrow columns, iterables) at C speed, checked
loading of serialised sketches, roll-ups, pickling, and estimates with
error bounds, estimators without bias tables and intersections.
"""

from vantorelle_py import HyperLogLogPlusPlus

from vantorelle import _pickling  # noqa: F401  (registers pickling and copying)
from vantorelle._columns import add_all, count_distinct, sketch
from vantorelle._estimators import bounds, estimate, intersection, jaccard, std_error, union
from vantorelle._internal import InternalError
from vantorelle._loading import from_bytes, merge_all, validate

__all__ = [
    "HyperLogLogPlusPlus",
    "InternalError",
    "add_all",
    "bounds",
    "count_distinct",
    "estimate",
    "from_bytes",
    "intersection",
    "jaccard",
    "merge_all",
    "sketch",
    "std_error",
    "union",
    "validate",
]
