"""Every co-occurring pair of items with its metrics."""

from __future__ import annotations

from typing import Any

import _tallisk_rs
import numpy as np
import pandas as pd

from ._validation import MIN_COUNT, Fraction, Param, declare, min_count_from_support, not_both
from .transactions import as_transactions

__all__ = ["pair_metrics", "PAIR_COLUMNS"]

PAIR_COLUMNS = [
    "item_a",
    "item_b",
    "count",
    "support",
    "confidence",
    "lift",
    "conviction",
    "leverage",
    "cosine",
    "jaccard",
]


def engine_support(min_count: int, n: int) -> float:
    """A support s with ceil(s * n) == min_count in double precision, the cut-off the
    contract module's entries apply, so that they keep exactly the counts >= min_count."""
    if n <= 0 or min_count <= 1:
        return 0.0 if min_count <= 1 else 1.0
    s = min_count / n
    while s > 0 and np.ceil(s * n) > min_count:
        s = np.nextafter(s, 0.0)
    while np.ceil(s * n) < min_count:
        s = np.nextafter(s, 2.0)
    return float(s)


def labels_categorical(codes: np.ndarray, items: pd.Index) -> pd.Categorical:
    """Item ids as a Categorical over the item labels: the ids are the codes, so a column
    of millions of rows costs its codes plus one copy of the labels."""
    dtype = pd.CategoricalDtype(pd.Index(items, tupleize_cols=False))
    code_dtype = np.int8 if len(items) < 128 else np.int16 if len(items) < 32768 else np.int32
    return pd.Categorical.from_codes(codes.astype(code_dtype, copy=False), dtype=dtype)


#: The pair threshold: every co-occurring pair unless one is given. A pair table is
#: bounded by the data (at most the sum of squared basket sizes), unlike an itemset
#: table, so the package and the command both keep every pair by default.
PAIR_MIN_SUPPORT = Param(
    "min_support",
    Fraction(zero=True),
    none=True,
    none_unsaid=True,
    help="minimum support of a pair: a share (0.01) or 1%% (default 0)",
)


@declare(PAIR_MIN_SUPPORT, MIN_COUNT, rules=[not_both("min_support", "min_count")])
def pair_metrics(data: Any, min_support: float = 0.0, *, min_count: int | None = None) -> pd.DataFrame:
    """Every ordered pair of co-occurring items (a, b) with its metrics.

    ``data`` is a :class:`~tallisk.Transactions` or a list of baskets. Columns:
    ``item_a``, ``item_b`` (pandas Categoricals over the item labels), ``count``
    (transactions holding both, int64), ``support``, ``confidence`` (a -> b), ``lift``,
    ``conviction`` (inf when the confidence is 1), ``leverage``, ``cosine``, ``jaccard``.
    Every pair appears in both directions. Rows come by ``item_a`` in item-id order;
    for one ``item_a`` the partners come in the order the engine first meets them
    (transactions in id order, items ascending within one), the same on every run.

    ``min_support`` (a fraction in [0, 1]; 0 keeps every co-occurring pair) or
    ``min_count`` (an int >= 1) drops pairs held by fewer transactions; supports are
    shares of all transactions, empty baskets included. ``df.attrs`` holds
    ``n_transactions`` and ``min_count``.
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
        out = {k: np.zeros(0, np.int32 if k.startswith("item") else np.float64) for k in PAIR_COLUMNS}
        out["count"] = np.zeros(0, np.int64)
        raw = {"item_A": out["item_a"], "item_B": out["item_b"], "instances": out["count"]}
        raw.update({k: out[k] for k in PAIR_COLUMNS[3:]})
    else:
        raw = _tallisk_rs.rust_compute_pairs(tr.txn_ids, tr.item_ids, tr.n_items, engine_support(threshold, n_present))
    counts = np.asarray(raw["instances"], dtype=np.int64)
    frame = {
        "item_a": labels_categorical(raw["item_A"], tr.items),
        "item_b": labels_categorical(raw["item_B"], tr.items),
        "count": counts,
    }
    if n_present == n:
        for k in PAIR_COLUMNS[3:]:
            frame[k] = raw[k]
        sure = raw["confidence"] >= 1.0
        if sure.any():
            # A sure rule has infinite conviction, also when b is in every basket (0/0 in
            # the engine's formula).
            frame["conviction"] = np.where(sure, np.inf, raw["conviction"])
    else:
        frame.update(_metrics_over(counts, raw["item_A"], raw["item_B"], tr.item_counts.to_numpy(), n))
    df = pd.DataFrame(frame, copy=False)
    df.attrs["n_transactions"] = n
    df.attrs["min_count"] = threshold
    return df


def _metrics_over(count: np.ndarray, a: np.ndarray, b: np.ndarray, item_counts: np.ndarray, n: int) -> dict:
    """The seven metrics over n transactions, for data with empty baskets the engine does
    not see (they change every support, and so lift, conviction and leverage)."""
    ca = item_counts[a].astype(np.float64)
    cb = item_counts[b].astype(np.float64)
    c = count.astype(np.float64)
    s, sa, sb = c / n, ca / n, cb / n
    conf = c / ca
    with np.errstate(divide="ignore", invalid="ignore"):
        conviction = np.where(conf >= 1.0, np.inf, (1.0 - sb) / (1.0 - conf))
    return {
        "support": s,
        "confidence": conf,
        "lift": conf / sb,
        "conviction": conviction,
        "leverage": s - sa * sb,
        "cosine": c / np.sqrt(ca * cb),
        "jaccard": c / (ca + cb - c),
    }
