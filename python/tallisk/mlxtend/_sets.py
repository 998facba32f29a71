"""Itemsets as the drop-in handles them: CSR rows from the engine, taken, ordered and shown
as mlxtend's tables through the package's table layer."""

from __future__ import annotations

from typing import Any, Literal

import numpy as np
import pandas as pd

from .._tables import canonical_order, label_rows, take_rows
from ._frame import Codes


class Sets:
    """Itemsets in CSR form: ``offsets`` int64[m+1], ``items`` int32 ascending per set,
    ``counts`` int64[m]."""

    def __init__(self, offsets: Any, items: Any, counts: Any) -> None:
        self.offsets = np.asarray(offsets, np.int64)
        self.items = np.asarray(items, np.int32)
        self.counts = np.asarray(counts, np.int64)

    @classmethod
    def empty(cls) -> Sets:
        return cls(np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0, np.int64))

    def __len__(self) -> int:
        return len(self.counts)

    def lengths(self) -> np.ndarray:
        return np.diff(self.offsets)

    def take(self, rows: Any) -> Sets:
        rows = np.asarray(rows, np.int64)
        return Sets(*take_rows(self.offsets, self.items, rows), self.counts[rows])

    def row_of_item(self) -> np.ndarray:
        return np.repeat(np.arange(len(self), dtype=np.int64), self.lengths())

    def append(self, other: Sets) -> Sets:
        return Sets(
            np.concatenate([self.offsets, self.offsets[-1] + other.offsets[1:]]),
            np.concatenate([self.items, other.items]),
            np.concatenate([self.counts, other.counts]),
        )


def singletons(items: np.ndarray, counts: np.ndarray) -> Sets:
    return Sets(np.arange(len(items) + 1, dtype=np.int64), items.astype(np.int32), counts)


def mine(
    codes: Codes,
    min_count: int,
    max_len: int | None,
    target: Literal["all", "closed", "maximal"] = "all",
    keep: Any = None,
) -> Sets:
    """The engine's frequent (closed, maximal) sets of the frame's cells; ``keep`` limits the
    items."""
    from .. import _engine

    txn, item = codes.txn_ids, codes.item_ids
    if keep is not None:
        sel = keep[item]
        txn, item = txn[sel], item[sel]
    if codes.n_rows == 0 or codes.n_cols == 0 or len(txn) == 0 or min_count > codes.n_rows:
        return Sets.empty()
    res = _engine.mine_itemsets(txn, item, codes.n_cols, int(min_count), 1, max_len, target)
    return Sets(res["offsets"], res["items"], res["counts"])


def filter_levels(sets: Sets, item_counts: np.ndarray, t1: int, t2: int) -> Sets:
    """Singletons need ``t1`` transactions; longer sets ``t2`` and every item ``t1``."""
    lens = sets.lengths()
    ok = np.where(lens == 1, sets.counts >= t1, sets.counts >= t2)
    if t2 < t1:
        bad_item = item_counts[sets.items] < t1
        ok &= np.bincount(sets.row_of_item()[bad_item], minlength=len(sets)) == 0
    return sets.take(np.flatnonzero(ok)) if not ok.all() else sets


def by_length(sets: Sets) -> np.ndarray:
    """Row order by length, then lexicographically by column position (apriori's)."""
    return canonical_order(sets.offsets, sets.items)[0]


def preorder(sets: Sets) -> np.ndarray:
    """Row order lexicographic by column position, a set before its extensions (hmine's)."""
    m = len(sets)
    if m == 0:
        return np.zeros(0, np.int64)
    lens = sets.lengths()
    width = int(lens.max())
    pad = np.full((m, width), -1, np.int64)
    pos = np.arange(len(sets.items)) - np.repeat(sets.offsets[:-1], lens)
    pad[sets.row_of_item(), pos] = sets.items
    return np.lexsort([pad[:, j] for j in range(width - 1, -1, -1)])


def frozensets(sets: Sets, labels: Any) -> np.ndarray:
    """One frozenset per row, of column positions (Python ints) or of labels; built natively."""
    return label_rows(sets.offsets, sets.items, labels, kind="frozenset")


def table(sets: Sets, n_rows: int, df: Any, use_colnames: bool, order: np.ndarray, empty_dtype: Any) -> pd.DataFrame:
    """mlxtend's itemset table of the rows ``order``: ``support`` and ``itemsets``."""
    if len(order) == 0:
        return pd.DataFrame({"support": np.zeros(0, np.float64), "itemsets": np.zeros(0, dtype=empty_dtype)})
    sets = sets.take(order)
    labels = list(df.columns) if use_colnames else np.arange(df.shape[1])
    return pd.DataFrame({"support": sets.counts / float(n_rows), "itemsets": frozensets(sets, labels)})


def grouped_rows(sets: Sets) -> Any:
    """Yields (rows, items matrix) for each set length."""
    lens = sets.lengths()
    row_of = sets.row_of_item()
    for length in np.unique(lens):
        rows = np.flatnonzero(lens == length)
        sel = np.isin(row_of, rows)
        yield rows, sets.items[sel].reshape(len(rows), int(length))


def rows_with_all(mask: np.ndarray, sets: Sets, chunk_cells: int = 1 << 24) -> np.ndarray:
    """For each set: the rows of ``mask`` true at every item of it."""
    out = np.zeros(len(sets), np.int64)
    for rows, mat in grouped_rows(sets):
        step = max(1, chunk_cells // max(1, mask.shape[0] * mat.shape[1]))
        for s in range(0, len(rows), step):
            out[rows[s : s + step]] = mask[:, mat[s : s + step]].all(axis=2).sum(axis=0)
    return out


def rows_with_any(mask: np.ndarray, sets: Sets, chunk_cells: int = 1 << 24) -> np.ndarray:
    """For each set: the rows of ``mask`` true at some item of it."""
    out = np.zeros(len(sets), np.int64)
    hit = np.flatnonzero(mask.any(axis=1))
    if len(hit) == 0:
        return out
    sub = mask[hit]
    for rows, mat in grouped_rows(sets):
        step = max(1, chunk_cells // max(1, sub.shape[0] * mat.shape[1]))
        for s in range(0, len(rows), step):
            out[rows[s : s + step]] = sub[:, mat[s : s + step]].any(axis=2).sum(axis=0)
    return out
