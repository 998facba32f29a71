"""Byte sources: a file or standard input, gzip recognised by its magic bytes, read in
blocks with the bytes consumed counted for progress."""

from __future__ import annotations

import gzip
import io
import os
import sys
from typing import IO, Any, cast

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
            self.stream: IO[bytes] = cast(IO[bytes], gzip.GzipFile(fileobj=buffered, mode="rb"))
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
