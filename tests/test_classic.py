"""Classic Apriori entries: rust_classic_compute_pairs and rust_classic_compute_pipeline,
checked against hand-worked examples and a brute-force miner written here."""

from __future__ import annotations

import itertools
import math
from collections import Counter

import _tallisk_rs as m
import numpy as np
import pytest
from helpers import (
    PAIR_COLUMNS,
    SANITIZED,
    cap_basket,
    frequent,
    min_count_of,
    pair_metrics,
    random_baskets,
    result_levels,
    rows_to_dict,
    run_in_subprocess,
    scrambled,
    to_arrays,
)

PAIR_DTYPES = [np.int32, np.int32, np.int64] + [np.float64] * 7
PIPELINE_KEYS = ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts"]
NO_WEIGHTS = np.zeros(0, dtype=np.float64)


def classic_pairs(baskets, n_items, n_transactions, min_support):
    txn, items = to_arrays(baskets)
    return m.rust_classic_compute_pairs(txn, items, n_items, n_transactions, min_support)


def classic_pipeline(baskets, k_max, n_items, min_support, weights=NO_WEIGHTS, cap=None, rng=None):
    txn, items = to_arrays(baskets) if rng is None else scrambled(rng, baskets)
    return m.rust_classic_compute_pipeline(txn, items, k_max, n_items, 0, min_support, weights, cap)


def pair_rows(result):
    """{(a, b): (instances, support, ..., jaccard)} of a pair table; rows must be unique."""
    cols = [result[k].tolist() for k in PAIR_COLUMNS]
    rows = {}
    for row in zip(*cols, strict=True):
        assert (row[0], row[1]) not in rows
        rows[(row[0], row[1])] = row[2:]
    return rows


# ---- brute-force oracle ----------------------------------------------------------------


def oracle_levels(baskets, min_support, k_max):
    """Frequent k-itemsets for k = 1 .. k_max, stopping at the first empty level."""
    n = len(baskets)
    min_count = min_count_of(min_support, n)
    levels = {}
    for k in range(1, k_max + 1):
        level = frequent(baskets, k, min_count)
        if not level:
            break
        levels[k] = level
    return levels


def as_unsigned(x):
    return x & 0xFFFFFFFF


def oracle_pipeline(baskets, k_max, n_items, min_support, weights=None, cap=None):
    """Expected (top, lower, item_counts) of the classic pipeline. Ids are mined as
    unsigned 32-bit values and reported as int32."""
    unsigned = [sorted({as_unsigned(x) for x in b}) for b in baskets]
    if weights is not None and cap is not None:
        unsigned = [cap_basket(b, list(weights), cap) for b in unsigned]
    levels = oracle_levels(unsigned, min_support, max(k_max, 1))
    top = levels.get(k_max, {}) if k_max >= 1 else {}
    lower = levels.get(k_max - 1, {}) if k_max >= 2 else {}
    single = Counter(x for b in unsigned for x in b)
    counted = {x: c for (x,), c in levels[1].items()} if 1 in levels else single
    item_counts = [0] * n_items
    for x, c in counted.items():
        if x < n_items:
            item_counts[x] = c
    signed = lambda s: tuple(x - (1 << 32) if x >= (1 << 31) else x for x in s)  # noqa: E731
    return ({signed(s): c for s, c in top.items()}, {signed(s): c for s, c in lower.items()}, item_counts)


def check_pipeline(result, expected):
    top, lower, item_counts = expected
    assert list(result) == PIPELINE_KEYS
    assert result_levels(result, ("itemsets", "counts"), ("lower_itemsets", "lower_counts")) == [top, lower]
    assert result["item_counts"].dtype == np.int64
    assert result["item_counts"].tolist() == item_counts
    for key in ("itemsets", "lower_itemsets"):  # items ascending by unsigned value within every row
        assert (np.diff(result[key].astype(np.int64) & 0xFFFFFFFF, axis=1) > 0).all()


# ---- worked examples -------------------------------------------------------------------

PIPE_EXAMPLE = [[1, 2, 3], [1, 2], [1, 3], [2, 3]]  # {1, 2, 3} has count 1: the last frequent level is 2
SUPPORT_EXAMPLE = [[0, 1], [0, 1], [0, 1, 2], [0, 1, 3]]


@pytest.mark.parametrize(
    "baskets, k_max, min_support, weights, cap",
    [(PIPE_EXAMPLE, k, 0.5, NO_WEIGHTS, None) for k in (0, 1, 2, 3, 4, 2**64 - 1)]
    # cap 0: every transaction is emptied, nothing mined, no item counted
    + [(PIPE_EXAMPLE, 2, 0.25, np.array([0.0, 0.2, 0.9, 0.5]), cap) for cap in (1, 0)]
    # not positive: min count 1; above one: nothing frequent, yet every item's count reported
    + [(SUPPORT_EXAMPLE, 2, s, NO_WEIGHTS, None) for s in (math.nan, -0.5, 0.0, 0.5, 1.0, 1.0000001, math.inf)],
)
def test_pipeline_worked_examples(baskets, k_max, min_support, weights, cap):
    n_items = 5 if baskets is PIPE_EXAMPLE and cap is None else 4
    r = classic_pipeline(baskets, k_max, n_items, min_support, weights, cap)
    check_pipeline(r, oracle_pipeline(baskets, k_max, n_items, min_support, weights if cap is not None else None, cap))


# ---- the cap ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "weights, cap, k_max, kept",
    [
        ([0.1, 0.9, 0.5], 2, 2, [(1, 2)]),
        ([1.0, 1.0, 1.0], 2, 2, [(0, 1)]),  # ties keep the smaller ids
        ([0.3], 2, 2, [(0, 1)]),  # items 1 and 2 lie beyond the weights (0.0) and tie
        ([-1.0], 2, 2, [(1, 2)]),  # ... and outweigh a negative weight
        ([math.nan, 0.5, math.nan], 2, 2, [(0, 1)]),  # a number outranks NaN; NaNs tie by id
        ([math.nan, math.nan, -math.inf], 2, 2, [(0, 2)]),  # even -inf
        ([], 1, 1, [(0,)]),  # weights are always present: an empty array weighs 0.0 everywhere
        ([0.0, 0.0, 5.0], 1, 1, [(2,)]),
        ([0.0, 0.0, 5.0], None, 1, [(0,), (1,), (2,)]),  # no cap given: nothing dropped
        ([0.0, 0.0, 5.0], 2**64 - 1, 1, [(0,), (1,), (2,)]),
    ],
)
def test_cap_ranks_by_weight_exactly_when_given(weights, cap, k_max, kept):
    r = classic_pipeline([[2, 0, 1]], k_max, 3, 0.0, np.array(weights, dtype=np.float64), cap=cap)
    assert rows_to_dict(r["itemsets"], r["counts"]) == dict.fromkeys(kept, 1)


# ---- item ids and labels ---------------------------------------------------------------


def test_negative_and_out_of_range_ids_are_mined():
    baskets = [[-1, 1, 7], [-1, 1, 7], [-1, 2], [1, -2]]
    r = classic_pipeline(baskets, 2, 3, 0.5)
    check_pipeline(r, oracle_pipeline(baskets, 2, 3, 0.5))
    # -1 is 0xFFFFFFFF unsigned: it follows every other id within a row
    assert {tuple(x) for x in r["itemsets"].tolist()} == {(1, -1), (1, 7), (7, -1)}
    assert r["item_counts"].tolist() == [0, 3, 0]


# ---- sequential and pooled counting ----------------------------------------------------


def clique_baskets(sizes, seed):
    """Disjoint cliques of items: every pair inside a clique is in 3 baskets of its own,
    plus random larger sub-baskets, so exactly the in-clique pairs are frequent at
    min_count 3 and the triple counts vary."""
    rng = np.random.default_rng(seed)
    baskets, start = [], 0
    for size in sizes:
        clique = list(range(start, start + size))
        start += size
        for pair in itertools.combinations(clique, 2):
            baskets += [list(pair)] * 3
        for _ in range(12):
            baskets.append(sorted(rng.choice(clique, size=min(size, int(rng.integers(3, 7))), replace=False).tolist()))
    return baskets, start


@pytest.mark.parametrize("sizes, n_candidates", [((15, 7, 5), 500), ((15, 7, 5, 3), 501)])
def test_exactly_500_and_501_level3_candidates(sizes, n_candidates):
    baskets, n_items = clique_baskets(sizes, seed=len(sizes))
    min_support = 2.5 / len(baskets)  # min_count 3
    assert min_count_of(min_support, len(baskets)) == 3
    pairs = set(frequent(baskets, 2, 3))
    frequent_items = sorted({x for p in pairs for x in p})
    candidates = [
        t for t in itertools.combinations(frequent_items, 3) if all(s in pairs for s in itertools.combinations(t, 2))
    ]
    assert len(candidates) == n_candidates
    expected = oracle_pipeline(baskets, 3, n_items, min_support)
    assert expected[0] and len(expected[0]) < n_candidates  # some triples frequent, some not
    check_pipeline(classic_pipeline(baskets, 3, n_items, min_support), expected)


@pytest.mark.skipif(SANITIZED, reason="subprocess per pool size; the in-process tests cover the code")
@pytest.mark.parametrize("threads", [1, 3])
def test_pool_size_does_not_change_results(threads):
    code = """
    import numpy as np, _tallisk_rs as m
    from helpers import random_baskets, to_arrays
    baskets = random_baskets(np.random.default_rng(5), 400, 45, 8, gravity=0.2)
    r = m.rust_classic_compute_pipeline(*to_arrays(baskets), 3, 45, 0, 0.01, np.zeros(0), None)
    result = baskets, [r[k].tolist() for k in ("itemsets", "counts", "lower_itemsets", "lower_counts")]
    """
    baskets, (itemsets, counts, lower, lower_counts) = run_in_subprocess(code, threads=threads)
    top_e, lower_e, item_counts = oracle_pipeline(baskets, 3, 45, 0.01)
    assert sum(c > 0 for c in item_counts) >= 33  # at least C(33, 2) = 528 level-2 candidates
    assert rows_to_dict(itemsets, counts) == top_e
    assert rows_to_dict(lower, lower_counts) == lower_e


# ---- cross-check against the brute-force miner -----------------------------------------

RANDOM_CASES = [
    # seed, n_txn, n_items, avg_len, min_support
    (1, 200, 12, 4, 0.05),
    (2, 300, 20, 5, 0.03),
    (3, 150, 40, 6, 0.02),  # more than 500 level-2 candidates
    (4, 120, 16, 6, 0.0),
]


@pytest.mark.parametrize("seed, n_txn, n_items, avg_len, min_support", RANDOM_CASES)
@pytest.mark.parametrize("k_max, cap", [(1, None), (2, None), (3, None), (4, None), (3, 3)])
def test_pipeline_matches_brute_force(seed, n_txn, n_items, avg_len, min_support, k_max, cap):
    rng = np.random.default_rng(seed)
    baskets = random_baskets(rng, n_txn, n_items, avg_len)
    weights = rng.choice([0.0, 0.5, 1.0, 2.0], size=n_items // 2) if cap else NO_WEIGHTS  # short, with ties
    r = classic_pipeline(baskets, k_max, n_items, min_support, weights, cap, rng=rng)
    check_pipeline(r, oracle_pipeline(baskets, k_max, n_items, min_support, weights, cap))


@pytest.mark.parametrize(
    "seed, n_txn, n_items, avg_len, min_support",
    RANDOM_CASES
    + [
        (5, 80, 10, 4, 0.05),  # item 0 added to every basket: NaN conviction
        (6, 60, 8, 3, 1.5),
        (7, 60, 8, 3, math.inf),
    ],
)  # nothing frequent: ten empty columns
@pytest.mark.parametrize("scale", [1, 3])
def test_pairs_match_brute_force(seed, n_txn, n_items, avg_len, min_support, scale):
    rng = np.random.default_rng(seed + 200)
    baskets = [sorted({0, *b}) if seed == 5 else b for b in random_baskets(rng, n_txn, n_items, avg_len)]
    n = len(baskets) * scale  # the argument only scales the metrics
    r = classic_pairs(baskets, n_items, n, min_support)
    assert list(r) == PAIR_COLUMNS and [r[k].dtype for k in PAIR_COLUMNS] == PAIR_DTYPES  # no "n_transactions"
    a, b = r["item_A"], r["item_B"]
    assert (a[0::2] == b[1::2]).all() and (b[0::2] == a[1::2]).all() and (a[0::2] < b[0::2]).all()
    counts = Counter(x for basket in baskets for x in set(basket))
    expected = frequent(baskets, 2, min_count_of(min_support, len(baskets)))
    got = pair_rows(r)
    assert set(got) == {(x, y) for s in expected for (x, y) in (s, s[::-1])}
    assert bool(got) == (min_support < 1)
    for (x, y), row in got.items():
        c = expected[tuple(sorted((x, y)))]
        assert row[0] == c
        want = pair_metrics(c, counts[x], counts[y], n)
        assert row[1:] == pytest.approx(want, rel=1e-12, abs=1e-12, nan_ok=True), ((x, y), row, want)
