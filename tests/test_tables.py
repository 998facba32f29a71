"""The table layer against plain-Python oracles: canonical order, the native label
materialiser (values, collector tracking, references), finding the package's own tables
again, target derivation, metrics, roundings, the Arrow form and bad tables. The native
grouping, descending order and gather are tests/cpp/test_tables.cpp's (on the pool), and
reached here through every table the package makes."""

import gc
import math
import sys
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from helpers import labelled_baskets, rule_metrics, to_csr
from tallisk import _engine, _tables
from tallisk.mining import frequent_itemsets
from tallisk.rules import association_rules
from tallisk.tables import ItemsetArrays, canonical_order, itemsets_frame, itemsets_to_arrays, to_arrow


def random_csr(rng, n_rows, n_ids, max_len):
    """Random rows of distinct ids, in random order within a row, and their CSR arrays."""
    sizes = lambda: min(int(rng.integers(0, max_len + 1)), n_ids)  # noqa: E731
    rows = [rng.choice(n_ids, size=sizes(), replace=False).tolist() for _ in range(n_rows)]
    return rows, *to_csr(rows)


class Hostile:
    """A label whose hash and equality run Python code, as a user's class may."""

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        return hash(self.v)

    def __eq__(self, other):
        return isinstance(other, Hostile) and self.v == other.v

    def __repr__(self):
        return f"Hostile({self.v})"


HOSTILE_LABELS = ["a", "", 7, 2**70, -0.0, float("nan"), None, b"x", ("t", 1), ("nested", ("t", 1)),
                  ("holds", [1]), Hostile(3), frozenset({1}), True]  # fmt: skip


# ---- canonical order ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "n_rows, n_ids, max_len",
    [(0, 5, 3), (200, 6, 4), (300, 70_000, 3), (150, 40, 12), (80, 3, 3)],  # wide ids, long rows, repeats
)
def test_canonical_order_is_a_sort_of_python_tuples(n_rows, n_ids, max_len):
    rng = np.random.default_rng(n_rows + n_ids)
    rows, offsets, items = random_csr(rng, n_rows, n_ids, max_len)
    order, new_offsets, new_items = canonical_order(offsets, items)
    expected = sorted(range(n_rows), key=lambda r: (len(rows[r]), sorted(rows[r])))  # stable: equal rows keep order
    assert order.tolist() == expected
    got = [new_items[new_offsets[r] : new_offsets[r + 1]].tolist() for r in range(n_rows)]
    assert got == [sorted(rows[r]) for r in expected]


# ---- the label materialiser -------------------------------------------------------------------


def python_rows(offsets, items, labels, kind):
    make = tuple if kind == "tuple" else frozenset
    return [make(labels[i] for i in items[offsets[r] : offsets[r + 1]]) for r in range(len(offsets) - 1)]


def gc_may_follow(v):
    """The collector's own view: whether a container holding v must stay tracked."""
    return gc.is_tracked(v) or (isinstance(v, list | dict | set | Hostile) and not isinstance(v, tuple | frozenset))


@pytest.mark.parametrize("kind", ["tuple", "frozenset"])
@pytest.mark.parametrize("seed", [0, 1])
def test_label_rows_equal_the_python_rows(kind, seed):
    rng = np.random.default_rng(seed)
    labels = np.empty(len(HOSTILE_LABELS), dtype=object)
    labels[:] = HOSTILE_LABELS
    if kind == "frozenset":  # a frozenset holds one of equal labels: keep a row's labels distinct by value
        labels = labels[[0, 1, 2, 3, 5, 6, 7, 8, 9, 11, 12]]
    rows, offsets, items = random_csr(rng, 300, len(labels), 5)
    got = _engine.label_rows(offsets, items, labels, kind)
    want = python_rows(offsets, items, labels, kind)
    assert got.dtype == object and got.shape == (len(rows),)
    for g, w in zip(got, want, strict=True):
        assert type(g) is type(w)
        if kind == "tuple":
            assert len(g) == len(w) and all(a is b for a, b in zip(g, w, strict=True))  # the label objects themselves
        else:
            assert {id(x) for x in g} == {id(x) for x in w}
        # untracked exactly when nothing inside could be part of a cycle
        assert gc.is_tracked(g) == any(gc_may_follow(x) for x in g)


@pytest.mark.parametrize(
    "labels",
    [
        pd.Index([f"product {i}" for i in range(5000)], dtype="str"),
        pd.Index(np.arange(5000) * 7),
        [f"p{i}" for i in range(3000)],
    ],
    ids=["arrow-strings", "ints", "list"],
)
def test_few_rows_over_many_labels_take_the_right_labels(labels):
    # Few rows over thousands of labels convert only the labels they use: the rows must
    # still name the very labels their ids point at, the highest and the lowest included.
    rng = np.random.default_rng(3)
    n = len(labels)
    items = np.r_[rng.choice(n, size=40, replace=False), 0, n - 1].astype(np.int32)
    offsets = np.array([0, 1, 5, 20, 42], dtype=np.int64)
    got = _tables.label_rows(offsets, items, labels)
    values = list(labels)
    bounds = zip(offsets[:-1], offsets[1:], strict=True)
    assert got.tolist() == [tuple(values[i] for i in items[b:e]) for b, e in bounds]
    for bad in (-1, n):  # never a label taken by wrapping around: the bad id is named
        with pytest.raises(ValueError, match=rf"items\[1\] = {bad} is not a label id"):
            _tables.label_rows(np.array([0, 2]), np.array([5, bad], dtype=np.int32), labels)


def test_label_rows_hold_one_reference_per_use_and_leak_nothing():
    labels = np.empty(4, dtype=object)
    labels[:] = ["x" * 30, ("t", 2**80), 12345678901, Hostile(9)]
    offsets, items = np.array([0, 2, 2, 6], np.int64), np.array([0, 3, 3, 0, 2, 1], np.int32)

    def refs():
        return np.array([sys.getrefcount(x) for x in labels])

    before = refs()
    for kind in ("tuple", "frozenset"):
        out = _engine.label_rows(offsets, items, labels, kind)
        assert (refs() - before).tolist() == np.bincount(items, minlength=4).tolist()
        # the array, the loop name, the call (the empty tuple is CPython's shared one)
        assert all(sys.getrefcount(cell) == 3 for cell in out if len(cell))
        del out
        for _ in range(200):
            _engine.label_rows(offsets, items, labels, kind)
        assert refs().tolist() == before.tolist()


@pytest.mark.parametrize(
    "offsets, items, fragment",
    [
        ([1, 2], [0, 1], "offsets must start at 0"),
        ([0, 2, 1], [0, 1], "must not decrease"),
        ([0, 1], [0, 1], "offsets must end at len(items) = 2"),
        ([0, 2], [0, -1], "items[1] = -1 is not a label id"),
        ([0, 2], [0, 3], "items[1] = 3 is not a label id (0 .. 2)"),
        ([], [], "offsets must start at 0"),
    ],
)
def test_label_rows_refuse_arrays_that_are_no_table(offsets, items, fragment):
    labels = np.array(["a", "b", "c"], dtype=object)
    with pytest.raises(ValueError) as info:
        _engine.label_rows(np.array(offsets, np.int64), np.array(items, np.int32), labels)
    assert fragment in str(info.value)
    with pytest.raises(TypeError, match="dtype object"):
        _engine.label_rows(np.array([0], np.int64), np.array([], np.int32), np.array(["a"]))


def test_cell_rows_find_objects_by_identity():
    ref = np.empty(4, dtype=object)
    ref[:] = [tuple(x) for x in (["a"], ["b"], ["a", "b"], ["a"])]
    cells = np.empty(5, dtype=object)
    cells[:] = [ref[2], ref[0], tuple(["a"]), ref[3], ref[1]]  # an equal tuple that is not the same object
    assert _engine.cell_rows(cells, ref).tolist() == [2, 0, -1, 3, 1]
    assert _engine.cell_rows(ref, ref).tolist() == [0, 1, 2, 3]


# ---- the package's own tables, found again -----------------------------------------------------


def rules_of_copy(df, **kwargs):
    """Rules from a table whose cells are new objects: the encoder's route."""
    copy = df.assign(itemset=[tuple(list(t)) for t in df["itemset"]])
    return association_rules(copy, **kwargs)


@pytest.mark.parametrize(
    "change",
    [
        lambda df: df,
        lambda df: df.copy(),
        lambda df: df[(df["length"] > 1) | (df["count"] > 10)],  # rows dropped (subsets of kept rows stay)
        lambda df: df.sort_values("support", kind="stable"),
        lambda df: df.iloc[::-1].reset_index(drop=True),
    ],
)
def test_rules_from_a_changed_own_table_equal_rules_from_its_copy(change):
    baskets = labelled_baskets(3, list("abcdefg"), 150, 5)
    df = change(frequent_itemsets(baskets, min_count=4))
    got = association_rules(df, min_confidence=0.3)
    assert len(got)
    pd.testing.assert_frame_equal(got, rules_of_copy(df, min_confidence=0.3))


def test_replaced_and_list_cells_are_read_from_their_labels():
    baskets = [["a", "b"], ["a", "b", "c"], ["b", "c"], ["a", "b"]]
    df = frequent_itemsets(baskets, min_count=1)
    pos = df.index[df["itemset"] == ("a", "b")][0]
    df.at[pos, "itemset"] = ("b", "a")  # reversed, written into the frame's own column
    listed = df.assign(itemset=[list(t) for t in df["itemset"]])
    for table in (df, listed):
        rules = association_rules(table, min_confidence=0.0)
        sides = pd.concat([rules["antecedent"], rules["consequent"]])
        assert all(type(s) is tuple and list(s) == sorted(s) for s in sides)  # tuples in item-id order
        pd.testing.assert_frame_equal(rules, rules_of_copy(frequent_itemsets(baskets, min_count=1), min_confidence=0))
    assert itemsets_to_arrays(df).items.tolist() == itemsets_to_arrays(listed).items.tolist()


# ---- metrics and roundings ---------------------------------------------------------------------


def test_rule_metrics_equal_the_oracle_and_the_engine_bit_for_bit():
    # an item in every basket: conviction inf, certainty 0
    baskets = [b + ["all"] for b in labelled_baskets(5, list("abcdef"), 120, 5)]
    table = itemsets_to_arrays(frequent_itemsets(baskets, min_count=5))
    out = _engine.generate_rules(table.offsets, table.items, table.counts.astype(float), table.n_transactions, 0.0)
    ours = _tables.rule_metrics(out["count"], out["antecedent_count"], out["consequent_count"], table.n_transactions)
    for name, values in ours.items():
        np.testing.assert_array_equal(values, out[name], err_msg=name)
    sure = 0
    for i in range(len(out["count"])):
        want = rule_metrics(out["count"][i], out["antecedent_count"][i], out["consequent_count"][i], len(baskets))
        for name, value in ours.items():
            assert value[i] == pytest.approx(want[name], rel=1e-12, abs=1e-15), name
        sure += ours["confidence"][i] == 1.0
    assert sure and np.isinf(ours["conviction"][ours["confidence"] == 1.0]).all()


def test_metric_columns_in_a_given_order_equal_the_columns_gathered():
    rng = np.random.default_rng(7)
    count = rng.integers(1, 50, 5000).astype(float)
    antecedent, consequent = count + rng.integers(0, 50, 5000), count + rng.integers(0, 50, 5000)
    names = ["count", "antecedent_count", "consequent_count", "support", *_tables.RULE_METRICS]
    whole = _engine.rule_metrics(count, antecedent, consequent, 120.0, names)
    np.testing.assert_array_equal(whole["antecedent_count"], antecedent)
    order = rng.permutation(5000)[:3000]
    part = _engine.rule_metrics(count, antecedent, consequent, 120.0, names, order=order)
    assert list(part) == names
    for name in names:
        np.testing.assert_array_equal(part[name], whole[name][order], err_msg=name)
    for bad, fragment in [
        (dict(order=np.array([0, 5000])), r"order\[1\] = 5000"),
        (dict(order=np.array([-1])), r"order\[0\] = -1"),
        (dict(names=["lift", "lifts"]), "must be 'count'"),
    ]:
        kwargs = {"names": names, **bad}
        with pytest.raises(ValueError, match=fragment):
            _engine.rule_metrics(count, antecedent, consequent, 120.0, **kwargs)
    with pytest.raises(ValueError, match="differ in length"):
        _engine.rule_metrics(count, antecedent[:-1], consequent, 120.0, names)


def test_group_rows_equal_the_pairs_grouped_and_refuse_what_is_no_table():
    rng = np.random.default_rng(3)
    sizes = rng.integers(0, 40, 3000)  # rows past the short-row sort too, with repeats
    codes = rng.integers(0, 60, int(sizes.sum())).astype(np.int32)
    rank = rng.permutation(60).astype(np.int32)
    txn = np.repeat(np.arange(sizes.size), sizes)
    for ranks, ids in [(rank, rank[codes]), (None, codes)]:
        got, want = _engine.group_rows(sizes, codes, ranks), _engine.group_pairs(txn, ids, sizes.size)
        for key in ("txn_ids", "item_ids"):
            np.testing.assert_array_equal(got[key], want[key])
    for args, fragment in [
        ((np.array([2, -1]), np.zeros(1, np.int32), None), "sizes\\[1\\] = -1"),
        ((np.array([2]), np.zeros(3, np.int32), None), "add up to 2, not to the 3"),
        ((np.array([2]), np.array([0, 5], np.int32), np.arange(5, dtype=np.int32)), "codes\\[1\\] = 5"),
        ((np.array([1]), np.array([-2], np.int32), None), "codes\\[0\\] = -2"),
    ]:
        with pytest.raises(ValueError, match=fragment):
            _engine.group_rows(*args)


def test_take_cells_shares_the_cells_in_order_and_counts_their_references():
    rng = np.random.default_rng(5)
    cells = np.empty(50, dtype=object)
    cells[:] = [(f"x{i}",) for i in range(50)]
    rows, order = rng.integers(0, 50, 4000), rng.permutation(4000)[:2500]
    before = [sys.getrefcount(c) for c in cells]
    for args, want in [((rows, None), rows), ((rows, order), rows[order])]:
        got = _engine.take_cells(cells, *args)
        assert len(got) == len(want) and all(g is cells[w] for g, w in zip(got, want, strict=True))
        del got
        assert [sys.getrefcount(c) for c in cells] == before
    for args, fragment in [((np.array([0, 50]), None), r"rows\[1\] = 50"), ((rows, np.array([4000])), r"order\[0\]")]:
        with pytest.raises(ValueError, match=fragment):
            _engine.take_cells(cells, *args)
    assert [sys.getrefcount(c) for c in cells] == before


def test_rules_without_side_items_keep_the_rows_and_closed_input_keeps_its_sides():
    baskets = labelled_baskets(9, list("abcdefgh"), 200, 6)
    for target in ("all", "closed"):
        table = itemsets_to_arrays(frequent_itemsets(baskets, min_count=3, target=target))
        args = (table.offsets, table.items, table.counts.astype(float), table.n_transactions, 0.2)
        full = _engine.generate_rules(*args, input_target=target)
        lean = _engine.generate_rules(*args, input_target=target, side_items=False)
        assert len(full["count"]) > 100
        assert ("antecedent_items" in lean) == (target == "closed")
        for key, values in lean.items():
            np.testing.assert_array_equal(values, full[key], err_msg=key)


@pytest.mark.parametrize("n", [0, 1, 3, 7, 10, 97, 1000, 12345])
def test_roundings_against_exact_arithmetic(n):
    for s in [1e-6, 0.001, 0.1, 0.2, 0.3, 1 / 3, 0.5, 0.7, 1.0, 1.5]:
        c = _tables.min_count_from_support(s, n)
        if n:
            passing = [k for k in range(1, n + 1) if k / n >= s]  # the float64 test of the support column
            assert c == (passing[0] if passing else n + 1)
        else:
            assert c == 1
        assert _tables.ceil_count(s, n) == max(1, math.ceil(s * n))
    for min_count in [1, 2, 5, 17]:
        for part in range(n + 1 if n < 20 else 3):
            share = _tables.share_of_count(min_count, part, n)
            assert share == (max(1, math.ceil(Fraction(min_count * part, n))) if n else 1)
        s = _tables.engine_support(min_count, n)
        assert n == 0 or min_count > n or math.ceil(s * n) == min_count or (min_count == 1 and s == 0.0)


# ---- Arrow ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("labels", [list("abcdefgh"), [10, 3, 99, -4, 2**40, 7, 8, 0]])
def test_arrow_form_equals_the_pandas_table(labels):
    pa = pytest.importorskip("pyarrow")
    baskets = labelled_baskets(2, labels, 100, 5)
    df = frequent_itemsets(baskets, min_count=3)
    for table in (frequent_itemsets(baskets, min_count=3, output="arrow"), to_arrow(df), to_arrow(df.iloc[::-1])):
        assert isinstance(table, pa.Table) and table.column_names == list(df.columns)
        assert pa.types.is_dictionary(table.schema.field("itemset").type.value_type)
    back = frequent_itemsets(baskets, min_count=3, output="arrow").to_pandas()
    assert back["itemset"].map(tuple).tolist() == df["itemset"].tolist()
    pd.testing.assert_frame_equal(back.drop(columns="itemset"), df.drop(columns="itemset"), check_dtype=False)
    assert to_arrow(df.iloc[::-1]).column("itemset").to_pylist() == [list(t) for t in df["itemset"][::-1]]


def test_arrow_without_pyarrow_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match="Arrow output needs pyarrow"):
        frequent_itemsets([["a"]], min_count=1, output="arrow")


# ---- bad tables and bad arrays ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "offsets, items, counts, fragment",
    [
        ([0, 1, 2], [0, -1], [2, 1], "items[1] = -1 is not a label id"),
        ([1, 2, 3], [0, 1], [2, 1], "offsets must start at 0"),
        ([0, 2, 1], [0, 1], [2, 1], "must not decrease"),
        ([0, 1, 2], [0, 1], [2, np.nan], "counts[1] = nan is not a finite number"),
        ([0, 1, 2], [0, 1], [2, -1], "counts[1] = -1 is negative"),
        ([0, 1, 2], [0, 1], [2, 1.5], "not a whole number"),
        ([0, 1, 3], [0, 1, 1], [2, 1], "Row 1 holds item id 1 twice"),
        ([0, 1, 2], [0.0, 1.0], [2, 1], "items must hold integers"),
        ([0, 1], [0], [2, 1], "one entry more than counts"),
    ],
)
def test_itemsets_frame_refuses_arrays_that_are_no_table(offsets, items, counts, fragment):
    with pytest.raises(ValueError) as info:
        itemsets_frame(offsets, items, counts, ["a", "b"], 3, 1)
    assert fragment in str(info.value)


@pytest.mark.parametrize(
    "labels, fragment",
    [(["a", None], "The label list holds a missing value (None or NaN) at position 1"), (["a", np.nan], "position 1"),
     (["a", "a"], "The labels hold 'a' more than once")],
)  # fmt: skip
def test_itemsets_frame_refuses_labels_that_name_no_item(labels, fragment):
    with pytest.raises(ValueError) as info:
        itemsets_frame([0, 1, 2], [0, 1], [2, 1], labels, 3, 1)
    assert fragment in str(info.value)


@pytest.mark.parametrize("n", [np.nan, 0, -3, "10", True, 2.5, None])
def test_rules_refuse_a_table_whose_n_transactions_is_not_a_count(n):
    df = frequent_itemsets([["a", "b"], ["a"]], min_count=1)
    df.attrs["n_transactions"] = n
    with pytest.raises(ValueError, match="df.attrs\\['n_transactions'\\] must be the number of transactions"):
        association_rules(df, min_confidence=0.1)


def test_the_old_names_still_work_with_a_warning():
    import tallisk

    for name in ("ItemsetArrays", "itemsets_frame", "itemsets_to_arrays"):
        with pytest.warns(DeprecationWarning, match=f"tallisk.tables.{name}"):
            assert getattr(tallisk, name) is getattr(tallisk.tables, name)
    baskets = labelled_baskets(1, list("abcd"), 30, 3)
    with pytest.warns(DeprecationWarning, match="'depth_first'"):
        old = frequent_itemsets(baskets, min_count=2, algorithm="eclat")
    pd.testing.assert_frame_equal(old, frequent_itemsets(baskets, min_count=2, algorithm="depth_first"))
    assert isinstance(itemsets_to_arrays(old), ItemsetArrays)


# ---- the engine form's lifetime --------------------------------------------------------------


def test_the_engine_form_of_a_table_lives_as_long_as_its_frame():
    label = Hostile("held by the rows")  # an object label: the rows hold the object itself
    before = sys.getrefcount(label)
    gc.collect()  # tables earlier tests left in reference cycles go now, not during this test
    entries = len(_tables._FORMS._entries)
    df = frequent_itemsets([[label, Hostile("b")], [label]], min_count=1)
    assert len(_tables._FORMS._entries) == entries + 1 and sys.getrefcount(label) > before
    assert _tables._FORMS.recall(df["itemset"].to_numpy()) is not None  # the entry holds the very rows
    filtered = df[df["length"] == 1].copy()
    del df
    gc.collect()
    # the frame's column died with it: its entry and every row it held go too
    assert len(_tables._FORMS._entries) == entries
    assert itemsets_to_arrays(filtered).items.tolist() == [0, 1]  # read from the labels now
    del filtered
    gc.collect()
    assert sys.getrefcount(label) == before
