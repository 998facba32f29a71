"""Leaks: every exported function, on success and on each of its error paths, is
called many times; afterwards the interpreter's live allocations (tracemalloc blocks),
the resident size and the reference counts of the inputs must not have grown.

The cases are data: `CASES` lists (module, function, arguments, expected exception);
functions of `tallisk._engine` join by adding their rows to `ENGINE_CASES`."""

from __future__ import annotations

import gc
import importlib
import importlib.util
import sys
import tracemalloc

import _tallisk_rs
import numpy as np
import pytest
from helpers import SANITIZED, contract_kwargs, panic_class, random_baskets, to_arrays

CALLS = 100 if SANITIZED else 300
# A leaked result array costs at least two blocks (the array and its buffer's owner)
# a call; a few blocks of interpreter caches may appear once (a few more under the
# sanitizer, which makes fewer calls).
MAX_NEW_BLOCKS = CALLS // 4
MAX_RSS_GROWTH = 16 << 20

_rng = np.random.default_rng(7)
TXN, ITEMS = to_arrays(random_baskets(_rng, 1500, 40, 6))
N_ITEMS = 40
WEIGHTS = np.linspace(1.0, 2.0, N_ITEMS)
LOWER = np.array([[a, b] for a in range(8) for b in range(a + 1, 8)], dtype=np.int32)
BAD_ITEMS = np.where(np.arange(ITEMS.size) == ITEMS.size // 2, N_ITEMS, ITEMS).astype(np.int32)
STRIDED = np.repeat(TXN, 2)[::2]

ARGS = dict(txn_ids=TXN, item_ids=ITEMS, freq_lower=LOWER, item_weights=WEIGHTS, max_items_per_txn=None)
ARGS |= dict(k=3, k_max=3, n_items=N_ITEMS, min_support=0.02, n_transactions=1500, _n_transactions=1500)
VALID = {name: contract_kwargs(name, **ARGS) for name in _tallisk_rs.__all__}
# The pairs without a threshold; a cap where one is taken, on the counter and one pipeline.
VALID["rust_compute_pairs"]["min_support"] = 0.0
VALID["rust_compute_itemsets"]["max_items_per_txn"] = 4
VALID["rust_compute_pipeline_v6_gating"]["max_items_per_txn"] = 5
# Functions that check every item id against n_items (the classic pipeline mines any id,
# the candidate counter only the ids of its candidates).
CHECKS_ITEMS = [n for n in VALID if n not in ("rust_compute_itemsets", "rust_classic_compute_pipeline")]


def _rs_cases():
    cases = []
    for name, kw in VALID.items():
        rows = {
            "ok": (kw, None),
            "list": (dict(kw, txn_ids=TXN.tolist()), TypeError),
            "strided": (dict(kw, txn_ids=STRIDED), TypeError),
            "overflow": (dict(kw, n_items=-1), OverflowError),
            "missing": ({k: v for k, v in kw.items() if k != "item_ids"}, TypeError),
        }
        if name in CHECKS_ITEMS:
            rows["panic"] = (dict(kw, item_ids=BAD_ITEMS), "panic")
        if name == "rust_eclat_pipeline":
            rows["k_max"] = (dict(kw, k_max=1), ValueError)
        cases += [pytest.param("_tallisk_rs", name, args, exc, id=f"{name}-{row}") for row, (args, exc) in rows.items()]
    return cases


# Rows for tallisk._engine: (function, keyword arguments, expected exception or None).
_CANDIDATES = dict(offsets=np.array([0, 2, 5, 5], dtype=np.int64), items=np.array([1, 2, 0, 3, 4], dtype=np.int32))
_MINE = dict(txn_ids=TXN, item_ids=ITEMS, n_items=N_ITEMS, min_count=30)


def _rules_input():
    import tallisk._engine as engine

    m = engine.mine_itemsets(**_MINE)
    return dict(
        offsets=m["offsets"],
        items=m["items"],
        counts=m["counts"].astype(np.float64),
        n_transactions=float(m["n_transactions"]),
        min_confidence=0.1,
    )


_RULES = _rules_input() if importlib.util.find_spec("tallisk") else {}
ENGINE_CASES: list = [
    ("mine_itemsets", _MINE, None),
    ("mine_itemsets", dict(_MINE, target="closed"), None),
    ("mine_itemsets", dict(_MINE, target="maximal", max_len=3), None),
    ("mine_itemsets", dict(_MINE, item_ids=BAD_ITEMS), ValueError),
    ("mine_itemsets", dict(_MINE, target="nope"), ValueError),
    ("mine_itemsets", dict(_MINE, min_count=1, max_itemsets=10), ValueError),
    ("mine_itemsets", dict(_MINE, txn_ids=TXN.tolist()), TypeError),
    ("count_itemsets", dict(txn_ids=TXN, item_ids=ITEMS, n_items=N_ITEMS, **_CANDIDATES), None),
    ("count_itemsets", dict(txn_ids=TXN, item_ids=ITEMS, n_items=3, **_CANDIDATES), ValueError),
    ("generate_rules", _RULES, None),
    ("generate_rules", dict(_RULES, max_consequent_len=1, min_lift=1.0), None),
    ("generate_rules", dict(_RULES, input_target="maximal"), ValueError),
    ("generate_rules", dict(_RULES, min_confidence=float("nan")), ValueError),
]

CASES = _rs_cases() + [
    pytest.param("tallisk._engine", f, kw, exc, id=f"engine-{f}-{i}") for i, (f, kw, exc) in enumerate(ENGINE_CASES)
]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def assert_no_leak(fn, kwargs, expect, calls=CALLS):
    """Calls fn(**kwargs) `calls` times (each must raise `expect`, or succeed when it
    is None) and fails when the calls left live allocations, resident memory or
    references to the inputs behind."""

    def once():
        if expect is None:
            fn(**kwargs)
            return
        try:
            fn(**kwargs)
        except expect:
            return
        raise AssertionError(f"{fn.__name__} did not raise {expect.__name__}")

    for _ in range(10):  # caches, the worker pool and NumPy's tables settle first
        once()
    gc.collect()
    inputs = [v for v in kwargs.values() if isinstance(v, (np.ndarray, list))]
    refs = [sys.getrefcount(v) for v in inputs]
    rss = resident_bytes()
    tracemalloc.start()
    try:
        for _ in range(calls):
            once()
        gc.collect()
        snapshot = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(False, tracemalloc.__file__)])
    finally:
        tracemalloc.stop()
    blocks = sum(stat.count for stat in snapshot.statistics("filename"))
    assert blocks <= MAX_NEW_BLOCKS, f"{blocks} blocks still allocated after {calls} calls"
    assert [sys.getrefcount(v) for v in inputs] == refs, "input reference counts changed"
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory for a while
        assert resident_bytes() - rss <= MAX_RSS_GROWTH


@pytest.mark.parametrize("module, name, kwargs, expect", CASES)
def test_no_leak(module, name, kwargs, expect):
    fn = getattr(importlib.import_module(module), name)
    if expect == "panic":
        expect = panic_class()
    assert_no_leak(fn, kwargs, expect)
