"""Column ingestion: vantorelle.sketch / add_all / count_distinct against
one-by-one adds, over every input path."""

import array
import itertools
import signal
import sys
import threading

import pytest

import vantorelle
from support import HLL

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")

# Sizes on both sides of the sparse-to-normal switch at (10, 15), and well
# into the normal form; plus the defaults (15, 20) for a sparse sketch.
PRECISIONS = [(10, 15), (15, 20), (12, None)]
SIZES = [0, 1, 2, 300, 700, 1500, 20_000]


def one_by_one(values, ty, p, sp):
    sketch = HLL(ty, p, sp)
    for value in values:
        if value is not None:
            sketch.add(value)
    return sketch


def random_ints(n, seed=1, low=-(2**62), high=2**62):
    return np.random.default_rng(seed).integers(low, high, size=n, dtype=np.int64)


@pytest.mark.parametrize("p, sp", PRECISIONS)
@pytest.mark.parametrize("n", SIZES)
def test_every_path_matches_one_by_one_adds(n, p, sp):
    ints = random_ints(n)
    # Repeats, so that duplicates and distinct values both occur.
    words = [f"user-{i % max(1, n // 2)}" for i in range(n)]
    blobs = [w.encode() + b"\xff" for w in words]
    expected_int = one_by_one(ints.tolist(), int, p, sp).to_bytes()
    expected_str = one_by_one(words, str, p, sp).to_bytes()
    expected_bytes = one_by_one(blobs, bytes, p, sp).to_bytes()
    cases = [
        (ints, int, expected_int),
        (ints.tolist(), int, expected_int),
        (pa.array(ints), int, expected_int),
        (pa.chunked_array([ints[: n // 3], ints[n // 3 :]], type=pa.int64()), int, expected_int),
        (words, str, expected_str),
        (pa.array(words, pa.string()), str, expected_str),
        (pa.array(words, pa.large_string()), str, expected_str),
        (pa.array(words, pa.string()).dictionary_encode(), str, expected_str),
        (blobs, bytes, expected_bytes),
        (pa.array(blobs, pa.binary()), bytes, expected_bytes),
        (pa.array(blobs, pa.large_binary()), bytes, expected_bytes),
    ]
    if hasattr(pa, "string_view"):
        cases.append((pa.array(words, pa.string_view()), str, expected_str))
        cases.append((pa.array(blobs, pa.binary_view()), bytes, expected_bytes))
    for values, ty, expected in cases:
        made = vantorelle.sketch(values, ty, p, sp)
        assert made.to_bytes() == expected, type(values)
        if n:
            # The type is inferred from the column as well.
            assert vantorelle.sketch(values, None, p, sp).to_bytes() == expected, type(values)


def test_a_column_sparse_at_its_end_whose_values_after_the_first_alone_go_normal():
    # (p = sp: the values after the first, sketched alone, flush at other
    # points and pass the sparse budget; the whole column stays within it)
    values = np.random.default_rng(18).integers(0, 2**62, size=1 << 13)[:3231]
    split = np.concatenate([values, np.full(1 << 17, values[-1])])  # (long enough for the threads' path)
    for column in (values, split):
        expected = one_by_one(column.tolist(), int, 12, 12).to_bytes()
        for made in (vantorelle.sketch(column, int, 12, 12), vantorelle.sketch(pa.array(column), None, 12, 12,
                                                                             threads=2)):
            assert made.to_bytes() == expected


@pytest.mark.parametrize(
    "dtype", ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "bool",
              ">i4", ">u8", "<i2"]
)
def test_numpy_dtypes_hash_as_python_ints(dtype):
    info = np.iinfo(dtype) if dtype != "bool" else None
    if info is None:
        values = np.array([True, False, True, True])
    else:
        low = max(info.min, -(2**63))
        high = min(info.max, 2**63 - 1)
        values = np.array([low, high, 0, 1, low + 1, high - 1, 7] * 3, dtype=dtype)
    expected = one_by_one([int(v) for v in values], int, 15, 20).to_bytes()
    assert vantorelle.sketch(values).to_bytes() == expected
    # A strided, non-contiguous view of the same column.
    doubled = np.repeat(values, 2)[::2]
    assert not doubled.flags.c_contiguous
    assert vantorelle.sketch(doubled).to_bytes() == expected
    assert vantorelle.sketch(doubled[::-1]).to_bytes() == one_by_one(
        [int(v) for v in values[::-1]], int, 15, 20
    ).to_bytes()


def test_other_buffer_exporters():
    values = [5, -3, 2**31 - 1, -(2**31)]
    expected = one_by_one(values, int, 15, 20).to_bytes()
    assert vantorelle.sketch(array.array("l", values)).to_bytes() == expected
    assert vantorelle.sketch(memoryview(array.array("q", values))).to_bytes() == expected
    column = np.array([[v, 0] for v in values], dtype=np.int64)[:, 0]  # a column of a 2-D array
    assert vantorelle.sketch(column).to_bytes() == expected
    assert vantorelle.sketch(bytearray(b"\x01\x02")).to_bytes() == one_by_one([1, 2], int, 15, 20).to_bytes()


def test_arrow_nulls_offsets_and_dictionaries():
    words = ["a", None, "b", "a", None, "c", "d"]
    expected = one_by_one(words[2:6], str, 15, 20)
    sliced = pa.array(words)[2:6]
    made = vantorelle.sketch(sliced)
    assert made.to_bytes() == expected.to_bytes()
    assert made.num_values() == 3  # the null is skipped, not counted
    dictionary = pa.DictionaryArray.from_arrays(
        pa.array([0, None, 2, 1, 2], pa.int8()), pa.array(["x", "y", None])
    )
    # Row 1 is null, and so are rows 2 and 4, whose entry is null.
    assert vantorelle.sketch(dictionary).to_bytes() == one_by_one(["x", "y"], str, 15, 20).to_bytes()
    ints = pa.array([1, None, 3, 2**63 - 1], pa.uint64())
    assert vantorelle.sketch(ints).to_bytes() == one_by_one([1, 3, 2**63 - 1], int, 15, 20).to_bytes()
    bools = pa.array([True, None, False])
    assert vantorelle.sketch(bools).to_bytes() == one_by_one([1, 0], int, 15, 20).to_bytes()
    # A column of nulls only adds nothing, and still has a type.
    assert vantorelle.sketch(pa.array([None, None], pa.string())).num_values() == 0
    chunks = pa.chunked_array([pa.array([], pa.int64()), pa.array([None, 4]), pa.array([5])])
    assert vantorelle.sketch(chunks).to_bytes() == one_by_one([4, 5], int, 15, 20).to_bytes()


def test_dataframe_libraries_reach_the_arrow_path():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    words = ["a", "b", None, "a"]
    expected = one_by_one(words, str, 15, 20).to_bytes()
    assert vantorelle.sketch(pl.Series(words)).to_bytes() == expected
    assert vantorelle.sketch(pd.Series(words, dtype="string[pyarrow]")).to_bytes() == expected
    ints = [3, 1, 4, 1, 5]
    expected_ints = one_by_one(ints, int, 15, 20).to_bytes()
    assert vantorelle.sketch(pd.Series(ints)).to_bytes() == expected_ints
    assert vantorelle.sketch(pl.Series(ints)).to_bytes() == expected_ints
    assert vantorelle.sketch(pd.Series(ints).to_numpy()).to_bytes() == expected_ints


UNSUPPORTED = "Unsupported type for HyperLogLogPlusPlus"


def out_of_range(value):
    return (
        f"{UNSUPPORTED}: the integer {value} is outside the signed 64-bit range "
        "(-2**63 to 2**63 - 1) that sketches count"
    )


@pytest.mark.parametrize(
    "sketch_type, values, position, message",
    [
        (int, [1, 2, 3.5], 2, "Unsupported type for HyperLogLogPlusPlus"),
        (int, [1, None], 1, "Unsupported type for HyperLogLogPlusPlus"),
        (int, [0, 2**63], 1, out_of_range(2**63)),
        (int, [-(2**63) - 1], 0, out_of_range(-(2**63) - 1)),
        (int, ["a"], 0, "Unable to add type STRING to aggregator of type {LONG}"),
        (str, ["a", b"b"], 1, "Unable to add type BYTES to aggregator of type {STRING}"),
        (str, [b"a", "b"], 0, "Unable to add type BYTES to aggregator of type {STRING}"),
        (str, ["a", "ab\udc80"], 1,
         f"{UNSUPPORTED}: the text has a lone surrogate (U+DC80 at index 2) and so no UTF-8 "
         "form; decode such text with errors='replace' or count it as bytes"),
        (int, np.array([1, 2**63 + 5, 3], dtype=np.uint64), 1, out_of_range(2**63 + 5)),
        (int, np.array([2**64 - 1], dtype=">u8"), 0, out_of_range(2**64 - 1)),
        (int, np.array([1.0, 2.0]), 0, "Unsupported type for HyperLogLogPlusPlus"),
        (int, np.array([1 + 2j]), 0, "Unsupported type for HyperLogLogPlusPlus"),
        (int, np.array(["2020-01-01"], dtype="datetime64[D]"), 0,
         "Unsupported type for HyperLogLogPlusPlus"),
        (int, pa.array([None, 2**64 - 1], pa.uint64()), 1, out_of_range(2**64 - 1)),
        (int, pa.array([3, 2**63], pa.uint64()).dictionary_encode(), 1, out_of_range(2**63)),
        (str, pa.chunked_array([["a"], [None, "b"]]), 0, None),
        # the sketch refuses the first value before the column refuses a later one
        (int, ["a", 1], 0, "Unable to add type STRING to aggregator of type {LONG}"),
        (str, np.array([1, 2**64 - 1], dtype=np.uint64), 0,
         "Unable to add type LONG to aggregator of type {STRING}"),
    ],
)
def test_refusals_name_the_position_and_change_nothing(sketch_type, values, position, message):
    target = HLL(sketch_type, 15, 20)
    target.add(7 if sketch_type is int else "seed")
    before = target.to_bytes()
    if message is None:  # a valid column, for contrast
        vantorelle.add_all(target, values)
        assert target.num_values() == 3
        return
    with pytest.raises(TypeError) as caught:
        vantorelle.add_all(target, values)
    assert str(caught.value) == f"value at position {position}: {message}"
    assert target.to_bytes() == before
    assert target.num_values() == 1


def test_text_or_bytes_sketch_keeps_to_the_kind_it_saw():
    target = HLL(bytes)
    vantorelle.add_all(target, ["x", "y"])
    # Narrowed to text by the column, as by one-by-one adds.
    with pytest.raises(TypeError, match="Unable to add type BYTES"):
        target.add(b"z")
    with pytest.raises(TypeError, match="value at position 0: Unable to add type BYTES"):
        vantorelle.add_all(target, pa.array([b"z"]))
    assert target.num_values() == 2


def test_add_all_equals_merge_of_a_column_sketch():
    target = HLL(int, 12, 17)
    vantorelle.add_all(target, range(500))
    values = random_ints(3000, seed=4)
    expected = HLL.from_bytes(target.to_bytes())
    expected.merge(vantorelle.sketch(values, int, 12, 17))
    vantorelle.add_all(target, values)
    assert target.to_bytes() == expected.to_bytes()
    assert target.num_values() == 3500


def test_generators_and_mutating_conversions():
    assert vantorelle.sketch(x for x in [1, 2, 2]).num_values() == 3
    with pytest.raises(ValueError, match="pass ty="):
        vantorelle.sketch(iter(()))
    assert vantorelle.count_distinct([]) == 0
    assert vantorelle.sketch([], int).num_values() == 0

    column = [1, 2, 3]

    class Shrinking:
        def __index__(self):
            column.clear()  # runs inside the conversion
            return 9

    column.insert(1, Shrinking())
    made = vantorelle.sketch(column, int)
    assert made.to_bytes() == one_by_one([1, 9], int, 15, 20).to_bytes()

    def refilled():  # (one buffer, refilled for every record and cleared at the end)
        buffer = bytearray()
        for record in (b"alpha", b"beta", b"gamma"):
            buffer[:] = record
            yield buffer
        buffer.clear()

    # The first value counts as it was read, once.
    made = vantorelle.sketch(refilled(), bytes)
    assert made.to_bytes() == one_by_one([b"alpha", b"beta", b"gamma"], bytes, 15, 20).to_bytes()

    def failing():
        yield 1
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        vantorelle.sketch(failing(), int)

    def mistaken():
        yield 1
        len(5)

    # A TypeError of the caller's iterable is refused as a value's would be,
    # with the original as its cause.
    with pytest.raises(TypeError, match="has no len") as caught:
        vantorelle.sketch(mistaken())
    assert type(caught.value.__cause__) is TypeError


def test_a_signal_handler_stops_a_column_iterated_in_c():
    # Nothing of Python runs while C iterates a column, so Ctrl-C would wait
    # for its end: handlers run as it goes.
    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop

    count = 2 * 10**8
    items = itertools.islice(itertools.count(), count)
    previous = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Stop):
            vantorelle.sketch(items)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # (the iterator read part way, not to its end)
    assert next(items) < count - 1


@pytest.mark.parametrize(
    "values, error, text",
    [
        ("abc", TypeError, "not a single str"),
        (b"abc", TypeError, "not a single bytes"),
        (np.zeros((2, 2), dtype=np.int64), ValueError, "one-dimensional"),
        (pa.table({"a": [1], "b": [2]}), TypeError, "got a table of 2 columns"),
        # a table of one column is that column, whose type is named
        (pa.table({"a": [{"x": 1, "y": 2}]}), TypeError,
         "^Unsupported type.*: cannot count an Arrow column of struct values"),
        (pa.DictionaryArray.from_arrays(pa.array([0], pa.int8()), pa.array([{"x": 1}])), TypeError,
         r"column of dictionary<struct> values"),
        # a column of structs is not a table, though Arrow exports both alike
        (pa.array([{"x": 1}]), TypeError, "column of struct values"),
        (pa.chunked_array([pa.array([{"x": 1, "y": 2}])]), TypeError, "column of struct values"),
        (pa.array([1.5]), TypeError, "column of float64 values.*astype\\('Int64'\\)"),
        (pa.array([0], pa.timestamp("us")), TypeError, r"column of timestamp\[us\] values"),
        (pa.array([0], pa.date32()), TypeError, "column of date32 values"),
        (pa.array([[1]]), TypeError, "column of list values"),
        (pa.array([None], pa.month_day_nano_interval()), TypeError, "column of month-day-nano interval values"),
        (5, TypeError, "not iterable"),
    ],
)
def test_whole_column_refusals(values, error, text):
    with pytest.raises(error, match=text):
        vantorelle.sketch(values, int)


def test_precisions_are_checked_by_the_class_rules():
    with pytest.raises(ValueError, match="Expected normal precision"):
        vantorelle.sketch([1], None, 5)
    with pytest.raises(TypeError, match="argument 'normal_precision'"):
        vantorelle.count_distinct([1], "x")
    made = vantorelle.sketch([1, 2], None, 14, None)
    assert (made.normal_precision, made.sparse_precision) == (14, 0)


def test_count_distinct_is_close_to_exact():
    values = random_ints(200_000, seed=9, low=0, high=50_000)
    exact = len(np.unique(values))
    assert abs(vantorelle.count_distinct(values) - exact) < 0.03 * exact


def test_threads_build_sketches_of_chunks_in_parallel():
    values = random_ints(400_000, seed=3)
    expected = vantorelle.sketch(values).to_bytes()
    parts = [None] * 4
    threads = [
        threading.Thread(target=lambda i=i: parts.__setitem__(i, vantorelle.sketch(values[i::4])))
        for i in range(4)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert vantorelle.merge_all(parts).to_bytes() == expected


def test_no_reference_leaks_on_refusal_paths():
    values = [1, 2, "x"]
    vantorelle.sketch([1], int)
    before = sys.getrefcount(values[2])
    for _ in range(100):
        with pytest.raises(TypeError):
            vantorelle.sketch(values, int)
    assert sys.getrefcount(values[2]) == before
