"""vantorelle.spark on one local Spark session (local[2], four shuffle
partitions) shared by the test run; tables come from several Parquet files,
so groups are spread over partitions and merged after the shuffle."""

import re

import dask.dataframe as dd
import duckdb
import numpy as np
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
from vantorelle import CorruptSketchError, InvalidInputError

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
    with pytest.raises(vantorelle.RefusedValueError, match="column 'f' of type double"):
        vs.sketch_by(frame, "k", "f")
    # A ty its values do not fit, and a name with a dot, before any job.
    with pytest.raises(vantorelle.RefusedValueError, match="column 'k' of type bigint with ty=str"):
        vs.sketch_by(frame, "s", "k", ty=str)
    with pytest.raises(ValueError, match="has a dot in its name"):
        vs.sketch_by(frame.withColumnRenamed("k", "k.1"), "k.1", "s")
    with pytest.raises(TypeError, match="column 's' holds string"):
        vs.merge_by(frame, "k", "s")
    with pytest.raises(ValueError, match="no column 'nope'"):
        vs.sketch_by(frame, "nope", "s")
    # Keys the core does not group by, refused before any job runs.
    with pytest.raises(vantorelle.RefusedValueError, match="column 'f' holds float64 values"):
        vs.sketch_by(frame, "f", "s")
    nested = frame.select(F.struct("k").alias("n"), "sketch")
    with pytest.raises(vantorelle.RefusedValueError, match="column 'n' holds struct values"):
        vs.merge_by(nested, "n")
    with pytest.raises(CorruptSketchError) as reason:
        vantorelle.validate(b"\x08\x70\x10\x01\xff")
    with pytest.raises(Exception) as caught:
        vs.merge_by(frame, "k").collect()
    # A ValueError, raised in the worker, naming the group once and no row of
    # the worker's batch.
    assert re.search(r"^vantorelle\.CorruptSketchError: vantorelle\.spark\.merge_by, column 'sketch', "
                     rf"group \(k=2\): not a valid sketch: {re.escape(str(reason.value))}$",
                     str(caught.value), re.M)
    with pytest.raises(Exception, match="vantorelle.spark.estimate, column 'sketch'"):
        frame.select(vs.estimate("sketch")).collect()
    with pytest.raises(Exception, match="vantorelle.spark.sketch_agg, column 'f'"):
        frame.groupBy("k").agg(vs.sketch_agg("f")).collect()
    # Sketches of integers and of text do not merge.
    mixed = spark.createDataFrame(
        [(1, bytearray(vantorelle.sketch([1]).to_bytes())),
         (1, bytearray(vantorelle.sketch(["a"]).to_bytes()))], "k long, sketch binary")
    with pytest.raises(Exception) as caught:
        vs.merge_by(mixed, "k").collect()
    assert re.search(r"^vantorelle\.IncompatibleSketchError: vantorelle\.spark\.merge_by, column "
                     r"'sketch', group \(k=1\): its sketches do not merge: [^\n(]*incompatible[^\n(]*$",
                     str(caught.value), re.M)
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


@pytest.mark.parametrize("value, type_name", [
    ("CAST(id AS TIMESTAMP)", "timestamp"), ("INTERVAL '1' YEAR", "interval year")])
def test_refused_value_types_say_what_is_counted(spark, value, type_name):
    frame = spark.range(1).selectExpr("id AS k", f"{value} AS v")
    with pytest.raises(vantorelle.RefusedValueError, match=rf"column 'v' of type {type_name}: "
                       ".*integers, booleans, strings and binary are counted"):
        vs.sketch_by(frame, "k", "v")


# --- the SQL functions on the JVM ----------------------------------------------


@pytest.fixture(scope="module")
def sql(spark, events):
    """The shared session with the JVM functions registered, and the events
    as the view `events`."""
    vs.register(spark)
    _, path = events
    spark.read.parquet(str(path)).createOrReplaceTempView("events")
    return spark


def test_sql_sketches_equal_sketch_by_beside_builtin_aggregates(sql, events):
    table, _ = events
    rows = sql.sql(
        "SELECT k1, k2, vantorelle_sketch(vi) AS si, vantorelle_sketch(vs, 15, 20) AS ss, "
        "vantorelle_sketch(vb, 14, 25) AS sb, vantorelle_sketch(vb, 13, 0) AS sb13, "
        "count(*) AS n, sum(vi % 1000) AS total, count(DISTINCT vs) AS exact, "
        "vantorelle_estimate(vantorelle_sketch(vs)) AS e "
        "FROM events GROUP BY k1, k2").collect()
    assert by_key(rows, KEYS, "si") == expected_sketches(table, KEYS, "vi")
    assert by_key(rows, KEYS, "ss") == expected_sketches(table, KEYS, "vs")
    assert by_key(rows, KEYS, "sb") == expected_sketches(table, KEYS, "vb", 14, 25)
    assert by_key(rows, KEYS, "sb13") == expected_sketches(table, KEYS, "vb", 13, None)
    assert by_key(rows, KEYS, "e") == {
        key: vantorelle.from_bytes(s).result()
        for key, s in expected_sketches(table, KEYS, "vs").items()}
    frame = table.to_pandas()
    counts = frame.groupby(KEYS, dropna=False).size()
    assert by_key(rows, KEYS, "n") == {
        tuple(None if pd.isna(k) else k for k in key): n for key, n in counts.items()}
    # Spark's % keeps the dividend's sign.
    assert sum(row.total or 0 for row in rows) == sum(
        abs(v) % 1000 * (1 if v >= 0 else -1) for v in table.column("vi").to_pylist()
        if v is not None)
    # The DataFrame API, on a table of booleans and small integers (counted as
    # integers, booleans as 0 and 1) without any value in one group.
    small = sql.createDataFrame(
        [(1, True, 3, None), (1, False, 3, "x"), (1, None, -2, "y"), (2, None, None, None)],
        "k int, b boolean, t tinyint, s string")
    got = small.groupBy("k").agg(
        F.call_function("vantorelle_sketch", "b").alias("sb"),
        F.call_function("vantorelle_sketch", F.col("t"), F.lit(12)).alias("st"),
        F.call_function("vantorelle_sketch", "s").alias("ss"),
        F.count("s").alias("n")).collect()
    assert {row.k: (bytes(row.sb), bytes(row.st), bytes(row.ss), row.n) for row in got} == {
        1: (vantorelle.sketch([1, 0]).to_bytes(), vantorelle.sketch([3, 3, -2], int, 12).to_bytes(),
            vantorelle.sketch(["x", "y"]).to_bytes(), 2),
        2: (vantorelle.sketch([], int).to_bytes(), vantorelle.sketch([], int, 12).to_bytes(),
            vantorelle.sketch([], str).to_bytes(), 0)}
    # vantorelle_merge of a group of NULL sketches is NULL.
    assert sql.sql("SELECT vantorelle_merge(CAST(NULL AS BINARY)) AS m").collect()[0].m is None


def test_sql_sketches_of_many_groups_after_spark_falls_back_to_sorting(sql, tmp_path):
    """Past 128 groups in a task Spark aggregates by sorting, and every
    group's buffer (its sketch so far and its pending values) is stored
    between the partial and the final step. Seeded tables of many small
    groups, groups without values and one group large enough to be sketched
    before it is stored, against the package's sketches and estimates."""
    for seed in range(2):
        rng = np.random.default_rng(seed)
        small, big = 600 + 200 * seed, 15_000
        keys = np.concatenate([rng.integers(0, small, 6_000), np.full(big, -1),
                               np.arange(small, small + 20)])
        values = rng.integers(-40_000, 40_000, keys.size)
        missing = (rng.random(keys.size) < 0.05) | (keys >= small)
        order = rng.permutation(keys.size)
        keys, values, missing = keys[order], values[order], missing[order]
        ints = [None if m else int(v) for v, m in zip(values, missing)]
        table = pa.table({
            "k": pa.array(keys, pa.int64()),
            "vi": pa.array(ints, pa.int64()),
            "vs": pa.array([None if v is None else f"é{v}" for v in ints], pa.string()),
            "vb": pa.array([None if v is None else str(v).encode() * 3 for v in ints],
                           pa.binary()),
        })
        sql.read.parquet(str(write_parts(table, tmp_path / f"many{seed}"))) \
            .createOrReplaceTempView("many")
        rows = sql.sql(
            "SELECT k, vantorelle_sketch(vi) AS si, vantorelle_sketch(vs, 14, 0) AS ss, "
            "vantorelle_sketch(vb) AS sb, vantorelle_estimate(vantorelle_sketch(vs)) AS e "
            "FROM many GROUP BY k").collect()
        assert by_key(rows, ["k"], "si") == expected_sketches(table, ["k"], "vi")
        assert by_key(rows, ["k"], "ss") == expected_sketches(table, ["k"], "vs", 14, 0)
        assert by_key(rows, ["k"], "sb") == expected_sketches(table, ["k"], "vb")
        assert by_key(rows, ["k"], "e") == {
            key: vantorelle.from_bytes(s).result()
            for key, s in expected_sketches(table, ["k"], "vs").items()}


def test_partial_step_in_every_key_shape_with_any_buffer_budget(sql, tmp_path):
    """vantorelle_sketch's partial step runs in its own plan node: one integer
    key and one BIGINT value sorted by a radix sort over the keys' range (the
    extremes of BIGINT and negative keys included), other shapes through a
    table of integer keys or of key rows; null keys, null values, a group of
    nulls only, runs long enough to be sketched before the shuffle beside
    single values. Read from a columnar and from a row scan, with the default
    buffer budget and with one so small that every task writes many partial
    rows per key. Seeded tables against sketches added row by row."""
    settings = [{}, {"spark.vantorelle.partialAggregationBytes": "1"},
                {"spark.vantorelle.partialAggregationBytes": "1k"},
                {"spark.sql.parquet.enableVectorizedReader": "false"}]
    queries = {
        "SELECT k, vantorelle_sketch(vi) AS s FROM shapes GROUP BY k": (["k"], "vi"),
        "SELECT k, vantorelle_sketch(vi) AS si, vantorelle_sketch(vs) AS s FROM shapes "
        "GROUP BY k": (["k"], "vs"),
        "SELECT ks, ki, vantorelle_sketch(vi) AS s FROM shapes GROUP BY ks, ki": (["ks", "ki"], "vi"),
    }
    for seed in range(2):
        rng = np.random.default_rng(seed)
        n = 12_000
        info = np.iinfo(np.int64)
        keys = np.where(rng.random(n) < 0.5, rng.integers(-50, 50, n),
                        rng.choice([info.min, info.max, -1, 0], n))
        keys = np.where(rng.random(n) < 0.05, rng.integers(0, 1 << 40, n), keys)
        keys[:50] = 1 << 50  # a group whose values are all null
        values = rng.integers(-10**6, 10**6, n)
        null_key = rng.random(n) < 0.03
        null_value = (rng.random(n) < 0.05) | (keys == 1 << 50)
        k = [None if m else int(v) for v, m in zip(keys, null_key)]
        vi = [None if m else int(v) for v, m in zip(values, null_value)]
        table = pa.table({
            "k": pa.array(k, pa.int64()),
            "ki": pa.array([None if v is None else v % 1000 - 500 for v in k], pa.int32()),
            "ks": pa.array([None if v is None else f"k{v % 7}" for v in k], pa.string()),
            "vi": pa.array(vi, pa.int64()),
            "vs": pa.array([None if v is None else f"{v}é" for v in vi], pa.string()),
        })
        sql.read.parquet(str(write_parts(table, tmp_path / f"shapes{seed}"))) \
            .createOrReplaceTempView("shapes")
        expected = {query: expected_sketches(table, keys, column)
                    for query, (keys, column) in queries.items()}
        narrow = {key: vantorelle.from_bytes(s).result()
                  for key, s in expected_sketches(table, ["ki"], "vi", 12, 17).items()}
        for setting in settings:
            for name, value in setting.items():
                sql.conf.set(name, value)
            try:
                for query, (keys, _) in queries.items():
                    found = sql.sql(query)
                    assert by_key(found.collect(), keys, "s") == expected[query], (query, setting)
                    plan = found._jdf.queryExecution().executedPlan().toString()
                    assert "VantorelleSketchPartialAggregate" in plan
                rows = sql.sql("SELECT ki, vantorelle_estimate(vantorelle_sketch(vi, 12, 17)) AS e "
                               "FROM shapes GROUP BY ki").collect()
                assert by_key(rows, ["ki"], "e") == narrow, setting
            finally:
                for name in setting:
                    sql.conf.unset(name)


def test_estimate_of_a_sketch_built_in_the_query_is_the_estimate_of_its_bytes(sql, tmp_path):
    # Groups whose sparse buffer, flushed when the bytes are written, would
    # take the sketch past its sparse budget: the bytes hold a normal sketch.
    sizes = range(250, 4100, 150)
    keys = np.repeat(np.arange(len(sizes)), sizes)
    table = pa.table({"k": pa.array(keys, pa.int64()),
                      "v": pa.array(np.arange(keys.size) * 7919, pa.int64())})
    sql.read.parquet(str(write_parts(table, tmp_path / "edges", parts=1))).createOrReplaceTempView("edges")
    for precisions in [(10, 20), (11, 25)]:
        rows = sql.sql(f"SELECT k, vantorelle_estimate(vantorelle_sketch(v, {precisions[0]}, {precisions[1]})) "
                       "AS e FROM edges GROUP BY k").collect()
        assert by_key(rows, ["k"], "e") == {
            key: vantorelle.from_bytes(s).result()
            for key, s in expected_sketches(table, ["k"], "v", *precisions).items()}, precisions


def test_roll_ups_grouping_sets_parquet_and_scalars(sql, events, tmp_path):
    table, _ = events
    per_group = expected_sketches(table, KEYS, "vs")
    by_first = expected_sketches(table, ["k1"], "vs")
    whole = vantorelle.sketch([v for v in table.column("vs").to_pylist() if v is not None],
                              str).to_bytes()

    rolled = sql.sql(
        "SELECT k1, k2, grouping_id() AS g, vantorelle_sketch(vs) AS s FROM events "
        "GROUP BY ROLLUP (k1, k2)").collect()
    grouped = {0: {}, 1: {}, 3: {}}
    for row in rolled:
        grouped[row.g][(row.k1, row.k2)] = bytes(row.s)
    assert grouped[0] == per_group
    assert grouped[1] == {(k1, None): s for (k1,), s in by_first.items()}
    assert grouped[3] == {(None, None): whole}

    # Spark writes; pyarrow with vantorelle.from_bytes and plain DuckDB read.
    daily = tmp_path / "daily"
    sql.sql("SELECT k1, k2, vantorelle_sketch(vs) AS sketch FROM events GROUP BY k1, k2") \
        .write.parquet(str(daily))
    read_back = pq.read_table(daily)
    for k1, k2, serialised in zip(*(read_back.column(c).to_pylist() for c in KEYS + ["sketch"])):
        assert vantorelle.from_bytes(serialised).to_bytes() == per_group[(k1, k2)]
    with duckdb.connect() as connection:
        assert {(k1, k2): s for k1, k2, s in connection.execute(
            f"SELECT k1, k2, sketch FROM read_parquet('{daily}/*.parquet')").fetchall()} == per_group
        # DuckDB writes stored sketches (made by the package); Spark rolls them up.
        stored = pa.table({"k1": [key[0] for key in per_group], "k2": [key[1] for key in per_group],
                           "sketch": pa.array(list(per_group.values()), pa.binary())})
        connection.register("stored", stored)
        duck_file = tmp_path / "duck.parquet"
        connection.execute(f"COPY stored TO '{duck_file}' (FORMAT parquet)")
    sql.read.parquet(str(duck_file)).createOrReplaceTempView("stored")
    merged = sql.sql(
        "SELECT k1, grouping_id() AS g, vantorelle_merge(sketch) AS m, "
        "vantorelle_estimate(vantorelle_merge(sketch)) AS e, count(sketch) AS n FROM stored "
        "GROUP BY GROUPING SETS ((k1), ())").collect()
    assert {row.k1: bytes(row.m) for row in merged if row.g == 0} == {
        k1: s for (k1,), s in by_first.items()}
    assert [(bytes(row.m), row.e, row.n) for row in merged if row.g == 1] == [
        (whole, vantorelle.from_bytes(whole).result(), len(per_group))]

    # Many stored sketches per group: merged a batch at a time, partial
    # buffers (with sketches still pending) shuffled between partitions.
    parts = [(i % 2, vantorelle.sketch(range(i * 40, i * 40 + 60)).to_bytes()) for i in range(700)]
    many = sql.createDataFrame([(k, bytearray(b)) for k, b in parts], "k int, sketch binary") \
        .repartition(4)
    got = many.groupBy("k").agg(F.call_function("vantorelle_merge", "sketch").alias("m")).collect()
    assert {row.k: bytes(row.m) for row in got} == {
        k: vantorelle.merge_all([b for key, b in parts if key == k]).to_bytes() for k in (0, 1)}

    # The scalars against the package's functions, NULL sides included.
    sketches = sorted(per_group.values(), key=len)
    pairs = [(sketches[0], sketches[-1]), (sketches[-2], sketches[-1]), (sketches[1], None),
             (None, sketches[1]), (None, None)]
    frame = sql.createDataFrame([(bytearray(a) if a else None, bytearray(b) if b else None)
                                 for a, b in pairs], "a binary, b binary")
    got = frame.selectExpr(
        "vantorelle_estimate(a) AS e", "vantorelle_bounds(a, 0.9) AS bounds",
        "vantorelle_bounds(a, NULL) AS no_bounds", "vantorelle_union(a, b) AS u",
        "vantorelle_intersection(a, b) AS i", "vantorelle_jaccard(a, b) AS j").collect()
    empty = vantorelle.sketch([], str).to_bytes()
    for row, (a, b) in zip(got, pairs):
        assert row.e == (vantorelle.estimate(a) if a else 0)
        assert tuple(row.bounds) == (vantorelle.bounds(a, 0.9) if a else (0, 0))
        assert row.no_bounds is None
        if a is None and b is None:
            assert (row.u, row.i, row.j) == (0, 0, 0.0)
            continue
        assert row.u == vantorelle.union(a or empty, b or empty)
        assert row.i == (vantorelle.intersection(a, b) if a and b else 0)
        assert row.j == (vantorelle.jaccard(a, b) if a and b else 0.0)
    # Unaliased calls are named as written, the same in every query.
    named = frame.selectExpr("vantorelle_estimate(a)", "vantorelle_bounds(a, 0.9)",
                             "vantorelle_jaccard(a, b)")
    assert named.columns == ["vantorelle_estimate(a)", "vantorelle_bounds(a, 0.9)",
                             "vantorelle_jaccard(a, b)"]
    frame.createOrReplaceTempView("pairs")
    merged = "SELECT vantorelle_estimate(vantorelle_merge(a)) FROM pairs"
    assert sql.sql(merged).columns == sql.sql(merged).columns == [
        "vantorelle_estimate(vantorelle_merge(a))"]


def test_refusals_at_analysis_corrupt_sketches_and_no_native_state_left(sql):
    from pyspark.errors import AnalysisException

    described = [row[0] for row in sql.sql("DESCRIBE FUNCTION vantorelle_merge").collect()]
    assert "Usage: vantorelle_merge(sketch) - the group's stored sketches merged; NULL when all are NULL" in described

    sql.createDataFrame(
        [(1, 0.5, "x", bytearray(vantorelle.sketch([1, 2]).to_bytes())),
         (2, 1.5, "y", bytearray(b"\x08\x70\x10\x01\xff")),
         (2, 2.5, "z", None)],
        "k long, f double, s string, sketch binary").createOrReplaceTempView("bad")
    refusals = {
        "SELECT vantorelle_sketch(f) FROM bad": "cannot count f of type DOUBLE",
        "SELECT vantorelle_sketch(CAST(f AS DECIMAL(4, 1))) FROM bad": "of type DECIMAL(4,1)",
        "SELECT vantorelle_sketch(array(k)) FROM bad": "of type ARRAY<BIGINT>",
        "SELECT vantorelle_sketch(k, 30) FROM bad":
            "Expected normal precision to be >= 10 and <= 24 but was 30",
        "SELECT vantorelle_sketch(k, 15, 9) FROM bad": "sparse precision",
        "SELECT vantorelle_sketch(k, k) FROM bad": "must be an integer constant",
        "SELECT vantorelle_merge(s) FROM bad": "takes serialised sketches (BINARY)",
        "SELECT vantorelle_estimate(k) FROM bad": "not k of type BIGINT",
        "SELECT vantorelle_bounds(sketch, 1.5) FROM bad":
            "confidence must lie strictly between 0 and 1, not 1.5",
    }
    for query, message in refusals.items():
        # spark.sql analyses the query: refused before any job runs.
        with pytest.raises(AnalysisException, match=re.escape(message)):
            sql.sql(query)
    with pytest.raises(InvalidInputError) as core:
        vantorelle.sketch([1], int, 30)
    assert str(core.value) in refusals_text(sql, "SELECT vantorelle_sketch(k, 30) FROM bad")

    with pytest.raises(CorruptSketchError) as caught:
        vantorelle.from_bytes(b"\x08\x70\x10\x01\xff")
    reason = str(caught.value)
    before = vs.live_native_states(sql)
    failing = {
        "SELECT k, vantorelle_merge(sketch) FROM bad GROUP BY k":
            r"vantorelle_merge, column sketch, group \(k=2\)",
        # Whichever of the bad row's groups fails first: (2, y), (2, NULL) or the total.
        "SELECT k, s, vantorelle_merge(sketch) FROM bad GROUP BY ROLLUP (k, s)":
            r"vantorelle_merge, column sketch, group \(k=(2|NULL), s=('y'|NULL)\)",
        # Keys as the result names them, whatever the optimiser made of them.
        "SELECT k % 10 AS b, vantorelle_merge(sketch) FROM bad GROUP BY k % 10": r"group \(b=2\)",
        "SELECT vantorelle_merge(sketch) FROM bad GROUP BY k % 10": r"group \(\(k % 10\)=2\)",
        "SELECT 'x' AS tag, vantorelle_merge(sketch) FROM bad GROUP BY 'x'": r"group \(tag='x'\)",
        "SELECT t, vantorelle_merge(sketch) FROM (SELECT CAST(k AS TIMESTAMP) AS t, sketch "
        "FROM bad) GROUP BY t": r"group \(t=1970-01-01 00:00:02\)",
        "SELECT vantorelle_merge(sketch) FROM bad": r"vantorelle_merge, column sketch: ",
        # A scalar function names the column of the corrupt sketch as the query does.
        "SELECT vantorelle_estimate(sketch) FROM bad": "vantorelle_estimate, column sketch: ",
        f"SELECT vantorelle_union(a, b) FROM (SELECT X'{vantorelle.sketch([3]).to_bytes().hex()}' AS a, "
        "sketch AS b FROM bad)": "vantorelle_union, column b: ",
    }
    for query, where in failing.items():
        with pytest.raises(Exception, match="CorruptSketchException") as failed:
            sql.sql(query).collect()
        assert re.search(where, str(failed.value)) and reason in str(failed.value), where
    assert vs.live_native_states(sql) == before
    # Sketches of integers and of text do not merge.
    with pytest.raises(Exception, match="IncompatibleSketchException"):
        sql.sql("SELECT vantorelle_merge(s) FROM (SELECT vantorelle_sketch(k) AS s FROM bad "
                "UNION ALL SELECT vantorelle_sketch(s) FROM bad)").collect()
    # The session works on after the failed jobs.
    assert sql.sql("SELECT vantorelle_estimate(vantorelle_sketch(s)) AS n FROM bad") \
        .collect()[0].n == 3
    try:
        for setting in ("lots", "9999999999999g"):  # (the second past Long.MAX_VALUE)
            sql.conf.set("spark.vantorelle.partialAggregationBytes", setting)
            with pytest.raises(Exception, match="partialAggregationBytes must be a size in bytes"):
                sql.sql("SELECT k, vantorelle_sketch(k) FROM bad GROUP BY k").collect()
    finally:
        sql.conf.unset("spark.vantorelle.partialAggregationBytes")


def refusals_text(spark, query):
    from pyspark.errors import AnalysisException

    try:
        spark.sql(query)
    except AnalysisException as error:
        return str(error)
    return ""


def test_configure_adds_jar_and_extensions_to_what_the_builder_has():
    from pyspark.sql import SparkSession

    builder = SparkSession.Builder().config("spark.jars", "/x/other.jar") \
        .config("spark.sql.extensions", "com.example.Extensions")
    vs.configure(vs.configure(builder))
    assert builder._options["spark.jars"] == f"/x/other.jar,{vs.jar_path()}"
    assert builder._options["spark.sql.extensions"] == f"com.example.Extensions,{vs.EXTENSIONS}"


def test_jar_carries_every_library_its_native_library_needs(tmp_path):
    # An executor may lack libprotobuf-lite: the jar brings whatever the JNI
    # library needs beyond the C and C++ runtimes, listed before it.
    import shutil
    import subprocess
    import zipfile

    if shutil.which("readelf") is None:
        pytest.skip("no readelf")
    folder = "org/vantorelle/spark/native/"
    with zipfile.ZipFile(vs.jar_path()) as jar:
        carried = {name[len(folder):] for name in jar.namelist() if name.startswith(folder)}
        order = jar.read(folder + "libraries").decode().split()
        jar.extract(folder + "libvantorelle_spark.so", tmp_path)
    dynamic = subprocess.run(["readelf", "-d", str(tmp_path / folder / "libvantorelle_spark.so")],
                             capture_output=True, text=True, check=True).stdout
    runtime = re.compile(r"lib(c|m|dl|pthread|rt|stdc\+\+|gcc_s)\.so\.\d+$|ld-linux")
    needed = [name for name in re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", dynamic)
              if not runtime.match(name)]
    assert order[-1] == "libvantorelle_spark.so"
    assert set(needed) <= set(order[:-1]) and set(order) <= carried
