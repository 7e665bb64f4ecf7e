"""Many rounds of every kind of call, failing ones included, keep memory flat."""

import gc
import os
import tracemalloc

import pytest

from support import HLL

ROUNDS = 200_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def run(rounds, sketch, other, payload):
    add, merge, to_bytes, from_bytes = sketch.add, sketch.merge, other.to_bytes, HLL.from_bytes
    for i in range(rounds):
        add(i)
        add(-i)
        merge(payload)
        from_bytes(to_bytes())
        try:
            if i % 3 == 0:
                merge("not a sketch")
            elif i % 3 == 1:
                from_bytes(b"\xff")
            else:
                add(b"refused by an integer sketch")
        except (TypeError, RuntimeError):
            pass


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_memory_stays_flat():
    sketch = HLL(int, 10, 15)
    other = HLL(int, 10, 15)
    for i in range(50):
        other.add(i)
    payload = other.to_bytes()
    run(ROUNDS // 10, sketch, other, payload)  # warm up allocator pools
    gc.collect()
    tracemalloc.start()
    rss_before = resident_bytes()
    traced_before, _ = tracemalloc.get_traced_memory()
    run(ROUNDS, sketch, other, payload)
    gc.collect()
    traced_after, _ = tracemalloc.get_traced_memory()
    rss_after = resident_bytes()
    tracemalloc.stop()
    assert traced_after - traced_before < 64 * 1024
    assert rss_after - rss_before < 2 * 1024 * 1024
    assert sketch.num_values() == 2 * (ROUNDS + ROUNDS // 10) + 50 * (ROUNDS + ROUNDS // 10)
