#!/usr/bin/env python3
"""Count distinct values with vantorelle.

Without arguments: builds a sample stream of 1,000,000 events from 100,000
distinct users spread over 8 shards, counts each shard's column in its own
sketch (with vantorelle.sketch, and again with a loop of add for
comparison), ships every sketch as bytes, merges the bytes into one sketch
and compares the estimate with the exact count.

With a file argument: counts the distinct lines of that file, streaming it
through one sketch (memory stays bounded whatever the file's size).
"""

import random
import sys
import time

import vantorelle
from vantorelle import HyperLogLogPlusPlus

EVENTS = 1_000_000
USERS = 100_000
SHARDS = 8
SEED = 20240607


def sample_stream():
    """(shard, user id) pairs; every user occurs at least once."""
    rng = random.Random(SEED)
    users = [f"user-{rng.getrandbits(48):012x}" for _ in range(USERS)]
    events = users + rng.choices(users, k=EVENTS - USERS)
    rng.shuffle(events)
    return [(rng.randrange(SHARDS), user) for user in events]


def add_loop(columns):
    shards = [HyperLogLogPlusPlus(str) for _ in columns]
    for shard, column in zip(shards, columns):
        add = shard.add
        for user in column:
            add(user)
    return shards


def demo():
    stream = sample_stream()
    columns = [[] for _ in range(SHARDS)]
    for shard, user in stream:
        columns[shard].append(user)

    started = time.perf_counter()
    shards = [vantorelle.sketch(column, str) for column in columns]
    column_seconds = time.perf_counter() - started
    started = time.perf_counter()
    looped = add_loop(columns)
    loop_seconds = time.perf_counter() - started
    assert [s.to_bytes() for s in shards] == [s.to_bytes() for s in looped]

    payloads = [shard.to_bytes() for shard in shards]  # what each shard would send
    total = vantorelle.merge_all(payloads)

    exact = len({user for _, user in stream})
    estimate = total.result()
    print(f"events:            {total.num_values():,} over {SHARDS} shards")
    print(f"exact distinct:    {exact:,}")
    print(f"estimated:         {estimate:,}")
    print(f"relative error:    {(estimate - exact) / exact:+.3%}")
    print(f"bytes per sketch:  {min(map(len, payloads)):,} to {max(map(len, payloads)):,}")
    print(f"merged sketch:     {total!r}, {len(total.to_bytes()):,} bytes")
    print(f"column path:       {column_seconds * 1e3:,.1f} ms "
          f"({column_seconds / EVENTS * 1e9:.1f} ns per value)")
    print(f"loop of add:       {loop_seconds * 1e3:,.1f} ms "
          f"({loop_seconds / EVENTS * 1e9:.1f} ns per value, "
          f"{loop_seconds / column_seconds:.1f}x the column path)")


def count_lines(path):
    sketch = HyperLogLogPlusPlus(bytes)
    add = sketch.add
    with open(path, "rb") as lines:
        for line in lines:
            add(line.rstrip(b"\r\n"))
    print(f"{path}: {sketch.num_values():,} lines, about {sketch.result():,} distinct")


def main(argv):
    if len(argv) > 2:
        print(f"usage: {argv[0]} [FILE]", file=sys.stderr)
        return 2
    if len(argv) == 2:
        count_lines(argv[1])
    else:
        demo()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
