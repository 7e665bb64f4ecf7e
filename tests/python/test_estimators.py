"""vantorelle.bounds / std_error / estimate / intersection / union / jaccard
and the native column entry point, against exact counts of seeded streams."""

import random
import struct

import pytest

import vantorelle
from vantorelle import _native

HLL = vantorelle.HyperLogLogPlusPlus


def sketch_of(values, p=12, sp=17, ty=int):
    sketch = HLL(ty, normal_precision=p, sparse_precision=sp)
    for value in values:
        sketch.add(value)
    return sketch


def test_small_exact_cases_are_exact_and_bounded():
    """Sparse sketches of up to a few hundred values at sp = 25 hold every
    value on its own index: each method gives the count and every interval
    holds it, also for merged sketches and for serialised input."""
    rng = random.Random(18)
    for trial in range(60):
        p = rng.choice([10, 12, 15, 18])
        # Few enough values that the sketch stays sparse (3 bytes a value).
        n = rng.choice([0, 1, 2, 3, rng.randrange(4, 200 if p == 10 else 400)])
        values = rng.sample(range(-(1 << 60), 1 << 60), n)
        whole = sketch_of(values, p, 25)
        merged = sketch_of(values[: n // 2], p, 25)
        merged.merge(sketch_of(values[n // 2 :], p, 25).to_bytes())
        for sketch in (whole, merged, whole.to_bytes(), bytearray(merged.to_bytes())):
            for method in ("default", "improved", "ml"):
                assert vantorelle.estimate(sketch, method) == n, (trial, method)
            # Fewer than 400 values in 2^25 cells collide with odds under
            # 0.25 %: below every tail here, so the interval is the count.
            for confidence in (0.5, 0.68, 0.95, 0.99):
                assert vantorelle.bounds(sketch, confidence) == (n, n), (trial, confidence)


def test_bounds_hold_the_truth_across_forms():
    """Small and middling n in every form: each interval contains the count
    and nests by confidence; the lower end is never above the count of
    collision-free sparse sketches."""
    rng = random.Random(1702)
    for trial in range(40):
        n = rng.choice([1, 5, 50, 500, 3000, 20000])
        p = rng.choice([10, 14])
        sp = rng.choice([None, p + 5, 25])
        values = rng.sample(range(1 << 40), n)
        sketch = vantorelle.sketch(values, int, p, sp)
        previous = None
        for confidence in (0.99, 0.95, 0.68):
            lower, upper = vantorelle.bounds(sketch, confidence)
            assert lower <= upper
            if previous:
                assert previous[0] <= lower and upper <= previous[1]
            previous = (lower, upper)
        lower, upper = vantorelle.bounds(sketch, 0.99999)
        assert lower <= n <= upper, (trial, n, p, sp, lower, upper)
        assert vantorelle.std_error(sketch) >= 0


def simulated_registers(rng, n, p):
    """The registers at precision p of n distinct ideal 64-bit hashes: a
    multinomial split over the registers, each the maximum rank of its share
    (as bench/estimator_study.py draws them)."""
    np = pytest.importorskip("numpy")
    counts = rng.multinomial(n, np.full(1 << p, 1.0 / (1 << p)))
    registers = np.zeros(1 << p, np.uint8)
    filled = counts > 0
    gap = -np.expm1(np.log(rng.random(int(filled.sum()))) / counts[filled])
    registers[filled] = np.clip(np.ceil(-np.log2(gap)), 1, 65 - p).astype(np.uint8)
    return registers.tobytes()


def coverage_rows():
    """(label, column of sketches, n, whether the interval is of the normal
    kind): dense sketches of simulated registers at p = 10 .. 14 (the full grid,
    to 18, is bench/accuracy.py's), loads from 0.3 to 60 per register, and sparse sketches of real streams on both sides
    of the switch from Poisson to normal tails."""
    np = pytest.importorskip("numpy")
    pa = pytest.importorskip("pyarrow")
    rng = np.random.default_rng(26)
    for p, streams in ((10, 600), (12, 500), (14, 300)):
        for load in (0.3, 2.0, 60.0):
            n = int(load * (1 << p))
            column = [_native.sketch_from_registers(simulated_registers(rng, n, p), p, p + 5) for _ in range(streams)]
            yield f"p {p}, n {n}, dense", column, n, True
    for p, sp, n, normal in ((10, 15, 300, False), (10, 15, 800, True), (15, 20, 12_000, True)):
        groups = 500
        table = pa.table({"k": np.repeat(np.arange(groups), n),
                          "v": rng.integers(-(1 << 63), (1 << 63) - 1, groups * n, dtype=np.int64, endpoint=True)})
        column = vantorelle.sketch_by(table, "k", "v", None, p, sp)["sketch"]
        yield f"p {p}, sp {sp}, n {n}, sparse", column, n, normal


def test_coverage_grid_and_unbiased_estimators():
    """The bounds hold the count at the stated confidence: within three
    binomial standard errors (plus half a point) of it where the interval is
    of the normal kind, and at least at it where collisions are few (Poisson
    tails). The estimators without bias tables are unbiased on the dense rows."""
    np = pytest.importorskip("numpy")
    for label, column, n, normal in coverage_rows():
        streams = len(column)
        for confidence in (0.68, 0.95, 0.99):
            estimates, lower, upper = _native.estimates(column, 2, 2, confidence)
            lower, upper = np.frombuffer(lower, np.int64), np.frombuffer(upper, np.int64)
            covered = float(np.mean((lower <= n) & (n <= upper)))
            slack = 3 * (confidence * (1 - confidence) / streams) ** 0.5 + 0.005
            assert covered >= confidence - slack, (label, confidence, covered)
            if normal:
                assert covered <= confidence + slack, (label, confidence, covered)
        if label.endswith("dense"):
            for code in (1, 2):
                errors = np.frombuffer(_native.estimates(column, 2, code), np.int64) / n - 1
                assert abs(errors.mean()) <= 4 * errors.std() / streams**0.5, (label, code)


@pytest.mark.parametrize("p, sp", [(12, 17), (12, None), (14, 25)])
def test_intersections_of_disjoint_identical_and_overlapping_streams(p, sp):
    rng = random.Random(p)
    for n, both in [(2000, 0), (2000, 2000), (40000, 0), (40000, 40000), (40000, 10000), (30000, 300)]:
        pool = rng.sample(range(1 << 50), 2 * n - both)
        a = vantorelle.sketch(pool[:n], int, p, sp)
        b = vantorelle.sketch(pool[n - both :], int, p, sp)
        union = 2 * n - both
        tolerance = 6 * 1.04 / (1 << p) ** 0.5 * union
        inter = vantorelle.intersection(a, b)
        assert abs(inter - both) <= tolerance, (n, both, inter)
        assert inter == vantorelle.intersection(b.to_bytes(), a)
        assert vantorelle.union(a, b) == vantorelle.union(b, a)
        assert abs(vantorelle.union(a, b) - union) <= tolerance
        assert vantorelle.jaccard(a, b) == pytest.approx(vantorelle.jaccard(b, a), rel=1e-6, abs=1e-9)
        assert abs(vantorelle.jaccard(a, b) - both / union) <= tolerance / union
    same = vantorelle.sketch(range(5000), int, p, sp)
    assert vantorelle.jaccard(same, same) == pytest.approx(1.0, abs=0.02)
    empty = HLL(int, normal_precision=p, sparse_precision=sp)
    assert vantorelle.intersection(empty, same) == 0
    assert vantorelle.jaccard(empty, empty) == 0.0


def test_intersections_lower_precisions_as_merge_does():
    values = list(range(30000))
    a = vantorelle.sketch(values[:20000], int, 15, 20)
    b = vantorelle.sketch(values[10000:], int, 12, 17)
    lowered = vantorelle.sketch(values[:20000], int, 12, 17)
    assert vantorelle.intersection(a, b) == vantorelle.intersection(lowered, b)


def test_refusals():
    longs = sketch_of(range(10))
    texts = sketch_of(["a", "b"], ty=str)
    for function in (vantorelle.intersection, vantorelle.union, vantorelle.jaccard):
        with pytest.raises(vantorelle.IncompatibleSketchError, match="different value types"):
            function(longs, texts)
    with pytest.raises(ValueError, match="method"):
        vantorelle.estimate(longs, "hll")
    for confidence in (0, 1, 1.5, -0.1, float("nan")):
        with pytest.raises(ValueError, match="confidence"):
            vantorelle.bounds(longs, confidence)
    with pytest.raises(TypeError, match="confidence"):
        vantorelle.bounds(longs, "0.9")
    with pytest.raises(TypeError):
        vantorelle.std_error("not a sketch")
    corrupt = longs.to_bytes()[:-1] + b"\xff"
    for call in (lambda: vantorelle.bounds(corrupt), lambda: vantorelle.estimate(corrupt, "ml"),
                 lambda: vantorelle.intersection(longs, corrupt), lambda: vantorelle.std_error(corrupt)):
        with pytest.raises(ValueError, match="sketch"):
            call()


@pytest.mark.parametrize("threads", [1, 3])
def test_native_column_estimates_match_the_single_calls(threads):
    """Every method, with and without bounds, on any thread count, for sparse
    sketches of several precision pairs (counted from their bytes) and
    normal ones (registers in place)."""
    rng = random.Random(3)
    column = []
    for _ in range(300):
        p = rng.choice([10, 11, 15])
        sp = rng.choice([p, p + 3, 25, None])
        size = rng.choice([0, 1, 7, 300, 5000, 20000])
        column.append(vantorelle.sketch(rng.sample(range(1 << 40), size), int, p, sp).to_bytes())
    column.insert(4, None)
    rows = len(column)
    for method, code in (("default", 0), ("improved", 1), ("ml", 2)):
        estimates, lower, upper = _native.estimates(iter(column), threads, code, 0.9)
        assert struct.unpack(f"={rows}q", estimates) == tuple(
            0 if data is None else vantorelle.estimate(data, method) for data in column)
        assert list(zip(struct.unpack(f"={rows}q", lower), struct.unpack(f"={rows}q", upper))) == [
            (0, 0) if data is None else vantorelle.bounds(data, 0.9) for data in column]
        assert bytes(_native.estimates(column, threads, code)) == bytes(estimates)
    with pytest.raises(ValueError, match="row 2"):
        _native.estimates([column[0], column[1], b"\x00"], threads, 0, 0.5)
    with pytest.raises(TypeError):
        _native.estimates(column[0], threads, 0)
    pa = pytest.importorskip("pyarrow")
    arrow = pa.chunked_array([column[:6], column[6:]], type=pa.binary())
    assert [bytes(c) for c in _native.estimates(arrow, threads, 1, 0.9)] == [
        bytes(c) for c in _native.estimates(column, threads, 1, 0.9)]


@pytest.mark.parametrize("method", ["default", "improved", "ml"])
def test_column_estimates_equal_the_sketch_functions(method):
    pa = pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    rng = random.Random(18)
    stored = [vantorelle.sketch([rng.getrandbits(63) for _ in range(rng.choice([0, 5, 900, 40_000]))],
                                int, rng.choice([10, 15]), rng.choice([None, 20])).to_bytes()
              for _ in range(12)] + [None]
    expected = [(0, 0, 0) if b is None else
                (vantorelle.estimate(b, method), *vantorelle.bounds(b, 0.9)) for b in stored]
    assert vantorelle.estimates(stored, method=method) == [e for e, _, _ in expected]
    assert vantorelle.estimates(stored, method=method, bounds=0.9) == expected
    # Any bytes-like item that from_bytes reads, a strided view too.
    np = pytest.importorskip("numpy")
    strided = [None if b is None else np.repeat(np.frombuffer(b, np.uint8), 2)[::2] for b in stored]
    assert vantorelle.estimates(strided, method=method) == [e for e, _, _ in expected]
    table = vantorelle.estimates(pa.array(stored, pa.binary()), method=method, bounds=0.9)
    assert list(zip(*(table.column(n).to_pylist() for n in ("estimate", "lower", "upper")))) == expected
    frame = vantorelle.estimates(pd.Series(stored, index=range(5, 18)), method=method, bounds=0.9)
    assert list(frame.index) == list(range(5, 18))
    assert list(frame.itertuples(index=False, name=None)) == expected
    assert vantorelle.estimates(pl.Series(stored), method=method, bounds=0.9).rows() == expected


def test_union_of_any_number_of_sketches():
    """Sparse sketches: the linear count of their united indices, which is the
    merged sketch's own estimate. Dense ones: near the truth, and a sketch
    united with itself is its own count."""
    rng = random.Random(31)
    parts = [rng.sample(range(1 << 40), size) for size in (3000, 500, 2000)]
    sparse = [vantorelle.sketch(values, int, 15, 25) for values in parts]
    assert vantorelle.union(*sparse) == vantorelle.merge_all(sparse).result()
    assert vantorelle.union(sparse[0], sparse[0]) == vantorelle.union(sparse[0]) == sparse[0].result()
    dense = [vantorelle.sketch(values, int, 10, None) for values in parts]
    truth = len({v for values in parts for v in values})
    assert abs(vantorelle.union(*dense) / truth - 1) < 0.12
    for union in (vantorelle.union(dense[0], dense[0]), vantorelle.union(dense[0])):
        assert abs(union / vantorelle.estimate(dense[0], "ml") - 1) < 0.01
    with pytest.raises(vantorelle.IncompatibleSketchError):
        vantorelle.union(sparse[0], vantorelle.sketch(["x"], str))
