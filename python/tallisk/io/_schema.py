"""The description a written table carries so that :func:`read_table` gives back the table
that was written: column kinds and dtypes, the categories of categorical columns, what
the labels are, and ``df.attrs``.

Parquet files keep it in their schema metadata (key ``tallisk``). CSV, TSV, JSON Lines and
FIMI files keep it beside them in ``<file>-metadata.json`` (the name CSV on the Web gives
a table's metadata file), so the data file itself stays plain and any reader takes it.
Without that file a table still reads back, with the types its text implies and no
attrs."""

from __future__ import annotations

import ast
import json
import os
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from .. import _engine
from ._columns import SET_COLUMNS, Column, json_text

VERSION = 1
METADATA_KEY = b"tallisk"
# Nesting deeper than this in a set cell or a label is refused with a ValueError rather
# than left to exhaust the interpreter's recursion limit.
MAX_DEPTH = 64


def sidecar_path(path: str) -> str:
    return f"{path}-metadata.json"


def _jsonable_attrs(attrs: dict) -> dict:
    out = {}
    for key, value in attrs.items():
        if isinstance(value, np.generic):
            value = value.item()
        try:
            json.dumps(value, allow_nan=True)
        except (TypeError, ValueError):
            warnings.warn(f"df.attrs[{key!r}] is not JSON data and is not written with the table", stacklevel=4)
            continue
        out[str(key)] = value
    return out


def document(df: pd.DataFrame, columns: list[Column]) -> dict:
    """The description of a table: rows, attrs and one entry per column."""
    entries = []
    for c in columns:
        e: dict[str, Any] = {"name": c.name, "kind": c.kind, "dtype": c.dtype}
        if c.kind in ("set", "category", "labels"):
            e["labels"] = c.family
        if c.kind == "set":
            e["container"] = c.container
        if c.kind == "category":
            e["categories"] = [json.loads(json_text(x)) for x in c.labels]
            e["ordered"] = c.ordered
        entries.append(e)
    return {"tallisk_table": VERSION, "rows": len(df), "attrs": _jsonable_attrs(df.attrs), "columns": entries}


def read_sidecar(path: str, rows: int | None = None) -> dict | None:
    """The description beside a data file, or None when there is none (or it does not
    match the file, e.g. left from an earlier table: then a warning says so)."""
    meta = sidecar_path(path)
    if not os.path.exists(meta):
        return None
    try:
        with open(meta, encoding="utf-8") as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        warnings.warn(f"{meta} cannot be read ({e}); the table is read without it", stacklevel=3)
        return None
    if not isinstance(doc, dict) or doc.get("tallisk_table") != VERSION:
        warnings.warn(
            f"{meta} is not a table description this version writes; the table is read without it", stacklevel=3
        )
        return None
    if rows is not None and doc.get("rows") != rows:
        warnings.warn(f"{meta} describes {doc.get('rows')} rows but the file holds {rows}; it is ignored", stacklevel=3)
        return None
    return doc


# ---- decoding labels ------------------------------------------------------------------


def _depth_guard(text: str) -> None:
    depth = deepest = 0
    for ch in text:
        if ch in "[(":
            depth += 1
            deepest = max(deepest, depth)
            if deepest > MAX_DEPTH:
                raise ValueError(f"a set or label nested more than {MAX_DEPTH} levels deep: {text[:40]!r}...")
        elif ch in "])":
            depth -= 1


def as_tuples(value: Any, depth: int = 0) -> Any:
    """JSON arrays (lists) to tuples, at every depth; a list nested deeper than a label
    can be is a ValueError (a cell built in memory has no text for the guard above)."""
    if isinstance(value, list):
        if depth >= MAX_DEPTH:
            raise ValueError(f"a set or label nested more than {MAX_DEPTH} levels deep")
        return tuple(as_tuples(x, depth + 1) for x in value)
    return value


def parse_json_cell(text: str) -> Any:
    _depth_guard(text)
    try:
        return as_tuples(json.loads(text))
    except RecursionError:  # pragma: no cover - the guard comes first
        raise ValueError(f"a set or label nested too deeply: {text[:40]!r}...") from None


def _parse_old_set(text: str) -> tuple:
    """The set forms earlier versions wrote: a Python repr (``('a', 'b')``), or arules'
    ``{a,b}`` (labels without commas; integers written plainly come back as integers)."""
    s = text.strip()
    if s.startswith("("):
        _depth_guard(s)
        try:
            value = ast.literal_eval(s)
        except (ValueError, SyntaxError, MemoryError, RecursionError):
            raise ValueError(f"cannot read {text[:40]!r} as a set of labels") from None
        return tuple(value) if isinstance(value, tuple | list) else (value,)
    if s.startswith("{") and s.endswith("}"):
        parts = [p for p in s[1:-1].split(",") if p != ""]
        if parts and all(p.lstrip("-").isdigit() and (p == "0" or not p.lstrip("-").startswith("0")) for p in parts):
            return tuple(int(p) for p in parts)
        return tuple(parts)
    raise ValueError(f"cannot read {text[:40]!r} as a set of labels")


def parse_set_cell(text: str) -> tuple:
    s = text.strip()
    if s.startswith("["):
        value = parse_json_cell(s)
        return value if isinstance(value, tuple) else (value,)
    return _parse_old_set(s)


def label_rows(offsets: np.ndarray, codes: np.ndarray, labels: np.ndarray, container: str = "tuple") -> np.ndarray:
    """The CSR rows as an object array of label containers (row r: ``labels[codes[offsets[r]:
    offsets[r + 1]]]``), built by the engine's label materialiser; lists (a table that held
    lists) are made from its tuples."""
    offsets = np.ascontiguousarray(offsets - offsets[0] if len(offsets) else offsets, dtype=np.int64)
    codes = np.ascontiguousarray(codes, dtype=np.int32)
    labels = np.asarray(labels, dtype=object)
    make = _container(container)
    rows = _engine.label_rows(offsets, codes, labels, "frozenset" if make is frozenset else "tuple")
    if make is list:
        for i, row in enumerate(rows.tolist()):  # item by item: a list cell must not broadcast
            rows[i] = list(row)
    return rows


def _container(name: str) -> Any:
    return {"frozenset": frozenset, "set": frozenset, "list": list}.get(name, tuple)


def set_column(values: Any, container: str = "tuple") -> np.ndarray:
    """An object array of label tuples (or the container named) from cells that are JSON
    text, old-style set text, lists, arrays or tuples. Text is parsed once per distinct
    cell."""
    values = np.asarray(values, dtype=object)
    make = _container(container)
    out = np.empty(len(values), dtype=object)
    if not len(values):
        return out
    if pd.api.types.infer_dtype(values, skipna=False) == "string":
        codes, uniques = pd.factorize(values)
        parsed = np.empty(len(uniques), dtype=object)
        parsed[:] = [make(parse_set_cell(u)) for u in uniques.tolist()]
        out[:] = parsed[codes]
        return out

    def convert(v: Any) -> Any:
        if isinstance(v, str):
            v = parse_set_cell(v)
        elif isinstance(v, np.ndarray):
            v = v.tolist()
        if isinstance(v, list):
            v = as_tuples(v)
        if not isinstance(v, tuple | list | frozenset | set):
            raise ValueError(f"{v!r} is not a set of labels")
        return v if isinstance(v, make) else make(v)

    out[:] = [convert(v) for v in values.tolist()]
    return out


def restore_tuples(df: pd.DataFrame) -> pd.DataFrame:
    """An itemset or rule table read back by another reader (``pd.read_csv``,
    ``pd.read_parquet``, ``pd.read_json``), with its set columns (``itemset``,
    ``antecedent``, ``consequent``, and mlxtend's plural names) as tuples of labels again.

    Reads every form a set has been written in: JSON arrays (``["a","b"]``, what
    :func:`write_table` writes to CSV), lists and arrays (Parquet, JSON Lines), the Python
    repr of a tuple (``('a', 'b')``, what ``df.to_csv`` writes) and arules' ``{a,b}``.
    :func:`read_table` needs none of this for files :func:`write_table` wrote: it
    restores the whole table, attrs included.

    Parameters
    ----------
    df : DataFrame
        The table as the other reader returned it.

    Returns
    -------
    DataFrame
        A copy with every set column it has as tuples of labels; other columns as given.

    Raises
    ------
    ValueError
        For a set cell in none of those forms, or nested absurdly deep.

    Examples
    --------
    >>> import io
    >>> itemsets = tallisk.frequent_itemsets([["tea", "milk"], ["tea"]], min_count=1)
    >>> back = pd.read_csv(io.StringIO(itemsets.to_csv(index=False)))
    >>> back["itemset"].tolist()
    ["('milk',)", "('tea',)", "('milk', 'tea')"]
    >>> tallisk.restore_tuples(back)["itemset"].tolist()
    [('milk',), ('tea',), ('milk', 'tea')]
    """
    out = df.copy()
    for name in SET_COLUMNS:
        if name in out.columns:
            out[name] = set_column(out[name].to_numpy(dtype=object))
    return out


def apply(df: pd.DataFrame, doc: dict | None, text_cells: bool) -> pd.DataFrame:
    """The table as it was written: column types from ``doc`` (or, without one, set
    columns recognised by name), attrs restored. ``text_cells``: set and JSON-label cells
    hold text (CSV) rather than parsed values (JSON Lines)."""
    if doc is None:
        out = df.copy()
        for name in out.columns:
            s = out[name]
            if name in SET_COLUMNS or (s.dtype == object and len(s) and isinstance(s.iloc[0], list)):
                out[name] = set_column(s.to_numpy(dtype=object))
        return out
    entries = doc.get("columns", [])
    if len(entries) != df.shape[1]:
        warnings.warn("the table description does not match the file's columns; it is ignored", stacklevel=3)
        return apply(df, None, text_cells)
    cols = {}
    for position, e in enumerate(entries):
        cols[position] = _column(df.iloc[:, position], e, text_cells)
    out = pd.DataFrame(cols)
    out.columns = pd.Index([e["name"] for e in entries], tupleize_cols=False)
    out.attrs.update(doc.get("attrs", {}))
    return out


def _labels(values: Any, family: str, text_cells: bool) -> np.ndarray:
    """Scalar label cells to labels of their family."""
    s = pd.Series(values, dtype=object)
    missing = s.isna().to_numpy()
    out = np.empty(len(s), dtype=object)
    if family == "json" and not text_cells:
        out[:] = [as_tuples(v) for v in s.tolist()]
        return out
    converters: dict[str, Callable[[Any], Any]] = {
        "int": int,
        "float": float,
        "bool": lambda t: t in (True, "True", "true"),
        "str": str,
        "json": parse_json_cell,
    }
    convert = converters[family]
    codes, uniques = pd.factorize(s.where(~missing, None))
    parsed = np.empty(len(uniques), dtype=object)
    parsed[:] = [convert(u) for u in uniques.tolist()]
    out[:] = None
    out[codes >= 0] = parsed[codes[codes >= 0]]
    return out


def _column(s: pd.Series, e: dict, text_cells: bool) -> Any:
    kind, dtype = e.get("kind"), e.get("dtype", "object")
    if kind == "number":
        values = s
        if values.dtype == object:  # JSON Lines: "inf" strings among the numbers, null as None
            # Set in an array, not by Series.replace, whose downcasting pandas 2 warns of.
            cells = values.to_numpy(dtype=object).copy()
            cells[cells == "inf"] = np.inf
            cells[cells == "-inf"] = -np.inf
            values = pd.to_numeric(pd.Series(cells, index=values.index))
        return values.astype(dtype)
    if kind == "set":
        return set_column(s.to_numpy(dtype=object), e.get("container", "tuple"))
    if kind == "category":
        categories = pd.Index([as_tuples(x) for x in e.get("categories", [])], tupleize_cols=False)
        family = e.get("labels", "str")
        if family == "json" and text_cells:
            labels = _labels(s.to_numpy(dtype=object), "json", True)
        elif family == "str" or not text_cells:
            labels = s.to_numpy(dtype=object)
        else:
            labels = _labels(s.to_numpy(dtype=object), family, True)
        codes = (
            categories.get_indexer(pd.Index(labels, dtype=object, tupleize_cols=False))
            if len(categories)
            else np.full(len(s), -1)
        )
        return pd.Categorical.from_codes(codes, categories=categories, ordered=bool(e.get("ordered")))
    if kind == "labels":
        out = _labels(s.to_numpy(dtype=object), e.get("labels", "str"), text_cells)
        try:
            return pd.Series(out, dtype=dtype)
        except (TypeError, ValueError):
            return pd.Series(out, dtype=object)
    return s
