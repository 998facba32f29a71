"""Every co-occurring pair of items with its metrics."""

from __future__ import annotations

from typing import Any

import _tallisk_rs
import numpy as np
import pandas as pd

from ._tables import PAIR_METRICS, engine_support, labels_categorical, min_count_from_support, rule_metrics
from ._validation import MIN_COUNT, Fraction, Param, declare, not_both
from .transactions import as_transactions

__all__ = ["pair_metrics", "PAIR_COLUMNS"]

PAIR_COLUMNS = ["item_a", "item_b", "count", *PAIR_METRICS]


#: The pair threshold: every co-occurring pair unless one is given. A pair table is
#: bounded by the data (at most the sum of squared basket sizes), unlike an itemset
#: table, so the package and the command both keep every pair by default.
PAIR_MIN_SUPPORT = Param(
    "min_support",
    Fraction(zero=True),
    none=True,
    none_unsaid=True,
    help="minimum support of a pair: a share of the transactions (0.01) or a percentage (1%)",
)


@declare(PAIR_MIN_SUPPORT, MIN_COUNT, rules=[not_both("min_support", "min_count")])
def pair_metrics(data: Any, min_support: float = 0.0, *, min_count: int | None = None) -> pd.DataFrame:
    """Every ordered pair of co-occurring items (a, b) with its metrics.

    Parameters
    ----------
    data : Transactions or iterable of baskets
        The transactions.
    min_support : float, default 0.0
        A fraction in [0, 1]: pairs held by a smaller share of the transactions are
        dropped (0 keeps every co-occurring pair). Supports are shares of all
        transactions, empty baskets included.
    min_count : int, optional
        Instead of ``min_support``: the least number of transactions holding a pair.

    Returns
    -------
    DataFrame
        Columns ``item_a``, ``item_b`` (pandas Categoricals over the item labels),
        ``count`` (transactions holding both, int64), ``support``, ``confidence``
        (a -> b), ``lift``, ``conviction`` (inf when the confidence is 1, also when b is
        in every basket), ``leverage``, ``cosine``, ``jaccard``: the metrics of the rule
        a -> b. Every pair appears in both directions. Rows come by ``item_a`` in item-id
        order; for one ``item_a`` the partners come in the order the engine first meets
        them (transactions in id order, items ascending within one), the same on every
        run. ``df.attrs`` holds ``n_transactions`` and ``min_count``.

    Raises
    ------
    InvalidParameterError
        For a threshold outside its range, or both thresholds given.

    Examples
    --------
    >>> import tallisk
    >>> df = tallisk.pair_metrics([["tea", "milk"], ["tea"], ["tea", "milk"]])
    >>> df[["item_a", "item_b", "count", "confidence"]].to_dict("records")
    [{'item_a': 'milk', 'item_b': 'tea', 'count': 2, 'confidence': 1.0}, \
{'item_a': 'tea', 'item_b': 'milk', 'count': 2, 'confidence': 0.6666666666666666}]
    """
    func = "pair_metrics"
    tr = as_transactions(data, func)
    n = tr.n_transactions
    if min_count is not None:
        threshold = min_count
    elif not min_support:
        threshold = 1
    else:
        threshold = min_count_from_support(min_support, n)
    # The engine's transactions are the non-empty ones; its cut-off is relative to them.
    n_present = int(np.count_nonzero(tr.basket_sizes.to_numpy())) if n else 0
    if threshold > n_present:
        a = b = np.zeros(0, np.int32)
        counts = np.zeros(0, np.int64)
    else:
        # The counts are the contract module's; the metrics are computed here, over every
        # transaction and with the package's conviction convention.
        raw = _tallisk_rs.rust_compute_pairs(tr.txn_ids, tr.item_ids, tr.n_items, engine_support(threshold, n_present))
        a, b = raw["item_A"], raw["item_B"]
        counts = np.asarray(raw["instances"], dtype=np.int64)
    item_counts = tr.item_counts.to_numpy()
    frame: dict[str, Any] = {
        "item_a": labels_categorical(a, tr.items),
        "item_b": labels_categorical(b, tr.items),
        "count": counts,
    }
    frame.update(rule_metrics(counts, item_counts[a], item_counts[b], n, PAIR_METRICS))
    df = pd.DataFrame(frame, copy=False)
    df.attrs["n_transactions"] = n
    df.attrs["min_count"] = threshold
    return df
