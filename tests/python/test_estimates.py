"""vantorelle._native.estimates against HyperLogLogPlusPlus.from_bytes(b).result()
over random columns of sketches, every input kind, and corrupt rows."""

import array
import random

import pytest

import vantorelle
from vantorelle import _native
from support import HLL, state_message

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")


def as_ints(raw) -> list[int]:
    values = array.array("q")
    values.frombytes(raw)
    return values.tolist()


def expected(column) -> list[int]:
    return [0 if b is None else HLL.from_bytes(b).result() for b in column]


def random_sketch(rng: random.Random, np_rng) -> bytes:
    """Sparse or normal, built from values or written register by register
    (every legal register value, any spread), at any precision."""
    p = rng.choice([10, 11, 12, 14, 15, 16, 18, rng.randint(10, 20)])
    kind = rng.randrange(4)
    if kind == 0:  # registers of any legal values
        top = 65 - p
        low = rng.randint(0, top)
        registers = np_rng.integers(low, top + 1, size=1 << p, dtype=np.uint8)
        return state_message(precision=p, sparse_precision=None, data=registers.tobytes())
    sp = rng.choice([None, min(25, p + rng.randint(0, 5))])
    n = int(rng.choice([0, 1, 0.3, 0.8, 1.5, 4, 40]) * (1 << p))
    if kind == 1:
        return vantorelle.sketch(np_rng.integers(-(2**62), 2**62, size=n), int, p, sp).to_bytes()
    words = [f"w{rng.random()}" for _ in range(min(n, 3000))]
    if kind == 3:
        words = [w.encode() for w in words]
    return vantorelle.sketch(words, str if kind == 2 else bytes, p, sp).to_bytes()


def random_column(seed: int) -> list[bytes | None]:
    rng = random.Random(seed)
    np_rng = np.random.default_rng(seed)
    column = [random_sketch(rng, np_rng) for _ in range(rng.randint(1, 40))]
    for _ in range(rng.randint(0, 5)):
        column.insert(rng.randint(0, len(column)), None)
    return column


def input_kinds(column):
    """The column as every accepted kind of input."""
    yield "list", column
    yield "tuple", tuple(column)
    yield "generator", (b for b in column)
    yield "bytes-like", [None if b is None else (bytearray(b) if i % 2 else memoryview(b))
                         for i, b in enumerate(column)]
    for arrow_type in (pa.binary(), pa.large_binary(), pa.binary_view()):
        yield f"arrow {arrow_type}", pa.array(column, type=arrow_type)
    middle = len(column) // 2
    yield "chunked arrow", pa.chunked_array(
        [pa.array(column[:middle], pa.binary()), pa.array(column[middle:], pa.binary())])
    yield "sliced arrow", pa.array([b"junk", *column, b"junk"], pa.binary())[1:-1]
    pd = pytest.importorskip("pandas")
    yield "pandas", pd.Series(column, dtype=object)
    pl = pytest.importorskip("polars")
    yield "polars", pl.Series(column, dtype=pl.Binary)


@pytest.mark.parametrize("seed", range(12))
def test_estimates_equal_result_of_each_row(seed):
    column = random_column(seed)
    wanted = expected(column)
    for threads in (1, 2):
        for name, values in input_kinds(column):
            assert as_ints(_native.estimates(values, threads=threads)) == wanted, (name, threads)


def test_many_rows_split_across_threads():
    column = random_column(100) * 20
    wanted = expected(column)
    for threads in (1, 2, 3, None):
        assert as_ints(_native.estimates(column, threads)) == wanted


def corruptions():
    """Serialised sketches that the validating door refuses."""
    good = vantorelle.sketch(range(50_000), int, 12, 17).to_bytes()
    sparse = vantorelle.sketch(range(100), int, 12, 17).to_bytes()
    registers = bytearray(1 << 12)
    registers[77] = 65 - 12 + 1
    return [
        good[:-3],                                                  # truncated
        state_message(precision=12, data=bytes(registers)),         # register too high
        state_message(precision=12, data=bytes(100)),               # wrong size
        sparse[:-1] + b"\x80",                                      # varint cut short
        state_message(precision=12, data=bytes(1 << 12), sparse_data=b"\x01"),
        b"\xff\xff\xff",
    ]


@pytest.mark.parametrize("corrupt", corruptions())
def test_a_corrupt_row_is_named_with_the_reason(corrupt):
    with pytest.raises(ValueError) as door:
        vantorelle.validate(corrupt)
    rng = random.Random(len(corrupt))
    column = random_column(7) * 5
    first = rng.randrange(len(column))
    column[first] = corrupt
    column.insert(rng.randrange(first + 1, len(column) + 1), corrupt)  # a later one too
    for values in (column, pa.array(column, pa.binary())):
        for threads in (1, 2):
            with pytest.raises(ValueError) as raised:
                _native.estimates(values, threads=threads)
            assert str(raised.value) == f"row {first}: {door.value}"


@pytest.mark.parametrize(
    "values, error, text",
    [
        (b"\x00", TypeError, "not a single bytes"),
        ("sketch", TypeError, "not a single str"),
        ([b"", "text"], TypeError, "row 1: expected a serialised sketch"),
        ([None, 3], TypeError, "row 1: expected a serialised sketch"),
        ([np.zeros(4, dtype=np.int32)], TypeError, "row 0: a serialised sketch must have one-byte"),
        (pa.array([1, 2]), TypeError, "holds int64 values"),
        (pa.array(["a"]), TypeError, "holds string values"),
        (5, TypeError, "not iterable"),
    ],
)
def test_columns_that_are_not_sketches_are_refused(values, error, text):
    with pytest.raises(error, match=text):
        _native.estimates(values)


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-2, ValueError), (1.5, TypeError),
                                            (True, TypeError), ("2", TypeError)])
def test_thread_counts_are_checked(threads, error):
    with pytest.raises(error, match="threads"):
        _native.estimates([None], threads=threads)


def test_empty_and_all_null_columns():
    assert as_ints(_native.estimates([])) == []
    assert as_ints(_native.estimates(pa.nulls(3))) == [0, 0, 0]
    assert as_ints(_native.estimates(pa.array([None, None], pa.binary()))) == [0, 0]


def test_result_columns_are_arrow_arrays_and_writable_buffers():
    """The native result is read by Arrow in place and by numpy or memoryview
    as a writable buffer of the same int64 values; a column of sketches is
    no such buffer. The pandas result can be written to."""
    column = [vantorelle.sketch(range(n), int).to_bytes() for n in (0, 1, 5, 300)] + [None]
    result = _native.estimates(column)
    view = memoryview(result)
    assert not view.readonly and view.nbytes == 8 * len(column)
    assert pa.array(result).to_pylist() == as_ints(result) == expected(column)
    _, sketches = _native.sketch_by(pa.table({"k": [1], "v": [2]}), ["k"], "v", None, 15, 20, 1)
    with pytest.raises(BufferError):
        memoryview(sketches)
    pd = pytest.importorskip("pandas")
    series = vantorelle.estimates(pd.Series(column, dtype=object))
    series.iloc[1] = -7
    assert series.tolist() == [0, -7, 5, 300, 0]
