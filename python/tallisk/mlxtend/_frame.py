"""A one-hot frame as the engine reads it, through the package's one one-hot path, and the
thresholds mlxtend's miners apply to it."""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from .._onehot import onehot_codes
from ._messages import is_sparse_frame

_NO64 = np.zeros(0, np.int64)
_NO32 = np.zeros(0, np.int32)


class Codes(NamedTuple):
    """The frame as engine input: one (row, column) pair per true cell.

    ``nan_txn``/``nan_item`` hold the NaN cells, which mlxtend's trees treat as present (NaN
    is truthy) while its null-aware supports leave them out."""

    txn_ids: np.ndarray  # int64 row positions
    item_ids: np.ndarray  # int32 column positions
    n_rows: int
    n_cols: int
    nan_txn: np.ndarray = _NO64
    nan_item: np.ndarray = _NO32

    def item_counts(self) -> np.ndarray:
        return np.bincount(self.item_ids, minlength=self.n_cols).astype(np.int64)

    def with_nan_present(self) -> Codes:
        """NaN cells counted as present, as mlxtend's trees see them."""
        return Codes(
            np.concatenate([self.txn_ids, self.nan_txn]),
            np.concatenate([self.item_ids, self.nan_item]),
            self.n_rows,
            self.n_cols,
        )


def dense_values(df: Any) -> np.ndarray:
    """The frame as a float64 matrix, missing cells NaN (sparse frames made dense)."""
    frame = df.sparse.to_dense() if is_sparse_frame(df) else df
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def frame_codes(df: pd.DataFrame, with_nan: bool = False) -> Codes:
    """The true cells (and, ``with_nan``, the NaN cells) of a frame mlxtend's checks passed."""
    n_rows, n_cols = df.shape
    if df.size == 0:
        return Codes(_NO64, _NO32, n_rows, n_cols)
    if not with_nan:
        txn, item, n_rows, _ = onehot_codes(df, ordered=False)  # the engine takes cells in any order
        return Codes(txn, item, n_rows, n_cols)
    values = dense_values(df)
    t, i = np.nonzero(values == 1)
    nt, ni = np.nonzero(np.isnan(values))
    as64, as32 = (lambda a: a.astype(np.int64, copy=False)), (lambda a: a.astype(np.int32))
    return Codes(as64(t), as32(i), n_rows, n_cols, as64(nt), as32(ni))


def is_chain(codes: Codes, keep: np.ndarray) -> bool:
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
