"""Merging by serialised bytes in its several Python forms and by sketch."""

import pytest

from support import HLL, filled


def shards():
    left = filled(int, range(0, 30_000))
    right = filled(int, range(20_000, 50_000))
    return left, right


@pytest.mark.parametrize(
    "form",
    [
        lambda s: s.to_bytes(),
        lambda s: bytearray(s.to_bytes()),
        lambda s: memoryview(s.to_bytes()),
        lambda s: list(s.to_bytes()),
        lambda s: tuple(s.to_bytes()),
        lambda s: s,
    ],
)
def test_every_form_merges_the_same(form):
    left, right = shards()
    right_before = right.to_bytes()
    left.merge(form(right))
    assert right.to_bytes() == right_before
    assert left.num_values() == 60_000
    assert abs(left.result() - 50_000) <= 0.02 * 50_000
    reference, _ = shards()
    reference.merge(right_before)
    assert left.to_bytes() == reference.to_bytes()


def test_merge_order_does_not_change_the_registers():
    a, b = shards()
    c, d = shards()
    a.merge(b)
    d.merge(c)
    assert a.result() == d.result()


@pytest.mark.parametrize(
    "receiver, other, expected",
    [
        ((14, 20), (12, 20), (12, 20)),
        ((12, 20), (14, 20), (12, 20)),
        ((12, 20), (12, 16), (12, 16)),
        ((15, None), (12, 20), (12, 0)),
        ((12, 20), (15, None), (12, 0)),
    ],
)
@pytest.mark.parametrize("count", [50, 20_000])
def test_merge_lowers_to_the_smaller_precisions(receiver, other, expected, count):
    sketch = filled(int, range(count), *receiver)
    sketch.merge(filled(int, range(count, 2 * count), *other))
    assert (sketch.normal_precision, sketch.sparse_precision) == expected
    assert sketch.num_values() == 2 * count
    assert abs(sketch.result() - 2 * count) <= 0.05 * 2 * count


def test_merging_own_bytes_keeps_the_estimate():
    sketch = filled(str, (str(i) for i in range(5000)))
    estimate = sketch.result()
    sketch.merge(sketch.to_bytes())
    assert (sketch.result(), sketch.num_values()) == (estimate, 10_000)


@pytest.mark.parametrize("data", ["abc", 1, None, 1.0, {1: 2}, [1, 256]])
def test_unsupported_merge_arguments(data):
    sketch = filled(int, range(10))
    before = sketch.to_bytes()
    with pytest.raises(TypeError) as info:
        sketch.merge(data)
    assert info.value.args == ("Unsupported type for HyperLogLogPlusPlus::merge",)
    assert sketch.to_bytes() == before
