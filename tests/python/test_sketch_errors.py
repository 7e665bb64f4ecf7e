"""vantorelle's errors: the class each function raises (a SketchError that is
also the built-in it always was), the messages of refused columns, and
copies that keep a text-or-bytes sketch's narrowing."""

import copy
import pickle
import random

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import vantorelle
import vantorelle_py
from support import HLL
from vantorelle import (
    CorruptSketchError,
    IncompatibleSketchError,
    InvalidInputError,
    RefusedValueError,
    SketchError,
)
from vantorelle._internal import _CORRUPT


def _invalid_utf8():
    offsets = pa.py_buffer(np.array([0, 1], dtype=np.int32).tobytes())
    return pa.Array.from_buffers(pa.string(), 1, [None, offsets, pa.py_buffer(b"\xff")])


def _corrupt_pickle():
    sketch = HLL(int)
    sketch.add(1)
    data = sketch.to_bytes()
    return pickle.dumps(sketch).replace(data, b"\x01" * len(data))


def _mixed(ty):
    left, right = HLL(int), HLL(ty)
    left.add(1)
    right.add("a" if ty is str else 1)
    return [left, right]


def _dask(series, *args):
    def call():
        dd = pytest.importorskip("dask.dataframe")
        import vantorelle.dask as vd

        return vd.approx_distinct(dd.from_pandas(series, npartitions=2), *args).compute()

    return call


CALLS = [
    (lambda: vantorelle.sketch([1, 2**64]), RefusedValueError, TypeError),
    (lambda: vantorelle.sketch(pa.array([1.5])), RefusedValueError, TypeError),
    (lambda: vantorelle.sketch(pa.table({"a": [1], "b": [2]})), RefusedValueError, TypeError),
    (lambda: vantorelle.add_all(HLL(int), ["a"]), RefusedValueError, TypeError),
    (lambda: vantorelle.count_distinct(pd.Series([b"a", "a"], dtype=object)),
     RefusedValueError, TypeError),
    (lambda: vantorelle.sketch([1], normal_precision=3), InvalidInputError, ValueError),
    (lambda: vantorelle.sketch([1], float), InvalidInputError, ValueError),
    (lambda: vantorelle.sketch(iter(())), InvalidInputError, ValueError),
    (lambda: vantorelle.sketch(np.zeros((2, 2), dtype=np.int64)), InvalidInputError, ValueError),
    (lambda: vantorelle.count_distinct(_invalid_utf8()), InvalidInputError, ValueError),
    (lambda: vantorelle.merge_all([]), InvalidInputError, ValueError),
    (lambda: vantorelle.from_bytes(b""), CorruptSketchError, ValueError),
    (lambda: vantorelle.from_bytes(b"\x01"), CorruptSketchError, ValueError),
    (lambda: vantorelle.validate(bytearray(b"\x08\x70")), CorruptSketchError, ValueError),
    (lambda: vantorelle.from_bytes("text"), RefusedValueError, TypeError),
    (lambda: vantorelle.merge_all([b"\x01"]), CorruptSketchError, ValueError),
    (lambda: vantorelle.merge_all(_mixed(str)), IncompatibleSketchError, RuntimeError),
    (lambda: vantorelle.add_all(HLL.from_bytes(_CORRUPT), range(2000)),
     CorruptSketchError, ValueError),
    (lambda: pickle.loads(_corrupt_pickle()), CorruptSketchError, ValueError),
    (_dask(pd.Series([1.5, 2.5])), RefusedValueError, TypeError),
    (_dask(pd.Series([1, 2]), 3), InvalidInputError, ValueError),
]


@pytest.mark.parametrize("call, expected, builtin", CALLS)
def test_each_function_raises_a_sketch_error_that_is_its_old_builtin(call, expected, builtin):
    with pytest.raises(SketchError) as caught:
        call()
    error = caught.value
    assert type(error) is expected
    assert isinstance(error, builtin)
    # Errors cross processes with their chains (Dask's workers send them so):
    # every class in the chain is found again by name.
    while error is not None:
        assert pickle.loads(pickle.dumps(type(error))) is type(error)
        error = error.__cause__ or error.__context__


def test_the_classes_and_the_version():
    assert vantorelle.__version__ == vantorelle_py.__version__
    for name in ("CorruptSketchError", "IncompatibleSketchError", "RefusedValueError",
                 "InvalidInputError", "SketchError"):
        assert getattr(vantorelle, name).__module__ == "vantorelle"
        assert name in vantorelle.__all__
    # The class's own exceptions are the built-ins, unchanged.
    with pytest.raises(RuntimeError) as caught:
        HLL.from_bytes(b"")
    assert type(caught.value) is RuntimeError


@pytest.mark.parametrize("seed", range(4))
def test_out_of_range_integers_read_alike_from_every_kind_of_column(seed):
    rng = random.Random(seed)
    value = rng.randrange(2**63, 2**64)
    position = rng.randrange(5)
    values = [rng.randrange(2**63) for _ in range(5)]
    values[position] = value
    messages = set()
    for column in (values, np.array(values, dtype=np.uint64), [np.uint64(value) for value in values],
                   pa.array(values, pa.uint64()), pa.chunked_array([values[:2], values[2:]], pa.uint64())):
        with pytest.raises(RefusedValueError) as caught:
            vantorelle.sketch(column)
        messages.add(str(caught.value))
    assert messages == {
        f"value at position {position}: Unsupported type for HyperLogLogPlusPlus: the integer "
        f"{value} is outside the signed 64-bit range (-2**63 to 2**63 - 1) that sketches count"
    }


def test_a_column_without_values_needs_ty_unless_its_type_tells():
    import polars as pl

    untyped = [pa.nulls(3), pd.Series([None, None, None], dtype=object), pl.Series([None, None, None])]
    for column in untyped:
        with pytest.raises(InvalidInputError, match="cannot infer the value type"):
            vantorelle.sketch(column)
        assert vantorelle.sketch(column, str).to_bytes() == vantorelle.sketch([], str).to_bytes()
        table = pa.table({"k": [1, 1, 2], "u": pa.array(column, from_pandas=True)})
        for grouped in (vantorelle.sketch_by, vantorelle.count_by):
            with pytest.raises(InvalidInputError, match="column 'u' has no values"):
                grouped(table, "k", "u")
    # An Arrow type says what its nulls would have been.
    typed = pa.array([None, None], pa.string())
    assert vantorelle.sketch(typed).to_bytes() == vantorelle.sketch([], str).to_bytes()


@pytest.mark.parametrize("call", [
    vantorelle.validate, vantorelle.from_bytes, vantorelle.estimate,
    lambda data: vantorelle.bounds(data, 0.9), lambda data: vantorelle.estimates([data]),
    lambda data: vantorelle.merge_by(pa.table({"k": [1], "sketch": pa.array([data])}), "k"),
])
def test_empty_bytes_are_called_empty(call):
    with pytest.raises(CorruptSketchError, match=r"is empty \(0 bytes\)"):
        call(b"")


def test_a_sketch_cut_short_anywhere_is_refused():
    # (a truncated file or column value: what is left must not read as a smaller sketch)
    for sketch in (vantorelle.sketch([], int), vantorelle.sketch(range(5)), vantorelle.sketch(range(100_000)),
                   vantorelle.sketch(["a", "b"], str, 12, 0), vantorelle.sketch(range(3000), int, 10, 25)):
        data = sketch.to_bytes()
        for cut in range(len(data)):
            with pytest.raises(CorruptSketchError):
                vantorelle.validate(data[:cut])


class _ForeignBatch:
    """A record batch as another library may export it: a struct array,
    with a validity bitmap of its own."""

    def __init__(self, array):
        self.array = array

    def __arrow_c_array__(self, requested_schema=None):
        return self.array.__arrow_c_array__(requested_schema)


@pytest.mark.parametrize("seed", range(6))
def test_a_one_column_table_counts_as_its_column(seed):
    rng = random.Random(seed)
    kind = rng.choice([pa.int32(), pa.string(), pa.binary(), pa.uint8()])
    make = {"int32": lambda: rng.randrange(-99, 99), "uint8": lambda: rng.randrange(256),
            "string": lambda: f"v{rng.randrange(50)}", "binary": lambda: b"%d" % rng.randrange(50)}
    rows = [None if rng.random() < 0.2 else make[str(kind)]() for _ in range(rng.randrange(1, 60))]
    column = pa.array(rows, kind)
    table = pa.table({"c": column})
    start = rng.randrange(len(rows))
    expected = vantorelle.count_distinct(column.slice(start))
    batches = table.slice(start).to_batches(max_chunksize=7)
    for form in (table.slice(start), pa.RecordBatchReader.from_batches(table.schema, batches),
                 _ForeignBatch(pa.StructArray.from_arrays([column], ["c"]).slice(start))):
        assert vantorelle.count_distinct(form) == expected
    assert vantorelle.sketch(table).to_bytes() == vantorelle.sketch(column).to_bytes()
    mask = [False] * len(rows)
    with_validity = _ForeignBatch(pa.StructArray.from_arrays([column], ["c"], mask=pa.array(mask)))
    assert vantorelle.count_distinct(with_validity) == vantorelle.count_distinct(column)
    mask[-1] = True
    with_null_row = _ForeignBatch(pa.StructArray.from_arrays([column], ["c"], mask=pa.array(mask)))
    with pytest.raises(InvalidInputError, match=rf"null rows \(row {len(rows) - 1}\)"):
        vantorelle.sketch(with_null_row)


def _one_by_one(items, ty):
    """The model: add of each present item to a sketch of `ty` (None: of the
    first item's); the refusal and its position, or the sketch."""
    present = [(i, item) for i, item in enumerate(items) if not pd.isna(item)]
    first = present[0][1]
    sketch = HLL(ty or (int if isinstance(first, int) else str))
    for i, item in present:
        try:
            sketch.add(item)
        except TypeError as error:
            return f"value at position {i}: {error}"
    return sketch.to_bytes()


@pytest.mark.parametrize("ty", [None, int])
@pytest.mark.parametrize("items", [
    [b"a", "a"], ["x", None, b"x"], [None, 1, "1"], [None, "a", 1], [True, 1, None, 2],
    [bytearray(b"q"), b"q"], [1.5, "a"], ["b", float("nan"), "b", b"c"],
])
def test_a_pandas_object_column_counts_as_add_would(items, ty):
    expected = _one_by_one(items, ty)
    try:
        got = vantorelle.sketch(pd.Series(items, dtype=object), ty).to_bytes()
    except RefusedValueError as error:
        got = str(error)
    assert got == expected


def _narrowed(kind, n):
    sketch = HLL(str, 12, random.Random(n).choice([None, 12, 20]))
    for i in range(n):
        sketch.add(f"v{i}" if kind is str else b"v%d" % i)
    return sketch


@pytest.mark.parametrize("n", [1, 40, 5000])
@pytest.mark.parametrize("kind", [str, bytes])
def test_copies_keep_the_kind_a_sketch_narrowed_to(kind, n):
    original = _narrowed(kind, n)
    other = b"z" if kind is str else "z"
    shared = copy.deepcopy([original, original])
    assert shared[0] is shared[1]
    for made in (copy.copy(original), copy.deepcopy(original), shared[0]):
        assert made is not original
        assert made.to_bytes() == original.to_bytes()
        assert made.num_values() == original.num_values()
        with pytest.raises(TypeError, match="Unable to add type"):
            made.add(other)
    # A pickle carries the bytes only: the rebuilt sketch takes either kind
    # until its next add, as any sketch loaded from bytes does.
    rebuilt = pickle.loads(pickle.dumps(original))
    assert rebuilt.to_bytes() == original.to_bytes()
    rebuilt.add(other)
    # A sketch that never narrowed stays open in its copies.
    loaded = HLL.from_bytes(original.to_bytes())
    copy.deepcopy(loaded).add(other)


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, MemoryError])
def test_an_interrupted_conversion_is_not_a_refused_value(interrupt):
    # A Ctrl-C (or an allocation failure) while a value's __index__ runs
    # reaches the caller as it is, and the sketch keeps what it had.
    class Slow:
        def __index__(self):
            raise interrupt()

    sketch = vantorelle.sketch([1, 2], int)
    before = sketch.to_bytes()
    with pytest.raises(interrupt):
        sketch.add(Slow())
    with pytest.raises(interrupt):
        vantorelle.add_all(sketch, [3, Slow(), 4])
    with pytest.raises(interrupt):
        vantorelle.sketch([Slow()])
    assert sketch.to_bytes() == before
    # A value whose conversion fails otherwise is refused as before.
    with pytest.raises(TypeError, match="Unsupported type"):
        sketch.add(object())
