"""association_rules against a brute-force rule table over labelled baskets."""

import itertools
import math

import numpy as np
import pandas as pd
import pytest
from tallisk.mining import frequent_itemsets
from tallisk.rules import RULE_COLUMNS, association_rules
from tallisk.transactions import Transactions


def oracle(baskets, min_count, min_confidence, max_len=None):
    """{(antecedent, consequent): metrics} for every rule among the frequent sets."""
    sets = [frozenset(b) for b in baskets]
    n = len(sets)
    labels = sorted(set().union(*sets))
    count = {}
    for k in range(1, (max_len or len(labels)) + 1):
        level = {c: sum(s.issuperset(c) for s in sets) for c in itertools.combinations(labels, k)}
        level = {c: v for c, v in level.items() if v >= min_count}
        if not level:
            break
        count.update(level)
    rules = {}
    for itemset, c in count.items():
        for r in range(1, len(itemset)):
            for a in itertools.combinations(itemset, r):
                cons = tuple(x for x in itemset if x not in a)
                sa, sc, s = count[a] / n, count[cons] / n, c / n
                conf = s / sa
                if conf < min_confidence:
                    continue
                rules[(a, cons)] = dict(
                    antecedent_support=sa, consequent_support=sc, support=s, count=c, confidence=conf,
                    lift=conf / sc, leverage=s - sa * sc,
                    conviction=math.inf if conf == 1 else (1 - sc) / (1 - conf),
                    zhangs_metric=(s - sa * sc) / max(s * (1 - sa), sa * (sc - s)) if sa < 1 or sc > s else 0.0,
                    jaccard=s / (sa + sc - s), certainty=(conf - sc) / (1 - sc) if sc < 1 else 0.0,
                    kulczynski=(s / sa + s / sc) / 2, cosine=s / math.sqrt(sa * sc),
                )
    return rules


def random_baskets(seed, n=150, n_items=8):
    rng = np.random.default_rng(seed)
    names = ["a", "b", "c", "d", "e", "é", "", "z"][:n_items]
    out = []
    for _ in range(n):
        k = int(rng.integers(0, 6))
        idx = np.minimum(rng.geometric(0.35, size=k) - 1, n_items - 1)
        basket = [names[i] for i in idx]
        # two strong rules, so that high confidence thresholds keep some
        if "a" in basket and rng.random() < 0.95:
            basket.append("d")
        if "c" in basket and rng.random() < 0.9:
            basket.append("")
        out.append(basket)
    return out


def check(rules, expected):
    got = {(a, c): row for a, c, row in zip(rules["antecedent"], rules["consequent"], rules.to_dict("records"),
                                           strict=True)}
    assert len(got) == len(rules) and set(got) == set(expected)
    for key, want in expected.items():
        for col, value in want.items():
            assert got[key][col] == pytest.approx(value, rel=1e-9, abs=1e-12), (key, col)


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


def test_sort_by_and_infinite_conviction():
    baskets = [["a", "b"], ["a", "b"], ["a", "b", "c"], ["c"], ["b"]]
    rules = association_rules(baskets, min_count=1, min_confidence=0.0, sort_by="confidence")
    assert (np.diff(rules["confidence"].to_numpy()) <= 0).all()
    sure = rules[rules["confidence"] == 1.0]
    assert len(sure) and np.isinf(sure["conviction"]).all() and (sure["conviction"] > 0).all()
    assert not rules.drop(columns=["antecedent", "consequent"]).isna().any().any()
    unsorted = association_rules(baskets, min_count=1, min_confidence=0.0, sort_by=None)
    assert sorted(map(tuple, unsorted[["antecedent", "consequent"]].to_numpy().tolist())) == sorted(
        map(tuple, rules[["antecedent", "consequent"]].to_numpy().tolist())
    )


def test_an_item_in_every_basket():
    baskets = [["all", "x"], ["all"], ["all", "x", "y"], ["all", "y"]]
    rules = association_rules(baskets, min_count=1, min_confidence=0.0)
    check(rules, oracle(baskets, 1, 0.0))
    assert not rules.drop(columns=["antecedent", "consequent"]).isna().any().any()


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


@pytest.mark.parametrize(
    "make, kwargs, fragment",
    [
        (lambda b: frequent_itemsets(b, min_count=5, target="maximal"), {}, "maximal itemsets"),
        (lambda b: frequent_itemsets(b, min_count=5, min_len=2), {}, "no row for the single item '"),
        (lambda b: frequent_itemsets(b, min_count=5), dict(min_confidence=80),
         "Did you mean a percentage? Use min_confidence=0.8."),
        (lambda b: frequent_itemsets(b, min_count=5), dict(metric="lift"), "'metric' and 'min_threshold' together"),
        (lambda b: frequent_itemsets(b, min_count=5), dict(metric="power", min_threshold=1), "'metric' parameter"),
        (lambda b: frequent_itemsets(b, min_count=5), dict(sort_by="antecedent"), "'sort_by' parameter"),
        (lambda b: frequent_itemsets(b, min_count=5), dict(antecedents="a"), "Use antecedents=['a']."),
        (lambda b: frequent_itemsets(b, min_count=5), dict(consequents=["nope"]), "'nope'"),
        (lambda b: frequent_itemsets(b, min_count=5), dict(min_support=0.1), "only with transactions"),
        (lambda b: b, {}, "give min_support (a fraction) or min_count"),
        (lambda b: b, dict(min_support=5), "Use min_support=0.05."),
    ],
)
def test_bad_input(make, kwargs, fragment):
    data = make(random_baskets(6))
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
