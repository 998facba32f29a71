"""mlxtend 0.25's checks and messages, in one place: the drop-in raises and warns exactly as
mlxtend does on the same inputs (the differential tests run both on a grid of bad inputs
and compare types and messages, so a drift of either side fails a test)."""

from __future__ import annotations

import sys
import types
import warnings
from typing import Any

import numpy as np
import pandas as pd

METRICS = [
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
MSG_NULL_NEEDS_ORIG = "If null values exist, df_orig must be provided."
MSG_NULL_NEEDS_N = "If null values exist, num_itemsets must be provided."
_MSG_MISSING_SUBSET = (
    "You are likely getting this error"
    " because the DataFrame is missing "
    " antecedent and/or consequent "
    " information."
    " You can try using the "
    " `support_only=True` option"
)


# ---- checks, in mlxtend's order --------------------------------------------------------


def is_sparse_frame(df: Any) -> bool:
    # pandas only offers the .sparse accessor when every column is sparse (the accessor's
    # own check, without building the accessor)
    if isinstance(df, pd.DataFrame):
        return all(isinstance(t, pd.SparseDtype) for t in df.dtypes)
    return hasattr(df, "sparse")


def caller_stacklevel() -> int:
    """Stack level of the first frame outside this package, so that warnings name the call
    site in the user's code."""
    package = __name__.rsplit(".", 1)[0] + "."
    level = 1
    frame: types.FrameType | None = sys._getframe(1)
    while frame is not None and (str(frame.f_globals.get("__name__")) + ".").startswith(package):
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


def _is_bool_dtype(t: Any) -> bool:
    # pandas' own test, without its slow path for the sparse dtypes of wide frames
    if isinstance(t, np.dtype):
        return t == np.dtype(bool)
    if isinstance(t, pd.SparseDtype):
        return _is_bool_dtype(t.subtype)
    return pd.api.types.is_bool_dtype(t)


def check_frame(df: Any, null_values: bool = False) -> None:
    """The checks mlxtend runs on a one-hot frame, with its messages, in its order."""
    if df is None:
        return
    if f"{type(df)}" == "<class 'pandas.core.frame.SparseDataFrame'>":
        raise TypeError(_MSG_SPARSE_DATAFRAME)
    if df.size == 0:
        return
    sparse = is_sparse_frame(df)
    if sparse and not isinstance(df.columns[0], str) and df.columns[0] != 0:
        raise ValueError(_MSG_SPARSE_INT_COLUMNS)
    if null_values:
        all_bools = all(_non_bool_cells_allowed_only_if_nan(df.iloc[:, j]) for j in range(df.shape[1]))
    else:
        all_bools = all(map(_is_bool_dtype, df.dtypes))
    if all_bools:
        return
    warnings.warn(_MSG_NON_BOOL, DeprecationWarning, stacklevel=caller_stacklevel())
    has_nans = bool(pd.isna(df).any().any())
    if null_values and not has_nans:
        warnings.warn(_MSG_NULL_INEFFICIENT, UserWarning, stacklevel=caller_stacklevel())
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


def check_min_support(min_support: Any) -> None:
    if min_support <= 0.0 or min_support > 1.0:
        raise ValueError(_MSG_MIN_SUPPORT % min_support)


def check_rules_input(df: pd.DataFrame, num_itemsets: Any, df_orig: Any, null_values: bool) -> None:
    """association_rules' checks before any work, in mlxtend's order."""
    if null_values and df_orig is None:
        raise TypeError(MSG_NULL_NEEDS_ORIG)
    if null_values and num_itemsets == 1:
        raise TypeError(MSG_NULL_NEEDS_N)
    check_frame(df_orig, null_values)
    if not df.shape[0]:
        raise ValueError(_MSG_EMPTY_ITEMSETS)
    if not all(col in df.columns for col in ["support", "itemsets"]):
        raise ValueError(_MSG_COLUMNS)


def check_metric(metric: Any, support_only: bool) -> str:
    """The metric rules are filtered by: 'support' with support_only, else one of mlxtend's."""
    if support_only:
        return "support"
    if metric not in METRICS:
        raise ValueError(f"Metric must be 'confidence' or 'lift', got '{metric}'")
    return metric


def missing_subset_error(key: Any) -> KeyError:
    """mlxtend's error for a rule whose antecedent or consequent has no row of its own (or,
    with null values, whose items are not columns of the original frame: ``key`` is then
    pandas' KeyError)."""
    return KeyError(str(key if isinstance(key, KeyError) else KeyError(key)) + _MSG_MISSING_SUBSET)
