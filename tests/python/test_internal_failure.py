"""A sketch left unusable by a failed add: loaded sparse data that is not
ascending makes the first buffer flush fail."""

import pytest

from support import HLL, state_message, varint

# 1000, then a difference that wraps the running value down to 744.
DESCENDING = varint(1000) + varint(0xFFFFFF00)
INVALID = "Representation is invalid"


@pytest.fixture
def broken():
    sketch = HLL.from_bytes(state_message(precision=10, sparse_precision=15, value_type=8, sparse_data=DESCENDING))
    with pytest.raises(ValueError) as info:
        for value in range(10_000):
            sketch.add(value)
    assert str(info.value).startswith("Invalid argument: ")
    assert "required to be in increasing order" in str(info.value)
    return sketch


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.result(),
        lambda s: s.to_bytes(),
        repr,
        lambda s: s.merge(HLL(int).to_bytes()),
        lambda s: s.merge(HLL(int)),
        lambda s: HLL(int).merge(s),
    ],
)
def test_engine_calls_report_the_invalid_representation(broken, call):
    with pytest.raises(RuntimeError) as info:
        call(broken)
    assert info.value.args == ("Vantorelle error: Invalid HLL++ state: " + INVALID,)


def test_add_reports_it_as_a_type_error(broken):
    # add turns every InvalidState into a TypeError with the bare message
    with pytest.raises(TypeError) as info:
        broken.add(1)
    assert info.value.args == (INVALID,)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.num_values(),
        lambda s: s.normal_precision,
        lambda s: s.sparse_precision,
    ],
)
def test_accessors_raise_the_internal_error(broken, call):
    caught_by_exception = False
    try:
        call(broken)
    except Exception:
        caught_by_exception = True
    except BaseException as error:
        internal = error
    assert not caught_by_exception
    assert type(internal).__bases__ == (BaseException,)
    assert type(internal).__name__ == "InternalError"
    assert internal.args == ("Invalid representation",)
    # the class is created once per process
    with pytest.raises(BaseException) as again:
        broken.num_values()
    assert type(again.value) is type(internal)


def test_other_sketches_are_unaffected(broken):
    healthy = HLL(int)
    with pytest.raises(RuntimeError) as refused:
        healthy.merge(broken)
    assert str(refused.value) == "Vantorelle error: Invalid HLL++ state: Representation is invalid"
    healthy.add(1)
    assert (healthy.result(), healthy.num_values()) == (1, 1)
