"""The all-pairs association table against an independent computation."""

import math

import _tallisk_rs as m
import numpy as np
import pytest
from helpers import PAIR_COLUMNS, pair_metrics, random_baskets, run_in_subprocess, scrambled, to_arrays

INF, NAN = math.inf, math.nan


def oracle(labels, items, n_items, min_support=0.0):
    """Rows in the documented order: anchors ascending, partners in the order they are
    first met (transactions in order of first appearance, items ascending)."""
    dense, baskets = {}, []
    for label, x in zip(labels, items, strict=True):
        if label not in dense:
            dense[label] = len(baskets)
            baskets.append(set())
        baskets[dense[label]].add(int(x))
    n = len(baskets)
    count = [sum(x in b for b in baskets) for x in range(n_items)]
    min_count = (math.ceil(min_support * n) if math.isfinite(min_support) else INF) if min_support > 0 else 0
    rows = []
    for a in range(n_items):
        co, order = {}, []
        for b in baskets:
            if a in b:
                for x in sorted(b):
                    if x not in co:
                        order.append(x)
                    co[x] = co.get(x, 0) + 1
        for x in order:
            if x == a or co[x] < min_count:
                continue
            rows.append((a, x, co[x], *pair_metrics(co[x], count[a], count[x], n)))
    return rows, n


def assert_table(result, rows, n):
    assert list(result) == PAIR_COLUMNS + ["n_transactions"]
    assert result["n_transactions"] == n
    want = list(zip(*rows, strict=True)) if rows else [[]] * len(PAIR_COLUMNS)
    for j, col in enumerate(PAIR_COLUMNS):
        got = result[col]
        assert got.dtype == (np.int32 if j < 2 else np.int64 if j == 2 else np.float64)
        if j < 3:
            assert got.tolist() == list(want[j]), col
        else:
            np.testing.assert_allclose(got, np.array(want[j], dtype=float), rtol=1e-14, atol=0, err_msg=col)


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("min_support", [0.0, 0.05, 0.2])
def test_matches_oracle_on_random_baskets(seed, min_support):
    rng = np.random.default_rng(seed)
    n_items = int(rng.integers(3, 30))
    baskets = random_baskets(rng, int(rng.integers(1, 60)), n_items, 3.5)
    # unsorted and negative labels, repeated occurrences; items in random order within a basket
    t, i = scrambled(rng, [list(rng.permutation(b)) for b in baskets]) if seed % 2 else to_arrays(baskets)
    assert_table(m.rust_compute_pairs(t, i, n_items, min_support), *oracle(t, i, n_items, min_support))


FOUR = [[0, 1, 2], [0, 1], [0, 1, 3], [2, 3]]  # six pairs co-occur, none in every basket
ROUNDING = [[0, 1]] * 7 + [[0, 2]] * 8 + [[3]] * 85  # 0.07 * 100 = 7.000000000000001: a pair in 7 baskets fails


@pytest.mark.parametrize(
    "baskets, min_support, n_rows",
    [(FOUR, s, 12) for s in (NAN, -1.0, 0.0)]
    + [(FOUR, s, 0) for s in (1.0, 1e300, math.inf)]
    + [
        ([[0, 1], [0, 1, 2]], 1.0, 2),  # a pair in every basket; NaN conviction
        ([[0, 1, 2], [1, 2]], 0.0, 6),  # NaN conviction wherever the partner is everywhere
        (ROUNDING, 0.07, 2),
    ],
)
def test_thresholds(baskets, min_support, n_rows):
    n_items = 1 + max(x for b in baskets for x in b)
    t, i = to_arrays(baskets)
    r = m.rust_compute_pairs(t, i, n_items, min_support)
    assert_table(r, *oracle(t, i, n_items, min_support))
    assert len(r["item_A"]) == n_rows


def test_same_table_for_any_number_of_workers():
    code = """
    import numpy as np, _tallisk_rs as m
    rng = np.random.default_rng(7)
    t = np.repeat(np.arange(3000, dtype=np.int64), 8)
    i = rng.zipf(1.3, size=t.size).astype(np.int64) % 500
    r = m.rust_compute_pairs(t, i.astype(np.int32), 500, 0.001)
    result = {k: (v.tobytes() if hasattr(v, "tobytes") else v) for k, v in r.items()}
    """
    one = run_in_subprocess(code, threads=1)
    assert len(one["item_A"]) > 1000
    assert run_in_subprocess(code, threads=2) == one
    assert run_in_subprocess(code, threads=5) == one
