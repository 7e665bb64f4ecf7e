"""Argument parsing of the entry points and the conversion of named arguments."""

import pytest

from support import HLL, c_call, c_vectorcall

NEW = "HyperLogLogPlusPlus.__new__()"
ADD = "HyperLogLogPlusPlus.add()"
MERGE = "HyperLogLogPlusPlus.merge()"
FROM_BYTES = "HyperLogLogPlusPlus.from_bytes()"
EMPTY = HLL(int).to_bytes()


class Outer:
    class Inner:
        pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: HLL(), f"{NEW} missing 1 required positional argument: 'ty'"),
        (lambda: HLL(normal_precision=12), f"{NEW} missing 1 required positional argument: 'ty'"),
        (lambda: HLL(str, 15, 20, 1), f"{NEW} takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: HLL(str, 15, 20, 1, bogus=1), f"{NEW} takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: HLL(str, ty=str), f"{NEW} got multiple values for argument 'ty'"),
        (lambda: HLL(str, 15, normal_precision=15), f"{NEW} got multiple values for argument 'normal_precision'"),
        (lambda: HLL(str, precision=15), f"{NEW} got an unexpected keyword argument 'precision'"),
        # keywords are checked in the order given, before the missing argument
        (lambda: HLL(bogus=1, ty=str), f"{NEW} got an unexpected keyword argument 'bogus'"),
        (lambda: HLL(str, ty=int, bogus=1), f"{NEW} got multiple values for argument 'ty'"),
        (lambda: HLL(bogus=1), f"{NEW} got an unexpected keyword argument 'bogus'"),
        (lambda: HLL(int).add(), f"{ADD} missing 1 required positional argument: 'value'"),
        (lambda: HLL(int).add(1, 2), f"{ADD} takes 1 positional arguments but 2 were given"),
        (lambda: HLL(int).add(val=1), f"{ADD} got an unexpected keyword argument 'val'"),
        (lambda: HLL(int).add(1, value=1), f"{ADD} got multiple values for argument 'value'"),
        (lambda: HLL(int).merge(), f"{MERGE} missing 1 required positional argument: 'data'"),
        (lambda: HLL(int).merge(EMPTY, EMPTY), f"{MERGE} takes 1 positional arguments but 2 were given"),
        (lambda: HLL(int).merge(bytes=EMPTY), f"{MERGE} got an unexpected keyword argument 'bytes'"),
        (lambda: HLL.from_bytes(), f"{FROM_BYTES} missing 1 required positional argument: 'data'"),
        (lambda: HLL.from_bytes(EMPTY, EMPTY), f"{FROM_BYTES} takes 1 positional arguments but 2 were given"),
        (lambda: HLL.from_bytes(EMPTY, data=EMPTY), f"{FROM_BYTES} got multiple values for argument 'data'"),
    ],
)
def test_parse_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (message,)


class Named(str):
    """A keyword name whose str() is not its text."""

    def __str__(self):
        return "something else"


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: c_vectorcall(s.add, [], ["value", "value"], [1, 2]), f"{ADD} got multiple values for argument 'value'"),
        (lambda s: c_vectorcall(s.add, [1], [2], [3]), f"{ADD} got an unexpected keyword argument '2'"),
        (lambda s: c_vectorcall(s.add, [], [b"value"], [1]), f"{ADD} got an unexpected keyword argument 'b'value''"),
        (lambda s: c_vectorcall(s.merge, [], [Named("date")], [1]), f"{MERGE} got an unexpected keyword argument 'date'"),
        (lambda s: s.add(**{Named("val"): 1}), f"{ADD} got an unexpected keyword argument 'val'"),
        (lambda s: HLL(str, **{Named("bogus"): 1}), f"{NEW} got an unexpected keyword argument 'bogus'"),
        (
            lambda s: c_vectorcall(HLL.from_bytes, [], [Unprintable()], [EMPTY]),
            f"{FROM_BYTES} got an unexpected keyword argument '<unprintable Unprintable object>'",
        ),
        (lambda s: c_call(HLL, [int], {1: 2}), f"{NEW} got an unexpected keyword argument '1'"),
        (lambda s: c_call(HLL, [], {7: 1, "ty": int}), f"{NEW} got an unexpected keyword argument '7'"),
    ],
)
def test_keyword_names_from_c_callers(call, message):
    with pytest.raises(TypeError) as info:
        call(HLL(int))
    assert info.value.args == (message,)
    assert info.value.__context__ is None


def test_keyword_names_match_by_text():
    sketch = HLL(**{Named("ty"): int})
    sketch.add(**{Named("value"): 5})
    c_vectorcall(sketch.merge, [], [Named("data")], [HLL(int).to_bytes()])
    assert sketch.num_values() == 1


def test_arguments_outlive_a_keyword_dict_emptied_during_conversion():
    events = []

    class Sparse:
        def __index__(self):
            events.append("index")
            return 18

        def __del__(self):
            events.append("del")

    class Emptying:
        def __index__(self):
            kwargs.clear()
            return 12

    kwargs = {"normal_precision": Emptying(), "sparse_precision": Sparse()}
    sketch = c_call(HLL, [int], kwargs)
    assert events == ["index", "del"]
    assert (sketch.normal_precision, sketch.sparse_precision) == (12, 18)


def test_every_parameter_can_be_given_by_keyword():
    sketch = HLL(ty=int, normal_precision=12, sparse_precision=None)
    assert (sketch.normal_precision, sketch.sparse_precision) == (12, 0)
    sketch.add(value=5)
    copy = HLL.from_bytes(data=sketch.to_bytes())
    copy.merge(data=sketch)
    assert copy.num_values() == 2


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((str,), {}, (15, 20)),
        ((int, 14), {}, (14, 20)),
        ((int,), {"sparse_precision": None}, (15, 0)),
        ((bytes, Index(12), Index(22)), {}, (12, 22)),
        ((int, 11, 11), {}, (11, 11)),
    ],
)
def test_precision_defaults_and_conversions(args, kwargs, expected):
    sketch = HLL(*args, **kwargs)
    assert (sketch.normal_precision, sketch.sparse_precision) == expected


@pytest.mark.parametrize(
    "args, message",
    [
        ((5,), "argument 'ty': 'int' object cannot be converted to 'PyType'"),
        ((None,), "argument 'ty': 'NoneType' object cannot be converted to 'PyType'"),
        ((Outer.Inner(),), "argument 'ty': 'Outer.Inner' object cannot be converted to 'PyType'"),
        ((str, "x"), "argument 'normal_precision': 'str' object cannot be interpreted as an integer"),
        ((str, None), "argument 'normal_precision': 'NoneType' object cannot be interpreted as an integer"),
        ((str, 15, 1.5), "argument 'sparse_precision': 'float' object cannot be interpreted as an integer"),
        # the checks run in order: ty, normal_precision, sparse_precision, then the type name
        ((5, "x"), "argument 'ty': 'int' object cannot be converted to 'PyType'"),
        ((float, "x"), "argument 'normal_precision': 'str' object cannot be interpreted as an integer"),
        ((float, 15, "x"), "argument 'sparse_precision': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_named_argument_conversion_errors(args, message):
    with pytest.raises(TypeError) as info:
        HLL(*args)
    assert info.value.args == (message,)


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**70])
@pytest.mark.parametrize("position", [1, 2])
def test_precision_outside_int32_is_an_unprefixed_overflow_error(value, position):
    args = [int, 15, 20]
    args[position] = value
    with pytest.raises(OverflowError) as info:
        HLL(*args)
    assert not str(info.value).startswith("argument")


def test_conversion_type_error_keeps_its_cause():
    cause = KeyError("inner")

    class Raising:
        def __index__(self):
            raise TypeError("no integer here") from cause

    with pytest.raises(TypeError) as info:
        HLL(int, Raising())
    assert info.value.args == ("argument 'normal_precision': no integer here",)
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("error", [ValueError("bad index"), type("MyTypeError", (TypeError,), {})("sub")])
def test_other_conversion_errors_pass_unchanged(error):
    class Raising:
        def __index__(self):
            raise error

    with pytest.raises(type(error)) as info:
        HLL(int, 15, Raising())
    assert info.value is error


@pytest.mark.parametrize("data", [bytearray(EMPTY), memoryview(EMPTY), list(EMPTY), EMPTY.hex()])
def test_from_bytes_takes_only_bytes(data):
    with pytest.raises(TypeError) as info:
        HLL.from_bytes(data)
    expected = f"argument 'data': '{type(data).__qualname__}' object cannot be converted to 'PyBytes'"
    assert info.value.args == (expected,)


def test_from_bytes_accepts_bytes_subclass_and_instances():
    class Payload(bytes):
        pass

    restored = HLL.from_bytes(Payload(EMPTY))
    assert type(restored) is HLL
    assert type(HLL(str).from_bytes(EMPTY)) is HLL


@pytest.mark.parametrize("method", ["result", "num_values", "to_bytes"])
def test_methods_without_parameters_refuse_arguments(method):
    with pytest.raises(TypeError, match=rf"^HyperLogLogPlusPlus\.{method}\(\) takes no arguments \(1 given\)$"):
        getattr(HLL(int), method)(1)


@pytest.mark.parametrize("name", ["normal_precision", "sparse_precision"])
def test_properties_are_read_only(name):
    sketch = HLL(int)
    with pytest.raises(AttributeError):
        setattr(sketch, name, 12)
    assert getattr(sketch, name) == {"normal_precision": 15, "sparse_precision": 20}[name]
