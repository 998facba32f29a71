"""The four miners of the drop-in: mlxtend's parameters, checks, thresholds, row orders and
verbose lines, over the engine's search."""

from __future__ import annotations

import inspect
import math
import operator
from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np
import pandas as pd

from .._tables import ceil_count, min_count_from_support
from ._frame import Codes, dense_values, frame_codes, is_chain
from ._messages import check_frame, check_min_support
from ._sets import Sets, by_length, filter_levels, mine, preorder, rows_with_all, rows_with_any, singletons, table
from ._verbose import apriori_candidate_counts, print_prefix_lines

F = TypeVar("F", bound=Callable[..., Any])

_PARAMETER_DOCS = {
    "df": """    df : DataFrame
        One-hot transactions: rows are transactions, columns items, cells bool (or 0/1,
        with mlxtend's DeprecationWarning); dense or pandas-sparse columns.""",
    "min_support": """    min_support : float, default 0.5
        The least share of the rows an itemset is in, in (0, 1].""",
    "null_values": """    null_values : bool, default False
        NaN cells are allowed and left out of each support, as mlxtend computes it.""",
    "use_colnames": """    use_colnames : bool, default False
        Itemsets of column names instead of column positions.""",
    "max_len": """    max_len : int, optional
        The most items an itemset holds (0 and None: no limit).""",
    "verbose": """    verbose : int, default 0
        Print mlxtend's progress lines.""",
    "low_memory": """    low_memory : bool, default False
        Accepted for compatibility; the engine's own search runs either way (mlxtend's
        count test for sets of two or more items is kept).""",
    "n_jobs": """    n_jobs : int, default 1
        Accepted for compatibility; the engine's worker pool does the work.""",
}
_RETURNS_RAISES = """
    Returns
    -------
    DataFrame
        Columns ``support`` (float64) and ``itemsets`` (frozensets).

    Raises
    ------
    ValueError
        mlxtend's errors, with its messages: ``min_support`` outside (0, 1], values other
        than 0/1/True/False, NaN cells (without ``null_values``), integer column names of a
        sparse frame that do not start at 0.
"""


def _documented(examples: str = "") -> Callable[[F], F]:
    """Completes a miner's docstring with the Parameters, Returns and Raises sections the
    four share, for the parameters its signature has (one text per parameter)."""

    def wrap(f: F) -> F:
        params = "\n".join(_PARAMETER_DOCS[name] for name in inspect.signature(f).parameters)
        sections = "\n\n    Parameters\n    ----------\n" + params + "\n" + _RETURNS_RAISES
        f.__doc__ = (f.__doc__ or "").rstrip() + sections + ("\n" + examples if examples else "") + "    "
        return f

    return wrap


_APRIORI_EXAMPLE = """    Examples
    --------
    >>> import pandas as pd
    >>> from tallisk.mlxtend import apriori
    >>> df = pd.DataFrame({"tea": [True, True, False], "milk": [True, False, True]})
    >>> apriori(df, min_support=0.5, use_colnames=True)["itemsets"].tolist()
    [frozenset({'tea'}), frozenset({'milk'})]
"""


def _sets_example(func: str, output: str) -> str:
    """The Examples section of a miner on a small one-hot frame. The sets are shown
    sorted: a frozenset of strings prints in hash order, which changes from one process
    to the next."""
    return f"""    Examples
    --------
    >>> import pandas as pd
    >>> from tallisk.mlxtend import {func}
    >>> df = pd.DataFrame({{"tea": [1, 1, 0, 1], "milk": [1, 0, 1, 1], "sugar": [0, 1, 0, 0]}}).astype(bool)
    >>> out = {func}(df, min_support=0.5, use_colnames=True)
    >>> [sorted(s) for s in out["itemsets"]], out["support"].tolist()
    {output}
"""


@_documented(_APRIORI_EXAMPLE)
def apriori(df, min_support=0.5, use_colnames=False, max_len=None, verbose=0, low_memory=False, n_jobs=1):
    """Frequent itemsets of a one-hot DataFrame, as ``mlxtend.frequent_patterns.apriori``.

    Rows by length, then by column positions, as mlxtend's.
    """
    check_min_support(min_support)
    check_frame(df)
    codes = frame_codes(df)
    n = codes.n_rows
    if n == 0 or codes.n_cols == 0:
        return table(Sets.empty(), n, df, use_colnames, np.zeros(0, np.int64), object)
    # apriori keeps going while the level is below max_len; 0 and None mean no limit
    limit = None if not max_len else max(1, math.ceil(max_len))
    if min_support != min_support:  # NaN: mlxtend's support test keeps nothing
        return table(Sets.empty(), n, df, use_colnames, np.zeros(0, np.int64), object)
    t1 = min_count_from_support(min_support, n)
    t2 = ceil_count(min_support, n) if low_memory else t1
    sets = mine(codes, min(t1, t2), limit)
    sets = filter_levels(sets, codes.item_counts(), t1, t2)
    if verbose:
        for k, n_cand, n_freq in apriori_candidate_counts(sets, limit):
            size = n_freq * (k + 1) if low_memory else n_cand * k
            if low_memory and n_freq == 0:
                break
            print(f"\rProcessing {size} combinations | Sampling itemset size {k}", end="")
        print()
    return table(sets, n, df, use_colnames, by_length(sets), object)


def _fp_thresholds(codes: Codes, min_support) -> tuple[int, int, np.ndarray]:
    n = codes.n_rows
    t1 = min_count_from_support(min_support, n)
    t2 = max(ceil_count(min_support, n), t1)
    keep = codes.item_counts() >= t1
    if t2 != t1 and is_chain(codes, keep):
        t2 = t1
    return t1, t2, keep


def _null_aware(codes: Codes, sets: Sets, df) -> np.ndarray:
    """mlxtend's support with null_values: rows where every item is 1, over the rows
    where none of the items is NaN (0 for a multi-item set whose every row has a NaN)."""
    values = dense_values(df)
    n = codes.n_rows
    nanmask = np.isnan(values)
    ones = values == 1
    ones_count = rows_with_all(ones, sets)
    nan_rows = rows_with_any(nanmask, sets)
    lens = sets.lengths()
    out = np.empty(len(sets), np.float64)
    single = lens == 1
    with np.errstate(divide="ignore", invalid="ignore"):
        out[single] = (ones_count[single] + 0.0) / (n - nan_rows[single] + 0.0)
    multi = ~single
    denom = n - nan_rows[multi]
    out[multi] = np.where(denom == 0, 0.0, ones_count[multi] / np.where(denom == 0, 1, denom))
    return out


def _fp_common(df, min_support, null_values, use_colnames, max_len, verbose, target):
    check_frame(df, null_values)
    check_min_support(min_support)
    codes = frame_codes(df, with_nan=bool(null_values))
    n = codes.n_rows
    if n == 0 or codes.n_cols == 0:
        return table(Sets.empty(), n, df, use_colnames, np.zeros(0, np.int64), np.float64)
    # negative lengths find nothing; so does 0 for fpmax, which tests len <= max_len
    if max_len is not None and (max_len < 0 or (target == "maximal" and max_len < 1)):
        return table(Sets.empty(), n, df, use_colnames, np.zeros(0, np.int64), np.float64)
    if target == "all" and max_len:
        operator.index(max_len)  # mlxtend's FP-growth takes a range() of it: a float is a TypeError
    limit = max_len or None
    fmt = "\r%d itemset(s) from tree conditioned on items (%s)"
    if null_values:
        sets, support = _fp_null(codes, df, min_support, limit, target)
        if verbose:
            print_prefix_lines(sets, limit, df, use_colnames, fmt, root=True)
        order = by_length(sets)
        sets = sets.take(order)
        support = support[order]
        keep = support >= min_support
        sets = sets.take(np.flatnonzero(keep))
        out = table(sets, n, df, use_colnames, np.arange(len(sets)), np.float64)
        if len(sets):
            out.index = pd.Index(np.flatnonzero(keep))
            out["support"] = support[keep]
        return out
    t1, t2, keep = _fp_thresholds(codes, min_support)
    if target == "all":
        sets = mine(codes, t1, limit, keep=keep)
        sets = filter_levels(sets, codes.item_counts(), t1, t2)
    else:
        sets = _maximal(codes, t1, t2, keep)
        if limit:
            sets = sets.take(np.flatnonzero(sets.lengths() <= limit))
    if verbose:
        print_prefix_lines(sets, limit, df, use_colnames, fmt, root=True)
    return table(sets, n, df, use_colnames, by_length(sets), np.float64)


def _maximal(codes: Codes, t1: int, t2: int, keep: np.ndarray) -> Sets:
    """Maximal sets of the family {singletons with t1 rows} + {longer sets with t2 rows}."""
    sets = mine(codes, t2, None, "maximal", keep=keep)
    if t2 == t1:
        return sets
    counts = codes.item_counts()
    lone = np.flatnonzero(keep & (counts < t2))
    return sets.append(singletons(lone, counts[lone]))


def _fp_null(codes: Codes, df, min_support, limit, target):
    """Candidates as mlxtend's trees find them with NaN cells counted as present, the root
    items chosen by their null-aware support; then the null-aware supports."""
    n = codes.n_rows
    present = codes.with_nan_present()
    ones = codes.item_counts()
    nans = np.bincount(codes.nan_item, minlength=codes.n_cols)
    with np.errstate(divide="ignore", invalid="ignore"):
        item_support = ones / (float(n) - nans)
    keep = item_support >= min_support
    t2 = ceil_count(min_support, n)
    if is_chain(present, keep):
        t2 = 1
    if target == "all":
        sets = mine(present, t2, limit, keep=keep)
        # every root item is reported, whatever its count with NaN cells as present
        counts = present.item_counts()
        have = np.zeros(codes.n_cols, bool)
        lens = sets.lengths()
        have[sets.items[np.repeat(lens == 1, lens)]] = True
        lone = np.flatnonzero(keep & ~have)
        sets = sets.append(singletons(lone, counts[lone]))
    else:
        t_items = int(present.item_counts()[keep].min()) if keep.any() else 1
        sets = _maximal(present, max(1, min(t_items, t2)), t2, keep)
        if limit:
            sets = sets.take(np.flatnonzero(sets.lengths() <= limit))
    support = _null_aware(codes, sets, df)
    return sets, support


@_documented(_sets_example("fpgrowth", "([['tea'], ['milk'], ['milk', 'tea']], [0.75, 0.75, 0.5])"))
def fpgrowth(df, min_support=0.5, null_values=False, use_colnames=False, max_len=None, verbose=0):
    """Frequent itemsets of a one-hot DataFrame, as ``mlxtend.frequent_patterns.fpgrowth``.

    Rows by length, then by column positions (mlxtend's follow its FP-tree).
    """
    return _fp_common(df, min_support, null_values, use_colnames, max_len, verbose, "all")


@_documented(_sets_example("fpmax", "([['milk', 'tea']], [0.5])"))
def fpmax(df, min_support=0.5, null_values=False, use_colnames=False, max_len=None, verbose=0):
    """Maximal frequent itemsets, as ``mlxtend.frequent_patterns.fpmax``.

    With ``max_len=k``: the maximal frequent itemsets of at most k items (mlxtend stops its
    search at depth k and may return a non-maximal set).
    """
    return _fp_common(df, min_support, null_values, use_colnames, max_len, verbose, "maximal")


@_documented(_sets_example("hmine", "([['tea'], ['milk', 'tea'], ['milk']], [0.75, 0.5, 0.75])"))
def hmine(df, min_support=0.5, use_colnames=False, max_len=None, verbose=0):
    """Frequent itemsets of a one-hot DataFrame, as ``mlxtend.frequent_patterns.hmine``.

    Rows in lexicographic order of column positions, a set before its extensions, as
    mlxtend's.
    """
    check_frame(df)
    check_min_support(min_support)
    codes = frame_codes(df)
    n = codes.n_rows
    if n == 0 or codes.n_cols == 0:
        return table(Sets.empty(), n, df, use_colnames, np.zeros(0, np.int64), np.float64)
    t = ceil_count(min_support, n)
    # hmine stops extending a prefix once it has max_len items; 0 and None mean no limit
    limit = None if not max_len else max(1, math.ceil(max_len))
    sets = mine(codes, t, limit)
    if verbose and limit != 1:
        fmt = "%d itemset(s) from the suffixes on item(s) (%s)"
        print_prefix_lines(sets, limit, df, True, fmt)
    return table(sets, n, df, use_colnames, preorder(sets), np.float64)
