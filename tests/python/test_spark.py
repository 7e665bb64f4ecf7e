"""vantorelle.spark on one local Spark session (local[2], four shuffle
partitions) shared by the test run; tables come from several Parquet files,
so groups are spread over partitions and merged after the shuffle."""

import dask.dataframe as dd
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from grouped_tables import expected_sketches, is_dense, random_table, write_parts
from pyspark.sql import functions as F

import vantorelle
import vantorelle.dask as vd
import vantorelle.duckdb as vdb
import vantorelle.spark as vs

KEYS = ["k1", "k2"]


@pytest.fixture(scope="module")
def events(tmp_path_factory):
    table = random_table(seed=17)
    return table, write_parts(table, tmp_path_factory.mktemp("events"))


def by_key(rows, keys, column):
    return {tuple(row[key] for key in keys): row[column] for row in rows}


def test_group_sketches_equal_sketches_of_each_groups_rows(spark, events):
    table, path = events
    df = spark.read.parquet(str(path))
    assert df.rdd.getNumPartitions() > 1
    precisions = {"vi": (15, 20), "vs": (15, 20), "vb": (14, 25)}
    per_column = {column: expected_sketches(table, KEYS, column, *precisions[column])
                  for column in precisions}
    for column, expected in per_column.items():
        rows = vs.sketch_by(df, KEYS, column, None, *precisions[column]).withColumn(
            "n", vs.estimate("sketch")).collect()
        got = by_key(rows, KEYS, "sketch")
        assert len(rows) == len(got) and got.keys() == expected.keys(), column
        for key, serialised in expected.items():
            assert got[key] == serialised, (column, key)
        estimates = by_key(rows, KEYS, "n")
        assert estimates == {key: vantorelle.from_bytes(s).result() for key, s in expected.items()}
    # The sizes drawn put groups on both sides of the switch.
    assert {is_dense(s) for s in per_column["vi"].values()} == {True, False}

    rows = df.groupBy(*KEYS).agg(
        vs.sketch_agg("vi").alias("si"),
        vs.sketch_agg(F.col("vs")).alias("ss"),
        vs.sketch_agg("vb", normal_precision=13, sparse_precision=None).alias("sb"),
    ).collect()
    assert by_key(rows, KEYS, "si") == per_column["vi"]
    assert by_key(rows, KEYS, "ss") == per_column["vs"]
    assert by_key(rows, KEYS, "sb") == expected_sketches(table, KEYS, "vb", 13, None)


def test_roll_ups_and_parquet_in_both_directions(spark, events, tmp_path):
    table, path = events
    df = spark.read.parquet(str(path))
    by_first = {key[0]: s for key, s in expected_sketches(table, ["k1"], "vs").items()}

    # Spark writes; Spark, DuckDB, Dask and vantorelle.from_bytes read.
    daily = tmp_path / "daily"
    vs.sketch_by(df, KEYS, "vs").write.parquet(str(daily))
    stored = spark.read.parquet(str(daily))
    assert by_key(vs.merge_by(stored, "k1").collect(), ["k1"], "sketch") == {
        (key,): s for key, s in by_first.items()}
    assert by_key(stored.groupBy("k1").agg(vs.merge_agg("sketch").alias("m")).collect(),
                  ["k1"], "m") == {(key,): s for key, s in by_first.items()}

    connection = vdb.connect()
    rolled = connection.sql(
        f"SELECT k1, vantorelle_merge(sketch) FROM read_parquet('{daily}/*.parquet') "
        "GROUP BY k1").fetchall()
    assert dict(rolled) == by_first
    frame = dd.read_parquet(str(daily))
    dask_rolled = frame.groupby("k1").sketch.agg(vd.merge_aggregation()).compute()
    assert {key: dask_rolled[key] for key in dask_rolled.index} == {
        key: s for key, s in by_first.items() if key is not None}
    read_back = pq.read_table(daily)
    per_group = expected_sketches(table, KEYS, "vs")
    for k1, k2, serialised in zip(*(read_back.column(c).to_pylist() for c in KEYS + ["sketch"])):
        assert vantorelle.from_bytes(serialised).to_bytes() == per_group[(k1, k2)]

    # DuckDB writes the groups of k2 = 'a', pandas the others; Spark merges both.
    duck_file, pandas_file = tmp_path / "duck.parquet", tmp_path / "pandas.parquet"
    connection.execute(
        f"COPY (SELECT k1, k2, vantorelle_sketch(vi) AS sketch "
        f"FROM read_parquet('{path}/*.parquet') WHERE k2 = 'a' GROUP BY k1, k2) "
        f"TO '{duck_file}' (FORMAT parquet)")
    connection.close()
    others = [(key, s) for key, s in expected_sketches(table, KEYS, "vi").items()
              if key[1] != "a"]
    pd.DataFrame({
        "k1": pd.array([key[0] for key, _ in others], dtype="Int64"),
        "k2": [key[1] for key, _ in others],
        "sketch": pd.Series([s for _, s in others], dtype=pd.ArrowDtype(pa.binary())),
    }).to_parquet(pandas_file)
    both = spark.read.parquet(str(duck_file)).unionByName(spark.read.parquet(str(pandas_file)))
    merged = by_key(vs.merge_by(both, "k1").collect(), ["k1"], "sketch")
    assert merged == {key: s for key, s in expected_sketches(table, ["k1"], "vi").items()}


def test_errors_name_the_column_or_group_and_reach_the_driver(spark, events):
    frame = spark.createDataFrame(
        [(1, 0.5, "x", bytearray(vantorelle.sketch([1, 2]).to_bytes())),
         (2, 1.5, "y", bytearray(b"\x08\x70\x10\x01\xff")),
         (2, 2.5, "z", None)],
        "k long, f double, s string, sketch binary")
    with pytest.raises(TypeError, match="column 'f' of type double"):
        vs.sketch_by(frame, "k", "f")
    with pytest.raises(TypeError, match="column 's' holds string"):
        vs.merge_by(frame, "k", "s")
    with pytest.raises(ValueError, match="no column 'nope'"):
        vs.sketch_by(frame, "nope", "s")
    with pytest.raises(Exception, match=r"column 'sketch', group \(k=2\)") as caught:
        vs.merge_by(frame, "k").collect()
    assert "CorruptSketchError" in str(caught.value)  # a ValueError, raised in the worker
    with pytest.raises(Exception, match="vantorelle.spark.estimate, column 'sketch'"):
        frame.select(vs.estimate("sketch")).collect()
    with pytest.raises(Exception, match="vantorelle.spark.sketch_agg, column 'f'"):
        frame.groupBy("k").agg(vs.sketch_agg("f")).collect()
    # Sketches of integers and of text do not merge.
    mixed = spark.createDataFrame(
        [(1, bytearray(vantorelle.sketch([1]).to_bytes())),
         (1, bytearray(vantorelle.sketch(["a"]).to_bytes()))], "k long, sketch binary")
    with pytest.raises(Exception, match=r"merge_by, column 'sketch', group \(k=1\).*incompatible"):
        vs.merge_by(mixed, "k").collect()
    # After the failed jobs: dates and timestamps as keys, through Arrow and back.
    keyed = frame.select(
        F.date_add(F.lit("2024-02-28").cast("date"), F.col("k").cast("int")).alias("d"),
        F.col("k").cast("timestamp").alias("t"), "s")
    rows = vs.sketch_by(keyed, ["d", "t"], "s").select(
        "d", "t", vs.estimate("sketch").alias("n"),
        vs.estimate(F.lit(None).cast("binary")).alias("none")).collect()
    assert sorted((row.d.isoformat(), row.t.timestamp(), row.n, row.none) for row in rows) == [
        ("2024-02-29", 1.0, vantorelle.count_distinct(["x"]), 0),
        ("2024-03-01", 2.0, vantorelle.count_distinct(["y", "z"]), 0)]
