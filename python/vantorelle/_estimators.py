"""Estimates that can be stated: error bounds, estimators without bias
tables, and estimates over two sketches (intersection, union, Jaccard).

A sketch argument is a ``HyperLogLogPlusPlus`` or a serialised sketch (any
bytes-like object); serialised sketches are checked as `from_bytes` checks
them. Everything is computed by ``vantorelle._native`` from the sketch's
serialised form: the sketch itself is never changed.
"""

from __future__ import annotations

import numbers

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

from vantorelle_py import HyperLogLogPlusPlus

from vantorelle import _native
from vantorelle._internal import InternalError, corrupt_sketch
from vantorelle._loading import _as_bytes
from vantorelle._native import InvalidInputError, RefusedValueError

# The method codes of _native.estimate.
_METHODS = {"default": 0, "improved": 1, "ml": 2}


def _serialised(sketch: Any) -> bytes:
    if isinstance(sketch, HyperLogLogPlusPlus):
        try:
            return sketch.to_bytes()
        except InternalError as failure:
            raise corrupt_sketch(failure) from failure
    return _as_bytes(sketch)


def _method_code(method: Any) -> int:
    code = _METHODS.get(method) if isinstance(method, str) else None
    if code is None:
        raise InvalidInputError(f"method must be 'default', 'improved' or 'ml', not {method!r}")
    return code


def _confidence(confidence: Any) -> float:
    # (any real number, numpy's float32 too; not a bool, nor a str)
    if isinstance(confidence, (bool, str, bytes)) or not isinstance(confidence, numbers.Real):
        raise RefusedValueError(
            f"confidence must be a number between 0 and 1, not {type(confidence).__qualname__}"
        )
    return float(confidence)


def estimate(sketch: Any, method: str = "default") -> int:
    """The distinct count of `sketch` by `method`.

    ``"default"`` is ``result()``, the HLL++ estimate with its bias tables.
    ``"improved"`` is Ertl's improved raw estimator and ``"ml"`` the
    maximum-likelihood estimate; neither needs bias tables and neither shows
    their bump between about m and 3 m distinct values. On a normal sketch
    both read the registers; on a sparse sketch both are linear counting over
    the 2^sp sparse indices, which is the maximum-likelihood estimate from
    them.
    """
    code = _method_code(method)
    if code == 0 and isinstance(sketch, HyperLogLogPlusPlus):
        try:
            return sketch.result()
        except InternalError as failure:
            raise corrupt_sketch(failure) from failure
    return _native.estimate(_serialised(sketch), code)


def bounds(sketch: Any, confidence: float = 0.95) -> tuple[int, int]:
    """``(lower, upper)``: integers between which the true distinct count lies
    with probability at least `confidence` (0 < confidence < 1), over the
    randomness of the hash.

    On a sparse sketch the interval comes from the occupied sparse indices
    alone: the lower end is certain (no fewer distinct values than occupied
    indices; distinct 64-bit hashes are assumed), and the interval inverts
    the test on the number of collisions (Poisson tails while collisions are
    rare, a normal tail with the exact variance beyond); while a collision is
    less likely than the tail, it is the exact count, lower == upper. On a
    normal sketch that holds up
    to m/2 values the same is done over the occupied registers; beyond, the
    interval is the maximum-likelihood estimate plus or minus the normal
    quantile times its standard error (from the Fisher information), and its
    coverage is measured, not guaranteed (see docs/accuracy.md). A merged
    sketch is bounded like any other.
    """
    return _native.bounds(_serialised(sketch), _confidence(confidence))


def std_error(sketch: Any) -> float:
    """The standard error of ``estimate(sketch, "ml")``: from the observed
    Fisher information for a normal sketch, from the variance of linear
    counting over the sparse indices for a sparse one."""
    return _native.std_error(_serialised(sketch))


def _pair(a: Any, b: Any) -> tuple[float, float, float, bool]:
    return _native.pair(_serialised(a), _serialised(b))


def intersection(a: Any, b: Any) -> int:
    """The number of distinct values that both sketches saw.

    The sketches must count the same value type (ValueError otherwise); they
    are first lowered to their common precisions, as ``merge`` lowers, and
    precision pairs that ``merge`` refuses are refused. When both are then
    sparse, the occupied sparse indices of A, B and A and B together are
    counted exactly and linear counting applies to each. Otherwise the joint
    maximum-likelihood estimate from both register arrays (Ertl, 2017) is
    used: it reads how the two registers of each index compare, so its error
    scales with the intersection and the differences rather than with the
    union as ``|A| + |B| - |A u B|`` does.
    """
    return round(_pair(a, b)[2])


def union(a: Any, *others: Any) -> int:
    """The estimated number of distinct values in any of the sketches: the one
    union estimate, which the command's ``estimate --union`` also prints (of
    one sketch too, as ``union(*sketches)`` may be called with one).

    The sketches (of one value type) are merged into two halves and the
    joint estimate of `intersection` gives the halves' union: it reads how
    the registers of each index compare, and its error is lower than that of
    any estimate of the merged registers (``merge_all(...).result()``, the
    classic alternative; see docs/accuracy.md). Two sparse halves give the
    merged sketch's own estimate.
    """
    return round(_native.union_of([_serialised(s) for s in (a, *others)]))


def jaccard(a: Any, b: Any) -> float:
    """``|A n B| / |A u B|`` from the joint estimate of `intersection`; 0.0 when
    both sketches are empty."""
    only_a, only_b, both, _ = _pair(a, b)
    total = only_a + only_b + both
    return both / total if total > 0 else 0.0
