"""How many threads the package's engine computes on.

The engine (``tallisk._engine``: ``frequent_itemsets`` with ``algorithm="auto"``,
``"eclat"`` or ``"apriori"``, ``association_rules``, the mlxtend drop-in and
``tallisk.dask``) runs its parallel work on a worker pool of its own. Its size, first
match wins:

1. :func:`set_num_threads` (``threadpoolctl.threadpool_limits`` calls it too);
2. the environment variable ``TALLISK_NUM_THREADS``, read when tallisk is imported;
3. ``RAYON_NUM_THREADS``, the variable that sizes the pool of ``_tallisk_rs``;
4. the number of logical processors the process may use.

``pair_metrics`` and the ``levelwise*`` algorithms run on ``_tallisk_rs``, whose pool is
sized once per process, at its first parallel call, by ``RAYON_NUM_THREADS`` alone.
"""

from __future__ import annotations

import os
import warnings
from typing import Any

from . import _engine
from ._validation import check_int

__all__ = ["get_num_threads", "set_num_threads"]

ENV = "TALLISK_NUM_THREADS"
# The engine takes a thread count in a C int.
MAX_THREADS = 2**31 - 1


def set_num_threads(n: int | None) -> None:
    """Set the number of threads the engine computes on, from the next call on.

    The setting is process-wide. A call already running keeps its threads.

    Parameters
    ----------
    n : int or None
        Threads, the calling thread included; ``None`` goes back to the default
        (``TALLISK_NUM_THREADS`` is not read again: ``RAYON_NUM_THREADS`` when it holds a
        positive number, else the logical processors).

    Raises
    ------
    InvalidParameterError
        For anything but an int of at least 1 or None.

    Examples
    --------
    >>> before = tallisk.get_num_threads()
    >>> tallisk.set_num_threads(2)
    >>> tallisk.get_num_threads()
    2
    >>> tallisk.set_num_threads(before)
    """
    value = check_int(n, "n", "set_num_threads", low=1, high=MAX_THREADS, allow_none=True)
    _engine.set_num_threads(0 if value is None else value)


def get_num_threads() -> int:
    """The number of threads the engine's next call computes on.

    Returns
    -------
    int
        At least 1; 1 in a child created by fork, which computes on its calling thread.

    Examples
    --------
    >>> tallisk.get_num_threads() >= 1
    True
    """
    return _engine.get_num_threads()


def _apply_environment() -> None:
    raw = os.environ.get(ENV, "").strip()
    if not raw:
        return
    try:
        n = int(raw)
    except ValueError:
        n = 0
    if not 1 <= n <= MAX_THREADS:
        warnings.warn(f"{ENV}={raw!r} is not a positive integer; ignored", RuntimeWarning, stacklevel=2)
        return
    _engine.set_num_threads(n)


def _register_threadpoolctl() -> None:
    """Make threadpoolctl list and limit the engine, as it does BLAS and OpenMP."""
    try:
        import threadpoolctl
    except ImportError:
        return
    # 3.2 added register(); from 3.3 on a library is only taken when it has one of the
    # controller's check_symbols, so another package's _engine module is left alone.
    try:
        version = tuple(int(part) for part in threadpoolctl.__version__.split(".")[:2])
    except ValueError:
        return
    if version < (3, 3):
        return

    class TalliskController(threadpoolctl.LibController):
        """The engine module's pool, found by the C symbols it exports for this."""

        user_api = "tallisk"
        internal_api = "tallisk"
        filename_prefixes = ("_engine",)
        check_symbols = ("tallisk_get_num_threads", "tallisk_set_num_threads")

        def get_num_threads(self) -> int:
            return int(self.dynlib.tallisk_get_num_threads())

        def set_num_threads(self, num_threads: Any) -> None:
            self.dynlib.tallisk_set_num_threads(int(num_threads))

        def get_version(self) -> str | None:
            from . import __version__

            return __version__

    threadpoolctl.register(TalliskController)


_apply_environment()
_register_threadpoolctl()
