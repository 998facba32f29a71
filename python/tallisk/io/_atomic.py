"""Writing a file so that it appears only once complete."""

from __future__ import annotations

import contextlib
import gzip
import io
import os
import sys
import tempfile
from collections.abc import Iterator
from typing import IO, Any


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

