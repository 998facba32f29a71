"""The benchmark's label mapping and comparison code (bench/agreement.py) and its peer
adapters (bench/peers.py). Peers are optional: tests that need one skip without it."""

from __future__ import annotations

import itertools
import math
import os
import sys
from collections import Counter, defaultdict

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))

import agreement  # noqa: E402
import peers  # noqa: E402
from helpers import brute_force_counts, random_baskets, to_arrays  # noqa: E402


# ---- thresholds ---------------------------------------------------------------------

@pytest.mark.parametrize("min_support, n, expected", [
    (0.07, 100, 8),  # 0.07 * 100.0 is 7.000000000000001
    (0.4, 5, 2),  # exactly 2.0
    (0.5, 5, 3),
    (0.0, 10, 1),
    (-0.3, 10, 1),
    (float("nan"), 10, 1),
    (1.0, 7, 7),
])
def test_min_count_is_ceiling_in_double_precision(min_support, n, expected):
    assert agreement.min_count(min_support, n) == expected


@pytest.mark.parametrize("n", [1, 7, 100, 3196, 88162])
def test_fraction_for_count_selects_exactly_the_count(n):
    rng = np.random.default_rng(n)
    for m in sorted({1, n, *rng.integers(1, n + 1, size=20).tolist()}):
        f = agreement.fraction_for_count(m, n)
        assert 0 < f <= 1
        passing = [c for c in range(n + 1) if c / n >= f]
        assert passing == list(range(m, n + 1)), (m, n, f)


@pytest.mark.parametrize("min_support, n", [(0.07, 100), (0.07, 5000), (0.01, 88162), (0.3, 3196), (0.5, 3)])
def test_fraction_peer_count_is_the_smallest_passing_count(min_support, n):
    brute = next(c for c in range(n + 2) if c / n >= min_support)
    assert agreement.fraction_peer_count(min_support, n) == brute


def test_a_fraction_handed_to_a_peer_can_lower_the_minimum_count():
    assert agreement.fraction_peer_count(0.07, 100) == 7
    assert agreement.min_count(0.07, 100) == 8


# ---- label mapping ------------------------------------------------------------------

def _group_oracle(txn_ids, item_ids, labels):
    order, groups = [], defaultdict(set)
    for t, i in zip(txn_ids.tolist(), item_ids.tolist()):
        if t not in groups:
            order.append(t)
        groups[t].add(labels[i] if labels is not None else i)
    return [tuple(sorted(groups[t])) for t in order]


@pytest.mark.parametrize("labels", [None, ["milk", "eggs", "tea", "jam", "oil"]])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_baskets_group_labels_wherever_they_are_and_drop_repeats(labels, seed):
    rng = np.random.default_rng(seed)
    n = 60
    # labels far apart, rows shuffled so one transaction is split into runs, repeats kept
    txn_ids = rng.choice(np.array([-5, 10**12, 3, 7, 99], dtype=np.int64), size=n)
    item_ids = rng.integers(0, 5, size=n).astype(np.int32)
    assert agreement.baskets_from_rows(txn_ids, item_ids, labels) == _group_oracle(txn_ids, item_ids, labels)


def test_baskets_of_empty_input():
    assert agreement.baskets_from_rows(np.zeros(0, np.int64), np.zeros(0, np.int32)) == []


def _frequent_levels(baskets, levels, m):
    out = {}
    for k in levels:
        out[k] = {s: c for s, c in brute_force_counts(baskets, k).items() if c >= m}
    return out


def _as_our_arrays(level, rng, id_of):
    """A level as our module returns it: rows in random order, item ids, int32/int64."""
    items = list(level.items())
    rng.shuffle(items)
    if not items:
        return np.zeros((0, 0), np.int32), np.zeros(0, np.int64)
    return (np.array([[id_of[x] for x in s] for s, _ in items], dtype=np.int32),
            np.array([c for _, c in items], dtype=np.int64))


NAMES = [f"item-{i:02d}" for i in range(12)]


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("k_max", [2, 3])
def test_our_arrays_and_a_peer_answer_agree_after_mapping(seed, k_max):
    rng = np.random.default_rng(seed)
    baskets = [[NAMES[i] for i in b] for b in random_baskets(rng, 80, 12, 4.0)]
    m = 6
    truth = _frequent_levels(baskets, [k_max - 1, k_max], m)
    id_of = {name: i for i, name in enumerate(NAMES)}
    ours = agreement.from_arrays(_as_our_arrays(truth[k_max], rng, id_of),
                                 _as_our_arrays(truth[k_max - 1], rng, id_of), labels=NAMES)
    # a peer reports items in its own order and container
    peer = agreement.from_pairs((frozenset(s) if len(s) % 2 else tuple(reversed(s)), c)
                                for k in truth for s, c in truth[k].items())
    diffs = agreement.compare_levels(ours, peer, [k_max - 1, k_max])
    assert all(d.ok for d in diffs), [d.describe() for d in diffs]
    assert sum(d.n_ours for d in diffs) == sum(len(v) for v in truth.values())


def _base_levels():
    return {2: {("a", "b"): 9, ("a", "c"): 8, ("b", "c"): 8}, 3: {("a", "b", "c"): 8}}


def test_a_changed_count_is_reported_and_attributed():
    peer = _base_levels()
    peer[2][("a", "b")] = 11  # e.g. a duplicated row counted twice
    diffs = agreement.compare_levels(_base_levels(), peer, [2, 3])
    bad = [d for d in diffs if not d.ok]
    assert [d.level for d in bad] == [2]
    assert bad[0].count_diff == [(("a", "b"), 9, 11)]
    assert "counts differ" in bad[0].describe()
    causes = agreement.diagnose(diffs, 8)
    assert len(causes) == 1 and "duplicated rows" in causes[0]


def test_extra_sets_below_our_minimum_point_at_the_rounding_of_the_minimum_count():
    peer = _base_levels()
    peer[2][("c", "d")] = 7  # min_count 8 here; a peer rounding 0.07 * 100 down keeps 7
    peer[3][("a", "c", "d")] = 7
    diffs = agreement.compare_levels(_base_levels(), peer, [2, 3])
    assert [len(d.only_peer) for d in diffs] == [1, 1]
    assert not any(d.only_ours or d.count_diff for d in diffs)
    causes = agreement.diagnose(diffs, 8)
    assert len(causes) == 1 and "lower minimum count" in causes[0]


def test_sets_missing_on_the_peer_side_are_reported():
    peer = _base_levels()
    del peer[3][("a", "b", "c")]
    diffs = agreement.compare_levels(_base_levels(), peer, [2, 3])
    assert diffs[1].only_ours == [(("a", "b", "c"), 8)] and not diffs[0].only_ours
    assert any("misses" in c for c in agreement.diagnose(diffs, 8))


def test_a_level_absent_on_one_side_is_an_empty_level():
    diffs = agreement.compare_levels({2: {}}, {3: {}}, [2, 3])
    assert all(d.ok for d in diffs)
    diffs = agreement.compare_levels({}, {3: {("x", "y", "z"): 4}}, [3])
    assert diffs[0].only_peer == [(("x", "y", "z"), 4)]


def test_duplicated_rows_in_our_arrays_are_caught():
    itemsets = np.array([[0, 1], [2, 3], [1, 0]], dtype=np.int32)  # {0,1} twice
    got = agreement.from_arrays((itemsets, np.array([5, 4, 5], np.int64)))
    assert got.duplicates == [(0, 1)]


def test_from_arrays_rejects_misaligned_or_unknown_ids():
    with pytest.raises(ValueError):
        agreement.from_arrays((np.zeros((2, 2), np.int32), np.zeros(3, np.int64)))
    with pytest.raises(ValueError):
        agreement.from_arrays((np.array([[0, 5]], np.int32), np.array([1])), labels=["a", "b"])


# ---- pair tables --------------------------------------------------------------------

def _pair_oracle(baskets):
    """All ordered co-occurring pairs with the seven metrics, from first principles."""
    n = len(baskets)
    single = Counter(x for b in baskets for x in set(b))
    co = Counter(p for b in baskets for p in itertools.permutations(sorted(set(b)), 2))
    rows = defaultdict(list)
    for (a, b), c in sorted(co.items()):
        s, sa, sb = c / n, single[a] / n, single[b] / n
        conf = c / single[a]
        rows["item_A"].append(a)
        rows["item_B"].append(b)
        rows["instances"].append(c)
        rows["support"].append(s)
        rows["confidence"].append(conf)
        rows["lift"].append(conf / sb)
        rows["conviction"].append(math.nan if sb >= 1 else (math.inf if conf >= 1 else (1 - sb) / (1 - conf)))
        rows["leverage"].append(s - sa * sb)
        rows["cosine"].append(s / math.sqrt(sa * sb))
        rows["jaccard"].append(s / (sa + sb - s))
        rows["consequent_support"].append(sb)
    return {k: np.array(v) for k, v in rows.items()}


def _peer_view(table, labels):
    peer = {k: v.copy() for k, v in table.items() if k not in ("item_A", "item_B")}
    peer["antecedent"] = np.asarray(labels, dtype=object)[table["item_A"]]
    peer["consequent"] = np.asarray(labels, dtype=object)[table["item_B"]]
    # a peer writes inf where the consequent is everywhere (mlxtend does)
    peer["conviction"] = np.where(np.isnan(peer["conviction"]), np.inf, peer["conviction"])
    return peer


BASKETS = [[0, 1, 2], [1, 2], [0, 1, 3], [1, 3], [1, 2, 4], [0, 1]]  # item 1 is in every basket


def test_pair_tables_agree_up_to_documented_conviction():
    table = _pair_oracle(BASKETS)
    labels = ["a", "b", "c", "d", "e"]
    d = agreement.compare_pair_tables(table, _peer_view(table, labels), labels)
    assert d.ok, d.describe()
    # every rule with consequent 1 ("b") has conviction NaN on our side and inf on the peer's
    assert {key[1] for key, *_ in d.documented} == {"b"}
    assert len(d.documented) == 4


@pytest.mark.parametrize("metric", agreement.PAIR_METRICS)
@pytest.mark.parametrize("rel, reported", [(1e-9, True), (2e-13, False)])
def test_a_metric_off_by_more_than_the_tolerance_is_reported(metric, rel, reported):
    table = _pair_oracle(BASKETS)
    labels = list("abcde")
    peer = _peer_view(table, labels)
    i = int(np.flatnonzero(np.isfinite(peer[metric]) & (peer[metric] != 0))[0])
    peer[metric] = peer[metric].astype(np.float64)
    peer[metric][i] *= 1 + rel
    d = agreement.compare_pair_tables(table, peer, labels)
    assert d.ok is not reported
    if reported:
        assert len(d.metric_diff) == 1
        key, name, ours, theirs = d.metric_diff[0]
        assert name == metric and key == (peer["antecedent"][i], peer["consequent"][i])


def test_nan_against_inf_is_a_mismatch_when_the_consequent_is_not_everywhere():
    table = _pair_oracle(BASKETS)
    labels = list("abcde")
    peer = _peer_view(table, labels)
    ours = {k: v.copy() for k, v in table.items()}
    i = int(np.flatnonzero(np.isinf(table["conviction"]) & (table["consequent_support"] < 1))[0])
    ours["conviction"] = ours["conviction"].astype(np.float64)
    ours["conviction"][i] = math.nan
    d = agreement.compare_pair_tables(ours, peer, labels)
    assert not d.ok and d.metric_diff[0][1] == "conviction"


def test_missing_extra_and_duplicated_pairs_are_reported():
    table = _pair_oracle(BASKETS)
    labels = list("abcde")
    peer = _peer_view(table, labels)
    keep = np.arange(len(peer["antecedent"])) != 0
    dropped = (peer["antecedent"][0], peer["consequent"][0])
    peer = {k: v[keep] for k, v in peer.items()}
    d = agreement.compare_pair_tables(table, peer, labels)
    assert d.only_ours == [dropped] and not d.only_peer and not d.ok
    doubled = {k: np.concatenate([v, v[:1]]) for k, v in table.items()}
    d = agreement.compare_pair_tables(doubled, _peer_view(table, labels), labels)
    assert d.duplicates == 1 and not d.ok


@pytest.mark.parametrize("a, b, equal", [
    (1.0, 1.0 + 5e-13, True), (1e6, 1e6 * (1 + 5e-13), True), (1e6, 1e6 + 1e-3, False),
    (math.nan, math.nan, True), (math.inf, math.inf, True), (math.inf, -math.inf, False), (math.nan, 0.0, False),
    (1e-20, 2e-20, True),  # absolute tolerance near zero (leverage)
])
def test_close(a, b, equal):
    assert agreement.close(a, b, 1e-12) is equal


# ---- peer adapters ------------------------------------------------------------------

def _data(baskets, labels):
    txn_ids, item_ids = to_arrays(baskets, labels=[7 * t + 3 for t in range(len(baskets))])
    n_items = len(labels)
    return peers.Data(txn_ids, item_ids, n_items, np.asarray(labels, dtype=object), len(baskets))


@pytest.mark.parametrize("duplicate_rows", [False, True])
def test_scipy_pair_table_matches_first_principles(duplicate_rows):
    pytest.importorskip("scipy")
    rng = np.random.default_rng(5)
    baskets = random_baskets(rng, 120, 15, 4.0)
    txn_ids, item_ids = to_arrays(baskets)
    if duplicate_rows:  # repeated occurrences and shuffled rows must not change a count
        pick = rng.integers(0, len(txn_ids), size=40)
        txn_ids = np.concatenate([txn_ids, txn_ids[pick]])
        item_ids = np.concatenate([item_ids, item_ids[pick]])
        perm = rng.permutation(len(txn_ids))
        txn_ids, item_ids = txn_ids[perm], item_ids[perm]
    got = peers.scipy_pair_table(txn_ids, item_ids, 15, min_count=1)
    want = _pair_oracle(baskets)
    assert got["n_transactions"] == len(baskets)
    assert np.array_equal(got["item_A"], want["item_A"]) and np.array_equal(got["item_B"], want["item_B"])
    assert np.array_equal(got["instances"], want["instances"])
    for m in agreement.PAIR_METRICS + ("cosine",):
        np.testing.assert_allclose(got[m], want[m], rtol=1e-12, atol=1e-15)
    cut = peers.scipy_pair_table(txn_ids, item_ids, 15, min_count=5)
    assert np.array_equal(cut["instances"], want["instances"][want["instances"] >= 5])


@pytest.mark.parametrize("tool, module", [("pyfim_eclat", "fim"), ("pyfim_apriori", "fim"),
                                          ("efficient_apriori", "efficient_apriori"),
                                          ("mlxtend_fpgrowth", "mlxtend"), ("mlxtend_apriori", "mlxtend")])
def test_peer_adapters_map_labels_back_at_the_matched_count(tool, module):
    pytest.importorskip(module)
    rng = np.random.default_rng(11)
    labels = [f"sku{i}" for i in range(10)]
    id_baskets = random_baskets(rng, 50, 10, 4.0)
    baskets = [[labels[i] for i in b] for b in id_baskets]
    data = _data(id_baskets, labels)
    m = 7
    setting = peers.Setting(3, 0.0, m, agreement.fraction_for_count(m, len(baskets)))
    impl = peers.TOOLS[tool]
    got = impl.answer(impl.mine(impl.prepare(data), setting), data)
    want = _frequent_levels(baskets, [2, 3], m)
    assert all(d.ok for d in agreement.compare_levels(got, want, [2, 3]))
    assert want[2], "the case must hold frequent pairs"


def test_mlxtend_rules_adapter_matches_first_principles():
    pytest.importorskip("mlxtend")
    labels = list("abcde")
    data = _data(BASKETS, labels)
    setting = peers.Setting(2, 0.0, 1, agreement.fraction_for_count(1, len(BASKETS)))
    impl = peers.TOOLS["mlxtend_rules"]
    peer = impl.answer(impl.mine(impl.prepare(data), setting), data)
    d = agreement.compare_pair_tables(_pair_oracle(BASKETS), peer, labels)
    assert d.ok and len(d.documented) == 4, d.describe()


def _pipeline_dict(truth, top_k, lower_k, rng):
    """A result dict shaped as our pipelines return it, from a brute-force answer."""
    ids = {name: i for i, name in enumerate(NAMES)}
    top = _as_our_arrays(truth.get(top_k, {}), rng, ids) if top_k else _as_our_arrays({}, rng, ids)
    low = _as_our_arrays(truth.get(lower_k, {}), rng, ids) if lower_k else _as_our_arrays({}, rng, ids)
    return {"itemsets": top[0], "counts": top[1], "lower_itemsets": low[0], "lower_counts": low[1],
            "item_counts": np.zeros(len(NAMES), np.int64)}


# (entry, k_max) -> (level under "itemsets", level under "lower_itemsets"), 0 = empty
@pytest.mark.parametrize("tool, k_max, layout", [
    ("rust_compute_pipeline", 4, (4, 3)),
    ("rust_compute_pipeline_v6_gating", 3, (3, 2)),
    ("rust_compute_pipeline", 2, (0, 2)),  # pairs come back as the lower level
    ("rust_eclat_pipeline", 2, (2, 0)),
    ("rust_classic_compute_pipeline", 2, (2, 1)),  # the classic levels start at single items
    ("rust_classic_compute_pipeline", 3, (3, 2)),
])
def test_our_pipeline_dicts_are_read_on_the_levels_they_hold(tool, k_max, layout):
    rng = np.random.default_rng(k_max)
    baskets = [[NAMES[i] for i in b] for b in random_baskets(rng, 70, 12, 4.5)]
    levels = peers.levels_reported(tool, k_max)
    truth = _frequent_levels(baskets, range(1, k_max + 1), 5)
    data = _data([[NAMES.index(x) for x in b] for b in baskets], NAMES)
    got = peers.TOOLS[tool].answer(_pipeline_dict(truth, *layout, rng), data)
    assert sorted(levels) == sorted(k for k in layout if k)
    diffs = agreement.compare_levels(got, {k: truth[k] for k in levels}, levels)
    assert all(d.ok for d in diffs) and any(d.n_ours for d in diffs)
    # a pipeline that dropped its top level must be caught
    broken = _pipeline_dict(truth, 0, layout[1], rng)
    diffs = agreement.compare_levels(peers.TOOLS[tool].answer(broken, data), truth, levels)
    assert not all(d.ok for d in diffs) or not truth.get(layout[0])


def test_pair_tables_keyed_by_ids_on_both_sides():
    table = _pair_oracle(BASKETS)
    peer = {k: v[::-1].copy() for k, v in table.items()}  # same rows, another order
    d = agreement.compare_pair_tables(table, peer, metrics=agreement.PAIR_METRICS + ("cosine", "instances"))
    assert d.ok and d.n_ours == d.n_peer == len(table["item_A"])
    peer["instances"][0] += 1
    d = agreement.compare_pair_tables(table, peer, metrics=("instances",))
    assert d.n_metric_diff == 1 and d.metric_diff[0][0] == (int(peer["item_A"][0]), int(peer["item_B"][0]))


def test_a_peer_label_unknown_to_us_is_a_pair_only_the_peer_has():
    table = _pair_oracle(BASKETS)
    labels = list("abcde")
    peer = _peer_view(table, labels)
    peer = {k: np.concatenate([v, v[:1]]) for k, v in peer.items()}
    peer["antecedent"][-1] = "zz"
    d = agreement.compare_pair_tables(table, peer, labels)
    assert d.n_only_peer == 1 and ("zz", peer["consequent"][-1]) in d.only_peer and not d.ok


def test_extra_sets_on_the_tested_side_below_the_minimum_are_attributed_to_it():
    ours = _base_levels()
    ours[3][("a", "b", "d")] = 7  # a tool handed 0.07 over 100 transactions keeps 7
    diffs = agreement.compare_levels(ours, _base_levels(), [2, 3])
    causes = agreement.diagnose(diffs, 8)
    assert len(causes) == 1 and "tested side used a lower minimum count" in causes[0]
