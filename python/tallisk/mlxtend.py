"""A drop-in for ``mlxtend.frequent_patterns`` computed by the tallisk engine.

Replace ``from mlxtend.frequent_patterns import apriori, association_rules`` with
``from tallisk.mlxtend import apriori, association_rules`` and keep the rest of the
code: the five functions take mlxtend 0.25's parameters with its defaults, return the
same tables (columns, dtypes, values, frozensets of column positions or names) and
raise or warn the same way on the same inputs.

Row order
---------
* ``apriori``: by itemset length, then lexicographically by column position, as mlxtend.
* ``hmine``: lexicographically by column position (a set before its extensions), as mlxtend.
* ``fpgrowth``, ``fpmax``: mlxtend's order follows the insertion order of its FP-tree's
  nodes, an artefact of its tree; ours is that of ``apriori`` (length, then column
  positions).
* ``association_rules``: the itemsets in the order of the input table (a repeated itemset
  counts once, at its first row, with the support of its last row, as in mlxtend); for one
  itemset, antecedents from the longest to the shortest, and for one length in
  lexicographic order of the itemset's items (sorted by their natural order when they are
  mutually comparable, by first appearance in the table otherwise). mlxtend walks
  ``itertools.combinations`` over the frozenset itself, so within one itemset it follows
  set iteration order (hash order for strings, which changes with PYTHONHASHSEED).

Where we knowingly differ
-------------------------
* A frame with columns but no rows gives an empty table without RuntimeWarnings
  (mlxtend divides by zero; its ``hmine`` then returns every itemset with NaN support).
* ``hmine``'s ``support`` column is float64 (mlxtend's is object, built by transposing a
  mixed frame).
* ``fpmax(max_len=k)`` returns the maximal frequent itemsets that have at most k items.
  mlxtend stops its search at depth k and can then return a non-maximal set.
* ``fpgrowth``/``fpmax`` ``verbose`` lines have mlxtend's format, one line per searched
  prefix; their number and order differ as the trees differ. ``hmine``'s lines also work
  with non-string column names (mlxtend raises a TypeError joining them).
* ``association_rules`` computes mlxtend's metrics with the same formulas and the same
  floating-point operations, without RuntimeWarnings when a consequent has support 1.
* The DeprecationWarning for non-bool frames points at the caller; we do not change the
  process-wide warning filters as importing mlxtend does.
"""

from __future__ import annotations

import gc
import itertools
import math
import sys
import warnings

import numpy as np
import pandas as pd

__all__ = ["apriori", "association_rules", "fpgrowth", "fpmax", "hmine"]

_METRICS = [
    "antecedent support",
    "consequent support",
    "support",
    "confidence",
    "lift",
    "representativity",
    "leverage",
    "conviction",
    "zhangs_metric",
    "jaccard",
    "certainty",
    "kulczynski",
]

_MSG_MIN_SUPPORT = "`min_support` must be a positive number within the interval `(0, 1]`. Got %s."
_MSG_NON_BOOL = (
    "DataFrames with non-bool types result in worse computational"
    "performance and their support might be discontinued in the future."
    "Please use a DataFrame with bool type"
)
_MSG_NULL_INEFFICIENT = (
    "null_values=True is inefficient when there are no NaN values in the DataFrame."
    "Set null_values=False for faster output."
)
_MSG_NAN = "NaN values are not permitted in the DataFrame when null_values=False."
_MSG_SPARSE_INT_COLUMNS = (
    "Due to current limitations in Pandas, "
    "if the sparse format has integer column names,"
    "names, please make sure they either start "
    "with `0` or cast them as string column names: "
    "`df.columns = [str(i) for i in df.columns`]."
)
_MSG_SPARSE_DATAFRAME = (
    "SparseDataFrame support has been deprecated in pandas 1.0,"
    " and is no longer supported in mlxtend. "
    " Please"
    " see the pandas migration guide at"
    " https://pandas.pydata.org/pandas-docs/"
    "stable/user_guide/sparse.html#sparse-data-structures"
    " for supporting sparse data in DataFrames."
)
# mlxtend's message carries the indentation of its source line (a backslash continuation)
_MSG_COLUMNS = "Dataframe needs to contain the" + " " * 25 + "columns 'support' and 'itemsets'"
_MSG_EMPTY_ITEMSETS = "The input DataFrame `df` containing the frequent itemsets is empty."
_MSG_MISSING_SUBSET = (
    "You are likely getting this error"
    " because the DataFrame is missing "
    " antecedent and/or consequent "
    " information."
    " You can try using the "
    " `support_only=True` option"
)


# ---------------------------------------------------------------------------------------
# input checks


def _is_sparse_frame(df) -> bool:
    # pandas only offers the .sparse accessor when every column is sparse (the accessor's
    # own check, without building the accessor)
    if isinstance(df, pd.DataFrame):
        return all(isinstance(t, pd.SparseDtype) for t in df.dtypes)
    return hasattr(df, "sparse")


def _caller_stacklevel() -> int:
    """Stack level of the first frame outside this module, so that warnings name the call
    site in the user's code."""
    level = 1
    frame = sys._getframe(1)
    while frame is not None and frame.f_globals.get("__name__") == __name__:
        frame = frame.f_back
        level += 1
    return level


def _non_bool_cells_allowed_only_if_nan(col: pd.Series) -> bool:
    """With null_values, mlxtend accepts a column without the warning when every cell is
    NA or a Python bool."""
    if pd.api.types.is_bool_dtype(col.dtype):
        return True
    values = col.to_numpy(dtype=object)
    na = pd.isna(values)
    return all(na[i] or isinstance(v, bool) for i, v in enumerate(values))


def _is_bool_dtype(t) -> bool:
    # pandas' own test, without its slow path for the sparse dtypes of wide frames
    if isinstance(t, np.dtype):
        return t == np.dtype(bool)
    if isinstance(t, pd.SparseDtype):
        return _is_bool_dtype(t.subtype)
    return pd.api.types.is_bool_dtype(t)


def _check_frame(df, null_values: bool = False) -> None:
    """The checks mlxtend runs on a one-hot frame, with its messages, in its order."""
    if df is None:
        return
    if f"{type(df)}" == "<class 'pandas.core.frame.SparseDataFrame'>":
        raise TypeError(_MSG_SPARSE_DATAFRAME)
    if df.size == 0:
        return
    sparse = _is_sparse_frame(df)
    if sparse and not isinstance(df.columns[0], str) and df.columns[0] != 0:
        raise ValueError(_MSG_SPARSE_INT_COLUMNS)
    if null_values:
        all_bools = all(_non_bool_cells_allowed_only_if_nan(df.iloc[:, j]) for j in range(df.shape[1]))
    else:
        all_bools = all(map(_is_bool_dtype, df.dtypes))
    if all_bools:
        return
    warnings.warn(_MSG_NON_BOOL, DeprecationWarning, stacklevel=_caller_stacklevel())
    has_nans = bool(pd.isna(df).any().any())
    if null_values and not has_nans:
        warnings.warn(_MSG_NULL_INEFFICIENT, UserWarning, stacklevel=_caller_stacklevel())
    if not null_values and has_nans:
        raise ValueError(_MSG_NAN)
    if sparse:
        values = df.sparse.to_coo().tocoo().data
    else:
        values = df.values
    if null_values:
        bad = (values != 1) & (values != 0) & (~np.isnan(values))
    else:
        bad = (values != 1) & (values != 0)
    idxs = np.where(bad)
    if len(idxs[0]) > 0:
        val = values[tuple(loc[0] for loc in idxs)]
        allowed = "True, False, 0, 1, NaN" if null_values else "True, False, 0, 1"
        raise ValueError(f"The allowed values for a DataFrame are {allowed}. Found value {val}")


def _check_min_support(min_support) -> None:
    if min_support <= 0.0 or min_support > 1.0:
        raise ValueError(_MSG_MIN_SUPPORT % min_support)


# ---------------------------------------------------------------------------------------
# one-hot frame -> engine occurrence arrays


class _Codes:
    """The frame as engine input: one (row, column) pair per true cell.

    ``nan_*`` hold the NaN cells, which mlxtend's trees treat as present (NaN is truthy)
    while its null-aware supports leave them out."""

    def __init__(self, txn_ids, item_ids, n_rows, n_cols, nan_txn=None, nan_item=None):
        self.txn_ids = txn_ids
        self.item_ids = item_ids
        self.n_rows = n_rows
        self.n_cols = n_cols
        self.nan_txn = nan_txn
        self.nan_item = nan_item

    def item_counts(self) -> np.ndarray:
        return np.bincount(self.item_ids, minlength=self.n_cols).astype(np.int64)


def _sparse_column_rows(arr) -> tuple[np.ndarray, np.ndarray]:
    """Rows of a SparseArray holding a truthy value, and rows holding NaN."""
    fill = arr.fill_value
    fill_na = bool(pd.isna(fill))
    if not fill_na and not bool(fill):
        idx = np.asarray(arr.sp_index.indices, dtype=np.int64)
        vals = np.asarray(arr.sp_values)
        if vals.dtype == bool:
            return idx[vals], idx[:0]
        nan = pd.isna(vals)
        return idx[(vals != 0) & ~nan], idx[nan]
    dense = np.asarray(arr.to_numpy())
    nan = pd.isna(dense)
    present = np.zeros(len(dense), bool) if dense.dtype != bool else dense
    if dense.dtype != bool:
        present = (dense != 0) & ~nan
    return np.flatnonzero(present), np.flatnonzero(nan)


def _column_arrays(df) -> list | None:
    """The frame's column arrays without building a Series per column, which costs more
    than the mining on frames with tens of thousands of columns; None if pandas does not
    expose them."""
    try:
        arrays = list(df._mgr.arrays)
    except AttributeError:
        return None
    return arrays if len(arrays) == df.shape[1] else None


def _fast_codes(df) -> _Codes | None:
    """The two common layouts read directly: all-bool dense frames (one flat scan of the
    block in memory order) and sparse frames with a 0/False fill (their stored cells).
    None for anything else."""
    n_rows, n_cols = df.shape
    none64, none32 = np.zeros(0, np.int64), np.zeros(0, np.int32)
    if all(isinstance(t, np.dtype) and t == np.dtype(bool) for t in df.dtypes):
        x = df.to_numpy(dtype=bool, copy=False)
        if x.flags.f_contiguous and not x.flags.c_contiguous:
            flat = np.flatnonzero(x.ravel(order="F"))
            item, txn = np.divmod(flat, n_rows)
        else:
            flat = np.flatnonzero(np.ascontiguousarray(x).ravel())
            txn, item = np.divmod(flat, n_cols)
        return _Codes(txn, item.astype(np.int32), n_rows, n_cols, none64, none32)
    if not _is_sparse_frame(df):
        return None
    arrays = _column_arrays(df)
    if arrays is None:
        return None
    for a in arrays:
        if (
            not isinstance(a, pd.arrays.SparseArray)
            or pd.isna(a.fill_value)
            or a.fill_value != 0
            or a.sp_values.dtype.kind not in "biuf"
        ):
            return None
    lens = np.fromiter((a.sp_index.npoints for a in arrays), np.int64, count=n_cols)
    txn = np.concatenate([np.asarray(a.sp_index.indices, np.int64) for a in arrays]) if n_cols else none64
    vals = np.concatenate([np.asarray(a.sp_values) for a in arrays]) if n_cols else none64
    item = np.repeat(np.arange(n_cols, dtype=np.int32), lens)
    if vals.dtype != bool or not vals.all():
        keep = vals != 0
        txn, item = txn[keep], item[keep]
    return _Codes(txn, item, n_rows, n_cols, none64, none32)


def _frame_codes(df, with_nan: bool = False) -> _Codes:
    """The true cells (and, ``with_nan``, the NaN cells) of a checked frame."""
    n_rows, n_cols = df.shape
    if df.size == 0:
        empty64 = np.zeros(0, np.int64)
        return _Codes(empty64, np.zeros(0, np.int32), n_rows, n_cols, empty64, np.zeros(0, np.int32))
    if not with_nan:
        fast = _fast_codes(df)
        if fast is not None:
            return fast
        from tallisk._onehot import onehot_codes

        txn, item, n_rows, _ = onehot_codes(df)
        return _Codes(txn, item, n_rows, n_cols, np.zeros(0, np.int64), np.zeros(0, np.int32))
    if _is_sparse_frame(df):
        rows, cols, nan_rows, nan_cols = [], [], [], []
        for j, (_, col) in enumerate(df.items()):
            present, nan = _sparse_column_rows(col.array)
            rows.append(present)
            cols.append(np.full(len(present), j, np.int32))
            if len(nan):
                nan_rows.append(nan)
                nan_cols.append(np.full(len(nan), j, np.int32))
        txn = np.concatenate(rows)
        item = np.concatenate(cols)
        nan_txn = np.concatenate(nan_rows) if nan_rows else np.zeros(0, np.int64)
        nan_item = np.concatenate(nan_cols) if nan_cols else np.zeros(0, np.int32)
        return _Codes(txn, item, n_rows, n_cols, nan_txn, nan_item)
    if all(t == np.dtype(bool) for t in df.dtypes):
        t, i = np.nonzero(df.to_numpy(dtype=bool, copy=False))
        return _Codes(
            t.astype(np.int64, copy=False),
            i.astype(np.int32),
            n_rows,
            n_cols,
            np.zeros(0, np.int64),
            np.zeros(0, np.int32),
        )
    values = df.to_numpy()
    nan = pd.isna(values)
    if values.dtype == object:
        present = np.zeros(values.shape, bool)
        present[~nan] = values[~nan] != 0
    else:
        present = (values != 0) & ~nan
    t, i = np.nonzero(present)
    nt, ni = np.nonzero(nan)
    return _Codes(
        t.astype(np.int64, copy=False),
        i.astype(np.int32),
        n_rows,
        n_cols,
        nt.astype(np.int64, copy=False),
        ni.astype(np.int32),
    )


# ---------------------------------------------------------------------------------------
# thresholds: mlxtend compares supports in two ways, and the two can disagree by one
# transaction when min_support * n rounds to just above an integer


def _min_count_div(min_support: float, n: int) -> int:
    """Smallest count c with ``c / n >= min_support`` in float64 (apriori's test and the
    final filter of fpgrowth and fpmax); n + 1 when no count passes."""
    if n == 0:
        return 1
    ms = float(min_support)
    c = min(max(math.ceil(ms * n), 0), n + 1)
    while c > 0 and (c - 1) / n >= ms:
        c -= 1
    while c <= n and c / n < ms:
        c += 1
    return max(c, 1)


def _min_count_mul(min_support: float, n: int) -> int:
    """``ceil(min_support * n)``: the count the FP-trees, hmine and apriori's low-memory
    path compare against."""
    return max(math.ceil(float(min_support) * n), 1)


def _is_chain(codes: _Codes, keep: np.ndarray) -> bool:
    """Whether the rows, restricted to the items in ``keep``, are nested in one another: then
    mlxtend's first FP-tree is a single path and it enumerates the sets without the count
    test of its conditional trees."""
    counts = codes.item_counts()
    sel = keep[codes.item_ids]
    txn, item = codes.txn_ids[sel], codes.item_ids[sel]
    if len(txn) == 0:
        return True
    order = np.argsort(-counts, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    size = np.bincount(txn, minlength=codes.n_rows)
    top = np.full(codes.n_rows, -1, np.int64)
    np.maximum.at(top, txn, rank[item])
    used = size > 0
    return bool(np.all(top[used] == size[used] - 1))


# ---------------------------------------------------------------------------------------
# mining


def _engine():
    from tallisk import _engine

    return _engine


class _Sets:
    """Itemsets in CSR form: ``offsets`` int64[m+1], ``items`` int32 ascending per set,
    ``counts`` int64[m]."""

    def __init__(self, offsets, items, counts):
        self.offsets = np.asarray(offsets, np.int64)
        self.items = np.asarray(items, np.int32)
        self.counts = np.asarray(counts, np.int64)

    @classmethod
    def empty(cls) -> _Sets:
        return cls(np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0, np.int64))

    def __len__(self) -> int:
        return len(self.counts)

    def lengths(self) -> np.ndarray:
        return np.diff(self.offsets)

    def take(self, rows: np.ndarray) -> _Sets:
        rows = np.asarray(rows, np.int64)
        lens = self.lengths()[rows]
        offsets = np.zeros(len(rows) + 1, np.int64)
        np.cumsum(lens, out=offsets[1:])
        starts = np.repeat(self.offsets[:-1][rows] - offsets[:-1], lens)
        idx = starts + np.arange(offsets[-1], dtype=np.int64)
        return _Sets(offsets, self.items[idx], self.counts[rows])

    def row_of_item(self) -> np.ndarray:
        return np.repeat(np.arange(len(self), dtype=np.int64), self.lengths())


def _mine(
    codes: _Codes, min_count: int, max_len: int | None, target: str = "all", keep: np.ndarray | None = None
) -> _Sets:
    txn, item = codes.txn_ids, codes.item_ids
    if keep is not None:
        sel = keep[item]
        txn, item = txn[sel], item[sel]
    if codes.n_rows == 0 or codes.n_cols == 0 or len(txn) == 0 or min_count > codes.n_rows:
        return _Sets.empty()
    res = _engine().mine_itemsets(txn, item, codes.n_cols, int(min_count), 1, max_len, target)
    return _Sets(res["offsets"], res["items"], res["counts"])


def _filter_levels(sets: _Sets, item_counts: np.ndarray, t1: int, t2: int) -> _Sets:
    """Singletons need ``t1`` transactions; longer sets ``t2`` and every item ``t1``."""
    lens = sets.lengths()
    ok = np.where(lens == 1, sets.counts >= t1, sets.counts >= t2)
    if t2 < t1:
        bad_item = item_counts[sets.items] < t1
        ok &= np.bincount(sets.row_of_item()[bad_item], minlength=len(sets)) == 0
    return sets.take(np.flatnonzero(ok)) if not ok.all() else sets


def _lex_order(sets: _Sets, by_length_first: bool) -> np.ndarray:
    """Row order: lexicographic by item ids, a set before its extensions; optionally by
    length first."""
    m = len(sets)
    if m == 0:
        return np.zeros(0, np.int64)
    lens = sets.lengths()
    width = int(lens.max())
    pad = np.full((m, width), -1, np.int64)
    pos = np.arange(len(sets.items)) - np.repeat(sets.offsets[:-1], lens)
    pad[sets.row_of_item(), pos] = sets.items
    keys = [pad[:, j] for j in range(width - 1, -1, -1)]
    if by_length_first:
        keys.append(lens)
    return np.lexsort(keys)


def _frozensets(sets: _Sets, labels: np.ndarray | None) -> np.ndarray:
    """One frozenset per row, of column positions (Python ints) or of labels."""
    # the cyclic collector would walk the growing object arrays again and again while
    # millions of frozensets are made; none of them can be part of a cycle
    enabled = gc.isenabled()
    gc.disable()
    try:
        return _frozensets_unchecked(sets, labels)
    finally:
        if enabled:
            gc.enable()


def _frozensets_unchecked(sets: _Sets, labels: np.ndarray | None) -> np.ndarray:
    out = np.empty(len(sets), dtype=object)
    lens = sets.lengths()
    row_of = sets.row_of_item()
    for length in np.unique(lens):
        rows = np.flatnonzero(lens == length)
        sel = np.isin(row_of, rows) if len(rows) < len(sets) else slice(None)
        flat = sets.items[sel]
        vals = labels[flat] if labels is not None else flat
        out[rows] = list(map(frozenset, vals.reshape(len(rows), int(length)).tolist()))
    return out


def _table(
    sets: _Sets, n_rows: int, df, use_colnames: bool, order: np.ndarray, empty_itemsets_dtype, index=None
) -> pd.DataFrame:
    if len(order) == 0:
        return pd.DataFrame({"support": np.zeros(0, np.float64), "itemsets": np.zeros(0, dtype=empty_itemsets_dtype)})
    sets = sets.take(order)
    labels = None
    if use_colnames:
        labels = np.empty(df.shape[1], dtype=object)
        labels[:] = list(df.columns)
    support = sets.counts / float(n_rows)
    out = pd.DataFrame({"support": support, "itemsets": _frozensets(sets, labels)})
    if index is not None:
        out.index = index
    return out


# ---------------------------------------------------------------------------------------
# verbose progress lines in mlxtend's formats


def _extension_counts(sets: _Sets) -> tuple[_Sets, np.ndarray]:
    """For the sets in lexicographic order: how many sets extend each one by one larger
    item (its children in the prefix tree)."""
    order = _lex_order(sets, by_length_first=False)
    s = sets.take(order)
    lens = s.lengths()
    # the parent of a set in lexicographic order is the nearest earlier set one shorter
    # that is its prefix; in preorder it is the last earlier set of length len-1
    parent = np.full(len(s), -1, np.int64)
    last_at = {}
    for r, length in enumerate(lens.tolist()):
        parent[r] = last_at.get(length - 1, -1)
        last_at[length] = r
    children = np.bincount(parent[parent >= 0], minlength=len(s))
    return s, children


def _print_prefix_lines(sets: _Sets, max_len: int | None, df, use_colnames: bool, fmt: str, root: bool = False) -> None:
    """One line per searched prefix with the number of sets found one item deeper (and,
    with ``root``, a first line for the empty prefix, as the FP-tree search prints)."""
    s, children = _extension_counts(sets)
    names = list(df.columns)
    if root:
        print(fmt % (int(np.sum(s.lengths() == 1)), ""), end="\n")
    for r in range(len(s)):
        row = s.items[s.offsets[r] : s.offsets[r + 1]].tolist()
        if max_len and len(row) >= max_len:
            continue
        shown = ", ".join(str(names[i]) if use_colnames else str(i) for i in row)
        print(fmt % (children[r], shown), end="\n")


def _apriori_candidate_counts(sets: _Sets, max_len) -> list[tuple[int, int, int]]:
    """(level k, candidates mlxtend builds for level k, frequent sets of level k) for
    every level mlxtend reaches: candidates are the k-sets whose (k-1)-subsets are all
    frequent."""
    lens = sets.lengths()
    levels = []
    k = 1
    prev = {tuple(sets.items[sets.offsets[r] : sets.offsets[r + 1]].tolist()) for r in np.flatnonzero(lens == 1)}
    while prev and k < (max_len or float("inf")):
        k += 1
        ordered = sorted(prev)
        n_cand = 0
        for i, a in enumerate(ordered):
            for b in ordered[i + 1 :]:
                if a[:-1] != b[:-1]:
                    break
                cand = a + (b[-1],)
                if all(cand[:j] + cand[j + 1 :] in prev for j in range(len(cand) - 2)):
                    n_cand += 1
        if n_cand == 0:
            break
        cur = {tuple(sets.items[sets.offsets[r] : sets.offsets[r + 1]].tolist()) for r in np.flatnonzero(lens == k)}
        levels.append((k, n_cand, len(cur)))
        if not cur:
            break
        prev = cur
    return levels


# ---------------------------------------------------------------------------------------
# the four miners


def _max_len_or_none(max_len):
    return None if not max_len else max_len


def apriori(df, min_support=0.5, use_colnames=False, max_len=None, verbose=0, low_memory=False, n_jobs=1):
    """Frequent itemsets of a one-hot DataFrame, as ``mlxtend.frequent_patterns.apriori``.

    ``low_memory`` and ``n_jobs`` are accepted for compatibility; the engine's own search
    is used either way (``low_memory`` keeps mlxtend's count test for sets of two or more
    items). Columns ``support`` (float64) and ``itemsets`` (frozensets of column positions,
    or of column names with ``use_colnames=True``), by length then column positions.
    """
    _check_min_support(min_support)
    _check_frame(df)
    codes = _frame_codes(df)
    n = codes.n_rows
    if n == 0 or codes.n_cols == 0:
        return _table(_Sets.empty(), n, df, use_colnames, np.zeros(0, np.int64), object)
    # apriori keeps going while the level is below max_len; 0 and None mean no limit
    limit = None if not max_len else max(1, math.ceil(max_len))
    t1 = _min_count_div(min_support, n)
    t2 = _min_count_mul(min_support, n) if low_memory else t1
    sets = _mine(codes, min(t1, t2), limit)
    sets = _filter_levels(sets, codes.item_counts(), t1, t2)
    if verbose:
        for k, n_cand, n_freq in _apriori_candidate_counts(sets, limit):
            size = n_freq * (k + 1) if low_memory else n_cand * k
            if low_memory and n_freq == 0:
                break
            print(f"\rProcessing {size} combinations | Sampling itemset size {k}", end="")
        print()
    return _table(sets, n, df, use_colnames, _lex_order(sets, by_length_first=True), object)


def _fp_thresholds(codes: _Codes, min_support) -> tuple[int, int, np.ndarray]:
    n = codes.n_rows
    t1 = _min_count_div(min_support, n)
    t2 = max(_min_count_mul(min_support, n), t1)
    keep = codes.item_counts() >= t1
    if t2 != t1 and _is_chain(codes, keep):
        t2 = t1
    return t1, t2, keep


def _null_aware(codes: _Codes, sets: _Sets, df) -> np.ndarray:
    """mlxtend's support with null_values: rows where every item is 1, over the rows
    where none of the items is NaN (0 for a multi-item set whose every row has a NaN)."""
    values = (
        df.to_numpy(dtype=np.float64, na_value=np.nan)
        if not _is_sparse_frame(df)
        else df.sparse.to_dense().to_numpy(dtype=np.float64, na_value=np.nan)
    )
    n = codes.n_rows
    nanmask = np.isnan(values)
    ones = values == 1
    ones_count = _rows_with_all(ones, sets)
    nan_rows = _rows_with_any(nanmask, sets)
    lens = sets.lengths()
    out = np.empty(len(sets), np.float64)
    single = lens == 1
    with np.errstate(divide="ignore", invalid="ignore"):
        out[single] = (ones_count[single] + 0.0) / (n - nan_rows[single] + 0.0)
    multi = ~single
    denom = n - nan_rows[multi]
    out[multi] = np.where(denom == 0, 0.0, ones_count[multi] / np.where(denom == 0, 1, denom))
    return out


def _grouped_rows(sets: _Sets):
    """Yields (rows, items matrix) for each set length."""
    lens = sets.lengths()
    row_of = sets.row_of_item()
    for length in np.unique(lens):
        rows = np.flatnonzero(lens == length)
        sel = np.isin(row_of, rows)
        yield rows, sets.items[sel].reshape(len(rows), int(length))


def _rows_with_all(mask: np.ndarray, sets: _Sets, chunk_cells: int = 1 << 24) -> np.ndarray:
    out = np.zeros(len(sets), np.int64)
    for rows, mat in _grouped_rows(sets):
        step = max(1, chunk_cells // max(1, mask.shape[0] * mat.shape[1]))
        for s in range(0, len(rows), step):
            out[rows[s : s + step]] = mask[:, mat[s : s + step]].all(axis=2).sum(axis=0)
    return out


def _rows_with_any(mask: np.ndarray, sets: _Sets, chunk_cells: int = 1 << 24) -> np.ndarray:
    out = np.zeros(len(sets), np.int64)
    hit = np.flatnonzero(mask.any(axis=1))
    if len(hit) == 0:
        return out
    sub = mask[hit]
    for rows, mat in _grouped_rows(sets):
        step = max(1, chunk_cells // max(1, sub.shape[0] * mat.shape[1]))
        for s in range(0, len(rows), step):
            out[rows[s : s + step]] = sub[:, mat[s : s + step]].any(axis=2).sum(axis=0)
    return out


def _fp_common(df, min_support, null_values, use_colnames, max_len, verbose, target):
    _check_frame(df, null_values)
    _check_min_support(min_support)
    codes = _frame_codes(df, with_nan=bool(null_values))
    n = codes.n_rows
    if n == 0 or codes.n_cols == 0:
        return _table(_Sets.empty(), n, df, use_colnames, np.zeros(0, np.int64), np.float64)
    # negative lengths find nothing; so does 0 for fpmax, which tests len <= max_len
    if max_len is not None and (max_len < 0 or (target == "maximal" and max_len < 1)):
        return _table(_Sets.empty(), n, df, use_colnames, np.zeros(0, np.int64), np.float64)
    limit = _max_len_or_none(max_len)
    fmt = "\r%d itemset(s) from tree conditioned on items (%s)"
    if null_values:
        sets, support = _fp_null(codes, df, min_support, limit, target)
        if verbose:
            _print_prefix_lines(sets, limit, df, use_colnames, fmt, root=True)
        order = _lex_order(sets, by_length_first=True)
        sets = sets.take(order)
        support = support[order]
        keep = support >= min_support
        sets = sets.take(np.flatnonzero(keep))
        out = _table(
            sets,
            n,
            df,
            use_colnames,
            np.arange(len(sets)),
            np.float64,
            index=pd.Index(np.flatnonzero(keep)) if keep.sum() else None,
        )
        if len(sets):
            out["support"] = support[keep]
        return out
    t1, t2, keep = _fp_thresholds(codes, min_support)
    if target == "all":
        sets = _mine(codes, t1, limit, keep=keep)
        sets = _filter_levels(sets, codes.item_counts(), t1, t2)
    else:
        sets = _maximal(codes, t1, t2, keep)
        if limit:
            sets = sets.take(np.flatnonzero(sets.lengths() <= limit))
    if verbose:
        _print_prefix_lines(sets, limit, df, use_colnames, fmt, root=True)
    return _table(sets, n, df, use_colnames, _lex_order(sets, by_length_first=True), np.float64)


def _maximal(codes: _Codes, t1: int, t2: int, keep: np.ndarray) -> _Sets:
    """Maximal sets of the family {singletons with t1 rows} + {longer sets with t2 rows}."""
    sets = _mine(codes, t2, None, "maximal", keep=keep)
    if t2 == t1:
        return sets
    counts = codes.item_counts()
    lone = np.flatnonzero(keep & (counts < t2))
    extra = _Sets(np.arange(len(lone) + 1, dtype=np.int64), lone.astype(np.int32), counts[lone])
    return _Sets(
        np.concatenate([sets.offsets, sets.offsets[-1] + extra.offsets[1:]]),
        np.concatenate([sets.items, extra.items]),
        np.concatenate([sets.counts, extra.counts]),
    )


def _fp_null(codes: _Codes, df, min_support, limit, target):
    """Candidates as mlxtend's trees find them with NaN cells counted as present, the root
    items chosen by their null-aware support; then the null-aware supports."""
    n = codes.n_rows
    present = _Codes(
        np.concatenate([codes.txn_ids, codes.nan_txn]),
        np.concatenate([codes.item_ids, codes.nan_item]),
        n,
        codes.n_cols,
    )
    ones = codes.item_counts()
    nans = np.bincount(codes.nan_item, minlength=codes.n_cols)
    with np.errstate(divide="ignore", invalid="ignore"):
        item_support = ones / (float(n) - nans)
    keep = item_support >= min_support
    t2 = _min_count_mul(min_support, n)
    if _is_chain(present, keep):
        t2 = 1
    if target == "all":
        sets = _mine(present, t2, limit, keep=keep)
        # every root item is reported, whatever its count with NaN cells as present
        counts = present.item_counts()
        have = np.zeros(codes.n_cols, bool)
        lens = sets.lengths()
        have[sets.items[np.repeat(lens == 1, lens)]] = True
        lone = np.flatnonzero(keep & ~have)
        sets = _Sets(
            np.concatenate([sets.offsets, sets.offsets[-1] + np.arange(1, len(lone) + 1)]),
            np.concatenate([sets.items, lone.astype(np.int32)]),
            np.concatenate([sets.counts, counts[lone]]),
        )
    else:
        t_items = int(present.item_counts()[keep].min()) if keep.any() else 1
        sets = _maximal(present, max(1, min(t_items, t2)), t2, keep)
        if limit:
            sets = sets.take(np.flatnonzero(sets.lengths() <= limit))
    support = _null_aware(codes, sets, df)
    return sets, support


def fpgrowth(df, min_support=0.5, null_values=False, use_colnames=False, max_len=None, verbose=0):
    """Frequent itemsets of a one-hot DataFrame, as ``mlxtend.frequent_patterns.fpgrowth``.

    Rows by length, then column positions (mlxtend's follow its FP-tree)."""
    return _fp_common(df, min_support, null_values, use_colnames, max_len, verbose, "all")


def fpmax(df, min_support=0.5, null_values=False, use_colnames=False, max_len=None, verbose=0):
    """Maximal frequent itemsets, as ``mlxtend.frequent_patterns.fpmax``.

    With ``max_len=k``: the maximal frequent itemsets of at most k items."""
    return _fp_common(df, min_support, null_values, use_colnames, max_len, verbose, "maximal")


def hmine(df, min_support=0.5, use_colnames=False, max_len=None, verbose=0):
    """Frequent itemsets of a one-hot DataFrame, as ``mlxtend.frequent_patterns.hmine``.

    Rows in lexicographic order of column positions, a set before its extensions."""
    _check_frame(df)
    _check_min_support(min_support)
    codes = _frame_codes(df)
    n = codes.n_rows
    if n == 0 or codes.n_cols == 0:
        return _table(_Sets.empty(), n, df, use_colnames, np.zeros(0, np.int64), np.float64)
    t = _min_count_mul(min_support, n)
    # hmine stops extending a prefix once it has max_len items; 0 and None mean no limit
    limit = None if not max_len else max(1, max_len)
    sets = _mine(codes, t, limit)
    if verbose and limit != 1:
        fmt = "%d itemset(s) from the suffixes on item(s) (%s)"
        _print_prefix_lines(sets, limit, df, True, fmt)
    return _table(sets, n, df, use_colnames, _lex_order(sets, by_length_first=False), np.float64)


# ---------------------------------------------------------------------------------------
# association rules


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
        sets = _Sets(offsets, item.astype(np.int32), np.zeros(m, np.int64))
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

    def hash_rows(self, sets: _Sets) -> np.ndarray:
        # an order-free sum of random 64-bit words per item; matches are verified
        if len(sets.items) == 0:
            return np.zeros(len(sets), np.uint64)
        w = self.weights[sets.items]
        out = np.zeros(len(sets), np.uint64)
        np.add.at(out, sets.row_of_item(), w)
        return out

    @staticmethod
    def _same_sets(sets: _Sets, rows_a: np.ndarray, rows_b: np.ndarray) -> bool:
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


def _split_patterns(length: int) -> tuple[np.ndarray, np.ndarray]:
    """Antecedent and consequent positions within a set of ``length`` items, in the order
    rules are listed: longer antecedents first, then lexicographic."""
    ant, con = [], []
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
        res = _engine().generate_rules(sets.offsets, sets.items, table.support, 1.0, min_conf)
    except (ValueError, NotImplementedError):
        return None
    rule_row = np.asarray(res["rule_row"], np.int64)
    n_rules = len(rule_row)
    a_sets = _Sets(res["antecedent_offsets"], res["antecedent_items"], np.zeros(n_rules, np.int64))
    c_sets = _Sets(res["consequent_offsets"], res["consequent_items"], np.zeros(n_rules, np.int64))
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
        return _Sets(offsets, items, np.zeros(len(order), np.int64))

    return (rule_row[order], csr(a_parts, a_len), csr(c_parts, c_len), a_rows[order], c_rows[order], lambda sel: sel)


def _null_counts(table, df_orig, a_sets, c_sets, null_first_itemset):
    """disAC, disA, disC, dis_int, dis_int_ of every rule, as mlxtend counts them."""
    cols = df_orig.columns
    items = table.items_by_rank
    if all(isinstance(k, str) for k in null_first_itemset):
        pos = cols.get_indexer(pd.Index(items, dtype=object))
        if (pos < 0).any():
            raise KeyError(f"{list(items[pos < 0])} not in index")
    elif all(isinstance(k, (np.integer, int)) for k in null_first_itemset):
        pos = np.array(
            [int(i) if isinstance(i, (int, np.integer)) and 0 <= int(i) < len(cols) else -1 for i in items],
            dtype=np.int64,
        )
        if (pos < 0).any():
            raise KeyError(f"{list(items[pos < 0])} not in index")
    else:
        raise KeyError(f"None of {list(items)} are in the [columns]")
    values = (
        df_orig.to_numpy(dtype=np.float64, na_value=np.nan)
        if not _is_sparse_frame(df_orig)
        else df_orig.sparse.to_dense().to_numpy(dtype=np.float64, na_value=np.nan)
    )
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
    ac_sets = _Sets(a_sets.offsets + c_sets.offsets, ac_item[o], np.zeros(n_rules, np.int64))
    if len(hit):
        out[0] = _rows_with_any(nan, ac_sets)
        out[1] = _rows_with_any(nan, a_sets)
        out[2] = _rows_with_any(nan, c_sets)
        out[3] = _rows_with_pair(nan, one, c_sets, a_sets)
        out[4] = _rows_with_pair(nan, one, a_sets, c_sets)
    return out


def _rows_with_pair(nan, one, any_sets: _Sets, all_sets: _Sets, chunk_cells: int = 1 << 24) -> np.ndarray:
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
    return_metrics=_METRICS,
):
    """Association rules from an itemset table, as ``mlxtend.frequent_patterns.association_rules``.

    ``df`` is a table with columns ``support`` and ``itemsets``, from this module or from
    mlxtend itself (any iterables of hashable items). Columns: antecedents, consequents
    and ``return_metrics`` (mlxtend's twelve by default), conviction infinite where the
    confidence is 1. Rows: the input's itemsets in table order; within one, antecedents
    longest first, then in lexicographic order of the items.
    """
    _check_frame(df_orig, null_values)
    if not df.shape[0]:
        raise ValueError(_MSG_EMPTY_ITEMSETS)
    if not all(col in df.columns for col in ["support", "itemsets"]):
        raise ValueError(_MSG_COLUMNS)
    if support_only:
        metric = "support"
    elif metric not in _METRICS:
        raise ValueError(f"Metric must be 'confidence' or 'lift', got '{metric}'")

    null_first = None
    if null_values:
        null_first = frozenset(_as_item(x) for x in df["itemsets"].iloc[0])
        if df_orig is None:
            raise AttributeError("'NoneType' object has no attribute 'copy'")
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
        missing = (a_rows < 0) | (c_rows < 0)
        if missing.any():
            r = int(np.flatnonzero(missing)[0])
            which = a_sets if a_rows[r] < 0 else c_sets
            key = frozenset(table.items_by_rank[which.items[which.offsets[r] : which.offsets[r + 1]]].tolist())
            raise KeyError(str(KeyError(key)) + _MSG_MISSING_SUBSET)
        sA = table.support[a_rows]
        sC = table.support[c_rows]
    if null_values and not support_only and len(rule_row):
        dis = _null_counts(table, df_orig, a_sets, c_sets, null_first)
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
        antecedents = _frozensets(a_sel, table.items_by_rank)
        consequents = _frozensets(c_sel, table.items_by_rank)
    else:
        # antecedents and consequents are rows of the table: one frozenset per row, shared
        row_sets = _frozensets(table.sets, table.items_by_rank)
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
