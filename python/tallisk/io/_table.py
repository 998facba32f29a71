"""Reading a written table back: :func:`read_table`."""

from __future__ import annotations

import gzip
import json
import os
import re
import warnings
from typing import Any, Literal

import numpy as np
import pandas as pd

from .. import _engine
from .._validation import check_choice, fail
from . import _source
from ._codes import labels_of
from ._formats import guess_output_format
from ._lines import failure_message
from ._schema import METADATA_KEY, apply, as_tuples, label_rows, parse_json_cell, read_sidecar
from ._source import ReadError

TABLE_FORMATS = ("csv", "tsv", "jsonl", "parquet", "fimi")


def _open_text(path: str) -> bytes:
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == _source.GZIP_MAGIC:
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError) as e:
            raise ReadError(f"cannot read {path}: {e}", source=path) from None
    return data


# Every double back to its last bit: pandas 2's default parser can be one off; pandas 3
# parses exactly by default and deprecates the option.
_ROUND_TRIP: dict[str, Any] = {"float_precision": "round_trip"} if int(pd.__version__.split(".")[0]) < 3 else {}


def _read_delimited(path: str, delimiter: str) -> pd.DataFrame:
    # The description settles every column's type; without it pandas infers them. Label
    # cells are read as text either way ("NA", "null" and "" are labels here, not
    # missing values), numbers as numbers ("nan", "inf" included).
    with open(path, "rb") as f:
        first = f.read(4)
    compression: Literal["gzip"] | None = "gzip" if first[:2] == _source.GZIP_MAGIC else None
    doc = read_sidecar(path)
    dtype: dict[str, Any] = {}
    na: dict[str, list[str]] = {}
    if doc is not None:
        for e in doc["columns"]:
            name = str(e["name"])
            if e.get("kind") == "number":
                dtype[name] = e.get("dtype", "float64")
                na[name] = ["nan", "NaN"]
            else:
                dtype[name] = object
    try:
        df = pd.read_csv(
            path,
            sep=delimiter,
            dtype=dtype or None,
            keep_default_na=doc is None,
            na_values=na or None,
            compression=compression,
            encoding="utf-8",
            quotechar='"',
            doublequote=True,
            index_col=False,
            **_ROUND_TRIP,
        )
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError) as e:
        raise ReadError(f"{path}: {str(e).strip().splitlines()[0]}", source=path) from None
    if doc is not None and doc.get("rows") != len(df):
        warnings.warn(
            f"{path}-metadata.json describes {doc.get('rows')} rows but the file holds {len(df)}; it is ignored",
            stacklevel=3,
        )
        doc = None
    return apply(df, doc, text_cells=True)


def _read_jsonl(path: str) -> pd.DataFrame:
    text = _open_text(path).decode("utf-8").strip()
    # JSON strings never hold a raw line end, so the lines join into one array: one parse,
    # in C, with exact numbers.
    try:
        records = json.loads("[" + text.replace("\r\n", "\n").replace("\n", ",") + "]") if text else []
    except (ValueError, RecursionError) as e:
        raise ReadError(f"{path}: not JSON Lines ({e})", source=path) from None
    doc = read_sidecar(path, len(records))
    names = [e["name"] for e in doc["columns"]] if doc is not None else (list(records[0]) if records else [])
    df = (
        pd.DataFrame.from_records(records, columns=[str(n) for n in names])
        if records
        else pd.DataFrame({str(n): pd.Series(dtype=object) for n in names})
    )
    return apply(df, doc, text_cells=False)


def _parquet_column(col: Any, e: dict | None, pa: Any, pc: Any) -> Any:
    """A pandas column from an Arrow column, as described (``e``), without a per-row
    Python loop for sets."""
    col = col.combine_chunks() if hasattr(col, "combine_chunks") else col
    family = (e or {}).get("labels", "str")

    def decode(values: list[Any]) -> np.ndarray:
        out = np.empty(len(values), dtype=object)
        out[:] = (
            [parse_json_cell(v) if isinstance(v, str) else v for v in values]
            if family == "json"
            else [as_tuples(v) for v in values]
        )
        return out

    if pa.types.is_list(col.type) or pa.types.is_large_list(col.type):
        offsets = np.asarray(col.offsets.to_numpy(zero_copy_only=False), dtype=np.int64)
        flat = col.flatten()
        if len(flat):
            enc = flat.dictionary_encode()
            codes = enc.indices.to_numpy(zero_copy_only=False).astype(np.int32)
            labels = decode(enc.dictionary.to_pylist())
        else:
            codes, labels = np.zeros(0, np.int32), np.zeros(0, dtype=object)
        return label_rows(offsets, codes, labels, (e or {}).get("container", "tuple"))
    e = e or {}
    kind = e.get("kind")
    if pa.types.is_dictionary(col.type) or kind == "category":
        if "categories" in e:
            categories = pd.Index([as_tuples(x) for x in e["categories"]], tupleize_cols=False)
        else:
            categories = pd.Index(decode(col.dictionary.to_pylist()), tupleize_cols=False)
        if pa.types.is_dictionary(col.type):
            codes = pc.fill_null(col.indices, -1).to_numpy(zero_copy_only=False).astype(np.int64)
        else:  # Parquet keeps dictionaries of text only: other labels come back plain
            plain = pd.Index(decode(col.to_pylist()), dtype=object, tupleize_cols=False)
            codes = categories.get_indexer(plain) if len(categories) else np.full(len(col), -1, dtype=np.int64)
        return pd.Categorical.from_codes(codes, categories=categories, ordered=bool(e.get("ordered")))
    if kind == "labels":
        values = decode(col.to_pylist())
        try:
            return pd.Series(values, dtype=e.get("dtype", "object"))
        except (TypeError, ValueError):
            return pd.Series(values, dtype=object)
    values = col.to_numpy(zero_copy_only=False)
    return values.astype(e["dtype"]) if kind == "number" else values


def _read_parquet(path: str) -> pd.DataFrame:
    try:
        import pyarrow as pa
        import pyarrow.compute as pc
        import pyarrow.parquet as pq
    except ImportError:
        raise ImportError("reading Parquet needs pyarrow (pip install 'tallisk[parquet]')", name="pyarrow") from None
    try:
        table = pq.read_table(path)
    except (pa.ArrowInvalid, OSError) as e:
        raise ReadError(f"{path}: not a readable Parquet file ({str(e).splitlines()[0]})", source=path) from None
    meta = (table.schema.metadata or {}).get(METADATA_KEY)
    doc = json.loads(meta) if meta else None
    if doc is None:
        return apply(table.to_pandas(), None, text_cells=False)
    entries = doc["columns"]
    cols = {k: _parquet_column(table.column(k), e, pa, pc) for k, e in enumerate(entries)}
    out = pd.DataFrame(cols)
    out.columns = pd.Index([e["name"] for e in entries], tupleize_cols=False)
    out.attrs.update(doc.get("attrs", {}))
    return out


_INT = re.compile(r"-?(0|[1-9][0-9]*)")


def _read_fimi(path: str) -> pd.DataFrame:
    """FIMI itemset lines ``a b c (count)`` (or ``(support)``) back into an itemset table."""
    data = _open_text(path)
    tokenizer = _engine.line_tokenizer(b" \t()", False, True, _source.MAX_NAME)
    failure = _engine.tokenizer_feed(tokenizer, data, True)
    if failure is not None:
        raise failure_message(failure, path)
    result = _engine.tokenizer_finish(tokenizer)
    names, remap = labels_of(result, path, "utf-8")
    codes = result["codes"] if remap is None else remap[result["codes"]]
    per_line = result["line_items"].astype(np.int64)
    per_line = per_line[per_line > 0]  # blank lines hold nothing
    if " <- " in data[:4096].decode("utf-8", "replace"):
        raise ReadError(
            f"{path}: FIMI rule lines keep too little to be read back as a table; write rules to CSV, "
            "TSV, JSON Lines or Parquet",
            source=path,
            parameter="format",
        )
    ends = np.cumsum(per_line)
    measure_text = names.to_numpy(dtype=object)[codes[ends - 1]] if len(ends) else np.zeros(0, object)
    is_item = np.ones(len(codes), dtype=bool)
    is_item[ends - 1] = False
    offsets = np.zeros(len(per_line) + 1, dtype=np.int64)
    np.cumsum(per_line - 1, out=offsets[1:])
    item_codes = codes[is_item]
    used = np.unique(item_codes)
    labels = names.to_numpy(dtype=object)
    doc = read_sidecar(path, int(len(per_line)))
    family = next((e.get("labels") for e in (doc or {}).get("columns", []) if e.get("kind") == "set"), None)
    texts = [str(x) for x in labels[used].tolist()]
    if family == "str":  # written as text: digits stay text
        labels = labels.copy()
        labels[used] = texts
    elif texts and all(_INT.fullmatch(t) for t in texts):  # the counts alone made the names text
        labels = labels.copy()
        labels[used] = [int(t) for t in texts]
    measure = pd.to_numeric(pd.Series(measure_text, dtype=object).astype(str))
    df = pd.DataFrame({"itemset": label_rows(offsets, item_codes, labels), "length": np.diff(offsets)})
    df["count" if measure.dtype.kind in "iu" else "support"] = measure.to_numpy()
    if doc is None:
        return df
    n = doc.get("attrs", {}).get("n_transactions")
    wanted = [e["name"] for e in doc["columns"]]
    if "support" in wanted and "support" not in df.columns and n:
        df["support"] = df["count"] / n
    cols = [c for c in wanted if c in df.columns]
    entries = [e for e in doc["columns"] if e["name"] in cols]
    return apply(df[cols], {**doc, "columns": entries}, text_cells=False)


def read_table(path: str | os.PathLike[str], format: str | None = None) -> pd.DataFrame:
    """A table :func:`write_table` wrote, read back equal to the one written: the same
    columns, dtypes (categorical columns with their categories), labels of the same types
    inside the sets (tuples, or frozensets for mlxtend's tables) and ``df.attrs``.

    ``format``: ``csv``, ``tsv``, ``jsonl``, ``parquet`` or ``fimi`` (itemset lines);
    default from the name. The description of a text file is read from
    ``<path>-metadata.json`` when present; without it the table is read with the types its
    text implies and no attrs (set columns are still recognised by name). Tables written
    by other tools read too: CSV sets in the forms earlier versions wrote (``('a', 'b')``,
    ``{a,b}``) are understood.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    format : {"csv", "tsv", "jsonl", "parquet", "fimi"}, optional
        Default: from the name (see :func:`guess_output_format`).

    Returns
    -------
    DataFrame
        The table, ``attrs`` included when the description was found.

    Raises
    ------
    InvalidParameterError
        For a path that is not one, or an unknown format.
    ReadError
        When the name does not tell the format and none is given, or for content that
        cannot be read as a table of that format.
    OSError
        FileNotFoundError, IsADirectoryError or PermissionError, as ``open`` raises them.
    ImportError
        For Parquet without pyarrow.

    Examples
    --------
    >>> import os, shutil, tempfile
    >>> d = tempfile.mkdtemp()
    >>> itemsets = tallisk.frequent_itemsets([["tea", "milk"], ["tea"]], min_count=1)
    >>> tallisk.io.write_table(itemsets, os.path.join(d, "itemsets.jsonl"))
    >>> back = tallisk.io.read_table(os.path.join(d, "itemsets.jsonl"))
    >>> back.equals(itemsets), back.attrs == itemsets.attrs, back["itemset"].tolist()
    (True, True, [('milk',), ('tea',), ('milk', 'tea')])
    >>> shutil.rmtree(d)
    """
    func = "read_table"
    if not isinstance(path, str | os.PathLike):
        raise fail("path", func, "a file path (str or os.PathLike)", path)
    p = os.fspath(path)
    if isinstance(p, bytes):
        p = os.fsdecode(p)
    fmt = format if format is not None else guess_output_format(p)
    if fmt == "text":
        raise ReadError(
            f"{p}: cannot tell the table's format from its name (the aligned text for people is not "
            "read back); pass format='csv', 'tsv', 'jsonl', 'parquet' or 'fimi'",
            source=p,
            parameter="format",
        )
    check_choice(fmt, "format", func, TABLE_FORMATS)
    if os.path.isdir(p):
        raise IsADirectoryError(21, "Is a directory", p)
    if fmt in ("csv", "tsv"):
        return _read_delimited(p, "," if fmt == "csv" else "\t")
    if fmt == "jsonl":
        return _read_jsonl(p)
    if fmt == "parquet":
        return _read_parquet(p)
    return _read_fimi(p)
