"""Long tables: one (transaction, item) per row, from CSV or Parquet."""

from __future__ import annotations

import contextlib
import csv
import gzip
import io
import re
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from . import _source
from ._codes import Codes, _Vocabulary
from ._source import ReadError, _Prepend, _Source

# ---- long tables ------------------------------------------------------------------------


def _pick_columns(
    columns: list[str], transaction_col: str | None, item_col: str | None, source: str
) -> tuple[str, str]:
    if transaction_col is None and item_col is None:
        if len(columns) < 2:
            raise ReadError(
                f"{source}: a long table needs a transaction column and an item column; "
                f"found {len(columns)} column(s): {', '.join(map(str, columns))}"
            )
        return columns[0], columns[1]
    for role, col in (("transaction", transaction_col), ("item", item_col)):
        if col is not None and col not in columns:
            raise ReadError(f"{source}: no {role} column {col!r}; the columns are: {', '.join(map(str, columns))}")
    t = transaction_col if transaction_col is not None else next(c for c in columns if c != item_col)
    i = item_col if item_col is not None else next(c for c in columns if c != t)
    if t == i:
        raise ReadError(f"{source}: the transaction and item columns are both {t!r}")
    return t, i


def _header(src: _Source, sep: str) -> list[str]:
    """The column names; the line is handed back to the stream for the CSV reader."""
    try:
        line = src.stream.readline(1 << 20)
    except (OSError, EOFError) as e:
        raise ReadError(f"cannot read {src.name}: {e}") from None
    src.stream = io.BufferedReader(_Prepend(line, src.stream), buffer_size=1 << 20)
    line = line.rstrip(b"\n")
    if not line.strip():
        raise ReadError(f"{src.name}: empty input (a long table needs a header line naming its columns)")
    try:
        text = line.decode("utf-8").rstrip("\r")
    except UnicodeDecodeError:
        raise ReadError(f"{src.name}, line 1: the header is not UTF-8 text") from None
    return next(csv.reader([text], delimiter=sep))


def _empty_or_missing(col: Any, text: bool) -> np.ndarray | None:
    """Rows whose item is missing or an empty name, or None when there are none. For a
    text column the lengths come straight from Arrow's offsets (no string is touched)."""
    import pyarrow as pa

    missing = col.is_null().to_numpy(zero_copy_only=False) if col.null_count else None
    empty = None
    if text and len(col):
        width = np.int64 if pa.types.is_large_string(col.type) else np.int32
        offsets = np.frombuffer(
            col.buffers()[1], dtype=width, count=len(col) + 1, offset=col.offset * np.dtype(width).itemsize
        )
        lengths = np.diff(offsets)
        if (lengths == 0).any():
            empty = lengths == 0
    if missing is None:
        return empty
    return missing if empty is None else (missing | empty)


class _Merger:
    """Dense transaction codes and item codes from batches of (transaction, item) labels,
    each batch dictionary-encoded by Arrow or pandas; the block vocabularies are merged
    at the end (see _Vocabulary). Rows whose item is empty or missing name no item but
    still make their transaction count (that is how a long table holds an empty basket)."""

    def __init__(self) -> None:
        self.txn = _Vocabulary()
        self.item = _Vocabulary()
        self.keep: list[np.ndarray | None] = []
        self.batch_rows: list[int] = []
        self.rows = 0

    def add_arrow(self, t: Any, i: Any, strip: bool, source: str) -> None:
        import pyarrow as pa
        import pyarrow.compute as pc

        if pa.types.is_dictionary(t.type):
            t = t.dictionary_decode()
        if pa.types.is_dictionary(i.type):
            i = i.dictionary_decode()
        t_text = pa.types.is_string(t.type) or pa.types.is_large_string(t.type)
        i_text = pa.types.is_string(i.type) or pa.types.is_large_string(i.type)
        if strip and t_text:
            t = pc.utf8_trim_whitespace(t)
        if strip and i_text:
            i = pc.utf8_trim_whitespace(i)
        if t.null_count:
            row = self.rows + int(np.flatnonzero(t.is_null().to_numpy(zero_copy_only=False))[0])
            raise ReadError(f"{source}, row {row + 1}: the transaction is missing")
        te = t.dictionary_encode()
        tcodes = te.indices.to_numpy(zero_copy_only=False)
        # Rows of one transaction usually come together: keep one code per run of equal
        # codes (a tenth of the rows for baskets of ten) until the end.
        starts = np.flatnonzero(np.concatenate(([True], tcodes[1:] != tcodes[:-1]))) if len(t) else np.zeros(0, int)
        runs = np.diff(np.append(starts, len(t))).astype(np.int32)
        drop_np = _empty_or_missing(i, i_text)
        keep = None
        if drop_np is not None:
            keep = ~drop_np
            i = i.filter(pa.array(keep))
        ie = i.dictionary_encode()
        # Block-local codes stay int32 (a block has far fewer than 2**31 rows): the codes of
        # every block are held until the end, and they are most of what a read keeps.
        self.txn.add(tcodes[starts].astype(np.int32, copy=False), te.dictionary, runs=runs)
        self.item.add(ie.indices.to_numpy(zero_copy_only=False).astype(np.int32, copy=False), ie.dictionary)
        self.keep.append(keep)
        self.batch_rows.append(len(t))
        self.rows += len(t)

    def add_pandas(self, t: pd.Series, i: pd.Series, strip: bool) -> None:
        if strip:
            t = t.str.strip()
            i = i.str.strip()
        tcodes, tuniq = pd.factorize(t.to_numpy(dtype=object))
        keep = i.to_numpy(dtype=object) != ""
        icodes, iuniq = pd.factorize(i.to_numpy(dtype=object)[keep])
        self.txn.add(np.asarray(tcodes, np.int32), np.asarray(tuniq, dtype=object))
        self.item.add(np.asarray(icodes, np.int32), np.asarray(iuniq, dtype=object))
        self.keep.append(None if keep.all() else keep)
        self.batch_rows.append(len(t))
        self.rows += len(t)

    def finish(self, source: str) -> Codes:
        txn_codes, n_transactions = self.txn.finish_codes()
        item_codes, labels = self.item.finish(source, None)
        if any(k is not None for k in self.keep):
            mask = np.concatenate(
                [np.ones(rows, bool) if k is None else k for rows, k in zip(self.batch_rows, self.keep, strict=True)]
            )
            txn_codes = txn_codes[mask]
        return Codes(txn_codes, item_codes, labels, n_transactions)


def _read_long_csv(
    src: _Source,
    sep: str,
    transaction_col: str | None,
    item_col: str | None,
    strip: bool,
    progress: Callable[[int], None] | None,
) -> Codes:
    columns = _header(src, sep)
    t_col, i_col = _pick_columns(columns, transaction_col, item_col, src.name)
    merger = _Merger()
    last = src.position
    try:
        import pyarrow as pa
        import pyarrow.csv as pacsv
    except ImportError:
        pa = None
    if pa is not None:
        try:
            reader = pacsv.open_csv(
                src.stream,
                read_options=pacsv.ReadOptions(block_size=_source.BLOCK_SIZE, use_threads=True),
                parse_options=pacsv.ParseOptions(delimiter=sep, newlines_in_values=False),
                convert_options=pacsv.ConvertOptions(
                    include_columns=[t_col, i_col],
                    column_types={t_col: pa.string(), i_col: pa.string()},
                    null_values=[],
                    strings_can_be_null=False,
                    quoted_strings_can_be_null=False,
                    check_utf8=True,
                ),
            )
            # Closed on every exit: a reader left open on an error keeps its read-ahead
            # thread running into interpreter shutdown.
            with contextlib.closing(reader):
                while True:
                    try:
                        batch = reader.read_next_batch()
                    except StopIteration:
                        break
                    merger.add_arrow(batch.column(t_col), batch.column(i_col), strip, src.name)
                    if progress is not None:
                        progress(src.position - last)
                        last = src.position
        except (pa.ArrowInvalid, UnicodeDecodeError) as e:
            raise ReadError(f"{src.name}: {_csv_message(e, src, sep, len(columns))}") from None
        except (OSError, EOFError) as e:  # a damaged gzip stream, a failing disk
            raise ReadError(f"cannot read {src.name}: {e}") from None
    else:
        # Every column is read: with `usecols` pandas silently drops the extra fields of a
        # malformed row, and its warning about rows longer than the header means lost data
        # too, so both are errors here, as they are on Arrow's path.
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error", pd.errors.ParserWarning)
                chunks = pd.read_csv(
                    src.stream,
                    sep=sep,
                    dtype=str,
                    keep_default_na=False,
                    na_filter=False,
                    index_col=False,
                    chunksize=1 << 20,
                    engine="c",
                    encoding="utf-8",
                )
                for chunk in chunks:
                    merger.add_pandas(chunk[t_col], chunk[i_col], strip)
                    if progress is not None:
                        progress(src.position - last)
                        last = src.position
        except (pd.errors.ParserError, pd.errors.ParserWarning, UnicodeDecodeError, ValueError) as e:
            raise ReadError(f"{src.name}: {_pandas_message(e)}") from None
        except (OSError, EOFError) as e:
            raise ReadError(f"cannot read {src.name}: {e}") from None
    return merger.finish(src.name)


def _pandas_message(e: Exception) -> str:
    """pandas' first line, with its tokenizer's wording put the way Arrow's path says it."""
    msg = str(e).strip().splitlines()[0]
    m = re.search(r"Expected (\d+) fields in line (\d+), saw (\d+)", msg)
    return f"line {m[2]}: expected {m[1]} fields, saw {m[3]}" if m else msg


def _csv_message(e: Exception, src: _Source, sep: str, n_columns: int) -> str:
    """Arrow names the bad row by its text only; find its line (a second pass, on the
    error path alone, when the input is a file that can be read again)."""
    msg = _arrow_message(e)
    if "columns, got" not in msg or src._file is None:
        return msg
    with contextlib.suppress(OSError, UnicodeDecodeError, csv.Error, EOFError):
        opener: Any = gzip.open if src.gzip else open
        with opener(src.name, "rt", encoding="utf-8", newline="") as f:
            for number, row in enumerate(csv.reader(f, delimiter=sep), start=1):
                if row and len(row) != n_columns:
                    return (
                        f"line {number}: expected {n_columns} fields, saw {len(row)} "
                        "(a file with one basket per line needs --input-format basket)"
                    )
    return msg


def _arrow_message(e: Exception) -> str:
    msg = str(e).strip().splitlines()[0]
    msg = msg.removeprefix("CSV parse error: ")
    if "columns, got" in msg:
        msg += " (a file with one basket per line needs --input-format basket)"
    return msg


def _read_parquet(
    src: _Source, transaction_col: str | None, item_col: str | None, strip: bool, progress: Callable[[int], None] | None
) -> Codes:
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise ReadError(f"{src.name}: reading Parquet needs pyarrow (pip install 'tallisk[parquet]')") from None
    # Parquet keeps its index at the end of the file: it needs a file that can seek.
    handle: Any = src.stream
    if src.gzip or src._file is None:
        handle = io.BytesIO(src.stream.read())
    else:
        src._file.seek(0)
        handle = src._file
    try:
        pf = pq.ParquetFile(handle)
    except (pa.ArrowInvalid, OSError) as e:
        raise ReadError(f"{src.name}: not a readable Parquet file ({_arrow_message(e)})") from None
    columns = list(pf.schema_arrow.names)
    t_col, i_col = _pick_columns(columns, transaction_col, item_col, src.name)
    merger = _Merger()
    total_rows = max(pf.metadata.num_rows, 1)
    size = src.total or 0
    done = 0
    try:
        for batch in pf.iter_batches(batch_size=1 << 20, columns=[t_col, i_col]):
            merger.add_arrow(batch.column(0), batch.column(1), strip, src.name)
            if progress is not None and size:
                step = int(size * (merger.rows / total_rows)) - done
                progress(step)
                done += step
    except (pa.ArrowInvalid, OSError) as e:
        raise ReadError(f"{src.name}: {_arrow_message(e)}") from None
    return merger.finish(src.name)
