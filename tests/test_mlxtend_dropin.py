"""tallisk.mlxtend against mlxtend 0.25: equal tables (itemsets as sets, floats to 1e-12), exceptions and warnings."""

from __future__ import annotations

import inspect
import io
import re
import warnings
from contextlib import redirect_stdout

import numpy as np
import pandas as pd
import pytest

fp = pytest.importorskip("mlxtend.frequent_patterns")
ours = pytest.importorskip("tallisk.mlxtend")

MINERS = ["apriori", "fpgrowth", "fpmax", "hmine"]
ORDERED_LIKE_MLXTEND = {"apriori", "hmine"}  # the others follow mlxtend's FP-tree
# mlxtend's twelve metrics, from mlxtend itself
METRICS = list(inspect.signature(fp.association_rules).parameters["return_metrics"].default)

TEXTBOOK = [
    ["Milk", "Onion", "Nutmeg", "Kidney Beans", "Eggs", "Yogurt"],
    ["Dill", "Onion", "Nutmeg", "Kidney Beans", "Eggs", "Yogurt"],
    ["Milk", "Apple", "Kidney Beans", "Eggs"],
    ["Milk", "Unicorn", "Corn", "Kidney Beans", "Yogurt"],
    ["Corn", "Onion", "Onion", "Kidney Beans", "Ice cream", "Eggs"],
]


def onehot(baskets) -> pd.DataFrame:
    cols = sorted({i for b in baskets for i in b})
    return pd.DataFrame([[c in b for c in cols] for b in baskets], columns=cols)


def random_frame(seed, n=40, m=8, density=None, sparse=False, columns=None, dtype=bool) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    p = rng.uniform(0.15, 0.7, size=m) if density is None else np.full(m, density)
    x = rng.random((n, m)) < p
    cols = columns if columns is not None else [f"c{j}" for j in range(m)]
    df = pd.DataFrame(x.astype(dtype), columns=cols)
    if sparse:
        df = df.astype(pd.SparseDtype(dtype, dtype(0)))
    return df


FRAMES = {
    "textbook": lambda: onehot(TEXTBOOK),
    "random1": lambda: random_frame(1, n=100, m=10),
    "random2-ints01": lambda: random_frame(2, n=30, m=6, dtype=np.int64),
    "random3-dense": lambda: random_frame(3, n=60, m=9, density=0.6),
    "random4-thin": lambda: random_frame(4, n=200, m=12, density=0.1),
    "sparse": lambda: random_frame(5, n=50, m=8, sparse=True),
    "sparse-int-cols": lambda: random_frame(6, n=50, m=7, sparse=True, columns=list(range(7))),
    "int-cols": lambda: random_frame(7, columns=[10 * j + 3 for j in range(8)]),
    "tuple-cols": lambda: random_frame(8, m=5, columns=[("a", j) for j in range(5)]),
    "float-01": lambda: random_frame(9, n=20, m=5, dtype=np.float64),
    "all-false": lambda: pd.DataFrame(np.zeros((6, 4), bool), columns=list("abcd")),
    "all-true": lambda: pd.DataFrame(np.ones((5, 4), bool), columns=list("abcd")),
    "chain": lambda: pd.DataFrame(np.tril(np.ones((10, 5), bool))[:, ::-1].copy(), columns=list("abcde")),
    "no-columns": lambda: pd.DataFrame(index=range(4)),
    "nothing": lambda: pd.DataFrame(),
}


def call(module, name, *args, **kwargs):
    """("ok", result, warnings) or ("raise", type, message, warnings), stdout captured."""
    out = io.StringIO()
    with warnings.catch_warnings(record=True) as caught, redirect_stdout(out):
        warnings.simplefilter("always")
        try:
            res = getattr(module, name)(*args, **kwargs)
            status = ("ok", res)
        except Exception as e:  # compared with the other side
            status = ("raise", type(e), str(e))
    # mlxtend divides by zero in places; those RuntimeWarnings are not part of the contract
    seen = [(w.category, str(w.message)) for w in caught if w.category is not RuntimeWarning]
    return status, seen, out.getvalue()


def as_dict(table, key="itemsets"):
    d = {}
    for s, v in zip(table[key], table["support"], strict=True):
        assert frozenset(s) not in d, "repeated itemset"
        d[frozenset(s)] = float(v)
    return d


def assert_same_itemsets(name, theirs, mine, check_index=True):
    assert list(mine.columns) == list(theirs.columns) == ["support", "itemsets"]
    assert len(mine) == len(theirs)
    if len(theirs) == 0:
        return
    assert mine["support"].dtype == np.float64
    assert all(isinstance(s, frozenset) for s in mine["itemsets"])
    a, b = as_dict(theirs), as_dict(mine)
    assert a.keys() == b.keys()
    for k in a:
        assert b[k] == pytest.approx(a[k], abs=1e-12, rel=0)
    if name in ORDERED_LIKE_MLXTEND:
        assert [frozenset(s) for s in mine["itemsets"]] == [frozenset(s) for s in theirs["itemsets"]]
    elif check_index:
        assert mine.index.equals(theirs.index)


def canonical_sets(message: str) -> str:
    """Frozenset reprs in one order: mlxtend's follows string hashing, which changes from process to process."""

    def sort_items(m):
        return "frozenset({" + ", ".join(sorted(m.group(1).split(", "))) + "})"

    return re.sub(r"frozenset\(\{([^}]*)\}\)", sort_items, message)


def assert_same_outcome(name, args, kwargs, compare=assert_same_itemsets):
    theirs, w_theirs, _ = call(fp, name, *args, **kwargs)
    mine, w_mine, _ = call(ours, name, *args, **kwargs)
    assert mine[0] == theirs[0], (theirs, mine)
    if theirs[0] == "raise":
        assert mine[1] is theirs[1] and canonical_sets(mine[2]) == canonical_sets(theirs[2])
    else:
        compare(name, theirs[1], mine[1])
    assert w_mine == w_theirs
    return theirs


# ---------------------------------------------------------------------------------------
# the miners


@pytest.mark.parametrize("frame", [f for f in FRAMES if f not in ("no-columns", "nothing")])
@pytest.mark.parametrize("name", MINERS)
@pytest.mark.parametrize("min_support", [0.05, 0.2, 0.3, 0.6, 1.0])
@pytest.mark.parametrize("use_colnames", [False, True])
def test_miners_match(frame, name, min_support, use_colnames):
    assert_same_outcome(name, (FRAMES[frame](),), dict(min_support=min_support, use_colnames=use_colnames))


@pytest.mark.parametrize("name", MINERS)
@pytest.mark.parametrize("max_len", [None, 0, 1, 2, 3])
@pytest.mark.parametrize("seed", [11, 12])
def test_max_len(name, max_len, seed):
    df = random_frame(seed, n=60, m=9, density=0.55)
    assert_same_outcome(name, (df,), dict(min_support=0.1, max_len=max_len))


@pytest.mark.parametrize("n", [7, 10, 20, 30, 100])
@pytest.mark.parametrize("min_support", [0.1, 0.3, 0.7, 0.29, 0.57, 0.15])
@pytest.mark.parametrize(
    "call_kwargs",
    [("apriori", {}), ("apriori", {"low_memory": True}), ("fpgrowth", {}), ("fpmax", {}), ("hmine", {})],
    ids=lambda c: f"{c[0]}{c[1]}",
)
def test_thresholds_where_float_tests_disagree(n, min_support, call_kwargs):
    """Where s * n rounds above an integer, count / n >= s and count >= ceil(s * n) differ: each miner keeps its own."""
    name, kw = call_kwargs
    df = random_frame(n + int(min_support * 1000), n=n, m=6, density=0.45)
    assert_same_outcome(name, (df,), dict(min_support=min_support, **kw))


@pytest.mark.parametrize("frame", ["no-columns", "nothing", "all-false", "no-rows"])
@pytest.mark.parametrize("name", MINERS)
def test_empty_frames(frame, name):
    if frame == "no-rows":  # mlxtend divides by zero here (its hmine gives NaN supports): ours alone
        (status, res), seen, _ = call(ours, name, pd.DataFrame({"a": [], "b": []}, dtype=bool), min_support=0.5)
        assert status == "ok" and len(res) == 0 and list(res.columns) == ["support", "itemsets"] and not seen
    else:
        assert assert_same_outcome(name, (FRAMES[frame](),), dict(min_support=0.5))[0] == "ok"


# ---- the error-compatibility grid ------------------------------------------------------
# Bad values by parameter name, each tried on every function of mlxtend that has the
# parameter (found from mlxtend's own signatures), one at a time on an otherwise valid
# call; both sides must raise the same type with the same message, or succeed alike, with
# the same warnings. A new mlxtend parameter or a changed check shows up here.

BAD_VALUES = {
    "df": {
        "value-two": lambda: pd.DataFrame({"a": [0, 1, 2], "b": [1, 1, 0]}),
        "strings": lambda: pd.DataFrame({"a": ["x", "y", "x"], "b": [True, False, True]}),
        "nan": lambda: pd.DataFrame({"a": [1.0, np.nan, 0.0], "b": [1.0, 1.0, 0.0]}),
        "sparse-int-cols-not-from-zero": lambda: random_frame(3, n=10, m=3, sparse=True, columns=[1, 2, 3]),
        "sparse-value-two": lambda: pd.DataFrame({"a": [0, 2, 1], "b": [1, 1, 0]}).astype(pd.SparseDtype(int, 0)),
    },
    "min_support": {"zero": 0.0, "negative": -0.1, "above-one": 1.5, "percent": 5, "nan": float("nan")},
    "max_len": {"zero": 0, "negative": -1, "fraction": 0.5, "float": 1.5, "whole-float": 2.0, "bool": True},
    "null_values": {"true-without-nan": True},
    "low_memory": {"true": True},
    "verbose": {"on": 1},
}
BAD_RULE_VALUES = {
    "df": {
        "empty": lambda: pd.DataFrame({"support": [], "itemsets": []}),
        "missing-columns": lambda: pd.DataFrame({"support": [0.5], "items": [frozenset({1})]}),
        "missing-subsets": lambda: pd.DataFrame(
            {"support": [0.5, 0.4], "itemsets": [frozenset({1}), frozenset({1, 2})]}
        ),
        "single-item-only": lambda: pd.DataFrame({"support": [0.5], "itemsets": [frozenset({"a"})]}),
    },
    "metric": {"cosine": "cosine", "unknown": "nope", "none": None},
    "min_threshold": {"nan": float("nan"), "string": "0.5"},
    "null_values": {"true-without-df_orig": True},
    "df_orig": {
        "nan": lambda: pd.DataFrame({"a": [1.0, np.nan]}),
        "value-two": lambda: pd.DataFrame({"a": [0, 2], "b": [1, 1]}),
    },
    "return_metrics": {"unknown": ["lift", "nope"]},
    "num_itemsets": {"zero": 0},
    "support_only": {"true": True},
}
# Parameter sets the grid tries together, where one check depends on another parameter.
BAD_RULE_COMBINATIONS = {
    "null_values-with-df_orig-but-no-num_itemsets": dict(null_values=True, df_orig="textbook-frame"),
    "null_values-with-bad-df_orig": dict(null_values=True, num_itemsets=5, df_orig=lambda: pd.DataFrame({"a": [2.0]})),
    "null_values-with-df_orig-of-other-columns": dict(
        null_values=True, num_itemsets=5, df_orig=lambda: pd.DataFrame({"x": [1.0, np.nan], "y": [0.0, 1.0]})
    ),
}


def params(func):
    return list(inspect.signature(func).parameters)


def _grid(names, bad_values):
    cases = []
    for name in names:
        for param in params(getattr(fp, name)):
            for label, value in bad_values.get(param, {}).items():
                cases.append(pytest.param(name, param, value, id=f"{name}-{param}-{label}"))
    return cases


def _value(v):
    if v == "textbook-frame":
        return onehot(TEXTBOOK)
    return v() if callable(v) else v


def test_the_grid_covers_every_parameter_mlxtend_checks():
    for name in MINERS:
        assert {"df", "min_support", "max_len"} <= set(params(getattr(fp, name))) & set(BAD_VALUES)
        assert params(getattr(fp, name)) == params(getattr(ours, name))
    assert set(params(fp.association_rules)) == set(BAD_RULE_VALUES) == set(params(ours.association_rules))


@pytest.mark.parametrize("name, param, value", _grid(MINERS, BAD_VALUES))
def test_miners_raise_and_warn_as_mlxtend_on_the_grid(name, param, value):
    kwargs = {"df": onehot(TEXTBOOK), "min_support": 0.5, param: _value(value)}
    df = kwargs.pop("df")
    assert_same_outcome(name, (df,), kwargs)


RULE_GRID = [pytest.param({p.values[1]: p.values[2]}, id=p.id) for p in _grid(["association_rules"], BAD_RULE_VALUES)]


@pytest.mark.parametrize(
    "bad", [*RULE_GRID, *(pytest.param(kw, id=name) for name, kw in BAD_RULE_COMBINATIONS.items())]
)
def test_rules_raise_and_warn_as_mlxtend_on_the_grid_and_the_combinations(bad):
    kwargs = {"df": fp.apriori(onehot(TEXTBOOK), min_support=0.4, use_colnames=True)}
    kwargs |= {k: _value(v) for k, v in bad.items()}
    same_rules(kwargs.pop("df"), **kwargs)


@pytest.mark.parametrize("name", ["fpgrowth", "fpmax"])
@pytest.mark.parametrize("seed, nan_share", [(21, 0.15), (22, 0.15), (23, 0.15), (24, 0.0)])  # no NaN: a warning
@pytest.mark.parametrize("min_support", [0.1, 0.3, 0.5])
def test_null_values(name, seed, nan_share, min_support):
    rng = np.random.default_rng(seed)
    x = (rng.random((30, 6)) < 0.5).astype(float)
    x[rng.random(x.shape) < nan_share] = np.nan
    df = pd.DataFrame(x, columns=list("abcdef"))
    # the index keeps the positions before the support filter, which follow each side's search order
    assert_same_outcome(
        name,
        (df,),
        dict(min_support=min_support, null_values=True, use_colnames=True),
        compare=lambda n, a, b: assert_same_itemsets(n, a, b, check_index=False),
    )


@pytest.mark.parametrize(
    "name, kw",
    [("apriori", dict(low_memory=lm, max_len=ml)) for lm in (False, True) for ml in (None, 2)]
    + [("hmine", dict(max_len=ml)) for ml in (None, 1, 2)]
    + [("fpgrowth", dict(use_colnames=u)) for u in (False, True)],
)
def test_verbose_lines(name, kw):
    df = random_frame(41, n=80, m=9, density=0.5)
    _, _, theirs = call(fp, name, df, min_support=0.1, verbose=1, **kw)
    (_, res), _, mine = call(ours, name, df, min_support=0.1, verbose=1, **kw)
    if name != "fpgrowth":
        assert mine == theirs and (name != "apriori" or "Processing" in mine)
        return
    # fpgrowth's lines follow each side's tree: same format, counts adding up to the itemsets on both sides
    pat = re.compile(r"^\r(\d+) itemset\(s\) from tree conditioned on items \((.*)\)$")
    for text in (mine, theirs):
        lines = text.strip("\n").split("\n")
        assert all(pat.match(line) for line in lines)
        assert sum(int(pat.match(line).group(1)) for line in lines) == len(res)


def test_fpmax_max_len_gives_maximal_sets_of_that_length():
    """Not mlxtend's sets cut at depth max_len (which may not be maximal): the maximal sets of at most max_len items."""
    for seed in range(30):
        df = random_frame(seed, n=25, m=6, density=0.5)
        allsets = set(fp.fpgrowth(df, min_support=0.2)["itemsets"])
        maximal = {s for s in allsets if not any(s < t for t in allsets)}
        for k in (1, 2, 3):
            got = ours.fpmax(df, min_support=0.2, max_len=k)
            assert set(got["itemsets"]) == {s for s in maximal if len(s) <= k}


# ---------------------------------------------------------------------------------------
# association_rules


def assert_same_rules(_name, theirs, mine):
    assert list(mine.columns) == list(theirs.columns)
    assert len(mine) == len(theirs)
    if len(theirs) == 0:
        return
    key_t = list(zip(theirs["antecedents"], theirs["consequents"], strict=True))
    key_m = list(zip(mine["antecedents"], mine["consequents"], strict=True))
    assert set(key_m) == set(key_t) and len(set(key_m)) == len(key_m)
    # mlxtend's order is deterministic across itemsets: the rules of one itemset are together,
    # in the input's order, longer antecedents first
    assert [a | c for a, c in key_m] == [a | c for a, c in key_t]
    assert [len(a) for a, _ in key_m] == [len(a) for a, _ in key_t]
    pos = {k: i for i, k in enumerate(key_m)}
    mine = mine.iloc[[pos[k] for k in key_t]]
    for col in theirs.columns[2:]:
        a = theirs[col].to_numpy(dtype=float)
        b = mine[col].to_numpy(dtype=float)
        np.testing.assert_allclose(b, a, rtol=0, atol=1e-12, equal_nan=True)
        assert np.array_equal(np.isinf(a), np.isinf(b))


def same_rules(table, **kwargs):
    return assert_same_outcome("association_rules", (table,), kwargs, compare=assert_same_rules)


def tuples_and_lists(t):
    return t.assign(itemsets=[tuple(s) if i % 2 else list(s) for i, s in enumerate(t["itemsets"])])


RULE_TABLES = {
    "textbook-names": lambda: fp.apriori(onehot(TEXTBOOK), min_support=0.4, use_colnames=True),
    "textbook-positions": lambda: fp.fpgrowth(onehot(TEXTBOOK), min_support=0.3),
    "random-apriori": lambda: fp.apriori(random_frame(51, n=80, m=8, density=0.5), min_support=0.1, use_colnames=True),
    "random-hmine": lambda: fp.hmine(random_frame(52, n=80, m=8, density=0.4), min_support=0.08),  # object support
    "ours": lambda: ours.fpgrowth(random_frame(53, n=120, m=9, density=0.45), min_support=0.05, use_colnames=True),
    # confidence 1 everywhere: infinite conviction, consequent support 1
    "all-true": lambda: fp.apriori(FRAMES["all-true"](), min_support=0.5, use_colnames=True),
    "tuples-and-lists": lambda: tuples_and_lists(fp.apriori(random_frame(54, n=40, m=5, density=0.6), min_support=0.2)),
}
RULE_CALLS = (
    [dict(metric=m, min_threshold=t) for m in METRICS for t in (-1.0, 0.0, 0.2, 0.5, 0.8, 1.0, 1.5)]
    + [
        dict(num_itemsets=n, metric="lift", min_threshold=0.9, return_metrics=r)
        for n in (1, 7, 1000)
        for r in (METRICS, ["lift", "confidence"], ["conviction"])
    ]
    # "trim": the single items left out (as after a filter), which only support_only accepts
    + [dict(support_only=True, min_threshold=t, trim=trim) for t in (0.0, 0.15, 0.5) for trim in (False, True)]
)


@pytest.mark.parametrize("kind", RULE_TABLES)
@pytest.mark.parametrize("kwargs", RULE_CALLS, ids=lambda kw: ",".join(f"{k}={v}" for k, v in kw.items()))
def test_rules_match(kind, kwargs):
    kwargs, table = dict(kwargs), RULE_TABLES[kind]()
    if kwargs.pop("trim", False) and (table["itemsets"].map(len) > 1).any():
        table = table[table["itemsets"].map(len) > 1].reset_index(drop=True)
    same_rules(table, **kwargs)


def test_repeated_itemsets_count_once_with_the_last_support():
    t = fp.apriori(random_frame(55, n=40, m=5, density=0.6), min_support=0.2)
    doubled = pd.concat([t, t.assign(support=t["support"] * 0.9)], ignore_index=True)
    same_rules(doubled, metric="support", min_threshold=0.0)


@pytest.mark.parametrize("use_colnames", [False, True])
@pytest.mark.parametrize("metric", ["confidence", "lift", "kulczynski", "representativity"])
@pytest.mark.parametrize("seed", [61, 62])
def test_rules_null_values(use_colnames, metric, seed):
    rng = np.random.default_rng(seed)
    x = (rng.random((25, 5)) < 0.6).astype(float)
    x[rng.random(x.shape) < 0.12] = np.nan
    df = pd.DataFrame(x, columns=list("vwxyz"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        table = fp.fpgrowth(df, min_support=0.2, null_values=True, use_colnames=use_colnames)
    same_rules(table, df_orig=df, null_values=True, num_itemsets=len(df), metric=metric, min_threshold=0.3)


@pytest.mark.parametrize("seed", [71, 72, 73])
@pytest.mark.parametrize("metric,min_threshold", [("confidence", 0.0), ("confidence", 0.6), ("lift", 1.0)])
def test_rule_order_matches_for_small_integer_items(seed, metric, min_threshold):
    """Positions below 8 iterate in order in any frozenset, so mlxtend's whole rule order must match here."""
    table = fp.apriori(random_frame(seed, n=60, m=7, density=0.55), min_support=0.05)
    theirs = fp.association_rules(table, metric=metric, min_threshold=min_threshold)
    mine = ours.association_rules(table, metric=metric, min_threshold=min_threshold)
    assert len(theirs) > 10
    assert list(zip(mine["antecedents"], mine["consequents"], strict=True)) == list(
        zip(theirs["antecedents"], theirs["consequents"], strict=True)
    )
