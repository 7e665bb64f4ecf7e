"""Which Python values add() accepts, in which order the conversions are
tried, and how the first value narrows a sketch's accepted input type."""

import re

import pytest

from support import HLL, state_message

UNSUPPORTED = "Unsupported type for HyperLogLogPlusPlus"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntLikeText(str):
    def __index__(self):
        return 7


class ReversedBytes(bytes):
    def __iter__(self):
        return iter(bytes(self)[::-1])


class UnsizedList(list):
    def __len__(self):
        raise RuntimeError("no length")


def serialised(ty, *values):
    sketch = HLL(ty)
    for value in values:
        sketch.add(value)
    return sketch.to_bytes()


@pytest.mark.parametrize(
    "value, same_as",
    [
        (True, 1),
        (False, 0),
        (Index(5), 5),
        (type("Big", (int,), {})(42), 42),
        (IntLikeText("not a number"), 7),  # the integer conversion comes first
        (-(2**63), -(2**63)),
        (2**63 - 1, 2**63 - 1),
    ],
)
def test_integer_conversions(value, same_as):
    assert serialised(int, value) == serialised(int, same_as)
    assert serialised(int, value) != serialised(int, same_as + 1 if same_as < 2**63 - 1 else 0)


@pytest.mark.parametrize(
    "value",
    [
        2**63,
        -(2**63) - 1,
        1.5,
        None,
        object(),
        {1: 2},
        [1, 2, 300],
        [1, "a"],
        [-1],
        "\ud800",  # lone surrogate: no strict UTF-8 form
        "ok\udfffok",
        IntLikeText,  # a type object is no value
    ],
)
@pytest.mark.parametrize("ty", [int, str])
def test_values_no_conversion_accepts(ty, value):
    sketch = HLL(ty)
    with pytest.raises(TypeError) as info:
        sketch.add(value)
    assert info.value.args == (UNSUPPORTED,)
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert sketch.num_values() == 0


@pytest.mark.parametrize(
    "value",
    [
        b"abc",
        bytearray(b"abc"),
        memoryview(b"abc"),
        [97, 98, 99],
        (97, Index(98), 99),
        ReversedBytes(b"cba"),
        UnsizedList([97, 98, 99]),
        range(97, 100),
    ],
)
def test_byte_sequences_hash_their_items(value):
    assert serialised(bytes, value) == serialised(bytes, b"abc")


def test_text_hashes_its_utf8_encoding():
    text = "h\u00e9llo \u2603 \U0001f600"
    assert serialised(str, text) == serialised(bytes, text.encode("utf-8"))
    assert serialised(str, text) != serialised(str, text + " ")


@pytest.mark.parametrize("value", ["", b"", [], range(0)])
def test_empty_values_are_accepted(value):
    sketch = HLL(str)
    sketch.add(value)
    assert sketch.num_values() == 1


@pytest.mark.parametrize(
    "ty, first, second, message",
    [
        (bytes, "abc", b"abc", "Unable to add type BYTES to aggregator of type {STRING}"),
        (str, b"abc", "abc", "Unable to add type STRING to aggregator of type {BYTES}"),
        (str, [1], "x", "Unable to add type STRING to aggregator of type {BYTES}"),
        (int, 1, "x", "Unable to add type STRING to aggregator of type {LONG}"),
        (int, 1, b"x", "Unable to add type BYTES to aggregator of type {LONG}"),
    ],
)
def test_first_value_fixes_the_input_type(ty, first, second, message):
    sketch = HLL(ty)
    sketch.add(first)
    with pytest.raises(TypeError) as info:
        sketch.add(second)
    assert info.value.args == (message,)
    assert sketch.num_values() == 1
    sketch.add(first)
    assert sketch.num_values() == 2


def test_text_sketch_refuses_integers_naming_both_members():
    with pytest.raises(TypeError) as info:
        HLL(str).add(1)
    match = re.fullmatch(r"Unable to add type LONG to aggregator of type \{(\w+), (\w+)\}", str(info.value))
    assert match and set(match.groups()) == {"STRING", "BYTES"}


def test_refused_text_does_not_narrow_the_sketch():
    sketch = HLL(str)
    with pytest.raises(TypeError):
        sketch.add("\ud800")
    sketch.add(b"raw")
    sketch.add(b"more")
    assert sketch.num_values() == 2


@pytest.mark.parametrize("first, second", [(1, "x"), ("x", 1), (b"x", 1)])
def test_sketch_without_value_type_accepts_any_first_value(first, second):
    sketch = HLL.from_bytes(state_message(value_type=None, sparse_data=b""))
    sketch.add(first)
    with pytest.raises(TypeError, match="^Unable to add type "):
        sketch.add(second)


def user_class(name, base=object):
    cls = type("Placeholder", (base,), {})
    cls.__name__ = name
    return cls


@pytest.mark.parametrize(
    "ty, value",
    [(user_class("int"), 1), (user_class("str"), "a"), (user_class("bytes"), b"a")],
)
def test_value_family_is_chosen_by_type_name(ty, value):
    sketch = HLL(ty)
    sketch.add(value)
    assert sketch.to_bytes() == serialised({"int": int, "str": str, "bytes": bytes}[ty.__name__], value)


@pytest.mark.parametrize("ty", [float, bytearray, bool, object, type, user_class("MyStr", str), user_class("Int")])
def test_other_type_names_are_refused(ty):
    with pytest.raises(ValueError) as info:
        HLL(ty)
    assert info.value.args == ("Unsupported type for HyperLogLogPlusPlus. Use 'str', 'int', or 'bytes'.",)


class IntSubclass(int):
    pass


# Exact ints of up to three 30-bit digits are read from their digits; int
# subclasses and __index__ objects always take the interpreter's conversion.
# Both routes must agree on every value, accepted or not.
DIGIT_EDGES = [
    0, 1, 2**30 - 1, 2**30, 2**30 + 1, 2**60 - 1, 2**60, 2**60 + 2**30, 2**62,
    2**63 - 2**30, 2**63 - 1, 2**63 - 2**60 + 7,
]
ACCEPTED = sorted({sign * edge for edge in DIGIT_EDGES for sign in (1, -1)} | {-(2**63)})
REFUSED = [
    2**63, 2**63 + 1, 2**63 + 2**30, 2**64 - 1, 2**64, 2**90 - 1, 2**90, 2**200,
    -(2**63) - 1, -(2**63) - 2**30, -(2**63) - 2**31, -(2**64), -(2**90), -(2**200),
]


def test_exact_ints_hash_like_the_generic_conversion():
    import random

    rng = random.Random(2024)
    values = ACCEPTED + [rng.getrandbits(bits) * rng.choice((1, -1)) for bits in (31, 59, 61, 62, 63) for _ in range(40)]
    for value in values:
        expected = serialised(int, IntSubclass(value))
        assert serialised(int, value) == expected, value
        assert serialised(int, Index(value)) == expected, value
    # One sketch over all of them equals the same built through a subclass.
    assert serialised(int, *values) == serialised(int, *map(IntSubclass, values))
    assert len({serialised(int, value) for value in ACCEPTED}) == len(ACCEPTED)


@pytest.mark.parametrize("make", [lambda v: v, IntSubclass, Index], ids=["int", "subclass", "index"])
@pytest.mark.parametrize("ty", [int, str])
def test_ints_outside_64_bits_are_refused_by_every_route(ty, make):
    sketch = HLL(ty)
    for value in REFUSED:
        with pytest.raises(TypeError) as info:
            sketch.add(make(value))
        assert info.value.args == (UNSUPPORTED,)
        assert info.value.__cause__ is None and info.value.__context__ is None
    assert sketch.num_values() == 0
    assert sketch.to_bytes() == HLL(ty).to_bytes()


class TextSubclass(str):
    pass


@pytest.mark.parametrize("text", ["", "ascii", "caf\u00e9", "\u2603 snow", "\U0001f600", "x" * 300])
def test_text_of_every_layout_hashes_its_utf8(text):
    assert serialised(str, text) == serialised(bytes, text.encode("utf-8"))
    assert serialised(str, text) == serialised(str, TextSubclass(text))
    assert serialised(str, text) == serialised(str, "".join(list(text)))  # a fresh, non-interned copy
