"""FIMI and basket lines: one transaction per line, cut into names block by block."""

from __future__ import annotations

from collections.abc import Callable, Iterator

import numpy as np
import pandas as pd

from . import _source
from ._codes import Codes, _Vocabulary
from ._source import ReadError, _Source

_BLANKS = b" \t"
_WHITESPACE = b" \t\r\n\x0b\x0c"


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
    mv = buf.data
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
        data = src.read(_source.BLOCK_SIZE)
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
