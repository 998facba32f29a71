"""From rules to decisions: the k best rules of the data without a minimum support, and the
items to recommend for a basket."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from . import _engine
from ._tables import RULE_METRICS, ItemsetArrays, label_array
from ._validation import (
    EXCLUDE,
    MAX_LEN,
    MIN_COUNT_KIND,
    MIN_LEN,
    Anything,
    Fraction,
    Int,
    InvalidParameterError,
    Labels,
    Options,
    Param,
    declare,
)
from .rules import RULE_COLUMNS, _RuleInput, allowed_sides, rule_frame
from .transactions import as_transactions, factorize_baskets

__all__ = ["BOUNDED_MEASURES", "TOP_MEASURES", "recommend", "top_rules"]

#: The measures whose value bounds the rule's support, so that top_rules needs no min_count.
BOUNDED_MEASURES = ("leverage", "support", "count")
#: The measures top_rules ranks by: every measure column of a rule table.
TOP_MEASURES = (
    *BOUNDED_MEASURES,
    *(m for m in RULE_METRICS if m not in BOUNDED_MEASURES),
    "antecedent_support",
    "consequent_support",
)
#: Values within this share of the k-th value are ties with it (the engine's search keeps
#: every rule within the same margin, tuning nothing: it only has to hold them all).
TIE = 1e-12


@declare(
    Param("k", Int(1), help="how many rules: the k best, and every rule tied with the k-th"),
    Param("by", Options(TOP_MEASURES), help="the measure the rules are ranked by"),
    Param("min_confidence", Fraction(zero=True, support=False), help="consider only rules at least this confident"),
    Param(
        "min_count",
        MIN_COUNT_KIND,
        none=True,
        help="consider only rules held by at least this many transactions (needed for measures without a bound)",
    ),
    Param("min_len", MIN_LEN.kind, help="fewest items in a rule's antecedent and consequent together"),
    Param("max_len", MAX_LEN.kind, none=True, help="most items in a rule's antecedent and consequent together"),
    Param("max_consequent_len", Int(1), none=True, help="most items on the right-hand side"),
    Param("antecedents", Labels(), none=True),
    Param("consequents", Labels(), none=True),
    EXCLUDE,
)
def top_rules(
    data: Any,
    k: int,
    by: str = "leverage",
    *,
    min_confidence: float = 0.0,
    min_count: int | None = None,
    min_len: int = 2,
    max_len: int | None = None,
    max_consequent_len: int | None = None,
    antecedents: Any = None,
    consequents: Any = None,
    exclude: Any = None,
) -> pd.DataFrame:
    """The k rules A -> C of the data with the highest ``by``, over all its rules: no
    minimum support to guess.

    The search mines and ranks at once. For ``by`` in ``"leverage"``, ``"support"`` and
    ``"count"`` the value bounds the rule's support (a rule's leverage is at most
    s - s^2 for its support s), so the search raises its own support floor as better
    rules turn up and never mines a set that cannot hold a rule of the top k; within a
    set it looks only at the antecedents whose support leaves room for the k-th value.
    Every other measure can be at its best on a rule held by a single transaction (a
    pair bought once, together, has the highest lift and confidence there is): for those
    ``min_count`` is required, and the search ranks the rules held by at least that many
    transactions.

    Parameters
    ----------
    data : Transactions or iterable of baskets
        The transactions.
    k : int
        How many rules. Rules tied with the k-th value (equal to it up to rounding: a
        relative 1e-12) are all returned, so the table has more than k rows only on ties
        (and fewer when the data has fewer rules).
    by : str, default "leverage"
        A measure column of the rule table: one of :data:`TOP_MEASURES`.
    min_confidence : float, default 0.0
        Consider only rules at least this confident.
    min_count : int, optional
        Consider only rules held by at least this many transactions; required for every
        ``by`` but those of :data:`BOUNDED_MEASURES`.
    min_len, max_len : int, optional
        The fewest / most items of a rule (antecedent and consequent together); default
        2 and no limit.
    max_consequent_len : int, optional
        The most items a consequent holds.
    antecedents, consequents : collection of labels, optional
        The labels the antecedent / consequent may be made of.
    exclude : collection of labels, optional
        Labels that appear in no rule (labels that are not items are ignored).

    Returns
    -------
    DataFrame
        The table :func:`~tallisk.association_rules` returns, sorted by ``by``
        descending. ``attrs``: ``n_transactions``, ``min_count`` (the support floor the
        search ended with, or the ``min_count`` given), ``by`` and ``k``.

    Raises
    ------
    InvalidParameterError
        For a parameter outside its range, and for a ``by`` that needs ``min_count``
        without it.

    Examples
    --------
    >>> import tallisk
    >>> baskets = [["tea", "milk"]] * 6 + [["tea", "sugar"]] * 3 + [["bread"]] * 6
    >>> top = tallisk.top_rules(baskets, k=2, by="leverage")
    >>> top[["antecedent", "consequent", "leverage"]].round(4).to_dict("records")
    [{'antecedent': ('milk',), 'consequent': ('tea',), 'leverage': 0.16}, \
{'antecedent': ('tea',), 'consequent': ('milk',), 'leverage': 0.16}]
    """
    func = "top_rules"
    if by not in BOUNDED_MEASURES and min_count is None:
        raise InvalidParameterError(
            f"top_rules cannot rank by {by!r} without min_count: {by} can be at its best on a rule held by a single "
            "transaction (a pair of items bought once, together, is as confident and lifted as a rule can be), so "
            "there is no support below which the search may stop. Give min_count, the fewest transactions a rule "
            "must hold (e.g. min_count=20), or rank by one of "
            f"{', '.join(map(repr, BOUNDED_MEASURES))}, whose value bounds the support.",
            func=func,
            param="min_count",
        )
    tr = as_transactions(data, func)
    every = np.arange(tr.n_items, dtype=np.int32)
    allow = allowed_sides(tr.items, every, antecedents, consequents, exclude, func)
    out = _engine.top_rules(
        tr.txn_ids, tr.item_ids, tr.n_items, k, by,
        min_confidence=min_confidence, min_count=min_count, min_len=min_len, max_len=max_len,
        max_consequent_len=max_consequent_len, antecedent_items=allow[0], consequent_items=allow[1],
        n_transactions=max(tr.n_transactions, 1),
    )  # fmt: skip
    floor = int(out.pop("floor"))
    for key in ("n_transactions", "itemsets", "examined"):
        out.pop(key)
    n = float(tr.n_transactions)
    no_rows = ItemsetArrays(np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0, np.int64), tr.items, n)
    attrs = {"n_transactions": tr.n_transactions, "min_count": floor, "by": by, "k": k}
    rules = rule_frame(out, _RuleInput(no_rows, "all", True, attrs, None), by)
    # The search keeps every rule within rounding of the k-th value; the cut is made here,
    # on the table's own values. Values equal up to rounding are ties: two rules of one
    # value in exact arithmetic (a lift of 60/31 reached as 3/3 over 31/60 and as 5/31
    # over 5/60) can differ in their last bit.
    values = rules[by].to_numpy(dtype=np.float64)
    if len(values) > k:
        kth = values[k - 1]
        rules = rules.iloc[: int(np.count_nonzero(values >= kth - TIE * abs(kth)))].reset_index(drop=True)
    return rules


# ---- recommendations --------------------------------------------------------------------------


def _many_baskets(basket: Any) -> bool:
    """Whether ``basket`` is several baskets: a Series, or a list or tuple of collections."""
    if isinstance(basket, pd.Series):
        return True
    if isinstance(basket, list | tuple) and len(basket) > 0:
        return all(isinstance(b, list | tuple | set | frozenset | np.ndarray | pd.Index) for b in basket)
    return False


@declare(
    Param("basket", Anything(), help="a basket (labels), or a list or Series of baskets"),
    Param("k", Int(1), help="how many items per basket: the k best, and every item tied with the k-th"),
    Param("by", Anything(), help="the rule measure that scores an item (a numeric column of the rules)"),
)
def recommend(rules: pd.DataFrame, basket: Any, k: int = 5, by: str = "confidence") -> pd.DataFrame:
    """The items to recommend for a basket, from the rules.

    A rule applies to a basket when the basket holds its antecedent and none of its
    consequent. An item's score is the highest ``by`` among the rules that apply and
    whose consequent holds it; the rule that gives it (the first in the rules' order on
    ties) fills ``antecedent`` and ``consequent``. The k items with the highest scores
    are returned, and every item tied with the k-th.

    Parameters
    ----------
    rules : DataFrame
        A rule table (``antecedent`` and ``consequent`` tuples of labels and the ``by``
        column), e.g. from :func:`association_rules` or :func:`top_rules`.
    basket : collection of labels, or list or Series of them
        One basket (a list, set, tuple, Index or array of labels), or several: a list or
        tuple of such collections, or a Series of them. To pass one basket whose labels
        are themselves tuples, wrap it in a Series.
    k : int, default 5
        How many items per basket.
    by : str, default "confidence"
        A numeric column of ``rules``; rules where it is NaN apply to nothing.

    Returns
    -------
    DataFrame
        Columns ``item``, ``score``, ``antecedent``, ``consequent``, by score
        descending (ties in item order). For several baskets, one table with a
        ``basket`` column first (the position in the list, or the Series' index label),
        baskets in their order.

    Raises
    ------
    ValueError
        For a ``by`` that is not a numeric column of ``rules``, or rules without
        ``antecedent`` and ``consequent``.

    Examples
    --------
    >>> import tallisk
    >>> baskets = [["tea", "milk", "sugar"]] * 4 + [["tea", "milk"]] * 4 + [["bread", "butter"]] * 5
    >>> rules = tallisk.association_rules(baskets, min_count=2, min_confidence=0.3)
    >>> tallisk.recommend(rules, ["tea"], k=2).round(3).to_dict("records")
    [{'item': 'milk', 'score': 1.0, 'antecedent': ('tea',), 'consequent': ('milk',)}, \
{'item': 'sugar', 'score': 0.5, 'antecedent': ('tea',), 'consequent': ('sugar',)}]
    """
    func = "recommend"
    missing = [c for c in ("antecedent", "consequent") if c not in rules.columns]
    if missing:
        raise ValueError(f"{func} needs a rule table with 'antecedent' and 'consequent' columns; no {missing[0]!r}.")
    if not isinstance(by, str) or by not in rules.columns or rules[by].dtype.kind not in "iuf":
        numeric = [c for c in rules.columns if c not in RULE_COLUMNS[:2] and rules[c].dtype.kind in "iuf"]
        raise InvalidParameterError(
            f"The 'by' parameter of {func} must be a numeric column of the rules: one of "
            f"{', '.join(map(repr, numeric))}. Got {by!r} instead.",
            func=func,
            param="by",
        )
    many = _many_baskets(basket)
    if many:
        baskets = list(basket)
        names = basket.index if isinstance(basket, pd.Series) else pd.RangeIndex(len(baskets))
    elif isinstance(basket, str | bytes) or not isinstance(basket, Iterable) or isinstance(basket, Mapping):
        raise InvalidParameterError(
            f"The 'basket' parameter of {func} must be a collection of labels (or a list of them). "
            f"Got {basket!r} instead. (Use basket=[{basket!r}].)",
            func=func,
            param="basket",
        )
    else:
        baskets = [list(basket)]
        names = pd.RangeIndex(1)
    table = _recommendations(rules, baskets, k, by)
    if not many:
        return table.drop(columns="basket")
    table["basket"] = names[table["basket"].to_numpy()]
    return table


def _recommendations(rules: pd.DataFrame, baskets: list, k: int, by: str) -> pd.DataFrame:
    """The recommendation table of every basket (``basket`` by position), computed on
    arrays: no loop over rules or baskets in Python."""
    score = rules[by].to_numpy(dtype=np.float64)
    ante, cons = rules["antecedent"].to_numpy(), rules["consequent"].to_numpy()
    # One numbering of every label of the rules and the baskets.
    sizes, ids, labels = factorize_baskets([*ante, *cons, *baskets], "The rules and baskets", "row")
    n_rules, n_labels = len(rules), len(labels)
    starts = np.zeros(sizes.size + 1, dtype=np.int64)
    np.cumsum(sizes, out=starts[1:])
    part = (0, n_rules, 2 * n_rules, sizes.size)

    def occurrences(j: int) -> tuple[np.ndarray, np.ndarray]:
        """(row within part j, label id) of every label of part j (antecedents,
        consequents, baskets)."""
        lo, hi = part[j], part[j + 1]
        rows = np.repeat(np.arange(hi - lo, dtype=np.int64), sizes[lo:hi])
        return rows, ids[starts[lo] : starts[hi]].astype(np.int64)

    a_rule, a_item = occurrences(0)
    c_rule, c_item = occurrences(1)
    b_row, b_item = occurrences(2)
    in_basket = np.unique(b_row * n_labels + b_item)  # sorted keys of (basket, label)
    usable = ~np.isnan(score)

    # Rules whose antecedent the basket holds: join basket labels with antecedent labels on
    # the label, count the matches of each (basket, rule) and keep those matching every
    # antecedent label (a basket counts each label once: in_basket has no repeats).
    a_order = np.argsort(a_item, kind="stable")
    a_rule_by_item = a_rule[a_order]
    per_label = np.bincount(a_item, minlength=n_labels)
    first = np.zeros(n_labels + 1, dtype=np.int64)
    np.cumsum(per_label, out=first[1:])
    kb, ki = in_basket // n_labels, in_basket % n_labels
    reps = per_label[ki]
    at = np.repeat(first[ki] - np.cumsum(reps) + reps, reps) + np.arange(reps.sum(), dtype=np.int64)
    pair_basket, pair_rule = np.repeat(kb, reps), a_rule_by_item[at]
    keys, hits = np.unique(pair_basket * n_rules + pair_rule, return_counts=True)
    a_len = sizes[part[0] : part[1]]
    fire_basket, fire_rule = keys // max(n_rules, 1), keys % max(n_rules, 1)
    ok = (hits == a_len[fire_rule]) & usable[fire_rule]
    # Rules with an empty antecedent (none are made here, but a table may hold them) apply
    # to every basket.
    empty = np.flatnonzero((a_len == 0) & usable)
    fire_basket = np.concatenate([fire_basket[ok], np.repeat(np.arange(len(baskets)), empty.size)])
    fire_rule = np.concatenate([fire_rule[ok], np.tile(empty, len(baskets))])

    # Each firing rule's consequent labels; the rule applies only if the basket holds none.
    c_len = sizes[part[1] : part[2]]
    c_first = starts[part[1] : part[2]] - starts[part[1]]
    reps = c_len[fire_rule]
    at = np.repeat(c_first[fire_rule] - np.cumsum(reps) + reps, reps) + np.arange(reps.sum(), dtype=np.int64)
    firing = np.repeat(np.arange(fire_rule.size), reps)
    item, basket_of = c_item[at], fire_basket[firing]
    held = np.isin(basket_of * n_labels + item, in_basket, assume_unique=False)
    blocked = np.zeros(fire_rule.size, dtype=bool)
    blocked[firing[held]] = True
    keep = ~blocked[firing]
    firing, item, basket_of = firing[keep], item[keep], basket_of[keep]
    rule_of = fire_rule[firing]

    # The best rule of each (basket, item): highest score, then first in the rules' order.
    order = np.lexsort((rule_of, -score[rule_of], item, basket_of))
    basket_of, item, rule_of = basket_of[order], item[order], rule_of[order]
    first_of = np.ones(item.size, dtype=bool)
    first_of[1:] = (basket_of[1:] != basket_of[:-1]) | (item[1:] != item[:-1])
    basket_of, item, rule_of = basket_of[first_of], item[first_of], rule_of[first_of]
    best = score[rule_of]

    # The k best items of each basket, ties with the k-th included.
    order = np.lexsort((item, -best, basket_of))
    basket_of, item, rule_of, best = basket_of[order], item[order], rule_of[order], best[order]
    group_start = np.flatnonzero(np.r_[True, basket_of[1:] != basket_of[:-1]]) if item.size else np.zeros(0, int)
    group_len = np.diff(np.r_[group_start, item.size])
    rank = np.arange(item.size) - np.repeat(group_start, group_len)
    kth_at = np.minimum(group_start + k - 1, group_start + group_len - 1)
    kth = np.repeat(best[kth_at], group_len)
    take = (rank < k) | (best >= kth)
    basket_of, item, rule_of, best = basket_of[take], item[take], rule_of[take], best[take]
    return pd.DataFrame(
        {
            "basket": basket_of,
            "item": label_array(labels)[item] if item.size else np.zeros(0, dtype=object),
            "score": best,
            "antecedent": ante[rule_of] if rule_of.size else np.zeros(0, dtype=object),
            "consequent": cons[rule_of] if rule_of.size else np.zeros(0, dtype=object),
        }
    )
