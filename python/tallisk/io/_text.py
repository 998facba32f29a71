"""Result tables as text: set columns, numbers, FIMI-style lines."""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

import numpy as np
import pandas as pd

# ---- writers ------------------------------------------------------------------------


_SET_COLUMNS = ("itemset", "antecedents", "consequents", "antecedent", "consequent")


def _is_set_column(series: pd.Series) -> bool:
    if series.name in _SET_COLUMNS:
        return True
    if series.dtype != object or not len(series):
        return False
    return isinstance(series.iloc[0], tuple | list | frozenset | set)


def _items_text(items: Any, sep: str = " ") -> str:
    return sep.join(str(x) for x in items)


def _num(x: Any) -> str:
    if isinstance(x, float | np.floating):
        if math.isinf(x):
            return "inf" if x > 0 else "-inf"
        return f"{x:.6g}"
    return str(x)


def _fimi_lines(df: pd.DataFrame) -> Iterator[str]:
    cols = set(df.columns)
    if "itemset" in cols:
        its = df["itemset"].tolist()
        if "count" in cols:
            for items, c in zip(its, df["count"].tolist(), strict=True):
                yield f"{_items_text(items)} ({c})\n"
        else:
            for items, s in zip(its, df["support"].tolist(), strict=True):
                yield f"{_items_text(items)} ({_num(s)})\n"
        return
    ante, cons = _rule_columns(df)
    if ante is not None:
        extra = [c for c in ("support", "confidence") if c in cols]
        a_list = df[ante].tolist()
        c_list = df[cons].tolist()
        vals = [df[c].tolist() for c in extra]
        for k in range(len(df)):
            a = a_list[k] if _is_seq(a_list[k]) else (a_list[k],)
            c = c_list[k] if _is_seq(c_list[k]) else (c_list[k],)
            nums = ", ".join(_num(v[k]) for v in vals)
            yield f"{_items_text(c)} <- {_items_text(a)} ({nums})\n"
        return
    # Anything else: one line per row, blank-separated.
    for row in df.itertuples(index=False):
        yield " ".join(_items_text(v) if _is_seq(v) else _num(v) for v in row) + "\n"


def _is_seq(v: Any) -> bool:
    return isinstance(v, tuple | list | frozenset | set | np.ndarray)


def _rule_columns(df: pd.DataFrame) -> tuple[str | None, str | None]:
    for a, c in (
        ("antecedents", "consequents"),
        ("antecedent", "consequent"),
        ("item_A", "item_B"),
        ("item_a", "item_b"),
    ):
        if a in df.columns and c in df.columns:
            return a, c
    return None, None


def _for_text(df: pd.DataFrame, how: str) -> pd.DataFrame:
    """Set-valued columns as text for CSV (``{a,b}``, as arules prints them) or as lists
    for JSON Lines and Parquet."""
    out: dict[str, Any] = {}
    for name in df.columns:
        col = df[name]
        if _is_set_column(col):
            values = col.tolist()
            if how == "csv":
                out[name] = ["{" + _items_text(v if _is_seq(v) else (v,), ",") + "}" for v in values]
            else:
                out[name] = [list(v) if _is_seq(v) else [v] for v in values]
        else:
            out[name] = col
    return pd.DataFrame(out, index=df.index)


def _jsonable(v: Any) -> Any:
    if isinstance(v, np.generic):
        v = v.item()
    if isinstance(v, float) and not math.isfinite(v):
        return None if math.isnan(v) else ("inf" if v > 0 else "-inf")
    if isinstance(v, list):
        return [_jsonable(x) for x in v]
    return v
