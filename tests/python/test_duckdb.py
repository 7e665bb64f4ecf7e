"""vantorelle's DuckDB extension through the duckdb package: the aggregates
against vantorelle.sketch_by / merge_by over the same rows, windows,
FILTER, Parquet both ways, the scalar functions against the Python ones,
refusals and corrupt sketches, a query under a memory limit, and no native
state left behind."""

import random

import duckdb
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from grouped_tables import expected_sketches, random_table
from support import state_message

import vantorelle
import vantorelle.duckdb as vdb
from vantorelle import _native


def live_states(connection):
    return connection.execute("SELECT vantorelle_live_states()").fetchall()[0][0]


@pytest.fixture
def connection():
    """One thread, so that every group's bytes are sketch_by's; after the
    test, no sketch may be left in an aggregate state, whatever failed."""
    with vdb.connect(threads=1) as connection:
        yield connection
        assert live_states(connection) == 0


def keyed(rows):
    return {tuple(row[:-1]): row[-1] for row in rows}


def by_key(table, keys, column="sketch"):
    columns = [table.column(name).to_pylist() for name in [*keys, column]]
    return {tuple(row[:-1]): row[-1] for row in zip(*columns)}


# Each DuckDB value type the aggregate counts, with random values of it.
def _integers(low, high):
    return lambda rng: rng.randint(low, high)


VALUE_TYPES = {
    "TINYINT": (pa.int8(), _integers(-128, 127)),
    "SMALLINT": (pa.int16(), _integers(-(2**15), 2**15 - 1)),
    "INTEGER": (pa.int32(), _integers(-(2**31), 2**31 - 1)),
    "BIGINT": (pa.int64(), _integers(-(2**63), 2**63 - 1)),
    "UTINYINT": (pa.uint8(), _integers(0, 255)),
    "USMALLINT": (pa.uint16(), _integers(0, 2**16 - 1)),
    "UINTEGER": (pa.uint32(), _integers(0, 2**32 - 1)),
    "UBIGINT": (pa.uint64(), _integers(0, 2**63 - 1)),
    "BOOLEAN": (pa.bool_(), lambda rng: rng.random() < 0.5),
    "VARCHAR": (pa.string(), lambda rng: f"ü-{rng.randint(0, 30_000)}" * rng.randint(1, 3)),
    "BLOB": (pa.binary(), lambda rng: rng.randbytes(rng.randint(0, 20))),
}


def typed_table(rng, arrow_type, make, rows=20_000):
    """Keys with groups small and large (sparse and normal sketches), NULL
    values, a group of NULLs only, and a NULL key."""
    keys, values = [], []
    for row in range(rows):
        key = rng.choice([0, 1, 1, 1, 1, 2, None])
        keys.append(key)
        values.append(None if rng.random() < 0.05 else make(rng))
    keys.append(9)
    values.append(None)
    return pa.table({"k": pa.array(keys, pa.int64()), "v": pa.array(values, arrow_type)})


@pytest.mark.parametrize("precisions", [(), (14, 25), (12, 0)])
def test_sketches_equal_sketch_by_for_every_value_type(connection, precisions):
    rng = random.Random(len(precisions))
    arguments = "".join(f", {p}" for p in precisions)
    for sql_type, (arrow_type, make) in VALUE_TYPES.items():
        table = typed_table(rng, arrow_type, make)
        connection.register("events", table)
        got = keyed(connection.execute(
            f"SELECT k, vantorelle_sketch(v{arguments}) FROM events GROUP BY k").fetchall())
        want = by_key(vantorelle.sketch_by(table, "k", "v", None, *precisions, threads=1), ["k"])
        assert got == want, sql_type
        assert connection.execute("SELECT typeof(v) FROM events LIMIT 1").fetchall() == [(sql_type,)]
        connection.unregister("events")

def assert_sketches_equal_sketch_by(connection, rows, precisions):
    """vantorelle_sketch of (key, int64 value) rows GROUP BY key gives
    sketch_by's bytes, one thread."""
    table = pa.table({"k": [k for k, _ in rows], "v": pa.array([v for _, v in rows], pa.int64())})
    connection.register("events", table)
    arguments = "".join(f", {p}" for p in precisions)
    got = keyed(connection.execute(f"SELECT k, vantorelle_sketch(v{arguments}) FROM events GROUP BY k").fetchall())
    assert got == by_key(vantorelle.sketch_by(table, "k", "v", None, *precisions, threads=1), ["k"])


@pytest.mark.parametrize("precisions", [(), (10,)])
def test_group_sizes_at_the_edges_of_the_slots_hash_buffers(connection, precisions):
    # A slot holds the codes of 10 values inline, then a buffer of 32
    # doubling up to 4096; past that, once its sketch exists, it gets them in
    # batches of 512. Rows shuffled, so every group's rows are spread over
    # many chunks.
    sizes = [1, 5, 6, 10, 11, 32, 33, 4096, 4097, 4608, 4609, 4610, 9000]
    rng = random.Random(7)
    rows = [(group, rng.randrange(20_000)) for group, size in enumerate(sizes) for _ in range(size)]
    rows.append((len(sizes), None))
    rng.shuffle(rows)
    assert_sketches_equal_sketch_by(connection, rows, precisions)


@pytest.mark.parametrize("precisions,small_groups", [((11, 16), 0), ((11, 16), 200), ((), 0)])
def test_groups_past_the_buffer_before_their_sketch(connection, precisions, small_groups):
    # A group past 4096 hashes keeps them until they fill more registers
    # than the sparse form's budget (0.75 * 2^p), then starts its sketch from
    # those registers; one that never does is written from its hashes, or
    # past 65535 hashes goes to a sparse sketch. Groups of (rows, distinct
    # values) on each side of those lines, and with many small groups
    # besides, chunks that spread over many slots.
    # At precision 11: past 65535 and sparse; kept and sparse; kept and
    # normal; registers at the first look (4096 hashes); at the 16384th.
    shapes = [(70_000, 300), (6_000, 1_000), (4_700, 4_700), (10_000, 10_000), (20_000, 3_000)]
    if not precisions:
        # At 15: registers at the 65535th hash; past it and sparse for a while.
        shapes = [(70_000, 200_000), (70_000, 20_000)]
    rng = random.Random(small_groups)
    rows = [(group, rng.randrange(distinct)) for group, (size, distinct) in enumerate(shapes)
            for _ in range(size)]
    rows += [(100 + group, rng.randrange(1000)) for group in range(small_groups) for _ in range(100)]
    rng.shuffle(rows)
    assert_sketches_equal_sketch_by(connection, rows, precisions)


@pytest.mark.parametrize("precisions", [(), (14, 21), (13, 22)])
def test_groups_whose_sparse_data_passes_the_budget_before_their_registers_fill(connection, precisions):
    # Distinct values fill fewer registers than the sparse form's budget
    # (0.75 * 2^p) has bytes well before their sparse data outgrows it: a
    # group is started from its registers once the length of its plain
    # sparse values passes the budget, at a look while its rows arrive or at
    # finalise, and written from its codes while it stays below. Groups of
    # the first n of one list of distinct values, n on both sides of the
    # least that ends normal (found here with vantorelle.sketch), and groups
    # with repeats; at (13, 22) the length is not worked out.
    rng = random.Random(sum(precisions) + 3)
    values = rng.sample(range(1 << 40), 45_000)

    def form(n):
        stored = vantorelle.sketch(values[:n], None, *precisions).to_bytes()
        return connection.execute("SELECT vantorelle_describe(?::BLOB).form", [stored]).fetchall()[0][0]

    low, high = 1, len(values)
    assert form(low) == "sparse" and form(high) == "normal"
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if form(middle) == "sparse" else (low, middle)
    sizes = [high - 200, high - 1, high, high + 1, high + 300, high + 1500, high + 6000]
    rows = [(group, value) for group, size in enumerate(sizes) for value in values[:size]]
    rows += [(len(sizes), rng.randrange(high)) for _ in range(2 * high)]
    rng.shuffle(rows)
    assert_sketches_equal_sketch_by(connection, rows, precisions)


@pytest.mark.parametrize("precisions", [(10,), (12, 0), (16, 20), (17, 0)])
def test_few_large_groups_on_two_threads_give_sketch_by_bytes(connection, precisions):
    # Every group but one of three rows ends with registers, whose bytes do
    # not depend on the order of the rows, so two threads' partial states (slots that took rows into
    # registers of their own, slots still buffering hashes) combine to the
    # bytes of one pass. Groups of a few rows besides, and runs of a group's
    # rows unshuffled, so that its share differs between the threads.
    rng = random.Random(sum(precisions))
    keys = [rng.randrange(6) for _ in range(300_000)] + [6] * 60_000 + [7] * 3
    keys[150_000:150_000] = [8] * 40_000
    table = pa.table({"k": pa.array(keys, pa.int64()),
                      "v": pa.array([rng.randrange(1 << 40) for _ in keys], pa.int64())})
    connection.register("events", table)
    connection.execute("CREATE TABLE stored AS SELECT * FROM events")
    connection.execute("SET threads = 2")
    arguments = "".join(f", {p}" for p in precisions)
    got = keyed(connection.execute(f"SELECT k, vantorelle_sketch(v{arguments}) FROM stored GROUP BY k").fetchall())
    want = by_key(vantorelle.sketch_by(table, "k", "v", None, *precisions, threads=1), ["k"])
    assert got == want


def test_groups_of_up_to_4096_values_on_two_threads_give_sketch_by_bytes(connection):
    # Each thread's share of a group waits as codes, and DuckDB combines the
    # shares one after another into a fresh state: the first into room for
    # about two, the second appended or moved to a larger buffer. A group of
    # up to 4096 values is written from its codes, whose order does not
    # matter, so two threads give the bytes of one pass. Group sizes from 1
    # to past 4096 (those end as two threads' shares combine).
    rng = random.Random(11)
    sizes = [rng.choice([1, 10, 11, 12, 40, 300, 1000, 2047, 2048, 2049, 2100, 4096, 5000])
             for _ in range(260)]
    keys = [group for group, size in enumerate(sizes) for _ in range(size)]
    rng.shuffle(keys)
    table = pa.table({"k": pa.array(keys, pa.int64()),
                      "v": pa.array([rng.randrange(1 << 40) for _ in keys], pa.int64())})
    connection.register("events", table)
    connection.execute("CREATE TABLE stored AS SELECT * FROM events")
    connection.execute("SET threads = 2")
    got = keyed(connection.execute("SELECT k, vantorelle_sketch(v) FROM stored GROUP BY k").fetchall())
    want = by_key(vantorelle.sketch_by(table, "k", "v", None, threads=1), ["k"])
    small = {(key,) for key, size in enumerate(sizes) if size <= 4096}
    assert {key: got[key] for key in small} == {key: want[key] for key in small}
    assert set(got) == set(want)


def test_threads_roll_ups_grouping_sets_and_filter(connection):
    events = random_table(4)
    connection.register("events", events)
    keys = ["k1", "k2"]
    for column in ("vi", "vs", "vb"):
        # Roll-up of stored group sketches: merge_by's bytes, the direct
        # sketch's estimate.
        connection.execute(f"CREATE OR REPLACE TABLE daily AS SELECT k1, k2, vantorelle_sketch({column}) "
                           "AS sketch FROM events GROUP BY ALL")
        stored = connection.sql("SELECT * FROM daily").to_arrow_table()
        assert by_key(stored, keys) == expected_sketches(events, keys, column)
        rolled = keyed(connection.execute(
            "SELECT k1, vantorelle_merge(sketch) FROM daily GROUP BY k1").fetchall())
        assert rolled == by_key(vantorelle.merge_by(stored, "k1", threads=1), ["k1"])
        direct = expected_sketches(events, ["k1"], column)
        assert {key: vantorelle.estimate(s) for key, s in rolled.items()} == {
            key: vantorelle.estimate(s) for key, s in direct.items()}

        # GROUPING SETS and FILTER: each set's groups are sketches of their rows.
        sets = connection.execute(
            f"SELECT grouping(k1, k2) g, k1, k2, vantorelle_sketch({column}), "
            f"vantorelle_sketch({column}) FILTER (WHERE k1 % 2 = 0) "
            "FROM events GROUP BY GROUPING SETS ((k1, k2), (k1), ())").fetchall()
        evens = events.filter(pa.compute.equal(pa.compute.bit_wise_and(events["k1"], 1), 0))
        for level, key_names in ((0, keys), (1, ["k1"])):
            found = {tuple(r[1:1 + len(key_names)]): r[3:] for r in sets if r[0] == level}
            assert {k: v[0] for k, v in found.items()} == expected_sketches(events, key_names, column)
            filtered = expected_sketches(evens, key_names, column)
            empty = vantorelle.HyperLogLogPlusPlus(
                str if column == "vs" else bytes if column == "vb" else int).to_bytes()
            assert {k: v[1] for k, v in found.items()} == {
                k: filtered.get(k, empty) for k in found}
        (total,) = [r[3] for r in sets if r[0] == 3]
        assert total == expected_sketches(events.append_column("all", pa.array(
            [0] * events.num_rows)), ["all"], column)[(0,)]

        # More threads: the same estimates.
        connection.execute("SET threads = 2")
        parallel = keyed(connection.execute(
            f"SELECT k1, k2, vantorelle_estimate(vantorelle_sketch({column})) FROM events "
            "GROUP BY ALL").fetchall())
        connection.execute("SET threads = 1")
        assert parallel == {k: vantorelle.estimate(s)
                            for k, s in expected_sketches(events, keys, column).items()}


def test_merges_of_many_sketches_a_group_equal_merge_by(connection):
    # Groups of 1 to 100 stored sketches in shuffled rows (more than the 32
    # that wait in a slot to be rolled up together): sparse ones of several
    # sizes, and at precision 10 also ones with registers, first or anywhere.
    rng = random.Random(5)
    rows = []
    for group in range(40):
        dense_group = group % 4 == 0
        for _ in range(rng.choice([1, 2, 31, 32, 33, 100])):
            size = rng.choice([0, 3, 60, 60, 600] + ([2_000] if dense_group else []))
            precision = 10 if dense_group else 15
            values = [rng.randint(0, 10**6) for _ in range(size)]
            rows.append((group, vantorelle.sketch(values, int, precision).to_bytes()))
    # Two whose union passes the sparse budget: among the first 32, and
    # after those are rolled up.
    for group, count, size in ((40, 40, 40), (41, 90, 8)):
        for _ in range(count):
            values = [rng.randint(0, 10**6) for _ in range(size)]
            rows.append((group, vantorelle.sketch(values, int, 10).to_bytes()))
    rng.shuffle(rows)
    table = pa.table({"k": [k for k, _ in rows], "sketch": pa.array([s for _, s in rows], pa.binary())})
    connection.register("stored", table)
    query = "SELECT k, vantorelle_merge(sketch) FROM stored GROUP BY k"
    want = by_key(vantorelle.merge_by(table, "k", threads=1), ["k"])
    assert keyed(connection.execute(query).fetchall()) == want
    connection.execute("SET threads = 2")
    assert {k: vantorelle.estimate(s) for k, s in keyed(connection.execute(query).fetchall()).items()} == {
        k: vantorelle.estimate(s) for k, s in want.items()}

    # Rows enough for DuckDB to split them between both threads (more than
    # one row group), each thread meeting a group's sketches more than 32
    # times: partial merges, rolled up and waiting, combined.
    ids = pa.array(range(500_000), pa.int64())
    parts = vantorelle.sketch_by(pa.table({"id": pa.compute.divide(ids, 2), "v": ids}), "id", "v", threads=2)
    connection.register("parts", parts)
    connection.execute("CREATE TABLE many AS SELECT id % 2000 AS k, sketch FROM parts")
    rolled = keyed(connection.execute("SELECT k, vantorelle_merge(sketch) FROM many GROUP BY k").fetchall())
    direct = by_key(vantorelle.merge_by(connection.sql("SELECT * FROM many").to_arrow_table(), "k", threads=1),
                    ["k"])
    assert {k: vantorelle.estimate(s) for k, s in rolled.items()} == {
        k: vantorelle.estimate(s) for k, s in direct.items()}


def test_rolling_seven_day_windows_equal_sketches_of_each_window(connection):
    rng = random.Random(11)
    # Windows on both sides of the sparse-to-normal switch at p=15 (the
    # sparse form for fewer than about 22,000 values).
    days = [rng.randint(0, 19) for _ in range(100_000)]
    users = [rng.randint(0, 1_000 + 3_000 * day) for day in days]
    table = pa.table({"day": days, "user": users})
    connection.register("events", table)
    windows = {}
    for day in range(20):
        values = [u for d, u in zip(days, users) if day - 6 <= d <= day]
        windows[day] = vantorelle.sketch(values, int).result()

    over_sketches = connection.execute(
        "SELECT day, vantorelle_estimate(vantorelle_merge(sketch) OVER (ORDER BY day "
        "ROWS BETWEEN 6 PRECEDING AND CURRENT ROW)) FROM (SELECT day, vantorelle_sketch(user) "
        "AS sketch FROM events GROUP BY day) ORDER BY day").fetchall()
    assert dict(over_sketches) == windows
    # The same frames over the rows themselves (each row's frame is merged
    # from the window's segment tree: kept small, it costs a merge per row).
    few = table.slice(0, 3_000)
    connection.register("few", few)
    over_rows = connection.execute(
        "SELECT DISTINCT day, vantorelle_estimate(vantorelle_sketch(user) OVER (ORDER BY day "
        "RANGE BETWEEN 6 PRECEDING AND CURRENT ROW)) FROM few ORDER BY day").fetchall()
    few_days, few_users = few["day"].to_pylist(), few["user"].to_pylist()
    assert dict(over_rows) == {
        day: vantorelle.sketch([u for d, u in zip(few_days, few_users) if day - 6 <= d <= day],
                               int).result()
        for day in set(few_days)}


def test_parquet_written_by_duckdb_and_read_by_duckdb(connection, tmp_path):
    events = random_table(5)
    connection.register("events", events)
    from_duckdb = tmp_path / "duckdb.parquet"
    connection.execute(f"COPY (SELECT k1, k2, vantorelle_sketch(vs) AS sketch FROM events "
                       f"GROUP BY ALL) TO '{from_duckdb}' (FORMAT parquet)")
    read = pq.read_table(from_duckdb)
    expected = expected_sketches(events, ["k1", "k2"], "vs")
    assert {k: vantorelle.from_bytes(s).to_bytes() for k, s in by_key(read, ["k1", "k2"]).items()} == expected

    from_python = tmp_path / "python.parquet"
    pq.write_table(vantorelle.sketch_by(events, ["k1", "k2"], "vi", threads=1), from_python)
    rolled = keyed(connection.execute(
        f"SELECT k1, vantorelle_merge(sketch) FROM '{from_python}' GROUP BY k1").fetchall())
    stored = pq.read_table(from_python)
    assert rolled == by_key(vantorelle.merge_by(stored, "k1", threads=1), ["k1"])


def test_scalars_equal_the_python_functions(connection):
    rng = random.Random(3)
    sizes = [0, 1, 40, 3_000, 30_000, 200_000]
    rows = []
    for _ in range(12):
        a = rng.choice(sizes)
        b = rng.choice(sizes)
        start = rng.randint(0, 100_000)
        p, q = rng.choice([(15, 20), (14, 20), (12, 0)]), rng.choice([(15, 20), (13, 18)])
        sa = vantorelle.sketch(range(a), int, *p).to_bytes() if a else None
        sb = vantorelle.sketch(range(start, start + b), int, *q).to_bytes()
        rows.append((sa, sb))
    # A count past the signed 64-bit range (the message's count is unsigned).
    rows.append((state_message(num_values=2**64 - 1, value_type=8), rows[0][1]))
    connection.execute("CREATE TABLE pairs (a BLOB, b BLOB)")
    connection.executemany("INSERT INTO pairs VALUES (?, ?)", rows)
    got = connection.execute(
        "SELECT a, b, vantorelle_estimate(a), vantorelle_bounds(b, 0.9), vantorelle_union(a, b), "
        "vantorelle_intersection(a, b), vantorelle_jaccard(a, b), vantorelle_describe(a), "
        "vantorelle_bounds(a, NULL), vantorelle_union(b, a) FROM pairs").fetchall()
    for a, b, estimate, bounds, union, both, jaccard, described, no_bounds, union_ba in got:
        assert no_bounds is None
        assert bounds == dict(zip(("lower", "upper"), vantorelle.bounds(b, 0.9)))
        if a is None:
            # A NULL sketch is the empty set.
            assert (estimate, both, jaccard, described) == (0, 0, 0.0, None)
            facts = _native.describe(b)
            empty = vantorelle.HyperLogLogPlusPlus(int, facts["normal_precision"], facts["sparse_precision"])
            assert union == union_ba == vantorelle.union(empty.to_bytes(), b)
            continue
        assert estimate == vantorelle.estimate(a)
        assert union == vantorelle.union(a, b) == union_ba
        assert both == vantorelle.intersection(a, b)
        assert jaccard == pytest.approx(vantorelle.jaccard(a, b), abs=0, rel=1e-15)
        assert described == _native.describe(a)
    assert connection.execute(
        "SELECT vantorelle_estimate(NULL), vantorelle_bounds(NULL, 0.5), vantorelle_union(NULL, NULL), "
        "vantorelle_jaccard(NULL, NULL), vantorelle_describe(NULL)").fetchall() == [
        (0, {"lower": 0, "upper": 0}, 0, 0.0, None)]
    # A group whose sketches are all NULL merges to NULL; one with no value
    # sketches to the empty sketch.
    assert connection.execute(
        "SELECT vantorelle_merge(NULL::BLOB), vantorelle_estimate(vantorelle_sketch(NULL::BIGINT))"
    ).fetchall() == [(None, 0)]
    # Precisions reach the aggregate only with rows: where none comes (no
    # rows, a FILTER that none passes, an empty frame) the sketch is NULL,
    # not one at the defaults that a merge would lower the others to.
    assert connection.execute(
        "SELECT vantorelle_sketch(range, 10, 12), vantorelle_sketch(range, 24) FILTER (WHERE range > 5), "
        "vantorelle_sketch(range) FROM range(0)").fetchall() == [(None, None, vantorelle.sketch([], int).to_bytes())]
    frames = connection.execute(
        "SELECT vantorelle_sketch(range, 12, 14) OVER (ORDER BY range ROWS BETWEEN 1 FOLLOWING AND 1 FOLLOWING) "
        "FROM range(3) ORDER BY range").fetchall()
    assert frames == [(vantorelle.sketch([1], int, 12, 14).to_bytes(),),
                      (vantorelle.sketch([2], int, 12, 14).to_bytes(),), (None,)]


@pytest.mark.parametrize("query, message", [
    ("SELECT vantorelle_sketch(1.5::DOUBLE)", "cannot count DOUBLE values: .*BOOLEAN .*VARCHAR"),
    ("SELECT vantorelle_sketch(1.5::FLOAT, 14)", "cannot count FLOAT values"),
    ("SELECT vantorelle_sketch(1.5::DECIMAL(10, 2))", "cannot count DECIMAL values"),
    ("SELECT vantorelle_sketch(1::HUGEINT) FROM range(0)", "cannot count HUGEINT values"),
    ("SELECT vantorelle_sketch(1::UHUGEINT)", "cannot count UHUGEINT values"),
    ("SELECT vantorelle_sketch(DATE '2024-01-01')", "cannot count DATE values: .*epoch"),
    ("SELECT vantorelle_sketch(TIMESTAMP '2024-01-01')", "cannot count TIMESTAMP values"),
    ("SELECT vantorelle_sketch(INTERVAL 1 DAY)", "cannot count INTERVAL values"),
    ("SELECT vantorelle_sketch('ok'::ENUM('sad', 'ok'))", r"an ENUM, .*cast the value to VARCHAR"),
    ("SELECT vantorelle_estimate(''::BLOB)", r"is empty \(0 bytes\)"),
    ("SELECT vantorelle_describe(''::BLOB)", r"is empty \(0 bytes\)"),
    ("SELECT vantorelle_sketch(uuid())", "cannot count UUID values"),
    ("SELECT vantorelle_sketch([1, 2])", "cannot count LIST values: .*vantorelle_sketch\\(value\\)"),
    ("SELECT vantorelle_sketch({'a': 1})", "cannot count values of this type \\(an ENUM, STRUCT"),
    ("SELECT vantorelle_merge(x) FROM (SELECT [vantorelle_sketch(1)] x)",
     "write vantorelle_merge\\(sketch\\)"),
    ("SELECT vantorelle_sketch(18446744073709551615::UBIGINT)",
     "UBIGINT 18446744073709551615 is above 2\\^63 - 1"),
    # Deep in a column, after NULLs and valid values, in the second block of
    # 2048 rows.
    ("SELECT vantorelle_sketch(CASE WHEN range = 4000 THEN 9223372036854775808 WHEN range % 7 = 0 THEN NULL "
     "ELSE range END::UBIGINT) FROM range(5000)", "UBIGINT 9223372036854775808 is above"),
    ("SELECT vantorelle_sketch(range, 9) FROM range(3)", "normal precision to be >= 10"),
    ("SELECT vantorelle_sketch(range, 15, 26) FROM range(3)", "sparse precision"),
    ("SELECT vantorelle_sketch(range, (10 + range % 2)::INTEGER) FROM range(3)", "must be a constant"),
    ("SELECT vantorelle_sketch(range, NULL) FROM range(3)", "normal_precision is NULL"),
    # Constant within each chunk of 2048 rows, different in the next: the
    # group's slot holds the first chunk's precisions.
    ("SELECT range % 3 AS g, vantorelle_sketch(range, (10 + range // 2048)::INTEGER) FROM range(4096) GROUP BY g",
     "a group has \\(10, 20\\) and \\(11, 20\\)"),
    # Different precisions in the partial states of one group (each branch
    # of a UNION ALL has its own), combined.
    ("SELECT g, vantorelle_sketch(v, p) FROM (SELECT range v, range % 64 g, 10 p FROM range(122880) UNION ALL "
     "SELECT range v, range % 64 g, 14 p FROM range(122880)) GROUP BY g", "a group has \\(1[04], 20\\) and"),
    ("SELECT vantorelle_estimate(x) FROM (VALUES (NULL::BLOB), ('\\x08\\x70\\x10'::BLOB)) t(x)",
     "vantorelle_estimate: the sketch in row 1 .* not a sound sketch"),
    ("SELECT vantorelle_merge(x) FROM (SELECT vantorelle_sketch(1) x UNION ALL SELECT '\\x08\\x70\\x10'::BLOB)",
     "vantorelle_merge: the sketch of 3 bytes .* cannot be merged"),
    ("SELECT vantorelle_merge(x) FROM (SELECT vantorelle_sketch(1) x UNION ALL SELECT vantorelle_sketch('a'))",
     "vantorelle_merge: .*incompatible"),
    ("SELECT vantorelle_union(vantorelle_sketch(1), 'abc'::BLOB)", "vantorelle_union: .*not a sound sketch"),
    ("SELECT vantorelle_describe(vantorelle_sketch(1)[:5])", "vantorelle_describe: .*not a sound sketch"),
    ("SELECT vantorelle_bounds(vantorelle_sketch(1), 1.5)", "confidence must lie strictly between 0 and 1"),
])
def test_refusals_and_corrupt_sketches_fail_the_query_and_leave_duckdb_usable(connection, query, message):
    with pytest.raises(duckdb.Error, match=message):
        connection.execute(query).fetchall()
    assert connection.execute(
        "SELECT vantorelle_estimate(vantorelle_sketch(range)) FROM range(10)").fetchall() == [(10,)]


def test_a_query_beyond_the_memory_limit_completes_or_fails_cleanly(connection):
    query = ("SELECT count(*), sum(e) FROM (SELECT g, vantorelle_estimate(vantorelle_sketch(v)) e "
             "FROM (SELECT range % 200000 g, range v FROM range(800000)) GROUP BY g)")
    connection.execute("SET threads = 2")
    unlimited = connection.execute(query).fetchall()
    connection.execute("SET memory_limit = '64MB'")
    try:
        rows = connection.execute(query).fetchall()
    except duckdb.OutOfMemoryException:
        pass
    else:
        assert rows == unlimited
    connection.execute("RESET memory_limit")
    assert live_states(connection) == 0
    assert connection.execute("SELECT count(*) FROM range(5)").fetchall() == [(5,)]


def test_connect_load_and_relations_on_their_own_connection(tmp_path, monkeypatch):
    plain = duckdb.connect()
    with pytest.raises(duckdb.PermissionException, match="allow_unsigned_extensions.*vantorelle.duckdb.connect"):
        vdb.load(plain)
    plain.close()
    with pytest.raises(ValueError, match="allow_unsigned_extensions"):
        vdb.connect(allow_unsigned_extensions=False)
    with vdb.connect(allow_unsigned_extensions="true") as con:  # DuckDB's spelling of it too
        assert con.execute("SELECT vantorelle_estimate(vantorelle_sketch(1))").fetchall() == [(1,)]

    # A file database, loaded again after reopening; load() into a
    # connection opened by hand.
    path = str(tmp_path / "events.duckdb")
    with vdb.connect(path, threads=1) as con:
        con.execute("CREATE TABLE s AS SELECT vantorelle_sketch(range) AS sketch FROM range(1000)")
    with duckdb.connect(path, config={"allow_unsigned_extensions": True}) as con:
        vdb.load(con)
        assert con.execute("SELECT vantorelle_estimate(sketch) FROM s").fetchall() == [(1000,)]

        # sketch_by of a relation gives a relation that this connection can store and join.
        relation = con.sql("SELECT range % 3 AS k, range AS v FROM range(300)")
        out = vantorelle.sketch_by(relation, "k", "v", threads=1)
        con.execute("CREATE TABLE per_k AS SELECT * FROM out")
        counted = vantorelle.count_by(relation, "k", "v")  # (so is count_by's)
        assert sorted(counted.join(con.sql("SELECT range AS k FROM range(3)"), "k").fetchall()) == [
            (0, 100), (1, 100), (2, 100)]
        assert con.execute(
            "SELECT count(*) FROM per_k JOIN (SELECT range % 3 AS k, vantorelle_sketch(range) AS s "
            "FROM range(300) GROUP BY k) USING (k) WHERE per_k.sketch = s").fetchall() == [(3,)]
        # A query that fails midway: its own message, as vantorelle's error.
        failing = con.sql("SELECT range % 3 AS k, CASE WHEN range = 5000 THEN error('boom') "
                          "ELSE range END AS v FROM range(10000)")
        for grouped in (vantorelle.sketch_by, vantorelle.count_by):
            with pytest.raises(vantorelle.InvalidInputError, match="^reading the table failed: .*boom$"):
                grouped(failing, "k", "v")

    monkeypatch.setenv(vdb.EXTENSION_ENVIRONMENT_VARIABLE, str(tmp_path / "missing"))
    with pytest.raises(FileNotFoundError, match="VANTORELLE_DUCKDB_EXTENSION"):
        vdb.extension_path()
    with pytest.warns(DeprecationWarning, match="load"), pytest.raises(FileNotFoundError):
        vdb.register(duckdb.connect(config={"allow_unsigned_extensions": True}))
