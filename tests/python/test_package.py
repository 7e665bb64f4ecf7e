"""The rest of the vantorelle package: checked loading of bytes-like
objects, roll-ups, pickling and the InternalError name."""

import copy
import multiprocessing
import pickle

import pytest

import vantorelle
import vantorelle_py
from support import HLL, state_message


def filled(ty=int, n=1000, p=15, sp=20, start=0):
    sketch = HLL(ty, p, sp)
    for i in range(start, start + n):
        sketch.add(i if ty is int else f"v{i}")
    return sketch


def test_the_class_is_the_modules_own():
    assert vantorelle.HyperLogLogPlusPlus is vantorelle_py.HyperLogLogPlusPlus
    assert issubclass(vantorelle.InternalError, BaseException)
    assert not issubclass(vantorelle.InternalError, Exception)
    assert vantorelle.InternalError.__module__ == "vantorelle_py"


def test_importing_vantorelle_imports_no_optional_library():
    import subprocess
    import sys

    code = (
        "import sys, vantorelle\n"
        "heavy = [m for m in ('numpy', 'pyarrow', 'pandas', 'polars', 'dask', 'pyspark', 'duckdb') if m in sys.modules]\n"
        "print(heavy)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def bytes_likes(data):
    np = pytest.importorskip("numpy")
    pa = pytest.importorskip("pyarrow")
    return [
        data,
        bytearray(data),
        memoryview(data),
        memoryview(data).cast("b"),  # signed one-byte format
        np.frombuffer(data, dtype=np.uint8),
        np.frombuffer(data, dtype=np.int8),
        pa.py_buffer(data),
    ]


@pytest.mark.parametrize("n", [0, 10, 5000])
def test_from_bytes_and_merge_all_take_any_bytes_like(n):
    original = filled(n=n)
    data = original.to_bytes()
    for form in bytes_likes(data):
        assert vantorelle.from_bytes(form).to_bytes() == data
        merged = vantorelle.merge_all([form, form])
        assert merged.result() == original.result()
        assert merged.num_values() == 2 * n


@pytest.mark.parametrize(
    "data, error",
    [
        ("text", TypeError),
        (123, TypeError),
        (memoryview(b"\0\0\0\0").cast("i"), TypeError),
        (b"\xff", ValueError),
        (b"", ValueError),  # type SUM, refused by the build checks
    ],
)
def test_from_bytes_refusals(data, error):
    with pytest.raises(error):
        vantorelle.from_bytes(data)
    with pytest.raises(error):
        vantorelle.validate(data)


def test_refused_bytes_never_reach_an_internal_failure():
    # Stored sparse data cut off inside a varint: the class loads it, and a
    # later add meets the internal failure; the package refuses it at once.
    corrupt = state_message(precision=10, sparse_precision=15, sparse_data=b"\x80", num_values=1)
    HLL.from_bytes(corrupt)
    with pytest.raises(ValueError):
        vantorelle.from_bytes(corrupt)
    with pytest.raises(ValueError):
        vantorelle.merge_all([filled(), corrupt])


def test_merge_all_rolls_up_mixed_items_and_precisions():
    a, b, c = filled(n=3000), filled(n=3000, start=2000, p=13, sp=18), filled(n=10, start=10**6)
    merged = vantorelle.merge_all(iter([a, b.to_bytes(), bytearray(c.to_bytes())]))
    assert (merged.normal_precision, merged.sparse_precision) == (13, 18)
    assert merged.num_values() == 6010
    assert abs(merged.result() - 5010) < 0.05 * 5010
    # The inputs are left as they were.
    assert a.num_values() == 3000 and a.normal_precision == 15
    with pytest.raises(ValueError, match="at least one"):
        vantorelle.merge_all([])
    with pytest.raises(RuntimeError, match="incompatible"):
        vantorelle.merge_all([filled(int), filled(str)])


@pytest.mark.parametrize("ty, n", [(int, 0), (int, 7), (str, 20_000), (bytes, 3)])
def test_pickle_and_copy_round_trip(ty, n):
    original = filled(ty, n)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(original, protocol)).to_bytes() == original.to_bytes()
    for duplicate in (copy.copy(original), copy.deepcopy(original)):
        assert duplicate is not original
        assert duplicate.to_bytes() == original.to_bytes()
        duplicate.add(-1 if ty is int else "extra")
        assert duplicate.num_values() == original.num_values() + 1
    nested = copy.deepcopy({"daily": [original]})
    assert nested["daily"][0].to_bytes() == original.to_bytes()


def _worker_sketch(start):
    # Refers to the class through vantorelle, which pickles by name.
    return vantorelle.sketch(range(start, start + 1000), int)


def test_sketches_travel_from_worker_processes():
    context = multiprocessing.get_context("spawn")
    with context.Pool(2) as pool:
        parts = pool.map(_worker_sketch, [0, 500, 10_000])
    merged = vantorelle.merge_all(parts)
    assert merged.num_values() == 3000
    assert merged.to_bytes() == vantorelle.merge_all(
        [_worker_sketch(0), _worker_sketch(500), _worker_sketch(10_000)]
    ).to_bytes()


def test_a_corrupt_sketch_given_to_the_package_is_a_value_error():
    corrupt = state_message(precision=10, sparse_precision=15, sparse_data=b"\x80", num_values=1)
    calls = [
        lambda broken: vantorelle.add_all(broken, range(2000)),
        lambda broken: vantorelle.merge_all([HLL(int, 10, 15), broken]),
        lambda broken: vantorelle.merge_all([broken]),
        lambda broken: pickle.dumps(broken) and vantorelle.merge_all([pickle.loads(pickle.dumps(broken))]),
    ]
    for call in calls:
        with pytest.raises(ValueError, match="corrupt|sparse_data"):
            call(HLL.from_bytes(corrupt))


def test_the_cores_precision_rules_and_description_match_the_class():
    from vantorelle import _native

    def outcome(function, *args):
        try:
            return function(*args)
        except Exception as error:
            return type(error), str(error)

    defaults = HLL(bytes)
    assert (_native.DEFAULT_NORMAL_PRECISION, _native.DEFAULT_SPARSE_PRECISION) == (
        defaults.normal_precision, defaults.sparse_precision)
    for normal in (-1, 0, 9, 10, 15, 24, 25, 2**31, "15"):
        for sparse in (None, 0, 5, 9, 10, 15, 20, 25, 30, 31, -(2**40)):
            sketch = outcome(HLL, bytes, normal, sparse)
            checked = outcome(_native.check_precisions, normal, sparse)
            if isinstance(sketch, tuple) and sketch[0] is OverflowError:
                # Past 32 bits the class's OverflowError; the package's, out of range.
                which, value = ("normal", normal) if not -(2**31) <= normal < 2**31 else ("sparse", sparse)
                assert checked == (vantorelle.InvalidInputError,
                                   f"Invalid argument: Expected {which} precision to fit 32 bits but was {value}")
                continue
            if isinstance(sketch, tuple):
                # The same text, as the package's class for the class's built-in.
                assert isinstance(checked, tuple) and issubclass(checked[0], sketch[0]), (normal, sparse)
                assert checked[1] == sketch[1], (normal, sparse)
                continue
            assert checked is None
            sketch = filled(bytes, 3000 if normal == 10 else 5, normal, sparse)
            assert _native.describe(sketch.to_bytes()) == {
                "value_type": "text or bytes",
                "normal_precision": sketch.normal_precision,
                "sparse_precision": sketch.sparse_precision,
                "form": "normal" if normal == 10 or not sparse else "sparse",
                "values": sketch.num_values(),
                "bytes": len(sketch.to_bytes()),
            }
    # (empty bytes are called empty, as every door but the class calls them)
    with pytest.raises(ValueError, match=r"the serialised sketch is empty \(0 bytes\)"):
        _native.describe(b"")
