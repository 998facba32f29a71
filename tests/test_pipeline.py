"""rust_compute_pipeline: the result layout, empty levels, min_support edge values, the
cap against a level oracle, and independence from the thread count. The uncapped
results are checked against brute-force mining, with the variants, in test_variants.py."""

from __future__ import annotations

import math
from pathlib import Path

import _tallisk_rs as m
import numpy as np
import pytest
from helpers import cap_weights, frequent, min_count_of, random_baskets, rows_to_dict, run_in_subprocess, to_arrays
from test_itemsets import oracle_counter

NO_WEIGHTS = np.zeros(0, dtype=np.float64)
KEYS = ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts", "n_transactions"]


def mine(baskets, k_max, n_items, min_support, weights=NO_WEIGHTS, cap=None):
    t, i = to_arrays(baskets)
    r = m.rust_compute_pipeline(t, i, k_max, n_items, min_support, weights, cap)
    assert list(r) == KEYS
    for rows, counts in (("itemsets", "counts"), ("lower_itemsets", "lower_counts")):
        assert r[rows].dtype == np.int32 and r[counts].dtype == np.int64
        assert r[rows].ndim == 2 and r[counts].shape == (r[rows].shape[0],)
        if r[rows].shape[0] == 0:
            assert r[rows].shape == (0, 0)
    assert r["item_counts"].dtype == np.int64 and r["item_counts"].shape == (n_items,)
    expected_item_counts = np.zeros(n_items, dtype=np.int64)
    for b in baskets:
        for x in set(b):
            expected_item_counts[x] += 1
    assert np.array_equal(r["item_counts"], expected_item_counts)
    assert r["n_transactions"] == len(baskets)
    return rows_to_dict(r["itemsets"], r["counts"]), rows_to_dict(r["lower_itemsets"], r["lower_counts"])


def oracle_pipeline(baskets, k_max, min_count, weights=NO_WEIGHTS, cap=None):
    """The level loop over the brute-force counter: pairs on whole baskets, every higher
    level from the frequent sets below it, with the cap."""
    lower = frequent(baskets, 2, min_count)
    pair_set = set(lower)
    top = {}
    for k in range(3, k_max + 1):
        level = {s: c for s, c in oracle_counter(baskets, list(lower), pair_set, k, weights, cap).items()
                 if c >= min_count}
        if k == k_max:
            top = level
        else:
            lower = level
    return top, lower


# ---- empty levels ----------------------------------------------------------------------

PAIRS_ONLY = [[0, 1], [0, 2], [1, 2], [0, 1], [0, 2], [1, 2]]  # no triple anywhere


@pytest.mark.parametrize("k_max,expect_lower", [(3, True), (4, False), (9, False), (2**63, False),
                                                (2**64 - 1, False)])
def test_empty_levels(k_max, expect_lower):
    top, lower = mine(PAIRS_ONLY, k_max, 3, 0.0)
    assert top == {}
    assert lower == ({(0, 1): 2, (0, 2): 2, (1, 2): 2} if expect_lower else {})


# ---- min_support -----------------------------------------------------------------------

def repeated(basket_counts):
    return [list(b) for b, n in basket_counts for _ in range(n)]


@pytest.mark.parametrize("min_support", [0.0, -1.0, float("nan"), -float("inf")])
def test_non_positive_support_means_count_one(min_support):
    baskets = [[0, 1, 2], [1, 2, 3], [3, 4]]
    top, lower = mine(baskets, 3, 5, min_support)
    assert top == {(0, 1, 2): 1, (1, 2, 3): 1}
    assert lower == frequent(baskets, 2, 1)


@pytest.mark.parametrize("n_with,n_txn,min_support,kept", [
    (7, 100, 0.07, False),  # 0.07 * 100 = 7.000000000000001 -> 8
    (8, 100, 0.07, True),
    (3, 5, 0.5, True),      # ceil(2.5) = 3
    (2, 5, 0.5, False),
    (2, 5, 0.4, True),      # 0.4 * 5 is exactly 2.0
    (5, 5, 1.0, True),
])
def test_min_count_rounding(n_with, n_txn, min_support, kept):
    assert math.ceil(0.07 * 100.0) == 8
    baskets = repeated([((0, 1, 2, 3), n_with), ((4,), n_txn - n_with)])
    top, lower = mine(baskets, 3, 5, min_support)
    triples = {(0, 1, 2): n_with, (0, 1, 3): n_with, (0, 2, 3): n_with, (1, 2, 3): n_with}
    assert top == (triples if kept else {})
    assert len(lower) == (6 if kept else 0)


# ---- the cap ---------------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("cap,weights_kind", [(2, "distinct"), (3, "ties"), (4, "short"), (3, "negative"),
                                              (5, "distinct"), (0, "ties")])
def test_cap_matches_level_oracle(seed, cap, weights_kind):
    rng = np.random.default_rng(50 + seed)
    n_items = 28
    baskets = random_baskets(rng, 120, n_items, 9)
    assert max(len(b) for b in baskets) > cap
    weights = cap_weights(weights_kind, rng, n_items)
    mc = min_count_of(0.03, 120)
    for k_max in (3, 4):
        assert mine(baskets, k_max, n_items, 0.03, weights, cap) == oracle_pipeline(baskets, k_max, mc, weights, cap)


def test_cap_with_nan_weights_is_a_consistent_order():
    rng = np.random.default_rng(9)
    baskets = random_baskets(rng, 150, 28, 9)
    weights = rng.random(28)
    weights[[1, 4, 5, 9, 12]] = np.nan
    got = mine(baskets, 4, 28, 0.03, weights, 4)
    mc = min_count_of(0.03, 150)
    options = []
    for nan_last in (True, False):
        w = weights.copy()
        w[np.isnan(w)] = -np.inf if nan_last else np.inf
        options.append(oracle_pipeline(baskets, 4, mc, w, 4))
    assert got in options


# ---- parallel paths and thread count ---------------------------------------------------

def big_baskets():
    """More than 10000 transactions and more than 500 frequent pairs (anchors)."""
    return random_baskets(np.random.default_rng(21), 10_200, 90, 6)


def test_results_do_not_depend_on_thread_count():
    code = f"""
        import sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        import numpy as np
        import _tallisk_rs as m
        from helpers import to_arrays, rows_to_dict
        from test_pipeline import big_baskets
        t, i = to_arrays(big_baskets())
        w = np.linspace(0.0, 1.0, 90)
        result = []
        for k_max, cap in ((3, None), (4, None), (4, 3)):
            r = m.rust_compute_pipeline(t, i, k_max, 90, 0.001, w, cap)
            result.append((rows_to_dict(r["itemsets"], r["counts"]),
                           rows_to_dict(r["lower_itemsets"], r["lower_counts"])))
    """
    one = run_in_subprocess(code, threads=1)
    two = run_in_subprocess(code, threads=2)
    assert one == two
    assert len(one[0][1]) > 500 and len(one[1][0]) > 0
