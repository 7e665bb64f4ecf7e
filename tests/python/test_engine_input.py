"""Malformed Arrow input reaching the engine through the package: a string
array whose offsets were changed after pyarrow validated them (as a faulty
producer could hand over) is an InvalidInputError, not a crash. The engine's
own checks of every layout are tested in tests/cpp/engine_test.cpp."""

import ctypes

import numpy as np
import pyarrow as pa
import pytest

import vantorelle
from vantorelle import InvalidInputError


@pytest.mark.parametrize(
    ("arrow_type", "offset_type", "ty"),
    [(pa.string(), np.int32, str), (pa.large_string(), np.int64, str), (pa.binary(), np.int32, bytes)],
)
def test_an_offset_past_the_data_is_refused(arrow_type, offset_type, ty):
    offsets = np.array([0, 1, 2, 3], dtype=offset_type)
    array = pa.Array.from_buffers(arrow_type, 3, [None, pa.py_buffer(offsets), pa.py_buffer(b"abc")])
    assert vantorelle.sketch(array, ty).result() == 3
    offsets[3] = 1 << 30
    with pytest.raises(InvalidInputError, match="an offset points past the end of its data"):
        vantorelle.sketch(array, ty)


class _ArrowArray(ctypes.Structure):
    _fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.c_void_p),
                ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
                ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


class _Lying:
    """An exported array whose struct a faulty producer changed after export."""

    def __init__(self, array, **fields):
        self.schema, self.array = array.__arrow_c_array__()
        pointer = ctypes.pythonapi.PyCapsule_GetPointer
        pointer.restype, pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
        exported = _ArrowArray.from_address(pointer(self.array, b"arrow_array"))
        for name, value in fields.items():
            setattr(exported, name, value)

    def __arrow_c_array__(self, requested_schema=None):
        return self.schema, self.array


@pytest.mark.parametrize(("array", "fields", "message"), [
    # A one-column table that claims more rows than its column has.
    (pa.StructArray.from_arrays([pa.array([1, 2, 3, 4])], ["v"]), {"length": 64}, "shorter than the table"),
    # A buffer count far past the array of buffer pointers.
    (pa.array(["a long string past twelve bytes", "b"], pa.string_view()), {"n_buffers": 1 << 40},
     "its buffers do not match its type"),
])
def test_a_struct_that_lies_is_refused(array, fields, message):
    assert vantorelle.count_distinct(_Lying(array)) == len(array)
    with pytest.raises(InvalidInputError, match=message):
        vantorelle.count_distinct(_Lying(array, **fields))


@pytest.mark.parametrize("row", [0, 3])
def test_text_that_is_not_utf8_is_refused_at_its_row_through_every_door(row):
    # (before, only a first value that was not UTF-8 was refused; later ones
    # were counted as bytes)
    good = pa.array(["ab", "cd", "ef", "gh", "ij"] * 40)
    data = bytearray(good.buffers()[2].to_pybytes())
    data[2 * row + 1] = 0xFF
    array = pa.Array.from_buffers(pa.string(), len(good), [None, good.buffers()[1], pa.py_buffer(bytes(data))])
    with pytest.raises(InvalidInputError, match=f"position {row}: the text is not valid UTF-8"):
        vantorelle.sketch(array)
    with pytest.raises(InvalidInputError, match=f"position {row}: the text is not valid UTF-8"):
        vantorelle.sketch(pa.chunked_array([array]), threads=2)
    table = pa.table({"k": np.arange(len(good)) % 3, "v": array})
    with pytest.raises(InvalidInputError, match=f"row {row}: the text is not valid UTF-8"):
        vantorelle.sketch_by(table, "k", "v")
    # A key is compared as bytes and given back as it came.
    assert vantorelle.sketch_by(table.rename_columns(["v", "k"]), "k", "v").num_rows == 6
