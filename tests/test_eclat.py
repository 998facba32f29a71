"""rust_eclat_pipeline against a brute-force miner: rows, counts and their order, the
result layout, thresholds, awkward inputs and independence from the thread count."""

from __future__ import annotations

from collections import Counter

import _tallisk_rs as m
import numpy as np
import pytest
from helpers import brute_force_counts, min_count_of, run_in_subprocess, scrambled, to_arrays

eclat = m.rust_eclat_pipeline


# ---- oracle -------------------------------------------------------------------------


class Oracle:
    """Brute-force miner: every k-itemset in at least min_count baskets, ascending
    lexicographically (the counts of each k taken once)."""

    def __init__(self, baskets):
        self.baskets, self.by_k = baskets, {}

    def mine(self, k, min_count):
        if k not in self.by_k:
            self.by_k[k] = sorted(brute_force_counts(self.baskets, k).items())
        return [(s, c) for s, c in self.by_k[k] if c >= min_count]


def table(result, rows_key, counts_key):
    rows, counts = result[rows_key], result[counts_key]
    assert rows.dtype == np.int32 and counts.dtype == np.int64
    assert rows.shape[0] == counts.shape[0]
    return [(tuple(r), c) for r, c in zip(rows.tolist(), counts.tolist(), strict=True)]


def check(baskets, k_max, min_support, n_items, txn_ids=None, item_ids=None, oracle=None):
    if txn_ids is None:
        txn_ids, item_ids = to_arrays(baskets)
    oracle = oracle or Oracle(baskets)
    r = eclat(txn_ids, item_ids, k_max, n_items, min_support)
    assert list(r) == ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts", "n_transactions"]
    mc = min_count_of(min_support, len(baskets))
    want_top = oracle.mine(min(k_max, 99), mc)  # no basket holds 99 items
    want_lower = oracle.mine(min(k_max, 99) - 1, mc) if k_max >= 3 else []
    assert table(r, "itemsets", "counts") == want_top
    assert table(r, "lower_itemsets", "lower_counts") == want_lower
    for key, want in (("itemsets", want_top), ("lower_itemsets", want_lower)):
        assert r[key].shape == ((len(want), len(want[0][0])) if want else (0, 0))
    item_counts = Counter(x for b in baskets for x in set(b))
    assert r["item_counts"].tolist() == [item_counts[i] for i in range(n_items)]
    assert r["item_counts"].dtype == np.int64
    assert r["n_transactions"] == len(baskets)
    return want_top, want_lower


# ---- random datasets ----------------------------------------------------------------

SHAPES = ("sparse", "wide", "dense", "skewed")


def dataset(seed, shape):
    """Baskets that hold frequent sets of three and more items. "sparse": short baskets
    drawn from a few recurring patterns; "wide": the same over many more items, so that
    an item's class is too thin for bitsets (the list path); "dense": few items, each in
    a large share of the baskets (the bitset path); "skewed": as wide, plus items in
    95 %, 50 % and 1.5 % of the baskets, which gives the very uneven list lengths that
    are intersected by galloping."""
    rng = np.random.default_rng(seed)
    if shape == "dense":
        n_items = int(rng.integers(8, 13))
        share = rng.uniform(0.25, 0.85, n_items)
        baskets = []
        for _ in range(int(rng.integers(40, 150))):
            b = [x for x in range(n_items) if rng.random() < share[x]]
            baskets.append(b or [int(rng.integers(n_items))])
        return rng, baskets, n_items
    n_items = 60 if shape == "sparse" else 400
    patterns = [rng.choice(n_items, size=int(rng.integers(3, 6)), replace=False) for _ in range(8)]
    skew = {0: 0.95, n_items - 2: 0.5, n_items - 1: 0.015} if shape == "skewed" else {}
    baskets = []
    for _ in range(int(rng.integers(100, 260) if shape == "sparse" else rng.integers(500, 700))):
        p = patterns[int(rng.integers(len(patterns)))]
        b = {int(x) for x in p if rng.random() < 0.8} | {int(x) for x in rng.integers(0, n_items, rng.integers(1, 4))}
        b |= {x for x, share in skew.items() if rng.random() < share}
        baskets.append(sorted(b))
    return rng, baskets, n_items


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("seed", range(8))
def test_matches_brute_force(seed, shape):
    rng, baskets, n_items = dataset(seed, shape)
    txn_ids, item_ids = scrambled(rng, baskets)
    oracle = Oracle(baskets)
    deep = 0
    for k_max in (2, 3, 4, 5):
        for min_support in (0.0, 0.01, 0.03, 0.08):
            top, _ = check(baskets, k_max, min_support, n_items, txn_ids, item_ids, oracle)
            if k_max >= 4 and min_support > 0:
                deep += len(top)
    assert deep > 0, "no frequent set of 4 or more items: the data does not reach the deep levels"


ROUNDING = [[1, 2, 3]] * 8 + [[4, 5, 6]] * 7 + [[7]] * 85  # 0.07 * 100 is 7.000000000000001: min count 8
FIVE = [[0, 1], [0, 1], [0, 2], [3], [4]]  # 0.4 * 5 is exactly 2.0: min count 2
DEEP = [[0, 1, 2, 3], [0, 1, 2, 3], [0, 1, 2], [4, 5], [4, 5]]


@pytest.mark.parametrize(
    "baskets, k_max, n_items, min_support, n_top, n_lower",
    [
        (ROUNDING, 3, 8, 0.07, 1, 3),
        (FIVE, 2, 5, 0.4, 1, 0),
        (DEEP, 5, 6, 0.4, 0, 1),  # k_max beyond the largest frequent set
        (DEEP, 6, 6, 0.4, 0, 0),
        (DEEP, 2**63, 6, 0.0, 0, 0),  # stops when the classes run out
        # not positive: one transaction suffices; above one: no item is frequent
        *[
            (dataset(5, "sparse")[1], 3, 60, s, n, None)
            for s, n in [(0.0, 2), (-0.5, 2), (float("nan"), 2), (float("-inf"), 2), (1.01, 0), (float("inf"), 0)]
        ],
        # With no transactions, ceil(min_support * 0) is 0: taken literally every item of
        # the id space would be frequent and all C(300, 4) sets reported with count 0.
        *[([], 4, n, s, 0, 0) for n in (0, 300) for s in (0.01, 0.5, 1.0, float("inf"), 0.0)],
    ],
)
def test_thresholds_and_edges(baskets, k_max, n_items, min_support, n_top, n_lower):
    top, lower = check(baskets, k_max, min_support, n_items)
    assert min(len(top), 2) == n_top and n_lower in (None, len(lower))


@pytest.mark.parametrize("k_max", [0, 1])
def test_k_max_below_two_raises_before_arrays_are_read(k_max):
    strided_t = np.arange(20, dtype=np.int64)[::2]
    strided_i = np.zeros(20, np.int32)[::2]
    with pytest.raises(ValueError, match=r"^rust_eclat_pipeline requires k_max >= 2$"):
        eclat(strided_t, strided_i, k_max, 1, 0.5)
    with pytest.raises(TypeError, match="The given array is not contiguous"):
        eclat(strided_t, strided_i, 2, 1, 0.5)


THREAD_CODE = """
import numpy as np
import _tallisk_rs as m
from helpers import random_baskets, to_arrays

def clustered(seed, n_txn, n_items, avg_len, width):
    # Baskets drawn from a window of `width` items around a centre that jumps now and
    # then, built with NumPy: large enough to be worth the pool, quick to generate.
    rng = np.random.default_rng(seed)
    lengths = np.maximum(1, rng.poisson(avg_len, n_txn))
    jumps = rng.random(n_txn) < 0.4
    centre = np.maximum.accumulate(np.where(jumps, np.arange(n_txn), 0))
    centres = rng.integers(0, n_items, n_txn)[centre]
    t = np.repeat(np.arange(n_txn, dtype=np.int64), lengths)
    i = (np.repeat(centres, lengths) + rng.integers(0, width, lengths.sum())) % n_items
    return t, i.astype(np.int32)

def record(r):
    result.append({k: (v.dtype.str, v.shape, v.tobytes()) if hasattr(v, "dtype") else v for k, v in r.items()})

result = []
for seed, n_txn, n_items, avg_len in [(1, 3000, 300, 6.0), (2, 800, 24, 12.0)]:
    rng = np.random.default_rng(seed)
    t, i = to_arrays(random_baskets(rng, n_txn, n_items, avg_len))
    for k_max, ms in [(2, 0.01), (3, 0.005), (4, 0.02), (6, 0.1)]:
        record(m.rust_eclat_pipeline(t, i, k_max, n_items, ms))
# Searches big enough to run on the pool: many sparse items (the frequent-row view) and
# a few hundred items in a large share of the baskets (the global-bitset view).
for (seed, n_txn, n_items, avg_len, width), k_max, ms in [((3, 40000, 2000, 10.0, 30), 3, 0.0005),
                                                          ((5, 20000, 300, 30.0, 40), 4, 0.01)]:
    t, i = clustered(seed, n_txn, n_items, avg_len, width)
    record(m.rust_eclat_pipeline(t, i, k_max, n_items, ms))
"""


def test_same_result_with_one_and_two_worker_threads():
    one = run_in_subprocess(THREAD_CODE, threads=1)
    two = run_in_subprocess(THREAD_CODE, threads=2)
    assert sum(len(r["counts"][2]) for r in one) > 0
    assert all(r["counts"][1][0] > 0 for r in one[-2:]), "the large searches found no set"
    assert one == two
