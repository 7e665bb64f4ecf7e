"""Module and class facts: attributes, names, signatures, docstrings and the
restrictions of the class."""

import importlib
import importlib.metadata
import sys
import weakref

import pytest

import vantorelle_py
from support import HLL


def test_module_attributes():
    assert vantorelle_py.__version__ == importlib.metadata.version("vantorelle-py")
    assert vantorelle_py.__all__ == ["HyperLogLogPlusPlus", "__version__"]
    assert type(vantorelle_py.__all__) is list
    assert vantorelle_py.__doc__ == "Python module for Vantorelle HyperLogLog++ implementation"
    assert vantorelle_py.HyperLogLogPlusPlus is HLL
    public = [name for name in vars(vantorelle_py) if not name.startswith("_")]
    assert public == ["HyperLogLogPlusPlus"]


def test_class_names_and_signature():
    assert (HLL.__module__, HLL.__name__, HLL.__qualname__) == ("builtins", "HyperLogLogPlusPlus", "HyperLogLogPlusPlus")
    assert HLL.__text_signature__ == "(ty, normal_precision=..., sparse_precision=...)"
    assert "HyperLogLogPlusPlus" in HLL.__doc__ and "\n--\n" not in HLL.__doc__
    assert not HLL.__doc__.startswith("HyperLogLogPlusPlus(")


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("from_bytes", "($cls, data)", None),
        ("add", "($self, value)", "Wrapper for various `HyperLogLogPlusPlus::add_*` overloads."),
        ("merge", "($self, data)", None),
        ("result", "($self)", "Get the estimated cardinality.\n\nReturns:\n    Estimated number of unique elements"),
        (
            "num_values",
            "($self)",
            "Get the total number of values added to this sketch.\n\nReturns:\n    Number of values added",
        ),
        ("to_bytes", "($self)", "Serialize the sketch to bytes.\n\nReturns:\n    Serialized sketch data"),
    ],
)
def test_method_signatures_and_docs(name, signature, doc):
    method = vars(HLL)[name]
    assert method.__text_signature__ == signature
    if doc is None:
        assert f"HyperLogLogPlusPlus::{'from_bytes' if name == 'from_bytes' else 'merge_bytes'}" in method.__doc__
    else:
        assert method.__doc__ == doc


def test_members_are_registered_in_order():
    members = [name for name in vars(HLL) if not name.startswith("__")]
    assert members == ["from_bytes", "add", "merge", "result", "num_values", "to_bytes", "normal_precision", "sparse_precision"]
    assert type(vars(HLL)["from_bytes"]).__name__ == "classmethod_descriptor"


@pytest.mark.parametrize("name", ["normal_precision", "sparse_precision"])
def test_properties_have_empty_docs(name):
    assert vars(HLL)[name].__doc__ == ""


@pytest.mark.parametrize(
    "flag, present",
    [
        (1 << 8, False),  # Py_TPFLAGS_IMMUTABLETYPE
        (1 << 9, True),  # Py_TPFLAGS_HEAPTYPE
        (1 << 10, False),  # Py_TPFLAGS_BASETYPE
        (1 << 14, False),  # Py_TPFLAGS_HAVE_GC
    ],
)
def test_class_flags(flag, present):
    assert bool(HLL.__flags__ & flag) is present


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (HLL,), {})


def test_instances_take_no_attributes_or_weak_references():
    sketch = HLL(int)
    with pytest.raises(AttributeError):
        sketch.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(sketch)
    assert not hasattr(sketch, "__dict__")


def test_object_new_refuses_the_class():
    with pytest.raises(TypeError):
        object.__new__(HLL)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("vantorelle_py")
    try:
        again = importlib.import_module("vantorelle_py")
        assert again is first
        assert again.HyperLogLogPlusPlus is HLL
        assert again.__all__ == ["HyperLogLogPlusPlus", "__version__"]
    finally:
        sys.modules["vantorelle_py"] = first


def test_internal_error_class_is_not_a_module_attribute():
    assert not any(isinstance(value, type) and issubclass(value, BaseException) for value in vars(vantorelle_py).values())
