"""pair_metrics against a brute-force pair table over labelled baskets."""

import math

import numpy as np
import pandas as pd
import pytest
from helpers import check_rows, itemset_counts, labelled_baskets, rule_metrics
from tallisk.pairs import PAIR_COLUMNS, pair_metrics
from tallisk.transactions import Transactions


def oracle(baskets, min_count=1):
    """{(a, b): metrics} over every ordered pair of labels found together in min_count baskets."""
    counts = itemset_counts(baskets, max_len=2)
    out = {}
    for pair, c in counts.items():
        for a, b in [pair, pair[::-1]] if len(pair) == 2 and c >= min_count else []:
            m = rule_metrics(c, counts[(a,)], counts[(b,)], len(baskets))
            out[(a, b)] = {k: m[k] for k in PAIR_COLUMNS[2:]}
    return out


def random_baskets(seed, empty=False):
    return labelled_baskets(seed, ["", "pain", "café", "茶", "milk", "eggs", "beer", "x" * 30], 80, 4, empty=empty)


# An item in every basket (a sure pair, infinite conviction) is test_faces.py's.
@pytest.mark.parametrize("seed, empty", [(0, False), (1, True), (2, True)])
@pytest.mark.parametrize("min_support", [0.0, 0.05, 0.2])
def test_pairs_match_the_oracle(seed, empty, min_support):
    baskets = random_baskets(seed, empty=empty)
    df = pair_metrics(baskets, min_support=min_support)
    n = len(baskets)
    min_count = max(1, math.ceil(min_support * n - 1e-9))
    check_rows(df, "item_a", "item_b", oracle(baskets, min_count), rel=1e-12)
    assert list(df.columns) == PAIR_COLUMNS
    assert df.attrs == {"n_transactions": n, "min_count": min_count}
    assert isinstance(df["item_a"].dtype, pd.CategoricalDtype) and df["count"].dtype == np.int64
    # rows by item_a in item-id (here: label) order
    codes = df["item_a"].cat.codes.to_numpy()
    assert (np.diff(codes) >= 0).all()
    assert not df[PAIR_COLUMNS[2:]].isna().any().any()


def test_min_count_equals_the_matching_min_support():
    baskets = random_baskets(4)
    tr = Transactions.from_baskets(baskets)
    a = pair_metrics(tr, min_count=8)
    b = pair_metrics(tr, min_support=8 / len(baskets))
    pd.testing.assert_frame_equal(a, b)
    assert a["count"].min() >= 8
    assert pair_metrics(tr, min_count=len(baskets) + 1).empty


def test_integer_and_categorical_labels():
    df = pd.DataFrame({"t": [10, 10, 20, 20, 20, 30], "i": pd.Categorical([7, 3, 7, 3, 5, 5], categories=[9, 7, 5, 3])})
    out = pair_metrics(Transactions.from_long(df, "t", "i"))
    assert list(out["item_a"].cat.categories) == [7, 5, 3]
    check_rows(out, "item_a", "item_b", oracle([[7, 3], [7, 3, 5], [5]]), rel=1e-12)


@pytest.mark.parametrize(
    "kwargs, fragment",
    [
        (dict(min_support=2), "in the range [0.0, 1.0]. Got 2 instead. (Did you mean a percentage?"),
        (dict(min_support=-1.0), "cannot be negative"),
        (dict(min_support=0.1, min_count=2), "'min_support' or 'min_count', not both"),
    ],
)
def test_bad_thresholds(kwargs, fragment):
    with pytest.raises(ValueError) as info:
        pair_metrics([["a", "b"]], **kwargs)
    assert fragment in str(info.value)
