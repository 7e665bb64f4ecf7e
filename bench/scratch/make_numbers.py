# Scratch: the group numbers of bench/groups_bench.py's tables (zipf sizes,
# shuffled), as uint32 files numbers-<groups>.u32 for group_rows_bench.
import sys
import numpy as np
rows = 2_000_000
for groups in map(int, sys.argv[1:]):
    rng = np.random.default_rng(1)
    numbers = np.concatenate([np.arange(groups), rng.zipf(1.2, rows - groups) % groups])
    rng.shuffle(numbers)
    numbers.astype(np.uint32).tofile(f"numbers-{groups}.u32")
