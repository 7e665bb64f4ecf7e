"""Each rule about input has one behaviour through every door: the same
mistake raises the same SketchError subclass (and text) whether it reaches
`sketch`, `sketch_by`, `merge_by`, `estimates` or `vantorelle.dask`, and a
column is read the same way by all of them."""

import inspect
import random
import re

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import vantorelle
import vantorelle.dask as vd
from vantorelle import (
    CorruptSketchError,
    IncompatibleSketchError,
    InvalidInputError,
    RefusedValueError,
    SketchError,
    _native,
)

TABLE = pa.table({"k": [1, 1, 2], "v": [1, 2, 3]})
GOOD = vantorelle.sketch([1, 2]).to_bytes()
STORED = pa.table({"k": [1, 2], "s": pa.array([GOOD, GOOD], pa.binary())})


def _sync(value):
    return dask.compute(value, scheduler="sync")[0]


def _dask_frame(frame):
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_pandas(frame, npartitions=2, sort=False)


def _dask_sketch(**options):
    return lambda: _sync(vd.sketch(_dask_frame(TABLE.to_pandas()).v, **options))


def _dask_aggregation(**options):
    return lambda: _sync(
        _dask_frame(TABLE.to_pandas()).groupby("k").v.agg(vd.sketch_aggregation(**options))
    )


def _doors_with(**options):
    """Every door that takes these options, as calls over good input."""
    doors = {
        "sketch": lambda: vantorelle.sketch([1, 2], **options),
        "sketch_by": lambda: vantorelle.sketch_by(TABLE, "k", "v", **options),
    }
    if set(options) <= {"threads"}:
        doors.update({
            "count_distinct": lambda: vantorelle.count_distinct([1], **options),
            "add_all": lambda: vantorelle.add_all(vantorelle.sketch([1]), [2], **options),
            "merge_by": lambda: vantorelle.merge_by(STORED, "k", "s", **options),
            "estimates": lambda: vantorelle.estimates([GOOD], **options),
        })
    else:
        doors.update({"dask.sketch": _dask_sketch(**options),
                      "dask.sketch_aggregation": _dask_aggregation(**options)})
    return doors


@pytest.mark.parametrize("options, expected, text", [
    ({"threads": "2"}, RefusedValueError, "threads must be an int or None, not str"),
    ({"threads": True}, RefusedValueError, "threads must be an int or None, not bool"),
    ({"threads": 0}, InvalidInputError, "threads must be at least 1, not 0"),
    ({"ty": float}, InvalidInputError, "Unsupported type for HyperLogLogPlusPlus. Use"),
    ({"ty": 5}, RefusedValueError, "argument 'ty': 'int' object cannot be converted"),
    ({"normal_precision": 3}, InvalidInputError, "Invalid argument"),
    ({"normal_precision": "15"}, RefusedValueError, "argument 'normal_precision'"),
    ({"sparse_precision": 9}, InvalidInputError, "Invalid argument"),
    ({"normal_precision": 2**40}, InvalidInputError, "normal precision to fit 32 bits but was 1099511627776"),
    ({"sparse_precision": -2**31 - 1}, InvalidInputError, "sparse precision to fit 32 bits but was -2147483649"),
])
def test_an_argument_mistake_raises_one_class_with_one_text_through_every_door(
        options, expected, text):
    for door, call in _doors_with(**options).items():
        with pytest.raises(SketchError) as caught:
            call()
        assert type(caught.value) is expected, door
        assert text in str(caught.value), (door, str(caught.value))


def test_a_thread_count_past_any_machine_and_a_numpy_confidence_are_taken():
    for door, call in _doors_with(threads=2**63).items():
        call()  # (no OverflowError from converting the count)
    assert vantorelle.bounds(GOOD, np.float32(0.9)) == vantorelle.bounds(GOOD, 0.9)
    with pytest.raises(RefusedValueError, match="confidence must be a number"):
        vantorelle.bounds(GOOD, "0.9")


def _type_word(message):
    found = re.search(r"(?:column of|holds) (.+?) values", message)
    assert found, message
    return found.group(1)


@pytest.mark.parametrize("arrow_type", [
    pa.float64(), pa.float32(), pa.timestamp("us"), pa.timestamp("s", tz="Europe/Oslo"), pa.date32(),
    pa.time64("ns"), pa.decimal128(5, 2), pa.decimal256(40, 0), pa.list_(pa.int64()), pa.duration("ms"),
    pa.dictionary(pa.int8(), pa.float64()),
])
def test_a_column_of_a_type_that_does_not_count_is_refused_alike_and_named_alike(arrow_type):
    column = pa.array([None, None], arrow_type)
    table = pa.table({"k": [1, 2], "v": column})
    words = set()
    calls = [lambda: vantorelle.sketch(column), lambda: vantorelle.sketch_by(table, "k", "v"),
             lambda: vantorelle.merge_by(table, "k", "v"), lambda: vantorelle.estimates(column)]
    if not pa.types.is_list(arrow_type):
        frame = table.to_pandas(types_mapper=pd.ArrowDtype)
        calls.append(lambda: vd.approx_distinct(_dask_frame(frame).v))
        calls.append(lambda: _dask_frame(frame).groupby("k").v.agg(vd.merge_aggregation()).compute(
            scheduler="sync"))
    for call in calls:
        with pytest.raises(RefusedValueError) as caught:
            call()
        words.add(_type_word(str(caught.value)))
    # One spelling of the type in every message (its zone too).
    assert len(words) == 1, words
    if pa.types.is_timestamp(arrow_type) or pa.types.is_decimal(arrow_type):
        assert words == {str(arrow_type)}


@pytest.mark.parametrize("column, text", [
    (pa.array([1, 2]), "the column holds int64 values, which are not serialised sketches"),
    (pa.array(["a"]), "the column holds string values, which are not serialised sketches"),
    (pa.array(["a"], pa.large_string()),
     "the column holds large_string values, which are not serialised sketches"),
])
def test_a_column_without_sketches_is_refused_by_one_check(column, text):
    with pytest.raises(RefusedValueError, match=text):
        vantorelle.estimates(column)
    with pytest.raises(RefusedValueError, match=text):
        vantorelle.estimates(column.to_pandas(types_mapper=pd.ArrowDtype))
    table = pa.table({"k": [0] * len(column), "s": column})
    with pytest.raises(RefusedValueError, match=text.replace("the column", "column 's'")):
        vantorelle.merge_by(table, "k", "s")
    frame = table.to_pandas(types_mapper=pd.ArrowDtype)
    with pytest.raises(RefusedValueError, match=text.replace("the column", "column 's'")):
        _sync(_dask_frame(frame).groupby("k").s.agg(vd.merge_aggregation()))
    with pytest.raises(RefusedValueError, match=text.split(" holds")[1]):
        vd.estimate(frame.s)


def test_a_bad_stored_sketch_is_the_same_class_through_every_door():
    corrupt = GOOD[:-2]
    text_sketch = vantorelle.sketch(["a"]).to_bytes()
    for bad, expected in ((corrupt, CorruptSketchError), (text_sketch, IncompatibleSketchError)):
        stored = pa.table({"k": [1, 1], "s": pa.array([GOOD, bad], pa.binary())})
        calls = [lambda: vantorelle.merge_all([GOOD, bad]),
                 lambda: vantorelle.merge_by(stored, "k", "s"),
                 lambda: _sync(_dask_frame(stored.to_pandas(types_mapper=pd.ArrowDtype))
                               .groupby("k").s.agg(vd.merge_aggregation()))]
        if expected is CorruptSketchError:
            calls += [lambda: vantorelle.from_bytes(bad), lambda: vantorelle.estimates([bad]),
                      lambda: vantorelle.estimate(bad)]
        for call in calls:
            with pytest.raises(SketchError) as caught:
                call()
            assert type(caught.value) is expected


@pytest.mark.parametrize("call, expected", [
    (lambda: vantorelle.sketch_by({"k": [1]}, "k", "v"), RefusedValueError),
    (lambda: vantorelle.sketch_by(TABLE, None, "v"), RefusedValueError),
    (lambda: vantorelle.merge_by(TABLE, 3, "v"), RefusedValueError),
    (lambda: vantorelle.sketch_by(TABLE, "k", 5), RefusedValueError),
    (lambda: vantorelle.estimates(pd.DataFrame({"s": []})), RefusedValueError),
    (lambda: vantorelle.estimates(5), RefusedValueError),
    (lambda: vantorelle.estimates([GOOD], method="hip"), InvalidInputError),
    (lambda: vantorelle.estimate(GOOD, method="hip"), InvalidInputError),
    (lambda: vantorelle.add_all("not a sketch", [1]), RefusedValueError),
    (lambda: vd.sketch(pd.Series([1])), RefusedValueError),
    (lambda: vd.estimate([GOOD]), RefusedValueError),
    (lambda: vantorelle.sketch_by(pd.DataFrame({"k": pd.Series([1, "a"], dtype=object),
                                                "v": [1, 2]}), "k", "v"), SketchError),
    (lambda: vantorelle.merge_all(None), RefusedValueError),
    (lambda: vantorelle.merge_all(GOOD), RefusedValueError),
    (lambda: vantorelle.sketch(pl.DataFrame({"v": [1]}).lazy()), RefusedValueError),
    # Columns that pyarrow cannot export: the package's error, not pyarrow's.
    (lambda: vantorelle.sketch(pd.Series([1j, 2j])), RefusedValueError),
    (lambda: vantorelle.count_distinct(pd.Series(pd.arrays.SparseArray([0, 1]))), RefusedValueError),
    (lambda: vantorelle.estimates(pd.Series([1j])), RefusedValueError),
    (lambda: vantorelle.count_by(pd.DataFrame({"k": [1, 2], "v": [1j, 2j]}), "k", "v"), RefusedValueError),
])
def test_other_mistakes_are_sketch_errors(call, expected):
    with pytest.raises(expected):
        call()


# Items that an object column may hold, as `add` takes or refuses each.
# (a list of byte values is a byte string to `add`; NaT is missing to pandas)
ITEMS = [0, 1, 2, -7, 2**63 - 1, 2**63, True, False, np.int64(3), "a", "b", "\udc80", b"a",
         bytearray(b"b"), [1, 2], 1.5, None, float("nan"), pd.NA, pd.NaT]


def _missing(item):
    return not isinstance(item, list) and pd.isna(item)


def _outcome(call):
    """The bytes of the sketch a call makes, or the class of its refusal."""
    try:
        return call()
    except SketchError as error:
        return type(error)


@pytest.mark.parametrize("seed", range(40))
def test_an_object_column_is_read_alike_by_sketch_sketch_by_and_dask(seed):
    rng = random.Random(seed)
    # Mostly columns of one kind (which count), sometimes a mix (which may not).
    pool = rng.choice([ITEMS[:9], ITEMS[9:12], ITEMS[12:15], ITEMS])
    items = [rng.choice(pool + [None, pd.NaT]) for _ in range(rng.randrange(1, 12))]
    if all(_missing(item) for item in items):
        items.append(pool[0])
    column = pd.Series(items, dtype=object)
    frame = pd.DataFrame({"k": [0] * len(items), "v": column})

    def by_sketch():
        return vantorelle.sketch(column).to_bytes()

    def by_sketch_by():
        return vantorelle.sketch_by(frame, "k", "v")["sketch"][0]

    def by_dask():
        return _sync(vd.sketch(_dask_frame(frame).v)).to_bytes()

    def by_dask_groups():
        return _sync(_dask_frame(frame).groupby("k").v.agg(vd.sketch_aggregation())).iloc[0]

    outcomes = [_outcome(call) for call in (by_sketch, by_sketch_by, by_dask, by_dask_groups)]
    assert all(outcome == outcomes[0] for outcome in outcomes), (items, outcomes)


def test_a_column_of_the_other_byte_order_is_read_alike_by_sketch_sketch_by_and_dask():
    # (Arrow, which pandas columns pass through, takes no swapped buffers)
    rng = np.random.default_rng(4)
    for dtype in (">i2", ">i4", ">u4", ">i8", ">u8"):
        info = np.iinfo(dtype)
        values = rng.integers(info.min, min(info.max, 2**63 - 1), 200, dtype=np.int64, endpoint=True)
        column = pd.Series(values.astype(dtype))
        expected = vantorelle.sketch([int(value) for value in values]).to_bytes()
        frame = pd.DataFrame({"k": column, "v": column})
        by_key = vantorelle.sketch_by(frame, "k", "v")
        assert vantorelle.sketch(column).to_bytes() == expected, dtype
        assert by_key["k"].tolist() == list(dict.fromkeys(values.tolist())), dtype
        assert _sync(vd.sketch(_dask_frame(frame).v)).to_bytes() == expected, dtype


def test_the_object_columns_the_issue_names():
    ints = pd.Series([1, 2, None, 3], dtype=object)
    mixed = pd.Series([True, 1, None, 2], dtype=object)
    with dask.config.set({"dataframe.convert-string": False}):
        for column, count in ((ints, 3), (mixed, 2)):
            expected = vantorelle.sketch(column)
            got = _sync(vd.sketch(dd.from_pandas(column, npartitions=2)))
            assert got.to_bytes() == expected.to_bytes()
            assert expected.result() == count
    assert vantorelle.sketch(ints).to_bytes() == vantorelle.sketch([1, 2, 3]).to_bytes()
    with pytest.raises(RefusedValueError, match="value at position 1"):
        vantorelle.sketch_by(pd.DataFrame({"k": [0, 0], "v": pd.Series([b"a", "a"], dtype=object)}),
                             "k", "v")


@pytest.mark.parametrize("seed", range(3))
def test_no_plain_type_or_value_error_leaves_the_native_module(seed):
    rng = random.Random(seed)
    junk = [None, 5, -1, 2**70, 1.5, "x", b"\x01", [b"\x01"], [1.5], object(), pa.array([1.5]),
            {"a": 1}, (), iter([None, 3])]
    functions = [getattr(_native, name) for name in dir(_native)
                 if callable(getattr(_native, name)) and not name[0].isupper()
                 and not name.startswith("_")]
    for function in functions:
        try:  # the documented arity: a wrong count is refused by CPython's own call
            parameters = inspect.signature(function).parameters
            counts = [len(parameters)]
        except ValueError:
            counts = list(range(8))
        for _ in range(30):
            arguments = [rng.choice(junk) for _ in range(rng.choice(counts))]
            try:
                function(*arguments)
            except (TypeError, ValueError) as error:
                assert isinstance(error, SketchError), (function.__name__, arguments, error)
            except Exception:  # noqa: BLE001 (other classes are not this rule's)
                pass
