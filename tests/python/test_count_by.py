"""vantorelle.count_by: the door over the martingale counter (whose statistics
are tested in tests/cpp/martingale_counts_test.cpp)."""

import numpy as np
import pyarrow as pa
import pytest

import vantorelle
from grouped_tables import random_table


def exact_counts(table, keys, column):
    groups = {}
    rows = table.select([*keys, column]).to_pylist()
    for row in rows:
        values = groups.setdefault(tuple(row[k] for k in keys), set())
        if row[column] is not None:
            values.add(row[column])
    return groups


@pytest.mark.parametrize("seed", range(2))
def test_counts_of_random_tables_hold_the_exact_counts(seed):
    table = random_table(seed)
    keys = ["k1", "k2"]
    for column in ("vi", "vs", "vb"):
        exact = exact_counts(table, keys, column)
        result = vantorelle.count_by(table, keys, column, bounds=0.999)
        sketched = vantorelle.sketch_by(table, keys, column)
        # Groups in the order sketch_by gives them, keys of the input's types.
        assert result.select(keys).equals(sketched.select(keys))
        assert result.schema.field("count").type == pa.int64()
        for row in result.to_pylist():
            truth = len(exact[(row["k1"], row["k2"])])
            # 2^20 cells count groups of up to 40,000 values within 0.07 % (one
            # standard error): 0.5 % is far out.
            assert abs(row["count"] - truth) <= 0.005 * truth, (row, truth)
            assert row["lower"] <= truth <= row["upper"], (row, truth)


def test_every_container_and_thread_count_gives_the_same_counts():
    table = random_table(5)
    expected = vantorelle.count_by(table, "k1", "vs", bounds=0.9, threads=1)
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=1000))
    assert vantorelle.count_by(reader, "k1", "vs", bounds=0.9, threads=3).equals(expected)
    import duckdb
    import polars as pl

    assert pl.from_arrow(expected).equals(vantorelle.count_by(pl.from_arrow(table), "k1", "vs", bounds=0.9))
    relation = vantorelle.count_by(duckdb.from_arrow(table), "k1", "vs", bounds=0.9)
    assert relation.to_arrow_table().equals(expected)
    frame = table.select(["k2", "vs"]).to_pandas()
    counted = vantorelle.count_by(frame, "k2", "vs", threads=2)
    assert list(counted.columns) == ["k2", "count"] and counted["count"].dtype == np.int64
    assert counted["count"].tolist() == vantorelle.count_by(table, "k2", "vs")["count"].to_pylist()


def test_more_accurate_than_the_estimates_of_sketches():
    """Dense groups at p = 10 with no sparse phase: the martingale beats the
    register estimate of the same registers, and is unbiased."""
    rng = np.random.default_rng(2026)
    groups, n = 300, 20_000
    table = pa.table({
        "k": np.repeat(np.arange(groups), n),
        "v": rng.integers(-(1 << 63), (1 << 63) - 1, groups * n, dtype=np.int64, endpoint=True),
    })
    counted = np.asarray(vantorelle.count_by(table, "k", "v", None, 10, None)["count"]) / n - 1
    sketched = vantorelle.sketch_by(table, "k", "v", None, 10, None)["sketch"]
    estimated = np.asarray(vantorelle.estimates(sketched)) / n - 1
    rms = np.sqrt(np.mean(counted**2))
    assert rms <= 0.9 * np.sqrt(np.mean(estimated**2))
    assert rms <= 0.9 * 1.04 / 32
    assert abs(counted.mean()) <= 4 * rms / np.sqrt(groups)


@pytest.mark.parametrize("kwargs, error, text", [
    ({"bounds": 1.0}, vantorelle.InvalidInputError, "strictly between 0 and 1"),
    ({"bounds": True}, vantorelle.RefusedValueError, "confidence must be a number between 0 and 1, not bool"),
    ({"bounds": "0.9"}, vantorelle.RefusedValueError, "confidence must be a number between 0 and 1, not str"),
    ({"ty": str}, vantorelle.RefusedValueError, "column 'v', row 0"),
    ({"normal_precision": 9}, ValueError, "precision"),
    ({"threads": 0}, vantorelle.InvalidInputError, "threads must be at least 1"),
])
def test_refusals(kwargs, error, text):
    table = pa.table({"k": [1, 2], "v": [3, 4]})
    with pytest.raises(error, match=text):
        vantorelle.count_by(table, "k", "v", **kwargs)


def test_a_key_named_like_a_result_column_is_refused():
    table = pa.table({"count": [1, 2], "v": [3, 4]})
    with pytest.raises(vantorelle.InvalidInputError, match="'count' would clash"):
        vantorelle.count_by(table, "count", "v")
