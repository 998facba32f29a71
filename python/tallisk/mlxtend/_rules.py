"""association_rules of the drop-in: mlxtend's rule order, metrics (its formulas, in its
floating-point operations) and null-value counts, over the engine's rule generation."""

from __future__ import annotations

import itertools
import math
from typing import Any

import numpy as np
import pandas as pd

from .. import _engine
from ._frame import dense_values
from ._messages import METRICS, check_metric, check_rules_input, missing_subset_error
from ._sets import Sets, frozensets, rows_with_any


def _as_item(x):
    # mlxtend turns NumPy scalars into Python ints before building its frozensets
    return int(x) if isinstance(x, (np.integer, np.floating, np.bool_)) else x


class _ItemsetTable:
    """An itemset table mapped to integer codes: rows deduplicated as a dict would (first
    position, last support), items ranked by their natural order when comparable."""

    def __init__(self, df):
        keys = df["itemsets"].to_numpy()
        values = df["support"].to_numpy()
        m = len(keys)
        lens = np.fromiter(map(len, keys), dtype=np.int64, count=m)
        flat = np.empty(int(lens.sum()), dtype=object)
        flat[:] = list(itertools.chain.from_iterable(keys))
        codes, uniques = pd.factorize(flat, use_na_sentinel=False)
        uniques = np.asarray(uniques, dtype=object)
        try:
            order = np.argsort(uniques, kind="stable")
            rank = np.empty(len(order), np.int64)
            rank[order] = np.arange(len(order))
        except TypeError:
            rank = np.arange(len(uniques))
            order = rank
        self.items_by_rank = np.empty(len(uniques), dtype=object)
        self.items_by_rank[:] = [_as_item(u) for u in uniques[order]]
        row = np.repeat(np.arange(m, dtype=np.int64), lens)
        item = rank[codes] if len(codes) else np.zeros(0, np.int64)
        # sort within rows, drop repeated items (a frozenset holds each once)
        o = np.lexsort((item, row))
        row, item = row[o], item[o]
        if len(row):
            first = np.ones(len(row), bool)
            first[1:] = (row[1:] != row[:-1]) | (item[1:] != item[:-1])
            row, item = row[first], item[first]
        lens = np.bincount(row, minlength=m).astype(np.int64)
        offsets = np.zeros(m + 1, np.int64)
        np.cumsum(lens, out=offsets[1:])
        sets = Sets(offsets, item.astype(np.int32), np.zeros(m, np.int64))
        support = np.asarray(values, dtype=np.float64)
        for seed in range(0x7A11, 0x7A11 + 8):
            self.weights = np.random.default_rng(seed).integers(
                1, 2**63 - 1, size=max(1, len(uniques)), dtype=np.uint64
            ) | np.uint64(1)
            h = self.hash_rows(sets)
            groups, uniq_h = pd.factorize(h)
            first_pos = np.full(len(uniq_h), m, np.int64)
            np.minimum.at(first_pos, groups, np.arange(m))
            if len(uniq_h) == m or self._same_sets(sets, first_pos[groups], np.arange(m)):
                break
        else:  # pragma: no cover - eight 64-bit collisions in a row
            raise RuntimeError("could not hash the itemsets apart")
        if len(uniq_h) < m:
            # a repeated itemset keeps its first position and its last support, as a dict would
            last_pos = np.full(len(uniq_h), -1, np.int64)
            np.maximum.at(last_pos, groups, np.arange(m))
            rows = np.sort(first_pos)
            support = support[last_pos[groups[rows]]]
            sets = sets.take(rows)
            h = h[rows]
        self.sets = sets
        self.support = support
        self.index = pd.Index(h)

    def hash_rows(self, sets: Sets) -> np.ndarray:
        # an order-free sum of random 64-bit words per item; matches are verified
        if len(sets.items) == 0:
            return np.zeros(len(sets), np.uint64)
        w = self.weights[sets.items]
        out = np.zeros(len(sets), np.uint64)
        np.add.at(out, sets.row_of_item(), w)
        return out

    @staticmethod
    def _same_sets(sets: Sets, rows_a: np.ndarray, rows_b: np.ndarray) -> bool:
        if np.any(sets.lengths()[rows_a] != sets.lengths()[rows_b]):
            return False
        return bool(np.array_equal(sets.take(rows_a).items, sets.take(rows_b).items))

    def lookup(self, items: np.ndarray, width: int) -> np.ndarray:
        """Row holding each set given as a (k, width) matrix of ascending ranks; -1 if none."""
        k = items.shape[0]
        h = self.weights[items].sum(axis=1, dtype=np.uint64) if width else np.zeros(k, np.uint64)
        rows = self.index.get_indexer(h)
        found = rows >= 0
        if found.any():
            fr = rows[found]
            lens = self.sets.lengths()[fr]
            ok = lens == width
            starts = self.sets.offsets[fr][ok]
            got = self.sets.items[starts[:, None] + np.arange(width)]
            ok_idx = np.flatnonzero(found)[ok]
            same = np.all(got == items[ok_idx], axis=1)
            bad = np.zeros(k, bool)
            bad[np.flatnonzero(found)[~ok]] = True
            bad[ok_idx[~same]] = True
            rows = np.where(bad, -1, rows)
        return rows


def _split_patterns(length: int) -> tuple[list[tuple[int, ...]], list[tuple[int, ...]]]:
    """Antecedent and consequent positions within a set of ``length`` items, in the order
    rules are listed: longer antecedents first, then lexicographic."""
    ant: list[tuple[int, ...]] = []
    con: list[tuple[int, ...]] = []
    full = range(length)
    for r in range(length - 1, 0, -1):
        for c in itertools.combinations(full, r):
            ant.append(c)
            con.append(tuple(i for i in full if i not in c))
    return ant, con


def _enumerate_rules(table: _ItemsetTable):
    """Every split A -> C of every itemset of two or more items, as row arrays plus item
    matrices grouped by the sizes of A and C."""
    sets = table.sets
    lens = sets.lengths()
    row_of = sets.row_of_item()
    chunks = []
    for length in np.unique(lens):
        if length < 2:
            continue
        rows = np.flatnonzero(lens == length)
        mat = sets.items[np.isin(row_of, rows)].reshape(len(rows), int(length))
        ant, con = _split_patterns(int(length))
        # group patterns of one antecedent size: they share matrix shapes
        start = 0
        while start < len(ant):
            a_len = len(ant[start])
            stop = start
            while stop < len(ant) and len(ant[stop]) == a_len:
                stop += 1
            pa = np.array(ant[start:stop], dtype=np.int64)
            pc = np.array(con[start:stop], dtype=np.int64)
            n_pat = stop - start
            a_items = mat[:, pa].reshape(-1, a_len)
            c_items = mat[:, pc].reshape(-1, int(length) - a_len)
            rule_rows = np.repeat(rows, n_pat)
            pattern_rank = np.tile(np.arange(start, stop, dtype=np.int64), len(rows))
            chunks.append((rule_rows, pattern_rank, a_items, c_items))
            start = stop
    return chunks


def _engine_rules(table: _ItemsetTable, metric: str, min_threshold):
    """The rules from the engine, with the permutation that puts a selection of them in
    our order; None when the engine cannot take the
    table (a missing subset, supports it refuses), which the NumPy path then handles
    with mlxtend's errors."""
    sets = table.sets
    # the confidence test is pushed into the search a hair below the threshold; the exact
    # test with mlxtend's formula follows
    min_conf = 0.0
    if metric == "confidence" and isinstance(min_threshold, (int, float)) and math.isfinite(min_threshold):
        min_conf = max(0.0, float(min_threshold) * (1 - 1e-9) - 1e-12)
    if len(table.support) and not (np.all(np.isfinite(table.support)) and table.support.min() > 0):
        return None  # confidences the engine cannot order; mlxtend's formulas take them as they come
    try:
        res = _engine.generate_rules(sets.offsets, sets.items, table.support, 1.0, min_conf)
    except (ValueError, NotImplementedError):
        return None
    rule_row = np.asarray(res["rule_row"], np.int64)
    n_rules = len(rule_row)
    a_sets = Sets(res["antecedent_offsets"], res["antecedent_items"], np.zeros(n_rules, np.int64))
    c_sets = Sets(res["consequent_offsets"], res["consequent_items"], np.zeros(n_rules, np.int64))
    a_rows = np.asarray(res["antecedent_row"], np.int64)
    c_rows = np.asarray(res["consequent_row"], np.int64)

    def order(sel: np.ndarray) -> np.ndarray:
        # the engine lists a base's rules by consequent length, then consequents in
        # lexicographic order; for one length the antecedents (their complements) then
        # come in reverse lexicographic order, so each run of one base and one length is
        # reversed in place
        if len(sel) < 2:
            return sel
        c_len = np.diff(c_sets.offsets)[sel]
        rr = rule_row[sel]
        new_run = np.empty(len(sel), bool)
        new_run[0] = True
        new_run[1:] = (rr[1:] != rr[:-1]) | (c_len[1:] != c_len[:-1])
        starts = np.flatnonzero(new_run)
        ends = np.append(starts[1:], len(sel))
        run = np.cumsum(new_run) - 1
        pos = np.arange(len(sel))
        return sel[starts[run] + ends[run] - 1 - pos]

    return rule_row, a_sets, c_sets, a_rows, c_rows, order


def _numpy_rules(table: _ItemsetTable, lookup: bool):
    """Every split of every itemset, enumerated in NumPy, in our order; with ``lookup``
    the rows of the antecedents and consequents (-1 where missing)."""
    chunks = _enumerate_rules(table)
    if chunks:
        rule_row = np.concatenate([c[0] for c in chunks])
        pattern = np.concatenate([c[1] for c in chunks])
        order = np.lexsort((pattern, rule_row))
    else:
        rule_row = np.zeros(0, np.int64)
        order = rule_row
    a_rows = np.full(len(rule_row), -1, np.int64)
    c_rows = np.full(len(rule_row), -1, np.int64)
    a_len = np.empty(len(rule_row), np.int64)
    c_len = np.empty(len(rule_row), np.int64)
    a_parts, c_parts, pos_parts = [], [], []
    start = 0
    for rr, _, ai, ci in chunks:
        k = len(rr)
        sl = slice(start, start + k)
        a_len[sl] = ai.shape[1]
        c_len[sl] = ci.shape[1]
        if lookup:
            a_rows[sl] = table.lookup(ai, ai.shape[1])
            c_rows[sl] = table.lookup(ci, ci.shape[1])
        a_parts.append(ai)
        c_parts.append(ci)
        pos_parts.append(np.arange(start, start + k))
        start += k
    inv = np.empty(len(order), np.int64)
    inv[order] = np.arange(len(order))

    def csr(parts, lens):
        offsets = np.zeros(len(order) + 1, np.int64)
        np.cumsum(lens[order], out=offsets[1:])
        items = np.empty(int(offsets[-1]), np.int32)
        for part, pos in zip(parts, pos_parts, strict=True):
            idx = offsets[inv[pos]][:, None] + np.arange(part.shape[1])
            items[idx.ravel()] = part.ravel()
        return Sets(offsets, items, np.zeros(len(order), np.int64))

    return (rule_row[order], csr(a_parts, a_len), csr(c_parts, c_len), a_rows[order], c_rows[order], lambda sel: sel)


def _disabled_columns(df_orig, null_first_itemset) -> pd.Index:
    """The column labels mlxtend's table of missing cells gets: the frame's own when the
    first itemset's items are all strings, positions when they are all ints, else the
    positions pandas gives a new frame."""
    if all(isinstance(k, str) for k in null_first_itemset):
        return df_orig.columns
    return pd.RangeIndex(len(df_orig.columns))


def _first_error(df, df_orig, null_first_itemset) -> KeyError:
    """The error mlxtend raises for the first rule, in its own walk over the itemsets, whose
    antecedent or consequent has no row, or (with null values) whose items are not columns
    of the original frame; reached only when such a rule exists."""
    table: dict[frozenset, Any] = {}
    for cell in df["itemsets"].to_numpy():
        table.setdefault(frozenset(_as_item(x) for x in cell), None)
    columns = None if df_orig is None else _disabled_columns(df_orig, null_first_itemset)
    for k in table:
        for size in range(len(k) - 1, 0, -1):
            for c in itertools.combinations(k, r=size):
                antecedent = frozenset(c)
                consequent = k.difference(antecedent)
                for side in (antecedent, consequent):
                    if side not in table:
                        return missing_subset_error(side)
                if columns is not None:
                    try:  # pandas words the error, as it does for mlxtend
                        pd.DataFrame(columns=columns).loc[:, list(antecedent) + list(consequent)]
                    except KeyError as e:
                        return missing_subset_error(e)
    raise AssertionError("no rule of the table fails")  # pragma: no cover - callers checked


def _null_counts(table, df_orig, a_sets, c_sets, null_first_itemset, df):
    """disAC, disA, disC, dis_int, dis_int_ of every rule, as mlxtend counts them."""
    items = table.items_by_rank
    columns = _disabled_columns(df_orig, null_first_itemset)
    if not all(isinstance(k, str) for k in null_first_itemset) and not all(
        isinstance(k, (np.integer, int)) for k in null_first_itemset
    ):
        pos = np.full(len(items), -1, np.int64)  # labels of mixed kinds: none is a column
    else:
        pos = columns.get_indexer(pd.Index(items, dtype=object))
    if (pos < 0).any():
        raise _first_error(df, df_orig, null_first_itemset)
    values = dense_values(df_orig)
    nan = np.isnan(values[:, pos])
    one = values[:, pos] == 1
    hit = np.flatnonzero(nan.any(axis=1))
    nan, one = nan[hit], one[hit]
    n_rules = len(a_sets)
    out = np.zeros((5, n_rules), np.float64)
    # A ∪ C per rule (item order within a set does not matter to the counts)
    row_a, row_c = a_sets.row_of_item(), c_sets.row_of_item()
    ac_row = np.concatenate([row_a, row_c])
    ac_item = np.concatenate([a_sets.items, c_sets.items])
    o = np.argsort(ac_row, kind="stable")
    ac_sets = Sets(a_sets.offsets + c_sets.offsets, ac_item[o], np.zeros(n_rules, np.int64))
    if len(hit):
        out[0] = rows_with_any(nan, ac_sets)
        out[1] = rows_with_any(nan, a_sets)
        out[2] = rows_with_any(nan, c_sets)
        out[3] = _rows_with_pair(nan, one, c_sets, a_sets)
        out[4] = _rows_with_pair(nan, one, a_sets, c_sets)
    return out


def _rows_with_pair(nan, one, any_sets: Sets, all_sets: Sets, chunk_cells: int = 1 << 24) -> np.ndarray:
    """Rows with a NaN among ``any_sets`` and every item of ``all_sets`` equal to 1."""
    n_rules = len(any_sets)
    out = np.zeros(n_rules, np.int64)
    la, lb = any_sets.lengths(), all_sets.lengths()
    row_a, row_b = any_sets.row_of_item(), all_sets.row_of_item()
    for x in np.unique(la):
        for y in np.unique(lb[la == x]):
            rules = np.flatnonzero((la == x) & (lb == y))
            ma = any_sets.items[np.isin(row_a, rules)].reshape(len(rules), int(x))
            mb = all_sets.items[np.isin(row_b, rules)].reshape(len(rules), int(y))
            step = max(1, chunk_cells // max(1, nan.shape[0] * int(x + y)))
            for s in range(0, len(rules), step):
                a = nan[:, ma[s : s + step]].any(axis=2)
                b = one[:, mb[s : s + step]].all(axis=2)
                out[rules[s : s + step]] = (a & b).sum(axis=0)
    return out


def _metric(name, sAC, sA, sC, dis, num_itemsets):
    """mlxtend's metric formulas, with its floating-point operations in its order."""
    disAC, disA, disC, dis_int, dis_int_ = dis
    N = num_itemsets

    def confidence():
        return (sAC * (N - disAC)) / (sA * (N - disA) - dis_int)

    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if name == "antecedent support":
            return sA
        if name == "consequent support":
            return sC
        if name == "support":
            return sAC
        if name == "confidence":
            return confidence()
        if name == "lift":
            return confidence() / sC
        if name == "representativity":
            return (N - disAC) / N
        if name == "leverage":
            return sAC - sA * sC
        if name == "conviction":
            conf = confidence()
            out = np.full(np.shape(conf), np.inf)
            below = conf < 1.0
            out[below] = (1.0 - sC[below]) / (1.0 - conf[below])
            return out
        if name == "zhangs_metric":
            denominator = np.maximum(sAC * (1 - sA), sA * (sC - sAC))
            numerator = sAC - sA * sC
            return np.where(denominator == 0, 0, numerator / denominator)
        if name == "jaccard":
            return sAC / (sA + sC - sAC)
        if name == "certainty":
            num = confidence() - sC
            den = 1 - sC
            return np.where(den == 0, 0, num / den)
        if name == "kulczynski":
            conf_ac = sAC * (N - disAC) / (sA * (N - disA) - dis_int)
            conf_ca = sAC * (N - disAC) / (sC * (N - disC) - dis_int_)
            return (conf_ac + conf_ca) / 2
    raise KeyError(name)


def association_rules(
    df,
    num_itemsets=1,
    df_orig=None,
    null_values=False,
    metric="confidence",
    min_threshold=0.8,
    support_only=False,
    return_metrics=METRICS,
):
    """Association rules from an itemset table, as ``mlxtend.frequent_patterns.association_rules``.

    Parameters
    ----------
    df : DataFrame
        Columns ``support`` and ``itemsets``, from this module or from mlxtend itself (any
        iterables of hashable items).
    num_itemsets : int, default 1
        The number of transactions of the original data (needed with ``null_values``).
    df_orig : DataFrame, optional
        The original one-hot data, with ``null_values``.
    null_values : bool, default False
        The original data holds NaN cells: metrics are computed over the rows where the
        rule's items are known, as mlxtend does.
    metric : str, default "confidence"
        The measure filtered by, one of mlxtend's twelve.
    min_threshold : float, default 0.8
        The least value of ``metric`` a rule keeps.
    support_only : bool, default False
        Only the rule's support (the other columns NaN); the subsets need no rows.
    return_metrics : list of str
        The metric columns, mlxtend's twelve by default.

    Returns
    -------
    DataFrame
        ``antecedents``, ``consequents`` (frozensets) and ``return_metrics``; conviction
        infinite where the confidence is 1. Rows: the input's itemsets in table order;
        within one, antecedents longest first, then in lexicographic order of the items.

    Raises
    ------
    TypeError, ValueError, KeyError
        mlxtend's errors with its messages: ``null_values`` without ``df_orig`` or
        ``num_itemsets``, an empty table, missing columns, an unknown metric, a rule whose
        antecedent or consequent has no row.

    Examples
    --------
    >>> import pandas as pd
    >>> from tallisk.mlxtend import apriori, association_rules
    >>> df = pd.DataFrame({"tea": [True, True, True], "milk": [True, False, True]})
    >>> rules = association_rules(apriori(df, min_support=0.5, use_colnames=True), num_itemsets=3)
    >>> rules[["antecedents", "consequents", "confidence"]].values.tolist()
    [[frozenset({'milk'}), frozenset({'tea'}), 1.0]]
    """
    check_rules_input(df, num_itemsets, df_orig, null_values)
    metric = check_metric(metric, support_only)
    null_first = frozenset(_as_item(x) for x in df["itemsets"].iloc[0]) if null_values else None
    if all(len(k) < 2 for k in df["itemsets"].to_numpy()):
        # no itemset to split (a table of single items): no rules
        return pd.DataFrame(columns=["antecedents", "consequents"] + list(return_metrics))
    table = _ItemsetTable(df)

    rules = None
    if not support_only:
        rules = _engine_rules(table, metric, min_threshold)
    if rules is None:
        rules = _numpy_rules(table, lookup=not support_only)
    rule_row, a_sets, c_sets, a_rows, c_rows, in_order = rules
    sAC = table.support[rule_row]
    if support_only:
        sA = np.full(len(rule_row), np.nan)
        sC = np.full(len(rule_row), np.nan)
    else:
        if ((a_rows < 0) | (c_rows < 0)).any():
            raise _first_error(df, df_orig if null_values else None, null_first)
        sA = table.support[a_rows]
        sC = table.support[c_rows]
    if null_values and not support_only and len(rule_row):
        dis = _null_counts(table, df_orig, a_sets, c_sets, null_first, df)
    else:
        dis = np.zeros((5, len(rule_row)), np.float64)

    score = _metric(metric, sAC, sA, sC, dis, num_itemsets)
    with np.errstate(invalid="ignore"):
        keep = np.asarray(score >= min_threshold)
    if not keep.any():
        return pd.DataFrame(columns=["antecedents", "consequents"] + list(return_metrics))
    sel = in_order(np.flatnonzero(keep))
    if support_only:
        a_sel, c_sel = a_sets.take(sel), c_sets.take(sel)
        antecedents = frozensets(a_sel, table.items_by_rank)
        consequents = frozensets(c_sel, table.items_by_rank)
    else:
        # antecedents and consequents are rows of the table: one frozenset per row, shared
        row_sets = frozensets(table.sets, table.items_by_rank)
        antecedents, consequents = row_sets[a_rows[sel]], row_sets[c_rows[sel]]
    columns = {"antecedents": antecedents, "consequents": consequents}
    sAC, sA, sC, dis = sAC[sel], sA[sel], sC[sel], dis[:, sel]
    if support_only:
        for m in return_metrics:
            columns[m] = np.full(len(sel), np.nan)
        columns["support"] = sAC
    else:
        for m in return_metrics:
            columns[m] = _metric(m, sAC, sA, sC, dis, num_itemsets)
    # one construction: inserting the columns one by one costs more than the rules on
    # small tables
    return pd.DataFrame(columns)
