"""Malformed Arrow input reaching the engine through the package: a string
array whose offsets were changed after pyarrow validated them (as a faulty
producer could hand over) is an InvalidInputError, not a crash. The engine's
own checks of every layout are tested in tests/cpp/engine_test.cpp."""

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
