"""Writing a file so that it appears only once complete, and nothing is left behind when
the writing fails or the process is told to stop.

The output is written to a temporary file created exclusively (``O_EXCL``, mode 0600)
beside it, then renamed onto its name. Renaming acts on the name itself, never on what a
symbolic link there points to: a link at the output path is replaced by the new file and
the file it pointed to is left alone. Following the link instead would let anyone who can
create a link in a shared directory choose which file a run overwrites (and, run as root,
replace another user's file with one owned by root).
"""

from __future__ import annotations

import contextlib
import errno
import gzip
import io
import os
import signal
import stat
import sys
import tempfile
import threading
from collections.abc import Iterator
from typing import IO, Any

# SIGINT already raises KeyboardInterrupt; these two would end the process on the spot.
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class SignalExit(SystemExit):
    """A stop signal (SIGTERM, SIGHUP) received while :func:`raise_on_signals` was in force.

    A ``SystemExit`` whose code is ``128 + signum``, the status a shell reports for a process
    ended by that signal: left uncaught, the interpreter exits quietly with it, after every
    ``finally`` block and context manager on the way out has run."""

    def __init__(self, signum: int) -> None:
        super().__init__(128 + signum)
        self.signum = signum

    def __str__(self) -> str:
        return f"stopped by {signal.Signals(self.signum).name}"


def _raise(signum: int, frame: Any) -> None:
    raise SignalExit(signum)


@contextlib.contextmanager
def raise_on_signals(signals: tuple[int, ...] = STOP_SIGNALS) -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise :class:`SignalExit` instead of ending the
    process at once, so cleanup code runs (as it does for Ctrl-C's KeyboardInterrupt).

    Only in the main thread (the only one Python delivers signals to) and only for signals
    whose handler is the default: a handler the program installed itself, or an ignored
    signal, is left as it is. Nested uses are harmless. The previous handlers come back on
    exit.

    Parameters
    ----------
    signals : tuple of int, default STOP_SIGNALS
        The signal numbers to turn into :class:`SignalExit`.

    Yields
    ------
    None
        A context manager; the block runs with the handlers in place.

    Raises
    ------
    ValueError
        For a number that is not a signal (as :func:`signal.getsignal` raises it).

    Examples
    --------
    >>> import signal
    >>> before = signal.getsignal(signal.SIGTERM)
    >>> try:
    ...     with tallisk.io.raise_on_signals():
    ...         raise tallisk.io.SignalExit(signal.SIGTERM)  # what a SIGTERM here raises
    ... except SystemExit as e:
    ...     print(e, e.code)
    stopped by SIGTERM 143
    >>> signal.getsignal(signal.SIGTERM) is before
    True
    """
    installed: list[tuple[int, Any]] = []
    if threading.current_thread() is threading.main_thread():
        for signum in signals:
            previous = signal.getsignal(signum)
            if previous is signal.SIG_DFL:
                signal.signal(signum, _raise)
                installed.append((signum, previous))
    try:
        yield
    finally:
        for signum, previous in reversed(installed):
            signal.signal(signum, previous)


@contextlib.contextmanager
def _signals_held(signals: tuple[int, ...] = STOP_SIGNALS) -> Iterator[None]:
    """Stop signals wait until the block ends (cleanup that must not be cut short)."""
    if not hasattr(signal, "pthread_sigmask") or threading.current_thread() is not threading.main_thread():
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, signals)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _new_file_mode() -> int:
    """0666 less the process's umask, the mode open() would give a new file."""
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return 0o666 & ~int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    umask = os.umask(0o22)  # read by setting; put back at once
    os.umask(umask)
    return 0o666 & ~umask


def _in_place_target(path: str) -> bool:
    """True when ``path`` names something that must be written where it is (a device such as
    /dev/null or /dev/stdout, a named pipe), possibly through a link; False for a regular
    file, a link to one, a dangling link or nothing. A directory raises IsADirectoryError."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return False
    if stat.S_ISLNK(st.st_mode):
        try:
            st = os.stat(path)
        except OSError:  # dangling, or a loop: the link is replaced
            return False
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    return not stat.S_ISREG(st.st_mode)


@contextlib.contextmanager
def _layers(raw: IO[bytes], text: bool, compress: bool, encoding: str, newline: str | None) -> Iterator[IO[Any]]:
    """gzip and text layers over ``raw``, flushed and taken off again on success, so that
    closing ``raw`` stays its owner's business."""
    sink: Any = gzip.GzipFile(fileobj=raw, mode="wb", mtime=0) if compress else raw
    try:
        if not text:
            yield sink
        else:
            wrapper = io.TextIOWrapper(sink, encoding=encoding, newline=newline)
            try:
                yield wrapper
                wrapper.flush()
            finally:
                with contextlib.suppress(ValueError, OSError):
                    wrapper.detach()  # else its finaliser would close the file under its owner
    finally:
        if compress:
            sink.close()  # writes the gzip trailer; raw stays open


@contextlib.contextmanager
def atomic_write(
    path: str | os.PathLike[str],
    mode: str = "wb",
    *,
    encoding: str = "utf-8",
    newline: str | None = "",
    compress: bool | None = None,
) -> Iterator[IO[Any]]:
    """A file object whose content appears at ``path`` only once the block ends without error.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write.
    mode : {"wb", "w"}, default "wb"
        Bytes, or text in ``encoding``.
    encoding : str, default "utf-8"
        The text encoding (mode ``"w"``).
    newline : str or None, default ""
        As for :func:`open` (mode ``"w"``); by default no translation.
    compress : bool, optional
        gzip the content; by default when the name ends in ``.gz``.

    Yields
    ------
    file object
        Binary or text, as ``mode`` says; a context manager's target.

    Raises
    ------
    ValueError
        For a mode other than ``"w"`` or ``"wb"``.
    IsADirectoryError
        When ``path`` is a directory.
    OSError
        Of the failing step otherwise (FileNotFoundError for a missing directory,
        PermissionError).

    Notes
    -----
    The content goes to a temporary file ``.<name>.<random>.part`` created exclusively in
    the same directory, which is flushed to disk and renamed onto ``path`` at the end; if
    the block raises (or SIGTERM/SIGHUP arrive, see :func:`raise_on_signals`, which is in
    force meanwhile), the temporary file is removed and ``path`` is left as it was. A
    symbolic link at ``path`` is replaced, never written through. A regular file keeps its
    permission bits; a new one gets the mode ``open`` would give it. A device or named
    pipe at ``path`` (``/dev/null``, ``/dev/stdout``, a FIFO) is written in place, as
    renaming onto it would put a regular file where it was.

    Examples
    --------
    >>> import os, pathlib, shutil, tempfile
    >>> d = tempfile.mkdtemp()
    >>> path = os.path.join(d, "out.txt")
    >>> with tallisk.io.atomic_write(path, "w") as f:
    ...     _ = f.write("whole\\n")
    >>> try:
    ...     with tallisk.io.atomic_write(path, "w") as f:
    ...         _ = f.write("half")
    ...         raise RuntimeError("stopped")
    ... except RuntimeError:
    ...     pass
    >>> pathlib.Path(path).read_text(), os.listdir(d)
    ('whole\\n', ['out.txt'])
    >>> shutil.rmtree(d)
    """
    if mode not in ("w", "wt", "wb"):
        raise ValueError(f"mode must be 'w' or 'wb'; got {mode!r}")
    text = mode != "wb"
    target = os.fspath(path)
    if not isinstance(target, str):
        target = os.fsdecode(target)
    if compress is None:
        compress = target.lower().endswith((".gz", ".gzip"))
    with raise_on_signals():
        if _in_place_target(target):
            fd = os.open(target, os.O_WRONLY | os.O_NOCTTY)
            if stat.S_ISREG(os.fstat(fd).st_mode):
                os.close(fd)  # swapped for a regular file since it was looked at: write it the safe way
            else:
                with os.fdopen(fd, "wb") as raw, _layers(raw, text, compress, encoding, newline) as out:
                    yield out
                return
        directory, name = os.path.split(target)
        if not name:
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
        try:
            st = os.lstat(target)
            keep_mode = stat.S_IMODE(st.st_mode) if stat.S_ISREG(st.st_mode) else None
        except FileNotFoundError:
            keep_mode = None
        fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=directory or ".")
        try:
            with os.fdopen(fd, "wb") as raw:
                with _layers(raw, text, compress, encoding, newline) as out:
                    yield out
                raw.flush()
                os.fsync(raw.fileno())
                os.fchmod(raw.fileno(), _new_file_mode() if keep_mode is None else keep_mode)
            os.replace(tmp, target)
        except BaseException:
            with _signals_held(), contextlib.suppress(FileNotFoundError):
                os.unlink(tmp)
            raise


@contextlib.contextmanager
def open_output(path: str | os.PathLike[str] | None, binary: bool) -> Iterator[IO[Any]]:
    """Standard output for ``None`` or ``"-"`` (flushed, never closed), else :func:`atomic_write`."""
    if path is None or path == "-":
        out: IO[Any] = sys.stdout.buffer if binary else sys.stdout
        yield out
        out.flush()
        return
    with atomic_write(path, "wb" if binary else "w") as f:
        yield f
