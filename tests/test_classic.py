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
    SANITIZED,
    cap_basket,
    frequent,
    min_count_of,
    random_baskets,
    rows_to_dict,
    run_in_subprocess,
    to_arrays,
)

PAIR_KEYS = ["item_A", "item_B", "instances", "support", "confidence", "lift", "conviction", "leverage", "cosine",
             "jaccard"]
PAIR_DTYPES = [np.int32, np.int32, np.int64] + [np.float64] * 7
PIPELINE_KEYS = ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts"]
NO_WEIGHTS = np.zeros(0, dtype=np.float64)
INF = math.inf


def classic_pairs(baskets, n_items, n_transactions, min_support, labels=None):
    txn, items = to_arrays(baskets, labels)
    return m.rust_classic_compute_pairs(txn, items, n_items, n_transactions, min_support)


def classic_pipeline(baskets, k_max, n_items, min_support, weights=NO_WEIGHTS, cap=None, rng=None):
    txn, items = to_arrays(baskets)
    if rng is not None:  # arbitrary labels, shuffled rows, repeated occurrences
        txn = txn * 7919 - 10**12
        order = np.concatenate([rng.permutation(len(txn)), np.arange(min(20, len(txn)))])
        txn, items = txn[order], items[order]
    return m.rust_classic_compute_pipeline(txn, items, k_max, n_items, 0, min_support, weights, cap)


def pair_rows(result):
    """{(a, b): (instances, support, ..., jaccard)} of a pair table; rows must be unique."""
    cols = [result[k].tolist() for k in PAIR_KEYS]
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
    assert rows_to_dict(result["itemsets"], result["counts"]) == top
    assert rows_to_dict(result["lower_itemsets"], result["lower_counts"]) == lower
    assert result["item_counts"].dtype == np.int64
    assert result["item_counts"].tolist() == item_counts
    for key, rows in (("itemsets", top), ("lower_itemsets", lower)):
        arr = result[key]
        assert arr.dtype == np.int32
        if not rows:
            assert arr.shape == (0, 0)
        else:
            # items ascending by unsigned value within every row
            u = arr.astype(np.int64) & 0xFFFFFFFF
            assert (np.diff(u, axis=1) > 0).all()


def metric_formulas(c, n_x, n_y, n):
    """The seven metrics of rule x -> y, computed independently of the module."""
    s = c / n
    sx, sy = n_x / n, n_y / n
    conf = c / n_x
    lift = conf / sy if sy > 0 else INF
    if sy >= 1:
        conviction = math.nan
    elif conf >= 1:
        conviction = INF
    else:
        conviction = (1 - sy) / (1 - conf)
    return (s, conf, lift, conviction, s - sx * sy, s / math.sqrt(sx * sy), s / (sx + sy - s))


def close(a, b):
    if math.isnan(b):
        return math.isnan(a)
    if math.isinf(b):
        return a == b
    return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-12)


# ---- worked examples -------------------------------------------------------------------

@pytest.mark.parametrize("min_support", [1.5, math.inf])
def test_pairs_nothing_frequent_gives_ten_empty_columns(min_support):
    r = classic_pairs([[1, 2], [1, 2], [1, 3], [3]], 4, 4, min_support)
    assert list(r) == PAIR_KEYS and [r[k].dtype for k in PAIR_KEYS] == PAIR_DTYPES  # no "n_transactions"
    assert all(len(r[k]) == 0 for k in PAIR_KEYS)


def test_pairs_consequent_everywhere_has_nan_conviction():
    r = pair_rows(classic_pairs([[0, 1], [0, 1], [0]], 2, 3, 0.5))
    assert math.isnan(r[(1, 0)][4])  # item 0 is in every transaction
    assert r[(0, 1)][4] == pytest.approx((1 - 2 / 3) / (1 - 2 / 3))


PIPE_EXAMPLE = [[1, 2, 3], [1, 2], [1, 3], [2, 3]]  # {1, 2, 3} has count 1: the last frequent level is 2


@pytest.mark.parametrize("k_max", [0, 1, 2, 3, 4, 2**64 - 1])
def test_pipeline_levels_by_k_max(k_max):
    check_pipeline(classic_pipeline(PIPE_EXAMPLE, k_max, 5, 0.5), oracle_pipeline(PIPE_EXAMPLE, k_max, 5, 0.5))


@pytest.mark.parametrize("cap", [1, 0])  # 0: every transaction is emptied, nothing mined, no item counted
def test_pipeline_small_caps(cap):
    weights = np.array([0.0, 0.2, 0.9, 0.5])
    r = classic_pipeline(PIPE_EXAMPLE, 2, 4, 0.25, weights, cap=cap)
    check_pipeline(r, oracle_pipeline(PIPE_EXAMPLE, 2, 4, 0.25, weights, cap))


@pytest.mark.parametrize("min_support, min_count", [
    (math.nan, 1), (-0.5, 1), (0.0, 1), (0.5, 2), (1.0, 4), (1.0000001, None), (math.inf, None)])
def test_pipeline_min_support_extremes(min_support, min_count):
    baskets = [[0, 1], [0, 1], [0, 1, 2], [0, 1, 3]]
    r = classic_pipeline(baskets, 2, 4, min_support)
    if min_count is None:  # nothing frequent: every item's count is reported
        check_pipeline(r, ({}, {}, [4, 4, 1, 1]))
    else:
        assert min_count_of(min_support, 4) == min_count
        check_pipeline(r, oracle_pipeline(baskets, 2, 4, min_support))


# ---- the cap ---------------------------------------------------------------------------


@pytest.mark.parametrize("weights, kept", [
    ([0.1, 0.9, 0.5], [1, 2]),
    ([1.0, 1.0, 1.0], [0, 1]),  # ties keep the smaller ids
    ([0.3], [0, 1]),  # items 1 and 2 lie beyond the weights (0.0) and tie
    ([-1.0], [1, 2]),  # ... and outweigh a negative weight
    ([math.nan, 0.5, math.nan], [0, 1]),  # a number outranks NaN; NaNs tie by id
    ([math.nan, math.nan, -math.inf], [0, 2]),  # even -inf
])
def test_cap_ranks_by_weight(weights, kept):
    r = classic_pipeline([[2, 0, 1]], 2, 3, 0.0, np.array(weights, dtype=np.float64), cap=2)
    assert rows_to_dict(r["itemsets"], r["counts"]) == {tuple(kept): 1}


@pytest.mark.parametrize("weights, cap, kept", [
    (NO_WEIGHTS, 1, {(0,): 1}),  # weights are always present: an empty array weighs 0.0 everywhere
    (np.array([0.0, 0.0, 5.0]), 1, {(2,): 1}),
    (np.array([0.0, 0.0, 5.0]), None, {(0,): 1, (1,): 1, (2,): 1}),  # no cap given: nothing dropped
    (np.array([0.0, 0.0, 5.0]), 2**64 - 1, {(0,): 1, (1,): 1, (2,): 1}),
])
def test_cap_applies_exactly_when_given(weights, cap, kept):
    r = classic_pipeline([[0, 1, 2]], 1, 3, 0.0, weights, cap)
    assert rows_to_dict(r["itemsets"], r["counts"]) == kept


# ---- item ids and labels ---------------------------------------------------------------


def test_negative_and_out_of_range_ids_are_mined():
    baskets = [[-1, 1, 7], [-1, 1, 7], [-1, 2], [1, -2]]
    r = classic_pipeline(baskets, 2, 3, 0.5)
    check_pipeline(r, oracle_pipeline(baskets, 2, 3, 0.5))
    # -1 is 0xFFFFFFFF unsigned: it follows every other id within a row
    assert {tuple(x) for x in r["itemsets"].tolist()} == {(1, -1), (1, 7), (7, -1)}
    assert r["item_counts"].tolist() == [0, 3, 0]


@pytest.mark.parametrize("entry", ["pairs", "pipeline"])
def test_item_ids_shorter_than_txn_ids(entry):
    txn = np.array([0, 0, 1], dtype=np.int64)
    items = np.array([0, 1], dtype=np.int32)
    with pytest.raises(BaseException) as info:
        if entry == "pairs":
            m.rust_classic_compute_pairs(txn, items, 2, 2, 0.0)
        else:
            m.rust_classic_compute_pipeline(txn, items, 2, 2, 2, 0.0, NO_WEIGHTS, None)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "index out of bounds: the len is 2 but the index is 2"


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
    candidates = [t for t in itertools.combinations(frequent_items, 3)
                  if all(s in pairs for s in itertools.combinations(t, 2))]
    assert len(candidates) == n_candidates
    expected = oracle_pipeline(baskets, 3, n_items, min_support)
    assert expected[0] and len(expected[0]) < n_candidates  # some triples frequent, some not
    check_pipeline(classic_pipeline(baskets, 3, n_items, min_support), expected)


@pytest.mark.skipif(SANITIZED, reason="subprocess per pool size; the in-process tests cover the code")
@pytest.mark.parametrize("threads", [1, 3])
def test_pool_size_does_not_change_results(threads, tmp_path):
    baskets = random_baskets(np.random.default_rng(5), 400, 45, 8, gravity=0.2)
    txn, items = to_arrays(baskets)
    np.save(tmp_path / "txn.npy", txn)
    np.save(tmp_path / "items.npy", items)
    code = f"""
    import numpy as np, _tallisk_rs as m
    txn, items = np.load({str(tmp_path / "txn.npy")!r}), np.load({str(tmp_path / "items.npy")!r})
    r = m.rust_classic_compute_pipeline(txn, items, 3, 45, 0, 0.01, np.zeros(0), None)
    result = (r["itemsets"].tolist(), r["counts"].tolist(), r["lower_itemsets"].tolist(), r["lower_counts"].tolist())
    """
    itemsets, counts, lower, lower_counts = run_in_subprocess(code, threads=threads)
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
@pytest.mark.parametrize("k_max", [1, 2, 3, 4])
def test_pipeline_matches_brute_force(seed, n_txn, n_items, avg_len, min_support, k_max):
    rng = np.random.default_rng(seed)
    baskets = random_baskets(rng, n_txn, n_items, avg_len)
    r = classic_pipeline(baskets, k_max, n_items, min_support, rng=rng)
    check_pipeline(r, oracle_pipeline(baskets, k_max, n_items, min_support))


@pytest.mark.parametrize("seed, n_txn, n_items, avg_len, min_support", RANDOM_CASES)
def test_pipeline_with_cap_matches_brute_force(seed, n_txn, n_items, avg_len, min_support):
    rng = np.random.default_rng(seed + 100)
    baskets = random_baskets(rng, n_txn, n_items, avg_len)
    weights = rng.choice([0.0, 0.5, 1.0, 2.0], size=n_items // 2)  # shorter than the ids, with ties
    r = classic_pipeline(baskets, 3, n_items, min_support, weights, cap=3)
    check_pipeline(r, oracle_pipeline(baskets, 3, n_items, min_support, weights, 3))


@pytest.mark.parametrize("seed, n_txn, n_items, avg_len, min_support", RANDOM_CASES)
@pytest.mark.parametrize("scale", [1, 3])
def test_pairs_match_brute_force(seed, n_txn, n_items, avg_len, min_support, scale):
    rng = np.random.default_rng(seed + 200)
    baskets = random_baskets(rng, n_txn, n_items, avg_len)
    n = len(baskets) * scale  # the argument only scales the metrics
    r = classic_pairs(baskets, n_items, n, min_support)
    assert list(r) == PAIR_KEYS and [r[k].dtype for k in PAIR_KEYS] == PAIR_DTYPES
    a, b = r["item_A"], r["item_B"]
    assert (a[0::2] == b[1::2]).all() and (b[0::2] == a[1::2]).all() and (a[0::2] < b[0::2]).all()
    counts = Counter(x for basket in baskets for x in set(basket))
    expected = frequent(baskets, 2, min_count_of(min_support, len(baskets)))
    got = pair_rows(r)
    assert set(got) == {(x, y) for s in expected for (x, y) in (s, s[::-1])}
    for (x, y), row in got.items():
        c = expected[tuple(sorted((x, y)))]
        assert row[0] == c
        want = metric_formulas(c, counts[x], counts[y], n)
        assert all(close(g, w) for g, w in zip(row[1:], want, strict=True)), ((x, y), row, want)
