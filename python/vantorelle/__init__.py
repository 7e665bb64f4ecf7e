"""Vantorelle: HyperLogLog++ distinct counts for whole columns.

The sketch class is ``vantorelle_py.HyperLogLogPlusPlus``; this package adds
column ingestion (numpy arrays, Arrow columns, iterables) at C speed, checked
loading of serialised sketches, roll-ups, and pickling.
"""

from vantorelle_py import HyperLogLogPlusPlus

from vantorelle import _pickling  # noqa: F401  (registers pickling and copying)
from vantorelle._columns import add_all, count_distinct, sketch
from vantorelle._grouped import estimates, merge_by, sketch_by
from vantorelle._internal import InternalError
from vantorelle._loading import from_bytes, merge_all, validate

__all__ = [
    "HyperLogLogPlusPlus",
    "InternalError",
    "add_all",
    "count_distinct",
    "estimates",
    "from_bytes",
    "merge_all",
    "merge_by",
    "sketch",
    "sketch_by",
    "validate",
]
