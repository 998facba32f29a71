"""Frequent itemsets of every size, as a labelled table."""

from __future__ import annotations

import itertools
from collections.abc import Callable
from typing import Any, NamedTuple

import _tallisk_rs
import numpy as np
import pandas as pd

from . import _engine
from ._validation import check_choice, check_int, fail, resolve_min_count
from .io._schema import restore_tuples  # noqa: F401 - it lives in the file layer now; kept importable here
from .pairs import engine_support
from .transactions import Transactions, as_transactions, factorize_labels

__all__ = [
    "ALGORITHMS",
    "ITEMSET_COLUMNS",
    "ItemsetArrays",
    "csr_tuples",
    "frequent_itemsets",
    "itemsets_frame",
    "itemsets_to_arrays",
    "restore_tuples",
]

ITEMSET_COLUMNS = ["itemset", "length", "count", "support"]
TARGETS = ("all", "closed", "maximal")

# The contract module's level-wise counters, by the name users pick them with.
_LEVEL_WISE = {
    "levelwise": "rust_compute_pipeline",
    "levelwise_roaring": "rust_compute_pipeline_v1_roaring",
    "levelwise_memo": "rust_compute_pipeline_v2_memo",
    "levelwise_adaptive": "rust_compute_pipeline_v3_adaptive",
    "levelwise_prefilter": "rust_compute_pipeline_v5_prefilter",
    "levelwise_gating": "rust_compute_pipeline_v6_gating",
}
#: Every value ``algorithm`` accepts. "eclat" is the package engine's depth-first miner,
#: "apriori" classic Apriori, the "levelwise*" names the level-wise counters; "auto"
#: picks the fastest (the engine: it beats the others on every data shape measured).
ALGORITHMS = ("auto", "eclat", "apriori", *_LEVEL_WISE)


class ItemsetArrays(NamedTuple):
    """An itemset table in engine form: row ``r`` is ``items[offsets[r]:offsets[r + 1]]``
    (ascending item ids) held by ``counts[r]`` transactions; item id ``i`` has label
    ``labels[i]``."""

    offsets: np.ndarray  # int64[m + 1]
    items: np.ndarray  # int32
    counts: np.ndarray  # int64, or float64 supports for tables without counts
    labels: pd.Index
    n_transactions: float


# ---- helpers on CSR itemset tables --------------------------------------------------------


def _rows_of_length(offsets: np.ndarray, items: np.ndarray, rows: np.ndarray, length: int) -> np.ndarray:
    """The given rows, all of ``length`` items, as an (n, length) matrix."""
    return items[offsets[rows][:, None] + np.arange(length, dtype=np.int64)]


def _row_keys(mat: np.ndarray) -> np.ndarray:
    """One fixed-width byte string per row; big-endian ids make the byte order the
    lexicographic order of the rows, so keys sort and search like the rows do."""
    width = mat.shape[1] * 4
    return np.ascontiguousarray(mat.astype(">u4")).view(f"S{width}").reshape(-1)


def _csr(levels: list[tuple[np.ndarray, np.ndarray]]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Levels (matrix of rows, counts) -> CSR offsets, items, counts."""
    levels = [(m, c) for m, c in levels if len(c)]
    if not levels:
        return np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0, np.int64)
    lengths = np.concatenate([np.full(len(c), m.shape[1], dtype=np.int64) for m, c in levels])
    offsets = np.zeros(lengths.size + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    items = np.concatenate([m.reshape(-1) for m, _ in levels]).astype(np.int32, copy=False)
    counts = np.concatenate([c for _, c in levels]).astype(np.int64, copy=False)
    return offsets, items, counts


def _canonical_order(offsets: np.ndarray, items: np.ndarray) -> list[tuple[int, np.ndarray, np.ndarray]]:
    """Rows grouped by length (ascending), each group in lexicographic order of its item
    ids: [(length, row numbers, (n, length) matrix)]."""
    lengths = np.diff(offsets)
    out = []
    for length in np.flatnonzero(np.bincount(lengths)).tolist():
        rows = np.flatnonzero(lengths == length)
        mat = _rows_of_length(offsets, items, rows, length)
        if length > 0:
            # Items ascend within a row (the engine's rows do already; others may not),
            # then sorting the rows sorts the table: one sort of fixed-width byte keys
            # rather than one pass per column.
            if length > 1 and not bool((mat[:, 1:] > mat[:, :-1]).all()):
                mat.sort(axis=1)
            order = np.argsort(_row_keys(mat), kind="stable")
            rows, mat = rows[order], mat[order]
        out.append((length, rows, mat))
    return out


def canonical_csr(offsets: np.ndarray, items: np.ndarray, counts: np.ndarray) -> tuple[np.ndarray, ...]:
    """The rows of a CSR itemset table in the order of :func:`itemsets_frame` (by length,
    then lexicographically by item id), ids ascending within each row."""
    groups = _canonical_order(offsets, items)
    if not groups:
        return offsets, items, counts
    order = np.concatenate([rows for _, rows, _ in groups])
    new_items = np.concatenate([mat.reshape(-1) for _, _, mat in groups]).astype(np.int32, copy=False)
    lengths = np.concatenate([np.full(rows.size, n, dtype=np.int64) for n, rows, _ in groups])
    new_offsets = np.zeros(lengths.size + 1, dtype=np.int64)
    np.cumsum(lengths, out=new_offsets[1:])
    return new_offsets, new_items, counts[order]


def _label_array(labels: Any) -> np.ndarray:
    """Labels as a 1-D object array of plain Python values (ints, strs, ...)."""
    if isinstance(labels, pd.Index):
        return labels.to_numpy(dtype=object)
    if isinstance(labels, np.ndarray) and labels.dtype != object:
        return labels.astype(object)
    values = list(labels)
    return np.fromiter(values, dtype=object, count=len(values))


def _tuples(label_array: np.ndarray, mat: np.ndarray) -> list[tuple]:
    return list(map(tuple, label_array[mat].tolist()))


def csr_tuples(offsets: np.ndarray, items: np.ndarray, label_array: np.ndarray) -> np.ndarray:
    """CSR rows as an object array of label tuples, in row order (built per row length,
    so the work per row is C code)."""
    lengths = np.diff(offsets)
    out = np.empty(lengths.size, dtype=object)
    for length in np.flatnonzero(np.bincount(lengths)).tolist():
        rows = np.flatnonzero(lengths == length)
        mat = _rows_of_length(offsets, items, rows, length)
        out[rows] = np.fromiter(_tuples(label_array, mat), dtype=object, count=rows.size)
    return out


def itemsets_frame(
    offsets: Any, items: Any, counts: Any, labels: Any, n_transactions: int, min_count: int, target: str = "all"
) -> pd.DataFrame:
    """The itemset table of engine output (CSR ``offsets``/``items``, ``counts``).

    Columns ``itemset`` (tuple of labels, in item-id order), ``length``, ``count``
    (int64), ``support`` (count / n_transactions, float64). Rows come by length, then in
    lexicographic order of the item ids (for labels that sort, ids follow the label
    order, so this is the order of the labels), whatever order the input has.
    ``df.attrs`` holds ``n_transactions``, ``min_count`` and ``target`` (what the rows
    are: "all", "closed" or "maximal"; association_rules reads it).
    """
    offsets = np.asarray(offsets, dtype=np.int64)
    items = np.asarray(items, dtype=np.int32)
    counts = np.asarray(counts)
    if offsets.ndim != 1 or offsets.size < 1 or counts.shape != (offsets.size - 1,):
        raise ValueError(f"offsets must have one entry more than counts; got {offsets.shape} and {counts.shape}.")
    label_array = _label_array(labels)
    groups = _canonical_order(offsets, items)
    order = np.concatenate([rows for _, rows, _ in groups]) if groups else np.zeros(0, np.int64)
    tuples = itertools.chain.from_iterable(_tuples(label_array, mat) for _, _, mat in groups)
    itemset = np.fromiter(tuples, dtype=object, count=order.size)
    length = np.concatenate([np.full(rows.size, n, dtype=np.int64) for n, rows, _ in groups]) if groups else order
    count = counts[order].astype(np.int64, copy=False)
    n = int(n_transactions)
    support = count / n if n > 0 else count.astype(np.float64)
    df = pd.DataFrame({"itemset": itemset, "length": length, "count": count, "support": support}, copy=False)
    df.attrs["n_transactions"] = n
    df.attrs["min_count"] = int(min_count)
    df.attrs["target"] = target
    return df


def itemsets_to_arrays(df: pd.DataFrame, items: Any = None) -> ItemsetArrays:
    """An itemset table (this package's, or any with an ``itemset`` column of label
    collections and a ``count`` or ``support`` column) in engine form.

    ``items`` fixes the label of every item id (e.g. ``Transactions.items``); by
    default the labels found in the table are numbered in label order. Counts come from
    ``count`` with ``n_transactions`` from ``df.attrs``; a table with supports only
    gives the supports as counts and ``n_transactions`` 1.0.
    """
    if "itemset" not in df.columns:
        col = "itemsets" if "itemsets" in df.columns else None
        if col is None:
            raise ValueError("An itemset table needs an 'itemset' column of tuples of labels.")
    else:
        col = "itemset"
    sets = df[col].tolist()
    sizes = np.fromiter(map(len, sets), dtype=np.int64, count=len(sets))
    flat = np.fromiter(itertools.chain.from_iterable(sets), dtype=object, count=int(sizes.sum()))
    if items is None:
        ids, labels = factorize_labels(flat, "The itemset column")
    else:
        labels = pd.Index(items, tupleize_cols=False)
        ids = labels.get_indexer(flat)
        if (ids < 0).any():
            raise ValueError(f"Label {flat[np.flatnonzero(ids < 0)[0]]!r} of the itemset table is not in 'items'.")
    offsets = np.zeros(sizes.size + 1, dtype=np.int64)
    np.cumsum(sizes, out=offsets[1:])
    ids = ids.astype(np.int32)
    for length in np.flatnonzero(np.bincount(sizes)).tolist():
        # Frozensets and custom label orders do not keep ids ascending within a row.
        rows = np.flatnonzero(sizes == length)
        pos = offsets[rows][:, None] + np.arange(length)
        ids[pos] = np.sort(ids[pos], axis=1)
    if "count" in df.columns and "n_transactions" in df.attrs:
        counts = df["count"].to_numpy(dtype=np.int64)
        n = float(df.attrs["n_transactions"])
    elif "support" in df.columns:
        counts = df["support"].to_numpy(dtype=np.float64)
        n = 1.0
    else:
        raise ValueError(
            "An itemset table needs a 'support' column, or a 'count' column with df.attrs['n_transactions']."
        )
    return ItemsetArrays(offsets, ids, counts, labels, n)


# ---- the weight-ranked cap ----------------------------------------------------------------


def _weights_array(tr: Transactions, item_weights: Any, func: str) -> np.ndarray:
    """Weights in item-id order (float64, NaN for items without one)."""
    if item_weights is None:
        return tr.item_counts.to_numpy().astype(np.float64)
    if isinstance(item_weights, dict | pd.Series):
        mapped = tr.items.map(item_weights)
        try:
            return np.asarray(mapped, dtype=np.float64)
        except (TypeError, ValueError):
            raise fail("item_weights", func, "a mapping of item labels to numbers", "non-numeric weights") from None
    w = np.asarray(item_weights)
    if w.ndim != 1 or w.shape[0] != tr.n_items or w.dtype.kind not in "iufb":
        raise fail(
            "item_weights",
            func,
            f"a dict or Series of weights by item label, or a 1-D array of {tr.n_items} numbers in item-id order",
            f"an array of shape {w.shape} and dtype {w.dtype}" if w.ndim else item_weights,
        )
    return w.astype(np.float64)


def cap_transactions(txn: np.ndarray, item: np.ndarray, weights: np.ndarray, cap: int) -> tuple[np.ndarray, np.ndarray]:
    """Keeps the ``cap`` heaviest items of every longer transaction: higher weight first,
    NaN below every number, then the smaller item id. Input and output sorted by
    (transaction, item)."""
    if txn.size == 0:
        return txn, item
    sizes = np.bincount(txn)
    long_rows = sizes[txn] > cap
    if not long_rows.any():
        return txn, item
    pos = np.flatnonzero(long_rows)
    t, i = txn[pos], item[pos]
    w = weights[i]
    nan = np.isnan(w)
    w = np.where(nan, 0.0, -w)
    # primary key last: transaction, numbers before NaN, heavier first, smaller id first
    order = np.lexsort((i, w, nan, t))
    t_sorted = t[order]
    starts = np.flatnonzero(np.r_[True, t_sorted[1:] != t_sorted[:-1]])
    first = np.repeat(starts, np.diff(np.r_[starts, t_sorted.size]))
    rank = np.arange(t_sorted.size) - first
    drop = pos[order[rank >= cap]]
    keep = np.ones(txn.size, dtype=bool)
    keep[drop] = False
    return txn[keep], item[keep]


# ---- miners -------------------------------------------------------------------------------


def _too_many(limit: int) -> ValueError:
    return ValueError(f"more than {limit} frequent itemsets; raise the minimum support or set max_len")


def _mine_level_by_level(
    call: Callable[[int], dict],
    first: int,
    top_from: int,
    singles: tuple[np.ndarray, np.ndarray],
    max_len: int,
    max_itemsets: int | None,
) -> list[tuple[np.ndarray, np.ndarray]]:
    """Every frequent level from a contract-module entry that reports the levels k and
    k - 1 for k = k_max: call it with k_max = first, first + 2, ... and keep each level
    once. ``top_from`` is the smallest k_max whose top level is real; below it the
    entry reports the level k_max as its lower level (the level-wise pipelines at
    k_max = 2)."""
    levels: dict[int, tuple[np.ndarray, np.ndarray]] = {1: singles}
    total = len(singles[1])
    k = first
    while max(levels) < max_len and len(levels[max(levels)][1]):
        k_eff = min(k, max_len)
        out = call(k_eff)
        got = [(k_eff - 1 if k_eff >= top_from else k_eff, out["lower_itemsets"], out["lower_counts"])]
        if k_eff >= top_from:
            got.append((k_eff, out["itemsets"], out["counts"]))
        for level, rows, counts in got:
            if level >= 1 and level not in levels:
                rows = np.asarray(rows, dtype=np.int32).reshape(len(counts), level)
                levels[level] = (np.sort(rows, axis=1), np.asarray(counts, dtype=np.int64))
                total += len(counts)
        if max_itemsets is not None and total > max_itemsets:
            raise _too_many(max_itemsets)
        if k_eff >= max_len or not len(levels[max(levels)][1]):
            break
        k = k_eff + 2
    return [levels[k] for k in sorted(levels)]


def _derive_target(levels: list[tuple[np.ndarray, np.ndarray]], target: str) -> list[tuple[np.ndarray, np.ndarray]]:
    """Closed or maximal sets among every frequent set: a set is closed when no superset
    one item longer has its count, maximal when no superset one item longer is frequent
    (by downward closure the longer supersets need not be checked)."""
    if target == "all":
        return levels
    out = []
    for j, (mat, counts) in enumerate(levels):
        keep = np.ones(len(counts), dtype=bool)
        if j + 1 < len(levels) and len(counts) and len(levels[j + 1][1]):
            sup_mat, sup_counts = levels[j + 1]
            keys = _row_keys(mat)
            order = np.argsort(keys, kind="stable")
            sorted_keys = keys[order]
            width = mat.shape[1] + 1
            for drop in range(width):
                sub = np.delete(sup_mat, drop, axis=1)
                sub_keys = _row_keys(sub)
                at = np.searchsorted(sorted_keys, sub_keys)
                at = np.minimum(at, sorted_keys.size - 1)
                found = sorted_keys[at] == sub_keys
                rows = order[at[found]]
                if target == "maximal":
                    keep[rows] = False
                else:
                    equal = sup_counts[found] == counts[rows]
                    keep[rows[equal]] = False
        out.append((mat[keep], counts[keep]))
    return out


def _mine(
    tr_txn: np.ndarray,
    tr_item: np.ndarray,
    n_items: int,
    threshold: int,
    min_len: int,
    max_len: int | None,
    target: str,
    algorithm: str,
    max_itemsets: int | None,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    if algorithm in ("auto", "eclat"):
        out = _engine.mine_itemsets(
            tr_txn, tr_item, n_items, threshold, min_len=min_len, max_len=max_len, target=target,
            max_itemsets=max_itemsets,
        )  # fmt: skip
        return out["offsets"], out["items"], out["counts"]
    counts1 = np.bincount(tr_item, minlength=n_items).astype(np.int64)
    frequent = np.flatnonzero(counts1 >= threshold).astype(np.int32)
    singles = (frequent.reshape(-1, 1), counts1[frequent])
    longest = max(int(np.bincount(tr_txn).max()) if tr_txn.size else 1, 1)
    # Closed and maximal are judged against the whole lattice; one level above max_len
    # is enough to judge the reported ones (see _derive_target).
    cap_len = longest if max_len is None else min(longest, max_len + (target != "all"))
    n_present = int(np.count_nonzero(np.bincount(tr_txn))) if tr_txn.size else 0
    s = engine_support(threshold, n_present)
    no_weights = np.zeros(0, dtype=np.float64)
    if len(frequent) == 0 or cap_len < 2:
        levels = [singles]
    elif algorithm == "apriori":

        def call(k: int) -> dict:
            return _tallisk_rs.rust_classic_compute_pipeline(tr_txn, tr_item, k, n_items, n_present, s, no_weights)

        levels = _mine_level_by_level(call, 2, 1, singles, cap_len, max_itemsets if target == "all" else None)
    else:
        entry = getattr(_tallisk_rs, _LEVEL_WISE[algorithm])

        def call(k: int) -> dict:
            return entry(tr_txn, tr_item, k, n_items, s, no_weights)

        # k_max = 2 reports the pairs as its lower level only
        levels = _mine_level_by_level(call, 3, 3, singles, cap_len, max_itemsets if target == "all" else None)
    levels = _derive_target(levels, target)
    levels = [lv for lv in levels if min_len <= lv[0].shape[1] <= (max_len or lv[0].shape[1])]
    offsets, items, counts = _csr(levels)
    if max_itemsets is not None and counts.size > max_itemsets:
        raise _too_many(max_itemsets)
    return offsets, items, counts


def frequent_itemsets(
    data: Any,
    min_support: float | None = None,
    *,
    min_count: int | None = None,
    min_len: int = 1,
    max_len: int | None = None,
    target: str = "all",
    algorithm: str = "auto",
    max_items_per_txn: int | None = None,
    item_weights: Any = None,
    max_itemsets: int | None = None,
) -> pd.DataFrame:
    """Every frequent itemset of ``min_len`` to ``max_len`` items.

    ``data``: a :class:`~tallisk.Transactions` or a list of baskets. Give exactly one of
    ``min_support`` (a fraction of the transactions in (0, 1]; an itemset is frequent when
    ``count / n_transactions >= min_support``) and ``min_count`` (a number of
    transactions >= 1). ``target`` "closed" keeps the sets no proper superset has the
    same count of, "maximal" those without a frequent proper superset; both are judged
    among all frequent sets, ``min_len`` and ``max_len`` only choose the lengths shown.

    ``algorithm`` picks the miner (see ``ALGORITHMS``); every one gives the same table.

    ``max_items_per_txn`` keeps only the heaviest ``max_items_per_txn`` items of longer
    transactions before mining: by ``item_weights`` (a dict or Series by item label, or
    an array in item-id order; items without a weight and NaN weights rank below every
    number; default: the item's transaction count), ties to the smaller item id.
    Supports stay shares of all transactions.

    ``max_itemsets`` stops with a ValueError when the table would hold more rows.

    Returns the table of :func:`itemsets_frame`: columns ``itemset`` (tuple of labels in
    item-id order), ``length``, ``count``, ``support``; rows by length, then
    lexicographically by item id; ``df.attrs``: ``n_transactions``, ``min_count``,
    ``target``.
    """
    func = "frequent_itemsets"
    tr = as_transactions(data, func)
    threshold = resolve_min_count(min_support, min_count, tr.n_transactions, func)
    min_len = check_int(min_len, "min_len", func, low=1)
    max_len = check_int(max_len, "max_len", func, low=min_len, allow_none=True)
    check_choice(target, "target", func, TARGETS)
    check_choice(algorithm, "algorithm", func, ALGORITHMS)
    max_itemsets = check_int(max_itemsets, "max_itemsets", func, low=1, allow_none=True)
    cap = check_int(max_items_per_txn, "max_items_per_txn", func, low=1, allow_none=True)
    txn, item = tr.txn_ids, tr.item_ids
    if cap is not None:
        weights = _weights_array(tr, item_weights, func)
        txn, item = cap_transactions(txn, item, weights, cap)
    elif item_weights is not None:
        raise fail("item_weights", func, "None unless 'max_items_per_txn' is set", "a weight table")
    offsets, items, counts = _mine(txn, item, tr.n_items, threshold, min_len, max_len, target, algorithm, max_itemsets)
    return itemsets_frame(offsets, items, counts, tr.items, tr.n_transactions, threshold, target)
