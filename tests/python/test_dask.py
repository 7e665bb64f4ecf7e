"""vantorelle.dask on the synchronous scheduler and on a two-process
LocalCluster, where partition sketches cross process boundaries."""

import subprocess
import sys

import dask
import dask.array as da
import dask.bag as db
import dask.dataframe as dd
import numpy as np
import pandas as pd
import psutil
import pyarrow as pa
import pytest
from distributed import Client, LocalCluster

import vantorelle
import vantorelle.dask as vd

BINARY = pd.ArrowDtype(pa.binary())


@pytest.fixture(scope="module")
def client():
    before = {child.pid for child in psutil.Process().children(recursive=True)}
    cluster = LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        # Any free port: 8787, the default, may be taken by another cluster
        # on the machine (the sanitized test lane runs beside the plain one).
        dashboard_address=":0",
        worker_dashboard_address=None,
    )
    client = Client(cluster)
    worker_pids = list(client.run(lambda: __import__("os").getpid()).values())
    assert len(set(worker_pids)) == 2
    yield client
    client.close()
    cluster.close()
    gone, alive = psutil.wait_procs(
        [psutil.Process(pid) for pid in worker_pids if psutil.pid_exists(pid)], timeout=10
    )
    assert not alive, f"worker processes left running: {alive}"
    # multiprocessing's resource tracker serves this process until it exits.
    left = [child for child in psutil.Process().children(recursive=True)
            if child.pid not in before and "multiprocessing.resource_tracker" not in
            " ".join(child.cmdline())]
    assert not left, f"processes left running: {left}"


@pytest.fixture(params=["sync", "cluster"])
def compute(request):
    if request.param == "sync":
        return lambda value: dask.compute(value, scheduler="sync")[0]
    client = request.getfixturevalue("client")
    return lambda value: client.compute(value, sync=True)


def as_column(values, kind):
    """A pandas column of kind int / str / bytes from integer ids (None for null)."""
    if kind == "int":
        return pd.Series(pd.array(values, dtype="Int64"))
    if kind == "str":
        return pd.Series([None if v is None else f"user-{v}" for v in values], dtype="str")
    # Non-UTF-8 bytes, as Arrow binary.
    return pd.Series(
        [None if v is None else b"\xff" + int(v).to_bytes(8, "little") for v in values],
        dtype=BINARY,
    )


def local_sketch(column):
    """One local sketch of a pandas column's non-null values."""
    return vantorelle.sketch(pa.array(column, from_pandas=True))


# Group sizes (distinct values, rows): a single value, a small group, groups
# around the sparse-to-normal switch of p=15 (near 22,660 distinct values,
# depending on the values) and a large one. Nulls come on top.
GROUPS = {0: (1, 1), 1: (37, 90), 2: (22_400, 30_000), 3: (22_650, 22_650), 4: (22_900, 26_000),
          5: (23_500, 23_500), 6: (60_000, 80_000)}


def grouped_frame(kind, seed=0, null_share=0.05):
    rng = np.random.default_rng(seed)
    keys, ids = [], []
    for key, (distinct, rows) in GROUPS.items():
        base = np.arange(distinct) + key * 1_000_000
        group_ids = np.concatenate([base, rng.choice(base, rows - distinct)]).astype(object)
        nulls = np.full(int(rows * null_share), None, dtype=object)
        keys.append(np.full(rows + len(nulls), key))
        ids.append(np.concatenate([group_ids, nulls]))
    key = np.concatenate(keys)
    id_ = np.concatenate(ids)
    order = rng.permutation(len(key))
    return pd.DataFrame({"g": key[order], "v": as_column(id_[order].tolist(), kind)})


@pytest.mark.parametrize("kind", ["int", "str", "bytes"])
def test_group_sketches_equal_local_sketches_for_any_partitioning(compute, kind):
    frame = grouped_frame(kind, seed=len(kind))
    expected = {key: local_sketch(part.v) for key, part in frame.groupby("g")}
    for npartitions in (1, 3, 8):
        ddf = dd.from_pandas(frame, npartitions=npartitions, sort=False)
        result = compute(ddf.groupby("g").v.agg(vd.sketch_aggregation()))
        assert result.dtype == BINARY
        assert sorted(result.index) == sorted(expected)
        for key, sketch in expected.items():
            got = vantorelle.from_bytes(result[key])
            assert (got.result(), got.num_values()) == (sketch.result(), sketch.num_values()), (
                npartitions, key)
            assert got.to_bytes() == sketch.to_bytes(), (npartitions, key)
        estimates = vd.estimate(result)
        assert estimates.dtype == np.int64
        assert all(estimates[key] == expected[key].result() for key in expected)


def test_forms_agree_around_the_switch():
    # Partition sketches merged after serialisation reach the same form, and
    # so the same estimate, as the column path over all values; for groups
    # around the switch that is the normal form only once the union's sparse
    # data exceeds its budget.
    rng = np.random.default_rng(11)
    for trial in range(60):
        distinct = int(rng.integers(22_300, 23_100))
        values = rng.permutation(np.arange(distinct, dtype=np.int64) + trial * 10**7)
        cuts = np.sort(rng.integers(0, distinct, int(rng.integers(1, 8))))
        parts = [vantorelle.sketch(part, int).to_bytes() for part in np.split(values, cuts)]
        merged = vantorelle.merge_all(parts)
        local = vantorelle.sketch(values)
        assert merged.result() == local.result()
        assert len(merged.to_bytes()) == len(local.to_bytes())


def frames_with_gaps(kind):
    """Partitions: an empty one, a group present in one partition only, a
    partition of nulls only, and a group spread over several."""
    def frame(keys, ids):
        return pd.DataFrame({"g": np.array(keys, dtype=np.int64), "v": as_column(ids, kind)})

    return [
        frame([1, 1, 2, 2], [1, 2, 3, None]),
        frame([], []),
        frame([3, 3, 3], [7, 8, 7]),  # group 3: this partition only
        frame([1, 2], [None, None]),
        frame([2, 1, 4], [4, 1, None]),  # group 4: one null only
    ]


@pytest.mark.parametrize("kind", ["int", "str", "bytes"])
def test_empty_partitions_nulls_and_single_partition_groups(compute, kind):
    parts = frames_with_gaps(kind)
    ddf = dd.from_delayed([dask.delayed(p) for p in parts], meta=parts[0].iloc[:0])
    result = compute(ddf.groupby("g").v.agg(vd.sketch_aggregation()))
    whole = pd.concat(parts)
    for key, part in whole.groupby("g"):
        got = vantorelle.from_bytes(result[key])
        expected = local_sketch(part.v) if part.v.notna().any() else None
        if expected is None:
            assert (got.result(), got.num_values()) == (0, 0)
        else:
            assert (got.result(), got.num_values()) == (expected.result(), expected.num_values())
    assert vd.estimate(result).to_dict() == {1: 2, 2: 2, 3: 2, 4: 0}
    assert compute(vd.approx_distinct(ddf.v)) == 6


@pytest.mark.parametrize("per_key", [2, 200])
def test_null_keys_are_a_group_under_dropna_false(compute, per_key):
    # Partitions of small groups pass values on, of large ones sketches.
    frame = pd.DataFrame({"k": pd.array([1, 2, None] * per_key, dtype="Int64"), "v": range(3 * per_key)})
    ddf = dd.from_pandas(frame, npartitions=2)
    whole = vantorelle.sketch_by(frame, "k", "v")
    for dropna in (False, True):
        result = compute(ddf.groupby("k", dropna=dropna).v.agg(vd.sketch_aggregation()))
        expected = {None if pd.isna(k) else k: s for k, s in zip(whole["k"], whole["sketch"])
                    if not dropna or not pd.isna(k)}
        assert {None if pd.isna(k) else k: s for k, s in result.items()} == expected, dropna


def test_object_columns_of_bytes_and_all_null_groups(compute):
    with dask.config.set({"dataframe.convert-string": False}):
        frame = pd.DataFrame({
            "g": [1, 1, 2, 3, 3],
            "v": pd.Series([b"\x80a", None, b"\xfe", None, None], dtype=object),
        })
        ddf = dd.from_pandas(frame, npartitions=2, sort=False)
        assert ddf.v.dtype == object
        result = compute(ddf.groupby("g").v.agg(vd.sketch_aggregation()))
        assert vantorelle.from_bytes(result[1]).num_values() == 1
        # An object column gives no type to a group without values.
        assert pd.isna(result[3])
        stored = pd.DataFrame({"w": [0, 0, 0], "s": pd.Series(list(result.values), dtype=object)})
        rolled = compute(
            dd.from_pandas(stored, npartitions=2, sort=False)
            .groupby("w").s.agg(vd.merge_aggregation()))
        assert vd.estimate(rolled)[0] == 2


def test_roll_ups_from_stored_bytes_equal_the_sketch_of_the_union(compute, tmp_path):
    rng = np.random.default_rng(3)
    rows = 120_000
    frame = pd.DataFrame({"day": rng.integers(0, 14, rows),
                          "user": rng.zipf(1.3, rows) % 200_000})
    ddf = dd.from_pandas(frame, npartitions=5, sort=False)
    daily = compute(ddf.groupby("day").user.agg(vd.sketch_aggregation()))
    stored = pd.DataFrame({"week": daily.index // 7, "sketch": daily.values})
    stored.to_parquet(tmp_path / "daily.parquet")
    back = dd.read_parquet(tmp_path / "daily.parquet").repartition(npartitions=3)
    weekly = compute(back.groupby("week").sketch.agg(vd.merge_aggregation()))
    for week, part in frame.groupby(frame.day // 7):
        got = vantorelle.from_bytes(weekly[week])
        union = vantorelle.sketch(part.user.to_numpy())
        assert (got.result(), got.num_values()) == (union.result(), union.num_values())
    month = compute(vd.estimate(back.sketch.to_frame().assign(k=0)
                                .groupby("k").sketch.agg(vd.merge_aggregation())))
    assert month[0] == vantorelle.count_distinct(frame.user.to_numpy())


@pytest.mark.parametrize("kind", ["int", "str", "bytes"])
def test_whole_collections(compute, kind):
    rng = np.random.default_rng(5)
    ids = rng.integers(0, 30_000, 50_000).astype(object)
    ids[rng.random(len(ids)) < 0.1] = None
    column = as_column(ids.tolist(), kind)
    expected = local_sketch(column)
    series = dd.from_pandas(column, npartitions=6)
    got = compute(vd.sketch(series))
    assert isinstance(got, vantorelle.HyperLogLogPlusPlus)
    assert (got.result(), got.num_values()) == (expected.result(), expected.num_values())
    assert compute(vd.approx_distinct(series)) == expected.result()
    present = [v for v in pa.array(column, from_pandas=True).to_pylist() if v is not None]
    bag = db.from_sequence(present + [None], npartitions=4)
    assert compute(vd.approx_distinct(bag)) == expected.result()
    if kind == "int":
        array = da.from_array(np.array(present, dtype=np.int64), chunks=7_000)
        assert compute(vd.approx_distinct(array)) == expected.result()
        assert compute(vd.approx_distinct(array, 12, 18)) == vantorelle.count_distinct(
            np.array(present), 12, 18)


def test_empty_collections(compute):
    empty = dd.from_pandas(pd.Series([], dtype=np.int64), npartitions=1)
    assert compute(vd.approx_distinct(empty)) == 0
    assert compute(vd.sketch(empty)).num_values() == 0
    bag = db.from_sequence([None, None], npartitions=2)
    assert compute(vd.approx_distinct(bag)) == 0
    assert compute(vd.sketch(bag, ty=str)).num_values() == 0
    with pytest.raises(ValueError, match="pass ty="):
        compute(vd.sketch(bag))


def test_refused_and_broken_inputs_reach_the_caller(compute):
    frame = pd.DataFrame({"g": [1, 2, 1], "f": [0.5, 1.5, 2.5], "o": [1, 2.5, 3]})
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_pandas(frame.astype({"o": object}), npartitions=2, sort=False)
        with pytest.raises(TypeError, match="column 'f' of dtype float64"):
            ddf.groupby("g").f.agg(vd.sketch_aggregation())
        with pytest.raises(TypeError, match="column 'f' of dtype float64"):
            vd.approx_distinct(ddf.f)
        with pytest.raises(TypeError, match="dtype float64"):
            vd.approx_distinct(da.from_array(np.ones(4), chunks=2))
        # Floats hidden in an object column fail where they are read.
        with pytest.raises(TypeError, match="column 'o' of dtype object"):
            compute(ddf.groupby("g").o.agg(vd.sketch_aggregation()))
        with pytest.raises(TypeError, match="Unsupported type"):
            compute(vd.approx_distinct(db.from_sequence([1, 2.5], npartitions=1)))
        good = vantorelle.sketch([1, 2]).to_bytes()
        stored = pd.DataFrame({"g": [1, 1, 2], "s": pd.Series([good, good[:-3], good], dtype=BINARY)})
        with pytest.raises(ValueError, match="group 1"):
            compute(dd.from_pandas(stored, npartitions=2, sort=False)
                    .groupby("g").s.agg(vd.merge_aggregation()))
        mixed = pd.DataFrame({"g": [1, 1], "s": pd.Series(
            [good, vantorelle.sketch(["a"]).to_bytes()], dtype=BINARY)})
        with pytest.raises(RuntimeError, match="group 1: .*incompatible"):
            compute(dd.from_pandas(mixed, npartitions=1)
                    .groupby("g").s.agg(vd.merge_aggregation()))
        # Integers in one partition and text in the other: refused as
        # vantorelle.sketch refuses the column, not as sketches that cannot merge.
        mixed_kinds = pd.DataFrame({"g": [1, 1, 1, 1], "v": pd.Series([1, 2, "a", "b"], dtype=object)})
        with pytest.raises(vantorelle.RefusedValueError):
            vantorelle.sketch(mixed_kinds.v)
        ddf = dd.from_pandas(mixed_kinds, npartitions=2, sort=False)
        for computed in (vd.sketch(ddf.v), ddf.groupby("g").v.agg(vd.sketch_aggregation())):
            with pytest.raises(vantorelle.RefusedValueError, match="integers in some partitions and text"):
                compute(computed)
        # A ty the values do not fit names the failing group by its key.
        numbers = pd.DataFrame({"g": ["y", "x"] * 20, "n": pd.Series(range(40), dtype=object)})
        with pytest.raises(TypeError, match=r"row 0: .*\(group g='y'\)$"):
            compute(dd.from_pandas(numbers, npartitions=1).groupby("g").n.agg(vd.sketch_aggregation(ty=str)))
    text = dd.from_pandas(pd.DataFrame({"g": [1], "s": ["abc"]}), npartitions=1)
    with pytest.raises(TypeError, match="column 's' holds large_string values, which are not serialised"):
        compute(text.groupby("g").s.agg(vd.merge_aggregation()))


def test_importing_vantorelle_does_not_import_dask():
    code = "import sys, vantorelle; print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def _record_pickle_errors(dask_worker=None):
    import logging

    records = []
    handler = logging.Handler(logging.ERROR)
    handler.emit = lambda record: records.append(record.getMessage())
    logging.getLogger("distributed.protocol.pickle").addHandler(handler)
    __import__("builtins")._vantorelle_test_records = records


def _pickle_errors(dask_worker=None):
    import logging

    # A message through the same logger shows that the recording works.
    logging.getLogger("distributed.protocol.pickle").error("probe")
    return list(__import__("builtins")._vantorelle_test_records)


def test_tasks_returning_sketches_log_no_pickling_errors(client):
    client.run(_record_pickle_errors)
    got = client.submit(vantorelle.sketch, [1, 2, 3]).result()
    assert got.to_bytes() == vantorelle.sketch([1, 2, 3]).to_bytes()
    series = dd.from_pandas(pd.Series(np.arange(5_000)), npartitions=4)
    assert client.compute(vd.sketch(series), sync=True).result() == vantorelle.count_distinct(
        np.arange(5_000))
    for worker, messages in client.run(_pickle_errors).items():
        assert messages[-1] == "probe", worker
        assert messages[:-1] == [], (worker, messages)


def test_categories_booleans_and_many_groups(compute):
    rng = np.random.default_rng(21)
    rows = 30_000
    frame = pd.DataFrame({
        "g": rng.integers(0, 800, rows),
        "city": pd.Categorical(rng.choice(["oslo", "lima", "pune", None], rows)),
        "flag": pd.array(rng.integers(0, 2, rows).astype(bool), dtype="boolean"),
        "user": rng.integers(0, 20_000, rows),
    })
    frame.loc[rng.random(rows) < 0.05, "flag"] = None
    ddf = dd.from_pandas(frame, npartitions=5, sort=False)
    for column in ("city", "flag", "user"):
        result = compute(ddf.groupby("g")[column].agg(vd.sketch_aggregation(12, 16)))
        whole = vantorelle.sketch_by(pa.Table.from_pandas(frame[["g", column]]), "g", column,
                                     None, 12, 16)
        expected = dict(zip(whole.column("g").to_pylist(), whole.column("sketch").to_pylist()))
        assert dict(zip(result.index, result.tolist())) == expected, column
        assert compute(vd.approx_distinct(ddf[column])) == vantorelle.count_distinct(
            pa.array(frame[column], from_pandas=True))
    with pytest.raises(TypeError, match="column 'f'") as refused:
        ddf.assign(f=0.5).groupby("g").f.agg(vd.sketch_aggregation())
    assert type(refused.value) is vantorelle.RefusedValueError  # public, and a TypeError
    # Keys the engine does not group by (floats: an integer key with a gap,
    # as pandas reads it) are grouped by pandas instead.
    floats = frame.assign(g=(frame["g"] / 4).where(frame["g"] % 50 != 0))
    result = compute(dd.from_pandas(floats, npartitions=5, sort=False)
                     .groupby("g").user.agg(vd.sketch_aggregation()))
    assert dict(zip(result.index, result.tolist())) == {
        key: vantorelle.sketch(list(group), int).to_bytes()
        for key, group in floats.groupby("g", sort=False).user}


def test_names_arrow_cannot_carry_and_categories_of_any_type(compute):
    # Dask groups by names holding a NUL; they never reach Arrow's C
    # interface, which would cut them there.
    frame = pd.DataFrame({"k\0z": np.arange(60) % 3, "a\0b": np.arange(60) % 7})
    ddf = dd.from_pandas(frame, npartitions=3, sort=False)
    sketched = compute(ddf.groupby("k\0z")["a\0b"].agg(vd.sketch_aggregation()))
    assert dict(zip(sketched.index, sketched.tolist())) == {
        key: vantorelle.sketch(list(group), int).to_bytes() for key, group in frame.groupby("k\0z")["a\0b"]}
    stored = dd.from_pandas(pd.DataFrame({"k\0z": sketched.index, "a\0b": sketched.array}), npartitions=2)
    merged = compute(stored.groupby("k\0z")["a\0b"].agg(vd.merge_aggregation()))
    assert dict(zip(merged.index, merged.tolist())) == dict(zip(sketched.index, sketched.tolist()))
    # Categories of dates are refused as vantorelle.sketch refuses them; of
    # string views, counted.
    days = dd.from_pandas(pd.DataFrame({"g": [1, 1], "day": pd.Categorical(pd.to_datetime(["2026-01-01"] * 2))}),
                          npartitions=1)
    for call in (lambda: vd.approx_distinct(days.day), lambda: days.groupby("g").day.agg(vd.sketch_aggregation())):
        with pytest.raises(vantorelle.RefusedValueError, match="timestamp"):
            compute(call())
    views = pd.Series(pd.arrays.ArrowExtensionArray(pa.array(["a", "b", "a"], pa.string_view()).dictionary_encode()))
    assert compute(vd.approx_distinct(dd.from_pandas(views.to_frame("s"), npartitions=1).s)) == 2


@pytest.mark.parametrize("seed", range(4))
def test_partitions_shipping_values_and_partitions_shipping_sketches_combine_exactly(compute, seed):
    # Partitions of many small groups pass their values on, partitions of
    # few large groups their sketches; the same keys appear in both kinds.
    rng = np.random.default_rng(seed)
    kind = ["int", "str", "bytes"][seed % 3]
    parts = []
    for _ in range(int(rng.integers(2, 6))):
        if rng.random() < 0.5:
            keys = rng.integers(0, 400, int(rng.integers(1, 800)))  # ~2 rows a group
        else:
            keys = rng.integers(0, 3, int(rng.integers(200, 3000)))  # hundreds a group
        ids = [None if rng.random() < 0.05 else int(v) for v in rng.integers(0, 5000, len(keys))]
        parts.append(pd.DataFrame({"g": keys.astype(np.int64), "v": as_column(ids, kind)}))
    ddf = dd.from_delayed([dask.delayed(p) for p in parts], meta=parts[0].iloc[:0])
    result = compute(ddf.groupby("g").v.agg(vd.sketch_aggregation()))
    whole = pd.concat(parts)
    expected = vantorelle.sketch_by(whole.reset_index(drop=True), "g", "v")
    assert sorted(result.index) == sorted(expected["g"])
    for key, sketch in zip(expected["g"], expected["sketch"]):
        assert result[key] == sketch, key


def test_values_passed_on_are_sketched_where_the_tree_has_gathered_enough(compute):
    # Each partition has small groups; eight of them together have large ones.
    rng = np.random.default_rng(5)
    parts = [pd.DataFrame({"g": rng.integers(0, 40, 300).astype(np.int64),
                           "v": rng.integers(0, 10**6, 300).astype(np.int64)})
             for _ in range(16)]
    ddf = dd.from_delayed([dask.delayed(p) for p in parts], meta=parts[0].iloc[:0])
    expected = vantorelle.sketch_by(pd.concat(parts).reset_index(drop=True), "g", "v")
    for split_out in (1, 2):
        result = compute(ddf.groupby("g").v.agg(vd.sketch_aggregation(), split_out=split_out,
                                                split_every=8, shuffle_method="tasks"))
        assert sorted(result.index) == sorted(expected["g"])
        for key, sketch in zip(expected["g"], expected["sketch"]):
            assert result[key] == sketch, (split_out, key)
