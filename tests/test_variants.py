"""rust_compute_pipeline and its five ablation variants against brute-force miners: the
result layout, same frequent sets and counts with and without a cap (any weights, NaN
among them), min_support and k_max edge values, independence from the worker count,
and the cap counted over whole capped rows (never over rows that lost an anchor item)."""

from __future__ import annotations

import _tallisk_rs as m
import numpy as np
import pytest
from helpers import (
    SANITIZED,
    cap_weights,
    frequent,
    min_count_of,
    oracle_counter,
    random_baskets,
    result_levels,
    run_in_subprocess,
    to_arrays,
)

BASE = "rust_compute_pipeline"
VARIANTS = [f"{BASE}_{v}" for v in ("v1_roaring", "v2_memo", "v3_adaptive", "v5_prefilter", "v6_gating")]
ALL = [BASE, *VARIANTS]


KEYS = ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts", "n_transactions"]


def mine(name, baskets, k_max, n_items, min_support, weights, cap=None):
    txn, item = to_arrays(baskets)
    return getattr(m, name)(txn, item, k_max, n_items, min_support, weights, cap)


def levels(out):
    """(top, lower) as {itemset: count}, after checking the result's layout."""
    assert list(out) == KEYS
    return tuple(result_levels(out, ("itemsets", "counts"), ("lower_itemsets", "lower_counts")))


def capped_pipeline_oracle(baskets, k_max, min_count, weights, cap, nan_last=True):
    """The level-wise mining under a cap, by brute force: pairs counted on whole baskets,
    then at each level k the counter's candidates from the frequent (k-1)-sets and pairs
    (helpers.oracle_counter: rows of at least k relevant items, capped to the `cap`
    heaviest, a candidate made by an anchor and an item paired with all of it), kept when
    frequent. Every count is taken over whole capped rows."""
    pairs = frequent(baskets, 2, min_count)
    lower, top = pairs, {}
    for k in range(3, k_max + 1):
        counted = oracle_counter(baskets, sorted(lower), set(pairs), k, weights, cap, nan_last)
        level = {c: n for c, n in counted.items() if n >= min_count}
        top, lower = (level, lower) if k == k_max else (top, level)
    return top, lower


DATASETS = [
    # (seed, n_txn, n_items, avg_len, min_support)
    (1, 150, 12, 5, 0.05),
    (2, 300, 20, 6, 0.03),
    (3, 400, 30, 7, 0.02),
    (4, 250, 16, 8, 0.08),
    (5, 60, 16, 5, 0.0),
    (6, 500, 40, 6, 0.015),
]


@pytest.mark.parametrize("seed,n_txn,n_items,avg_len,min_support", DATASETS)
@pytest.mark.parametrize("k_max", [3, 4])
def test_every_pipeline_equals_brute_force_without_cap(seed, n_txn, n_items, avg_len, min_support, k_max):
    rng = np.random.default_rng(seed)
    baskets = random_baskets(rng, n_txn, n_items, avg_len)
    weights = rng.random(n_items)
    mc = min_count_of(min_support, n_txn)
    want_top, want_lower = frequent(baskets, k_max, mc), frequent(baskets, k_max - 1, mc)
    assert want_lower, "the data must hold frequent sets below the top level"
    for name in ALL:
        out = mine(name, baskets, k_max, n_items, min_support, weights)
        top, lower = levels(out)
        assert top == want_top, name
        assert lower == want_lower, name
        assert out["n_transactions"] == n_txn
        assert out["item_counts"].tolist() == [sum(x in b for b in baskets) for x in range(n_items)]


@pytest.mark.parametrize("seed,n_txn,n_items,avg_len,min_support", DATASETS)
@pytest.mark.parametrize("k_max,cap", [(3, 3), (3, 4), (4, 4), (4, 5), (4, 2), (4, 0)])
def test_every_pipeline_equals_capped_oracle(seed, n_txn, n_items, avg_len, min_support, k_max, cap):
    rng = np.random.default_rng(100 + seed)
    baskets = random_baskets(rng, n_txn, n_items, avg_len)
    weights = cap_weights(["ties", "distinct", "short", "negative", "nan"][seed % 5], rng, n_items)
    mc = min_count_of(min_support, n_txn)
    # NaN weights: the result of one of the two extremes (every NaN lightest or heaviest).
    options = [capped_pipeline_oracle(baskets, k_max, mc, weights, cap, last) for last in (True, False)]
    for name in ALL:
        assert levels(mine(name, baskets, k_max, n_items, min_support, weights, cap)) in options, name


def test_cap_counts_only_rows_holding_the_whole_anchor():
    # Item 0 is the lightest: the cap of 3 drops it from the 4-item baskets, so those
    # baskets hold the anchor {0, 1} uncapped but not capped. They must not count for
    # {0, 1, 2}, whichever of its anchors produces it first.
    weights = np.array([0.1, 0.9, 0.8, 0.7])
    baskets = [[0, 1, 2, 3]] * 5 + [[0, 1, 2]] * 3 + [[0, 1], [0, 2], [1, 2, 3]]
    top, lower = capped_pipeline_oracle(baskets, 3, 1, weights, 3)
    assert top[(0, 1, 2)] == 3  # only the three baskets that keep all three items
    for name in ALL:
        for _ in range(5):  # the unsound count also changed from run to run
            got_top, got_lower = levels(mine(name, baskets, 3, 4, 0.0, weights, 3))
            assert got_top == top, name
            assert got_lower == lower, name


PAIRS_ONLY = [[0, 1], [0, 2], [1, 2]] * 2  # no triple anywhere


def repeated(n_with, n_txn):
    return [[0, 1, 2, 3]] * n_with + [[4]] * (n_txn - n_with)


EDGES = [
    ([], 0.1, 4),  # no input
    ([[0], [1], [2, 3], [4]], 0.5, 3),  # no frequent pair
    ([[0, 1, 2]] * 4, 1.5, 3),  # support above one
    ([[0, 1], [1, 2], [0, 2]] * 3, 0.3, 4),  # pairs frequent, no triple: every later level empty too
    *[(PAIRS_ONLY, 0.0, k) for k in (3, 9, 2**63, 2**64 - 1)],  # the search stops when the levels run out
    *[([[0, 1, 2], [1, 2, 3], [3, 4]], s, 3) for s in (0.0, -1.0, float("nan"), -float("inf"))],  # count one
    (repeated(7, 100), 0.07, 3),  # 0.07 * 100 = 7.000000000000001 in double precision: min count 8
    (repeated(8, 100), 0.07, 3),
    (repeated(2, 5), 0.5, 3),  # ceil(2.5) = 3
    (repeated(3, 5), 0.5, 3),
    (repeated(2, 5), 0.4, 3),  # 0.4 * 5 is exactly 2.0
    (repeated(5, 5), 1.0, 3),
]
SMALL = random_baskets(np.random.default_rng(21), 200, 6, 3)


# k_max up to 2 gives the pairs as the lower level, whatever the cap (it applies from level 3 on).
@pytest.mark.parametrize(
    "baskets, support, k_max, cap",
    [(*e, None) for e in EDGES] + [(SMALL, 0.05, k, cap) for k in (0, 1, 2) for cap in (None, 2)],
)
def test_edge_values_of_support_and_k_max(baskets, support, k_max, cap):
    mc = min_count_of(support, len(baskets))
    longest = max(map(len, baskets), default=0)  # no set is longer: keeps the oracle's k small
    want = tuple(frequent(baskets, k, mc) if 0 < k <= longest else {} for k in (k_max, k_max - 1))
    want = ({}, frequent(baskets, 2, mc)) if k_max <= 2 else want
    for name in ALL:
        out = mine(name, baskets, k_max, 6, support, np.linspace(1, 0, 6), cap)
        assert levels(out) == want, name
        assert out["item_counts"].tolist() == [sum(x in b for b in baskets) for x in range(6)]


@pytest.mark.parametrize("cap", [None, 4])
def test_thread_count_invariance(cap):
    # Over 500 frequent pairs and 10000 transactions, so anchors and transactions are
    # split into chunks whose number follows the worker count. Under the sanitizer only
    # the base pipeline runs: all six are slow there.
    names = [BASE] if SANITIZED else ALL
    code = f"""
    import numpy as np, _tallisk_rs as m
    from helpers import random_baskets, to_arrays, rows_to_dict
    rng = np.random.default_rng(5)
    b = random_baskets(rng, 12000, 60, 8, gravity=0.8)
    w = rng.random(60)
    t, i = to_arrays(b)
    result = {{}}
    for name in {names!r}:
        for k_max in (3, 4):
            out = getattr(m, name)(t, i, k_max, 60, 0.001, w, {cap!r})
            result[name, k_max] = (rows_to_dict(out["itemsets"], out["counts"]),
                                   rows_to_dict(out["lower_itemsets"], out["lower_counts"]))
    """
    one = run_in_subprocess(code, threads=1)
    assert one == run_in_subprocess(code, threads=2) == run_in_subprocess(code, threads=3)
    for name, k_max in one:
        assert one[name, k_max] == one[BASE, k_max], name
    assert one[BASE, 4][0] and len(one[BASE, 3][1]) > 500
