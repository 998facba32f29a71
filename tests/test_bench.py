"""The benchmark code whose faults would go unseen in a run: the comparison of answers
(bench/agreement.py, bench_rules.agree), which must flag every difference, and the itemset
table every rule tool is given alike (bench_rules.itemset_table). A fault that makes one
tool disagree (a label mapping, a peer's input) shows in the run itself, and one in the
data reader (bench/datagen.py) in compare.py's check of the published itemset totals."""

from __future__ import annotations

import math
import os
import sys
from collections import defaultdict

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))

import agreement  # noqa: E402
import bench_rules  # noqa: E402
from helpers import brute_force_counts, brute_rules, random_baskets  # noqa: E402


@pytest.mark.parametrize("n", [1, 7, 100, 3196, 88162])
def test_fraction_for_count_selects_exactly_the_count(n):
    rng = np.random.default_rng(n)
    for m in sorted({1, n, *rng.integers(1, n + 1, size=20).tolist()}):
        f = agreement.fraction_for_count(m, n)
        assert 0 < f <= 1
        assert [c for c in range(n + 1) if c / n >= f] == list(range(m, n + 1)), (m, n, f)


def _base_levels():
    return {2: {("a", "b"): 9, ("a", "c"): 8, ("b", "c"): 8}, 3: {("a", "b", "c"): 8}}


def test_mismatches_are_reported_and_diagnosed():
    peer = _base_levels()
    peer[2][("a", "b")] = 11  # e.g. a duplicated row counted twice
    diffs = agreement.compare_levels(_base_levels(), peer, [2, 3])
    bad = [d for d in diffs if not d.ok]
    assert [d.level for d in bad] == [2] and bad[0].count_diff == [(("a", "b"), 9, 11)]
    causes = agreement.diagnose(diffs, 8)
    assert len(causes) == 1 and "duplicated rows" in causes[0]

    peer = _base_levels()
    peer[2][("c", "d")] = 7  # min_count 8 here; a peer rounding 0.07 * 100 down keeps 7
    del peer[3][("a", "b", "c")]
    diffs = agreement.compare_levels(_base_levels(), peer, [2, 3])
    assert diffs[0].only_peer == [(("c", "d"), 7)] and diffs[1].only_ours == [(("a", "b", "c"), 8)]
    causes = agreement.diagnose(diffs, 8)
    assert any("lower minimum count" in c for c in causes) and any("misses" in c for c in causes)
    # a row our side reports twice would collapse into one in the comparison: it is caught first
    dup = agreement.from_arrays((np.array([[0, 1], [2, 3], [1, 0]], np.int32), np.array([5, 4, 5], np.int64)))
    assert dup.duplicates == [(0, 1)]


# ---- pair tables --------------------------------------------------------------------


PAIR_COLUMNS = ["support", "confidence", "lift", "leverage", "cosine", "jaccard", "consequent_support", "conviction"]


def _pair_oracle(baskets):
    """All ordered co-occurring pairs with their metrics, from the brute-force rules; the
    benchmark's own tables leave conviction NaN where the consequent is in every basket."""
    rows = defaultdict(list)
    for ((a,), (b,)), m in sorted(brute_rules(baskets, 1, max_len=2).items()):
        m["conviction"] = math.nan if m["consequent_support"] == 1 else m["conviction"]
        for key, v in [("item_A", a), ("item_B", b), ("instances", m["count"]), *((k, m[k]) for k in PAIR_COLUMNS)]:
            rows[key].append(v)
    return {k: np.array(v) for k, v in rows.items()}


def _peer_view(table, labels):
    peer = {k: v.astype(np.float64) for k, v in table.items() if k not in ("item_A", "item_B")}
    peer["antecedent"] = np.asarray(labels, dtype=object)[table["item_A"]]
    peer["consequent"] = np.asarray(labels, dtype=object)[table["item_B"]]
    # a peer writes inf where the consequent is everywhere (mlxtend does)
    peer["conviction"] = np.where(np.isnan(peer["conviction"]), np.inf, peer["conviction"])
    return peer


BASKETS = [[0, 1, 2], [1, 2], [0, 1, 3], [1, 3], [1, 2, 4], [0, 1]]  # item 1 is in every basket
LABELS = list("abcde")


@pytest.mark.parametrize("metric", agreement.PAIR_METRICS)
@pytest.mark.parametrize("rel, reported", [(1e-9, True), (2e-13, False)])
def test_a_metric_off_by_more_than_the_tolerance_is_reported(metric, rel, reported):
    table = _pair_oracle(BASKETS)
    peer = _peer_view(table, LABELS)
    i = int(np.flatnonzero(np.isfinite(peer[metric]) & (peer[metric] != 0))[0])
    peer[metric][i] *= 1 + rel
    d = agreement.compare_pair_tables(table, peer, LABELS)
    assert d.ok is not reported
    if reported:
        assert len(d.metric_diff) == 1
        key, name, _, _ = d.metric_diff[0]
        assert name == metric and key == (peer["antecedent"][i], peer["consequent"][i])


def test_missing_extra_and_duplicated_pairs_are_reported():
    table = _pair_oracle(BASKETS)
    peer = _peer_view(table, LABELS)
    dropped = (peer["antecedent"][0], peer["consequent"][0])
    peer = {k: v[1:] for k, v in peer.items()}
    d = agreement.compare_pair_tables(table, peer, LABELS)
    assert d.only_ours == [dropped] and not d.only_peer and not d.ok
    doubled = {k: np.concatenate([v, v[:1]]) for k, v in table.items()}
    d = agreement.compare_pair_tables(doubled, _peer_view(table, LABELS), LABELS)
    assert d.duplicates == 1 and not d.ok


# ---- the rules benchmark's check: a missing or extra rule and a differing value are
# flagged, equal infinities accepted --------------------------------------------------

RULES = {((1,), (2,)): (0.5, math.inf), ((2,), (1,)): (0.25, 1.5)}


@pytest.mark.parametrize(
    "other, metrics, verdict",
    [
        (dict(RULES), True, "ok"),
        ({**RULES, ((2,), (1,)): (0.25, 1.5 * (1 + 1e-11))}, True, "ok"),
        ({**RULES, ((2,), (1,)): (0.25, 1.5 * (1 + 1e-11))}, False, "DIFFERS: 1 values"),
        ({**RULES, ((2,), (1,)): (0.25, 1.6)}, True, "DIFFERS: 1 values"),
        ({**RULES, ((1,), (2,)): (0.5, 3.0)}, True, "DIFFERS: 1 values"),
        ({((1,), (2,)): RULES[((1,), (2,))]}, True, "DIFFERS: 0 missing, 1 extra"),
        ({**RULES, ((3,), (1,)): (0.1, 1.0)}, True, "DIFFERS: 1 missing, 0 extra"),
    ],
)
def test_rules_agree_flags_every_difference(other, metrics, verdict):
    assert bench_rules.agree(RULES, other, metrics).startswith(verdict)
    assert bench_rules.agree({}, {}, metrics).startswith("ok")


@pytest.mark.parametrize("everywhere", [None, 0, 3])
def test_rules_itemset_table_holds_every_frequent_itemset(everywhere):
    pytest.importorskip("fim")
    rng = np.random.default_rng(11)
    baskets = random_baskets(rng, 60, 8, 3.0)
    if everywhere is not None:  # an item in every basket: pyfim leaves it out on its own
        baskets = [sorted(set(b) | {everywhere}) for b in baskets]
    txn = np.repeat(np.arange(len(baskets)), [len(b) for b in baskets])
    item = np.array([x for b in baskets for x in b], dtype=np.int32)
    min_count = 6
    offsets, items, counts = bench_rules.itemset_table(txn, item, len(baskets), min_count)
    got = {tuple(items[offsets[r] : offsets[r + 1]].tolist()): int(c) for r, c in enumerate(counts.tolist())}
    want = {s: c for k in range(1, 9) for s, c in brute_force_counts(baskets, k).items() if c >= min_count}
    assert got == want
