"""The package's one table layer: itemset tables in engine form and as labelled frames.

An itemset table in engine form is CSR: row ``r`` is the set of item ids
``items[offsets[r]:offsets[r + 1]]`` (ascending), held by ``counts[r]`` transactions,
and item id ``i`` has label ``labels[i]``. Every face of the package (the analyst
functions, the mlxtend drop-in, Dask, the command) builds and reads its tables here:

* the canonical row order (by length, then lexicographically by item id) and the
  checks a table from elsewhere must pass;
* taking rows;
* the label materialiser: the ``itemset`` / ``antecedent`` / ``consequent`` object
  columns, built natively from the CSR (tuples, or frozensets for the drop-in), and the
  Categorical columns of item labels;
* the engine form of the tables this package built, found again from their itemset
  column, so that rules do not re-encode tuples the package made itself;
* the metric formulas of rules and pairs, with one conviction convention (infinite
  when the confidence is 1, also for an item in every basket);
* the conversion of a minimum support into a minimum count, in each of the roundings
  the faces need, and the cut-off the contract module's entries apply.

Work whose cost grows with the rows runs natively (``tallisk._engine``) or as whole-array
NumPy operations; nothing here loops over rows in Python.
"""

from __future__ import annotations

import json
import math
import weakref
from typing import Any, Literal, NamedTuple

import numpy as np
import pandas as pd

from . import _engine

__all__ = [
    "ITEMSET_COLUMNS",
    "PAIR_METRICS",
    "RULE_METRICS",
    "TARGETS",
    "ItemsetArrays",
    "canonical_order",
    "ceil_count",
    "engine_support",
    "excluded_ids",
    "without_items",
    "itemsets_frame",
    "itemsets_to_arrays",
    "label_array",
    "label_rows",
    "labels_categorical",
    "min_count_from_support",
    "rule_metrics",
    "share_of_count",
    "take_rows",
    "to_arrow",
]

ITEMSET_COLUMNS = ["itemset", "length", "count", "support"]
#: What the rows of an itemset table are: every frequent set, or the closed or maximal ones.
Target = Literal["all", "closed", "maximal"]
TARGETS: tuple[Target, ...] = ("all", "closed", "maximal")
#: The metric columns of a rule table, in table order.
RULE_METRICS = [
    "confidence",
    "lift",
    "leverage",
    "conviction",
    "zhangs_metric",
    "jaccard",
    "certainty",
    "kulczynski",
    "cosine",
]
#: The metric columns of a pair table (a pair (a, b) is the rule a -> b), in table order.
PAIR_METRICS = ["support", "confidence", "lift", "conviction", "leverage", "cosine", "jaccard"]


# ---- minimum support -> minimum count -------------------------------------------------------


def min_count_from_support(min_support: float, n_transactions: int) -> int:
    """The smallest count ``c >= 1`` with ``c / n >= min_support``, tested in float64 as the
    support column is computed, so that the rows kept are exactly those whose support
    reaches the threshold.

    Parameters
    ----------
    min_support : float
        A share of the transactions.
    n_transactions : int
        The number of transactions ``n``.

    Returns
    -------
    int
        The minimum count; ``n + 1`` when no count reaches ``min_support`` (it is above
        1), and 1 when there are no transactions.

    Examples
    --------
    >>> min_count_from_support(0.3, 10), min_count_from_support(0.1, 3)
    (3, 1)
    """
    n = int(n_transactions)
    if n <= 0:
        return 1
    s = float(min_support)
    c = min(max(math.ceil(s * n), 1), n + 1)
    # ceil(s * n) can be one off either way against the c / n >= s test.
    while c > 1 and (c - 1) / n >= s:
        c -= 1
    while c <= n and c / n < s:
        c += 1
    return c


def ceil_count(min_support: float, n_transactions: int) -> int:
    """``ceil(min_support * n)`` in float64, at least 1: the count the classic tree miners
    (mlxtend's FP-trees and H-Mine) compare against, which can be one above
    :func:`min_count_from_support` when the product rounds up past an integer.

    Examples
    --------
    >>> ceil_count(0.28, 25), min_count_from_support(0.28, 25)  # 0.28 * 25 is 7.000000000000001
    (8, 7)
    """
    return max(math.ceil(float(min_support) * n_transactions), 1)


def share_of_count(min_count: int, n_part: int, n_transactions: int) -> int:
    """The smallest integer count ``c >= 1`` with ``c >= min_count * n_part / n``, in exact
    integer arithmetic: a set frequent in the whole data is frequent at this count in at
    least one of the parts it is cut into (1 when there are no transactions).

    Examples
    --------
    >>> share_of_count(10, 3, 7)
    5
    """
    if n_transactions <= 0:
        return 1
    return max(1, -(-int(min_count) * int(n_part) // int(n_transactions)))


def engine_support(min_count: int, n: int) -> float:
    """A support ``s`` with ``ceil(s * n) == min_count`` in float64: the cut-off the contract
    module's entries apply, so that they keep exactly the counts ``>= min_count`` of
    ``n`` transactions."""
    if n <= 0 or min_count <= 1:
        return 0.0 if min_count <= 1 else 1.0
    s = min_count / n
    while s > 0 and np.ceil(s * n) > min_count:
        s = np.nextafter(s, 0.0)
    while np.ceil(s * n) < min_count:
        s = np.nextafter(s, 2.0)
    return float(s)


# ---- metrics -----------------------------------------------------------------------------------


def rule_metrics(
    count: Any,
    antecedent_count: Any,
    consequent_count: Any,
    n_transactions: float,
    names: Any = None,
    order: np.ndarray | None = None,
) -> dict[str, np.ndarray]:
    """The metrics of rules A -> C from the counts of A and C together, of A and of C among
    ``n_transactions``, computed natively by the engine's own function (so that tables built
    here and by the engine agree bit for bit), on the worker pool.

    ``conviction`` is infinite when the confidence is 1, also when C is in every
    transaction; ``zhangs_metric`` and ``certainty`` are 0 where their denominator is 0.

    Parameters
    ----------
    count, antecedent_count, consequent_count : array-like
        Counts (or supports, with ``n_transactions`` 1.0), one per rule.
    n_transactions : float
        The number of transactions.
    names : list of str, optional
        The metrics wanted, from ``support`` and :data:`RULE_METRICS`; default all of them.
    order : array of int64, optional
        The rules to compute, in this order (default: every rule in turn): the columns of a
        sorted table, each written once.

    Returns
    -------
    dict of str to ndarray
        float64 arrays by metric name, in the order of ``names``.

    Examples
    --------
    >>> m = rule_metrics([2], [2], [4], 4)
    >>> float(m["confidence"][0]), float(m["conviction"][0])
    (1.0, inf)
    """
    wanted = ["support", *RULE_METRICS] if names is None else list(names)
    return _engine.rule_metrics(_floats(count), _floats(antecedent_count), _floats(consequent_count),
                                float(n_transactions), wanted, order=order)  # fmt: skip


def _floats(values: Any) -> np.ndarray:
    return np.ascontiguousarray(values, dtype=np.float64).reshape(-1)


# ---- labels ----------------------------------------------------------------------------------


#: Below this many labels every one is converted for a table, whatever rows it has.
_FEW_LABELS = 1024


def label_array(labels: Any) -> np.ndarray:
    """Labels as a 1-D contiguous object array of plain Python values (ints, strs, ...)."""
    if isinstance(labels, pd.Index):
        out = labels.to_numpy(dtype=object)
    elif isinstance(labels, np.ndarray) and labels.dtype != object:
        out = labels.astype(object)
    elif isinstance(labels, np.ndarray):
        out = labels
    else:
        values = list(labels)
        out = np.empty(len(values), dtype=object)
        out[:] = values
    out = out.reshape(-1)
    return out if out.flags.c_contiguous else np.ascontiguousarray(out)


def label_rows(
    offsets: np.ndarray, items: np.ndarray, labels: Any, kind: Literal["tuple", "frozenset"] = "tuple"
) -> np.ndarray:
    """The CSR rows as an object array of tuples (or frozensets) of their labels, built
    natively: row ``r`` holds ``labels[items[offsets[r]:offsets[r + 1]]]`` in that order.

    Examples
    --------
    >>> label_rows(np.array([0, 2, 3]), np.array([1, 0, 1], np.int32), ["a", "b"]).tolist()
    [('b', 'a'), ('b',)]
    """
    items = np.ascontiguousarray(items, dtype=np.int32)
    if len(labels) > 4 * items.size + _FEW_LABELS:
        # A small table over many labels (the top rules among 16 000 products): only the
        # labels its rows use become Python objects, not every one of them.
        used, inverse = np.unique(items, return_inverse=True)
        if used.size == 0 or (used[0] >= 0 and used[-1] < len(labels)):  # else the engine names the bad id
            items = inverse.astype(np.int32).reshape(-1)
            labels = labels[used] if isinstance(labels, pd.Index) else label_array(labels)[used]
    return _engine.label_rows(np.ascontiguousarray(offsets, dtype=np.int64), items, label_array(labels), kind)


def excluded_ids(labels: Any, exclude: Any) -> np.ndarray:
    """The ids (int32, ascending) of the labels in ``exclude`` among ``labels``; labels that
    are not among them are left out, as they are in no itemset anyway.

    Examples
    --------
    >>> excluded_ids(pd.Index(["a", "b", "c"]), ["c", "zz", "a"]).tolist()
    [0, 2]
    """
    values = label_array(list(exclude))
    if not values.size:
        return np.zeros(0, dtype=np.int32)
    ids = pd.Index(labels, tupleize_cols=False).get_indexer(values)
    return np.unique(ids[ids >= 0]).astype(np.int32)


def without_items(txn_ids: np.ndarray, item_ids: np.ndarray, labels: Any, exclude: Any) -> tuple[np.ndarray, ...]:
    """The occurrences (transaction, item) of every item but those labelled in ``exclude``."""
    gone = np.zeros(len(labels), dtype=bool)
    gone[excluded_ids(labels, exclude)] = True
    keep = ~gone[item_ids]
    return txn_ids[keep], item_ids[keep]


def labels_categorical(codes: np.ndarray, labels: pd.Index) -> pd.Categorical:
    """Item ids as a Categorical over the item labels: the ids are the codes, so a column
    of millions of rows costs its codes plus one copy of the labels."""
    dtype = pd.CategoricalDtype(pd.Index(labels, tupleize_cols=False))
    code_dtype = np.int8 if len(labels) < 128 else np.int16 if len(labels) < 32768 else np.int32
    return pd.Categorical.from_codes(np.asarray(codes).astype(code_dtype, copy=False), dtype=dtype)


# ---- the CSR table -----------------------------------------------------------------------------


class ItemsetArrays(NamedTuple):
    """An itemset table in engine form: row ``r`` is ``items[offsets[r]:offsets[r + 1]]``
    (ascending item ids) held by ``counts[r]`` transactions; item id ``i`` has label
    ``labels[i]``."""

    offsets: np.ndarray  # int64[m + 1]
    items: np.ndarray  # int32
    counts: np.ndarray  # int64, or float64 supports for tables without counts
    labels: pd.Index
    n_transactions: float

    @property
    def lengths(self) -> np.ndarray:
        """The number of items of every row (int64)."""
        return np.diff(self.offsets)

    def take(self, rows: np.ndarray) -> ItemsetArrays:
        """The given rows of the table, in that order.

        Parameters
        ----------
        rows : array-like of int or bool
            Row positions, or a boolean mask with one value per row.

        Returns
        -------
        ItemsetArrays
            The rows' sets and counts; the labels and ``n_transactions`` as they were.

        Raises
        ------
        IndexError
            For a position outside the table.
        ValueError
            For positions that are not integers.

        Examples
        --------
        >>> from tallisk.tables import itemsets_to_arrays
        >>> a = itemsets_to_arrays(tallisk.frequent_itemsets([["tea", "milk"], ["tea"]], min_count=1))
        >>> pairs = a.take(a.lengths == 2)
        >>> pairs.offsets.tolist(), pairs.items.tolist(), pairs.counts.tolist(), list(pairs.labels)
        ([0, 2], [0, 1], [1], ['milk', 'tea'])
        """
        rows = np.asarray(rows)
        rows = np.flatnonzero(rows) if rows.dtype == bool else rows.astype(np.int64, copy=False)
        offsets, items = take_rows(self.offsets, self.items, rows)
        return self._replace(offsets=offsets, items=items, counts=self.counts[rows])


def take_rows(offsets: np.ndarray, items: np.ndarray, rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """CSR rows ``rows`` (int positions) of a CSR table, in that order."""
    starts = offsets[rows]
    lengths = offsets[rows + 1] - starts
    new_offsets = np.zeros(rows.size + 1, dtype=np.int64)
    np.cumsum(lengths, out=new_offsets[1:])
    index = np.repeat(starts - new_offsets[:-1], lengths) + np.arange(new_offsets[-1], dtype=np.int64)
    return new_offsets, items[index]


def _length_groups(lengths: np.ndarray) -> list[tuple[int, np.ndarray]]:
    """[(length, rows of that length in row order)] for every length present, ascending."""
    if lengths.size == 0:
        return []
    # one stable pass (a radix sort for 16-bit keys) instead of one scan per length
    small = lengths.max(initial=0) < 2**16
    order = np.argsort(lengths.astype(np.uint16) if small else lengths, kind="stable")
    sorted_lengths = lengths[order]
    cuts = np.flatnonzero(np.diff(sorted_lengths)) + 1
    bounds = np.r_[0, cuts, order.size]
    return [(int(sorted_lengths[b]), order[b:e]) for b, e in zip(bounds[:-1], bounds[1:], strict=True)]


def _row_matrix(offsets: np.ndarray, items: np.ndarray, rows: np.ndarray, length: int) -> np.ndarray:
    """The given rows, all of ``length`` items, as an (n, length) matrix."""
    return items[offsets[rows][:, None] + np.arange(length, dtype=np.int64)]


def _lex_order(mat: np.ndarray, bits: int) -> np.ndarray:
    """The stable order of the rows of an id matrix, lexicographically: the ids are packed
    into as few 64-bit keys as hold them (``bits`` bits an id), one sort per key."""
    per_key = max(1, 64 // bits)
    keys = []
    for start in range(0, mat.shape[1], per_key):
        block = mat[:, start : start + per_key].astype(np.uint64)
        key = np.zeros(mat.shape[0], dtype=np.uint64)
        for j in range(block.shape[1]):
            key <<= np.uint64(bits)
            key |= block[:, j]
        keys.append(key)
    if len(keys) == 1:
        return np.argsort(keys[0], kind="stable")
    return np.lexsort(keys[::-1])


def canonical_order(offsets: np.ndarray, items: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The canonical row order of a CSR table: by length, then lexicographically by item
    id, with ids ascending within every row (equal rows keep their order).

    Parameters
    ----------
    offsets, items : ndarray
        The CSR table (int64 offsets, int32 non-negative ids).

    Returns
    -------
    order : ndarray
        int64 positions of the old rows in the new order.
    offsets, items : ndarray
        The table in that order.

    Raises
    ------
    IndexError
        For offsets that point past the end of ``items``. The arrays are not checked
        otherwise (they are the engine's own): ids must be non-negative and offsets
        non-decreasing from 0.

    Examples
    --------
    >>> from tallisk.tables import canonical_order
    >>> order, off, it = canonical_order(np.array([0, 2, 3]), np.array([5, 1, 7], np.int32))
    >>> order.tolist(), off.tolist(), it.tolist()
    ([1, 0], [0, 1, 3], [7, 1, 5])
    """
    lengths = np.diff(offsets)
    bits = max(1, int(items.max(initial=0)).bit_length())
    orders, blocks = [], []
    for length, rows in _length_groups(lengths):
        mat = _row_matrix(offsets, items, rows, length)
        if length > 1 and not bool((mat[:, 1:] > mat[:, :-1]).all()):
            mat.sort(axis=1)
        if length > 0:
            order = _lex_order(mat, bits)
            rows, mat = rows[order], mat[order]
        orders.append(rows)
        blocks.append(mat.reshape(-1))
    if not orders:
        return np.zeros(0, np.int64), offsets.astype(np.int64, copy=False), items.astype(np.int32, copy=False)
    order = np.concatenate(orders).astype(np.int64, copy=False)
    new_offsets = np.zeros(order.size + 1, dtype=np.int64)
    np.cumsum(lengths[order], out=new_offsets[1:])
    return order, new_offsets, np.concatenate(blocks).astype(np.int32, copy=False)


# ---- the engine form of the package's own tables ---------------------------------------------


class _EngineForms:
    """The engine form of every itemset table this package built and that is still alive,
    found again from a table's itemset column by the identity of its cells.

    Each entry holds its own array of the row objects (so a cell replaced in the frame
    later is not mistaken for the row it replaced, and no other object can take a row's
    address while the entry lives) and is dropped when the frame's column array dies.
    A column whose every cell is one of those rows (the table as it was, or filtered,
    sorted, copied) is that table's rows, which need no encoding; any other column is
    encoded from its labels.
    """

    def __init__(self) -> None:
        self._entries: dict[int, tuple[np.ndarray, ItemsetArrays]] = {}
        self._refs: dict[int, weakref.ref] = {}

    def remember(self, column: np.ndarray, table: ItemsetArrays, rows: np.ndarray) -> None:
        """Keeps ``rows`` (the row objects of ``column``, in an array of its own) with the
        table until ``column`` dies."""
        key = id(column)

        def forget(_: Any, key: int = key) -> None:
            self._entries.pop(key, None)
            self._refs.pop(key, None)

        self._refs[key] = weakref.ref(column, forget)
        self._entries[key] = (rows, table)

    def recall(self, cells: np.ndarray) -> ItemsetArrays | None:
        """The engine form of a column of cells (rows in the column's order), or None."""
        cells = np.ascontiguousarray(cells)
        if cells.dtype != object or cells.ndim != 1 or cells.size == 0:
            return None
        for reference, table in reversed(list(self._entries.values())):
            rows = _engine.cell_rows(cells, reference)
            if rows.size and rows.min() < 0:
                continue
            if rows.size == table.counts.size and bool((rows == np.arange(rows.size)).all()):
                return table
            return table.take(rows)
        return None


_FORMS = _EngineForms()


# ---- checks ------------------------------------------------------------------------------------


def _int_array(values: Any, name: str) -> np.ndarray:
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be 1-dimensional; got shape {arr.shape}.")
    if arr.size and arr.dtype.kind not in "iu":
        raise ValueError(f"{name} must hold integers; got dtype {arr.dtype}.")
    return arr


def check_csr(offsets: Any, items: Any, counts: Any, n_labels: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A CSR itemset table from elsewhere, checked: ValueError naming what is wrong.

    ``offsets`` (m + 1 integers from 0, non-decreasing, ending at ``len(items)``),
    ``items`` (integer ids of labels, ``0 <= id < n_labels``), ``counts`` (m finite
    non-negative numbers). Returns int64 offsets, int32 items and the counts as given.
    """
    offsets = _int_array(offsets, "offsets").astype(np.int64, copy=False)
    items = _int_array(items, "items")
    counts = np.asarray(counts)
    if offsets.size < 1 or counts.shape != (offsets.size - 1,):
        raise ValueError(
            f"offsets must have one entry more than counts; got {offsets.shape[0]} offsets and counts of shape "
            f"{counts.shape}."
        )
    if offsets[0] != 0:
        raise ValueError(f"offsets must start at 0; got {offsets[0]}.")
    if offsets.size > 1 and bool((offsets[1:] < offsets[:-1]).any()):
        bad = int(np.flatnonzero(offsets[1:] < offsets[:-1])[0]) + 1
        raise ValueError(f"offsets must not decrease; offsets[{bad}] = {offsets[bad]} < {offsets[bad - 1]}.")
    if offsets[-1] != items.size:
        raise ValueError(f"offsets must end at len(items) = {items.size}; got {offsets[-1]}.")
    if items.size and (items.min() < 0 or items.max() >= n_labels):
        bad = int(np.flatnonzero((items < 0) | (items >= n_labels))[0])
        raise ValueError(f"items[{bad}] = {items[bad]} is not a label id (0 .. {n_labels - 1}).")
    if counts.dtype.kind not in "iuf" and counts.size:
        raise ValueError(f"counts must be numbers; got dtype {counts.dtype}.")
    if counts.dtype.kind == "f" and counts.size and not bool(np.isfinite(counts).all()):
        bad = int(np.flatnonzero(~np.isfinite(counts))[0])
        raise ValueError(f"counts[{bad}] = {counts[bad]} is not a finite number.")
    if counts.size and counts.min() < 0:
        bad = int(np.flatnonzero(counts < 0)[0])
        raise ValueError(f"counts[{bad}] = {counts[bad]} is negative.")
    return offsets, items.astype(np.int32, copy=False), counts


def check_labels(labels: Any) -> pd.Index:
    """The labels of a table from elsewhere as an Index: ValueError for a missing label
    (refused as everywhere in the package) or a label given twice (two ids, one name)."""
    from .transactions import missing_error

    index = labels if isinstance(labels, pd.Index) else pd.Index(label_array(labels), tupleize_cols=False)
    missing = np.flatnonzero(pd.isna(index.to_numpy(dtype=object))) if len(index) else np.zeros(0, np.int64)
    if missing.size:
        raise missing_error("The label list", f"position {int(missing[0])}")
    if index.has_duplicates:
        raise ValueError(
            f"The labels hold {index[index.duplicated()][0]!r} more than once; each item id needs a label of its own."
        )
    return index


def _check_no_repeats(offsets: np.ndarray, items: np.ndarray) -> None:
    """ValueError when a row (ids ascending) holds an id twice: a set holds each item once."""
    if items.size < 2:
        return
    starts = np.zeros(items.size, dtype=bool)
    starts[offsets[:-1][np.diff(offsets) > 0]] = True
    repeated = (items[1:] == items[:-1]) & ~starts[1:]
    if repeated.any():
        pos = int(np.flatnonzero(repeated)[0]) + 1
        row = int(np.searchsorted(offsets, pos, side="right")) - 1
        raise ValueError(f"Row {row} holds item id {items[pos]} twice; an itemset holds each item once.")


def check_n_transactions(value: Any, has_rows: bool) -> float:
    """``df.attrs["n_transactions"]`` of a table with counts: a number of transactions,
    positive when the table has rows. ValueError otherwise."""
    ok = isinstance(value, int | float | np.integer | np.floating) and not isinstance(value, bool | np.bool_)
    if ok:
        n = float(value)
        ok = math.isfinite(n) and n >= 0 and n.is_integer() and (n > 0 or not has_rows)
    if not ok:
        raise ValueError(
            f"The table's df.attrs['n_transactions'] must be the number of transactions (an int >= 1 for a table "
            f"with rows); got {value!r}. Give the table its count (e.g. df.attrs['n_transactions'] = len(data)), or "
            "drop the 'count' column to use the 'support' column instead."
        )
    return n


# ---- frames ------------------------------------------------------------------------------------


def table_frame(table: ItemsetArrays, min_count: int, target: Target) -> pd.DataFrame:
    """The labelled itemset frame of a table in engine form whose rows are trusted: each
    set once, ids in range and ascending within rows, rows in canonical order."""
    # The rows' own array is made with the column, while each row is still in the cache.
    itemset, rows = _engine.label_rows(
        np.ascontiguousarray(table.offsets, dtype=np.int64),
        np.ascontiguousarray(table.items, dtype=np.int32),
        label_array(table.labels),
        twin=True,
    )
    count = table.counts.astype(np.int64, copy=False)
    n = int(table.n_transactions)
    support = count / n if n > 0 else count.astype(np.float64)
    df = pd.DataFrame({"itemset": itemset, "length": table.lengths, "count": count, "support": support}, copy=False)
    df.attrs["n_transactions"] = n
    df.attrs["min_count"] = int(min_count)
    df.attrs["target"] = target
    _FORMS.remember(itemset, table._replace(counts=count), rows)
    return df


def itemsets_frame(
    offsets: Any, items: Any, counts: Any, labels: Any, n_transactions: int, min_count: int, target: Target = "all"
) -> pd.DataFrame:
    """The labelled itemset table of a CSR table (from the engine or elsewhere).

    Parameters
    ----------
    offsets : array-like of int
        ``m + 1`` row bounds, from 0, non-decreasing, ending at ``len(items)``.
    items : array-like of int
        Item ids: row ``r`` is ``items[offsets[r]:offsets[r + 1]]``, in any order, each
        id at most once per row.
    counts : array-like
        The number of transactions holding each row's set (``m`` non-negative integers).
    labels : sequence
        The label of every item id.
    n_transactions : int
        The number of transactions the counts are out of.
    min_count : int
        The minimum count the table was mined with (recorded in ``df.attrs``).
    target : {"all", "closed", "maximal"}, default "all"
        What the rows are (recorded in ``df.attrs``; :func:`~tallisk.association_rules`
        reads it).

    Returns
    -------
    DataFrame
        Columns ``itemset`` (tuple of labels, in item-id order), ``length``, ``count``
        (int64) and ``support`` (``count / n_transactions``, float64). Rows by length,
        then lexicographically by item id (for labels that sort, the ids follow the
        label order), whatever the input order. ``df.attrs`` holds ``n_transactions``,
        ``min_count`` and ``target``.

    Raises
    ------
    ValueError
        For arrays that do not make a table (see the parameters): offsets that do not
        start at 0 or decrease, an id outside the labels, a repeated id in a row, a
        count that is NaN, negative or not a whole number.

    Examples
    --------
    >>> df = itemsets_frame([0, 1, 3], [1, 1, 0], [5, 3], ["tea", "milk"], 10, 3)
    >>> df["itemset"].tolist(), df["count"].tolist()
    ([('milk',), ('tea', 'milk')], [5, 3])
    """
    labels = check_labels(labels)
    offsets, items, counts = check_csr(offsets, items, counts, len(labels))
    if counts.dtype.kind == "f":
        if counts.size and not bool((counts == np.round(counts)).all()):
            bad = int(np.flatnonzero(counts != np.round(counts))[0])
            raise ValueError(f"counts[{bad}] = {counts[bad]} is not a whole number of transactions.")
        counts = counts.astype(np.int64)
    order, offsets, items = canonical_order(offsets, items)
    _check_no_repeats(offsets, items)
    table = ItemsetArrays(offsets, items, counts.astype(np.int64, copy=False)[order], labels, float(n_transactions))
    return table_frame(table, min_count, target)


def _itemset_column(df: pd.DataFrame) -> str:
    for col in ("itemset", "itemsets"):
        if col in df.columns:
            return col
    raise ValueError("An itemset table needs an 'itemset' column of tuples of labels.")


def _encode(cells: np.ndarray, items: Any) -> tuple[np.ndarray, np.ndarray, pd.Index]:
    """Label collections -> CSR (ids ascending within rows) and the labels."""
    from .transactions import factorize_baskets

    sizes, ids, labels = factorize_baskets(cells, "The itemset column", "row")
    if items is not None:
        wanted = pd.Index(items, tupleize_cols=False)
        remap = wanted.get_indexer(labels)
        if (remap < 0).any():
            raise ValueError(f"Label {labels[np.flatnonzero(remap < 0)[0]]!r} of the itemset table is not in 'items'.")
        ids, labels = remap[ids], wanted
    offsets = np.zeros(sizes.size + 1, dtype=np.int64)
    np.cumsum(sizes, out=offsets[1:])
    # Ids ascending within each row (frozensets and custom label orders do not keep
    # them so); a row that loses an id on the way held a label twice.
    rows = np.repeat(np.arange(sizes.size, dtype=np.int64), sizes)
    grouped = _engine.group_pairs(rows, ids.astype(np.int32, copy=False), sizes.size)
    if grouped["item_ids"].size != ids.size:
        kept = np.bincount(grouped["txn_ids"], minlength=sizes.size)
        row = int(np.flatnonzero(kept != sizes)[0])
        raise ValueError(f"Row {row} of the itemset table holds a label twice; an itemset holds each item once.")
    return offsets, grouped["item_ids"], labels


def itemsets_to_arrays(df: pd.DataFrame, items: Any = None) -> ItemsetArrays:
    """An itemset table in engine form.

    Parameters
    ----------
    df : DataFrame
        A table of this package, or any with an ``itemset`` (or mlxtend's ``itemsets``)
        column of label collections and a ``count`` column with
        ``df.attrs["n_transactions"]``, or a ``support`` column.
    items : sequence, optional
        The label of every item id (e.g. ``Transactions.items``). By default the
        labels found in the table, numbered in label order; for a table this package
        made (as it came, or filtered, sorted or copied), the labels it was mined with.

    Returns
    -------
    ItemsetArrays
        Rows in the table's order, ids ascending within each row. Counts from ``count``
        with ``n_transactions`` from ``df.attrs``; a table with supports only gives the
        supports as counts and ``n_transactions`` 1.0.

    Raises
    ------
    ValueError
        For a table without the columns above, a label not in ``items``, a row holding a
        label twice, or ``df.attrs["n_transactions"]`` that is not a number of
        transactions.

    Examples
    --------
    >>> df = pd.DataFrame({"itemset": [("b",), ("a", "b")], "support": [0.5, 0.25]})
    >>> arrays = itemsets_to_arrays(df)
    >>> arrays.offsets.tolist(), arrays.items.tolist(), list(arrays.labels)
    ([0, 1, 3], [1, 0, 1], ['a', 'b'])
    """
    return read_itemsets(df, items)[0]


def read_itemsets(df: pd.DataFrame, items: Any = None) -> tuple[ItemsetArrays, np.ndarray | None]:
    """:func:`itemsets_to_arrays`, and the table's itemset cells when they are rows this
    package made from the same ids (found by identity), else None."""
    col = _itemset_column(df)
    if "count" in df.columns and "n_transactions" in df.attrs:
        counts = df["count"].to_numpy()
        n = check_n_transactions(df.attrs["n_transactions"], len(df) > 0)
        if counts.size and (counts.dtype.kind not in "iuf" or not bool(np.isfinite(counts).all())):
            raise ValueError("The 'count' column must hold numbers of transactions.")
        counts = counts.astype(np.int64, copy=False)
    elif "support" in df.columns:
        counts = df["support"].to_numpy(dtype=np.float64)
        n = 1.0
    else:
        raise ValueError(
            "An itemset table needs a 'support' column, or a 'count' column with df.attrs['n_transactions']."
        )
    cells = df[col].to_numpy()
    own = _FORMS.recall(cells)
    if own is not None and (items is None or own.labels.equals(pd.Index(items, tupleize_cols=False))):
        return own._replace(counts=counts, n_transactions=n), cells
    offsets, ids, labels = _encode(cells, items)
    return ItemsetArrays(offsets, ids, counts, labels, n), None


# ---- Arrow -------------------------------------------------------------------------------------


def _pyarrow() -> Any:
    try:
        import pyarrow as pa
    except ImportError:
        raise ImportError("Arrow output needs pyarrow: pip install pyarrow (or 'tallisk[parquet]').") from None
    return pa


def arrow_labels(offsets: np.ndarray, items: np.ndarray, labels: Any) -> Any:
    """CSR rows as an Arrow ``large_list<dictionary<int32, label>>`` array: the offsets and
    ids are handed over as they are, the labels converted once."""
    pa = _pyarrow()
    values = label_array(labels)
    try:
        dictionary = pa.array(values)
    except (pa.ArrowInvalid, pa.ArrowTypeError) as exc:
        raise ValueError(f"The item labels cannot be an Arrow column (labels of one type are needed): {exc}") from None
    ids = pa.DictionaryArray.from_arrays(pa.array(np.ascontiguousarray(items, dtype=np.int32)), dictionary)
    return pa.LargeListArray.from_arrays(pa.array(np.ascontiguousarray(offsets, dtype=np.int64)), ids)


def table_arrow(table: ItemsetArrays, min_count: int, target: Target) -> Any:
    """The Arrow form of a table in canonical order: the columns of the itemset frame,
    ``itemset`` as a list of dictionary-encoded labels, ``df.attrs`` as JSON schema
    metadata under b"tallisk"."""
    pa = _pyarrow()
    count = table.counts.astype(np.int64, copy=False)
    n = int(table.n_transactions)
    support = count / n if n > 0 else count.astype(np.float64)
    attrs = {"n_transactions": n, "min_count": int(min_count), "target": target}
    return pa.table(
        {
            "itemset": arrow_labels(table.offsets, table.items, table.labels),
            "length": pa.array(table.lengths),
            "count": pa.array(count),
            "support": pa.array(support),
        },
        metadata={b"tallisk": json.dumps(attrs).encode()},
    )


def to_arrow(df: pd.DataFrame) -> Any:
    """An itemset table as a ``pyarrow.Table`` whose itemset column is a list of
    dictionary-encoded labels, built from the table's engine form without per-row work.

    Parameters
    ----------
    df : DataFrame
        An itemset table from :func:`~tallisk.frequent_itemsets`, or any table
        :func:`itemsets_to_arrays` reads.

    Returns
    -------
    pyarrow.Table
        The frame's columns in its row order, the itemset column as
        ``large_list<dictionary<int32, label>>`` (labels in item-id order, ids ascending
        within a row); ``df.attrs`` as JSON in the schema metadata under ``b"tallisk"``.

    Raises
    ------
    ImportError
        Without pyarrow.
    ValueError
        For labels Arrow cannot hold in one column (mixed types), and for a table
        :func:`itemsets_to_arrays` cannot read.

    Examples
    --------
    >>> import tallisk
    >>> from tallisk.tables import to_arrow
    >>> t = to_arrow(tallisk.frequent_itemsets([["a", "b"], ["a"]], min_count=1))
    >>> t.column("itemset").to_pylist()
    [['a'], ['b'], ['a', 'b']]
    """
    pa = _pyarrow()
    col = _itemset_column(df)
    arrays = itemsets_to_arrays(df)
    rest = pa.Table.from_pandas(df.drop(columns=[col]), preserve_index=False)
    table = rest.add_column(0, col, arrow_labels(arrays.offsets, arrays.items, arrays.labels))
    attrs = {k: v for k, v in df.attrs.items() if isinstance(v, int | float | str)}
    return table.replace_schema_metadata({b"tallisk": json.dumps(attrs).encode()})
