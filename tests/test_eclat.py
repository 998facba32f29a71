"""rust_eclat_pipeline against a brute-force miner: rows, counts and their order, the
result layout, thresholds, awkward inputs and independence from the thread count."""

from __future__ import annotations

import math
from collections import Counter

import _tallisk_rs as m
import numpy as np
import pytest
from helpers import brute_force_counts, run_in_subprocess, to_arrays

eclat = m.rust_eclat_pipeline


# ---- oracle -------------------------------------------------------------------------

def expected_min_count(min_support, n_txn):
    """ceil(min_support * n) in double precision, 1 when min_support is not positive,
    and never 0: a set that no basket holds is not frequent."""
    if not (min_support > 0.0):
        return 1
    c = min_support * float(n_txn)
    return max(1, math.ceil(c)) if math.isfinite(c) else (1 if math.isnan(c) else 2**32 - 1)


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
    mc = expected_min_count(min_support, len(baskets))
    want_top = oracle.mine(k_max, mc)
    want_lower = oracle.mine(k_max - 1, mc) if k_max >= 3 else []
    assert table(r, "itemsets", "counts") == want_top
    assert table(r, "lower_itemsets", "lower_counts") == want_lower
    for key, want in (("itemsets", want_top), ("lower_itemsets", want_lower)):
        assert r[key].shape == ((len(want), len(want[0][0])) if want else (0, 0))
    item_counts = Counter(x for b in baskets for x in set(b))
    assert r["item_counts"].tolist() == [item_counts[i] for i in range(n_items)]
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


def scrambled_arrays(rng, baskets):
    """Occurrence rows with arbitrary int64 labels, in random order, some repeated."""
    labels = rng.permutation(len(baskets)) * 104_729 - 5 * 10**11
    txn_ids, item_ids = to_arrays(baskets, labels=labels.tolist())
    extra = rng.integers(0, len(txn_ids), size=len(txn_ids) // 5) if len(txn_ids) else np.zeros(0, int)
    txn_ids = np.concatenate([txn_ids, txn_ids[extra]])
    item_ids = np.concatenate([item_ids, item_ids[extra]])
    order = rng.permutation(len(txn_ids))
    return txn_ids[order], item_ids[order]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("seed", range(8))
def test_matches_brute_force(seed, shape):
    rng, baskets, n_items = dataset(seed, shape)
    txn_ids, item_ids = scrambled_arrays(rng, baskets)
    oracle = Oracle(baskets)
    deep = 0
    for k_max in (2, 3, 4, 5):
        for min_support in (0.0, 0.01, 0.03, 0.08):
            top, _ = check(baskets, k_max, min_support, n_items, txn_ids, item_ids, oracle)
            if k_max >= 4 and min_support > 0:
                deep += len(top)
    assert deep > 0, "no frequent set of 4 or more items: the data does not reach the deep levels"


def test_threshold_uses_exact_double_product():
    # 0.07 * 100 is 7.000000000000001 in double precision, so min_count is 8, not 7;
    # 0.4 * 5 is exactly 2.0, so min_count is 2.
    baskets = [[1, 2, 3]] * 8 + [[4, 5, 6]] * 7 + [[7]] * 85
    got = table(eclat(*to_arrays(baskets), 3, 8, 0.07), "itemsets", "counts")
    assert got == [((1, 2, 3), 8)]
    five = [[0, 1], [0, 1], [0, 2], [3], [4]]
    assert table(eclat(*to_arrays(five), 2, 5, 0.4), "itemsets", "counts") == [((0, 1), 2)]


def test_k_max_larger_than_largest_frequent_set():
    baskets = [[0, 1, 2, 3], [0, 1, 2, 3], [0, 1, 2], [4, 5], [4, 5]]
    r = eclat(*to_arrays(baskets), 5, 6, 0.4)
    assert r["itemsets"].shape == (0, 0) and r["counts"].shape == (0,)
    assert table(r, "lower_itemsets", "lower_counts") == [((0, 1, 2, 3), 2)]
    r = eclat(*to_arrays(baskets), 6, 6, 0.4)
    assert r["itemsets"].shape == (0, 0) and r["lower_itemsets"].shape == (0, 0)
    r = eclat(*to_arrays(baskets), 2**63, 6, 0.0)  # stops when the classes run out
    assert r["itemsets"].shape == (0, 0) and r["lower_itemsets"].shape == (0, 0)


@pytest.mark.parametrize("min_support, any_top", [(0.0, True), (-0.5, True), (float("nan"), True),
                                                  (float("-inf"), True), (1.01, False), (float("inf"), False)])
def test_extreme_supports(min_support, any_top):
    # not positive: one transaction suffices; above one: no item is frequent
    _, baskets, n_items = dataset(5, "sparse")
    top, _ = check(baskets, 3, min_support, n_items)
    assert bool(top) is any_top


@pytest.mark.parametrize("n_items", [0, 300])
@pytest.mark.parametrize("min_support", [0.01, 0.5, 1.0, float("inf"), 0.0])
def test_zero_count_never_frequent_on_empty_input(min_support, n_items):
    # With no transactions, ceil(min_support * 0) is 0: taken literally every item of
    # the id space would be frequent and all C(300, 4) sets reported with count 0.
    r = eclat(np.zeros(0, np.int64), np.zeros(0, np.int32), 4, n_items, min_support)
    for key in ("itemsets", "lower_itemsets"):
        assert r[key].shape == (0, 0) and r[key].dtype == np.int32
    assert r["counts"].shape == (0,) and r["lower_counts"].shape == (0,)
    assert r["item_counts"].tolist() == [0] * n_items and r["item_counts"].dtype == np.int64
    assert r["n_transactions"] == 0


@pytest.mark.parametrize("k_max", [0, 1])
def test_k_max_below_two_raises_before_arrays_are_read(k_max):
    strided_t = np.arange(20, dtype=np.int64)[::2]
    strided_i = np.zeros(20, np.int32)[::2]
    with pytest.raises(ValueError, match=r"^rust_eclat_pipeline requires k_max >= 2$"):
        eclat(strided_t, strided_i, k_max, 1, 0.5)
    with pytest.raises(TypeError, match="The given array is not contiguous"):
        eclat(strided_t, strided_i, 2, 1, 0.5)


THREAD_CODE = """
import sys
sys.path.insert(0, {tests!r})
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
    result.append({{k: (v.dtype.str, v.shape, v.tobytes()) if hasattr(v, "dtype") else v
                    for k, v in r.items()}})

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
    import os
    code = THREAD_CODE.format(tests=os.path.dirname(os.path.abspath(__file__)))
    one = run_in_subprocess(code, threads=1)
    two = run_in_subprocess(code, threads=2)
    assert sum(len(r["counts"][2]) for r in one) > 0
    assert all(r["counts"][1][0] > 0 for r in one[-2:]), "the large searches found no set"
    assert one == two
