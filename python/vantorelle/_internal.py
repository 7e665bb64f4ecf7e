"""The exception class of broken internal invariants, under a name users can
import. The class belongs to vantorelle_py, which does not export it; it is
found once, at import, by provoking the internal failure that public calls
can reach: a sketch whose stored sparse data is corrupt (which loading does
not inspect) fails when new values are first merged into that data, and the
sketch is left invalid."""

from __future__ import annotations

from vantorelle_py import HyperLogLogPlusPlus

from vantorelle._native import CorruptSketchError

# type 112, one value, encoding version 2, value type 8; precisions 10 and 15
# and sparse data that ends inside a varint.
_CORRUPT = bytes.fromhex("0870" "1001" "1802" "2008" "8207" "07" "180a" "200f" "3201" "80")


def _find_internal_error() -> type[BaseException]:
    broken = HyperLogLogPlusPlus.from_bytes(_CORRUPT)

    def add_until_flushed() -> None:
        for value in range(1 << 10):
            broken.add(value)

    for step in (add_until_flushed, broken.num_values):
        try:
            step()
        except BaseException as failure:  # noqa: BLE001 (the very class we are after)
            kind = type(failure)
            if kind.__name__ == "InternalError" and not issubclass(kind, Exception):
                return kind
            if not isinstance(failure, Exception):
                raise
    raise ImportError("vantorelle could not locate vantorelle_py's InternalError")


InternalError = _find_internal_error()


def corrupt_sketch(failure: BaseException) -> CorruptSketchError:
    """The error a vantorelle function raises when a sketch it was given meets
    an internal failure: only a sketch loaded from corrupt bytes without the
    check (``HyperLogLogPlusPlus.from_bytes``) can.

    Raise it outside the ``except`` clause that caught the failure, so that
    the failure is neither its cause nor its context: the message carries the
    failure's text, and the failure's class, which vantorelle_py does not
    export, cannot be pickled by name, which would stop the error on its way
    between processes (Dask's workers pickle errors with their chains)."""
    return CorruptSketchError(
        f"the sketch is corrupt ({failure}); load sketches with vantorelle.from_bytes, "
        "which refuses such bytes"
    )
