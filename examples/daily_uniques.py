"""Daily and weekly distinct users on a Dask cluster, with stored sketches.

1. Writes a few million (day, user) events as Parquet files.
2. On a LocalCluster, computes one sketch of the users of each day
   (vantorelle.dask.sketch_aggregation) and stores the daily sketches as a
   Parquet column of bytes.
3. Reads that file back and rolls the daily sketches up into weekly uniques
   (vantorelle.dask.merge_aggregation), without touching the events again.
4. Prints the estimates against the exact counts.

Run: .venv/bin/python examples/daily_uniques.py [events]
"""

import sys
import tempfile
from pathlib import Path

import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
from distributed import Client, LocalCluster

import vantorelle.dask as vd


def write_events(directory: Path, events: int, days: int = 28, files: int = 8) -> pd.DataFrame:
    rng = np.random.default_rng(2024)
    day = rng.integers(0, days, events, dtype=np.int64)
    # Heavy users come back often; the population grows a little every day.
    user = (rng.zipf(1.2, events) + day * 5_000) % 2_000_000
    frame = pd.DataFrame({"day": day, "user": user})
    for i, part in enumerate(np.array_split(np.arange(events), files)):
        pq.write_table(pa.Table.from_pandas(frame.iloc[part], preserve_index=False),
                       directory / f"events-{i:02}.parquet")
    return frame


def main() -> None:
    events = int(sys.argv[1]) if len(sys.argv) > 1 else 3_000_000
    with tempfile.TemporaryDirectory() as tmp, \
            LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster):
        root = Path(tmp)
        (root / "events").mkdir()
        frame = write_events(root / "events", events)

        # Daily sketches, stored as a Parquet column of bytes.
        ddf = dd.read_parquet(root / "events")
        daily = ddf.groupby("day").user.agg(vd.sketch_aggregation()).compute()
        stored = pd.DataFrame({"day": daily.index, "week": daily.index // 7, "users": daily.values})
        stored.to_parquet(root / "daily_sketches.parquet")

        # Weekly uniques from the stored daily sketches alone.
        sketches = dd.read_parquet(root / "daily_sketches.parquet")
        weekly = vd.estimate(sketches.groupby("week").users.agg(vd.merge_aggregation())).compute()

        exact_daily = frame.groupby("day").user.nunique()
        exact_weekly = frame.groupby(frame.day // 7).user.nunique()
        daily_estimate = vd.estimate(daily)
        print(f"{events:,} events, {frame.user.nunique():,} distinct users")
        print("day  estimate     exact   error")
        for day in sorted(exact_daily.index)[:7]:
            e, x = daily_estimate[day], exact_daily[day]
            print(f"{day:3}  {e:8,}  {x:8,}  {100 * (e - x) / x:+.2f}%")
        print("...\nweek  estimate     exact   error   (rolled up from stored daily sketches)")
        for week in sorted(exact_weekly.index):
            e, x = weekly[week], exact_weekly[week]
            print(f"{week:4}  {e:8,}  {x:8,}  {100 * (e - x) / x:+.2f}%")


if __name__ == "__main__":
    main()
