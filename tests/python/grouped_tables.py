"""Random grouped tables for the Spark and DuckDB tests, and the sketches
expected for them, computed row by row in plain Python (no grouped code of
the package involved)."""

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import vantorelle

# Distinct values per group: a single value, small groups, groups on both
# sides of the sparse-to-normal switch at p=15 (near 22,660 distinct values)
# and a large one.
GROUP_SIZES = (1, 5, 300, 22_300, 22_500, 22_900, 23_300, 40_000)
FIRST_KEYS = (0, 1, 2, None)
SECOND_KEYS = ("a", "ü", None)


def random_table(seed, groups=7, null_share=0.05):
    """Columns k1 (int64), k2 (string), both with nulls, and the values of
    each row as vi (int64), vs (string) and vb (binary), nulls included.
    Groups of (k1, k2) get random sizes from GROUP_SIZES and overlapping
    ranges of ids, so roll-ups over k1 count fewer values than their parts."""
    rng = np.random.default_rng(seed)
    pairs = [(a, b) for a in FIRST_KEYS for b in SECOND_KEYS]
    chosen = rng.choice(len(pairs), size=groups, replace=False)
    k1, k2, ids = [], [], []
    for index in chosen:
        distinct = int(rng.choice(GROUP_SIZES))
        start = int(rng.integers(0, 30_000))
        base = np.arange(start, start + distinct)
        repeats = rng.choice(base, int(distinct * rng.uniform(0, 0.5)))
        group_ids = np.concatenate([base, repeats]).astype(object)
        nulls = np.full(int(len(group_ids) * null_share), None, dtype=object)
        group_ids = np.concatenate([group_ids, nulls])
        k1 += [pairs[index][0]] * len(group_ids)
        k2 += [pairs[index][1]] * len(group_ids)
        ids.append(group_ids)
    # One group of nulls only.
    k1.append(7)
    k2.append("z")
    ids.append(np.array([None], dtype=object))
    ids = np.concatenate(ids)
    order = rng.permutation(len(ids))
    ids = [ids[i] for i in order]
    # Integers spread over the whole int64 range, negative ones included.
    spread = [None if v is None else (v * 0x9E3779B97F4A7C15) % (1 << 64) - (1 << 63)
              for v in ids]
    return pa.table({
        "k1": pa.array([k1[i] for i in order], pa.int64()),
        "k2": pa.array([k2[i] for i in order], pa.string()),
        "vi": pa.array(spread, pa.int64()),
        "vs": pa.array([None if v is None else f"user-{v}-é" for v in ids], pa.string()),
        "vb": pa.array([None if v is None else b"\xff" + int(v).to_bytes(8, "little")
                        for v in ids], pa.binary()),
    })


def write_parts(table, directory, parts=3):
    """`table` as `parts` Parquet files in `directory` (several Spark partitions)."""
    directory.mkdir(parents=True, exist_ok=True)
    size = -(-table.num_rows // parts)
    for part in range(parts):
        pq.write_table(table.slice(part * size, size), directory / f"part-{part}.parquet")
    return directory


def group_values(table, keys, column):
    """{key tuple: [non-null values]} over the rows of `table`."""
    groups = {}
    key_columns = [table.column(key).to_pylist() for key in keys]
    for row, value in enumerate(table.column(column).to_pylist()):
        values = groups.setdefault(tuple(column[row] for column in key_columns), [])
        if value is not None:
            values.append(value)
    return groups


def expected_sketches(table, keys, column, normal_precision=15, sparse_precision=20):
    """{key tuple: serialised sketch} of each group's values, one `add` at a time."""
    ty = {pa.int64(): int, pa.string(): str, pa.binary(): bytes}[table.schema.field(column).type]
    expected = {}
    for key, values in group_values(table, keys, column).items():
        sketch = vantorelle.HyperLogLogPlusPlus(ty, normal_precision, sparse_precision)
        for value in values:
            sketch.add(value)
        expected[key] = sketch.to_bytes()
    return expected


def is_dense(serialised, normal_precision=15):
    """Whether a sketch is in its normal form: 2^p register bytes, more than
    its sparse form may ever take."""
    return len(serialised) >= 1 << normal_precision
