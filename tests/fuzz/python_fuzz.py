"""Fuzzes the Python surface: the class and the vantorelle package, driven
by fuzzer-chosen bytes and values, in one process.

Allowed outcomes of every call: a return, or ValueError, TypeError,
RuntimeError, OverflowError. InternalError is allowed only from the class,
and only for a sketch that unchecked bytes reached (loaded by the class's own
from_bytes, or merged from unchecked bytes or from such a sketch). Anything
else (another exception, InternalError from a vantorelle function or from a
sketch that only ever saw checked bytes, a crash, a sanitizer report) is a
finding.

Run through scripts/fuzz_python.sh, which builds both extension modules with
clang's ASan, UBSan and coverage instrumentation and preloads atheris's
sanitizer runtime:
    scripts/fuzz_python.sh SECONDS
"""

import sys

import atheris

import numpy as np

with atheris.instrument_imports():
    import vantorelle
    from vantorelle import HyperLogLogPlusPlus as HLL

ALLOWED = (ValueError, TypeError, RuntimeError, OverflowError)
PRECISIONS = [(10, 15), (11, 11), (12, 0), (15, 20), (14, 25), (10, 25), (24, 25)]
DTYPES = ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "bool",
          ">i8", "float64"]


class Finding(Exception):
    pass


class Sketch:
    """A sketch under test, and whether unchecked bytes have reached it."""

    def __init__(self, sketch, tainted):
        self.sketch = sketch
        self.tainted = tainted


def value(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return fdp.ConsumeIntInRange(-(2**63), 2**63 - 1)
    if kind == 1:
        return fdp.ConsumeInt(10)  # may be out of the 64-bit range
    if kind == 2:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 24))
    if kind == 3:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 24))
    if kind == 4:
        return [fdp.ConsumeIntInRange(-2, 300) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if kind == 5:
        return None
    return fdp.ConsumeRegularFloat()


def column(fdp):
    kind = fdp.ConsumeIntInRange(0, 2)
    size = fdp.ConsumeIntInRange(0, 64)
    if kind == 0:
        return [value(fdp) for _ in range(size)]
    dtype = np.dtype(DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)])
    raw = fdp.ConsumeBytes(size * dtype.itemsize)
    array = np.frombuffer(raw[: len(raw) // dtype.itemsize * dtype.itemsize], dtype=dtype)
    step = fdp.ConsumeIntInRange(1, 3)
    return array[::step] if kind == 1 else array[::-step]


def serialised(fdp, pool):
    """Fuzzed bytes: a mutation of a real sketch's bytes, or raw bytes."""
    if pool and fdp.ConsumeBool():
        base = bytearray(pool[fdp.ConsumeIntInRange(0, len(pool) - 1)].sketch.to_bytes())
        for _ in range(fdp.ConsumeIntInRange(0, 4)):
            if not base:
                break
            base[fdp.ConsumeIntInRange(0, len(base) - 1)] = fdp.ConsumeIntInRange(0, 255)
        if base and fdp.ConsumeBool():
            del base[fdp.ConsumeIntInRange(0, len(base) - 1) :]
        return bytes(base)
    return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 256))


def call(fdp, pool, target):
    """One operation; returns a new Sketch or None. Raises a Finding for an
    outcome the rules do not allow."""
    operation = fdp.ConsumeIntInRange(0, 12)
    # Whether an InternalError is allowed: only from the class, on a sketch
    # that unchecked bytes reached.
    may_fail_internally = False
    made = None
    try:
        if operation == 0:
            p, sp = PRECISIONS[fdp.ConsumeIntInRange(0, len(PRECISIONS) - 1)]
            made = Sketch(HLL([int, str, bytes][fdp.ConsumeIntInRange(0, 2)], p, sp), False)
        elif operation == 1:
            may_fail_internally = True
            made = Sketch(HLL.from_bytes(serialised(fdp, pool)), True)
        elif operation <= 6:
            sketch = target.sketch
            may_fail_internally = target.tainted
            if operation == 2:
                sketch.add(value(fdp))
            elif operation == 3:
                data = serialised(fdp, pool)
                checked = _passes(data)
                may_fail_internally |= not checked
                sketch.merge(data)
                target.tainted |= not checked
            elif operation == 4:
                other = pool[fdp.ConsumeIntInRange(0, len(pool) - 1)]
                may_fail_internally |= other.tainted
                sketch.merge(other.sketch)
                target.tainted |= other.tainted
            elif operation == 5:
                HLL.from_bytes(sketch.to_bytes())
            else:
                sketch.result()
                sketch.num_values()
                repr(sketch)
        elif operation == 7:
            made = Sketch(vantorelle.from_bytes(serialised(fdp, pool)), False)
        elif operation == 8:
            vantorelle.validate(serialised(fdp, pool))
        elif operation == 9:
            entries = [None if fdp.ConsumeBool() else pool[fdp.ConsumeIntInRange(0, len(pool) - 1)]
                       for _ in range(fdp.ConsumeIntInRange(1, 3))]
            items = [serialised(fdp, pool) if e is None else e.sketch for e in entries]
            tainted = any(e is not None and e.tainted for e in entries)
            made = Sketch(vantorelle.merge_all(items), tainted)
        elif operation == 10:
            vantorelle.add_all(target.sketch, column(fdp))
        elif operation == 11:
            p, sp = PRECISIONS[fdp.ConsumeIntInRange(0, len(PRECISIONS) - 1)]
            made = Sketch(vantorelle.sketch(column(fdp), None, p, sp), False)
        else:
            vantorelle.count_distinct(column(fdp))
    except ALLOWED:
        return None
    except vantorelle.InternalError as failure:
        if may_fail_internally:
            return None
        raise Finding(f"InternalError from operation {operation}: {failure}") from failure
    except Exception as failure:
        raise Finding(f"operation {operation} raised {type(failure).__name__}: {failure}") from failure
    return made


def _passes(data):
    try:
        vantorelle.validate(data)
        return True
    except ValueError:
        return False


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    pool = [Sketch(HLL(int, 10, 15), False), Sketch(HLL(str, 11, 16), False)]
    for _ in range(fdp.ConsumeIntInRange(1, 24)):
        target = pool[fdp.ConsumeIntInRange(0, len(pool) - 1)]
        made = call(fdp, pool, target)
        if made is not None and len(pool) < 8:
            pool.append(made)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
