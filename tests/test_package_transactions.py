"""Transactions and the one-hot reader: every input form against a plain-Python model."""

from collections import Counter

import numpy as np
import pandas as pd
import pytest
from helpers import labelled_baskets, long_frame
from tallisk import _engine, transactions
from tallisk._onehot import onehot_codes
from tallisk._validation import InvalidParameterError, resolve_min_count
from tallisk.transactions import Transactions, as_transactions


def model(baskets):
    """Baskets -> (sorted labels, {label: count}, sizes, set of (txn, label))."""
    sets = [set(b) for b in baskets]
    labels = sorted(set().union(*sets)) if sets else []
    counts = Counter(x for s in sets for x in s)
    return labels, counts, [len(s) for s in sets], {(t, x) for t, s in enumerate(sets) for x in s}


def check_against_model(tr, baskets):
    labels, counts, sizes, pairs = model(baskets)
    assert list(tr.items) == labels
    assert tr.n_transactions == len(baskets) and tr.n_items == len(labels)
    assert tr.item_counts.to_dict() == {x: counts[x] for x in labels}
    assert tr.basket_sizes.tolist() == sizes
    got = set(zip(tr.txn_ids.tolist(), np.asarray(tr.items, dtype=object)[tr.item_ids].tolist(), strict=True))
    assert got == pairs and len(got) == tr.txn_ids.size  # each pair once
    key = tr.txn_ids * max(tr.n_items, 1) + tr.item_ids
    assert (np.diff(key) > 0).all()  # sorted by transaction, then item
    assert tr.txn_ids.dtype == np.int64 and tr.item_ids.dtype == np.int32


def onehot_frame(baskets):
    labels = sorted(set().union(*map(set, baskets)))
    return pd.DataFrame([[x in b for x in labels] for b in baskets], columns=labels)


def random_baskets(seed, empty=True):
    return labelled_baskets(seed, [f"item{j}" for j in range(12)], 60, max_size=5, p=0.15, empty=empty)


@pytest.mark.parametrize("seed", [0, 1])
def test_every_input_form_gives_the_same_transactions(seed):
    sp = pytest.importorskip("scipy.sparse")
    baskets = random_baskets(seed, empty=False)
    df = long_frame(baskets)
    oh = onehot_frame(baskets)
    number = df["order"].str.removeprefix("order-").astype(np.int64)
    forms = {
        "long": Transactions.from_long(df, transaction="order", item="product"),
        "long, two columns": Transactions.from_long(df),
        "arrays": Transactions.from_long(df["order"].to_numpy(), df["product"].tolist()),
        "keywords": Transactions.from_long(transaction=df["order"], item=df["product"]),
        "categorical items": Transactions.from_long(df.astype({"product": "category"}), "order", "product"),
        # integer orders that ascend come grouped (runs, no hashing); falling ones do not
        "ascending numbers": Transactions.from_long(df.assign(order=number * 3 + 7), "order", "product"),
        "falling numbers": Transactions.from_long(df.assign(order=-number), "order", "product"),
        "lists": Transactions.from_baskets(baskets),
        "sets": Transactions.from_baskets(map(set, baskets)),
        "tuples, generator": Transactions.from_baskets(tuple(b) for b in baskets),
        "onehot bool": Transactions.from_onehot(oh),
        "onehot 0/1": Transactions.from_onehot(oh.astype(np.int8)),
        "onehot sparse": Transactions.from_onehot(oh.astype(pd.SparseDtype(bool, False))),
        "onehot mixed": Transactions.from_onehot(oh.astype({oh.columns[0]: pd.SparseDtype(np.uint8, 0)})),
        "shuffled columns": Transactions.from_onehot(oh[oh.columns[::-1]]),
        "numpy": Transactions.from_onehot(oh.to_numpy(), columns=oh.columns),
        "csr": Transactions.from_onehot(sp.csr_matrix(oh.to_numpy()), columns=oh.columns),
        "coo array": Transactions.from_onehot(sp.coo_array(oh.to_numpy().astype(float)), columns=list(oh.columns)),
    }
    for name, tr in forms.items():
        check_against_model(tr, baskets)
        assert tr.equals(forms["lists"]), name
    assert list(forms["ascending numbers"].transactions) == (np.unique(number) * 3 + 7).tolist()


def test_empty_baskets_and_the_summary():
    baskets = random_baskets(3)
    assert [] in baskets
    tr = Transactions.from_baskets(baskets)
    check_against_model(tr, baskets)
    assert Transactions.from_onehot(onehot_frame(baskets)).equals(tr)
    assert tr.to_baskets() == [sorted(set(b)) for b in baskets]
    # long form has no way to say "empty": only transactions with an item exist
    assert Transactions.from_long(long_frame(baskets)).n_transactions == sum(map(bool, baskets))
    s = tr.summary(top=3)
    _, counts, sizes, pairs = model(baskets)
    assert s.n_occurrences == len(pairs)
    assert s.most_frequent.tolist() == sorted(counts.values(), reverse=True)[:3]
    assert s.size_distribution.to_dict() == dict(sorted(Counter(sizes).items()))
    assert s.size_stats["mean"] == pytest.approx(np.mean(sizes))
    assert "most frequent items" in str(s)


@pytest.mark.parametrize(
    "baskets",
    [
        [[3, 10, 7], [10], [-5, 3], [2**40]],  # integers that are not 0 … n-1
        [["", "x"], [""], ["日本", "x", "🍞"]],  # empty string, unicode
        [[(1, "a"), (2, "b")], [(1, "a")]],  # tuples as labels
        [[1.5, 2.25], [2.25]],
        [[True, False], [True]],
        [[1, 1.0, True], [2.0, 1], [2]],  # equal as dict keys: one label each
        [[("a", 1), ("a", 1.0)], [frozenset({1}), frozenset({1.0})], [b"x", "x"]],
        [["b", 2], [1, "a"], [2, "b", "b"]],  # labels that do not compare, a repeated label
        [[np.str_("tea"), "tea", "té"], ["t\u00e9", "茶", "🍵"], ["🍵", np.str_("茶")]],  # text of every width
        # texts about as long as a hash slot keeps, and enough of them that the table grows
        [["abcdef", "abcdefg", "日本語", "日本語の"], ["abcdefg", "日本語の"], [f"{i:05d}" for i in range(300)]],
    ],
)
def test_awkward_labels_are_factorised_as_dict_keys_and_round_trip(baskets):
    tr = Transactions.from_baskets(baskets)
    labels = list(dict.fromkeys(x for b in baskets for x in b))  # as dict keys: hash, then ==, first appearance
    try:
        labels = sorted(labels)
    except TypeError:  # labels that do not compare keep the order they first appear in
        assert list(tr.items) == labels
    else:
        check_against_model(tr, baskets)
    back = tr.to_baskets()
    assert [set(b) for b in back] == [set(b) for b in baskets] and sum(map(len, back)) == tr.n_occurrences
    assert Transactions.from_long(long_frame(baskets), "order", "product").equals(tr)


@pytest.mark.parametrize("missing", [None, float("nan"), np.nan, pd.NA, pd.NaT, np.float64("nan")])
def test_a_missing_label_is_refused_naming_its_basket(missing):
    with pytest.raises(ValueError, match="A basket holds a missing value \\(None or NaN\\) at basket 2"):
        Transactions.from_baskets([["a"], [], ["b", missing], [missing]])
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        Transactions.from_baskets([["a"], [["b"]]])


@pytest.mark.parametrize("names", [["t", "t"], ["t", "i", "t"], ["t", "t", "t"]])
def test_from_long_refuses_duplicated_column_names(names):
    df = pd.DataFrame(np.arange(2 * len(names)).reshape(2, -1), columns=names)
    with pytest.raises(ValueError, match="The transaction column 't' appears more than once"):
        Transactions.from_long(df, transaction="t", item=names[1])
    if len(names) == 2:
        with pytest.raises(ValueError, match="appears more than once"):
            Transactions.from_long(df)


def test_categoricals_keep_category_order_and_drop_unused_categories():
    cats = pd.CategoricalDtype(["zeta", "unused", "alpha", "mid"], ordered=False)
    df = pd.DataFrame({"t": [1, 1, 2, 2, 3], "i": pd.Series(["alpha", "zeta", "mid", "zeta", "alpha"], dtype=cats)})
    tr = Transactions.from_long(df, "t", "i")
    assert list(tr.items) == ["zeta", "alpha", "mid"]
    assert tr.item_counts.tolist() == [2, 2, 1]
    assert [sorted(b) for b in tr.to_baskets()] == [["alpha", "zeta"], ["mid", "zeta"], ["alpha"]]


@pytest.mark.parametrize(
    "orders, items",
    [
        ([10, 10, 20, 35, 35, 35], list("ababcb")),
        ([35, 35, 10, 20, 10, 35], list("ababcb")),
        ([-3, -3, 0, 2**40, 2**40, 2**40], list("ababcb")),
        (["x", "y", "x", "x", 7], [1, 1, 1, 2, 1]),  # labels that do not sort, a repeated row
    ],
)
def test_transaction_labels_keep_first_appearance_order(orders, items):
    tr = Transactions.from_long(pd.Series(orders), items)
    by_order = {}
    for o, x in zip(orders, items, strict=True):
        by_order.setdefault(o, set()).add(x)
    assert list(tr.transactions) == list(by_order)
    assert tr.basket_sizes.to_dict() == {o: len(b) for o, b in by_order.items()}
    assert tr.n_occurrences == sum(map(len, by_order.values()))
    assert tr.equals(Transactions.from_baskets(list(by_order.values())))


@pytest.mark.parametrize(
    "build, error, fragment",
    [
        (
            lambda: Transactions.from_long(pd.DataFrame({"t": [1, np.nan], "i": ["a", "b"]}), "t", "i"),
            ValueError,
            "transaction column 't' holds a missing value (None or NaN) at row 1",
        ),
        (
            lambda: Transactions.from_long(pd.DataFrame({"t": [1, 2], "i": pd.Categorical(["a", None])}), "t", "i"),
            ValueError,
            "item column 'i' holds a missing value (None or NaN) at row 1",
        ),  # the categorical path
        (lambda: Transactions.from_long([1, 2, 3], ["a", "b"]), ValueError, "differ in length: 3 and 2"),
        (lambda: Transactions.from_long(pd.DataFrame({"a": [1], "b": [2], "c": [3]})), ValueError, "Name the columns"),
        (lambda: Transactions.from_long(pd.DataFrame({"a": [1], "b": [2]}), "a", "x"), KeyError, "'x'"),
        (lambda: Transactions.from_long(np.zeros((2, 2)), np.zeros((2, 2))), ValueError, "1-dimensional"),
        (lambda: Transactions.from_baskets([["a"], "bc"]), TypeError, "Basket 1 is a str"),
        (lambda: Transactions.from_baskets([["a"], 5]), TypeError, "Basket 1 is a int"),
        (lambda: Transactions.from_baskets(pd.DataFrame({"a": [1]})), TypeError, "from_long"),
        (lambda: Transactions.from_onehot(np.ones(3)), ValueError, "2-dimensional"),
        (lambda: Transactions.from_onehot(np.ones((2, 2)), columns=["a"]), ValueError, "1 labels but the data has 2"),
        (lambda: Transactions.from_onehot([[1, 0]]), TypeError, "got list"),
        (lambda: Transactions._from_codes([0, 3], [0, 0], ["a"], 3), ValueError, "txn_codes[1] = 3"),
        (lambda: Transactions._from_codes([0, 1], [0, -1], ["a"], 3), ValueError, "item_codes[1] = -1"),
        (lambda: as_transactions(pd.DataFrame({"a": [1]}), "frequent_itemsets"), TypeError, "from_onehot(df)"),
        (lambda: Transactions(), TypeError, "from_long"),
    ],
)
def test_bad_input_gives_a_clear_error(build, error, fragment):
    with pytest.raises(error) as info:
        build()
    assert fragment in str(info.value)


@pytest.mark.parametrize(
    "columns, fragment",
    [
        ({"a": [0, 2]}, "holds 2"),
        ({"a": [0.0, np.nan]}, "holds nan"),
        ({"a": ["x", "y"]}, "column 'a' holds 'x'"),
        ({"a": pd.array([True, None], dtype="boolean")}, "column 'a'"),
        ({"b": [1, 0, 0], "a": pd.arrays.SparseArray([0, 2, 0])}, "column 'a' holds 2"),
        ({"b": [True, False], "a": [2, 0]}, "column 'a' holds 2"),
    ],
)
def test_onehot_cells_other_than_true_and_false_are_refused_naming_the_column(columns, fragment):
    with pytest.raises(ValueError) as info:
        Transactions.from_onehot(pd.DataFrame(columns))
    assert fragment in str(info.value)


def test_from_codes_dedups_and_keeps_the_item_list():
    tr = Transactions._from_codes(np.array([2, 0, 2, 0]), np.array([1, 0, 1, 2]), ["a", "b", "c", "never"], 4)
    assert tr.n_items == 4 and tr.item_counts.tolist() == [1, 1, 1, 0]
    assert tr.to_baskets() == [["a", "c"], [], ["b"], []]
    n = 70_000  # n_transactions * n_items > 2**32: the dedup key must not wrap
    tr = Transactions._from_codes([n - 1, 0, n - 1, n - 1], [n - 2, 5, n - 2, 3], range(n), n)
    assert tr.txn_ids.tolist() == [0, n - 1, n - 1] and tr.item_ids.tolist() == [5, 3, n - 2]


def test_onehot_codes_of_sparse_input_with_explicit_zeros_and_duplicates():
    sp = pytest.importorskip("scipy.sparse")
    # an explicit 0 is not an item; an entry given twice is one cell
    m = sp.coo_matrix((np.array([1, 0, 1, 1]), (np.array([1, 0, 1, 2]), np.array([2, 1, 2, 0]))), shape=(4, 3))
    txn, item, n_rows, cols = onehot_codes(m)
    assert txn.tolist() == [1, 2] and item.tolist() == [2, 0] and n_rows == 4 and list(cols) == [0, 1, 2]
    # a sparse column whose fill value is True is read densely
    col = pd.arrays.SparseArray([True, False, True], fill_value=True)
    txn, item, n_rows, _ = onehot_codes(pd.DataFrame({"a": col, "b": [False, True, False]}))
    assert list(zip(txn.tolist(), item.tolist(), strict=True)) == [(0, 0), (1, 1), (2, 0)]


def test_onehot_cells_of_dense_input_in_either_memory_order_equal_nonzero():
    rng = np.random.default_rng(11)
    for shape in [(0, 4), (5, 0), (1, 13), (13, 1), (257, 37), (3000, 90)]:
        mask = rng.random(shape) < 0.05
        mask[:, :1] |= shape[1] > 0 and rng.random((shape[0], 1)) < 0.5  # a run of set bytes
        rows, cols = np.nonzero(mask)
        for layout in (np.ascontiguousarray(mask), np.asfortranarray(mask), mask.astype(np.int8)):
            for data in (layout, pd.DataFrame(layout, columns=[f"c{j}" for j in range(shape[1])])):
                txn, item, n_rows, _ = onehot_codes(data)
                assert n_rows == shape[0]
                np.testing.assert_array_equal(txn, rows)
                np.testing.assert_array_equal(item, cols)
    with pytest.raises(ValueError, match="5 cells are not a 2 x 3 matrix"):
        _engine.true_cells(np.ones(5, np.bool_), 2, 3)


# ---- thresholds -------------------------------------------------------------------------


# NaN and strings are walked in test_declarations; here the hints, range words and the pair rule.
@pytest.mark.parametrize(
    "min_support, min_count, error_fragment",
    [
        (5, None, "Got 5 instead. (Did you mean a percentage? Use min_support=0.05.)"),
        (0, None, "must be a float in the range (0.0, 1.0]. Got 0 instead."),
        (-0.1, None, "cannot be negative"),
        (True, None, "Got True instead"),
        (None, None, "exactly one of 'min_support'"),
        (0.1, 3, "both were given"),
        (None, 0, "The 'min_count' parameter of f must be an int in the range [1, inf]. Got 0 instead."),
        (None, 0.5, "Did you mean a fraction? Use min_support=0.5."),
        (None, 3.0, "Use min_count=3."),
    ],
)
def test_bad_thresholds(min_support, min_count, error_fragment):
    with pytest.raises(ValueError) as info:
        resolve_min_count(min_support, min_count, 100, "f")
    assert isinstance(info.value, InvalidParameterError) and isinstance(info.value, TypeError)
    assert error_fragment in str(info.value)


@pytest.mark.parametrize(
    "dtype, pieces", [(object, 1), ("string[python]", 1), ("string[pyarrow]", 1), ("string[pyarrow]", 3)]
)
def test_string_columns_of_every_storage(dtype, pieces, monkeypatch):
    if dtype == "string[pyarrow]":
        pytest.importorskip("pyarrow")
    if pieces > 1:  # a long Arrow column is encoded a piece per thread and the pieces merged
        monkeypatch.setattr(transactions, "ARROW_PIECE_ROWS", 4)
        monkeypatch.setattr(transactions._engine, "get_num_threads", lambda: pieces)
    baskets = random_baskets(9, empty=False)
    df = long_frame(baskets)
    # transactions in order of first appearance, items in label order: both survive the pieces
    tr = Transactions.from_long(df.astype(dtype), "order", "product")
    assert tr.equals(Transactions.from_baskets(baskets))
    bad = df.assign(product=pd.Series(["x", None] + ["y"] * (len(df) - 2), dtype=dtype))
    with pytest.raises(ValueError, match=r"item column 'product' holds a missing value \(None or NaN\) at row 1"):
        Transactions.from_long(bad, "order", "product")
