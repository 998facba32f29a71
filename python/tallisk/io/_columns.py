"""A result table's columns as the writers see them: numbers, categories, scalar labels and
sets of labels, each label column reduced to codes into its distinct labels, so that a
label is encoded (as JSON, as plain text, quoted for people) once, however many rows
hold it.

Set columns are flattened to CSR form (row offsets and codes) with C-level iteration
(``map(len)``, ``itertools.chain``) and one ``pd.factorize`` over the flat labels: the
cost grows with the rows, but no Python bytecode runs per row."""

from __future__ import annotations

import itertools
import json
import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

# Columns that hold sets of labels in the package's tables and in mlxtend's.
SET_COLUMNS = ("itemset", "antecedent", "consequent", "itemsets", "antecedents", "consequents")
_SEQUENCES = (tuple, list, frozenset, set, np.ndarray)


@dataclass
class Column:
    """One column of a table to write.

    ``kind``: ``"number"`` (``values`` is an int64 or float64 array), ``"set"`` (row r holds
    ``codes[row_offsets[r]:row_offsets[r + 1]]``), ``"category"`` or ``"labels"`` (one code
    per row, -1 for a missing value); codes index ``labels``, the distinct labels as
    Python objects. ``family`` says what the labels are (``"str"``, ``"int"``, ``"float"``,
    ``"bool"``, or ``"json"`` for anything else or a mix), which decides how a text format
    writes them and how a reader gets them back."""

    name: Any
    kind: str
    dtype: str
    values: np.ndarray | None = None
    row_offsets: np.ndarray | None = None
    codes: np.ndarray | None = None
    labels: list[Any] = field(default_factory=list)
    family: str = "str"
    container: str = "tuple"
    ordered: bool = False


def family_of(labels: list[Any]) -> str:
    """What the labels are: one of str, int, float, bool when all are; else json."""
    kinds = set()
    for x in labels:
        if isinstance(x, bool | np.bool_):
            kinds.add("bool")
        elif isinstance(x, int | np.integer):
            kinds.add("int")
        elif isinstance(x, float | np.floating):
            kinds.add("float")
        elif isinstance(x, str):
            kinds.add("str")
        else:
            kinds.add("json")
        if len(kinds) > 1:
            return "json"
    return kinds.pop() if kinds else "str"


def _flatten_sets(name: Any, values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Row offsets (int64) and the flat labels of a column of label sequences."""
    n = len(values)
    try:
        lengths = np.fromiter(map(len, values), dtype=np.int64, count=n)
    except TypeError:
        bad = next(k for k, v in enumerate(values) if not isinstance(v, _SEQUENCES))
        raise ValueError(
            f"column {name!r}, row {bad}: {values[bad]!r} is not a set of labels (a tuple, list or frozenset)"
        ) from None
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    flat = np.fromiter(itertools.chain.from_iterable(values), dtype=object, count=int(offsets[-1]))
    return offsets, flat


def _codes_of(values: np.ndarray) -> tuple[np.ndarray, list[Any]]:
    codes, uniques = pd.factorize(values, use_na_sentinel=True)
    labels = uniques.tolist() if hasattr(uniques, "tolist") else list(uniques)
    return np.asarray(codes, dtype=np.int32), [x.item() if isinstance(x, np.generic) else x for x in labels]


def is_set_column(name: Any, series: pd.Series) -> bool:
    if not (series.dtype == object or isinstance(series.dtype, pd.StringDtype)):
        return False
    if name in SET_COLUMNS:
        return True
    first = series.first_valid_index()
    return first is not None and isinstance(series[first], _SEQUENCES)


def describe(df: pd.DataFrame) -> list[Column]:
    """The columns of ``df`` as the writers take them."""
    out = []
    for position, name in enumerate(df.columns):
        s = df.iloc[:, position]
        dtype = str(s.dtype)
        if isinstance(s.dtype, pd.CategoricalDtype):
            labels = [x.item() if isinstance(x, np.generic) else x for x in s.cat.categories.tolist()]
            out.append(
                Column(
                    name,
                    "category",
                    dtype,
                    codes=s.cat.codes.to_numpy().astype(np.int32),
                    labels=labels,
                    family=family_of(labels),
                    ordered=bool(s.cat.ordered),
                )
            )
        elif s.dtype.kind in "iu" and not isinstance(s.dtype, pd.api.extensions.ExtensionDtype):
            out.append(Column(name, "number", dtype, values=s.to_numpy().astype(np.int64, copy=False)))
        elif s.dtype.kind == "f" and not isinstance(s.dtype, pd.api.extensions.ExtensionDtype):
            out.append(Column(name, "number", dtype, values=s.to_numpy().astype(np.float64, copy=False)))
        elif is_set_column(name, s):
            values = s.to_numpy(dtype=object)
            offsets, flat = _flatten_sets(name, values)
            codes, labels = _codes_of(flat)
            first = s.first_valid_index()
            kind = type(s[first]).__name__ if first is not None else "tuple"
            container = kind if kind in ("tuple", "list", "frozenset", "set") else "tuple"
            out.append(
                Column(
                    name,
                    "set",
                    dtype,
                    row_offsets=offsets,
                    codes=codes,
                    labels=labels,
                    family=family_of(labels),
                    container=container,
                )
            )
        else:
            codes, labels = _codes_of(s.to_numpy(dtype=object))
            # A missing value is told from an empty text only in JSON (null against "").
            family = "json" if (codes < 0).any() else family_of(labels)
            out.append(Column(name, "labels", dtype, codes=codes, labels=labels, family=family))
    return out


# ---- label encodings ------------------------------------------------------------------


def _json_default(x: Any) -> Any:
    if isinstance(x, np.generic):
        return x.item()
    if isinstance(x, frozenset | set):
        return sorted(x, key=repr)
    return str(x)


def json_text(label: Any) -> str:
    """A label as JSON: strings quoted, numbers and booleans as themselves, tuples as
    arrays; anything else as the JSON string of its str()."""
    if isinstance(label, float) and not math.isfinite(label):
        return json.dumps("nan" if math.isnan(label) else ("inf" if label > 0 else "-inf"))
    return json.dumps(label, ensure_ascii=False, default=_json_default)


def plain_text(label: Any) -> str:
    return str(label.item() if isinstance(label, np.generic) else label)


# Characters that make a label ambiguous in the text for people ({a, b} => {c}): quoted
# there, as JSON strings, when it holds one, starts or ends with a blank, or is empty.
_HUMAN_DELIMITERS = frozenset(',{}"\\') | frozenset(chr(c) for c in range(32)) | {"\x7f"}


def human_text(label: Any) -> str:
    text = plain_text(label)
    if text == "" or text != text.strip() or "=>" in text or any(c in _HUMAN_DELIMITERS for c in text):
        return json.dumps(text, ensure_ascii=False)
    return text


def encoded(labels: list[Any], encode: Callable[[Any], str]) -> tuple[bytes, np.ndarray]:
    """The labels' texts back to back (UTF-8) and their int64 offsets (n + 1)."""
    texts = [encode(x).encode("utf-8") for x in labels]
    offsets = np.zeros(len(texts) + 1, dtype=np.int64)
    if texts:
        np.cumsum(np.fromiter(map(len, texts), dtype=np.int64, count=len(texts)), out=offsets[1:])
    return b"".join(texts), offsets
