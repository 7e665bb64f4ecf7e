"""The grouped kernel of vantorelle._native (sketch_by, merge_by, sketch_lists,
merge_lists) against a model: each group's rows sketched on their own with
vantorelle.sketch, over random pyarrow tables."""

import random

import pytest

import vantorelle
from vantorelle import _native

pa = pytest.importorskip("pyarrow")

KEY_TYPES = [
    pa.int8(), pa.uint16(), pa.int32(), pa.uint64(), pa.int64(), pa.bool_(), pa.date32(),
    pa.timestamp("us"), pa.string(), pa.large_string(), pa.binary(),
    pa.dictionary(pa.int8(), pa.string()), pa.dictionary(pa.int32(), pa.large_binary()),
]
INT_VALUE_TYPES = [pa.int8(), pa.uint8(), pa.int16(), pa.uint32(), pa.int64(), pa.uint64(), pa.bool_()]
TEXT_VALUE_TYPES = [pa.string(), pa.large_string(), pa.string_view(), pa.binary(),
                    pa.large_binary(), pa.binary_view(), pa.dictionary(pa.int16(), pa.string())]


def random_scalar(rng, arrow_type, domain):
    base = arrow_type.value_type if pa.types.is_dictionary(arrow_type) else arrow_type
    k = rng.randrange(domain)
    if pa.types.is_boolean(base):
        return k % 2 == 0
    if pa.types.is_integer(base):
        bits = base.bit_width - (1 if pa.types.is_signed_integer(base) else 0)
        top = min(2**bits, 2**63)
        return (k * 7919) % top - (top // 2 if pa.types.is_signed_integer(base) else 0)
    if pa.types.is_date32(base):
        return __import__("datetime").date(2000, 1, 1) + __import__("datetime").timedelta(days=k)
    if pa.types.is_timestamp(base):
        return k * 1_000_003
    text = f"v{k}" * (1 + k % 3)
    return text.encode() if pa.types.is_binary(base) or pa.types.is_large_binary(base) or \
        pa.types.is_binary_view(base) else text


def random_column(rng, arrow_type, rows, domain, null_share):
    values = [None if rng.random() < null_share else random_scalar(rng, arrow_type, domain)
              for _ in range(rows)]
    return values, pa.array(values, type=arrow_type)


def as_table(columns, rng):
    """A table of several record batches at random cut points."""
    table = pa.table(columns)
    cuts = sorted(rng.sample(range(1, table.num_rows), min(3, table.num_rows - 1))) if table.num_rows > 1 else []
    bounds = [0, *cuts, table.num_rows]
    batches = [b for lo, hi in zip(bounds, bounds[1:]) for b in table.slice(lo, hi - lo).to_batches()]
    return pa.Table.from_batches(batches, schema=table.schema)


def model(key_lists, values, value_type, ty, p, sp):
    """(first rows, sketch bytes) per group, groups in order of first appearance."""
    groups = {}
    for row, key in enumerate(zip(*key_lists)):
        groups.setdefault(key, []).append(row)
    first_rows = [rows[0] for rows in groups.values()]
    sketches = [
        vantorelle.sketch(pa.array([values[r] for r in rows], type=value_type), ty, p, sp).to_bytes()
        for rows in groups.values()
    ]
    return first_rows, sketches


def ty_for(rng, value_type):
    base = value_type.value_type if pa.types.is_dictionary(value_type) else value_type
    if pa.types.is_integer(base) or pa.types.is_boolean(base):
        return rng.choice([None, int])
    return rng.choice([None, str, bytes])


def test_sketch_by_matches_each_group_sketched_alone():
    rng = random.Random(16)
    switched = set()
    for case in range(30):
        rows = rng.choice([0, 1, 50, 2000, 6000])
        key_count = rng.randint(1, 3)
        key_types = [rng.choice(KEY_TYPES) for _ in range(key_count)]
        key_domain = rng.choice([1, 3, 40, 3000])
        keys = [random_column(rng, t, rows, key_domain, rng.choice([0, 0.1])) for t in key_types]
        value_type = rng.choice(INT_VALUE_TYPES + TEXT_VALUE_TYPES)
        values, value_array = random_column(rng, value_type, rows, rng.choice([5, 10**6]), rng.choice([0, 0.2]))
        p = rng.choice([10, 11, 15])
        sp = rng.choice([0, p, p + 5, 25])
        ty = ty_for(rng, value_type)
        columns = {f"k{i}": array for i, (_, array) in enumerate(keys)}
        columns["v"] = value_array
        table = as_table(columns, rng)
        names = list(columns)[:-1]
        first_rows, sketches = _native.sketch_by(table, names, "v", ty, p, sp, 1)
        expected_first, expected = model([k for k, _ in keys], values, value_type, ty, p, sp or None)
        assert pa.array(first_rows).to_pylist() == expected_first, case
        got = pa.array(sketches)
        assert got.type == pa.binary() and got.null_count == 0
        assert got.to_pylist() == expected, case
        threaded = _native.sketch_by(table, names, "v", ty, p, sp, 2)
        assert pa.array(threaded[1]).to_pylist() == expected
        switched.update(len(s) > 2**p // 2 for s in expected)
    assert switched == {False, True}  # groups on both sides of the sparse switch


def test_many_groups_and_threads():
    rng = random.Random(5)
    rows = 300_000
    keys = [rng.randrange(50_000) if rng.random() > 0.01 else None for _ in range(rows)]
    values = [rng.randrange(10**9) for _ in range(rows)]
    table = pa.table({"k": pa.array(keys, pa.int64()), "v": pa.array(values, pa.int64())})
    one = _native.sketch_by(table, ["k"], "v", None, 12, 17, 1)
    two = _native.sketch_by(table, ["k"], "v", None, 12, 17, 2)
    assert pa.array(one[0]).equals(pa.array(two[0]))
    assert pa.array(one[1]).equals(pa.array(two[1]))
    expected_first, expected = model([keys], values, pa.int64(), None, 12, 17)
    assert len(expected) > 45_000
    assert pa.array(one[0]).to_pylist() == expected_first
    assert pa.array(one[1]).to_pylist() == expected


def sketches_of(rng, n, p=11, sp=16, ty=int):
    out = []
    for _ in range(n):
        values = [rng.randrange(5000) for _ in range(rng.choice([0, 3, 400, 3000]))]
        out.append(vantorelle.sketch(values, ty, p, sp).to_bytes())
    return out


def test_merge_by_follows_merge_all_and_names_bad_rows():
    rng = random.Random(8)
    sketches = sketches_of(rng, 120) + sketches_of(rng, 60, p=10, sp=15)
    rng.shuffle(sketches)
    sketches[7] = None
    keys = [rng.randrange(25) for _ in sketches]
    keys.append(99)
    sketches.append(None)  # a group with only a null sketch
    table = pa.table({"g": keys, "s": pa.array(sketches, pa.large_binary())})
    first_rows, merged = _native.merge_by(table, ["g"], "s", 2)
    merged = pa.array(merged).to_pylist()
    for row, got in zip(pa.array(first_rows).to_pylist(), merged):
        members = [s for k, s in zip(keys, sketches) if k == keys[row] and s is not None]
        assert got == (vantorelle.merge_all(members).to_bytes() if members else None)
    assert merged[-1] is None

    corrupt = list(sketches)
    corrupt[50] = corrupt[50][:-1] + b"\xff" if corrupt[50] else b"\x00"
    with pytest.raises(ValueError, match=r"column 's', row 50: not a valid sketch: "):
        _native.merge_by(pa.table({"g": keys, "s": corrupt}), ["g"], "s", 2)
    mixed = list(sketches)
    later = next(i for i in range(40, len(keys)) if keys[i] in keys[:i] and sketches[i] is not None
                 and any(s is not None for k, s in zip(keys[:i], sketches[:i]) if k == keys[i]))
    mixed[later] = vantorelle.sketch(["text"], str, 11, 16).to_bytes()
    with pytest.raises(vantorelle.IncompatibleSketchError, match=rf"column 's', row {later}: cannot be merged .*incompatible"):
        _native.merge_by(pa.table({"g": keys, "s": mixed}), ["g"], "s", 1)


def test_lists():
    rng = random.Random(12)
    lists = [None if rng.random() < 0.1 else
             [None if rng.random() < 0.05 else rng.randrange(10**5) for _ in range(rng.choice([0, 1, 30, 2500]))]
             for _ in range(300)]
    for arrow_type in (pa.list_(pa.int64()), pa.large_list(pa.int32())):
        column = pa.chunked_array([pa.array(lists[:100], arrow_type), pa.array(lists[100:], arrow_type)])
        got = pa.array(_native.sketch_lists(column, None, 11, 16, 2)).to_pylist()
        expected = [None if items is None else
                    vantorelle.sketch(pa.array(items, arrow_type.value_type), None, 11, 16).to_bytes()
                    for items in lists]
        assert got == expected
    stored = [None if items is None else [None if rng.random() < 0.1 else s for s in sketches_of(rng, len(items) % 4)]
              for items in lists[:60]]
    merged = pa.array(_native.merge_lists(pa.array(stored, pa.list_(pa.binary())), 2)).to_pylist()
    for items, got in zip(stored, merged):
        present = [s for s in items or [] if s is not None]
        assert got == (vantorelle.merge_all(present).to_bytes() if present else None)


def test_errors_name_the_column_and_row():
    table = pa.table({"k": [1, 2], "price": [1.5, 2.5], "tags": [[1], [2]], "n": pa.array([5, 2**63], pa.uint64()),
                      "s": ["a", None]})
    with pytest.raises(ValueError, match=r"no column named 'x' \(columns: k, price, tags, n, s\)"):
        _native.sketch_by(table, ["k"], "x", None, 15, 20, 1)
    with pytest.raises(TypeError, match=r"column 'price' holds float64 values, which cannot be counted"):
        _native.sketch_by(table, ["k"], "price", None, 15, 20, 1)
    with pytest.raises(TypeError, match=r"column 'tags' holds list values, which cannot be grouped"):
        _native.sketch_by(table, ["tags"], "k", None, 15, 20, 1)
    with pytest.raises(TypeError, match=r"column 'n', row 1: Unsupported type"):
        _native.sketch_by(table, ["k"], "n", None, 15, 20, 2)
    with pytest.raises(TypeError, match=r"column 's', row 0: Unable to add type STRING to aggregator of type \{LONG\}"):
        _native.sketch_by(table, ["k"], "s", int, 15, 20, 1)
    with pytest.raises(ValueError, match="normal precision"):
        _native.sketch_by(table, ["k"], "k", None, 30, 20, 1)
    with pytest.raises(TypeError, match="not serialised sketches"):
        _native.merge_by(table, ["k"], "k", 1)


@pytest.mark.parametrize("distinct", [3000, 10**6])
def test_split_columns_equal_one_thread(distinct):
    rng = random.Random(distinct)
    n = 300_000
    ints = [None if rng.random() < 0.01 else rng.randrange(distinct) for _ in range(n)]
    columns = [
        pa.chunked_array([pa.array(ints[:100_000], pa.int64()), pa.array(ints[100_000:], pa.int64())]),
        pa.array(ints, pa.uint32()),
        pa.array([None if v is None else f"u{v}" for v in ints], pa.large_string()).dictionary_encode(),
    ]
    for column in columns:
        for ty, p, sp in [(None, 15, 20), (None, 12, None), (bytes if pa.types.is_dictionary(column.type) else int, 11, 25)]:
            one = vantorelle.sketch(column, ty, p, sp, threads=1).to_bytes()
            assert vantorelle.sketch(column, ty, p, sp, threads=2).to_bytes() == one
            target = vantorelle.sketch([], ty or (str if pa.types.is_dictionary(column.type) else int), p, sp)
            vantorelle.add_all(target, column, threads=3)
            assert target.to_bytes() == one
    assert vantorelle.count_distinct(columns[0], threads=2) == vantorelle.count_distinct(columns[0], threads=1)
    refused = pa.array([1] * n + [2**63], pa.uint64())
    with pytest.raises(TypeError, match=f"value at position {n}: "):
        vantorelle.sketch(refused, threads=2)
    with pytest.raises(ValueError, match="threads"):
        vantorelle.sketch(refused, threads=0)


def test_dictionary_keys_compare_by_value_across_batches():
    # Each batch has its own dictionary; equal strings are one group.
    schema = pa.schema([("k", pa.dictionary(pa.int32(), pa.string())), ("v", pa.int64())])
    first = pa.record_batch([pa.DictionaryArray.from_arrays(pa.array([0, 1, 0, None], pa.int32()), ["x", "y"]),
                             pa.array([1, 2, 3, 4])], schema=schema)
    second = pa.record_batch([pa.DictionaryArray.from_arrays(pa.array([1, 0, 2], pa.int32()), ["z", "y", None]),
                              pa.array([5, 6, 7])], schema=schema)
    first_rows, sketches = _native.sketch_by(pa.Table.from_batches([first, second]), ["k"], "v", None, 15, 20, 2)
    # x: rows 0, 2; y: rows 1, 4; null: rows 3, 6 (a null index and a null entry); z: row 5.
    assert pa.array(first_rows).to_pylist() == [0, 1, 3, 5]
    expected = [vantorelle.sketch(pa.array(v, pa.int64())).to_bytes() for v in ([1, 3], [2, 5], [4, 7], [6])]
    assert pa.array(sketches).to_pylist() == expected
