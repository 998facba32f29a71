"""From rules to decisions: top_rules against the k best of every rule (brute force), with
ties and restrictions; exclusion; improvement against every sub-rule; recommendations
against a rule-by-rule reading of the table."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pandas as pd
import pytest
import tallisk
from helpers import brute_rules, command, itemset_counts, labelled_baskets

NAMES = list("abcdefgh")


def baskets_of(seed, n=60):
    return labelled_baskets(seed, NAMES, n, 5, p=0.35)


def allowed(rule, antecedents=None, consequents=None, exclude=(), max_consequent_len=None, min_len=2):
    a, c = rule
    return (
        (antecedents is None or set(a) <= set(antecedents))
        and (consequents is None or set(c) <= set(consequents))
        and not (set(a) | set(c)) & set(exclude)
        and (max_consequent_len is None or len(c) <= max_consequent_len)
        and len(a) + len(c) >= min_len
    )


TOP_CASES = [
    ("leverage", 1, {}),
    ("leverage", 8, {}),
    ("leverage", 15, {"min_confidence": 0.4, "max_consequent_len": 1}),
    ("leverage", 10, {"antecedents": list("abcde"), "consequents": list("cdefgh"), "exclude": ["d"]}),
    ("leverage", 6, {"min_len": 3, "max_len": 3}),
    ("support", 5, {}),
    ("count", 12, {"exclude": ["a"]}),
    ("lift", 7, {"min_count": 3}),
    ("confidence", 9, {"min_count": 4, "max_len": 2}),
    ("conviction", 5, {"min_count": 3}),
    ("zhangs_metric", 6, {"min_count": 3}),
    ("jaccard", 5, {"min_count": 2}),
    ("certainty", 5, {"min_count": 5}),
    ("kulczynski", 5, {"min_count": 2, "consequents": list("abc")}),
    ("cosine", 4, {"min_count": 2}),
    ("antecedent_support", 5, {"min_count": 6}),
    ("consequent_support", 5, {"min_count": 6}),
    ("leverage", 10_000, {}),  # more than the data holds: every rule
]


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("by, k, kwargs", TOP_CASES)
def test_top_rules_are_the_k_best_of_every_rule(seed, by, k, kwargs):
    baskets = baskets_of(seed)
    rules = brute_rules(baskets, kwargs.get("min_count", 1), kwargs.get("min_confidence", 0.0), kwargs.get("max_len"))
    keys = ("antecedents", "consequents", "exclude", "max_consequent_len", "min_len")
    rules = {r: m for r, m in rules.items() if allowed(r, **{k2: kwargs[k2] for k2 in keys if k2 in kwargs})}
    values = sorted((m[by] for m in rules.values()), reverse=True)
    kth = values[min(k, len(values)) - 1]
    want = {r for r, m in rules.items() if m[by] >= kth - 1e-12 * abs(kth)}

    top = tallisk.top_rules(baskets, k, by, **kwargs)
    assert set(zip(top["antecedent"], top["consequent"], strict=True)) == want
    values = top[by].to_numpy()
    assert (values[1:] <= values[:-1]).all()
    assert top.attrs["by"] == by and top.attrs["k"] == k and top.attrs["n_transactions"] == len(baskets)
    # the very rows association_rules makes for the same rules
    every = tallisk.association_rules(baskets, min_count=1, min_confidence=0.0, by=None)
    row = {rule: i for i, rule in enumerate(zip(every["antecedent"], every["consequent"], strict=True))}
    same = every.iloc[[row[rule] for rule in zip(top["antecedent"], top["consequent"], strict=True)]]
    pd.testing.assert_frame_equal(top, same.reset_index(drop=True), check_exact=True)


def sparse_baskets(seed, n=300, n_items=60):
    """Many items, most rare, and a few planted groups that co-occur: the search's pair
    counts, its floor and its pruning of children all come into play, at depths 2 to 4."""
    rng = np.random.default_rng(seed)
    groups = [rng.choice(n_items, size=int(rng.integers(3, 5)), replace=False) for _ in range(5)]
    out = []
    for _ in range(n):
        basket = set(rng.choice(n_items, size=int(rng.integers(0, 4))).tolist())
        for g in groups:
            if rng.random() < 0.08:
                basket |= {int(x) for x in g if rng.random() < 0.85}
        out.append([f"i{x:02d}" for x in basket])
    return out


def assert_top_rules_are_every_rule_sorted(baskets, k, mine_at=1, **kwargs):
    confidence, max_len = kwargs.get("min_confidence", 0.0), kwargs.get("max_len")
    rules = tallisk.association_rules(baskets, min_count=mine_at, min_confidence=confidence, max_len=max_len, by=None)
    if "max_consequent_len" in kwargs:
        rules = rules[rules["consequent"].map(len) <= kwargs["max_consequent_len"]]
    values = np.sort(rules["leverage"].to_numpy())[::-1]
    kth = values[min(k, len(values)) - 1]
    want = rules[rules["leverage"] >= kth - 1e-12 * abs(kth)]
    top = tallisk.top_rules(baskets, k, **kwargs)
    got = set(zip(top["antecedent"], top["consequent"], strict=True))
    assert got == set(zip(want["antecedent"], want["consequent"], strict=True)), (k, kwargs)
    assert top["count"].min() >= top.attrs["min_count"]


@pytest.mark.parametrize("seed", [4, 5, 6])
def test_top_rules_match_every_rule_sorted_on_sparse_data(seed):
    baskets = sparse_baskets(seed)
    for k, kwargs in [(3, {}), (40, {}), (400, {}), (60, {"max_consequent_len": 1, "min_confidence": 0.3})]:
        assert_top_rules_are_every_rule_sorted(baskets, k, **kwargs)


def test_top_rules_where_the_best_rules_are_longer_sets():
    """Tens of thousands of baskets over thousands of items: the most frequent items'
    pairs are counted over the rows on both workers, the rest in blocks, with the longer
    sets of the items paired so far searched between blocks; the best rules join a
    frequent pair to a third item, which the pairs alone do not show."""
    rng = np.random.default_rng(9)
    n, n_items = 20000, 3000
    weights = 1.0 / np.arange(1, n_items + 1)
    baskets = []
    for _ in range(n):
        basket = set(rng.choice(n_items, size=int(rng.integers(1, 6)), p=weights / weights.sum()).tolist())
        if rng.random() < 0.3:
            basket |= {0, 1, 2} if rng.random() < 0.7 else {5, 6, 7, 8}
        baskets.append([f"i{x:03d}" for x in basket])
    for k in (5, 60, 600):
        # Every rule is mined down to the count the k-th leverage found needs (c/n - (c/n)^2
        # bounds a rule's leverage): a rule missed above that value would lower the k-th
        # found, and with it this count, so it would be mined and compared too.
        kth = tallisk.top_rules(baskets, k)["leverage"].iloc[k - 1]
        c = np.arange(1, n // 2 + 1)
        mine_at = int(c[c / n - (c / n) ** 2 >= kth * (1 - 1e-9)][0])
        assert_top_rules_are_every_rule_sorted(baskets, k, mine_at=mine_at)


def test_top_rules_beyond_the_most_frequent_items():
    """On data of many items the search first tries the most frequent alone; the best
    rules can lie beyond them (two items of middling count that always come together,
    against a block of frequent items that do less well), and the frequent items may hold
    too few rules to bound anything (no two of them ever together)."""
    # f00 .. f39 in 250, 249, ... baskets, nested: their best leverage is 0.21; x and y in
    # 150 of the 300, always together: 0.25, the most any rule can have; 1000 rare items
    # in the last 50 baskets make the data one of many items
    rare = [[f"z{j:04d}" for j in range(20 * b, 20 * b + 20)] for b in range(50)]
    block = [[f"f{i:02d}" for i in range(40) if b >= i] for b in range(250)] + rare
    together = [f + (["x", "y"] if b % 2 else []) for b, f in enumerate(block)]
    apart = [[f"f{b % 40:02d}"] + (["x", "y"] if b % 11 == 0 else []) for b in range(250)] + rare
    apart[1:6] = [basket + ["u", "v"] for basket in apart[1:6]]  # the third and fourth rules, rarer than any f
    for baskets in (together, apart):
        for k in (1, 3):
            assert_top_rules_are_every_rule_sorted(baskets, k, max_len=3)  # the block holds 2**40 sets


def test_ties_with_the_kth_value_are_all_returned():
    # Four symmetric pairs: every rule among them has the same leverage.
    baskets = [[x, y] for x, y in ["ab", "cd", "ef", "gh"]] * 5 + [["z"]] * 10
    top = tallisk.top_rules(baskets, k=3)
    assert len(top) == 8 and top["leverage"].nunique() == 1
    assert len(tallisk.top_rules(baskets, k=8)) == 8
    # Tens of thousands of ties: 40 baskets of 12 items each, every rule of which has the
    # same leverage, kept while the search goes on (it once compacted them at each one).
    many = [[f"{b}-{i}" for i in range(12)] for b in range(40)]
    top = tallisk.top_rules(many, k=3, max_len=3)
    assert len(top) == 40 * (12 * 11 * 10 // 6 * 6 + 12 * 11) and top["leverage"].nunique() == 1


def test_top_rules_refuses_measures_without_a_bound_unless_given_min_count():
    baskets = baskets_of(3)
    with pytest.raises(tallisk.InvalidParameterError, match="min_count") as info:
        tallisk.top_rules(baskets, 5, by="lift")
    assert info.value.param == "min_count" and "single transaction" in str(info.value)
    with pytest.raises(tallisk.InvalidParameterError, match="'antecedents'.*not items"):
        tallisk.top_rules(baskets, 5, antecedents=["no such item"])
    assert len(tallisk.top_rules([], 3)) == 0


# ---- exclusion ----------------------------------------------------------------------------------


def test_excluded_labels_are_in_no_itemset_or_rule():
    baskets = baskets_of(4)
    gone = ["b", "e", "not an item"]
    kept = [[x for x in b if x not in gone] for b in baskets]
    sets = tallisk.frequent_itemsets(baskets, min_count=2, exclude=gone)
    want = tallisk.frequent_itemsets(kept, min_count=2)
    pd.testing.assert_frame_equal(sets, want)
    assert sets.attrs["n_transactions"] == len(baskets)
    every = tallisk.frequent_itemsets(baskets, min_count=2)
    for rules in (
        tallisk.association_rules(baskets, min_count=2, min_confidence=0.0, exclude=gone),
        tallisk.association_rules(every, min_confidence=0.0, exclude=gone),
    ):
        want = {r for r in brute_rules(baskets, 2) if allowed(r, exclude=gone)}
        assert set(zip(rules["antecedent"], rules["consequent"], strict=True)) == want


# ---- improvement --------------------------------------------------------------------------------


def improvement_oracle(counts, a, c, n):
    """conf(A -> C) minus the best confidence over the proper subsets of A (the empty one
    too: P(C)), straight from every subset's count."""
    conf = counts[tuple(sorted(a + c))] / counts[a]
    best = counts[c] / n
    for r in range(1, len(a)):
        for b in itertools.combinations(a, r):
            best = max(best, counts[tuple(sorted(b + c))] / counts[b])
    return conf - best


@pytest.mark.parametrize("source", ["data", "all", "closed"])
def test_improvement_against_every_sub_rule(source):
    baskets = baskets_of(5, n=80)
    counts = itemset_counts(baskets, 2)
    inputs = {
        "data": lambda: baskets,
        "all": lambda: tallisk.frequent_itemsets(baskets, min_count=2),
        "closed": lambda: tallisk.frequent_itemsets(baskets, min_count=2, target="closed"),
    }
    kwargs = {"min_count": 2} if source == "data" else {}
    rules = tallisk.association_rules(inputs[source](), min_confidence=0.2, measures=["improvement"], **kwargs)
    want = [
        improvement_oracle(counts, a, c, len(baskets))
        for a, c in zip(rules["antecedent"], rules["consequent"], strict=True)
    ]
    np.testing.assert_allclose(rules["improvement"], want, rtol=0, atol=1e-15)
    assert (rules["improvement"] > 0).any() and (rules["improvement"] <= 0).any()

    productive = tallisk.association_rules(inputs[source](), min_confidence=0.2, min_improvement=0.0, **kwargs)
    pd.testing.assert_frame_equal(productive, rules[rules["improvement"] > 0].reset_index(drop=True))
    later = tallisk.add_measures(rules.drop(columns="improvement"), "improvement", itemsets=inputs["all"]())
    np.testing.assert_array_equal(later["improvement"], rules["improvement"])
    with pytest.raises(ValueError, match="itemsets="):
        tallisk.add_measures(rules.drop(columns="improvement"), "improvement")


# ---- recommendations ----------------------------------------------------------------------------


def recommend_oracle(rules, basket, k, by):
    """Rule by rule: the best applying rule of every item, then the k best items and ties."""
    best = {}
    for a, c, v in zip(rules["antecedent"], rules["consequent"], rules[by], strict=True):
        if math.isnan(v) or not set(a) <= set(basket) or set(c) & set(basket):
            continue
        for item in c:
            if item not in best or v > best[item][0]:
                best[item] = (v, a, c)
    ranked = sorted(best.items(), key=lambda kv: (-kv[1][0], kv[0]))
    if len(ranked) > k:
        kth = ranked[k - 1][1][0]
        ranked = [kv for kv in ranked if kv[1][0] >= kth]
    return [(item, v, a, c) for item, (v, a, c) in ranked]


@pytest.mark.parametrize("by, k", [("confidence", 3), ("lift", 1), ("leverage", 5), ("phi", 2)])
def test_recommendations_against_the_rules_read_one_by_one(by, k):
    baskets = baskets_of(6, n=120)
    rules = tallisk.association_rules(baskets, min_count=3, min_confidence=0.1, measures=["phi"])
    queries = [["a"], ["a", "b"], ["c", "d", "e"], [], ["h"], ["a", "nothing known"]]
    for q in queries:
        got = tallisk.recommend(rules, q, k=k, by=by)
        assert list(got.columns) == ["item", "score", "antecedent", "consequent"]
        assert list(got.itertuples(index=False, name=None)) == recommend_oracle(rules, q, k, by)
    many = tallisk.recommend(rules, queries, k=k, by=by)
    series = tallisk.recommend(rules, pd.Series(queries, index=[f"q{i}" for i in range(len(queries))]), k=k, by=by)
    want = [(i, *row) for i, q in enumerate(queries) for row in recommend_oracle(rules, q, k, by)]
    assert list(many.itertuples(index=False, name=None)) == want
    assert series["basket"].tolist() == [f"q{i}" for i, *_ in want]


def test_recommend_refuses_what_is_not_a_basket_or_a_measure():
    rules = tallisk.association_rules(baskets_of(7), min_count=2, min_confidence=0.3)
    for bad, match in [({"basket": "a"}, "'basket'"), ({"basket": ["a"], "by": "nope"}, "'by'.*numeric column")]:
        with pytest.raises(tallisk.InvalidParameterError, match=match):
            tallisk.recommend(rules, **bad)


# ---- the command and the summary ----------------------------------------------------------------


def rule_set(path):
    import json

    records = [json.loads(line) for line in path.read_text().splitlines()]
    return {(tuple(r["antecedent"]), tuple(r["consequent"])) for r in records}


def test_the_commands_decision_flags_give_the_functions_answers(tmp_path):
    baskets = baskets_of(8, n=150)
    path = tmp_path / "in.basket"
    path.write_text("".join(",".join(b) + "\n" for b in baskets))
    tr = tallisk.read_transactions(path)

    assert command("rules", str(path), "--top", "6", "--by", "leverage", "-o", str(tmp_path / "top.jsonl"), "-q") == 0
    want = tallisk.top_rules(tr, 6, min_confidence=0.8)  # the command's --min-confidence default
    assert rule_set(tmp_path / "top.jsonl") == set(zip(want["antecedent"], want["consequent"], strict=True))
    argv = ["--top", "4", "--by", "confidence", "--min-count", "5", "-o", str(tmp_path / "c.jsonl")]
    assert command("rules", str(path), *argv, "-q") == 0  # a measure that needs the threshold typed
    want = tallisk.top_rules(tr, 4, "confidence", min_count=5, min_confidence=0.8)
    assert rule_set(tmp_path / "c.jsonl") == set(zip(want["antecedent"], want["consequent"], strict=True))

    flags = ["--min-count", "3", "--min-confidence", "0.2", "--min-improvement", "0", "--exclude", "a,zz"]
    flags += ["--p-value", "fisher", "--correction", "bonferroni", "--alpha", "0.2"]
    assert command("rules", str(path), *flags, "-o", str(tmp_path / "r.jsonl"), "-q") == 0
    rules = tallisk.association_rules(tr, min_count=3, min_confidence=0.2, min_improvement=0.0, exclude=["a"])
    tested = tallisk.add_significance(rules, correction="bonferroni")
    tested = tested[tested["p_adjusted"] <= 0.2]
    assert 0 < len(tested) < len(rules)
    assert rule_set(tmp_path / "r.jsonl") == set(zip(tested["antecedent"], tested["consequent"], strict=True))

    assert (
        command("itemsets", str(path), "--min-count", "3", "--exclude", "a", "-o", str(tmp_path / "s.csv"), "-q") == 0
    )
    assert "a" not in (tmp_path / "s.csv").read_text().replace("antecedent", "")
    assert command("rules", str(path), "--min-count", "3", "--alpha", "0.05", "-q") == 2


def test_summary_of_itemset_and_rule_tables():
    baskets = baskets_of(9, n=100)
    sets = tallisk.frequent_itemsets(baskets, min_count=3)
    rules = tallisk.add_significance(tallisk.association_rules(sets, min_confidence=0.3))
    for table, lengths in [
        (sets, sets["length"]),
        (rules, rules["antecedent"].map(len) + rules["consequent"].map(len)),
    ]:
        s = tallisk.summary(table)
        assert s.n_rows == len(table) and s.lengths.to_dict() == lengths.value_counts().sort_index().to_dict()
        frame = s.to_frame()
        numeric = [c for c in table.columns if c != "length" and table[c].dtype.kind in "iuf"]
        assert list(frame.index) == numeric
        for column in numeric:
            values = table[column].to_numpy(dtype=float)
            finite = values[np.isfinite(values)]
            if finite.size == values.size:
                q = np.quantile(values, [0, 0.25, 0.5, 0.75, 1])
                np.testing.assert_allclose(frame.loc[column, ["min", "25%", "50%", "75%", "max"]], q)
                assert frame.loc[column, "mean"] == pytest.approx(values.mean())
        text = repr(s)
        assert f"{len(table)} " in text and "n_transactions 100" in text and "min_count 3" in text
    assert tallisk.summary(rules).settings["test"] == "fisher" and tallisk.summary(sets).kind == "itemsets"
    with pytest.raises(ValueError, match="itemset table .* or a rule table"):
        tallisk.summary(pd.DataFrame({"x": [1]}))
