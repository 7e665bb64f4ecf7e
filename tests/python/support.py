"""Helpers shared by the tests: the class under test and a hand encoder for
state messages. The encoder writes protocol-buffers fields directly, so tests
can build serialised sketches that the library itself would never produce.
"""

import ctypes

import vantorelle_py

HLL = vantorelle_py.HyperLogLogPlusPlus


def varint(value: int) -> bytes:
    value &= (1 << 64) - 1  # negative int32 values are written sign-extended
    out = bytearray()
    while True:
        low = value & 0x7F
        value >>= 7
        if value:
            out.append(low | 0x80)
        else:
            out.append(low)
            return bytes(out)


def varint_field(number: int, value: int) -> bytes:
    return varint(number << 3) + varint(value)


def bytes_field(number: int, payload: bytes) -> bytes:
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def state_message(
    *,
    type_: int | None = 112,
    num_values: int = 0,
    encoding_version: int | None = 2,
    value_type: int | None = None,
    precision: int | None = 15,
    sparse_precision: int | None = 20,
    data: bytes | None = None,
    sparse_data: bytes | None = None,
) -> bytes:
    """An AggregatorState message; None leaves a field out."""
    inner = b""
    if precision is not None:
        inner += varint_field(3, precision)
    if sparse_precision is not None:
        inner += varint_field(4, sparse_precision)
    if data is not None:
        inner += bytes_field(5, data)
    if sparse_data is not None:
        inner += bytes_field(6, sparse_data)
    outer = b""
    if type_ is not None:
        outer += varint_field(1, type_)
    outer += varint_field(2, num_values)
    if encoding_version is not None:
        outer += varint_field(3, encoding_version)
    if value_type is not None:
        outer += varint_field(4, value_type)
    return outer + bytes_field(112, inner)


def filled(ty: type, values, *args, **kwargs):
    sketch = HLL(ty, *args, **kwargs)
    for value in values:
        sketch.add(value)
    return sketch


_api = ctypes.pythonapi
_api.PyObject_Vectorcall.restype = ctypes.py_object
_api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
_api.PyObject_Call.restype = ctypes.py_object
_api.PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def c_vectorcall(function, args, kwnames, kwvalues):
    """Calls `function` as C code can: keyword names that Python syntax would
    refuse (non-strings, one name twice) reach the callee unchecked."""
    objects = [*args, *kwvalues]
    array = (ctypes.py_object * len(objects))(*objects)
    return _api.PyObject_Vectorcall(function, ctypes.cast(array, ctypes.c_void_p), len(args), tuple(kwnames))


def c_call(function, args, kwargs):
    """PyObject_Call with a keyword dictionary that the caller keeps."""
    return _api.PyObject_Call(function, tuple(args), kwargs)


def in_own_process(test):
    """Runs a test in a fresh interpreter of its own: for tests that measure
    the process's resident memory, which threads and caches left by other
    tests (a Dask cluster's, say) would disturb."""
    import functools
    import os
    import subprocess
    import sys

    @functools.wraps(test)
    def wrapper(*args, **kwargs):
        if os.environ.get("VANTORELLE_OWN_PROCESS") == test.__name__:
            return test(*args, **kwargs)
        node = f"{test.__code__.co_filename}::{test.__name__}"
        env = {**os.environ, "VANTORELLE_OWN_PROCESS": test.__name__}
        completed = subprocess.run(
            [sys.executable, "-m", "pytest", node, "-q", "-p", "no:cacheprovider"],
            capture_output=True, text=True, env=env, timeout=600,
        )
        assert completed.returncode == 0, completed.stdout[-4000:] + completed.stderr[-2000:]

    return wrapper
