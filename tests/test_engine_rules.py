"""generate_rules against an every-split brute force (all and closed input, thresholds,
length cap, item restrictions), its documented order, input checks, and the large-result
path it shares with the pair table. Its agreement with mlxtend's association_rules, on
supports scaled to one, is checked through tallisk.mlxtend in test_mlxtend_dropin.py."""

from __future__ import annotations

import itertools
import math

import _tallisk_rs
import numpy as np
import pytest
from helpers import by_target, itemset_counts, rule_metrics, run_in_subprocess, to_arrays, to_csr
from tallisk import _engine

METRICS = ["support", "confidence", "lift", "leverage", "conviction", "zhangs_metric", "jaccard", "certainty"]
METRICS += ["kulczynski", "cosine"]


# ---- oracle -------------------------------------------------------------------------


def table(sets, rng=None):
    """CSR arrays of a {set: count} table; with rng, rows and the ids within each row are
    shuffled (the engine accepts any order within a row)."""
    rows = list(sets.items())
    if rng is not None:
        rows = [rows[i] for i in rng.permutation(len(rows))]
        rows = [(tuple(rng.permutation(np.array(s, dtype=np.int64)).tolist()), c) for s, c in rows]
    counts = np.array([c for _, c in rows], dtype=np.float64)
    return *to_csr([s for s, _ in rows]), counts, [tuple(sorted(s)) for s, _ in rows]


def metrics(c, ca, cc, n):
    """The metrics from counts; confidence as count over count, as the engine's threshold
    compares it."""
    return rule_metrics(c, ca, cc, n) | {"confidence": c / ca}


def oracle(sets, n, min_conf, min_lift=None, max_c=None, allow_a=None, allow_c=None):
    """Every split of every set: {(A, C): (count, count A, count C, metrics)}."""
    out = {}
    for z, cz in sets.items():
        for r in range(1, len(z)):
            if max_c is not None and r > max_c:
                break
            for cons in itertools.combinations(z, r):
                ante = tuple(x for x in z if x not in cons)
                if allow_a is not None and not set(ante) <= allow_a:
                    continue
                if allow_c is not None and not set(cons) <= allow_c:
                    continue
                m = metrics(cz, sets[ante], sets[cons], n)
                if m["confidence"] >= min_conf and (min_lift is None or m["lift"] >= min_lift):
                    out[(ante, cons)] = (cz, sets[ante], sets[cons], m)
    return out


def rules_of(r):
    """The engine's result as [(A, C)] in output order."""
    ao, ai = r["antecedent_offsets"].tolist(), r["antecedent_items"].tolist()
    co, ci = r["consequent_offsets"].tolist(), r["consequent_items"].tolist()
    return [(tuple(ai[ao[i] : ao[i + 1]]), tuple(ci[co[i] : co[i + 1]])) for i in range(len(ao) - 1)]


def assert_matches(r, want, rows=None, closed_rows=None):
    got = rules_of(r)
    assert len(got) == len(set(got)), "a rule appears twice"
    assert set(got) == set(want)
    if not got:
        return
    for j, col in enumerate(["count", "antecedent_count", "consequent_count"]):
        assert r[col].tolist() == [want[k][j] for k in got], col
    for col in METRICS:
        expect = np.array([want[k][3][col] for k in got])
        np.testing.assert_allclose(r[col], expect, rtol=1e-12, atol=1e-15, err_msg=col)
    if rows is not None:  # row numbers: position of A ∪ C, A, C among the input rows (-1: none)
        where = {s: i for i, s in enumerate(rows)}
        for key, col in [
            (lambda a, c: tuple(sorted(a + c)), "rule_row"),
            (lambda a, c: a, "antecedent_row"),
            (lambda a, c: c, "consequent_row"),
        ]:
            assert r[col].tolist() == [where.get(key(a, c), -1) for a, c in got], col


def check_order(r):
    """Rules of one base are contiguous, consequents by length, then ascending ids."""
    got = rules_of(r)
    bases = [tuple(sorted(a + c)) for a, c in got]
    seen, prev = set(), None
    for i, base in enumerate(bases):
        if base != prev:
            assert base not in seen, "a base's rules are split"
            seen.add(base)
        elif (len(got[i][1]), got[i][1]) <= (len(got[i - 1][1]), got[i - 1][1]):
            raise AssertionError(f"consequents out of order at rule {i}")
        prev = base


def data(seed, n_txn=60, n_items=10, n_patterns=4):
    """Baskets built from a few overlapping patterns (each item kept with p = 0.85) plus
    noise, so that long frequent sets, non-closed sets and confident rules all occur."""
    rng = np.random.default_rng(seed)
    patterns = [rng.choice(n_items, int(rng.integers(3, 6)), replace=False) for _ in range(n_patterns)]
    baskets = []
    for _ in range(n_txn):
        b = set(rng.choice(n_items, int(rng.integers(0, 3))).tolist())
        for p in rng.choice(n_patterns, int(rng.integers(1, 3)), replace=False):
            b |= {int(x) for x in patterns[p] if rng.random() < 0.85}
        baskets.append(sorted(b))
    return baskets, rng


# ---- brute force --------------------------------------------------------------------

SETTINGS = [  # min_confidence, max_consequent_len, min_lift
    (0.0, None, None),
    (0.5, None, None),
    (0.8, 1, None),
    (0.3, 2, 1.2),
    (1.0, None, None),
    (0.6, None, 0.9),
]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("setting", SETTINGS)
@pytest.mark.parametrize("target", ["all", "closed"])
def test_matches_every_split(seed, setting, target):
    baskets, rng = data(seed)
    sets = itemset_counts(baskets, 3)
    given = sets if target == "all" else by_target(sets, "closed")
    offsets, items, counts, rows = table(given, rng)
    min_conf, max_c, min_lift = setting
    r = _engine.generate_rules(
        offsets, items, counts, len(baskets), min_conf, min_lift=min_lift, max_consequent_len=max_c, input_target=target
    )
    want = oracle(sets, len(baskets), min_conf, min_lift, max_c)
    assert want
    assert_matches(r, want, rows)
    check_order(r)
    if target == "all":  # bases in input row order
        assert np.all(np.diff(r["rule_row"]) >= 0)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("target", ["all", "closed"])
@pytest.mark.parametrize("sides", ["antecedent", "consequent", "both", "empty"])
def test_item_restrictions(seed, target, sides):
    baskets, rng = data(seed + 10)
    sets = itemset_counts(baskets, 2)
    offsets, items, counts, rows = table(sets if target == "all" else by_target(sets, "closed"), rng)
    ids = np.arange(10)
    allow_a = set(rng.choice(ids, 6, replace=False).tolist()) if sides in ("antecedent", "both") else None
    allow_c = set(rng.choice(ids, 5, replace=False).tolist()) if sides in ("consequent", "both") else None
    if sides == "empty":
        allow_a = set()
    arr = lambda s: None if s is None else np.array(sorted(s), dtype=np.int32)  # noqa: E731
    r = _engine.generate_rules(
        offsets,
        items,
        counts,
        len(baskets),
        0.4,
        antecedent_items=arr(allow_a),
        consequent_items=arr(allow_c),
        max_consequent_len=3,
        input_target=target,
    )
    want = oracle(sets, len(baskets), 0.4, max_c=3, allow_a=allow_a, allow_c=allow_c)
    assert bool(want) == (sides != "empty")
    assert_matches(r, want, rows)
    check_order(r)


@pytest.mark.parametrize("seed", range(3))
def test_closed_input_may_hold_sets_that_are_not_closed(seed):
    # Here every frequent set, given as closed input: each set stands for itself once,
    # with its own row number, however many closed supersets share its count.
    baskets, rng = data(seed + 20, n_txn=80, n_items=12)
    sets = itemset_counts(baskets, 2)
    assert len(by_target(sets, "closed")) < len(sets)
    offsets, items, counts, rows = table(sets, rng)
    r = _engine.generate_rules(offsets, items, counts, len(baskets), 0.5, input_target="closed")
    assert_matches(r, oracle(sets, len(baskets), 0.5), rows)
    check_order(r)


def test_edge_values_and_empty_results():
    # Item 0 in every transaction: conviction inf (confidence 1), certainty 0 (its 0/0).
    sets = {(0,): 4, (1,): 2, (0, 1): 2}
    r = _engine.generate_rules(*table(sets)[:3], 4, 0.0)
    want = oracle(sets, 4, 0.0)
    assert_matches(r, want)
    conv = dict(zip(rules_of(r), r["conviction"].tolist(), strict=True))
    assert conv[((1,), (0,))] == math.inf and r["certainty"][rules_of(r).index(((1,), (0,)))] == 0.0
    unlimited = _engine.generate_rules(*table(sets)[:3], 4, 0.0, max_consequent_len=2**64)  # past every length
    assert rules_of(unlimited) == rules_of(r)
    # Nothing passes, an empty table, and a table of single items: empty columns, offsets [0].
    for args in [(*table(sets)[:3], 4, 1.0, 10.0), (*table({})[:3], 1, 0.5), (*table({(3,): 2})[:3], 2, 0.0)]:
        r = _engine.generate_rules(*args)
        assert r["antecedent_offsets"].tolist() == [0] and r["consequent_offsets"].tolist() == [0]
        assert all(len(r[c]) == 0 for c in ["rule_row", "antecedent_items", "count"] + METRICS)
        assert r["rule_row"].dtype == np.int64 and r["antecedent_items"].dtype == np.int32


# ---- workers and large results ------------------------------------------------------

RULES_CODE = """
import itertools, numpy as np
from collections import Counter
from tallisk import _engine
rng = np.random.default_rng(3)
counts = Counter()
for _ in range({n_txn}):
    b = sorted(set(rng.integers(0, {n_items}, size={length}).tolist()))
    for k in range(1, len(b) + 1):
        counts.update(itertools.combinations(b, k))
sets = [(s, c) for s, c in counts.items() if c >= {min_count}]
offsets = np.zeros(len(sets) + 1, dtype=np.int64)
offsets[1:] = np.cumsum([len(s) for s, _ in sets])
items = np.array([x for s, _ in sets for x in s], dtype=np.int32)
cnt = np.array([c for _, c in sets], dtype=np.float64)
r = _engine.generate_rules(offsets, items, cnt, {n_txn}, {min_conf}, input_target="{target}")
result = dict(sets=sets, **{{k: v.tobytes() for k, v in r.items()}})
"""


def test_closed_input_gives_the_same_rules_in_the_same_order_for_any_number_of_workers():
    # (All input: tests/cpp/test_rules.cpp, on every pool size.)
    code = RULES_CODE.format(n_txn=400, n_items=30, length=9, min_count=2, min_conf=0.3, target="closed")
    one = run_in_subprocess(code, threads=1)
    assert len(one["rule_row"]) // 8 > 5000
    assert run_in_subprocess(code, threads=2) == one
    assert run_in_subprocess(code, threads=3) == one


def test_large_rule_table_is_whole():
    """More than a million rules: columns of huge-page storage, written by the workers;
    every split of every set passes at min_confidence 0."""
    code = RULES_CODE.format(n_txn=100, n_items=24, length=10, min_count=1, min_conf=0.0, target="all")
    one, two = run_in_subprocess(code, threads=1), run_in_subprocess(code, threads=2)
    assert one == two
    sets = dict(one["sets"])
    n_rules = sum(2 ** len(s) - 2 for s in sets)
    assert n_rules > 1_000_000
    col = {
        k: np.frombuffer(
            v,
            dtype=np.int32 if k.endswith("_items") else np.float64 if k in METRICS or k.endswith("count") else np.int64,
        )
        for k, v in one.items()
        if k != "sets"
    }
    assert len(col["rule_row"]) == n_rules
    rows = list(sets)
    pick = np.random.default_rng(0).choice(n_rules, 3000, replace=False)
    ao, co = col["antecedent_offsets"], col["consequent_offsets"]
    for i in pick:
        a = tuple(col["antecedent_items"][ao[i] : ao[i + 1]].tolist())
        c = tuple(col["consequent_items"][co[i] : co[i + 1]].tolist())
        z = tuple(sorted(a + c))
        assert rows[col["rule_row"][i]] == z and rows[col["antecedent_row"][i]] == a
        m = metrics(sets[z], sets[a], sets[c], 100)
        for name in METRICS:
            assert math.isclose(col[name][i], m[name], rel_tol=1e-12, abs_tol=1e-15), name


def test_large_pair_table_matches_counts():
    """The full pair table of millions of rows (huge-page columns, filled by the
    workers) against counts taken with NumPy."""
    rng = np.random.default_rng(11)
    n_txn, n_items, width = 4000, 3000, 25
    baskets = np.sort(np.stack([rng.choice(n_items, width, replace=False) for _ in range(n_txn)]), axis=1)
    txn, item = to_arrays(baskets.tolist())
    r = _tallisk_rs.rust_compute_pairs(txn, item, n_items, 0.0)
    a = np.repeat(baskets, width, axis=1).ravel()
    b = np.tile(baskets, width).ravel()
    keep = a != b
    keys, co = np.unique(a[keep].astype(np.int64) * n_items + b[keep], return_counts=True)
    assert len(keys) > 1_000_000
    got = r["item_A"].astype(np.int64) * n_items + r["item_B"]
    order = np.argsort(got)
    assert np.array_equal(got[order], keys) and np.array_equal(r["instances"][order], co)
    count = np.bincount(baskets.ravel(), minlength=n_items).astype(float)
    ia, ib = keys // n_items, keys % n_items
    s, sa, sb = co / n_txn, count[ia] / n_txn, count[ib] / n_txn
    conf = co / count[ia]
    np.testing.assert_allclose(r["support"][order], s, rtol=1e-14, atol=0)
    np.testing.assert_allclose(r["confidence"][order], conf, rtol=1e-14, atol=0)
    np.testing.assert_allclose(r["lift"][order], conf / sb, rtol=1e-14, atol=0)
    np.testing.assert_allclose(r["leverage"][order], s - sa * sb, rtol=1e-12, atol=1e-18)
    np.testing.assert_allclose(r["jaccard"][order], s / (sa + sb - s), rtol=1e-14, atol=0)


# ---- input checks -------------------------------------------------------------------


def good():
    return table({(1,): 3, (2,): 2, (1, 2): 2})[:3]


def bad(**change):
    offsets, items, counts = good()
    args = dict(offsets=offsets, items=items, counts=counts, n_transactions=4, min_confidence=0.5)
    args.update(change)
    return args


@pytest.mark.parametrize(
    "args, message",
    [
        (bad(offsets=np.array([0, 1, 2, 5], dtype=np.int64)), r"offsets\[3\] = 5 but items holds 4 ids"),
        (bad(offsets=np.array([0, 2, 1, 4], dtype=np.int64)), r"offsets\[2\] = 1 is less than offsets\[1\] = 2"),
        (bad(offsets=np.array([1, 2, 3, 4], dtype=np.int64)), r"offsets\[0\] = 1"),
        (bad(offsets=np.array([], dtype=np.int64)), r"offsets must hold"),
        (bad(counts=np.array([3.0, 2.0])), r"counts holds 2 values"),
        (bad(counts=np.array([3.0, np.nan, 2.0])), r"counts\[1\] = nan is not a positive"),
        (bad(counts=np.array([3.0, 0.0, 2.0])), r"counts\[1\] = 0"),
        (bad(counts=np.array([3.0, 5.0, 2.0])), r"counts\[1\] = 5 exceeds n_transactions = 4"),
        (bad(items=np.array([1, 2, -1, 2], dtype=np.int32)), r"items\[2\] = -1 is negative"),
        (bad(items=np.array([1, 2, 2, 2], dtype=np.int32)), r"items\[3\] = 2 repeats an item of itemset 2"),
        (bad(items=np.array([1, 1, 1, 2], dtype=np.int32)), r"rows 0 and 1 .*same itemset"),
        (bad(min_confidence=math.nan), r"min_confidence must be in \[0, 1\]; got nan"),
        (bad(min_confidence=1.5), r"min_confidence must be in \[0, 1\]; got 1.5"),
        (bad(n_transactions=0), r"n_transactions must be a positive"),
        (bad(min_lift=math.nan), r"min_lift must"),
        *[(bad(max_consequent_len=v), r"max_consequent_len must be at least 1") for v in (0, -1, -(2**64))],
        (bad(antecedent_items=np.array([1, -4], dtype=np.int32)), r"antecedent_items\[1\] = -4 is negative"),
        (bad(consequent_items=np.array([-1], dtype=np.int32)), r"consequent_items\[0\] = -1"),
        (bad(input_target="maximal"), r"not available from maximal itemsets"),
        (bad(input_target="closd"), r"input_target must be 'all', 'closed' or 'maximal'"),
        (
            dict(
                zip(["offsets", "items", "counts"], table({(1, 2): 2, (1,): 2})[:3], strict=True),
                n_transactions=2,
                min_confidence=0.5,
            ),
            r"no row for itemset \(2,\), a subset of row 0",
        ),
        # A wrong type raises TypeError naming the argument.
        (bad(offsets=np.array([0, 1, 2, 4], dtype=np.int32)), "offsets"),
        (bad(items=[1, 2, 1, 2]), "items"),
        (bad(counts=np.array([3, 2, 2])), "counts"),
        (bad(min_confidence="0.5"), "min_confidence"),
        *[(bad(max_consequent_len=v), "max_consequent_len") for v in (1.5, 1.0)],
        (bad(input_target=3), "input_target"),
        (bad(antecedent_items=np.array([[1]], dtype=np.int32)), "antecedent_items"),
    ],
)
def test_bad_input_raises(args, message):
    with pytest.raises(TypeError if message.isidentifier() else ValueError, match=message):
        _engine.generate_rules(**args)
