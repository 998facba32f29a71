"""Transactions from files, and result tables to files.

Readers
-------
:func:`read_transactions` reads three layouts, plain or gzip-compressed (recognised by
its magic bytes, whatever the name), from a path or ``"-"`` for standard input:

* ``fimi``: one transaction per line, items separated by blanks (spaces or tabs, any
  number of them; a line may end with a blank). An empty line is an empty transaction.
* ``basket``: one transaction per line, items separated by one chosen character (``,``
  by default); item names may hold spaces. Empty fields are not items.
* ``long``: a table with a transaction column and an item column, one row per
  (transaction, item): CSV with a header line, or Parquet (recognised by its magic bytes).

Files are read in blocks of a few megabytes: each block is cut into item names and
factorised to integer codes with NumPy (FIMI and basket files) or Arrow (long tables)
before the next is read, so a file far larger than memory as text is never held as
Python strings; only the distinct item names are. Item names are read exactly as written
between separators (``strip=True`` trims blanks around them) and decoded as UTF-8.

Writers
-------
:func:`write_table` writes an itemset, rule or pair table as FIMI-style lines
(``a b c (count)``, rules ``c <- a b (support, confidence)``), CSV, Parquet or JSON Lines,
through a temporary file renamed into place, so a failed run never leaves half a file.
"""

from __future__ import annotations

import contextlib
import csv
import gzip
import io
import json
import math
import os
import re
import sys
import tempfile
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import IO, Any

import numpy as np
import pandas as pd

__all__ = [
    "ReadError",
    "INPUT_FORMATS",
    "OUTPUT_FORMATS",
    "guess_input_format",
    "guess_output_format",
    "read_codes",
    "read_transactions",
    "write_table",
]

INPUT_FORMATS = ("fimi", "basket", "long")
OUTPUT_FORMATS = ("fimi", "csv", "parquet", "jsonl")

# Bytes per block. Parsing a block makes about ten arrays of its size (positions are
# int64), so 8 MiB of text costs well under 200 MB at a time.
BLOCK_SIZE = 8 << 20

_GZIP_MAGIC = b"\x1f\x8b"
_PARQUET_MAGIC = b"PAR1"
_BLANKS = b" \t"
_WHITESPACE = b" \t\r\n\x0b\x0c"


class ReadError(ValueError):
    """The input cannot be read as asked; the message names the source and, where one is
    to blame, the line."""


# ---- formats ----------------------------------------------------------------------------


def _strip_gz(name: str) -> str:
    low = name.lower()
    for ext in (".gz", ".gzip"):
        if low.endswith(ext):
            return low[: -len(ext)]
    return low


def guess_input_format(path: str) -> str | None:
    """``fimi``, ``basket`` or ``long`` from a file name (``.gz`` ignored); None when the
    name says nothing (then the content decides: Parquet by magic bytes, else ``fimi``)."""
    if path == "-":
        return None
    name = _strip_gz(os.path.basename(str(path)))
    ext = os.path.splitext(name)[1]
    if ext in (".csv", ".tsv", ".parquet", ".pq"):
        return "long"
    if ext in (".basket", ".baskets"):
        return "basket"
    if ext in (".dat", ".fimi", ".txt", ".tab"):
        return "fimi"
    return None


def guess_output_format(path: str | None) -> str:
    """The output format from the file's extension (``.gz`` ignored); FIMI-style lines
    for standard output and for names that say nothing."""
    if path is None or path == "-":
        return "fimi"
    ext = os.path.splitext(_strip_gz(os.path.basename(str(path))))[1]
    return {
        ".csv": "csv",
        ".tsv": "csv",
        ".parquet": "parquet",
        ".pq": "parquet",
        ".jsonl": "jsonl",
        ".ndjson": "jsonl",
        ".json": "jsonl",
    }.get(ext, "fimi")


# ---- sources ----------------------------------------------------------------------------


class _Prepend(io.RawIOBase):
    """A raw stream that first gives back bytes already read (to sniff magic bytes on a
    pipe, which cannot seek), then the rest of the underlying stream."""

    def __init__(self, head: bytes, rest: IO[bytes]) -> None:
        self._head = head
        self._rest = rest

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> int:
        if self._head:
            n = min(len(b), len(self._head))
            b[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        data = self._rest.read(len(b))
        n = len(data)
        b[:n] = data
        return n


class _Source:
    """An open input: the (decompressed) byte stream, what kind it is, and how far the
    underlying file has been read (for progress)."""

    def __init__(self, path: str) -> None:
        self.name = "standard input" if path == "-" else str(path)
        if path == "-":
            raw: IO[bytes] = sys.stdin.buffer
            self._file = None
            self.total = None
        else:
            try:
                self._file = raw = open(path, "rb")  # noqa: SIM115 - closed by close()
            except IsADirectoryError:
                raise ReadError(f"cannot read {path}: it is a directory") from None
            except OSError as e:
                raise ReadError(f"cannot open {path}: {e.strerror or e}") from None
            try:
                self.total = os.fstat(raw.fileno()).st_size
            except OSError:
                self.total = None
        self._raw = raw
        self._consumed = 0
        head = self._read_exactly(raw, 4)
        self.gzip = head[:2] == _GZIP_MAGIC
        counted = _Counting(_Prepend(head, raw), self)
        buffered = io.BufferedReader(counted, buffer_size=1 << 20)
        if self.gzip:
            self.stream: IO[bytes] = gzip.GzipFile(fileobj=buffered, mode="rb")
            head = self._read_exactly(self.stream, 4)
            self.stream = io.BufferedReader(_Prepend(head, self.stream), buffer_size=1 << 20)
        else:
            self.stream = buffered
        self.parquet = head == _PARQUET_MAGIC

    @staticmethod
    def _read_exactly(stream: IO[bytes], n: int) -> bytes:
        out = b""
        while len(out) < n:
            try:
                chunk = stream.read(n - len(out))
            except (OSError, EOFError) as e:
                raise ReadError(f"cannot read: {e}") from None
            if not chunk:
                break
            out += chunk
        return out

    @property
    def position(self) -> int:
        return self._consumed

    def read(self, n: int) -> bytes:
        try:
            return self.stream.read(n)
        except (OSError, EOFError, gzip.BadGzipFile) as e:
            raise ReadError(f"cannot read {self.name}: {e}") from None

    def close(self) -> None:
        if self._file is not None:
            self._file.close()


class _Counting(io.RawIOBase):
    """Counts the bytes taken from the underlying file (compressed bytes for gzip)."""

    def __init__(self, inner: io.RawIOBase, owner: _Source) -> None:
        self._inner = inner
        self._owner = owner

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> int:
        n = self._inner.readinto(b)
        self._owner._consumed += n or 0
        return n


# ---- parsed codes -----------------------------------------------------------------------


@dataclass
class Codes:
    """What a reader produces: dense codes and the item labels (``items[i]`` is item i).

    ``txn_codes`` (int64) and ``item_codes`` (int32) hold one row per item occurrence as
    read, duplicates included; ``n_transactions`` counts every transaction, empty ones
    too. Item ids follow the sorted order of the labels, as
    :meth:`tallisk.Transactions.from_long` gives them.
    """

    txn_codes: np.ndarray
    item_codes: np.ndarray
    items: pd.Index
    n_transactions: int


class _Vocabulary:
    """Distinct names of every block, merged into one sorted label list at the end.

    Each block hands in its local codes and its distinct names (bytes or labels); the
    merge factorises the concatenated block vocabularies once, which costs the sum of
    the block vocabularies rather than blocks x items as a growing dict would.
    """

    def __init__(self) -> None:
        self.names: list[Any] = []
        self.lines: list[np.ndarray] = []  # line of each name's first occurrence (bytes only)
        self.codes: list[np.ndarray | None] = []
        self.runs: list[np.ndarray | None] = []  # rows per code (None: one row each)
        self.rows = 0

    def add(
        self, codes: np.ndarray, names: Any, lines: np.ndarray | None = None, runs: np.ndarray | None = None
    ) -> None:
        self.codes.append(codes)
        self.names.append(names)
        self.runs.append(runs)
        self.rows += len(codes) if runs is None else int(runs.sum())
        if lines is not None:
            self.lines.append(lines)

    def _all_names(self) -> Any:
        if len(self.names) == 1:
            return self.names[0]
        if isinstance(self.names[0], np.ndarray):
            return np.concatenate(self.names)
        import pyarrow as pa

        return pa.concat_arrays(self.names)

    def _remap(self, gcodes: np.ndarray, dtype: Any) -> np.ndarray:
        """Global codes for every row, filled block by block into one array; each block's
        own codes are let go once copied, so the peak is the result plus one block."""
        out = np.empty(self.rows, dtype=dtype)
        offset = pos = 0
        for k, names in enumerate(self.names):
            mapped = gcodes[offset : offset + len(names)][self.codes[k]]
            if self.runs[k] is not None:
                mapped = np.repeat(mapped, self.runs[k])
            out[pos : pos + len(mapped)] = mapped
            self.codes[k] = self.runs[k] = None
            offset += len(names)
            pos += len(mapped)
        return out

    def finish_codes(self) -> tuple[np.ndarray, int]:
        """Dense codes in order of first appearance, and how many; the labels themselves
        are not needed (transactions), so they never become Python objects."""
        if not self.codes:
            return np.zeros(0, np.int64), 0
        names = self._all_names()
        if isinstance(names, np.ndarray):
            gcodes, uniques = pd.factorize(names)
            n = len(uniques)
        else:
            enc = names.dictionary_encode()
            gcodes, n = enc.indices.to_numpy(zero_copy_only=False), len(enc.dictionary)
        return self._remap(np.asarray(gcodes), np.int64), n

    def finish(self, source: str, encoding: str | None) -> tuple[np.ndarray, pd.Index]:
        if not self.codes:
            return np.zeros(0, np.int32), pd.Index([], dtype=object)
        names = self._all_names()
        if isinstance(names, np.ndarray):
            gcodes, uniques = pd.factorize(names)
            uniques = np.asarray(uniques, dtype=object)
            if encoding is not None:
                lines = np.concatenate(self.lines) if self.lines else None
                uniques = _decode(uniques, gcodes, lines, source, encoding)
            labels = pd.Index(uniques)
            if labels.dtype == object and len(labels):
                labels = labels.infer_objects()
        else:
            enc = names.dictionary_encode()
            gcodes = enc.indices.to_numpy(zero_copy_only=False).astype(np.int64, copy=False)
            labels = pd.Index(enc.dictionary.to_pylist())
            if labels.dtype == object and len(labels):
                labels = labels.infer_objects()
        # Sorted labels: the ids a reader gives are the ids from_long gives the same data.
        rank = None
        if len(labels) > 1:
            try:
                order = np.asarray(labels.argsort(), dtype=np.int64)
            except TypeError:  # labels that do not compare (mixed types in a Parquet column)
                order = None
            if order is not None:
                rank = np.empty_like(order)
                rank[order] = np.arange(order.size, dtype=np.int64)
                gcodes = rank[gcodes]
                labels = labels[order]
        return self._remap(gcodes, np.int32), labels


def _decode(names: np.ndarray, gcodes: np.ndarray, lines: np.ndarray | None, source: str, encoding: str) -> np.ndarray:
    # Names never hold a line end: decode them all as one text, split it again.
    try:
        parts = b"\n".join(names.tolist()).decode(encoding).split("\n")
    except UnicodeDecodeError:
        pass
    else:
        if len(parts) == len(names):
            return np.array(parts, dtype=object)
    out = np.empty(len(names), dtype=object)
    for j, raw in enumerate(names):
        try:
            out[j] = raw.decode(encoding)
        except UnicodeDecodeError as e:
            where = ""
            if lines is not None:
                first = int(np.flatnonzero(gcodes == j)[0])
                where = f", line {int(lines[first]) + 1}"
            raise ReadError(
                f"{source}{where}: item name {raw[:40]!r} is not valid {encoding} text ({e.reason}); "
                "give the file's encoding"
            ) from None
    return out


# ---- FIMI and basket lines: NumPy tokeniser ------------------------------------------


def _token_bounds(buf: np.ndarray, seps: bytes) -> tuple[np.ndarray, np.ndarray]:
    """Start and end of every maximal run of bytes that are neither a separator nor a
    line end."""
    is_sep = np.empty(len(buf) + 2, dtype=bool)
    is_sep[0] = is_sep[-1] = True
    inner = is_sep[1:-1]
    np.equal(buf, 10, out=inner)
    for s in seps:  # comparisons run vectorised, far faster than a table lookup per byte
        inner |= buf == s
    edge = np.flatnonzero(is_sep[1:] != is_sep[:-1])
    return edge[0::2], edge[1::2]


def _strip_bounds(buf: np.ndarray, starts: np.ndarray, ends: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    ws = np.zeros(256, dtype=bool)
    ws[list(_WHITESPACE)] = True
    starts = starts.copy()
    ends = ends.copy()
    # Leading and trailing blanks are short runs: step over them for the tokens that
    # still have one, a few passes over the tokens rather than one over the bytes.
    live = np.flatnonzero(starts < ends)
    while live.size:
        live = live[(starts[live] < ends[live]) & ws[buf[np.minimum(starts[live], len(buf) - 1)]]]
        starts[live] += 1
    live = np.flatnonzero(starts < ends)
    while live.size:
        live = live[(starts[live] < ends[live]) & ws[buf[np.maximum(ends[live] - 1, 0)]]]
        ends[live] -= 1
    keep = starts < ends
    return starts[keep], ends[keep]


def _words(buf: np.ndarray, width: int) -> np.ndarray:
    """A uint64 view starting at every byte of ``buf`` followed by ``width`` zero bytes,
    so that one gather reads the 8 bytes at any token position."""
    padded = np.concatenate((buf, np.zeros(width + 8, np.uint8)))
    return np.ndarray(shape=(len(buf) + width,), dtype="<u8", buffer=padded, strides=(1,))


# _LOW[k]: the low k bytes of a little-endian word.
_LOW = np.array([(1 << (8 * k)) - 1 for k in range(8)] + [(1 << 64) - 1], dtype=np.uint64)


_MIX = np.uint64(0x9E3779B97F4A7C15)
_MIX2 = np.uint64(0xBF58476D1CE4E5B9)


def _factorize_tokens(
    buf: np.ndarray, starts: np.ndarray, ends: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Local codes of the tokens, their distinct names (bytes objects) and the index of
    each name's first token.

    Names of at most 8 bytes are packed into one uint64 each (exact: a name holds no NUL
    byte, so zero padding cannot make two names equal); longer names up to 64 bytes are
    hashed from their packed words and the grouping checked word by word against the
    first token of each group; anything else falls back to Python bytes objects.
    """
    n = len(starts)
    if n == 0:
        return np.zeros(0, np.int64), np.zeros(0, dtype=object), np.zeros(0, np.int64)
    lengths = ends - starts
    maxlen = int(lengths.max())
    if maxlen <= 8:
        key = _words(buf, 8)[starts] & _LOW[lengths]
        numbers = _decimal(key, lengths)
        if numbers is not None:
            return numbers
        codes = _factorize_keys(key)
        first = _first_index(codes)
        return codes, key[first].view("S8").astype(object), first
    if maxlen <= 64:
        n_words = max(1, -(-maxlen // 8))
        view = _words(buf, n_words * 8)
        words = np.empty((n, n_words), np.uint64)
        for j in range(n_words):
            words[:, j] = view[starts + 8 * j] & _LOW[np.clip(lengths - 8 * j, 0, 8)]
        if n_words == 1:
            key = words[:, 0]
        else:
            key = np.zeros(n, np.uint64)
            for j in range(n_words):
                key ^= words[:, j]
                key *= _MIX
                key ^= key >> np.uint64(31)
            key *= _MIX2
        codes = _factorize_keys(key)
        first = _first_index(codes)
        if n_words == 1 or bool((words == words[first[codes]]).all()):
            names = np.ascontiguousarray(words[first]).view(f"S{8 * n_words}").ravel().astype(object)
            return codes, names, first
    # Names longer than 64 bytes, or a hash collision: bytes objects, still per block.
    mv = memoryview(buf)
    names_all = np.fromiter(
        (bytes(mv[s:e]) for s, e in zip(starts.tolist(), ends.tolist(), strict=True)), dtype=object, count=n
    )
    codes, uniques = pd.factorize(names_all)
    codes = np.asarray(codes, dtype=np.int64)
    return codes, np.asarray(uniques, dtype=object), _first_index(codes)


_ZEROS = np.uint64(0x3030303030303030)  # eight "0" characters
_HIGH_NIBBLES = np.uint64(0xF0F0F0F0F0F0F0F0)
_POW10 = np.array([10**k for k in range(9)], dtype=np.uint64)


def _decimal(key: np.ndarray, lengths: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray] | None:
    """Codes, names and first tokens when every name is a plain decimal number (the
    usual FIMI file): the numbers index a table directly, no hashing. A leading zero
    ("007") or a sign makes the name text, not a number, so such blocks are hashed.

    The eight bytes of a name are parsed at once (the SWAR method of simdjson's
    parse_eight_digits): left-padded with "0" to eight characters, checked to be digits
    nibble-wise, then combined pairwise in three multiplications."""
    first_char = key & np.uint64(0xFF)
    if bool(((first_char == 48) & (lengths > 1)).any()):
        return None
    # Right-pad with "0" to eight characters (the value times 10**(8 - length)).
    padded = key | (_ZEROS & ~_LOW[lengths])
    if not (
        bool(((padded & _HIGH_NIBBLES) == _ZEROS).all())
        and bool((((padded + np.uint64(0x0606060606060606)) & _HIGH_NIBBLES) == _ZEROS).all())
    ):
        return None
    d = padded - _ZEROS
    d = (d * np.uint64(10) + (d >> np.uint64(8))) & np.uint64(0x00FF00FF00FF00FF)
    d = (d * np.uint64(100) + (d >> np.uint64(16))) & np.uint64(0x0000FFFF0000FFFF)
    value = ((d * np.uint64(10000) + (d >> np.uint64(32))) & np.uint64(0xFFFFFFFF)) // _POW10[8 - lengths]
    value = value.astype(np.int64)
    top = int(value.max())
    if top > max(1 << 22, 8 * len(key)):  # a sparse range: the table would cost more than hashing
        return None
    table = np.zeros(top + 1, np.int64)
    table[value] = 1
    present = np.flatnonzero(table)
    table[present] = np.arange(len(present))
    names = np.array([str(v).encode() for v in present.tolist()], dtype=object)
    # Digits always decode, so the lines of first occurrence (for error messages) are
    # never asked for: zeros stand in.
    return table[value], names, np.zeros(len(present), np.int64)


def _factorize_keys(key: np.ndarray) -> np.ndarray:
    """Codes (int64, by first appearance) of uint64 keys. Arrow's hash table, when there,
    is three to four times faster here than pandas', which sizes its table for the
    worst case of all keys distinct and so misses the cache."""
    try:
        import pyarrow as pa
    except ImportError:
        return np.asarray(pd.factorize(key)[0], dtype=np.int64)
    return pa.array(key).dictionary_encode().indices.to_numpy().astype(np.int64)


def _first_index(codes: np.ndarray) -> np.ndarray:
    """Index of the first occurrence of each code (codes numbered by first appearance)."""
    k = int(codes.max()) + 1 if codes.size else 0
    first = np.empty(k, np.int64)
    first[codes[::-1]] = np.arange(codes.size - 1, -1, -1, dtype=np.int64)
    return first


def _blocks(src: _Source, progress: Callable[[int], None] | None) -> Iterator[bytes]:
    """Blocks of whole lines (the last may lack its line end)."""
    rest = b""
    last_pos = src.position
    while True:
        data = src.read(BLOCK_SIZE)
        if progress is not None:
            progress(src.position - last_pos)
            last_pos = src.position
        if not data:
            if rest:
                yield rest
            return
        data = rest + data if rest else data
        cut = data.rfind(b"\n")
        if cut < 0:  # a line longer than a block: keep reading
            rest = data
            continue
        rest = data[cut + 1 :]
        yield data[: cut + 1]


def _read_lines(src: _Source, seps: bytes, strip: bool, encoding: str, progress: Callable[[int], None] | None) -> Codes:
    vocab = _Vocabulary()
    txn_parts: list[np.ndarray] = []
    n_lines = 0
    seps_b = bytes(seps)
    for data in _blocks(src, progress):
        buf = np.frombuffer(data, dtype=np.uint8)
        newlines = np.flatnonzero(buf == 10)
        if (buf == 0).any():
            line = n_lines + int(np.searchsorted(newlines, int(np.flatnonzero(buf == 0)[0]))) + 1
            raise ReadError(
                f"{src.name}, line {line}: NUL byte; this is not a text file (a Parquet file needs --input-format long)"
            )
        block_lines = len(newlines) + (0 if data.endswith(b"\n") else 1)
        starts, ends = _token_bounds(buf, seps_b)
        if 13 not in seps_b and len(ends):
            # A carriage return before a line end belongs to the line end (files from Windows).
            at = np.minimum(ends, len(buf) - 1)
            hit = (buf[at] == 10) & (buf[ends - 1] == 13)
            if hit.any():
                ends = ends - hit
                keep = starts < ends
                starts, ends = starts[keep], ends[keep]
        if strip:
            starts, ends = _strip_bounds(buf, starts, ends)
        # Tokens before each line end; the line of every token follows by repetition.
        per_line = np.diff(np.searchsorted(starts, newlines), prepend=0, append=len(starts))
        codes, names, first = _factorize_tokens(buf, starts, ends)
        # Line of each name's first token (for error messages): tokens before it, per line.
        first_lines = np.searchsorted(np.cumsum(per_line), first, side="right") + n_lines
        vocab.add(codes.astype(np.int32), names, first_lines)
        # Kept per line, not per token: the transaction codes are made once, at the end.
        txn_parts.append(per_line[:block_lines].astype(np.int32))
        n_lines += block_lines
    item_codes, labels = vocab.finish(src.name, encoding)
    per_line = np.concatenate(txn_parts) if txn_parts else np.zeros(0, np.int32)
    txn = np.repeat(np.arange(len(per_line), dtype=np.int64), per_line)
    return Codes(txn, item_codes, labels, n_lines)


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
                read_options=pacsv.ReadOptions(block_size=BLOCK_SIZE, use_threads=True),
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


# ---- public readers -----------------------------------------------------------------


def read_codes(
    path: str | os.PathLike[str],
    format: str | None = None,
    *,
    sep: str | None = None,
    strip: bool = False,
    transaction_col: str | None = None,
    item_col: str | None = None,
    encoding: str = "utf-8",
    progress: Callable[[int], None] | None = None,
) -> Codes:
    """Read a transaction file into integer codes and item labels (see the module notes
    for the formats). ``progress`` is called with the number of file bytes consumed since
    its last call. Raises :class:`ReadError` (a ValueError) naming the source and, where
    one is to blame, the line."""
    path = os.fspath(path)
    if format is not None and format not in INPUT_FORMATS:
        raise ValueError(f"format must be one of {', '.join(INPUT_FORMATS)}; got {format!r}")
    if sep is not None and len(sep) != 1:
        raise ValueError(f"sep must be one character; got {sep!r}")
    src = _Source(path)
    try:
        fmt = format or guess_input_format(path)
        if src.parquet:
            if fmt not in (None, "long"):
                raise ReadError(f"{src.name} is a Parquet file; read it as --input-format long")
            return _read_parquet(src, transaction_col, item_col, strip, progress)
        if fmt is None:
            fmt = "fimi"
        if fmt == "long":
            default = "\t" if _strip_gz(path).endswith(".tsv") else ","
            return _read_long_csv(src, sep or default, transaction_col, item_col, strip, progress)
        if fmt == "fimi":
            seps = _BLANKS + b"\r" if sep is None else _sep_bytes(sep, encoding)
        else:
            seps = _sep_bytes(sep or ",", encoding)
        return _read_lines(src, seps, strip, encoding, progress)
    finally:
        src.close()


def _sep_bytes(sep: str, encoding: str) -> bytes:
    raw = sep.encode(encoding)
    if len(raw) != 1 or raw == b"\n":
        raise ValueError(f"the separator must be one single-byte character other than a line end; got {sep!r}")
    return raw


def read_transactions(path: str | os.PathLike[str], format: str | None = None, **kwargs: Any) -> Any:
    """Read a transaction file (``"-"``: standard input) into :class:`tallisk.Transactions`.

    ``format`` is ``"fimi"``, ``"basket"`` or ``"long"`` (guessed from the name when left
    out; gzip and Parquet are recognised by content). Keywords: ``sep`` (the item
    separator of a basket file, default ``,``; the field separator of a long CSV),
    ``strip`` (trim blanks around names), ``transaction_col`` and ``item_col`` (long
    tables; default the first two columns), ``encoding`` (default UTF-8), ``progress``.
    """
    from .transactions import Transactions

    codes = read_codes(path, format, **kwargs)
    return Transactions._from_codes(codes.txn_codes, codes.item_codes, codes.items, codes.n_transactions)


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
    out = {}
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


@contextlib.contextmanager
def _stream(raw: IO[bytes], binary: bool) -> Iterator[IO[Any]]:
    """``raw`` itself, or a UTF-8 text layer over it that is flushed and taken off again
    (so that closing ``raw`` stays its owner's business)."""
    if binary:
        yield raw
        return
    text = io.TextIOWrapper(raw, encoding="utf-8", newline="")
    yield text
    text.flush()
    text.detach()


@contextlib.contextmanager
def _atomic(path: str | None, binary: bool) -> Iterator[IO[Any]]:
    """A file to write that appears at ``path`` only once complete (written in the same
    directory, then renamed); ``None`` or ``"-"``: standard output.

    Only regular files are replaced this way. Anything else that exists at ``path`` (a
    device such as /dev/null, a pipe) is written in place: renaming over it would put a
    regular file where the device was. A symbolic link keeps pointing where it did; the
    file it points to is the one replaced."""
    if path is None or path == "-":
        if binary:
            yield sys.stdout.buffer
            sys.stdout.buffer.flush()
        else:
            yield sys.stdout
            sys.stdout.flush()
        return
    path = os.path.realpath(os.fspath(path))
    if os.path.exists(path) and not os.path.isfile(path):
        with open(path, "wb") as raw, _stream(raw, binary) as out:
            yield out
        return
    directory = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".part", dir=directory)
    try:
        compress = path.lower().endswith((".gz", ".gzip"))
        with os.fdopen(fd, "wb") as raw:
            sink: Any = gzip.GzipFile(fileobj=raw, mode="wb", mtime=0) if compress else raw
            try:
                with _stream(sink, binary) as out:
                    yield out
            finally:
                if compress:
                    sink.close()
        try:
            mode = os.stat(path).st_mode & 0o777
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise


def write_table(df: pd.DataFrame, path: str | os.PathLike[str] | None = None, format: str | None = None) -> None:
    """Write an itemset, rule or pair table.

    ``format``: ``fimi`` (lines ``a b c (count)`` for itemsets, ``c <- a b (support,
    confidence)`` for rules and pairs), ``csv`` (sets as ``{a,b}``), ``parquet`` or
    ``jsonl`` (sets as lists; infinite values as ``"inf"``). Guessed from the extension
    when left out; ``path`` None or ``"-"`` writes to standard output; a name ending in
    ``.gz`` is compressed. The file appears only once complete.
    """
    p = None if path is None else os.fspath(path)
    fmt = format or guess_output_format(p)
    if fmt not in OUTPUT_FORMATS:
        raise ValueError(f"format must be one of {', '.join(OUTPUT_FORMATS)}; got {fmt!r}")
    if fmt == "parquet":
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise ValueError("writing Parquet needs pyarrow (pip install 'tallisk[parquet]')") from None
        table = pa.Table.from_pandas(_for_text(df, "lists"), preserve_index=False)
        with _atomic(p, binary=True) as f:
            pq.write_table(table, f)
        return
    with _atomic(p, binary=False) as f:
        if fmt == "fimi":
            f.writelines(_fimi_lines(df))
        elif fmt == "csv":
            _for_text(df, "csv").to_csv(f, index=False, lineterminator="\n")
        else:
            table = _for_text(df, "lists")
            names = list(table.columns)
            columns = [table[c].tolist() for c in names]
            for k in range(len(table)):
                rec = {n: _jsonable(col[k]) for n, col in zip(names, columns, strict=True)}
                f.write(json.dumps(rec, ensure_ascii=False) + "\n")
