"""Association rules A -> C from an itemset table or straight from transactions."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from . import _engine
from ._validation import (
    MAX_LEN,
    MIN_COUNT,
    MIN_SUPPORT,
    Fraction,
    Int,
    InvalidParameterError,
    Labels,
    Options,
    Param,
    Real,
    declare,
    resolve_min_count,
    together,
)
from .mining import _label_array, _mine, canonical_csr, csr_tuples, itemsets_to_arrays
from .transactions import as_transactions

__all__ = ["association_rules", "RULE_COLUMNS", "RULE_METRICS"]

#: The metric columns, in table order.
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
RULE_COLUMNS = [
    "antecedent",
    "consequent",
    "antecedent_support",
    "consequent_support",
    "support",
    "count",
    *RULE_METRICS,
]
# The engine's result keys, for building an empty result without it.
_RAW_DTYPES = {
    "antecedent_offsets": np.int64,
    "consequent_offsets": np.int64,
    "antecedent_items": np.int32,
    "consequent_items": np.int32,
    "rule_row": np.int64,
    "antecedent_row": np.int64,
    "consequent_row": np.int64,
}
_RAW_KEYS = [*_RAW_DTYPES, "count", "antecedent_count", "consequent_count", "support", *RULE_METRICS]
_SORTABLE = ("antecedent_support", "consequent_support", "support", "count", *RULE_METRICS)


def _label_ids(labels: pd.Index, wanted: Any, name: str, func: str) -> np.ndarray | None:
    """Allowed labels -> item ids; every label must be an item of the table."""
    if wanted is None:
        return None
    values = list(wanted)
    arr = np.fromiter(values, dtype=object, count=len(values))
    ids = pd.Index(labels, tupleize_cols=False).get_indexer(arr) if len(arr) else np.zeros(0, np.int64)
    if (ids < 0).any():
        missing = [values[i] for i in np.flatnonzero(ids < 0)[:5]]
        raise InvalidParameterError(
            f"The {name!r} parameter of {func} names labels that are not items of the itemset table: "
            f"{', '.join(map(repr, missing))}. (Items below the minimum support never appear in a rule.)"
        )
    return np.unique(ids).astype(np.int32)


def _check_single_items(offsets: np.ndarray, items: np.ndarray, labels: pd.Index, func: str) -> None:
    """Every item of the table must have its own row: the common way to lose subset
    counts is mining with min_len > 1, and it is cheap to tell."""
    singles = np.zeros(len(labels), dtype=bool)
    singles[items[offsets[:-1][np.diff(offsets) == 1]]] = True
    used = np.zeros(len(labels), dtype=bool)
    used[items] = True
    missing = np.flatnonzero(used & ~singles)
    if missing.size:
        raise ValueError(
            f"{func} needs the count of every subset of each itemset, but the table has no row for the single item "
            f"{labels[missing[0]]!r}. Mine with min_len=1 (and keep every row) before asking for rules."
        )


@declare(
    Param("min_confidence", Fraction(zero=True, support=False), help="keep rules at least this confident"),
    Param("metric", Options(_SORTABLE), none=True),
    Param("min_threshold", Real(), none=True),
    Param("min_lift", Real(0.0), none=True, help="keep rules with at least this lift"),
    Param(
        "max_consequent_len",
        Int(1),
        none=True,
        old_flags=("--max-consequent",),
        help="most items on the right-hand side",
    ),
    Param("antecedents", Labels(), none=True),
    Param("consequents", Labels(), none=True),
    Param(
        "by",
        Options(_SORTABLE),
        none=True,
        aliases=("sort_by",),
        old_flags=("--sort",),
        help="the measure to order the rules by, largest first",
    ),
    MIN_SUPPORT,
    MIN_COUNT,
    Param("max_len", MAX_LEN.kind, none=True, help=MAX_LEN.help),
    rules=[together("metric", "min_threshold", "metric='lift', min_threshold=1.2")],
)
def association_rules(
    itemsets_or_data: Any,
    *,
    min_confidence: float = 0.8,
    metric: str | None = None,
    min_threshold: float | None = None,
    min_lift: float | None = None,
    max_consequent_len: int | None = None,
    antecedents: Any = None,
    consequents: Any = None,
    by: str | None = "lift",
    min_support: float | None = None,
    min_count: int | None = None,
    max_len: int | None = None,
) -> pd.DataFrame:
    """Every rule A -> C with ``confidence >= min_confidence``.

    ``itemsets_or_data`` is a table from :func:`~tallisk.frequent_itemsets` with target
    "all" or "closed" (any table with an ``itemset`` column and ``count`` plus
    ``df.attrs["n_transactions"]``, or ``support``, works), or a
    :class:`~tallisk.Transactions` / list of baskets, mined here with ``min_support`` or
    ``min_count`` (and ``max_len``). A rule needs the count of every subset of its
    itemset, which a table of maximal itemsets does not have: that raises a ValueError.

    Filters: ``min_lift``; ``metric`` with ``min_threshold`` (keep rules whose metric is
    at least that, on top of ``min_confidence``); ``max_consequent_len``;
    ``antecedents`` / ``consequents`` (labels the antecedent / consequent may be made
    of).

    Columns: ``antecedent``, ``consequent`` (tuples of labels in item-id order),
    ``antecedent_support``, ``consequent_support``, ``support``, ``count`` (int64;
    NaN for tables with supports only), then ``confidence``, ``lift``, ``leverage``,
    ``conviction`` (inf when the confidence is 1), ``zhangs_metric``, ``jaccard``,
    ``certainty``, ``kulczynski``, ``cosine``. Rows sorted by ``by`` descending (any
    metric or support column; ties and ``by=None`` keep the engine's order; ``sort_by``
    is the older name of ``by``).
    """
    func = "association_rules"
    if isinstance(itemsets_or_data, pd.DataFrame):
        if min_support is not None or min_count is not None or max_len is not None:
            raise InvalidParameterError(
                f"{func} takes min_support, min_count and max_len only with transactions; the itemset table "
                "was mined already."
            )
        df = itemsets_or_data
        target = df.attrs.get("target", "all")
        if target == "maximal":
            raise ValueError(
                f"{func} needs the count of every subset of an itemset, and a table of maximal itemsets does not "
                "have them. Mine with target='all' (or 'closed', which keeps every count) instead."
            )
        arrays = itemsets_to_arrays(df)
        offsets, items, counts, labels = arrays.offsets, arrays.items, arrays.counts, arrays.labels
        n = arrays.n_transactions
        if target == "all":
            _check_single_items(offsets, items, labels, func)
        have_counts = n != 1.0 or counts.dtype.kind in "iu"
        attrs = {k: df.attrs[k] for k in ("n_transactions", "min_count") if k in df.attrs}
        # This package's tables hold tuples in item-id order already: the rules reuse them.
        own = "target" in df.attrs and "itemset" in df.columns
        table_tuples = df["itemset"].to_numpy(dtype=object) if own else None
    else:
        tr = as_transactions(itemsets_or_data, func)
        if min_support is None and min_count is None:
            raise InvalidParameterError(
                f"{func} mines the transactions first: give min_support (a fraction) or min_count (a number of "
                "transactions)."
            )
        threshold = resolve_min_count(min_support, min_count, tr.n_transactions, func)
        mined = _mine(tr.txn_ids, tr.item_ids, tr.n_items, threshold, 1, max_len, "all", "auto", None)
        # the table's row order, so that rules tie-break as they do from the table
        offsets, items, counts = canonical_csr(*mined)
        labels, n, target, have_counts = tr.items, float(tr.n_transactions), "all", True
        table_tuples = None
        attrs = {"n_transactions": tr.n_transactions, "min_count": threshold}

    antecedent_ids = _label_ids(labels, antecedents, "antecedents", func)
    consequent_ids = _label_ids(labels, consequents, "consequents", func)
    if len(counts) == 0 or not n > 0:
        # no itemsets (or no transactions): no rules, and nothing for the engine to scale
        out = {k: np.zeros(1 if k.endswith("offsets") else 0, _RAW_DTYPES.get(k, np.float64)) for k in _RAW_KEYS}
    else:
        out = _engine.generate_rules(
            np.ascontiguousarray(offsets, dtype=np.int64),
            np.ascontiguousarray(items, dtype=np.int32),
            np.ascontiguousarray(counts, dtype=np.float64),
            float(n),
            float(min_confidence),
            min_lift=min_lift,
            max_consequent_len=max_consequent_len,
            antecedent_items=antecedent_ids,
            consequent_items=consequent_ids,
            input_target=target,
        )
    scale = float(n) if have_counts else 1.0
    m = len(out["support"])
    # Columns leave the engine's dict as they are used, so that the result and the
    # engine's arrays are not all alive at once.
    numeric = {
        "antecedent_support": out.pop("antecedent_count") / scale,
        "consequent_support": out.pop("consequent_count") / scale,
        "support": out.pop("support"),
        "count": np.rint(out.pop("count")).astype(np.int64) if have_counts else np.full(m, np.nan),
    }
    numeric.update((name, out.pop(name)) for name in RULE_METRICS)
    # Filter and order on the arrays first; each column is then taken once.
    sel = None
    if metric is not None:
        sel = np.flatnonzero(numeric[metric] >= min_threshold)
    if by is not None and m:
        key = numeric[by] if sel is None else numeric[by][sel]
        order = np.argsort(-key.astype(np.float64, copy=False), kind="stable")
        sel = order if sel is None else sel[order]

    label_array = _label_array(labels)
    frame = {}
    for side in ("antecedent", "consequent"):
        rows = np.asarray(out.pop(f"{side}_row"))
        if rows.size and rows.min() >= 0 and (table_tuples is not None or len(counts) <= 2 * rows.size):
            # Every side is a row of the table: one tuple per table row, shared by the
            # rules (a take of object pointers), instead of two new tuples per rule.
            if table_tuples is None:
                table_tuples = csr_tuples(offsets, items, label_array)
            frame[side] = table_tuples[rows if sel is None else rows[sel]]
        else:
            column = csr_tuples(out.pop(f"{side}_offsets"), out.pop(f"{side}_items"), label_array)
            frame[side] = column if sel is None else column[sel]
    for name in list(numeric):
        values = numeric.pop(name)
        frame[name] = values if sel is None else values[sel]
    rules = pd.DataFrame(frame, copy=False)
    rules.attrs.update(attrs)
    return rules
