"""One-hot (transaction x item) tables -> the engine's occurrence arrays.

Accepted: a pandas DataFrame of booleans or 0/1 numbers, dense or with pandas sparse
columns (mixed is fine), a 2-D NumPy array of the same, and SciPy sparse matrices or
arrays (any format). Rows are transactions, columns items. The work is per column at
most, never per row.
"""

from __future__ import annotations

import sys
from typing import Any

import numpy as np
import pandas as pd

from . import _engine

__all__ = ["onehot_codes"]


def _bad_values(where: str, example: Any) -> ValueError:
    return ValueError(
        f"One-hot data must hold only booleans or the numbers 0 and 1; {where} holds {example!r}. "
        "Convert it first, e.g. df.astype(bool) when every non-zero means 'in the basket'."
    )


def _is_scipy_sparse(data: Any) -> bool:
    # SciPy is optional: an object can only be a SciPy matrix if SciPy is imported.
    sparse = sys.modules.get("scipy.sparse")
    return sparse is not None and sparse.issparse(data)


def _check_binary(values: np.ndarray, where: str) -> np.ndarray:
    """Boolean mask of the non-zero entries, after checking every value is 0/1."""
    if values.dtype == np.bool_:
        return values
    if values.dtype.kind in "iuf":
        nz = values != 0
        bad = nz & (values != 1)
        if values.dtype.kind == "f":
            bad |= np.isnan(values)
        if bad.any():
            raise _bad_values(where, values[bad].flat[0].item())
        return nz
    if values.dtype == object:
        # Python bools/ints in an object column: compare, but refuse anything else.
        try:
            ones = values == 1
            zeros = values == 0
        except TypeError:
            ones = zeros = np.zeros(values.shape, dtype=bool)
        ones = np.asarray(ones, dtype=bool)
        zeros = np.asarray(zeros, dtype=bool)
        bad = ~(ones | zeros)
        if bad.any():
            raise _bad_values(where, values[bad].flat[0])
        return ones
    raise _bad_values(where, values.flat[0] if values.size else values.dtype)


def _true_cells(mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(rows, columns) of the true cells of a 2-D boolean mask, row by row: read natively
    from the mask's own memory when it is contiguous in either order (a DataFrame of one
    block hands over its columns), else by np.nonzero."""
    n_rows, n_cols = mask.shape
    if mask.dtype == np.bool_ and (mask.flags.c_contiguous or mask.flags.f_contiguous):
        by_column = not mask.flags.c_contiguous
        out = _engine.true_cells(mask.ravel(order="K"), n_rows, n_cols, column_major=by_column)
        return out["txn_ids"], out["item_ids"]
    rows, cols = np.nonzero(mask)
    return rows.astype(np.int64), cols


def _sorted_unique(rows: np.ndarray, cols: np.ndarray, n_cols: int) -> tuple[np.ndarray, np.ndarray]:
    """(row, col) pairs sorted by row then column, each once."""
    key = rows.astype(np.int64) * max(n_cols, 1) + cols
    if key.size > 1 and not bool((key[1:] > key[:-1]).all()):
        key = np.sort(key)
        key = key[np.r_[True, key[1:] != key[:-1]]]
    return key // max(n_cols, 1), key % max(n_cols, 1)


def _from_scipy(data: Any) -> tuple[np.ndarray, np.ndarray, int, int]:
    # COO keeps explicit duplicates apart (summing them would turn two 1s into a 2);
    # they are merged by the caller's dedup instead.
    m = data.tocoo()
    n_rows, n_cols = m.shape
    nz = _check_binary(np.asarray(m.data), "the sparse matrix")
    return np.asarray(m.row, dtype=np.int64)[nz], np.asarray(m.col, dtype=np.int64)[nz], n_rows, n_cols


def _column_arrays(df: pd.DataFrame) -> list[Any]:
    """The backing array of every column, in column order.

    Read from the blocks when pandas exposes them: building a Series per column, as
    ``df.items()`` does, costs tens of microseconds each, seconds for the wide sparse
    tables mlxtend users hold. Any surprise falls back to the public route."""
    n_cols = df.shape[1]
    try:
        out: list[Any] = [None] * n_cols
        for blk in df._mgr.blocks:
            locs = blk.mgr_locs.as_array
            values = blk.values
            if getattr(values, "ndim", 1) == 2:
                for k, j in enumerate(locs.tolist()):
                    out[j] = values[k]
            elif len(locs) == 1:
                out[int(locs[0])] = values
            else:
                raise LookupError
        n_rows = df.shape[0]
        if any(v is None or len(v) != n_rows for v in out):
            raise LookupError
        return out
    except (AttributeError, LookupError, TypeError):
        return [col.array for _, col in df.items()]


def _present_rows(values: Any, where: str) -> np.ndarray:
    """Row positions of the items present in one non-sparse column."""
    dtype = values.dtype
    if not isinstance(values, np.ndarray):
        if pd.isna(values).any():
            raise _bad_values(where, None)
        numpy_dtype = getattr(dtype, "numpy_dtype", None)
        values = values.to_numpy(dtype=numpy_dtype) if numpy_dtype is not None else np.asarray(values)
    return np.flatnonzero(_check_binary(values, where))


def _zero_fill(fill: Any) -> bool:
    """A sparse column's fill value is 0 or False (not NaN, None or pd.NA): its stored
    cells are all the column holds. A type test first: pd.NA == 0 has no truth value."""
    return isinstance(fill, bool | int | float | np.bool_ | np.number) and fill == 0


def _from_frame(df: pd.DataFrame, ordered: bool = True) -> tuple[np.ndarray, np.ndarray, int]:
    n_rows, n_cols = df.shape
    columns = _column_arrays(df)
    where = [f"column {name!r}" for name in df.columns] if n_cols < 64 else None

    def name(j: int) -> str:
        return where[j] if where is not None else f"column {df.columns[j]!r}"

    plain = n_cols and all(isinstance(v, np.ndarray) for v in columns)
    if plain and len({v.dtype for v in columns}) == 1:
        # All plain NumPy columns of one kind: one 2-D pass, row-major, already ordered.
        try:
            mask = _check_binary(df.to_numpy(), "the DataFrame")
        except ValueError:
            for j, v in enumerate(columns):  # name the first column holding a bad value
                _present_rows(v, name(j))
            raise
        rows, cols = _true_cells(mask)
        return rows, cols, n_rows
    # Sparse columns with a 0/False fill: positions and values gathered for all of them
    # and checked in one pass; other columns one by one.
    dense_j: list[int] = []
    dense_rows: list[np.ndarray] = []
    sparse_j: list[int] = []
    sparse_pos: list[Any] = []
    sparse_val: list[Any] = []
    for j, v in enumerate(columns):
        if isinstance(v, pd.arrays.SparseArray):
            if _zero_fill(v.fill_value):
                sparse_j.append(j)
                sparse_pos.append(v.sp_index.indices)
                sparse_val.append(v.sp_values)
                continue
            v = np.asarray(v.to_dense())  # a 'present' or missing default: dense in practice
        dense_j.append(j)
        dense_rows.append(_present_rows(v, name(j)))
    rows_parts, cols_parts = [], []
    for js, per_column in ((dense_j, dense_rows), (sparse_j, sparse_pos)):
        if js:
            sizes = np.fromiter(map(len, per_column), dtype=np.int64, count=len(per_column))
            rows_parts.append(np.concatenate(per_column).astype(np.int64, copy=False))
            cols_parts.append(np.repeat(np.asarray(js, dtype=np.int64), sizes))
    if sparse_j:
        values = np.concatenate(sparse_val)
        try:
            keep = _check_binary(values, "a sparse column")
        except ValueError:
            for j, x in zip(sparse_j, sparse_val, strict=True):
                _check_binary(np.asarray(x), name(j))
            raise
        if not keep.all():
            rows_parts[-1], cols_parts[-1] = rows_parts[-1][keep], cols_parts[-1][keep]
    rows = np.concatenate(rows_parts) if rows_parts else np.zeros(0, np.int64)
    cols = np.concatenate(cols_parts) if cols_parts else np.zeros(0, np.int64)
    if not ordered:
        return rows, cols, n_rows
    order = np.argsort(rows * max(n_cols, 1) + cols, kind="stable")  # column-wise gathering -> row-major order
    return rows[order], cols[order], n_rows


def onehot_codes(
    data: Any, columns: Any = None, *, ordered: bool = True
) -> tuple[np.ndarray, np.ndarray, int, pd.Index]:
    """The occurrences of a one-hot table as engine arrays.

    Returns ``(txn_ids, item_ids, n_rows, columns)``: ``txn_ids`` (int64) is the row
    position and ``item_ids`` (int32) the column position of every true cell, ordered by
    row then column (``ordered=False``: a DataFrame's cells in any order, for callers
    that sort or need no order), each cell once; ``n_rows`` counts every row, all-false rows
    included; ``columns`` is the DataFrame's columns, ``columns`` when given, otherwise
    ``RangeIndex(n_columns)``.

    Values must be booleans or 0/1 numbers (NaN and missing values included are
    refused with a ValueError naming the column); a sparse column whose fill value is
    not 0/False is read densely.
    """
    if isinstance(data, pd.DataFrame):
        rows, cols, n_rows = _from_frame(data, ordered)
        n_cols = data.shape[1]
        labels: pd.Index = data.columns
    elif _is_scipy_sparse(data):
        if len(data.shape) != 2:
            raise ValueError(f"A one-hot matrix must be 2-dimensional; got shape {data.shape}.")
        rows, cols, n_rows, n_cols = _from_scipy(data)
        labels = pd.RangeIndex(n_cols)
    elif isinstance(data, np.ndarray):
        if data.ndim != 2:
            raise ValueError(f"A one-hot array must be 2-dimensional; got shape {data.shape}.")
        n_rows, n_cols = data.shape
        rows, cols = _true_cells(_check_binary(data, "the array"))
        labels = pd.RangeIndex(n_cols)
    else:
        raise TypeError(
            "One-hot data must be a pandas DataFrame, a 2-D NumPy array or a SciPy sparse matrix; "
            f"got {type(data).__name__}."
        )
    if columns is not None:
        labels = pd.Index(columns)
        if len(labels) != n_cols:
            raise ValueError(f"'columns' has {len(labels)} labels but the data has {n_cols} columns.")
    if not isinstance(data, pd.DataFrame):
        rows, cols = _sorted_unique(rows, cols, n_cols)
    return rows.astype(np.int64, copy=False), cols.astype(np.int32, copy=False), int(n_rows), labels
