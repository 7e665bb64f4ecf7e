"""Pickling and copying of sketches, registered when vantorelle is imported.

The class itself cannot carry a __reduce__ of its own, so a reducer is
registered with copyreg: a sketch travels as its serialised bytes and is
rebuilt by `restore`, an importable name, in whatever process unpickles it.

The class object is pickled by reference, by the module and name it reports:
``builtins.HyperLogLogPlusPlus``. Its extension module does not put it there,
so the name is bound here, where pickle looks it up. Dask's workers pickle the
type of every task result for the scheduler; without the name each task that
returns a sketch logged three tracebacks of a failed pickle.
"""

from __future__ import annotations

import builtins
import copyreg

from vantorelle_py import HyperLogLogPlusPlus


def restore(data: bytes) -> HyperLogLogPlusPlus:
    """Rebuilds a pickled sketch (checking its bytes as vantorelle.from_bytes does)."""
    from vantorelle._loading import from_bytes

    return from_bytes(data)


def _reduce(sketch: HyperLogLogPlusPlus):
    return restore, (sketch.to_bytes(),)


copyreg.pickle(HyperLogLogPlusPlus, _reduce)

if getattr(builtins, HyperLogLogPlusPlus.__name__, HyperLogLogPlusPlus) is HyperLogLogPlusPlus:
    setattr(builtins, HyperLogLogPlusPlus.__name__, HyperLogLogPlusPlus)
