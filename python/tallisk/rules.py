"""Association rules A -> C from an itemset table or straight from transactions."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal, NamedTuple, cast

import numpy as np
import pandas as pd

from . import _engine
from ._tables import (
    RULE_METRICS,
    ItemsetArrays,
    excluded_ids,
    label_array,
    label_rows,
    read_itemsets,
    rule_metrics,
    take_rows,
    without_items,
)
from ._validation import (
    EXCLUDE,
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
from .measures import MeasureNames, add_measures
from .mining import mine
from .transactions import as_transactions

__all__ = ["association_rules", "RULE_COLUMNS", "RULE_METRICS"]

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


@dataclass
class _RuleInput:
    """The itemset table rules are made from, in engine form."""

    table: ItemsetArrays
    target: Literal["all", "closed"]
    have_counts: bool  # counts (True) or supports only (False, n_transactions 1.0)
    attrs: dict[str, Any]  # what the rule table's df.attrs inherit
    cells: np.ndarray | None  # the table's itemset cells when this package made them from these ids


# ---- steps --------------------------------------------------------------------------------


def _from_table(df: pd.DataFrame, func: str) -> _RuleInput:
    target = df.attrs.get("target", "all")
    if target == "maximal":
        raise ValueError(
            f"{func} needs the count of every subset of an itemset, and a table of maximal itemsets does not "
            "have them. Mine with target='all' (or 'closed', which keeps every count) instead."
        )
    table, cells = read_itemsets(df)
    if target == "all":
        _check_single_items(table, func)
    attrs: dict[str, Any] = {k: df.attrs[k] for k in ("n_transactions", "min_count") if k in df.attrs}
    return _RuleInput(table, target, table.counts.dtype.kind in "iu", attrs, cells)


def _from_transactions(
    data: Any, min_support: Any, min_count: Any, max_len: Any, exclude: Any, func: str
) -> _RuleInput:
    tr = as_transactions(data, func)
    if min_support is None and min_count is None:
        raise InvalidParameterError(
            f"{func} mines the transactions first: give min_support (a fraction) or min_count (a number of "
            "transactions)."
        )
    threshold = resolve_min_count(min_support, min_count, tr.n_transactions, func)
    # in the table's row order, so that rules tie-break as they do from the table
    txn, item = tr.txn_ids, tr.item_ids
    if exclude is not None:
        # excluded items leave the transactions before mining: they are in no set at all
        txn, item = without_items(txn, item, tr.items, exclude)
    offsets, items, counts = mine(txn, item, tr.n_items, threshold, 1, max_len)
    table = ItemsetArrays(offsets, items, counts, tr.items, float(tr.n_transactions))
    attrs: dict[str, Any] = {"n_transactions": tr.n_transactions, "min_count": threshold}
    return _RuleInput(table, "all", True, attrs, None)


def _check_single_items(table: ItemsetArrays, func: str) -> None:
    """Every item of the table must have its own row: the common way to lose subset
    counts is mining with min_len > 1, and it is cheap to tell."""
    offsets, items, labels = table.offsets, table.items, table.labels
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


def _label_ids(table: ItemsetArrays, wanted: Any, name: str, func: str) -> np.ndarray | None:
    """Allowed labels -> item ids; every label must be an item of the table."""
    if wanted is None:
        return None
    values = label_array(list(wanted))
    ids = pd.Index(table.labels, tupleize_cols=False).get_indexer(values) if len(values) else np.zeros(0, np.int64)
    present = np.zeros(len(table.labels) + 1, dtype=bool)
    present[table.items] = True
    absent = ~present[ids]  # ids of -1 (not a label) read the last, always False, entry
    if absent.any():
        missing = [values[i] for i in np.flatnonzero(absent)[:5]]
        raise InvalidParameterError(
            f"The {name!r} parameter of {func} names labels that are not items of the itemset table: "
            f"{', '.join(map(repr, missing))}. (Items below the minimum support never appear in a rule.)"
        )
    return np.unique(ids).astype(np.int32)


def allowed_sides(labels: Any, items: np.ndarray, antecedents: Any, consequents: Any, exclude: Any, func: str) -> tuple:
    """The item ids allowed in antecedents and in consequents (None: every item), less
    the excluded ones: an item allowed on neither side stands in no rule. ``items`` are
    the ids the rules are made of (labels named in ``antecedents`` or ``consequents``
    must be among them)."""
    table = ItemsetArrays(np.zeros(1, np.int64), items, np.zeros(0), labels, 1.0)
    allow = [_label_ids(table, antecedents, "antecedents", func), _label_ids(table, consequents, "consequents", func)]
    if exclude is not None:
        gone = excluded_ids(labels, exclude)
        if gone.size:
            every = np.arange(len(labels), dtype=np.int32)
            allow = [np.setdiff1d(every if a is None else a, gone).astype(np.int32) for a in allow]
    return tuple(allow)


def _generate(
    inp: _RuleInput,
    min_confidence: float,
    min_lift: Any,
    max_consequent_len: Any,
    allow: tuple,
    improvement: bool = False,
    min_improvement: float | None = None,
) -> dict:
    """The engine's rule arrays (an empty set of them when there is nothing to scale),
    with each rule's improvement when asked for."""
    table = inp.table
    if len(table.counts) == 0 or not table.n_transactions > 0:
        keys = [*_RAW_KEYS, *(["improvement"] if improvement or min_improvement is not None else [])]
        return {k: np.zeros(1 if k.endswith("offsets") else 0, _RAW_DTYPES.get(k, np.float64)) for k in keys}
    return _engine.generate_rules(
        np.ascontiguousarray(table.offsets, dtype=np.int64),
        np.ascontiguousarray(table.items, dtype=np.int32),
        np.ascontiguousarray(table.counts, dtype=np.float64),
        float(table.n_transactions),
        float(min_confidence),
        min_lift=min_lift,
        max_consequent_len=max_consequent_len,
        antecedent_items=allow[0],
        consequent_items=allow[1],
        input_target=cast(Any, inp.target),
        improvement=improvement,
        min_improvement=min_improvement,
        metrics=False,
        side_items=False,
    )


_COUNTS = ("count", "antecedent_count", "consequent_count")


class _Counts(NamedTuple):
    """The engine's counts of the rules (float64, its order) and their scale."""

    both: np.ndarray  # the count of A | C
    antecedent: np.ndarray
    consequent: np.ndarray
    n: float  # the table's n_transactions (1.0 for a table of supports)
    have_counts: bool
    improvement: np.ndarray | None

    def column(self, name: str, sel: np.ndarray | None = None) -> np.ndarray:
        """The table column ``name`` for the rules ``sel`` (None: all, in the engine's order)."""
        if name == "improvement":
            assert self.improvement is not None
            return self.improvement if sel is None else _gathered(self.improvement, sel)
        if name == "count" and not self.have_counts:
            return np.full(len(self.both) if sel is None else len(sel), np.nan)
        values = rule_metrics(self.both, self.antecedent, self.consequent, self.n, [name], order=sel)[name]
        return np.rint(values, out=values).astype(np.int64) if name == "count" else values


def _counts(out: dict, inp: _RuleInput) -> _Counts:
    """The counts taken out of the engine's dict (the metrics it may hold are not used: they
    are computed once the order is known)."""
    both, antecedent, consequent = (np.asarray(out.pop(k), dtype=np.float64) for k in _COUNTS)
    return _Counts(both, antecedent, consequent, float(inp.table.n_transactions), inp.have_counts,
                   out.pop("improvement", None))  # fmt: skip


def _selection(counts: _Counts, metric: Any, min_threshold: Any, by: Any) -> np.ndarray | None:
    """The rows kept, in table order (None: every row, in the engine's order): those whose
    ``metric`` reaches ``min_threshold``, by descending ``by`` (ties in the engine's
    order), sorted natively on the worker pool."""
    sel = None
    if metric is not None:
        sel = np.flatnonzero(counts.column(metric) >= min_threshold)
    if by is not None and len(counts.both):
        key = counts.column(by, sel)
        order = _engine.order_descending(np.ascontiguousarray(key, dtype=np.float64))
        del key
        sel = order if sel is None else sel[order]
    return sel


def _number_columns(counts: _Counts, sel: np.ndarray | None) -> dict[str, np.ndarray]:
    """Every number column of the table, in table order, each written once in its final
    order (a sorted table gathers nothing made in another order first)."""
    names = ["antecedent_support", "consequent_support", "support", "count", *RULE_METRICS]
    wanted = [name for name in names if name != "count" or (sel is not None and counts.have_counts)]
    cols = rule_metrics(counts.both, counts.antecedent, counts.consequent, counts.n, wanted, order=sel)
    if not counts.have_counts:
        cols["count"] = np.full(len(cols["support"]), np.nan)
    else:
        count = cols.pop("count", counts.both)  # the engine's own column when unsorted
        cols["count"] = np.rint(count, out=count).astype(np.int64)
    frame = {name: cols.pop(name) for name in names}
    if counts.improvement is not None:
        frame["improvement"] = counts.column("improvement", sel)
    return frame


def _side_column(out: dict, side: str, inp: _RuleInput, sel: np.ndarray | None) -> np.ndarray:
    """The ``antecedent`` or ``consequent`` column: tuples of labels made from the rules'
    item ids (never the caller's cells), one per table row and shared by the rules when
    every side is a row of the table, else one per rule."""
    rows = np.asarray(out.pop(f"{side}_row"))
    offsets, items = out.pop(f"{side}_offsets", None), out.pop(f"{side}_items", None)
    table = inp.table
    every_side_a_row = offsets is None or (rows.size and rows.min() >= 0)
    if rows.size and every_side_a_row and (inp.cells is not None or len(table.counts) <= 2 * rows.size):
        # One tuple per table row, shared by the rules.
        cells = inp.cells if inp.cells is not None else label_rows(table.offsets, table.items, table.labels)
        return _engine.take_cells(np.ascontiguousarray(cells), np.ascontiguousarray(rows, dtype=np.int64), sel)
    if offsets is None:  # the engine gave the sides' rows alone
        offsets, items = take_rows(table.offsets, table.items, _gathered(rows, sel))
    elif sel is not None:
        offsets, items = take_rows(offsets, items, sel)
    return label_rows(offsets, items, table.labels)


def _gathered(values: np.ndarray, sel: np.ndarray | None) -> np.ndarray:
    if sel is None:
        return values
    return _engine.gather(np.ascontiguousarray(values), np.ascontiguousarray(sel, dtype=np.int64))


def rule_frame(out: dict, inp: _RuleInput, by: Any, metric: Any = None, min_threshold: Any = None) -> pd.DataFrame:
    """The rule table of the engine's rule arrays ``out`` (emptied on the way): the rows
    whose ``metric`` reaches ``min_threshold``, by descending ``by``, with the columns of
    every rule table (and ``improvement`` when the engine computed it)."""
    counts = _counts(out, inp)
    sel = _selection(counts, metric, min_threshold, by)
    frame = {side: _side_column(out, side, inp, sel) for side in ("antecedent", "consequent")}
    out.clear()  # the engine's metric columns, if any, are not needed
    frame.update(_number_columns(counts, sel))
    del counts
    rules = pd.DataFrame(frame, copy=False)
    rules.attrs.update(inp.attrs)
    return rules


# ---- the public function ------------------------------------------------------------------


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
    Param(
        "min_improvement",
        Real(),
        none=True,
        help="keep rules more confident than every simpler rule by more than this (0: the productive ones)",
    ),
    Param("measures", MeasureNames(), none=True, help="more measures as columns, from tallisk.MEASURES"),
    EXCLUDE,
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
    min_improvement: float | None = None,
    measures: Any = None,
    exclude: Any = None,
) -> pd.DataFrame:
    """Every rule A -> C with ``confidence >= min_confidence``.

    Parameters
    ----------
    itemsets_or_data : DataFrame, Transactions or iterable of baskets
        A table from :func:`~tallisk.frequent_itemsets` with target "all" or "closed"
        (any table with an ``itemset`` column and ``count`` plus
        ``df.attrs["n_transactions"]``, or ``support``, works), or transactions, mined
        here with ``min_support`` or ``min_count`` (and ``max_len``).
    min_confidence : float, default 0.8
        The least confidence, in [0, 1].
    metric, min_threshold : str and float, optional
        Together: keep the rules whose ``metric`` (any column below but the sides) is at
        least ``min_threshold``, on top of ``min_confidence``.
    min_lift : float, optional
        The least lift.
    max_consequent_len : int, optional
        The most items a consequent holds.
    antecedents, consequents : collection of labels, optional
        The labels the antecedent / consequent may be made of.
    by : str or None, default "lift"
        Rows by this column descending (any metric or support column); ties and
        ``by=None`` keep the engine's order. ``sort_by`` is its older name.
    min_support, min_count, max_len : optional
        With transactions: how to mine them (exactly one of the first two).
    min_improvement : float, optional
        Keep the rules whose improvement is strictly greater: a rule's confidence less
        the highest confidence of a rule B -> C with B a proper subset of its antecedent
        (the empty one included, whose confidence is C's support), computed from the
        itemset counts while the rules are generated. ``0.0`` keeps exactly the
        productive rules, those more confident than every simpler rule with their
        consequent. Adds the ``improvement`` column.
    measures : str or list of str, optional
        More columns, from :data:`tallisk.MEASURES` (see :func:`tallisk.add_measures`);
        ``"improvement"`` is computed during generation.
    exclude : collection of labels, optional
        Labels that appear in no rule (labels that are not items are ignored).

    Returns
    -------
    DataFrame
        Columns ``antecedent``, ``consequent`` (tuples of labels in item-id order),
        ``antecedent_support``, ``consequent_support``, ``support``, ``count`` (int64;
        NaN for tables with supports only), then ``confidence``, ``lift``, ``leverage``,
        ``conviction`` (inf when the confidence is 1), ``zhangs_metric``, ``jaccard``,
        ``certainty``, ``kulczynski``, ``cosine``. ``df.attrs`` keeps the table's
        ``n_transactions`` and ``min_count``.

    Raises
    ------
    InvalidParameterError
        For a parameter outside its range (a ValueError and a TypeError).
    ValueError
        For a table of maximal itemsets or one without a row for some single item
        (a rule needs the count of every subset of its itemset), and for a table whose
        ``df.attrs["n_transactions"]`` is not a number of transactions.

    Examples
    --------
    >>> import tallisk
    >>> baskets = [["tea", "milk"], ["tea"], ["tea", "milk"], ["milk"]]
    >>> rules = tallisk.association_rules(baskets, min_count=2, min_confidence=0.6)
    >>> rules[["antecedent", "consequent", "confidence"]].to_dict("records")
    [{'antecedent': ('tea',), 'consequent': ('milk',), 'confidence': 0.6666666666666666}, \
{'antecedent': ('milk',), 'consequent': ('tea',), 'confidence': 0.6666666666666666}]
    """
    func = "association_rules"
    if isinstance(itemsets_or_data, pd.DataFrame) and (
        min_support is not None or min_count is not None or max_len is not None
    ):
        raise InvalidParameterError(
            f"{func} takes min_support, min_count and max_len only with transactions; the itemset table was mined "
            "already."
        )

    if isinstance(itemsets_or_data, pd.DataFrame):
        inp = _from_table(itemsets_or_data, func)
    else:
        inp = _from_transactions(itemsets_or_data, min_support, min_count, max_len, exclude, func)
    allow = allowed_sides(inp.table.labels, inp.table.items, antecedents, consequents, exclude, func)
    improvement = measures is not None and "improvement" in measures
    out = _generate(inp, min_confidence, min_lift, max_consequent_len, allow, improvement, min_improvement)
    rules = rule_frame(out, inp, by, metric, min_threshold)
    extra = [m for m in measures or () if m not in rules.columns]
    return add_measures(rules, extra) if extra else rules
