"""Byte sources: a file or standard input, gzip recognised by its magic bytes, a UTF-8
byte-order mark skipped, read in blocks with the bytes consumed counted for progress.

A missing file, a directory or a file that may not be read raise the OSError Python
raises for it (FileNotFoundError, IsADirectoryError, PermissionError); a damaged gzip
stream is a :class:`ReadError`."""

from __future__ import annotations

import gzip
import io
import os
import sys
import zlib
from typing import IO, Any, cast

# Bytes per block. A tokenizer holds one block and at most one name cut by its boundary,
# so with MAX_NAME this bounds the memory a read needs beyond the data it keeps.
BLOCK_SIZE = 8 << 20
# The longest name or field a file may hold: past it, a line that never ends (a binary
# file, /dev/zero) is refused instead of being held.
MAX_NAME = 8 << 20

GZIP_MAGIC = b"\x1f\x8b"
PARQUET_MAGIC = b"PAR1"
UTF8_BOM = b"\xef\xbb\xbf"
UTF16_BOMS = (b"\xff\xfe", b"\xfe\xff")


class ReadError(ValueError):
    """The input cannot be read as asked. The message names the source and, where one is
    to blame, the line; the same facts are attributes for callers that word their own
    message: ``source``, ``line`` (1-based, or None) and ``parameter`` (the name of the
    reader's parameter that would fix it, such as ``"format"`` or ``"encoding"``, or None)."""

    def __init__(
        self, message: str, *, source: str | None = None, line: int | None = None, parameter: str | None = None
    ) -> None:
        super().__init__(message)
        self.source = source
        self.line = line
        self.parameter = parameter


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


class _Counting(io.RawIOBase):
    """Counts the bytes taken from the underlying file (compressed bytes for gzip)."""

    def __init__(self, inner: io.RawIOBase, owner: Source) -> None:
        self._inner = inner
        self._owner = owner

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> int:
        n = self._inner.readinto(b) or 0
        self._owner.position += n
        return n


class Source:
    """An open input: the (decompressed) byte stream, what kind it is, and how far the
    underlying file has been read (``position``, for progress)."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.name = "standard input" if path == "-" else path
        self.position = 0
        self.file: IO[bytes] | None = None
        if path == "-":
            raw: IO[bytes] = sys.stdin.buffer
        else:
            self.file = raw = open(path, "rb")  # noqa: SIM115 - closed by close(); OSErrors pass as they are
        try:
            self.total = os.fstat(raw.fileno()).st_size if self.file is not None else None
        except (OSError, io.UnsupportedOperation):
            self.total = None
        head = self._read_exactly(raw, 4)
        self.gzip = head[:2] == GZIP_MAGIC
        counted = _Counting(_Prepend(head, raw), self)
        self.stream: IO[bytes] = io.BufferedReader(counted, buffer_size=1 << 20)
        if self.gzip:
            unzipped = cast(IO[bytes], gzip.GzipFile(fileobj=self.stream, mode="rb"))
            head = self._read_exactly(unzipped, 4)
            self.stream = io.BufferedReader(_Prepend(head, unzipped), buffer_size=1 << 20)
        self.head = head
        self.parquet = head == PARQUET_MAGIC

    def _read_exactly(self, stream: IO[bytes], n: int) -> bytes:
        out = b""
        while len(out) < n:
            chunk = self._guarded(stream.read, n - len(out))
            if not chunk:
                break
            out += chunk
        return out

    def _guarded(self, read: Any, n: int) -> bytes:
        try:
            return read(n)
        except (OSError, EOFError, zlib.error) as e:  # gzip.BadGzipFile is an OSError
            raise ReadError(f"cannot read {self.name}: {e}", source=self.name) from None

    def skip_bom(self) -> None:
        """Drops a UTF-8 byte-order mark at the start (Excel's "CSV UTF-8" writes one);
        a UTF-16 one is refused, as the readers take ASCII-compatible text only."""
        head = self.stream.peek(3)[:3] if hasattr(self.stream, "peek") else b""
        if head.startswith(UTF8_BOM):
            self.read(3)
        elif head[:2] in UTF16_BOMS:
            raise ReadError(
                f"{self.name} is UTF-16 text; save it as UTF-8 (or another ASCII-compatible encoding)",
                source=self.name,
                parameter="encoding",
            )

    def read(self, n: int) -> bytes:
        """Up to ``n`` bytes; fewer only at the end of the input."""
        out = self._guarded(self.stream.read, n)
        if len(out) < n and out:
            # A pipe or gzip stream may return less before its end: fill the block.
            parts = [out]
            have = len(out)
            while have < n:
                more = self._guarded(self.stream.read, n - have)
                if not more:
                    break
                parts.append(more)
                have += len(more)
            out = b"".join(parts)
        return out

    def seekable_file(self) -> IO[bytes] | None:
        """The plain file, rewound, when the input is one that can seek (for Parquet,
        whose index sits at the end); None for standard input and gzip."""
        if self.file is None or self.gzip:
            return None
        self.file.seek(0)
        return self.file

    def close(self) -> None:
        if self.file is not None:
            self.file.close()
