"""The public writer: a result table to a file (or standard output) in any output format,
through :func:`atomic_write`."""

from __future__ import annotations

import json
import os
from collections.abc import Callable
from typing import Any, cast

import numpy as np
import pandas as pd

from .._validation import InvalidParameterError, check_choice, fail
from ._atomic import atomic_write, open_output
from ._columns import Column, describe, json_text
from ._formats import OUTPUT_FORMATS, guess_output_format
from ._schema import METADATA_KEY, document, sidecar_path
from ._text import ROWS_PER_BLOCK, text_writer, write_blocks


def _parquet_array(col: Column, pa: Any) -> Any:
    """The Arrow array of a column: sets as lists (of JSON text when the labels mix
    kinds), categories as dictionaries holding every category."""
    if col.kind == "number":
        return pa.array(col.values)
    if col.family == "json":
        values = pa.array([json_text(x) for x in col.labels], pa.string())
    else:
        values = pa.array(col.labels)
    codes = cast(np.ndarray, col.codes)  # set and label columns have codes
    if col.kind == "set":
        flat = values.take(pa.array(codes)) if len(codes) else pa.array([], values.type)
        return pa.LargeListArray.from_arrays(pa.array(col.row_offsets, pa.int64()), flat)
    mask = codes < 0
    indices = pa.array(np.where(mask, 0, codes).astype(np.int32), mask=mask)
    if col.kind == "category":
        return pa.DictionaryArray.from_arrays(indices, values, ordered=col.ordered)
    return values.take(indices) if len(values) else pa.nulls(len(codes), values.type)


def _write_parquet(df: pd.DataFrame, path: str | None, progress: Callable[[int], None] | None) -> None:
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise ImportError("writing Parquet needs pyarrow (pip install 'tallisk[parquet]')", name="pyarrow") from None
    columns = describe(df)
    doc = document(df, columns)
    table = pa.table({f"c{k}": _parquet_array(c, pa) for k, c in enumerate(columns)})
    table = table.rename_columns([str(c.name) for c in columns])
    table = table.replace_schema_metadata({METADATA_KEY: json.dumps(doc, ensure_ascii=False).encode("utf-8")})
    with open_output(path, binary=True) as f, pq.ParquetWriter(f, table.schema) as writer:
        for begin in range(0, max(len(df), 1), ROWS_PER_BLOCK):
            writer.write_table(table.slice(begin, ROWS_PER_BLOCK), row_group_size=ROWS_PER_BLOCK)
            if progress is not None and len(df):
                progress(min(ROWS_PER_BLOCK, len(df) - begin))


def write_table(
    df: pd.DataFrame,
    path: str | os.PathLike[str] | None = None,
    format: str | None = None,
    *,
    measures: Any = None,
    progress: Callable[[int], None] | None = None,
) -> None:
    """Write an itemset, rule or pair table to a file or standard output.

    Parameters
    ----------
    df : DataFrame
        An itemset, rule or pair table (any DataFrame for CSV, TSV, JSON Lines and
        Parquet).
    path : str, os.PathLike or None
        The file; None or ``"-"``: standard output.
    format : {"text", "csv", "tsv", "jsonl", "parquet", "fimi"}, optional
        Default: from the name's extension, ``text`` for standard output and names that
        say nothing.

        * ``text``: the aligned table for people, as :func:`format_table` writes it.
        * ``csv`` / ``tsv``: a header, then one row per line; sets of labels are JSON
          arrays in one quoted cell (``"[""Milk, 2%"",""bread""]"``), labels as written,
          numbers as the shortest text that reads back to the same value (``inf``,
          ``nan``).
        * ``jsonl``: one JSON object per line; sets as arrays; infinite numbers as the
          strings ``"inf"``/``"-inf"``, NaN as null.
        * ``parquet``: sets as lists, categorical columns as dictionaries (needs
          pyarrow).
        * ``fimi``: the classic miners' lines, ``a b c (count)`` for itemsets and
          ``c <- a b (support, confidence)`` for rules and pairs; labels with blanks or
          parentheses are refused.
    measures : list of str, optional
        The ``text`` format's columns shown after the sets.
    progress : callable, optional
        Called with ``k`` after each block of ``k`` rows.

    Raises
    ------
    InvalidParameterError
        For a ``df`` that is not a DataFrame or has a column name twice, a path that is
        not one, an unknown format, or a ``progress`` that is not callable.
    ValueError
        For a table the format cannot hold (FIMI lines of a table without sets, labels
        FIMI names cannot be; a measure the text format has no column for).
    OSError
        As :func:`atomic_write` raises it (a missing directory, no permission).
    ImportError
        For Parquet without pyarrow.

    Notes
    -----
    :func:`read_table` reads every format but ``text`` back into a table equal to this
    one: the same labels of the same types, dtypes, categories and ``df.attrs``. Parquet
    keeps that description in its schema metadata; the text formats keep it in
    ``<path>-metadata.json`` beside the file (not written for standard output). A name
    ending in ``.gz`` is compressed. The file appears only once complete (see
    :func:`atomic_write`).

    Examples
    --------
    >>> import os, pathlib, shutil, tempfile
    >>> d = tempfile.mkdtemp()
    >>> baskets = [["tea", "milk"]] * 6 + [["tea", "sugar"]] * 3 + [["bread"]] * 6
    >>> itemsets = tallisk.frequent_itemsets(baskets, min_count=6)
    >>> tallisk.io.write_table(itemsets, os.path.join(d, "itemsets.dat"))
    >>> print(pathlib.Path(d, "itemsets.dat").read_text(), end="")
    bread (6)
    milk (6)
    tea (9)
    milk tea (6)
    >>> rules = tallisk.top_rules(baskets, k=2)
    >>> tallisk.io.write_table(rules, os.path.join(d, "rules.csv"))
    >>> sorted(os.listdir(d))
    ['itemsets.dat', 'itemsets.dat-metadata.json', 'rules.csv', 'rules.csv-metadata.json']
    >>> tallisk.io.read_table(os.path.join(d, "rules.csv")).equals(rules)
    True
    >>> shutil.rmtree(d)
    """
    func = "write_table"
    if not isinstance(df, pd.DataFrame):
        raise fail("df", func, "a pandas DataFrame", df if isinstance(df, int | float | str | None) else type(df))
    if path is not None and not isinstance(path, str | os.PathLike):
        raise fail("path", func, "a file path (str or os.PathLike), '-' or None for standard output", path)
    p = None if path is None else os.fspath(path)
    if isinstance(p, bytes):
        p = os.fsdecode(p)
    fmt = format if format is not None else guess_output_format(p)
    check_choice(fmt, "format", func, OUTPUT_FORMATS)
    if progress is not None and not callable(progress):
        raise fail("progress", func, "a callable taking a number of rows, or None", progress)
    if not df.columns.is_unique:
        twice = df.columns[df.columns.duplicated()][0]
        raise InvalidParameterError(f"write_table needs distinct column names; {twice!r} appears more than once")

    if fmt == "parquet":
        _write_parquet(df, p, progress)
        return
    cells, head, columns = text_writer(fmt, df, measures)
    with open_output(p, binary=True) as f:
        write_blocks(f, cells, len(df), progress, head)
    if columns is not None and p not in (None, "-") and os.path.isfile(p):
        with atomic_write(sidecar_path(p), "w") as f:
            json.dump(document(df, columns), f, ensure_ascii=False, indent=1)
            f.write("\n")
