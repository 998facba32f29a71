"""tallisk.io.atomic_write: the output appears whole or not at all, links are replaced rather
than written through, and stop signals clean up as Ctrl-C does."""

from __future__ import annotations

import gzip
import os
import signal
import stat
import subprocess
import sys
import textwrap
import threading

import pytest
from tallisk.io import SignalExit, atomic_write, raise_on_signals


def listing(directory) -> list[str]:
    return sorted(os.listdir(directory))


@pytest.mark.parametrize("mode, data", [("wb", b"new\x00bytes"), ("w", "new text: crème\n")])
@pytest.mark.parametrize("existing", ["none", "file 0640", "link to file", "dangling link"])
def test_content_lands_on_the_name_and_links_are_replaced(tmp_path, mode, data, existing):
    out = tmp_path / "out.txt"
    victim = tmp_path / "victim.txt"
    if existing == "file 0640":
        out.write_text("old")
        out.chmod(0o640)
    elif existing == "link to file":
        victim.write_text("someone else's")
        out.symlink_to(victim)
    elif existing == "dangling link":
        out.symlink_to(tmp_path / "elsewhere.txt")
    with atomic_write(out, mode) as f:
        f.write(data)
        assert not out.exists() or out.is_symlink() or out.read_text() == "old"  # nothing visible yet
    raw = out.read_bytes()
    assert raw == (data if mode == "wb" else data.encode())
    assert not out.is_symlink() and stat.S_ISREG(os.lstat(out).st_mode)
    if existing == "file 0640":
        assert stat.S_IMODE(os.stat(out).st_mode) == 0o640
    else:
        umask = os.umask(0)
        os.umask(umask)
        assert stat.S_IMODE(os.stat(out).st_mode) == 0o666 & ~umask
    # the link's target is never touched, nor created
    assert listing(tmp_path) == sorted(["out.txt"] + (["victim.txt"] if existing == "link to file" else []))
    if existing == "link to file":
        assert victim.read_text() == "someone else's"


def test_failure_leaves_the_old_file_and_no_temporary(tmp_path):
    out = tmp_path / "out.csv"
    out.write_text("previous\n")
    with pytest.raises(RuntimeError, match="half way"), atomic_write(out, "w") as f:
        f.write("partial " * 10_000)
        raise RuntimeError("half way")
    assert out.read_text() == "previous\n" and listing(tmp_path) == ["out.csv"]


def test_gzip_by_name_and_devices_written_in_place(tmp_path):
    with atomic_write(tmp_path / "x.txt.gz", "w") as f:
        f.write("a b\n")
    assert gzip.decompress((tmp_path / "x.txt.gz").read_bytes()) == b"a b\n"
    with atomic_write(os.devnull, "w") as f:  # a device is never replaced by a regular file
        f.write("gone")
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)

    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []

    def drain() -> None:
        with open(fifo, "rb") as f:
            got.append(f.read())

    reader = threading.Thread(target=drain)
    reader.start()
    with atomic_write(fifo) as f:
        f.write(b"through the pipe")
    reader.join(timeout=60)
    assert got == [b"through the pipe"] and stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert listing(tmp_path) == ["pipe", "x.txt.gz"]


@pytest.mark.parametrize("where", ["directory", "link to directory", "missing directory"])
def test_unwritable_places_raise_the_os_error(tmp_path, where):
    (tmp_path / "d").mkdir()
    path = {
        "directory": tmp_path / "d",
        "link to directory": tmp_path / "l",
        "missing directory": tmp_path / "nodir" / "x.csv",
    }[where]
    if where == "link to directory":
        path.symlink_to(tmp_path / "d")
    error = FileNotFoundError if where == "missing directory" else IsADirectoryError
    with pytest.raises(error), atomic_write(path) as f:
        f.write(b"x")
    assert listing(tmp_path / "d") == []


STOPPER = textwrap.dedent("""
    import os, signal, sys
    from tallisk.io import atomic_write
    with atomic_write(sys.argv[1], "w") as f:
        f.write("partial\\n" * 1000)
        f.flush()
        os.kill(os.getpid(), getattr(signal, sys.argv[2]))
        f.write("never\\n")
    print("not reached")
""")


@pytest.mark.parametrize("name", ["SIGTERM", "SIGHUP", "SIGINT"])
def test_stop_signals_leave_nothing_behind(tmp_path, name):
    out = tmp_path / "out.txt"
    r = subprocess.run([sys.executable, "-c", STOPPER, str(out), name], capture_output=True, timeout=120)
    signum = getattr(signal, name)
    # SIGINT is KeyboardInterrupt (the interpreter ends by the signal after cleanup); the others exit
    # quietly with 128 + signum, the status a shell shows for them
    assert r.returncode == (-signum if name == "SIGINT" else 128 + signum), r.stderr
    assert b"not reached" not in r.stdout and listing(tmp_path) == []
    if name != "SIGINT":
        assert r.stderr == b""


def test_signal_handlers_are_put_back_and_foreign_ones_kept():
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals are delivered to the main thread only")
    seen = []
    custom = lambda signum, frame: seen.append(signum)  # noqa: E731
    previous = signal.signal(signal.SIGHUP, custom)
    try:
        with raise_on_signals():
            assert signal.getsignal(signal.SIGHUP) is custom  # the program's own handler stays
            assert signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL
            with pytest.raises(SignalExit) as info:
                signal.raise_signal(signal.SIGTERM)
            assert info.value.code == 128 + signal.SIGTERM and "SIGTERM" in str(info.value)
            signal.raise_signal(signal.SIGHUP)
        assert seen == [signal.SIGHUP] and signal.getsignal(signal.SIGTERM) is signal.SIG_DFL
    finally:
        signal.signal(signal.SIGHUP, previous)
