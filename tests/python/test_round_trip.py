"""Serialisation: exact bytes of empty sketches, lossless round trips,
to_bytes leaving the sketch alone, and estimates within the error bound."""

import pytest

from support import HLL, filled, state_message


@pytest.mark.parametrize(
    "sketch, expected",
    [
        (HLL(int), "08 70 10 00 18 02 20 08 82 07 06 18 0f 20 14 32 00"),
        (HLL(int, sparse_precision=None), "08 70 10 00 18 02 20 08 82 07 02 18 0f"),
        (HLL(str, 10, 25), "08 70 10 00 18 02 20 0b 82 07 06 18 0a 20 19 32 00"),
    ],
)
def test_empty_sketch_bytes(sketch, expected):
    assert sketch.to_bytes().hex(" ") == expected


@pytest.mark.parametrize("count", [0, 1, 100, 3000, 50_000])
@pytest.mark.parametrize("precisions", [(15, 20), (10, 25), (14, None)])
def test_round_trip_keeps_the_sketch(count, precisions):
    sketch = filled(int, range(-(count // 2), count - count // 2), *precisions)
    payload = sketch.to_bytes()
    restored = HLL.from_bytes(payload)
    assert restored.result() == sketch.result()
    assert restored.num_values() == sketch.num_values() == count
    assert (restored.normal_precision, restored.sparse_precision) == (
        sketch.normal_precision,
        sketch.sparse_precision,
    )
    assert restored.to_bytes() == payload
    assert repr(restored) == f"HyperLogLogPlusPlus(cardinality={sketch.result()}, num_values={count})"


@pytest.mark.parametrize("count", [0, 300, 10_000])
def test_to_bytes_leaves_the_sketch_unchanged(count):
    sketch = filled(str, (f"user-{i}" for i in range(count)), 12, 18)
    state = (sketch.result(), sketch.num_values())
    first = sketch.to_bytes()
    assert sketch.to_bytes() == first
    assert (sketch.result(), sketch.num_values()) == state
    # adding after serialising continues from the unchanged sketch
    sketch.add("late")
    fresh = filled(str, [*(f"user-{i}" for i in range(count)), "late"], 12, 18)
    assert sketch.to_bytes() == fresh.to_bytes()


def test_restored_text_sketch_accepts_both_string_kinds_again():
    sketch = filled(str, ["a"])
    restored = HLL.from_bytes(sketch.to_bytes())
    with pytest.raises(TypeError):
        sketch.add(b"b")
    restored.add(b"b")
    assert restored.num_values() == 2


def test_state_without_value_type_keeps_none_through_merge():
    blank = HLL.from_bytes(state_message(value_type=None, sparse_data=b""))
    blank.merge(filled(int, [1, 2]))
    with pytest.raises(TypeError, match=r"^Unable to add type STRING to aggregator of type \{LONG\}$"):
        blank.add("x")
    again = HLL.from_bytes(blank.to_bytes())
    again.add("x")
    assert again.num_values() == 3


@pytest.mark.parametrize(
    "ty, make, count, precision, tolerance",
    [
        (int, lambda i: i * 7919, 100_000, 15, 0.02),
        (int, lambda i: -i, 2_000_000, 14, 0.03),
        (str, lambda i: f"id-{i}", 1_000, 15, 0.005),  # sparse: linear counting at sp = 20
        (bytes, lambda i: i.to_bytes(4, "little"), 20_000, 12, 0.05),
    ],
)
def test_estimate_is_within_error_bound(ty, make, count, precision, tolerance):
    sketch = HLL(ty, precision)
    for repeat in range(2):
        for i in range(count // (1 + repeat * 9)):
            sketch.add(make(i))
    assert abs(sketch.result() - count) <= tolerance * count
    assert sketch.num_values() == count + count // 10
