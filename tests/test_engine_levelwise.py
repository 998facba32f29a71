"""tallisk._engine's level-wise side: filter_target (the closed or maximal rows of a
table of every frequent itemset) against the depth-first miner's own targets and the
brute-force selection, in shuffled row and item order, and its errors (the selection on
tables of every shape is tests/cpp/test_levelwise.cpp's); and
mine_itemsets(algorithm="apriori") against mlxtend's apriori. The level-wise miner's rows
against the depth-first search's, for every target, length limit, batch size and row
limit, are tests/cpp/test_levelwise.cpp's; against brute force, test_package_mining.py's."""

from __future__ import annotations

import numpy as np
import pytest
from helpers import by_target, random_baskets, to_arrays, to_csr
from tallisk import _engine as E

TARGETS = ["all", "closed", "maximal"]


def rows_of(offsets, items, counts):
    return [(tuple(items[offsets[k] : offsets[k + 1]].tolist()), int(counts[k])) for k in range(len(counts))]


def mined(baskets, n_items, min_count, **kw):
    txn, item = to_arrays(baskets)
    out = E.mine_itemsets(txn, item, n_items, min_count, **kw)
    return rows_of(out["offsets"], out["items"], out["counts"])


def shuffled(rng, rows):
    """The rows in random order, each row's ids in random order."""
    order = rng.permutation(len(rows))
    rows = [(tuple(rng.permutation(list(rows[k][0])).tolist()), rows[k][1]) for k in order]
    offsets, items = to_csr([s for s, _ in rows])
    return rows, offsets, items, np.array([c for _, c in rows], np.int64)


def test_filter_target_keeps_the_closed_and_maximal_rows_as_given():
    # Against the brute-force selection on tables of every shape and size, on the pool,
    # and on rows that are not every frequent set: tests/cpp/test_levelwise.cpp.
    rng = np.random.default_rng(1)
    baskets = random_baskets(rng, 80, 12, 6.0, gravity=0.85)
    every = mined(baskets, 12, 4)
    rows, offsets, items, counts = shuffled(rng, every)
    for target in TARGETS:
        got = E.filter_target(offsets, items, counts, target)
        kept = got["rows"]
        assert kept.dtype == np.int64 and np.all(np.diff(kept) > 0) and len(got["offsets"]) == len(kept) + 1
        # The kept rows as given, in their order.
        assert rows_of(got["offsets"], got["items"], got["counts"]) == [rows[k] for k in kept.tolist()]
        as_sets = {tuple(sorted(s)): c for s, c in (rows[k] for k in kept.tolist())}
        assert as_sets == by_target(dict(every), target) == dict(mined(baskets, 12, 4, target=target))


i32, i64 = (lambda *v: np.array(v, np.int32)), (lambda *v: np.array(v, np.int64))  # noqa: E731
GOOD = dict(offsets=i64(0, 1, 3), items=i32(0, 0, 1), counts=i64(3, 2), target="closed")


@pytest.mark.parametrize(
    "kwargs,error,message",
    [
        (dict(offsets=i64()), ValueError, r"offsets must hold at least one value \(0 for no rows\)"),
        (dict(offsets=i64(1, 1, 3)), ValueError, r"offsets\[0\] must be 0, got 1"),
        (dict(offsets=i64(0, 1, 2)), ValueError, r"offsets\[2\] = 2 must equal the length of items \(3\)"),
        (dict(items=i32(0, -1, 1)), ValueError, r"items\[1\] = -1 is negative"),
        (dict(items=i32(0, 1, 1)), ValueError, r"items\[2\] = 1 repeats an item of row 1"),
        (dict(counts=i64(3)), ValueError, "counts holds 1 values but offsets describes 2 rows"),
        (dict(offsets=i64(0, 2, 4), items=i32(0, 1, 1, 0)), ValueError, "rows 0 and 1 hold the same itemset"),
        # Of several copies, the pair whose second row comes first.
        (
            dict(offsets=i64(0, 1, 1, 3, 5, 6, 6), items=i32(7, 1, 2, 2, 1, 7), counts=i64(1, 1, 1, 1, 1, 1)),
            ValueError,
            "rows 2 and 3 hold the same itemset",
        ),
        (dict(target="closd"), ValueError, "target must be 'all', 'closed' or 'maximal', got 'closd'"),
        (dict(target=None), TypeError, "argument 'target'"),
        (dict(counts=np.array([3.0, 2.0])), TypeError, "argument 'counts'"),
        (dict(items=[0, 0, 1]), TypeError, "argument 'items'"),
        (dict(target=...), TypeError, "missing 1 required positional argument: 'target'"),
    ],
)
def test_filter_target_bad_input(kwargs, error, message):
    with pytest.raises(error, match=message):
        E.filter_target(**{k: v for k, v in (GOOD | kwargs).items() if v is not ...})


# ---- the level-wise miner ---------------------------------------------------------------


def test_apriori_matches_mlxtend():
    pd = pytest.importorskip("pandas")
    frequent_patterns = pytest.importorskip("mlxtend.frequent_patterns")
    rng = np.random.default_rng(21)
    n_items = 30
    baskets = random_baskets(rng, 400, n_items, 9.0, gravity=0.9)
    onehot = pd.DataFrame([[x in set(b) for x in range(n_items)] for b in baskets], columns=range(n_items))
    peer = frequent_patterns.apriori(onehot, min_support=8 / len(baskets), use_colnames=True)
    want = {tuple(sorted(s)): round(v * len(baskets)) for s, v in zip(peer["itemsets"], peer["support"], strict=True)}
    assert len(want) > 500
    assert dict(mined(baskets, n_items, 8, algorithm="apriori")) == want
