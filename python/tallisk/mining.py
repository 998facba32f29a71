"""Frequent itemsets of every size, as a labelled table."""

from __future__ import annotations

from typing import Any, cast

import numpy as np
import pandas as pd

from . import _engine
from ._tables import (
    ITEMSET_COLUMNS,
    TARGETS,
    ItemsetArrays,
    Target,
    itemsets_frame,
    itemsets_to_arrays,
    min_count_from_support,
    table_arrow,
    table_frame,
    without_items,
)
from ._validation import (
    EXCLUDE,
    MAX_ITEMSETS,
    MAX_LEN,
    MIN_COUNT,
    MIN_LEN,
    MIN_SUPPORT,
    ONE_THRESHOLD,
    Int,
    Options,
    Param,
    Weights,
    declare,
    fail,
    only_with,
)
from .io._schema import restore_tuples  # noqa: F401 - it lives in the file layer now; kept importable here
from .transactions import Transactions, as_transactions

__all__ = [
    "ALGORITHMS",
    "ITEMSET_COLUMNS",
    "ItemsetArrays",
    "frequent_itemsets",
    "itemsets_frame",
    "itemsets_to_arrays",
    "restore_tuples",
]

#: Every value ``algorithm`` accepts: "depth_first" is the package engine's depth-first
#: miner, "apriori" classic level-wise Apriori, and "auto" picks the fastest (the
#: engine: it beats Apriori on every data shape measured).
ALGORITHMS = ("auto", "depth_first", "apriori")
# Names that meant something once: the package engine was called "eclat" (a name the
# contract module's own Eclat miner has), and the contract module's level-wise counters
# were choices too; those remain for benchmarks through _tallisk_rs itself.
_RENAMED = {"eclat": "depth_first"}
_REMOVED = (
    "levelwise",
    "levelwise_roaring",
    "levelwise_memo",
    "levelwise_adaptive",
    "levelwise_prefilter",
    "levelwise_gating",
)
OUTPUTS = ("pandas", "arrow")


#: The algorithm choice: a renamed value still works with a DeprecationWarning, a removed
#: one gets an error saying why.
ALGORITHM = Param(
    "algorithm",
    Options(
        ALGORITHMS,
        renamed=_RENAMED,
        removed=dict.fromkeys(
            _REMOVED,
            "The level-wise counters are no longer choices of the package; every algorithm gives the same table, "
            "and the counters remain available through the _tallisk_rs module for benchmarks.",
        ),
    ),
    help="the miner; every one gives the same table",
)


# ---- the weight-ranked cap ----------------------------------------------------------------


def _weights_array(tr: Transactions, item_weights: Any, func: str) -> np.ndarray:
    """Weights in item-id order (float64, NaN for items without one)."""
    if item_weights is None:
        return tr.item_counts.to_numpy().astype(np.float64)
    if isinstance(item_weights, dict | pd.Series):
        mapped = tr.items.map(cast(Any, item_weights))
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


def mine(
    tr_txn: np.ndarray,
    tr_item: np.ndarray,
    n_items: int,
    threshold: int,
    min_len: int = 1,
    max_len: int | None = None,
    target: Target = "all",
    algorithm: str = "auto",
    max_itemsets: int | None = None,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The frequent sets of occurrence arrays as CSR (offsets, items, counts), ids
    ascending within a row, rows in canonical order (by length, then by item ids)."""
    out = _engine.mine_itemsets(
        tr_txn, tr_item, n_items, threshold, min_len=min_len, max_len=max_len, target=target,
        max_itemsets=max_itemsets, order="canonical", algorithm="apriori" if algorithm == "apriori" else "depth_first",
    )  # fmt: skip
    return out["offsets"], out["items"], out["counts"]


@declare(
    MIN_SUPPORT,
    MIN_COUNT,
    MIN_LEN,
    MAX_LEN,
    Param("target", Options(TARGETS), help="all frequent sets, or only the closed or the maximal ones"),
    ALGORITHM,
    Param("max_items_per_txn", Int(1), none=True, help="keep only the N heaviest items of longer transactions"),
    Param("item_weights", Weights(), none=True),
    MAX_ITEMSETS,
    Param("output", Options(OUTPUTS), help="the table's form: a pandas DataFrame or a pyarrow Table"),
    EXCLUDE,
    rules=[ONE_THRESHOLD, only_with("item_weights", "max_items_per_txn")],
)
def frequent_itemsets(
    data: Any,
    min_support: float | None = None,
    *,
    min_count: int | None = None,
    min_len: int = 1,
    max_len: int | None = None,
    target: Target = "all",
    algorithm: str = "auto",
    max_items_per_txn: int | None = None,
    item_weights: Any = None,
    max_itemsets: int | None = None,
    output: str = "pandas",
    exclude: Any = None,
) -> Any:
    """Every frequent itemset of ``min_len`` to ``max_len`` items.

    Parameters
    ----------
    data : Transactions or iterable of baskets
        The transactions; a list of baskets (lists, tuples or sets of labels) is read
        with :meth:`Transactions.from_baskets`.
    min_support : float, optional
        A fraction of the transactions in (0, 1]: an itemset is frequent when
        ``count / n_transactions >= min_support``. Give exactly one of ``min_support``
        and ``min_count``.
    min_count : int, optional
        A number of transactions >= 1.
    min_len, max_len : int, optional
        The lengths shown (``max_len`` None: no limit).
    target : {"all", "closed", "maximal"}, default "all"
        "closed" keeps the sets no proper superset has the same count of, "maximal"
        those without a frequent proper superset; both are judged among all frequent
        sets, ``min_len`` and ``max_len`` only choose the lengths shown.
    algorithm : {"auto", "depth_first", "apriori"}, default "auto"
        The miner; every one gives the same table. "depth_first" is the package
        engine ("auto" picks it), "apriori" classic level-wise Apriori. "eclat", the
        engine's old name, still works with a DeprecationWarning.
    max_items_per_txn : int, optional
        Keep only the heaviest ``max_items_per_txn`` items of longer transactions
        before mining: by ``item_weights``, ties to the smaller item id. Supports stay
        shares of all transactions.
    item_weights : dict, Series or array, optional
        With ``max_items_per_txn``: weights by item label, or an array in item-id
        order; items without a weight and NaN weights rank below every number.
        Default: the item's transaction count.
    max_itemsets : int, optional
        Stop with a ValueError when the table would hold more rows.
    output : {"pandas", "arrow"}, default "pandas"
        "arrow" returns a ``pyarrow.Table`` of the same columns, ``itemset`` as a
        list of dictionary-encoded labels built without per-row work (for
        pandas-with-Arrow and polars users; needs pyarrow).
    exclude : collection of labels, optional
        Labels that appear in no itemset: they leave the transactions before mining
        (before ``max_items_per_txn`` ranks what is left); supports stay shares of all
        transactions. Labels that are not items are ignored.

    Returns
    -------
    DataFrame or pyarrow.Table
        Columns ``itemset`` (tuple of labels in item-id order), ``length``, ``count``
        (int64), ``support`` (float64); rows by length, then lexicographically by item
        id (label order for labels that sort); ``df.attrs`` (Arrow: JSON schema
        metadata under b"tallisk"): ``n_transactions``, ``min_count``, ``target``.

    Raises
    ------
    InvalidParameterError
        For a parameter outside its range (a ValueError and a TypeError).
    ValueError
        When more than ``max_itemsets`` sets are frequent.
    ImportError
        For ``output="arrow"`` without pyarrow.

    Examples
    --------
    >>> import tallisk
    >>> df = tallisk.frequent_itemsets([["tea", "milk"], ["tea"], ["tea", "milk"]], min_count=2)
    >>> df["itemset"].tolist(), df["count"].tolist()
    ([('milk',), ('tea',), ('milk', 'tea')], [2, 3, 2])
    """
    func = "frequent_itemsets"
    tr = as_transactions(data, func)
    # the declaration saw to it that exactly one of the two is given
    threshold = (
        min_count if min_count is not None else min_count_from_support(cast(float, min_support), tr.n_transactions)
    )
    txn, item = tr.txn_ids, tr.item_ids
    if exclude is not None:
        txn, item = without_items(txn, item, tr.items, exclude)
    if max_items_per_txn is not None:
        txn, item = cap_transactions(txn, item, _weights_array(tr, item_weights, func), max_items_per_txn)
    offsets, items, counts = mine(txn, item, tr.n_items, threshold, min_len, max_len, target, algorithm, max_itemsets)
    table = ItemsetArrays(offsets, items, counts, tr.items, float(tr.n_transactions))
    if output == "arrow":
        return table_arrow(table, threshold, target)
    return table_frame(table, threshold, target)
