"""Engine errors as Python exceptions: class, exact message, no chaining,
and the sketch left unchanged by a failed call."""

import re

import pytest

from support import HLL, filled, state_message

PREFIX = "Vantorelle error: "


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    error = info.value
    assert len(error.args) == 1 and str(error) == error.args[0]
    assert error.__cause__ is None and error.__context__ is None
    return error


@pytest.mark.parametrize(
    "args, message",
    [
        ((str, 5), "Expected normal precision to be >= 10 and <= 24 but was 5"),
        ((int, 25, 25), "Expected normal precision to be >= 10 and <= 24 but was 25"),
        ((int, 9, None), "Expected normal precision to be >= 10 and <= 24 but was 9"),
        ((int, 15, 26), "Expected sparse precision to be >= normal precision (15) and <= 25 but was 26."),
        ((int, 15, 14), "Expected sparse precision to be >= normal precision (15) and <= 25 but was 14."),
    ],
)
def test_invalid_precisions_are_value_errors(args, message):
    error = raised(lambda: HLL(*args))
    assert type(error) is ValueError
    assert error.args == ("Invalid argument: " + message,)


@pytest.mark.parametrize(
    "payload, message",
    [
        (b"", "Invalid HLL++ state: Expected proto to be of type HYPERLOGLOG_PLUS_UNIQUE but was SUM"),
        (state_message(type_=7), "Invalid HLL++ state: Expected proto to be of type HYPERLOGLOG_PLUS_UNIQUE but was SUM"),
        (state_message(encoding_version=None), "Invalid HLL++ state: Expected encoding version to be 2 but was 1"),
        (state_message(value_type=3), "Invalid HLL++ state: Unsupported value type DefaultOpsType(INT32)"),
        (state_message(value_type=1000), "Invalid HLL++ state: Unsupported value type CustomType(1000)"),
        (
            state_message(sparse_precision=0, data=bytes(32767)),
            "Invalid HLL++ state: Expected normal data to consist of exactly 32768 bytes but got 32767",
        ),
        (
            state_message(sparse_precision=0, sparse_data=b""),
            "Invalid HLL++ state: Must have a sparse precision when sparse data is set",
        ),
    ],
)
def test_invalid_states_are_runtime_errors(payload, message):
    error = raised(lambda: HLL.from_bytes(payload))
    assert type(error) is RuntimeError
    assert error.args == (PREFIX + message,)
    sketch = filled(int, range(10))
    before = sketch.to_bytes()
    error = raised(lambda: sketch.merge(payload))
    assert (type(error), error.args) == (RuntimeError, (PREFIX + message,))
    assert sketch.to_bytes() == before


@pytest.mark.parametrize("payload", [b"\xff", b"\x08", b"\x0a\x05ab", b"\x00\x00"])
def test_malformed_messages_are_deserialization_errors(payload):
    error = raised(lambda: HLL.from_bytes(payload))
    assert type(error) is RuntimeError
    assert str(error).startswith(PREFIX + "Proto deserialization error: ")


def test_precision_error_from_serialised_sketch_is_a_value_error():
    payload = state_message(precision=30, sparse_precision=0)
    for call in (lambda: HLL.from_bytes(payload), lambda: HLL(int).merge(payload)):
        error = raised(call)
        assert type(error) is ValueError
        assert error.args == ("Invalid argument: Expected normal precision to be >= 10 and <= 24 but was 30",)


@pytest.mark.parametrize("by_bytes", [False, True])
def test_merging_incompatible_families(by_bytes):
    text, numbers = filled(str, ["a", "b"]), filled(int, [1, 2, 3])
    text_before, numbers_before = text.to_bytes(), numbers.to_bytes()
    error = raised(lambda: text.merge(numbers_before if by_bytes else numbers))
    # the text sketch was narrowed to STRING by its first add
    assert (type(error), str(error)) == (
        RuntimeError,
        PREFIX + "Invalid HLL++ state: Aggregator of type {STRING} is incompatible with aggregator of type {LONG}",
    )
    assert (text.to_bytes(), numbers.to_bytes()) == (text_before, numbers_before)


def test_merging_new_text_sketch_with_integer_sketch_names_both_sets():
    error = raised(lambda: HLL(str).merge(HLL(int)))
    match = re.fullmatch(
        re.escape(PREFIX + "Invalid HLL++ state: Aggregator of type {") + r"(\w+), (\w+)"
        + re.escape("} is incompatible with aggregator of type {LONG}"),
        str(error),
    )
    assert type(error) is RuntimeError and match and set(match.groups()) == {"STRING", "BYTES"}


def test_crosswise_sparse_precisions_cannot_merge():
    left, right = filled(int, range(50), 12, 20), filled(int, range(50), 14, 16)
    before = left.to_bytes(), right.to_bytes()
    error = raised(lambda: left.merge(right))
    assert type(error) is RuntimeError
    assert re.fullmatch(
        re.escape(PREFIX + "Incompatible precision: Precisions (normal=")
        + r"\d+, sparse=\d+\) and \(normal=\d+, sparse=\d+\) are not compatible",
        str(error),
    )
    assert {"(normal=12, sparse=20)", "(normal=14, sparse=16)"} <= set(re.findall(r"\(normal=\d+, sparse=\d+\)", str(error)))
    assert (left.to_bytes(), right.to_bytes()) == before


class FailingIndex:
    def __index__(self):
        raise KeyError("discarded")


class FailingSequence:
    def __len__(self):
        raise KeyError("discarded length")

    def __getitem__(self, index):
        return 1

    def __iter__(self):
        raise KeyError("discarded iterator")


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda: HLL(str).add(FailingIndex()), TypeError),
        (lambda: HLL(str).add(FailingSequence()), TypeError),
        (lambda: HLL(str).add(2**64), TypeError),
        (lambda: HLL(int).add("\udc80"), TypeError),
        (lambda: HLL(int).merge(FailingSequence()), TypeError),
        (lambda: HLL(int).merge([1, FailingIndex()]), TypeError),
        (lambda: HLL(int).add("x"), TypeError),
        (lambda: HLL(int, FailingIndex()), KeyError),
        (lambda: HLL(5), TypeError),
        (lambda: HLL(int, 3), ValueError),
        (lambda: HLL.from_bytes(b"\xff"), RuntimeError),
    ],
)
def test_errors_raised_while_handling_chain_only_the_handled_exception(call, kind):
    handled = LookupError("handled by the caller")
    try:
        try:
            raise handled
        except LookupError:
            call()
    except BaseException as error:
        raised = error
    assert type(raised) is kind
    assert raised.__context__ is handled and raised.__cause__ is None
