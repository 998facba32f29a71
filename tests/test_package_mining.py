"""frequent_itemsets against a brute-force miner over labelled baskets, for every algorithm and target.
The miners against each other on larger data are tests/cpp/test_levelwise.cpp's."""

import math

import numpy as np
import pandas as pd
import pytest
from helpers import by_target, itemset_counts, labelled_baskets
from tallisk.mining import ALGORITHMS, frequent_itemsets
from tallisk.tables import itemsets_frame, itemsets_to_arrays
from tallisk.transactions import Transactions


def brute_force(baskets, min_count, min_len=1, max_len=None, target="all"):
    """[(itemset, count)] by length, then label order; closed and maximal judged against every frequent set."""
    found = by_target(itemset_counts(baskets, min_count), target)
    rows = [(x, c) for x, c in found.items() if min_len <= len(x) <= (max_len or len(x))]
    return sorted(rows, key=lambda r: (len(r[0]), r[0]))


def random_baskets(seed, n=120, n_items=9):
    return labelled_baskets(seed, [f"p{j}" for j in range(n_items)], n, max_size=6)


def as_rows(df):
    return list(zip(df["itemset"], df["count"].tolist(), strict=True))


@pytest.mark.parametrize("algorithm", ALGORITHMS)
@pytest.mark.parametrize("target", ["all", "closed", "maximal"])
@pytest.mark.parametrize(
    "seed, min_support, max_len, min_len", [(0, 0.05, None, 1), (1, 0.12, 3, 1), (2, 0.02, None, 2), (3, 0.1, 2, 2)]
)
def test_every_algorithm_gives_the_brute_force_table(algorithm, target, seed, min_support, max_len, min_len):
    baskets = random_baskets(seed)
    n = len(baskets)
    df = frequent_itemsets(baskets, min_support, min_len=min_len, max_len=max_len, target=target, algorithm=algorithm)
    min_count = math.ceil(min_support * n - 1e-9)
    assert as_rows(df) == brute_force(baskets, min_count, min_len, max_len, target)
    assert len(df) and df["length"].max() >= 2
    assert list(df.columns) == ["itemset", "length", "count", "support"]
    assert df["length"].tolist() == [len(x) for x in df["itemset"]]
    np.testing.assert_allclose(df["support"], df["count"] / n, rtol=0, atol=0)
    assert df.attrs == {"n_transactions": n, "min_count": min_count, "target": target}


def cap_oracle(baskets, weights, cap):
    """Each basket's `cap` heaviest labels: NaN and missing below numbers, then label order."""

    def key(x):
        w = weights.get(x, math.nan)
        return (math.isnan(w), -w if not math.isnan(w) else 0.0, x)

    return [sorted(set(b), key=key)[:cap] for b in baskets]


@pytest.mark.parametrize("algorithm", ["auto", "apriori"])
@pytest.mark.parametrize("cap", [1, 2, 3])
def test_weight_ranked_cap(algorithm, cap):
    baskets = random_baskets(5)
    tr = Transactions.from_baskets(baskets)
    by_frequency = {k: float(v) for k, v in tr.item_counts.items()}  # the ranking without weights
    df = frequent_itemsets(baskets, min_count=3, max_items_per_txn=cap, algorithm=algorithm)
    assert as_rows(df) == brute_force(cap_oracle(baskets, by_frequency, cap), 3)
    labels = list(tr.items)
    rng = np.random.default_rng(cap)
    weights = {x: float(w) for x, w in zip(labels, rng.integers(0, 3, len(labels)), strict=True)}
    weights[labels[0]] = math.nan
    del weights[labels[1]]  # no weight: ranks like NaN
    df = frequent_itemsets(baskets, min_count=3, max_items_per_txn=cap, item_weights=weights, algorithm=algorithm)
    assert as_rows(df) == brute_force(cap_oracle(baskets, weights, cap), 3)
    assert df.attrs["n_transactions"] == len(baskets)
    # an array in item-id order means the same as the mapping
    arr = pd.Series(weights).reindex(tr.items).to_numpy()
    same = frequent_itemsets(tr, min_count=3, max_items_per_txn=cap, item_weights=arr, algorithm=algorithm)
    pd.testing.assert_frame_equal(df, same)


@pytest.mark.parametrize(
    "baskets",
    [
        [[30, 10], [10, 30, -4], [-4, 10], [10, 30]],
        [["", "é"], ["", "é", "🍞"], [""]],
        [[(1, "a"), (0, "b")], [(1, "a"), (0, "b")], [(0, "b")]],
    ],
)
@pytest.mark.parametrize("algorithm", ["auto", "apriori"])
def test_awkward_labels(baskets, algorithm):
    df = frequent_itemsets(baskets, min_count=1, algorithm=algorithm)
    assert as_rows(df) == brute_force(baskets, 1)


def test_labels_that_do_not_sort_come_in_first_appearance_order():
    df = frequent_itemsets([["b", 1], ["b", 1]], min_count=2, algorithm="apriori")
    assert df["itemset"].tolist() == [("b",), (1,), ("b", 1)]


def test_itemsets_frame_is_independent_of_the_input_row_order():
    df = frequent_itemsets(random_baskets(7), min_support=0.05, algorithm="apriori")
    arrays = itemsets_to_arrays(df)
    rng = np.random.default_rng(0)
    perm = rng.permutation(len(df))
    lengths = np.diff(arrays.offsets)[perm]
    rows = [arrays.items[arrays.offsets[r] : arrays.offsets[r + 1]][::-1] for r in perm]  # reversed within rows too
    offsets = np.r_[0, np.cumsum(lengths)]
    again = itemsets_frame(
        offsets, np.concatenate(rows), arrays.counts[perm], arrays.labels, len(random_baskets(7)), df.attrs["min_count"]
    )
    pd.testing.assert_frame_equal(again, df)


def test_empty_results_and_empty_baskets():
    df = frequent_itemsets([["a"], [], []], min_count=2, algorithm="apriori")
    assert df.empty and list(df.columns) == ["itemset", "length", "count", "support"]
    assert df["count"].dtype == np.int64 and df["support"].dtype == np.float64
    one = frequent_itemsets([["a"], [], []], min_support=0.3, algorithm="depth_first")
    assert as_rows(one) == [(("a",), 1)] and one["support"].tolist() == [1 / 3]


@pytest.mark.parametrize("algorithm", ["apriori", "depth_first"])
def test_max_itemsets(algorithm):
    with pytest.raises(ValueError, match="more than 5 frequent itemsets; raise the minimum support or set max_len"):
        frequent_itemsets(random_baskets(8), min_count=2, max_itemsets=5, algorithm=algorithm)


# Each parameter's own range is walked in test_declarations; these are the hints, the rules
# between parameters and what only the data can tell.
@pytest.mark.parametrize(
    "kwargs, error, fragment",
    [
        (dict(min_count=2, min_support=0.1), ValueError, "exactly one of"),
        (dict(min_count=2, algorithm="levelwise_memo"), ValueError, "counters are no longer choices of the package"),
        (
            dict(min_count=2, min_len=3, max_len=2),
            ValueError,
            "'max_len' parameter of frequent_itemsets must be an int in the range [3, inf] or None. Got 2 instead.",
        ),
        (dict(min_count=2, item_weights={"a": 1}), ValueError, "'item_weights' only with 'max_items_per_txn'"),
        (dict(min_count=2, max_items_per_txn=2, item_weights=[1.0]), ValueError, "1-D array of 2 numbers"),
        (dict(min_count=1, data=pd.DataFrame({"t": [1], "i": ["a"]})), TypeError, "Transactions.from_long"),
    ],
)
def test_bad_parameters(kwargs, error, fragment):
    kwargs = dict(kwargs)  # the case table is shared between runs: leave it whole
    with pytest.raises(error) as info:
        frequent_itemsets(kwargs.pop("data", [["a", "b"], ["a"]]), **kwargs)
    assert fragment in str(info.value)
