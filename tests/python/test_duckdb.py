"""vantorelle.duckdb on real DuckDB connections: per-group sketches, roll-ups,
unions and estimates against sketches built one value at a time."""

import duckdb
import pytest
from grouped_tables import expected_sketches, is_dense, random_table

import vantorelle
import vantorelle.duckdb as vdb


@pytest.fixture
def connection():
    with duckdb.connect() as connection:
        yield vdb.register(connection)


def keyed(rows):
    return {tuple(row[:-1]): row[-1] for row in rows}


@pytest.mark.parametrize("seed", [1, 2])
def test_group_sketches_roll_ups_and_estimates(connection, seed):
    events = random_table(seed)
    connection.register("events", events)
    dense = set()
    for column in ("vi", "vs", "vb"):
        expected = expected_sketches(events, ["k1", "k2"], column)
        dense |= {is_dense(s) for s in expected.values()}
        got = keyed(connection.sql(
            f"SELECT k1, k2, vantorelle_sketch(list({column})) FROM events GROUP BY ALL"
        ).fetchall())
        assert got == expected, column
        at = keyed(connection.sql(
            f"SELECT k1, k2, vantorelle_sketch(list({column}), 14, 25) FROM events GROUP BY ALL"
        ).fetchall())
        assert at == expected_sketches(events, ["k1", "k2"], column, 14, 25)
        # Roll-ups of the stored group sketches, and their estimates.
        connection.execute(
            f"CREATE OR REPLACE TABLE daily AS SELECT k1, k2, vantorelle_sketch(list({column})) "
            "AS sketch FROM events GROUP BY ALL")
        rolled = keyed(connection.sql(
            "SELECT k1, vantorelle_merge(list(sketch)), vantorelle_estimate(vantorelle_merge("
            "list(sketch))) FROM daily GROUP BY k1").fetchall())
        for (key,), serialised in expected_sketches(events, ["k1"], column).items():
            assert rolled[(key, serialised)] == vantorelle.from_bytes(serialised).result()
    assert dense == {True, False}


def test_precisions_may_differ_between_rows_and_unions_follow_merge(connection):
    events = random_table(3)
    connection.register("events", events)
    # A normal precision per group: one kernel call per distinct pair.
    rows = connection.sql(
        "SELECT k1, k2, p, vantorelle_sketch(list(vi), p, 20) FROM (SELECT *, "
        "(10 + hash(k1, k2) % 5)::INTEGER AS p FROM events) GROUP BY k1, k2, p").fetchall()
    assert len({row[2] for row in rows}) > 1
    for k1, k2, p, serialised in rows:
        assert serialised == expected_sketches(events, ["k1", "k2"], "vi", p, 20)[(k1, k2)]

    pairs = connection.sql(
        "SELECT a.s, b.s, vantorelle_union(a.s, b.s), vantorelle_estimate(vantorelle_union("
        "a.s, b.s)) FROM (SELECT k1, vantorelle_sketch(list(vs)) s FROM events GROUP BY k1) a "
        "FULL JOIN (SELECT k1 + 1 AS k1, vantorelle_sketch(list(vs), 14) s FROM events "
        "GROUP BY k1) b USING (k1)").fetchall()
    assert any(None in pair[:2] for pair in pairs)
    for a, b, union, estimate in pairs:
        present = [s for s in (a, b) if s is not None]
        assert union == vantorelle.merge_all(present).to_bytes()
        assert estimate == vantorelle.merge_all(present).result()
    assert connection.sql("SELECT vantorelle_union(NULL, NULL), vantorelle_estimate(NULL), "
                          "vantorelle_sketch(NULL::INTEGER[])").fetchall() == [(None, 0, None)]


@pytest.mark.parametrize("query, message", [
    ("SELECT vantorelle_sketch([1.5, 2.5]::DOUBLE[])", "vantorelle_sketch: .*float64 values, which cannot be counted"),
    ("SELECT vantorelle_sketch([DATE '2024-01-01'])", "vantorelle_sketch: .*date32 values, which cannot be counted"),
    ("SELECT vantorelle_estimate(x) FROM (VALUES (NULL::BLOB), ('\\x08\\x70\\x10'::BLOB)) t(x)",
     "vantorelle_estimate: row 1"),
    ("SELECT vantorelle_merge([vantorelle_sketch([1]), 'abc'::BLOB])", "vantorelle_merge"),
    ("SELECT vantorelle_union(vantorelle_sketch([1]), vantorelle_sketch(['a']))",
     "vantorelle_union: .*incompatible"),
])
def test_bad_input_fails_the_query_with_the_reason(connection, query, message):
    with pytest.raises(duckdb.Error, match=message):
        connection.sql(query).fetchall()
