"""tallisk._engine mine_itemsets and count_itemsets at the binding: closed and maximal
invariants of the engine's own tables, counts that count again to themselves, the
documented search order, the row guard of both searches, independence from the number of
workers, and the errors of bad input. The searches are checked against brute force in
C++ (tests/cpp/test_engine.cpp and test_levelwise.cpp: every target, task split and view
form; test_common.cpp: transaction labels in any order, repeated rows) and through
frequent_itemsets (test_package_mining.py: every algorithm, target and length limit)."""

from __future__ import annotations

import numpy as np
import pytest
from helpers import random_baskets, run_in_subprocess, to_arrays
from tallisk import _engine as E

TARGETS = ["all", "closed", "maximal"]


def table(result):
    """Rows of a mine_itemsets result as a list of (itemset, count), checking the CSR."""
    offsets, items, counts = result["offsets"], result["items"], result["counts"]
    assert offsets.dtype == np.int64 and items.dtype == np.int32 and counts.dtype == np.int64
    assert len(offsets) == len(counts) + 1 and offsets[0] == 0 and offsets[-1] == len(items)
    rows = []
    for k in range(len(counts)):
        s = tuple(items[offsets[k] : offsets[k + 1]].tolist())
        assert list(s) == sorted(set(s)), f"row {k} not strictly ascending: {s}"
        rows.append((s, int(counts[k])))
    return rows


def as_dict(rows):
    out = dict(rows)
    assert len(out) == len(rows), "duplicate rows"
    return out


def mine(baskets, n_items, min_count, **kw):
    txn, item = to_arrays(baskets)
    return E.mine_itemsets(txn, item, n_items, min_count, **kw)


def datasets():
    """(name, baskets, n_items, min_count): small dense ones where closed and maximal
    differ from all, and sparse ones over many items."""
    out = []
    for seed in range(6):
        r = np.random.default_rng(seed)
        n_items = int(r.integers(4, 14))
        baskets = random_baskets(r, int(r.integers(5, 60)), n_items, float(r.uniform(2, 9)), gravity=0.8)
        out.append((f"dense{seed}", baskets, n_items, int(r.integers(1, 6))))
    for seed in range(2):
        out.append((f"sparse{seed}", random_baskets(np.random.default_rng(100 + seed), 400, 120, 5.0), 130, 3))
    return out


DATASETS = datasets()


@pytest.mark.parametrize("name,baskets,n_items,min_count", DATASETS, ids=[d[0] for d in DATASETS])
def test_closed_and_maximal_invariants(name, baskets, n_items, min_count):
    # Checked on the engine's own tables, apart from any oracle: they hold even where an
    # oracle and the engine could share a misreading of closed or maximal.
    result = mine(baskets, n_items, min_count)
    all_sets = as_dict(table(result))
    closed = as_dict(table(mine(baskets, n_items, min_count, target="closed")))
    maximal = as_dict(table(mine(baskets, n_items, min_count, target="maximal")))
    assert closed.items() <= all_sets.items()
    assert maximal.items() <= closed.items()
    # Every frequent set's count is the largest count of a closed superset.
    for s, c in all_sets.items():
        assert max(cc for cs, cc in closed.items() if set(s) <= set(cs)) == c
    # Every frequent set lies inside some maximal set.
    for s in all_sets:
        assert any(set(s) <= set(m) for m in maximal)
    # Counted again as candidates, the sets give their own counts; items count as the data says.
    again = E.count_itemsets(*to_arrays(baskets), n_items, result["offsets"], result["items"])
    assert again["counts"].tolist() == result["counts"].tolist() and again["counts"].dtype == np.int64
    assert again["n_transactions"] == result["n_transactions"] == len(baskets)
    assert result["item_counts"].tolist() == [sum(x in b for b in baskets) for x in range(n_items)]


def test_all_rows_follow_the_documented_order():
    """Depth-first preorder over items ranked by (count, id): rows sorted by their items
    in rank order, a prefix before its extensions."""
    rng = np.random.default_rng(3)
    baskets = random_baskets(rng, 200, 25, 6.0, gravity=0.8)
    result = mine(baskets, 25, 4)
    counts = result["item_counts"]
    rank = {x: (int(counts[x]), x) for x in range(25)}
    keys = [sorted(rank[x] for x in s) for s, _ in table(result)]
    assert keys == sorted(keys)


@pytest.mark.parametrize("algorithm", ["depth_first", "apriori"])
@pytest.mark.parametrize("target", TARGETS)
def test_max_itemsets_guard(target, algorithm):
    rng = np.random.default_rng(5)
    baskets = random_baskets(rng, 300, 15, 7.0, gravity=0.85)
    n = len(table(mine(baskets, 15, 3, target=target)))
    assert n > 10
    assert len(table(mine(baskets, 15, 3, target=target, algorithm=algorithm, max_itemsets=n))) == n
    for limit in (n - 1, n // 2, 0):
        message = f"^more than {limit} frequent itemsets; raise the minimum support or set max_len$"
        with pytest.raises(ValueError, match=message):
            mine(baskets, 15, 3, target=target, algorithm=algorithm, max_itemsets=limit)


# ---- worker count ----------------------------------------------------------------------

_THREADS_CODE = """
import numpy as np
from tallisk import _engine as E
seed, kind, n_txn, n_items, n_patterns = {seed}, {kind!r}, {n_txn}, {n_items}, {n_patterns}
rng = np.random.default_rng(seed)
if kind == "dense":
    present = rng.random((n_txn, n_items)) < rng.uniform(0.3, 0.9, size=n_items)
    # Items that mostly follow another make sets with equal counts (closed < all).
    for k in range(1, n_items, 3):
        present[:, k] = present[:, k - 1] & (rng.random(n_txn) < 0.97)
else:
    # Disjoint patterns, noise from other items; a pattern's first item brings its
    # second, so closed sets differ from all sets.
    patterns = rng.permutation(n_items * 2 // 3)[: 6 * n_patterns].reshape(n_patterns, 6)
    present = np.zeros((n_txn, n_items), bool)
    rows = np.arange(n_txn)
    chosen = patterns[rng.integers(0, n_patterns, size=n_txn)]
    keep = rng.random(chosen.shape) < 0.8
    keep[:, 1] |= keep[:, 0]
    present[np.repeat(rows, 6)[keep.ravel()], chosen.ravel()[keep.ravel()]] = True
    present[np.repeat(rows, 4), rng.integers(n_items * 2 // 3, n_items, size=4 * n_txn)] = True
t, i = np.nonzero(present)
txn, item = t.astype(np.int64), i.astype(np.int32)
result = {{}}
for target in ("all", "closed", "maximal"):
    for order in ("search", "canonical"):
        r = E.mine_itemsets(txn, item, n_items, {min_count}, target=target, order=order)
        key = target if order == "search" else target + " canonical"
        result[key] = (r["offsets"].tobytes(), r["items"].tobytes(), r["counts"].tobytes())
# The row guard stops a search split over tasks too.
try:
    E.mine_itemsets(txn, item, n_items, {min_count}, max_itemsets=len(result["all"][2]) // 8 - 1)
    result["guard"] = "no error"
except ValueError as e:
    result["guard"] = str(e)
"""


@pytest.mark.parametrize(
    "shape",
    [
        dict(seed=1, kind="dense", n_txn=4000, n_items=36, n_patterns=0, min_count=1300),  # bitsets
        dict(seed=2, kind="sparse", n_txn=20000, n_items=300, n_patterns=30, min_count=60),  # bitsets, few items
        dict(seed=3, kind="sparse", n_txn=40000, n_items=2000, n_patterns=120, min_count=100),  # lists
    ],
    ids=["dense", "sparse", "lists"],
)
def test_one_and_two_workers_give_identical_bytes(shape):
    # The rows against brute force at these sizes (the view built in pieces, the search
    # split into tasks, lists and bitsets) are tests/cpp/test_engine.cpp's.
    one = run_in_subprocess(_THREADS_CODE.format(**shape), threads=1)
    two = run_in_subprocess(_THREADS_CODE.format(**shape), threads=2)
    assert one == two
    for target in ("all", "closed", "maximal"):
        rows = list(from_bytes(one[target]).items())
        assert list(from_bytes(one[target + " canonical"]).items()) == sorted(rows, key=lambda r: (len(r[0]), r[0]))
    assert len(one["all"][2]) // 8 > 1500 and len(one["closed"][2]) < len(one["all"][2])
    assert one["guard"].startswith("more than ")


def from_bytes(parts):
    offsets, items, counts = (np.frombuffer(b, dt) for b, dt in zip(parts, (np.int64, np.int32, np.int64), strict=True))
    return {tuple(items[offsets[k] : offsets[k + 1]].tolist()): int(counts[k]) for k in range(len(counts))}


# ---- errors ----------------------------------------------------------------------------

TXN = np.array([0, 0, 1], np.int64)
ITEM = np.array([0, 1, 1], np.int32)
MINE = dict(txn_ids=TXN, item_ids=ITEM, n_items=2, min_count=1)
COUNT = dict(txn_ids=TXN, item_ids=ITEM, n_items=2, offsets=np.array([0, 1], np.int64), items=np.array([0], np.int32))
i32, i64 = (lambda *v: np.array(v, np.int32)), (lambda *v: np.array(v, np.int64))  # noqa: E731


# Each function's valid call, and the changes to it that must be refused.
BAD = {
    "mine_itemsets": (
        MINE,
        [
            (dict(item_ids=i32(0, 5, 1)), ValueError, r"item_ids\[1\] = 5 is outside 0 \.\. n_items - 1"),
            (dict(item_ids=i32(0, 1, -2)), ValueError, r"item_ids\[2\] = -2 is outside"),
            (dict(item_ids=i32(0, 1)), ValueError, "txn_ids and item_ids must have the same length, got 3 and 2"),
            (dict(min_count=0), ValueError, "min_count must be at least 1, got 0"),
            (dict(n_items=-1), ValueError, "n_items must be between 0 and 2"),
            (dict(min_len=-1), ValueError, "min_len must be at least 0, got -1"),
            (dict(max_len=0), ValueError, r"max_len must be at least 1 \(or None\), got 0"),
            (dict(max_itemsets=-5), ValueError, "max_itemsets must be at least 0"),
            (dict(target="closd"), ValueError, "target must be 'all', 'closed' or 'maximal', got 'closd'"),
            (dict(order="sorted"), ValueError, "order must be 'search' or 'canonical', got 'sorted'"),
            (dict(algorithm="eclat"), ValueError, "^algorithm must be 'depth_first' or 'apriori', got 'eclat'$"),
            (dict(txn_ids=[0, 0, 1]), TypeError, ""),
            (dict(item_ids=ITEM.astype(np.int64)), TypeError, ""),
            (dict(item_ids=ITEM.reshape(3, 1)), TypeError, ""),
            (dict(n_items=2.0), TypeError, ""),
            (dict(target=1), TypeError, ""),
        ],
    ),
    "count_itemsets": (
        COUNT,
        [
            (
                dict(offsets=i64(0, 1, 3), items=i32(0, 2, 1)),
                ValueError,
                r"items\[1\] = 2 is outside 0 \.\. n_items - 1",
            ),
            (dict(offsets=i64(), items=i32()), ValueError, "offsets must hold at least one value"),
            (dict(offsets=i64(1, 2), items=i32(0, 1)), ValueError, r"offsets\[0\] must be 0, got 1"),
            (
                dict(offsets=i64(0, 2, 1, 2), items=i32(0, 1)),
                ValueError,
                r"offsets must not decrease: offsets\[2\] = 1 < offsets\[1\] = 2",
            ),
            (dict(items=i32(0, 1)), ValueError, r"offsets\[1\] = 1 must equal the length of items \(2\)"),
            (dict(item_ids=i32(9, 0, 0), offsets=i64(0), items=i32()), ValueError, r"item_ids\[0\] = 9"),
            (dict(offsets=np.array([0, 1], np.int32)), TypeError, ""),
            (dict(items=[0]), TypeError, ""),
            (dict(items=...), TypeError, "missing 1 required positional argument: 'items'"),
        ],
    ),
}


@pytest.mark.parametrize("fn,kwargs,error,message", [(fn, *case) for fn, (_, cases) in BAD.items() for case in cases])
def test_bad_input(fn, kwargs, error, message):
    with pytest.raises(error, match=message or None):
        getattr(E, fn)(**{k: v for k, v in (BAD[fn][0] | kwargs).items() if v is not ...})
