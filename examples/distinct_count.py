#!/usr/bin/env python3
"""Count distinct values with vantorelle_py.

Without arguments: builds a sample stream of 1,000,000 events from 100,000
distinct users spread over 8 shards, counts each shard in its own sketch,
ships every sketch as bytes, merges the bytes into one sketch and compares
the estimate with the exact count.

With a file argument: counts the distinct lines of that file, streaming it
through one sketch (memory stays bounded whatever the file's size).
"""

import random
import sys

from vantorelle_py import HyperLogLogPlusPlus

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


def demo():
    stream = sample_stream()
    shards = [HyperLogLogPlusPlus(str) for _ in range(SHARDS)]
    adders = [shard.add for shard in shards]
    for shard, user in stream:
        adders[shard](user)

    payloads = [shard.to_bytes() for shard in shards]  # what each shard would send
    total = HyperLogLogPlusPlus(str)
    for payload in payloads:
        total.merge(payload)

    exact = len({user for _, user in stream})
    estimate = total.result()
    print(f"events:            {total.num_values():,} over {SHARDS} shards")
    print(f"exact distinct:    {exact:,}")
    print(f"estimated:         {estimate:,}")
    print(f"relative error:    {(estimate - exact) / exact:+.3%}")
    print(f"bytes per sketch:  {min(map(len, payloads)):,} to {max(map(len, payloads)):,}")
    print(f"merged sketch:     {total!r}, {len(total.to_bytes()):,} bytes")


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
