"""Pickling and copying of sketches, registered when vantorelle is imported.

The class itself cannot carry a __reduce__ of its own, so a reducer is
registered with copyreg: a sketch travels as its serialised bytes and is
rebuilt by `restore`, an importable name, in whatever process unpickles it.

A text-or-bytes sketch narrows to the kind of its first added value, and the
bytes do not say which kind that was. A copy made in the same process
(``copy.copy``, ``copy.deepcopy``) keeps the narrowing: the bytes handed to
`restore` still know the sketch they came from, and the copy is made by
merging that sketch into a new one, which carries the narrowing over. A
pickle that leaves the process carries only the bytes; the sketch it
rebuilds accepts either kind until its next add, as any sketch loaded from
bytes does.

Without ``import vantorelle`` nothing is registered, and pickle reports only
that it cannot pickle the class.

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


class _SketchBytes(bytes):
    """A sketch's bytes that remember the sketch while a copy is being made.

    It pickles as plain bytes; a deep copy keeps it as it is, so that the
    copying machinery hands it to `restore` with its sketch still attached.
    """

    sketch: HyperLogLogPlusPlus | None = None

    def __reduce__(self):
        return bytes, (bytes(self),)

    def __deepcopy__(self, memo: dict) -> _SketchBytes:
        return self


def _merged_copy(source: HyperLogLogPlusPlus, data: bytes) -> HyperLogLogPlusPlus | None:
    """A new sketch with `source` merged in (narrowing included), when its
    bytes equal `data`; None when no such copy can be made."""
    from vantorelle import _native
    from vantorelle._internal import InternalError

    try:
        kind = _native.describe(bytes(data))["value_type"]
    except ValueError:  # unsound bytes: refused by the checked load below
        return None
    ty = int if kind == "integer" else str
    copy = HyperLogLogPlusPlus(ty, source.normal_precision, source.sparse_precision or None)
    try:
        copy.merge(source)
    except (RuntimeError, InternalError):  # held by another call, or corrupt
        return None
    return copy if copy.to_bytes() == data else None


def restore(data: bytes) -> HyperLogLogPlusPlus:
    """Rebuilds a pickled sketch (checking its bytes as vantorelle.from_bytes does)."""
    from vantorelle._loading import from_bytes

    source = data.sketch if isinstance(data, _SketchBytes) else None
    if source is not None:
        copy = _merged_copy(source, data)
        if copy is not None:
            return copy
    return from_bytes(bytes(data))


def _reduce(sketch: HyperLogLogPlusPlus):
    data = _SketchBytes(sketch.to_bytes())
    data.sketch = sketch
    return restore, (data,)


copyreg.pickle(HyperLogLogPlusPlus, _reduce)

if getattr(builtins, HyperLogLogPlusPlus.__name__, HyperLogLogPlusPlus) is HyperLogLogPlusPlus:
    setattr(builtins, HyperLogLogPlusPlus.__name__, HyperLogLogPlusPlus)
