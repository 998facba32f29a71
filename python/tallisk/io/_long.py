"""Long tables, one (transaction, item) per row: CSV through the engine's CSV tokenizer
(one path, with or without pyarrow), Parquet through pyarrow. Also the decision between
a long CSV table and basket lines when the file's name does not settle it."""

from __future__ import annotations

import io
import re
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from .. import _engine
from . import _source
from ._codes import Codes, is_utf8, labels_of
from ._lines import failure_message, feed_blocks
from ._source import ReadError, Source

# Header words that name a transaction column and an item column (matched as parts of
# the names, case aside): a header naming one of each is a long table's.
_TXN_WORDS = (
    "transaction",
    "txn",
    "order",
    "basket",
    "invoice",
    "receipt",
    "ticket",
    "session",
    "tid",
    "visit",
    "customer",
    "member",
    "user",
    "trans",
)
_ITEM_WORDS = ("item", "product", "sku", "article", "good", "upc", "ean", "name", "description")
_NUMBER = re.compile(rb"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")


def _names_columns(header: list[bytes], words: tuple[str, ...]) -> bool:
    text = [h.decode("utf-8", "replace").lower() for h in header]
    return any(w in t for t in text for w in words)


def tell_layout(records: list[list[bytes]]) -> str | None:
    """``"long"``, ``"basket"`` or None (cannot tell) for the first records of a delimited
    file. A long table starts with a header naming its columns: at least two distinct,
    non-empty names that are not numbers and are not among the values below them; and
    either the names say which column is the transaction and which the item, or every
    row has the header's width and some column repeats a value (the rows of one
    transaction share its label). A first line whose fields recur in the data is a
    basket; anything else is left to the caller to settle."""
    if not records or max(len(r) for r in records) < 2:
        return None
    header, rows = records[0], records[1:]
    values = {f for r in rows for f in r}
    named = (
        len(header) >= 2
        and all(header)
        and len(set(header)) == len(header)
        and not any(_NUMBER.fullmatch(h) for h in header)
        and not set(header) & values
    )
    if not named:
        if len(set(header)) < len(header) and not set(header) & values:
            # A header naming a column twice, or a basket holding an item twice that
            # never recurs: reading it as either could be wrong.
            return None
        return "basket"
    if _names_columns(header, _TXN_WORDS) and _names_columns(header, _ITEM_WORDS):
        return "long"
    if rows and all(len(r) == len(header) for r in rows):
        for j in range(len(header)):
            column = [r[j] for r in rows]
            if len(set(column)) < len(column):
                return "long"
    return None


def sample_records(first: bytes, delimiter: str, last: bool) -> list[list[bytes]]:
    """The first records of a block, as the CSV tokenizer reads them."""
    return _engine.csv_records(first, delimiter.encode(), 200, last)["records"]


def pick_columns(columns: list[str], transaction_col: str | None, item_col: str | None, source: str) -> tuple[int, int]:
    """Positions of the transaction and item columns: the ones named, else the first two
    (the first column not taken by the other, when one is named)."""
    seen: set[str] = set()
    for c in columns:
        if c in seen:
            raise ReadError(
                f"{source}: the column name {c!r} appears more than once; every column needs its own name",
                source=source,
            )
        seen.add(c)
    if transaction_col is None and item_col is None:
        if len(columns) < 2:
            raise ReadError(
                f"{source}: a long table needs a transaction column and an item column; found "
                f"{len(columns)} column(s): {', '.join(map(repr, columns))}",
                source=source,
            )
        return 0, 1
    for role, col in (("transaction_col", transaction_col), ("item_col", item_col)):
        if col is not None and col not in columns:
            raise ReadError(
                f"{source}: no column {col!r} ({role}); the columns are: {', '.join(map(repr, columns))}",
                source=source,
                parameter=role,
            )
    t = (
        columns.index(transaction_col)
        if transaction_col is not None
        else next(k for k, c in enumerate(columns) if c != item_col)
    )
    i = columns.index(item_col) if item_col is not None else next(k for k, c in enumerate(columns) if k != t)
    if t == i:
        raise ReadError(
            f"{source}: the transaction and item columns are both {columns[t]!r}", source=source, parameter="item_col"
        )
    return t, i


def read_long_csv(
    src: Source,
    first: bytes,
    delimiter: str,
    transaction_col: str | None,
    item_col: str | None,
    strip: bool,
    encoding: str,
    progress: Callable[[int], None] | None,
) -> Codes:
    last = len(first) < _source.BLOCK_SIZE
    head = _engine.csv_records(first, delimiter.encode(encoding), 1, last)
    while not head["records"] and head["failure"] is None and not last and len(first) <= _source.MAX_NAME:
        more = src.read(_source.BLOCK_SIZE)  # a header longer than a block
        last = len(more) < _source.BLOCK_SIZE
        first += more
        head = _engine.csv_records(first, delimiter.encode(encoding), 1, last)
    if not head["records"]:
        if head["failure"] is not None:
            raise failure_message(head["failure"], src.name)
        if not first.strip():
            raise ReadError(
                f"{src.name}: empty input (a long table needs a header line naming its columns)", source=src.name
            )
        raise ReadError(
            f"{src.name}: the header line is longer than {_source.MAX_NAME >> 20} MiB", source=src.name, line=1
        )
    try:
        columns = [f.decode(encoding) for f in head["records"][0]]
    except UnicodeDecodeError:
        raise ReadError(
            f"{src.name}, line 1: the header is not {encoding} text; pass the file's encoding (encoding=...)",
            source=src.name,
            line=1,
            parameter="encoding",
        ) from None
    t, i = pick_columns(columns, transaction_col, item_col, src.name)
    tokenizer = _engine.csv_tokenizer(
        delimiter.encode(encoding), strip, is_utf8(encoding), len(columns), t, i, head["next_line"], _source.MAX_NAME
    )
    feed_blocks(tokenizer, src, memoryview(first)[head["consumed"] :], progress)
    result = _engine.tokenizer_finish(tokenizer)
    labels, remap = labels_of(result, src.name, encoding)
    codes = result["codes"]
    keep = codes >= 0  # an empty item field names no item; its transaction still counts
    codes = codes[keep]
    if remap is not None:
        codes = remap[codes]
    return Codes(result["txn_codes"][keep], codes, labels, int(result["n_transactions"]))


# ---- Parquet ---------------------------------------------------------------------------


def _missing_rows(col: Any) -> np.ndarray:
    """Rows holding null or NaN."""
    import pyarrow as pa
    import pyarrow.compute as pc

    bad = col.is_null().to_numpy(zero_copy_only=False)
    if pa.types.is_floating(col.type):
        bad = bad | pc.fill_null(pc.is_nan(col), False).to_numpy(zero_copy_only=False)
    return bad


def read_parquet(
    src: Source, transaction_col: str | None, item_col: str | None, strip: bool, progress: Callable[[int], None] | None
) -> Codes:
    try:
        import pyarrow as pa
        import pyarrow.compute as pc
        import pyarrow.parquet as pq
    except ImportError:
        raise ReadError(
            f"{src.name}: reading Parquet needs pyarrow (pip install 'tallisk[parquet]')", source=src.name
        ) from None
    # Parquet keeps its index at the end of the file: it needs a file that can seek.
    handle: Any = src.seekable_file()
    if handle is None:  # standard input or gzip: read whole (guarded, a damaged stream is a ReadError)
        parts = []
        while block := src.read(_source.BLOCK_SIZE):
            parts.append(block)
        handle = io.BytesIO(b"".join(parts))
    try:
        pf = pq.ParquetFile(handle)
        columns = list(pf.schema_arrow.names)
    except (pa.ArrowInvalid, OSError) as e:
        raise ReadError(
            f"{src.name}: not a readable Parquet file ({str(e).splitlines()[0]})", source=src.name
        ) from None
    t, i = pick_columns(columns, transaction_col, item_col, src.name)
    txn_dicts: list[Any] = []
    item_dicts: list[Any] = []
    txn_local: list[np.ndarray] = []
    item_local: list[np.ndarray] = []
    keeps: list[np.ndarray] = []
    rows = 0
    done = 0
    size = src.total or 0
    total_rows = max(pf.metadata.num_rows, 1)
    try:
        for batch in pf.iter_batches(batch_size=1 << 20, columns=[columns[t], columns[i]]):
            cols = []
            for role, col in (("transaction", batch.column(0)), ("item", batch.column(1))):
                if pa.types.is_dictionary(col.type):
                    col = col.dictionary_decode()
                bad = _missing_rows(col)
                if bad.any():
                    row = rows + int(np.flatnonzero(bad)[0]) + 1
                    raise ReadError(
                        f"{src.name}, row {row}: the {role} is missing (null or NaN); a missing label "
                        "cannot be told from another",
                        source=src.name,
                    )
                if strip and (pa.types.is_string(col.type) or pa.types.is_large_string(col.type)):
                    col = pc.utf8_trim_whitespace(col)
                cols.append(col)
            tcol, icol = cols
            keep = np.ones(len(icol), dtype=bool)
            if pa.types.is_string(icol.type) or pa.types.is_large_string(icol.type):
                keep = pc.utf8_length(icol).to_numpy(zero_copy_only=False) > 0  # "" names no item
                icol = icol.filter(pa.array(keep))
            te, ie = tcol.dictionary_encode(), icol.dictionary_encode()
            txn_dicts.append(te.dictionary)
            item_dicts.append(ie.dictionary)
            txn_local.append(te.indices.to_numpy(zero_copy_only=False).astype(np.int64))
            item_local.append(ie.indices.to_numpy(zero_copy_only=False).astype(np.int64))
            keeps.append(keep)
            rows += len(tcol)
            if progress is not None and size:
                step = int(size * rows / total_rows) - done
                progress(step)
                done += step
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError, OSError) as e:
        raise ReadError(f"{src.name}: {str(e).splitlines()[0]}", source=src.name) from None

    def merged(dicts: list[Any], local: list[np.ndarray]) -> tuple[np.ndarray, Any]:
        if not dicts:
            return np.zeros(0, np.int64), pa.array([], pa.string())
        enc = pa.concat_arrays(dicts).dictionary_encode()
        glob = enc.indices.to_numpy(zero_copy_only=False).astype(np.int64)
        out, offset = [], 0
        for d, codes in zip(dicts, local, strict=True):
            out.append(glob[offset : offset + len(d)][codes])
            offset += len(d)
        return np.concatenate(out) if out else np.zeros(0, np.int64), enc.dictionary

    txn_codes, txn_labels = merged(txn_dicts, txn_local)
    item_codes, item_labels = merged(item_dicts, item_local)
    keep_all = np.concatenate(keeps) if keeps else np.zeros(0, bool)
    labels = pd.Index(item_labels.to_pylist())
    if len(labels) > 1:
        try:
            order = np.asarray(labels.argsort(), dtype=np.int64)
        except TypeError:  # labels that do not compare (mixed types): kept in order of appearance
            order = None
        if order is not None:
            rank = np.empty_like(order)
            rank[order] = np.arange(order.size)
            item_codes = rank[item_codes]
            labels = labels[order]
    return Codes(txn_codes[keep_all], item_codes.astype(np.int32), labels, len(txn_labels))
