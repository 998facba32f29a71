"""Result tables as text: CSV and TSV, JSON Lines, FIMI-style lines, and the aligned table
for people. Every one of them is a list of cells handed to the engine's row formatter,
which writes the rows (numbers as the shortest text that reads back exactly, each label
already encoded once); Python only builds the cells and writes the blocks."""

from __future__ import annotations

import json
from collections.abc import Callable
from typing import IO, Any, cast

import numpy as np
import pandas as pd

from .. import _engine
from ._columns import Column, describe, encoded, human_text, json_text, plain_text

# Rows formatted per call: a few MB of text at a time, and a progress step.
ROWS_PER_BLOCK = 1 << 17

Cell = tuple[Any, ...]


def _literal(text: str) -> Cell:
    return ("literal", text.encode("utf-8"))


def _labels_cell(
    col: Column,
    encode: Callable[[Any], str],
    *,
    missing: str = "",
    open: str = "",
    sep: str = "",
    close: str = "",
    csv: str = "",
    width: int = 0,
    right: bool = False,
) -> Cell:
    data, offsets = encoded(col.labels, encode)
    return (
        "labels",
        col.row_offsets,
        col.codes,
        data,
        offsets,
        missing.encode(),
        open.encode(),
        sep.encode(),
        close.encode(),
        csv.encode(),
        width,
        right,
    )


def _number_cell(col: Column, style: str, precision: int = 17, width: int = 0) -> Cell:
    if col.values is not None and col.values.dtype == np.int64:
        return ("i64", col.values, width, width > 0)
    return ("f64", col.values, style, precision, width, width > 0)


def write_blocks(
    out: IO[bytes], cells: list[Cell], n_rows: int, progress: Callable[[int], None] | None, head: bytes = b""
) -> None:
    """Writes ``head`` and then every row, block by block; ``progress(k)`` after each block
    of ``k`` rows."""
    if head:
        out.write(head)
    for begin in range(0, n_rows, ROWS_PER_BLOCK):
        end = min(n_rows, begin + ROWS_PER_BLOCK)
        out.write(_engine.format_rows(cells, n_rows, begin, end, b"\n"))
        if progress is not None:
            progress(end - begin)


# ---- CSV, TSV -------------------------------------------------------------------------


def _csv_quote(text: str, delimiter: str) -> str:
    if any(c in text for c in (delimiter, '"', "\n", "\r")):
        return '"' + text.replace('"', '""') + '"'
    return text


def delimited_cells(columns: list[Column], delimiter: str) -> tuple[bytes, list[Cell]]:
    """The header line and the cells of CSV (``,``) or TSV (a tab). Sets are JSON arrays in
    one quoted cell; category and label cells hold the plain label (JSON when the
    column mixes kinds of label); numbers the shortest text that reads back exactly."""
    head = delimiter.join(_csv_quote(str(c.name), delimiter) for c in columns) + "\n"
    cells: list[Cell] = []
    for k, col in enumerate(columns):
        if k:
            cells.append(_literal(delimiter))
        if col.kind == "number":
            cells.append(_number_cell(col, "shortest"))
        elif col.kind == "set":
            cells.append(_labels_cell(col, json_text, missing="null", open="[", sep=",", close="]", csv=delimiter))
        else:
            json_cells = col.family == "json"
            cells.append(
                _labels_cell(
                    col, json_text if json_cells else plain_text, missing="null" if json_cells else "", csv=delimiter
                )
            )
    return head.encode("utf-8"), cells


# ---- JSON Lines -----------------------------------------------------------------------


def jsonl_cells(columns: list[Column]) -> list[Cell]:
    """One JSON object per row. Infinite numbers are the strings "inf" and "-inf" and NaN
    is null, as JSON has no such numbers."""
    cells: list[Cell] = []
    for k, col in enumerate(columns):
        cells.append(_literal(("{" if k == 0 else ",") + json.dumps(str(col.name), ensure_ascii=False) + ":"))
        if col.kind == "number":
            cells.append(_number_cell(col, "json"))
        elif col.kind == "set":
            cells.append(_labels_cell(col, json_text, missing="null", open="[", sep=",", close="]"))
        else:
            cells.append(_labels_cell(col, json_text, missing="null"))
    cells.append(_literal("}" if columns else "{}"))
    return cells


# ---- FIMI-style lines -----------------------------------------------------------------


def _fimi_text(label: Any) -> str:
    text = plain_text(label)
    # A NUL byte would make a file that no reader, this package's included, takes for text.
    if not text or any(c.isspace() for c in text) or "(" in text or ")" in text or "<-" in text or "\0" in text:
        raise ValueError(
            f"the label {text!r} cannot be written as a FIMI name (names there hold no blanks, "
            "parentheses, NUL bytes or line ends); write CSV, TSV, JSON Lines or Parquet instead"
        )
    return text


def _by_name(columns: list[Column]) -> dict[Any, Column]:
    return {c.name: c for c in columns}


def rule_columns(names: Any) -> tuple[str, str] | None:
    """The (antecedent, consequent) column names of a rule or pair table, or None."""
    for a, c in (
        ("antecedent", "consequent"),
        ("antecedents", "consequents"),
        ("item_a", "item_b"),
        ("item_A", "item_B"),
    ):
        if a in names and c in names:
            return a, c
    return None


def fimi_cells(columns: list[Column]) -> list[Cell]:
    """``a b c (count)`` for itemsets (``(support)`` without counts); ``c <- a b (support,
    confidence)`` for rules and pairs, the classic miners' output."""
    by = _by_name(columns)
    itemset = by.get("itemset", by.get("itemsets"))
    if itemset is not None and itemset.kind == "set":
        if itemset.family not in ("str", "int"):
            raise ValueError(
                "FIMI lines hold labels of one kind, text or integers: these mix kinds (7 and '7' would "
                "read back alike); write CSV, TSV, JSON Lines or Parquet instead"
            )
        measure = by.get("count", by.get("support"))
        if measure is None:
            raise ValueError("FIMI lines of itemsets need a 'count' or 'support' column")
        return [
            _labels_cell(itemset, _fimi_text, sep=" "),
            _literal(" ("),
            _number_cell(measure, "general", 6),
            _literal(")"),
        ]
    pair = rule_columns(by)
    if pair is None:
        raise ValueError(
            "FIMI lines hold itemsets (an 'itemset' column) or rules and pairs (antecedent and "
            "consequent columns); write CSV, TSV, JSON Lines or Parquet for other tables"
        )
    cells = [
        _labels_cell(by[pair[1]], _fimi_text, sep=" "),
        _literal(" <- "),
        _labels_cell(by[pair[0]], _fimi_text, sep=" "),
    ]
    measures = [by[m] for m in ("support", "confidence") if m in by]
    for k, m in enumerate(measures):
        cells += [_literal(" (" if k == 0 else ", "), _number_cell(m, "general", 6)]
    if measures:
        cells.append(_literal(")"))
    return cells


# ---- the aligned table for people ------------------------------------------------------

RULE_MEASURES = ("support", "confidence", "lift")
ITEMSET_MEASURES = ("support", "count")


def _kind(names: Any) -> str:
    if rule_columns(names) is not None:
        return "rules"
    if "itemset" in names or "itemsets" in names:
        return "itemsets"
    raise ValueError(
        "format_table shows itemsets (an 'itemset' column) and rules or pairs (antecedent and consequent columns)"
    )


def _people_cells(
    columns: list[Column], kind: str, measures: list[str], n_rows: int
) -> tuple[list[Cell], list[str], list[bool]]:
    """The cells of the aligned table (widths still 0), their headers and alignments."""
    by = _by_name(columns)
    index = np.arange(1, n_rows + 1).astype(str).tolist() if n_rows else []
    idx = Column("", "labels", "object", codes=np.arange(n_rows, dtype=np.int32), labels=index)
    cells: list[Cell] = [_labels_cell(idx, str, open="[", close="]")]
    heads, right = [""], [False]

    def put_set(col: Column, head: str) -> None:
        cells.extend([_literal(" "), _labels_cell(col, human_text, open="{", sep=", ", close="}")])
        heads.extend(["", head])
        right.extend([False, False])

    if kind == "itemsets":
        put_set(cast(Column, by.get("itemset", by.get("itemsets"))), "items")
    else:
        a, c = cast(tuple[str, str], rule_columns(by))
        put_set(by[a], "lhs")
        cells.append(_literal(" =>"))
        heads.append("")
        right.append(False)
        put_set(by[c], "rhs")
    for m in measures:
        col = by.get(m)
        if col is None:
            raise ValueError(f"no column {m!r} to show; the columns are: {', '.join(map(str, by))}")
        cells.append(_literal("  " if m == measures[0] else " "))
        heads.append("")
        right.append(False)
        if col.kind == "number":
            cells.append(_number_cell(col, "general", 6))
        else:
            cells.append(_labels_cell(col, human_text))
        heads.append(str(m))
        right.append(True)
    return cells, heads, right


def _padded(cells: list[Cell], heads: list[str], right: list[bool], n_rows: int) -> tuple[list[Cell], bytes]:
    """The cells with their widths set to fit every row and the header, and the header line."""
    widths = _engine.cell_widths(cells, n_rows, 0, n_rows).tolist() if n_rows else [0] * len(cells)
    out, head = [], []
    last = max((j for j, c in enumerate(cells) if c[0] != "literal"), default=-1)
    for j, (cell, h, r) in enumerate(zip(cells, heads, right, strict=True)):
        width = max(widths[j], len(h))
        if cell[0] == "literal":
            head.append(" " * len(cell[1].decode()))
            out.append(cell)
            continue
        pad = 0 if (j == last and not r) else width  # no blanks at the end of a line
        head.append(h.rjust(width) if r else (h.ljust(width) if j != last else h))
        if cell[0] == "labels":
            cell = (*cell[:10], pad, r)
        elif cell[0] == "f64":
            cell = (*cell[:4], pad, r)
        else:
            cell = (cell[0], cell[1], pad, r)
        out.append(cell)
    return out, ("".join(head).rstrip() + "\n").encode("utf-8")


def people_rows(df: pd.DataFrame, measures: Any = None) -> tuple[list[Cell], bytes, int]:
    """Cells and header of the aligned table of ``df``: ``[k] {a, b} => {c}`` then the
    measures, right-aligned, for rules and pairs; ``[k] {a, b, c}`` then the measures for
    itemsets. ``measures``: the columns to show (default support, confidence, lift for
    rules; support, count for itemsets)."""
    kind = _kind(df.columns)
    if measures is None:
        measures = [m for m in (RULE_MEASURES if kind == "rules" else ITEMSET_MEASURES) if m in df.columns]
    elif isinstance(measures, str):
        measures = [measures]
    measures = list(dict.fromkeys(measures))
    keep = [
        c
        for c in df.columns
        if c in measures or c in ("itemset", "itemsets") or (kind == "rules" and c in (rule_columns(df.columns) or ()))
    ]
    columns = describe(df[keep])
    n = len(df)
    cells, heads, right = _people_cells(columns, kind, measures, n)
    cells, head = _padded(cells, heads, right, n)
    return cells, head, n


def format_table(df: pd.DataFrame, n: int | None = 10, measures: Any = None) -> str:
    """Itemsets, rules or pairs as an aligned table for people, as arules' ``inspect``
    prints them::

            lhs              rhs           support confidence    lift
        [1] {bread, butter} => {milk}         0.25        0.8     1.6
        [2] {"Milk, 2%"}    => {eggs}          0.2        0.5    1.25

    Labels are written as they are, quoted (as JSON strings) only when they hold a
    comma, a brace, a quote, a backslash or a control character, or start or end with a
    blank. Numbers have six significant digits. :func:`tallisk.format_rules` is this
    function under its top-level name, with its parameters checked.

    Parameters
    ----------
    df : DataFrame
        An itemset, rule or pair table.
    n : int or None, default 10
        The first n rows (None: all), with a last line saying how many are left out.
    measures : str or list of str, optional
        The columns after the sets (default support, confidence and lift for rules and
        pairs, support and count for itemsets).

    Returns
    -------
    str
        The lines, each ending in a newline.

    Raises
    ------
    ValueError
        For a table that is neither an itemset nor a rule (or pair) table, or a measure
        it has no column for.

    Examples
    --------
    >>> baskets = [["tea", "milk"]] * 6 + [["tea", "sugar"]] * 3 + [["bread"]] * 6
    >>> print(tallisk.io.format_table(tallisk.frequent_itemsets(baskets, min_count=3), n=3), end="")
        items    support count
    [1] {bread}      0.4     6
    [2] {milk}       0.4     6
    [3] {sugar}      0.2     3
    [... 3 more itemsets]
    """
    total = len(df)
    shown = df if n is None else df.head(n)
    cells, head, rows = people_rows(shown, measures)
    text = head + _engine.format_rows(cells, rows, 0, rows, b"\n") if rows else head
    out = text.decode("utf-8")
    if rows < total:
        what = "rules" if _kind(df.columns) == "rules" else "itemsets"
        out += f"[... {total - rows} more {what}]\n"
    return out


def text_writer(kind: str, df: pd.DataFrame, measures: Any = None) -> tuple[list[Cell], bytes, list[Column] | None]:
    """The cells and header line of a text format for the whole of ``df``, and the columns
    described (None for the table for people, which is not read back)."""
    if kind == "text":
        cells, head, _ = people_rows(df, measures)
        return cells, head, None
    columns = describe(df)
    if kind in ("csv", "tsv"):
        head, cells = delimited_cells(columns, "," if kind == "csv" else "\t")
        return cells, head, columns
    if kind == "jsonl":
        return jsonl_cells(columns), b"", columns
    return fimi_cells(columns), b"", columns
