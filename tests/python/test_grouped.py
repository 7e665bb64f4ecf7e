"""sketch_by, merge_by and estimates against a model: per-group sketches made
here with vantorelle.sketch over each group's rows, found by a plain dict."""

import datetime

import pytest

import vantorelle

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
duckdb = pytest.importorskip("duckdb")

# Precisions on both sides of the sparse-to-normal switch for groups of a few
# hundred values (p=10), and the default ones; None: no sparse phase.
PRECISIONS = [(10, 15), (11, None), (12, 25), (15, 20)]


def key_column(kind, codes, rng):
    """A key column from group codes (None: a null key), distinct codes mapping
    to distinct keys."""
    if kind == "int":
        return pa.array([None if c is None else c * 7919 - 50_000 for c in codes], pa.int64())
    if kind == "str":
        return pa.array([None if c is None else f"k{c}é" for c in codes], pa.string())
    if kind == "bytes":
        return pa.array([None if c is None else b"\xff" + c.to_bytes(4, "little") for c in codes])
    if kind == "bool":
        return pa.array([None if c is None else bool(c % 2) for c in codes])
    if kind == "date":
        start = datetime.date(2020, 1, 1)
        return pa.array([None if c is None else start + datetime.timedelta(days=c) for c in codes])
    return pa.array([None if c is None else f"cat{c}" for c in codes]).dictionary_encode()


def value_column(kind, ids):
    """(column, the sketch type its values count as) from integer ids (None: null)."""
    if kind in ("int8", "uint8"):
        ids = [None if v is None else v % 100 for v in ids]
    if kind in ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"):
        return pa.array(ids, getattr(pa, kind)()), int
    if kind == "bool":
        return pa.array([None if v is None else bool(v % 2) for v in ids]), int
    text = [None if v is None else f"user-{v}" for v in ids]
    if kind in ("string", "large_string", "string_view"):
        return pa.array(text).cast(getattr(pa, kind)()), str
    if kind == "dictionary":
        return pa.array(text).dictionary_encode(), str
    raw = [None if v is None else b"\x80" + v.to_bytes(8, "little") for v in ids]
    return pa.array(raw).cast(getattr(pa, kind)()), bytes


VALUE_KINDS = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
               "bool", "string", "large_string", "string_view", "dictionary",
               "binary", "large_binary", "binary_view"]
KEY_KINDS = ["int", "str", "bytes", "bool", "date", "category"]


def random_table(rng, groups, rows, key_kinds, value_kind, null_share=0.05):
    """Rows with skewed group sizes (some groups past the switch, most small);
    every group is present; null keys and null values mixed in."""
    weights = 1.0 / np.arange(1, groups + 1) ** 1.1
    codes = np.concatenate([np.arange(groups), rng.choice(groups, rows - groups, p=weights / weights.sum())])
    codes = rng.permutation(codes)
    columns = {}
    for index, kind in enumerate(key_kinds):
        # Later key columns split or repeat groups of the first.
        part = codes if index == 0 else (codes * (index + 3)) % (groups // 2 + 2)
        nulls = rng.random(rows) < null_share
        columns[f"k{index}"] = key_column(kind, [None if n else int(c) for c, n in zip(part, nulls)], rng)
    ids = rng.integers(0, max(rows // 3, 1), rows)
    nulls = rng.random(rows) < null_share
    # A few groups with null values only.
    nulls |= np.isin(codes, rng.choice(groups, max(groups // 20, 0), replace=False))
    columns["v"], ty = value_column(value_kind, [None if n else int(v) for v, n in zip(ids, nulls)])
    return pa.table(columns), ty


def model(table, keys, ty, p, sp):
    """{group key tuple: expected bytes} in order of first rows, and those rows."""
    rows_of = {}
    for row, key in enumerate(zip(*(table.column(k).to_pylist() for k in keys))):
        rows_of.setdefault(key, []).append(row)
    values = table.column("v")
    # pyarrow cannot take from views; the same values as large types count the same.
    plain = {pa.string_view(): pa.large_string(), pa.binary_view(): pa.large_binary()}
    values = values.cast(plain.get(values.type, values.type))
    expected = {
        key: vantorelle.sketch(values.take(rows), ty, p, sp).to_bytes()
        for key, rows in rows_of.items()
    }
    return expected, [rows[0] for rows in rows_of.values()]


def as_kind(table, kind, rng):
    """The same table as `kind` of input."""
    if kind == "chunked":
        # Several record batches of random sizes, an empty one among them.
        cuts = sorted(rng.integers(0, table.num_rows + 1, 4).tolist())
        empty = pa.RecordBatch.from_arrays([pa.array([], f.type) for f in table.schema],
                                           schema=table.schema)
        batches = [empty] + [batch for a, b in zip([0, *cuts], [*cuts, table.num_rows])
                             for batch in table.slice(a, b - a).combine_chunks().to_batches()]
        return pa.Table.from_batches(batches, schema=table.schema)
    if kind == "reader":
        return pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=997))
    if kind == "pandas":
        return table.to_pandas(types_mapper=pd.ArrowDtype)
    if kind == "polars":
        return pl.from_arrow(table)
    if kind == "duckdb":
        return duckdb.from_arrow(table)
    return table


def sketches_of(result):
    """(key rows as tuples of Python values, sketch bytes) of any result kind."""
    if isinstance(result, pd.DataFrame):
        assert result["sketch"].dtype == object
        keys = [tuple(None if pd.isna(v) else v for v in row)
                for row in result.drop(columns="sketch").itertuples(index=False)]
        return keys, list(result["sketch"])
    if isinstance(result, pl.DataFrame):
        assert result.schema["sketch"] == pl.Binary
        result = result.to_arrow()
    else:
        if isinstance(result, duckdb.DuckDBPyRelation):
            result = pa.RecordBatchReader.from_stream(result).read_all()
        assert isinstance(result, pa.Table), type(result)
        assert result.schema.field("sketch").type == pa.binary()
    keys = list(zip(*(result.column(n).to_pylist() for n in result.column_names if n != "sketch")))
    return keys, result.column("sketch").to_pylist()


def python_keys(table, keys, rows):
    """The key tuples of `rows` as each result kind gives them back."""
    return [tuple(table.column(k)[row].as_py() for k in keys) for row in rows]


INPUT_KINDS = ["table", "chunked", "reader", "pandas", "polars", "duckdb"]


def test_groups_equal_per_group_sketches_for_random_tables():
    rng = np.random.default_rng(20261208)
    for trial in range(24):
        kind = INPUT_KINDS[trial % len(INPUT_KINDS)]
        value_kind = VALUE_KINDS[trial % len(VALUE_KINDS)]
        key_kinds = list(rng.choice(KEY_KINDS, int(rng.integers(1, 4)), replace=True))
        groups = int(rng.choice([1, 2, 17, 300]))
        rows = groups + int(rng.integers(0, 6_000))
        p, sp = PRECISIONS[trial % len(PRECISIONS)]
        table, natural = random_table(rng, groups, rows, key_kinds, value_kind)
        keys = [f"k{i}" for i in range(len(key_kinds))]
        ty = natural if trial % 2 else None
        expected, first_rows = model(table, keys, natural, p, sp)
        runs = [
            sketches_of(vantorelle.sketch_by(as_kind(table, kind, rng), keys, "v", ty, p, sp,
                                             threads=threads))
            for threads in (1, 2)
        ]
        assert runs[0] == runs[1], (trial, kind)
        got_keys, got = runs[0]
        where = (trial, kind, value_kind, key_kinds, p, sp)
        assert got_keys == python_keys(table, keys, first_rows), where
        assert len(got_keys) == len(expected), where
        assert got == list(expected.values()), where


def test_key_columns_keep_the_input_types():
    frame = pd.DataFrame({
        "day": pd.to_datetime(["2024-01-02", "2024-01-01", None, "2024-01-02"]).date,
        "country": pd.Categorical(["fr", "de", "fr", None]),
        "flag": pd.array([True, None, False, True], dtype="boolean"),
        "n": pd.array([1, 2, None, 1], dtype="Int64"),
        "user": pd.array([10, 11, 12, None], dtype="Int64"),
        "other": [0.5] * 4,
    })
    keys = ["day", "country", "flag", "n"]
    got = vantorelle.sketch_by(frame, keys, "user")
    expected = frame[keys].take([0, 1, 2, 3]).reset_index(drop=True)
    pd.testing.assert_frame_equal(got[keys], expected)
    assert list(got.columns) == [*keys, "sketch"]
    assert vantorelle.estimates(got["sketch"]).tolist() == [1, 1, 1, 0]

    polars = pl.DataFrame({"d": [datetime.date(2024, 1, 1), None] * 3,
                           "c": pl.Series(["a", "b", "a", "b", None, "a"], dtype=pl.Categorical),
                           "v": [1, 2, 3, 4, 5, 6]})
    out = vantorelle.sketch_by(polars, ["d", "c"], "v")
    assert out.schema["d"] == pl.Date and out.schema["c"] == pl.Categorical
    assert out.select("d", "c").equals(polars.select("d", "c")[[0, 1, 4, 5]])

    # View keys, which pyarrow's take does not take, by every function and reader.
    views = pa.table({"k": pa.array(["a", "b", "a", None], pa.string_view()),
                      "b": pa.array([b"x", b"y", b"x", b"z"], pa.binary_view()), "v": [1, 2, 3, 4]})
    for source in (views, views.to_reader()):
        got = vantorelle.sketch_by(source, ["k", "b"], "v")
        assert got.schema.field("k").type == pa.string_view()
        rows = views.select(["k", "b"]).to_pylist()
        assert got.select(["k", "b"]).to_pylist() == [rows[0], rows[1], rows[3]]
    assert vantorelle.count_by(views, "k", "v").column("count").to_pylist() == [2, 1, 1]
    merged = vantorelle.merge_by(got.select(["k", "sketch"]), "k")
    assert merged.column("k").to_pylist() == ["a", "b", None]
    # Dictionaries of views that differ between chunks, with a null entry.
    for view in (pa.string_view(), pa.binary_view()):
        entries = [pa.array(x, view) for x in (["a", None], ["c", "a"])]
        chunks = [pa.DictionaryArray.from_arrays(pa.array(i, pa.int8()), e) for i, e in zip(([0, 1, 0], [1, 0]), entries)]
        keyed = pa.table({"k": pa.chunked_array(chunks), "v": [1, 2, 3, 4, 5]})
        got = vantorelle.sketch_by(keyed, "k", "v")
        assert got.schema.field("k").type == keyed.schema.field("k").type
        assert got.column("k").to_pylist() == [x if x is None or view == pa.string_view() else x.encode()
                                                 for x in ("a", None, "c")]
        assert vantorelle.count_by(keyed, "k", "v").column("count").to_pylist() == [3, 1, 1]


def test_merge_by_of_any_partition_equals_sketch_by_of_all():
    rng = np.random.default_rng(99)
    for trial in range(10):
        kind = INPUT_KINDS[trial % len(INPUT_KINDS)]
        # (pyarrow cannot filter views)
        value_kind = [k for k in VALUE_KINDS if "view" not in k][(3 * trial) % 14]
        p, sp = PRECISIONS[trial % len(PRECISIONS)]
        table, ty = random_table(rng, int(rng.choice([1, 40, 400])), 5_000, ["int", "str"], value_kind)
        whole = vantorelle.sketch_by(table, ["k0", "k1"], "v", ty, p, sp)
        # Shards: any assignment of rows, some shards possibly empty.
        shard = rng.integers(0, int(rng.integers(1, 6)), table.num_rows)
        parts = [vantorelle.sketch_by(table.filter(shard == s), ["k0", "k1"], "v", ty, p, sp)
                 for s in range(shard.max() + 1)]
        stored = pa.concat_tables(parts)
        stored = stored.take(rng.permutation(stored.num_rows))
        merged = vantorelle.merge_by(as_kind(stored, kind, rng), ["k0", "k1"], threads=2)
        keys, sketches = sketches_of(merged)
        one_thread = sketches_of(vantorelle.merge_by(stored, ["k0", "k1"], threads=1))
        assert dict(zip(*one_thread)) == dict(zip(keys, sketches)), (trial, kind)
        want_keys, want = sketches_of(whole)
        assert dict(zip(keys, sketches)) == dict(zip(want_keys, want)), (trial, kind)
        # Roll-up to the first key equals counting by it.
        rolled = vantorelle.merge_by(stored, "k0", "sketch", threads=1)
        direct = vantorelle.sketch_by(table, "k0", "v", ty, p, sp)
        assert dict(zip(*sketches_of(rolled))) == dict(zip(*sketches_of(direct))), trial


def test_estimates_equal_results_in_every_container():
    rng = np.random.default_rng(5)
    table, _ = random_table(rng, 60, 20_000, ["int"], "int64")
    sketches = vantorelle.sketch_by(table, "k0", "v", normal_precision=11).column("sketch").to_pylist()
    sketches += [None, vantorelle.sketch([], int).to_bytes()]
    expected = [0 if s is None else vantorelle.from_bytes(s).result() for s in sketches]
    assert vantorelle.estimates(sketches) == expected
    assert vantorelle.estimates(iter(sketches), threads=1) == expected
    arrow = pa.array(sketches, pa.binary())
    got = vantorelle.estimates(arrow, threads=2)
    assert got.type == pa.int64() and got.to_pylist() == expected
    assert vantorelle.estimates(pa.chunked_array([arrow[:10], arrow[10:]])).to_pylist() == expected
    series = pd.Series(sketches, index=np.arange(len(sketches)) * 3, name="s", dtype=object)
    got = vantorelle.estimates(series)
    assert got.dtype == np.int64 and got.name == "s" and got.index.equals(series.index)
    assert got.tolist() == expected
    got = vantorelle.estimates(pl.Series("s", sketches, dtype=pl.Binary))
    assert got.dtype == pl.Int64 and got.name == "s" and got.to_list() == expected


FRAME = pa.table({"g": [1, 1, 2], "v": [1, 2, 3], "f": [0.5, 1.5, 2.5],
                  "l": [[1], [2], None], "b": pa.array([b"\x01", b"\x02", None], pa.binary())})


@pytest.mark.parametrize("kind", ["table", "pandas", "polars", "duckdb", "reader"])
@pytest.mark.parametrize("call, error, text", [
    (lambda t: vantorelle.sketch_by(t, "g", "f"), TypeError, "'f'"),
    (lambda t: vantorelle.sketch_by(t, "g", "l"), TypeError, "'l'"),
    (lambda t: vantorelle.sketch_by(t, "g", "missing"), ValueError, "'missing'"),
    (lambda t: vantorelle.sketch_by(t, ["g", "nokey"], "v"), ValueError, "'nokey'"),
    (lambda t: vantorelle.merge_by(t, "g", "nosketch"), ValueError, "'nosketch'"),
    (lambda t: vantorelle.merge_by(t, "g", "b"), ValueError, "row 0"),
])
def test_refusals_name_the_column_or_row(kind, call, error, text):
    with pytest.raises(error, match=text):
        call(as_kind(FRAME, kind, None))


@pytest.mark.parametrize("call, error, text", [
    (lambda: vantorelle.sketch_by(FRAME, [], "v"), ValueError, "at least one"),
    (lambda: vantorelle.sketch_by(FRAME, "g", "g"), ValueError, "'g' is also a key"),
    (lambda: vantorelle.sketch_by(FRAME, ["g", "g"], "v"), ValueError, "more than once"),
    (lambda: vantorelle.sketch_by(FRAME, 3, "v"), TypeError, "by must be"),
    (lambda: vantorelle.sketch_by({"g": [1]}, "g", "v"), TypeError, "expected a table"),
    (lambda: vantorelle.sketch_by(pl.LazyFrame({"g": [1], "v": [1]}), "g", "v"), TypeError, "collect"),
    (lambda: vantorelle.sketch_by(FRAME, "g", "v", threads=0), ValueError, "at least 1"),
    (lambda: vantorelle.sketch_by(FRAME, "g", "v", None, 5), ValueError, "Invalid argument"),
    (lambda: vantorelle.sketch_by(FRAME, "g", "v", float), ValueError, "Unsupported type"),
    (lambda: vantorelle.sketch_by(FRAME.rename_columns(["sketch", "v", "f", "l", "b"]), "sketch", "v"),
     ValueError, "clash"),
    (lambda: vantorelle.merge_by(FRAME, "g", "g"), ValueError, "is also a key"),
    (lambda: vantorelle.estimates(b"abc"), TypeError, "not one bytes"),
    (lambda: vantorelle.estimates(pd.DataFrame({"s": []})), TypeError, "one column"),
])
def test_bad_arguments_are_refused_before_any_work(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_a_table_given_to_estimates_is_refused_with_a_column_to_pass():
    stored = vantorelle.sketch_by(FRAME, "g", "v")
    for table, what in [(stored, "pyarrow Table"), (stored.to_batches()[0], "pyarrow RecordBatch"),
                        (stored.to_pandas(), "pandas DataFrame"), (pl.from_arrow(stored), "polars DataFrame")]:
        with pytest.raises(TypeError, match=rf"not a {what}: pass one of its columns, e\.g\. table\['sketch'\]$"):
            vantorelle.estimates(table)
    # (the column it names is one that estimates takes)
    assert vantorelle.estimates(stored["sketch"]).to_pylist() == [2, 1]
    with pytest.raises(TypeError, match=r"e\.g\. table\['g'\]$"):
        vantorelle.estimates(stored.select(["g"]))
    with pytest.raises(TypeError, match=r"not a pyarrow Table \(it has no columns\)$"):
        vantorelle.estimates(pa.table({}))


def test_pandas_columns_labelled_by_numbers_group_as_named_ones():
    # (as read_csv(header=None) labels them); the result keeps the labels
    named = pd.DataFrame({"k": pd.array([3, 1, 3, None, 1], "Int64"), "o": ["a", "b", "x", "c", "b"],
                          "v": [1, 2, 3, 4, 5]})
    labelled = named.set_axis([0, 2.5, 1], axis=1)
    by_name = vantorelle.sketch_by(named, ["k", "o"], "v")
    by_label = vantorelle.sketch_by(labelled, [0, 2.5], 1)
    assert list(by_label.columns) == [0, 2.5, "sketch"]
    assert by_label.equals(by_name.set_axis([0, 2.5, "sketch"], axis=1))
    assert vantorelle.sketch_by(labelled, 0, 1)["sketch"].tolist() == vantorelle.sketch_by(named, "k", "v")["sketch"].tolist()
    stored = by_label.rename(columns={"sketch": 7})
    assert vantorelle.merge_by(stored, 0, 7)["sketch"].tolist() == vantorelle.sketch_by(named, "k", "v")["sketch"].tolist()
    assert vantorelle.count_by(labelled, 0, 1)["count"].tolist() == [2, 2, 1]
    with pytest.raises(ValueError, match="both named '0'"):
        vantorelle.sketch_by(labelled.rename(columns={2.5: "0"}), [0, "0"], 1)
    with pytest.raises(TypeError, match="by must be"):
        vantorelle.sketch_by(pa.Table.from_pandas(named), 0, "v")
    # labels that cannot name one column, and columns of several levels
    for frame, by, text in [(named.set_axis([True, False, 1], axis=1), True, "labelled True"),
                            (named.set_axis([None, "o", 1], axis=1), None, "labelled None"),
                            (named.set_axis([np.nan, "o", 1], axis=1), np.nan, "labelled nan"),
                            (labelled, np.array([0, 2.5]), "by must be a column label"),
                            (named.set_axis(pd.MultiIndex.from_tuples([("k", ""), ("o", ""), ("v", "")]), axis=1),
                             [("k", "")], "several levels")]:
        with pytest.raises(TypeError, match=text):
            vantorelle.sketch_by(frame, by, 1 if text != "several levels" else ("v", ""))
    # labels of one level name the columns as a plain index's do
    one_level = named.set_axis(pd.MultiIndex.from_arrays([named.columns]), axis=1)
    assert vantorelle.sketch_by(one_level, ["k", "o"], "v").equals(by_name)


def test_relation_columns_whose_names_differ_only_in_case_are_each_read():
    # (DuckDB matches a name to a column whatever their case)
    relation = duckdb.sql('SELECT range % 2 AS "K", range % 3 AS "k", range AS v FROM range(12)')
    table = relation.to_arrow_table()
    for by, column in [("k", "v"), ("K", "k"), ("v", "k")]:
        got = vantorelle.sketch_by(relation, by, column).fetchall()
        want = vantorelle.sketch_by(table, by, column)
        assert sorted(got) == sorted(zip(want[by].to_pylist(), want["sketch"].to_pylist()))


def test_frame_subclasses_tuple_labels_and_names_arrow_cannot_carry():
    class Frame(pd.DataFrame):
        @property
        def _constructor(self):
            return Frame

    frame = Frame({("k", "x"): [3, 1, 3], "v": [1, 2, 3]})
    # a subclass is answered in pandas; a tuple that labels a column is that column
    for by in (("k", "x"), [("k", "x")]):
        counted = vantorelle.count_by(frame, by, "v")
        assert isinstance(counted, pd.DataFrame) and counted["count"].tolist() == [2, 1]
    with pytest.raises(TypeError, match="one column of sketches, not a pandas DataFrame"):
        vantorelle.estimates(frame)
    # Arrow's C interface cuts a name at a NUL: refused, never matched to another column
    table = pa.table({"a": [1, 1], "a\0b": [1, 2], "v": [5, 6]})
    for call in (lambda: vantorelle.sketch_by(table, "a\0b", "v"), lambda: vantorelle.count_by(table, "a", "a\0b")):
        with pytest.raises(TypeError, match=r"column 'a\\x00b' cannot be named in Arrow \(its name holds a NUL"):
            call()
    unencodable = pd.DataFrame([[1, 2]], columns=pd.Index(["\ud800", "v"], dtype=object))
    with pytest.raises(TypeError, match="not UTF-8"):
        vantorelle.sketch_by(unencodable, "\ud800", "v")


def test_text_arrow_cannot_hold_in_keys_and_text_among_sketches_are_refused():
    bad = pd.Series(["x", "a\udc80", "x"], dtype=object)
    one = vantorelle.sketch([1]).to_bytes()
    for call in (lambda: vantorelle.sketch_by(pd.DataFrame({"k": bad, "v": [1, 2, 3]}), "k", "v"),
                 lambda: vantorelle.count_by(pd.DataFrame({"k": bad, "v": [1, 2, 3]}), "k", "v"),
                 lambda: vantorelle.merge_by(pd.DataFrame({"k": bad, "s": pd.Series([one] * 3, dtype=object)}),
                                             "k", "s")):
        with pytest.raises(vantorelle.RefusedValueError, match="lone surrogate"):
            call()
    # (not encoded by Arrow and then read as a corrupt sketch)
    with pytest.raises(vantorelle.RefusedValueError, match="the column of dtype object: value at position 1"):
        vantorelle.estimates(pd.Series([one, "abc"], dtype=object))


def test_key_dictionaries_that_differ_between_batches_and_hold_a_null():
    # (pyarrow's take cannot unify such dictionaries for the result's keys)
    batches = [pa.record_batch({"k": pa.DictionaryArray.from_arrays(pa.array([0, 1, 1], pa.int8()), pa.array(entries)),
                                "v": pa.array(values, pa.int64())})
               for entries, values in [([None, 5], [1, 2, 3]), ([5, 7], [4, 5, 6])]]
    table = pa.Table.from_batches(batches)
    for grouped in (vantorelle.sketch_by(table, "k", "v"), vantorelle.sketch_by(table.to_reader(), "k", "v")):
        assert grouped.column("k").type == table.column("k").type
        assert grouped.column("k").to_pylist() == [None, 5, 7]
        assert grouped.column("sketch").to_pylist() == [vantorelle.sketch(pa.array(g, pa.int64())).to_bytes()
                                                        for g in ([1], [2, 3, 4], [5, 6])]


def test_a_source_failing_midway_keeps_its_own_exception_or_ctrl_c():
    schema = pa.schema([("g", pa.int64()), ("v", pa.int64())])

    def failing(error):
        yield pa.record_batch([pa.array([1, 2]), pa.array([3, 4])], schema=schema)
        raise error

    for grouped in (vantorelle.sketch_by, vantorelle.count_by):
        with pytest.raises(KeyboardInterrupt):
            grouped(pa.RecordBatchReader.from_batches(schema, failing(KeyboardInterrupt())), "g", "v")
        with pytest.raises(vantorelle.InvalidInputError, match="^reading the table failed: lost the file$") as raised:
            grouped(pa.RecordBatchReader.from_batches(schema, failing(OSError("lost the file"))), "g", "v")
        assert isinstance(raised.value.__cause__, OSError)


def test_corrupt_stored_sketch_names_its_row():
    good = vantorelle.sketch([1, 2]).to_bytes()
    stored = pa.table({"g": [1, 2, 2], "sketch": pa.array([good, good, good[:-2]], pa.binary())})
    with pytest.raises(ValueError, match="row 2"):
        vantorelle.merge_by(stored, "g")
