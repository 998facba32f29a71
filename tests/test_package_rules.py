"""association_rules against a brute-force rule table over labelled baskets."""

import math

import numpy as np
import pandas as pd
import pytest
from helpers import brute_rules as oracle
from helpers import check_rows
from tallisk.mining import frequent_itemsets
from tallisk.rules import RULE_COLUMNS, association_rules
from tallisk.transactions import Transactions

NAMES = ["a", "b", "c", "d", "e", "é", "", "z"]


def random_baskets(seed, n=150):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(n):
        basket = [NAMES[i] for i in np.minimum(rng.geometric(0.35, size=int(rng.integers(0, 6))) - 1, 7)]
        # two strong rules, so that high confidence thresholds keep some
        if "a" in basket and rng.random() < 0.95:
            basket.append("d")
        if "c" in basket and rng.random() < 0.9:
            basket.append("")
        out.append(basket)
    return out


def check(rules, expected):
    check_rows(rules, "antecedent", "consequent", expected)


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("min_confidence", [0.0, 0.5, 0.9])
@pytest.mark.parametrize("target", ["all", "closed"])
def test_rules_match_the_oracle(seed, min_confidence, target):
    baskets = random_baskets(seed)
    itemsets = frequent_itemsets(baskets, min_count=6, target=target)
    rules = association_rules(itemsets, min_confidence=min_confidence)
    expected = oracle(baskets, 6, min_confidence)
    assert expected, "the data should hold rules"
    check(rules, expected)
    assert list(rules.columns) == RULE_COLUMNS
    assert (np.diff(rules["lift"].to_numpy()) <= 0).all()
    assert rules.attrs["n_transactions"] == len(baskets)


def test_rules_straight_from_transactions_equal_rules_from_the_table():
    baskets = random_baskets(3)
    tr = Transactions.from_baskets(baskets)
    direct = association_rules(tr, min_support=0.05, min_confidence=0.3, max_len=3)
    via = association_rules(frequent_itemsets(tr, 0.05, max_len=3), min_confidence=0.3)
    pd.testing.assert_frame_equal(direct, via)
    check(direct, oracle(baskets, math.ceil(0.05 * len(baskets)), 0.3, max_len=3))


def test_filters():
    baskets = random_baskets(4)
    itemsets = frequent_itemsets(baskets, min_count=5)
    full = oracle(baskets, 5, 0.2)
    cases = [
        (dict(min_lift=1.1), lambda k, m: m["lift"] >= 1.1),
        (dict(metric="leverage", min_threshold=0.01), lambda k, m: m["leverage"] >= 0.01),
        (dict(max_consequent_len=1), lambda k, m: len(k[1]) == 1),
        (dict(antecedents=["a", "b"]), lambda k, m: set(k[0]) <= {"a", "b"}),
        (dict(consequents=[""]), lambda k, m: k[1] == ("",)),
    ]
    for kwargs, keep in cases:
        rules = association_rules(itemsets, min_confidence=0.2, **kwargs)
        expected = {k: m for k, m in full.items() if keep(k, m)}
        assert 0 < len(expected) < len(full), kwargs
        check(rules, expected)


@pytest.mark.parametrize(
    "baskets",
    [[["a", "b"], ["a", "b"], ["a", "b", "c"], ["c"], ["b"]], [["all", "x"], ["all"], ["all", "x", "y"], ["all", "y"]]],
)
def test_sort_by_sure_rules_and_an_item_in_every_basket(baskets):
    rules = association_rules(baskets, min_count=1, min_confidence=0.0, by="confidence")
    check(rules, oracle(baskets, 1, 0.0))
    assert (np.diff(rules["confidence"].to_numpy()) <= 0).all()
    sure = rules[rules["confidence"] == 1.0]
    assert len(sure) and np.isinf(sure["conviction"]).all() and (sure["conviction"] > 0).all()
    assert not rules.drop(columns=["antecedent", "consequent"]).isna().any().any()
    unsorted = association_rules(baskets, min_count=1, min_confidence=0.0, by=None)
    check(unsorted, oracle(baskets, 1, 0.0))


def test_mlxtend_style_table_with_supports_only():
    baskets = random_baskets(5)
    table = frequent_itemsets(baskets, min_count=8)
    supports_only = pd.DataFrame({"itemset": table["itemset"].map(frozenset), "support": table["support"]})
    rules = association_rules(supports_only, min_confidence=0.4)
    expected = oracle(baskets, 8, 0.4)
    for m in expected.values():
        del m["count"]
    check(rules, expected)
    assert rules["count"].isna().all()


# Each parameter's own range is walked in test_declarations; these are the hints, the rules
# between parameters and what only the data can tell.
@pytest.mark.parametrize(
    "table, kwargs, fragment",
    [
        (dict(target="maximal"), {}, "maximal itemsets"),
        (dict(min_len=2), {}, "no row for the single item '"),
        ({}, dict(min_confidence=80), "Did you mean a percentage? Use min_confidence=0.8."),
        ({}, dict(metric="lift"), "'metric' and 'min_threshold' together"),
        ({}, dict(antecedents="a"), "Use antecedents=['a']."),
        ({}, dict(consequents=["nope"]), "'nope'"),
        ({}, dict(min_support=0.1), "only with transactions"),
        (None, {}, "give min_support (a fraction) or min_count"),
    ],
)
def test_bad_input(table, kwargs, fragment):
    """`table` holds the frequent_itemsets arguments of the input, or None to pass the baskets."""
    data = random_baskets(6)
    data = data if table is None else frequent_itemsets(data, min_count=5, **table)
    with pytest.raises(ValueError) as info:
        association_rules(data, **kwargs)
    assert fragment in str(info.value)


@pytest.mark.parametrize("data", [[], [[]], [["a"], []]])
def test_nothing_to_find(data):
    from tallisk.pairs import PAIR_COLUMNS, pair_metrics

    itemsets = frequent_itemsets(data, min_count=1, max_len=1)
    assert len(itemsets) == len({x for b in data for x in b})
    for rules in (association_rules(data, min_count=1, min_confidence=0.0), association_rules(itemsets)):
        assert rules.empty and list(rules.columns) == RULE_COLUMNS and rules["count"].dtype == np.int64
    pairs = pair_metrics(data)
    assert pairs.empty and list(pairs.columns) == PAIR_COLUMNS
