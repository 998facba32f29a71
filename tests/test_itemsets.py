"""rust_compute_itemsets: one level of anchor-and-extend counting, checked against a
brute-force counter (helpers.oracle_counter: relevant items, weight-ranked cap, anchors,
pair check), plus the reading of the freq_lower table and its edge cases."""

from __future__ import annotations

import itertools
from collections import Counter

import _tallisk_rs as m
import numpy as np
import pytest
from helpers import (
    SANITIZED,
    cap_weights,
    frequent,
    oracle_counter,
    pairs_of,
    random_baskets,
    result_levels,
    run_in_subprocess,
    to_arrays,
)

NO_WEIGHTS = np.zeros(0, dtype=np.float64)


def table(sets, width):
    return np.array(sorted(sets), dtype=np.int32).reshape(-1, width)


def run(baskets, freq_table, k, n_items, weights=NO_WEIGHTS, cap=None):
    t, i = to_arrays(baskets)
    r = m.rust_compute_itemsets(t, i, freq_table, k, n_items, weights, cap)
    assert list(r) == ["itemsets", "counts"]
    (got,) = result_levels(r, ("itemsets", "counts"))
    assert all(len(s) == k and c >= 1 for s, c in got.items())
    return got


def frequent_lower(baskets, k, min_count):
    return sorted(frequent(baskets, k - 1, min_count))


# ---- agreement with the oracle ---------------------------------------------------------


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("k", [3, 4])
def test_matches_oracle_on_frequent_lower_sets(seed, k):
    rng = np.random.default_rng(seed)
    baskets = random_baskets(rng, 120, 24, 7)
    lower = frequent_lower(baskets, k, 4)
    got = run(baskets, table(lower, k - 1), k, 24)
    expected = oracle_counter(baskets, lower, pairs_of(lower), k)
    assert got == expected
    # Without a cap every frequent k-set is a candidate, with its true count.
    for s, c in frequent(baskets, k, 4).items():
        assert got[s] == c


@pytest.mark.parametrize("seed", range(6))
def test_arbitrary_lower_sets_including_unsorted_rows(seed):
    # Any rows, not only frequent ones; an unsorted row never anchors, but its items are
    # relevant and its pairs enter the pair check.
    rng = np.random.default_rng(100 + seed)
    baskets = random_baskets(rng, 80, 12, 5)
    rows = [tuple(int(x) for x in rng.choice(12, size=2, replace=False)) for _ in range(25)]
    got = run(baskets, np.array(rows, dtype=np.int32), 3, 12)
    assert got == oracle_counter(baskets, rows, pairs_of(rows), 3)


@pytest.mark.parametrize("cap", [0, 1, 2, 3, 4, 6])
@pytest.mark.parametrize("weights_kind", ["distinct", "ties", "short", "negative", "nan"])
def test_cap_matches_oracle(cap, weights_kind):
    rng = np.random.default_rng(cap * 7 + len(weights_kind))
    n_items = 28
    baskets = random_baskets(rng, 150, n_items, 9)
    assert max(len(b) for b in baskets) > cap
    weights = cap_weights(weights_kind, rng, n_items)
    lower = frequent_lower(baskets, 3, 3)
    got = run(baskets, table(lower, 2), 3, n_items, weights, cap)
    # NaN weights: the cap of one of the two extreme placements (all lightest or all heaviest).
    assert got in [oracle_counter(baskets, lower, pairs_of(lower), 3, weights, cap, last) for last in (True, False)]
    if cap < 3:
        assert got == {}


# ---- reading the freq_lower table ------------------------------------------------------

BASKETS = [[0, 1, 2, 3], [0, 1, 2], [1, 2, 3], [0, 2, 3], [0, 1, 3, 4]]


# Each table with the lower sets it stands for (None: none anchor; want taken as given).
F_ORDER = np.asfortranarray(np.array([[0, 2], [1, 1], [0, 2]], dtype=np.int32))
TABLES = [
    # A (2, 4) table for k = 3 is read as consecutive runs of 2 in memory order; only
    # the first two runs ([0, 1] and [1, 2]) are used.
    (np.array([[0, 1, 1, 2], [2, 3, 0, 3]]), 3, [(0, 1), (1, 2)], None),
    # Memory order is column by column: 0 1 0 | 2 1 2 -> rows [0, 1], [0, 2], [1, 2].
    (F_ORDER, 3, [(0, 1), (0, 2), (1, 2)], {(0, 1, 2): 2}),
    (np.ascontiguousarray(F_ORDER), 3, None, {}),  # in C order [0, 2], [1, 1]: no pair admits an extension
    *[(np.zeros(shape), k, None, {}) for shape in [(0, 2), (0, 0), (0, 7)] for k in (0, 3, 2**63)],
    ([list(range(4)), list(range(1, 5))], 5, None, {}),  # BASKETS hold at most 4 items
    ([list(range(8)), list(range(1, 9))], 9, None, {}),
    (np.zeros((4, 0)), 1, None, {}),  # rows of nothing
    ([(0, 1), (0, 2), (1, 2)] * 3, 3, None, {(0, 1, 2): 2}),  # duplicate rows collapse
    # Rows of one item give no pairs, so every co-occurring item extends an anchor.
    ([[0], [1], [2], [3], [4]], 2, None, dict(Counter(p for b in BASKETS for p in itertools.combinations(b, 2)))),
    # -1 reinterpreted as a huge id: never in a transaction, never an index.
    ([[-1, 0], [0, 1], [0, 2], [1, 2]], 3, [(0, 1), (0, 2), (1, 2)], None),
]


@pytest.mark.parametrize("arr, k, lower, want", TABLES)
def test_reading_the_table(arr, k, lower, want):
    want = oracle_counter(BASKETS, lower, pairs_of(lower), k) if want is None else want
    assert run(BASKETS, np.asarray(arr, dtype=np.int32), k, max(k, 5) if k < 2**32 else 5) == want


def test_long_anchors():
    # Anchors of 29 items inside rows of 31 to 33: deep prefix walks, many per row.
    baskets = [list(range(31))] * 2 + [list(range(1, 34))] + [list(range(2, 33))]
    lower = [tuple(x for x in range(31) if x not in (a, b)) for a in range(31) for b in range(a + 1, 31)][::3]
    got = run(baskets, table(lower, 29), 30, 34)
    assert got == oracle_counter(baskets, lower, pairs_of(lower), 30)
    assert len(got) > 5


@pytest.mark.parametrize(
    "shape,k", [((3, 1), 3), ((2, 2), 4), ((1, 5), 0), ((2, 3), 0), ((1, 1), 2**63), ((1, 1), 2**64 - 1), ((3, 0), 3)]
)
def test_table_too_narrow_for_k_panics(shape, k):
    arr = np.zeros(shape, dtype=np.int32)
    t, i = to_arrays(BASKETS)
    with pytest.raises(BaseException, match="index out of bounds") as info:
        m.rust_compute_itemsets(t, i, arr, k, 5, NO_WEIGHTS)
    assert type(info.value).__name__ == "PanicException"


# ---- parallel paths --------------------------------------------------------------------


def big_case():
    """More than 10000 transactions and more than 500 anchors (frequent pairs)."""
    rng = np.random.default_rng(7)
    baskets = random_baskets(rng, 10_200, 90, 6)
    lower = frequent_lower(baskets, 3, 20)
    return baskets, lower


def test_parallel_paths_match_the_oracle_for_any_number_of_workers():
    code = """
        import numpy as np
        import _tallisk_rs as m
        from helpers import to_arrays, rows_to_dict
        from test_itemsets import big_case, table
        baskets, lower = big_case()
        t, i = to_arrays(baskets)
        w = np.linspace(1.0, 0.0, 90)
        result = [rows_to_dict(r["itemsets"], r["counts"]) for r in
                  (m.rust_compute_itemsets(t, i, table(lower, 2), 3, 90, w, cap) for cap in (None, 4))]
    """
    one = run_in_subprocess(code, threads=1)
    assert run_in_subprocess(code, threads=2) == one
    assert len(one[0]) > 500
    if not SANITIZED:  # a large brute force
        baskets, lower = big_case()
        assert len(baskets) > 10_000 and len(lower) > 500
        for got, cap in zip(one, (None, 4), strict=True):
            assert got == oracle_counter(baskets, lower, pairs_of(lower), 3, np.linspace(1.0, 0.0, 90), cap)
