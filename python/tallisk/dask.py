"""Exact frequent itemsets and pair metrics on a Dask DataFrame.

The data stays where Dask keeps it; every partition is encoded and counted by the
native engine on its worker, and only labels, candidate lists and counts travel.
The results equal the one-machine functions on the same rows.

How a call runs (``frequent_itemsets``):

1. **Labels** (one read of the two columns): distributed value counts give the item
   labels, numbered once for the whole data as the one-machine path numbers them
   (sorted; categoricals in category order). Only the distinct labels reach the client.
2. **Transactions together**: a shuffle on the transaction column puts every row of a
   transaction in one partition (skipped with ``partitioned_by_transaction=True``).
   Each partition is encoded where it lies to the engine's arrays (local transaction
   codes, global item ids: 12 bytes a row). On a ``distributed`` cluster the encoded
   partitions are persisted on the workers (which spill to disk under memory
   pressure); on Dask's local schedulers they are written to temporary files, the
   shuffle going through disk too, so data larger than memory passes partition by
   partition and neither pass shuffles again.
3. **Pass 1, local candidates** (Savasere, Omiecinski and Navathe): each group of
   partitions is mined by the engine at the same relative threshold,
   ``ceil(min_count * n_group / n)``. A set whose global count reaches ``min_count``
   reaches that threshold in at least one group, so the union of the local results
   holds every globally frequent set. The union is formed on the workers.
4. **Pass 2, exact counts**: every partition counts the union with the engine's
   candidate counting; the counts are summed on the workers and the sets below
   ``min_count`` dropped. Only the result reaches the client.
5. **Closed and maximal**: taken from the exact counts of all frequent sets up to one
   item longer than the longest shown (a set is closed when no frequent superset one
   item larger has its count, maximal when none is frequent; a superset farther up
   implies one of those), which is exactly the one-machine judgement among all
   frequent sets.

Two passes over the encoded data whatever the itemset length, against one per length
for a level-wise count-and-sum (with a round trip for candidate generation each time).

Engine threads on workers: every call here registers :class:`EnginePool` on the
cluster, which sets the engine's thread count (:func:`tallisk.set_num_threads`) in each
worker process (also in workers that join or restart later) to the host's cores
divided by the Dask threads of all workers on that host, at least 1, so Dask's threads
and the engine's pools do not oversubscribe the cores; the engine calls of one worker's
Dask threads share that pool. A count already in the worker's environment wins
(``TALLISK_NUM_THREADS``, or ``RAYON_NUM_THREADS``, e.g.
``LocalCluster(env={"TALLISK_NUM_THREADS": "1"})``), and workers that run inside the
client's own process (``processes=False``) keep the count of that process.
"""

from __future__ import annotations

import os
import tempfile
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, cast

import numpy as np
import pandas as pd

from . import mining, pairs
from ._tables import (
    PAIR_METRICS,
    canonical_order,
    labels_categorical,
    min_count_from_support,
    rule_metrics,
    share_of_count,
    take_rows,
)
from ._validation import Bool, Int, Param, declare

try:
    import dask
    import dask.dataframe as dd
    from dask import delayed
except ImportError as exc:  # pragma: no cover - exercised only without the extra
    raise ImportError("tallisk.dask needs Dask: pip install 'tallisk[dask]'") from exc

try:
    from distributed import WorkerPlugin
except ImportError:  # pragma: no cover - the local schedulers need no plugin
    WorkerPlugin = object  # type: ignore[misc, assignment]

__all__ = ["EnginePool", "WorkerLostError", "frequent_itemsets", "pair_metrics"]

# A group of partitions is mined in pass 1 only once its local threshold reaches this
# many transactions: tiny partitions mined at a threshold of one or two would report
# nearly every subset of their baskets as a candidate. Groups never change the answer,
# only how many candidates pass 2 counts.
MIN_LOCAL_COUNT = 4

# Fan-in of the tree reductions (candidate union, count sums) run on the workers.
_FAN_IN = 8


# ---- engine pool on workers ----------------------------------------------------------


class EnginePool(WorkerPlugin):
    """Worker plugin that sizes the engine's pool in every worker process.

    ``threads`` engine threads per worker process; ``None`` takes the host's cores
    divided by the Dask worker threads on that host (computed by the client when
    :func:`frequent_itemsets` registers the plugin), at least 1.
    """

    name = "tallisk-engine-pool"

    def __init__(self, threads: int | dict[str, int] | None = None) -> None:
        self.threads = threads
        self.client_pid = os.getpid()

    def setup(self, worker: Any) -> None:
        """Dask calls this in each worker process as the plugin arrives, and in workers
        that join or restart later: it sets the engine's thread count there.

        Parameters
        ----------
        worker : distributed.Worker
            The worker; its address picks its entry of a ``threads`` dict, its thread
            count the default.

        Raises
        ------
        InvalidParameterError
            For a thread count that is not an int of at least 1.

        Examples
        --------
        A cluster registers it (:func:`frequent_itemsets` does so itself):

        >>> from distributed import Client  # doctest: +SKIP
        >>> Client().register_plugin(tallisk.dask.EnginePool(threads=2))  # doctest: +SKIP

        In the client's own process it leaves the count alone:

        >>> import tallisk.dask
        >>> before = tallisk.get_num_threads()
        >>> tallisk.dask.EnginePool(threads=1).setup(worker=None)
        >>> tallisk.get_num_threads() == before
        True
        """
        # A size the worker's environment already sets (e.g. LocalCluster(env=...)) wins,
        # and a worker thread of the client's process leaves the user's count alone.
        if any(os.environ.get(v, "").strip() for v in ("TALLISK_NUM_THREADS", "RAYON_NUM_THREADS")):
            return
        if os.getpid() == self.client_pid:
            return
        threads = self.threads
        if isinstance(threads, dict):
            threads = threads.get(worker.address, threads.get(_host(worker.address)))
        if threads is None:
            threads = max(1, (os.cpu_count() or 1) // max(1, worker.state.nthreads))
        from . import set_num_threads

        set_num_threads(int(threads))


def _host(address: str) -> str:
    rest = address.split("://", 1)[-1]
    return rest.rsplit(":", 1)[0]


def _distributed_client() -> Any:
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        client = default_client()
    except ValueError:
        return None
    # A caller who picked another scheduler (dask.config.set(scheduler="sync")) gets it.
    scheduler = dask.config.get("scheduler", None)
    if scheduler is not None and scheduler not in ("dask.distributed", "distributed"):
        return None
    return client


#: Tries of the plugin registration, and the pause before the next one: a worker lost
#: meanwhile is restarted by its nanny, which hands the new process the plugin itself.
_REGISTER_TRIES = 4
_REGISTER_PAUSE = 0.5


class WorkerLostError(RuntimeError):
    """A Dask worker was lost while tallisk set up the cluster, more often than it retries."""


def _register_pool(client: Any) -> None:
    """Registers :class:`EnginePool` with per-host sizes: cores / Dask threads.

    The scheduler keeps a registered plugin and gives it to every worker that joins later,
    a nanny's restart included; a worker lost while the plugin is sent fails the send
    (a CommClosedError, an OSError), so the registration is tried again once the
    cluster has had a moment to notice, and a loss that repeats is one clear error."""
    for attempt in range(_REGISTER_TRIES):
        try:
            client.register_plugin(EnginePool(_pool_sizes(client)), name=EnginePool.name)
            return
        except OSError as exc:
            lost = exc
            time.sleep(_REGISTER_PAUSE * (attempt + 1))
    raise WorkerLostError(
        f"a Dask worker was lost while tallisk registered its engine-pool plugin ({_REGISTER_TRIES} tries; "
        f"last: {type(lost).__name__}: {lost}); check the workers' logs, then run the call again"
    ) from lost


def _pool_sizes(client: Any) -> dict[str, int]:
    info = client.scheduler_info(n_workers=-1)["workers"] if _accepts_n_workers(client) else None
    if info is None:
        info = client.scheduler_info()["workers"]
    per_host: dict[str, int] = {}
    cores: dict[str, int] = {}
    for addr, w in info.items():
        host = _host(addr)
        per_host[host] = per_host.get(host, 0) + int(w.get("nthreads", 1))
    # a worker gone since scheduler_info simply gives no answer
    for addr, n in client.run(os.cpu_count, on_error="ignore").items():
        cores[_host(addr)] = int(n or 1)
    return {host: max(1, cores.get(host, 1) // max(1, n)) for host, n in per_host.items()}


def _accepts_n_workers(client: Any) -> bool:
    import inspect

    try:
        return "n_workers" in inspect.signature(client.scheduler_info).parameters
    except (TypeError, ValueError):  # pragma: no cover
        return False


# ---- checks --------------------------------------------------------------------------


def _check_frame(caller: str, ddf: Any, transaction: str, item: str) -> None:
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"{caller} takes a Dask DataFrame in long form. Got {type(ddf).__name__} instead.")
    for role, col in (("transaction", transaction), ("item", item)):
        if col not in ddf.columns:
            raise KeyError(f"The {role} column {col!r} is not a column of the DataFrame.")


# ---- per-partition work (runs on the workers) -----------------------------------------


@dataclass
class _Part:
    """One partition as engine arrays: dense local transaction codes, global item ids."""

    txn: np.ndarray
    items: np.ndarray
    n_transactions: int


def _encode(frame: pd.DataFrame, transaction: str, item: str, labels: pd.Index) -> _Part:
    values = frame[item]
    if isinstance(values.dtype, pd.CategoricalDtype):
        values = values.astype(labels.dtype)
    items = labels.get_indexer(pd.Index(values))
    if len(items) and items.min() < 0:  # a label the value counts did not see: never silently dropped
        bad = frame[item].iloc[int(np.argmax(items < 0))]
        raise ValueError(f"item label {bad!r} is missing from the global label table")
    txn, uniques = pd.factorize(frame[transaction], use_na_sentinel=False)
    return _Part(txn.astype(np.int64, copy=False), items.astype(np.int32, copy=False), len(uniques))


def _n_transactions(part: _Part) -> int:
    return part.n_transactions


def _spill(part: _Part, path: str) -> int:
    np.savez(path, txn=part.txn, items=part.items, n=np.int64(part.n_transactions))
    return part.n_transactions


def _load(path: str) -> _Part:
    with np.load(path) as f:
        return _Part(f["txn"], f["items"], int(f["n"]))


def _concat(parts: Sequence[_Part]) -> _Part:
    if len(parts) == 1:
        return parts[0]
    shift = 0
    txns = []
    for p in parts:
        txns.append(p.txn + shift)
        shift += p.n_transactions
    return _Part(np.concatenate(txns), np.concatenate([p.items for p in parts]), shift)


def _mine_group(
    parts: Sequence[_Part], n_items: int, min_count: int, min_len: int, max_len: int | None
) -> tuple[np.ndarray, np.ndarray]:
    from tallisk import _engine

    part = _concat(parts)
    if part.n_transactions == 0:
        return np.zeros(1, np.int64), np.zeros(0, np.int32)
    out = _engine.mine_itemsets(part.txn, part.items, n_items, min_count, min_len, max_len, "all")
    return np.asarray(out["offsets"], np.int64), np.asarray(out["items"], np.int32)


def _union(*csrs: tuple[np.ndarray, np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    """Every set of the given CSR tables once, in canonical order."""
    lengths = np.concatenate([np.diff(offsets) for offsets, _ in csrs])
    offsets = np.zeros(lengths.size + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    items = np.concatenate([items for _, items in csrs]).astype(np.int32, copy=False)
    _, offsets, items = canonical_order(offsets, items)
    return take_rows(offsets, items, np.flatnonzero(~_repeats(offsets, items)))


def _repeats(offsets: np.ndarray, items: np.ndarray) -> np.ndarray:
    """Which rows equal the row before them (in canonical order, equal rows are neighbours)."""
    lengths = np.diff(offsets)
    same = np.zeros(lengths.size, dtype=bool)
    rows = np.flatnonzero(lengths[1:] == lengths[:-1]) + 1
    if rows.size:
        n = lengths[rows]
        starts = np.cumsum(n) - n
        here = np.repeat(offsets[rows] - starts, n) + np.arange(int(n.sum()), dtype=np.int64)
        differ = items[here] != items[here - np.repeat(n, n)]
        mismatches = np.bincount(np.repeat(rows, n), weights=differ, minlength=lengths.size)
        same[rows] = mismatches[rows] == 0
    return same


def _count_part(part: _Part, n_items: int, candidates: tuple[np.ndarray, np.ndarray]) -> np.ndarray:
    from tallisk import _engine

    offsets, items = candidates
    if part.n_transactions == 0 or len(offsets) == 1:
        return np.zeros(len(offsets) - 1, np.int64)
    out = _engine.count_itemsets(part.txn, part.items, n_items, offsets, items)
    return np.asarray(out["counts"], np.int64)


def _sum(*arrays: np.ndarray) -> np.ndarray:
    total = np.zeros_like(arrays[0])
    for a in arrays:
        total += a
    return total


def _finish(
    candidates: tuple[np.ndarray, np.ndarray],
    counts: np.ndarray,
    min_count: int,
    min_len: int,
    max_len: int | None,
    target: str,
) -> dict[str, Any]:
    """Frequent sets from the exact counts, filtered to the target and the lengths shown
    (the table builder puts them in the documented order). The candidates hold every
    frequent set up to one item longer than the longest shown, which is all the
    closed/maximal judgement needs."""
    offsets, items = candidates
    frequent = np.flatnonzero(counts >= min_count)
    offsets, items = take_rows(offsets, items, frequent)
    counts = counts[frequent]
    if target != "all":
        from . import _engine

        kept = _engine.filter_target(offsets, items, counts, cast(Any, target))
        offsets, items, counts = kept["offsets"], kept["items"], kept["counts"]
    lengths = np.diff(offsets)
    rows = np.flatnonzero((lengths >= min_len) & (lengths <= (max_len or lengths.max(initial=0))))
    offsets, items = take_rows(offsets, items, rows)
    return {"offsets": offsets, "items": items, "counts": counts[rows]}


def _tree(func: Any, items: list[Any]) -> Any:
    while len(items) > 1:
        items = [delayed(func, pure=True)(*items[i : i + _FAN_IN]) for i in range(0, len(items), _FAN_IN)]
    return items[0]


# ---- the shared front half -------------------------------------------------------------


@dataclass
class _Prepared:
    labels: pd.Index
    parts: list[Any]  # delayed _Part, one per partition
    n_per_part: list[int]
    persisted: bool
    stats: dict[str, Any] = field(default_factory=dict)


def _labels_numbered(value_counts: pd.Series, categories: pd.Index | None) -> pd.Index:
    """The one-machine numbering of the labels (item id i has label labels[i]):
    categoricals in category order (unused ones dropped), other labels sorted."""
    if categories is not None:
        used = set(value_counts.index[value_counts.to_numpy() > 0])
        return pd.Index(categories[[c in used for c in categories]]).rename(None)
    labels = pd.Index(value_counts.index, tupleize_cols=False).rename(None)
    if labels.dtype == object and hasattr(labels, "infer_objects"):
        labels = labels.infer_objects()
    try:
        return labels[np.asarray(labels.argsort(), dtype=np.int64)]
    except TypeError:
        # One machine numbers labels that do not sort by first appearance, which a
        # partitioned table does not define without a global row order.
        raise ValueError(
            "The item labels are of kinds that do not sort with each other (e.g. numbers and strings); "
            "the Dask path numbers labels in sorted order. Convert them to one kind first "
            "(e.g. ddf[item].astype(str))."
        ) from None


def _prepare(
    ddf: Any, transaction: str, item: str, partitioned_by_transaction: bool, spill_dir: str | None = None
) -> _Prepared:
    """Labels, then the encoded partitions: persisted on a cluster's workers; on the local
    schedulers written to files in ``spill_dir`` when given (so later passes neither
    hold them in memory nor shuffle again), else left as a lazy graph."""
    client = _distributed_client()
    if client is not None:
        return _prepare_on(client, ddf, transaction, item, partitioned_by_transaction, None)
    # The local schedulers shuffle through files on disk (partd), so data larger than
    # memory passes; a cluster's default (peer-to-peer) would need workers.
    with dask.config.set({"dataframe.shuffle.method": _local_shuffle()}):
        return _prepare_on(None, ddf, transaction, item, partitioned_by_transaction, spill_dir)


def _prepare_on(
    client: Any, ddf: Any, transaction: str, item: str, partitioned_by_transaction: bool, spill_dir: str | None
) -> _Prepared:
    t0 = time.time()
    if client is not None:
        _register_pool(client)  # before any graph runs: no task meets an unsized pool
    frame = ddf[[transaction, item]]
    categories = None
    if isinstance(frame[item].dtype, pd.CategoricalDtype):
        frame = frame.assign(**{item: frame[item].cat.as_known()})
        categories = frame[item].cat.categories
    if frame[item].dtype == object:
        # Labels of kinds that do not sort with each other are refused before anything
        # moves (the shuffle's Arrow encoding would fail on them less clearly).
        samples = frame[item].map_partitions(_one_label_per_kind, meta=(item, object)).compute()
        _labels_numbered(pd.Series(1, index=pd.Index(list(samples), dtype=object)), None)
    counts, missing_t, missing_i = dask.compute(
        frame[item].value_counts(dropna=True), frame[transaction].isna().sum(), frame[item].isna().sum()
    )
    t1 = time.time()
    for what, col, missing in (("transaction", transaction, missing_t), ("item", item, missing_i)):
        if missing:
            raise ValueError(
                f"The {what} column {col!r} holds {int(missing)} missing values (None or NaN). Missing labels are "
                "not items: drop those rows first (e.g. ddf.dropna(subset=[...])), or give them a label of their "
                "own (e.g. ddf.fillna('unknown'))."
            )
    labels = _labels_numbered(counts, categories)
    persisted = client is not None
    if not partitioned_by_transaction and frame.npartitions > 1:
        frame = frame.shuffle(on=transaction)
    labels_d = delayed(labels, pure=True)
    encode = delayed(_encode, pure=True)
    parts = [encode(p, transaction, item, labels_d) for p in frame.to_delayed()]
    if persisted:
        parts = list(dask.persist(*parts))
    if spill_dir is not None:
        paths = [os.path.join(spill_dir, f"part-{i:06d}.npz") for i in range(len(parts))]
        n_per_part = [int(n) for n in dask.compute(*[delayed(_spill)(p, f) for p, f in zip(parts, paths, strict=True)])]
        parts = [delayed(_load, pure=True)(f) for f in paths]
    else:
        n_per_part = [int(n) for n in dask.compute(*[delayed(_n_transactions, pure=True)(p) for p in parts])]
    phases = [("labels", t0, t1), ("encode", t1, time.time())]
    return _Prepared(labels, parts, n_per_part, persisted, {"phases": phases})


def _one_label_per_kind(values: pd.Series) -> pd.Series:
    seen: dict[type, Any] = {}
    for v in values.dropna().drop_duplicates():
        seen.setdefault(type(v), v)
    return pd.Series(list(seen.values()), dtype=object)


def _local_shuffle() -> str:
    try:
        import partd  # noqa: F401
    except ImportError:
        return "tasks"
    return "disk"


def _groups(n_per_part: Sequence[int], min_count: int, n: int) -> list[list[int]]:
    """Consecutive non-empty partitions grouped so each group's local threshold reaches
    ``MIN_LOCAL_COUNT`` (or the group holds everything)."""
    groups: list[list[int]] = []
    current: list[int] = []
    size = 0
    for idx, n_p in enumerate(n_per_part):
        if n_p == 0:
            continue
        current.append(idx)
        size += n_p
        if min_count * size >= MIN_LOCAL_COUNT * n:
            groups.append(current)
            current, size = [], 0
    if current:
        if groups:
            groups[-1].extend(current)
        else:
            groups.append(current)
    return groups


# ---- public entries ----------------------------------------------------------------------


_BY_TRANSACTION = Param("partitioned_by_transaction", Bool())


@declare(_BY_TRANSACTION, extends=mining.frequent_itemsets, name="frequent_itemsets")
def frequent_itemsets(
    ddf: Any,
    transaction: str,
    item: str,
    min_support: float | None = None,
    *,
    min_count: int | None = None,
    min_len: int = 1,
    max_len: int | None = None,
    target: str = "all",
    partitioned_by_transaction: bool = False,
) -> pd.DataFrame:
    """Every frequent itemset of a Dask DataFrame in long form, exactly.

    ``ddf`` has one row per (transaction, item) occurrence in the columns named by
    ``transaction`` and ``item``; duplicate rows count once. Thresholds, lengths and
    ``target`` mean what they mean for :func:`tallisk.frequent_itemsets` on
    ``Transactions.from_long`` of the same rows, and the result is the same pandas
    DataFrame (same rows, same order, same ``attrs``), so ``tallisk.association_rules``
    takes it unchanged. As there, a missing label in either column is a ValueError;
    labels are numbered in sorted order (categoricals in category order), and labels of
    kinds that do not sort with each other, which one machine numbers by first
    appearance, are refused (a partitioned table has no first appearance).

    ``partitioned_by_transaction=True`` says that no transaction has rows in two
    partitions (e.g. files written per order); the shuffle is then skipped. A wrong
    claim counts a split transaction once per partition it sits in.

    With a ``distributed`` client active the work runs on its cluster; otherwise on
    Dask's local scheduler, partition by partition.

    Parameters
    ----------
    ddf : dask.dataframe.DataFrame
        Long form: one row per (transaction, item).
    transaction, item : str
        The columns holding the transaction and the item labels.
    min_support, min_count, min_len, max_len, target
        As for :func:`tallisk.frequent_itemsets` (the same declaration checks them).
    partitioned_by_transaction : bool, default False
        No transaction has rows in two partitions: the shuffle is skipped.

    Returns
    -------
    DataFrame
        The pandas table of :func:`tallisk.frequent_itemsets`.

    Raises
    ------
    InvalidParameterError
        A parameter out of its range, with the one-machine message.
    TypeError, KeyError
        ``ddf`` is not a Dask DataFrame, or lacks one of the two columns.
    ValueError
        A missing label, or labels of kinds that do not sort with each other.
    WorkerLostError
        A worker was lost more often than the set-up retries.

    Examples
    --------
    Dask's synchronous scheduler, in this process; with a ``distributed`` client the
    same call runs on its cluster.

    >>> import dask, dask.dataframe as dd, tallisk.dask
    >>> orders = pd.DataFrame(
    ...     {"order": [1, 1, 2, 2, 3, 3, 4], "product": ["tea", "milk", "tea", "milk", "tea", "sugar", "milk"]}
    ... )
    >>> ddf = dd.from_pandas(orders, npartitions=2)
    >>> with dask.config.set(scheduler="sync"):
    ...     itemsets = tallisk.dask.frequent_itemsets(ddf, "order", "product", min_support=0.5)
    >>> itemsets
           itemset  length  count  support
    0      (milk,)       1      3     0.75
    1       (tea,)       1      3     0.75
    2  (milk, tea)       2      2     0.50
    >>> one_machine = tallisk.Transactions.from_long(orders, "order", "product")
    >>> itemsets.equals(tallisk.frequent_itemsets(one_machine, min_support=0.5))
    True
    """
    _check_frame("frequent_itemsets", ddf, transaction, item)
    table, _ = _frequent_itemsets(
        ddf, transaction, item, min_support, min_count, min_len, max_len, target, partitioned_by_transaction
    )
    return table


def _frequent_itemsets(
    ddf: Any,
    transaction: str,
    item: str,
    min_support: float | None,
    min_count: int | None,
    min_len: int,
    max_len: int | None,
    target: str,
    partitioned_by_transaction: bool,
) -> tuple[pd.DataFrame, dict[str, Any]]:
    """The work of :func:`frequent_itemsets`; also returns what travelled (for benchmarks)."""
    with tempfile.TemporaryDirectory(prefix="tallisk-dask-") as spill_dir:
        return _two_passes(
            _prepare(ddf, transaction, item, partitioned_by_transaction, spill_dir),
            min_support, min_count, min_len, max_len, target,
        )  # fmt: skip


def _two_passes(
    prep: _Prepared,
    min_support: float | None,
    min_count: int | None,
    min_len: int,
    max_len: int | None,
    target: str,
) -> tuple[pd.DataFrame, dict[str, Any]]:
    from tallisk.mining import itemsets_frame

    n = sum(prep.n_per_part)
    n_items = len(prep.labels)
    if min_count is None:  # the declaration saw to it that one of the two is given
        min_count = min_count_from_support(cast(float, min_support), n)
    # Closed and maximal are judged among all frequent sets; for the sets shown, the
    # frequent sets one item longer are all that judgement needs.
    mine_len = max_len if max_len is None or target == "all" else max_len + 1
    stats: dict[str, Any] = {"n_transactions": n, "n_items": n_items, "partitions": len(prep.parts)}

    groups = _groups(prep.n_per_part, min_count, n)
    mine = delayed(_mine_group, pure=True)
    local = [
        mine(
            [prep.parts[i] for i in g],
            n_items,
            share_of_count(min_count, sum(prep.n_per_part[i] for i in g), n),
            min_len,
            mine_len,
        )
        for g in groups
    ]
    if not local:
        candidates = delayed((np.zeros(1, np.int64), np.zeros(0, np.int32)))
    else:
        candidates = _tree(_union, local)
    # Pass 1 completes before pass 2 starts, so no partition is held for both (on the
    # local schedulers that is what keeps memory to a few partitions); on a cluster the
    # union stays on a worker.
    sizes = [delayed(_csr_size, pure=True)(c) for c in local]
    t0 = time.time()
    candidates, *sizes = dask.persist(candidates, *sizes)
    if prep.persisted:
        from distributed import futures_of, wait

        wait(futures_of(candidates))
    t1 = time.time()
    count = delayed(_count_part, pure=True)
    partial = [count(prep.parts[i], n_items, candidates) for i, n_p in enumerate(prep.n_per_part) if n_p]
    totals = _tree(_sum, partial) if partial else delayed(np.zeros)(0, np.int64)
    result = delayed(_finish, pure=True)(candidates, totals, min_count, min_len, max_len, target)
    result, cand_size, local_sizes = dask.compute(result, delayed(_csr_size)(candidates), sizes)
    t2 = time.time()
    stats.update(
        phases=[*prep.stats["phases"], ("pass1", t0, t1), ("pass2", t1, t2)],
        persisted=prep.persisted,
        groups=len(groups),
        local_candidates=[s[0] for s in local_sizes],
        candidates=cand_size[0],
        candidate_bytes=cand_size[1],
        result_rows=len(result["counts"]),
    )
    table = itemsets_frame(result["offsets"], result["items"], result["counts"], prep.labels, n, min_count)
    table.attrs["target"] = target
    return table, stats


def _csr_size(csr: tuple[np.ndarray, np.ndarray]) -> tuple[int, int]:
    offsets, items = csr
    return len(offsets) - 1, int(offsets.nbytes + items.nbytes)


# ---- pair metrics ------------------------------------------------------------------------


def _pair_counts(part: _Part, n_items: int, bounds: np.ndarray) -> tuple[Any, ...]:
    """Co-occurrence counts of one partition, both orders of every pair, cut into the
    output buckets by the first item; the last element is the partition's item counts."""
    from tallisk import _engine

    k = len(bounds) - 1
    empty = (np.zeros(0, np.int32), np.zeros(0, np.int32), np.zeros(0, np.int64))
    if part.n_transactions == 0:
        return (*([empty] * k), np.zeros(n_items, np.int64))
    out = _engine.mine_itemsets(part.txn, part.items, n_items, 1, 1, 2, "all")
    offsets = np.asarray(out["offsets"], np.int64)
    pairs = np.flatnonzero(np.diff(offsets) == 2)
    first = np.asarray(out["items"], np.int32)[offsets[pairs]]
    second = np.asarray(out["items"], np.int32)[offsets[pairs] + 1]
    counts = np.asarray(out["counts"], np.int64)[pairs]
    a = np.concatenate([first, second])
    b = np.concatenate([second, first])
    c = np.concatenate([counts, counts])
    bucket = np.searchsorted(bounds, a, side="right") - 1
    order = np.argsort(bucket, kind="stable")
    a, b, c, bucket = a[order], b[order], c[order], bucket[order]
    cuts = np.searchsorted(bucket, np.arange(k + 1))
    pieces = tuple((a[cuts[j] : cuts[j + 1]], b[cuts[j] : cuts[j + 1]], c[cuts[j] : cuts[j + 1]]) for j in range(k))
    return (*pieces, np.asarray(out["item_counts"], np.int64))


def _pair_table(
    pieces: Sequence[tuple[np.ndarray, np.ndarray, np.ndarray]],
    item_counts: np.ndarray,
    n: int,
    min_count: int,
    labels: pd.Index,
) -> pd.DataFrame:
    """Sums one bucket's pieces; the metrics are the one-machine table's, from the same
    function, so values match bit for bit."""
    n_items = len(labels)
    pieces = [*pieces, (np.zeros(0, np.int32), np.zeros(0, np.int32), np.zeros(0, np.int64))]
    a = np.concatenate([p[0] for p in pieces]).astype(np.int64)
    b = np.concatenate([p[1] for p in pieces]).astype(np.int64)
    c = np.concatenate([p[2] for p in pieces])
    keys = a * max(n_items, 1) + b
    order = np.argsort(keys, kind="stable")
    keys, c = keys[order], c[order]
    starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]]) if len(keys) else np.zeros(0, np.intp)
    co = np.add.reduceat(c, starts) if len(keys) else np.zeros(0, np.int64)
    keys = keys[starts]
    keep = co >= max(min_count, 1)
    keys, co = keys[keep], co[keep]
    a, b = keys // max(n_items, 1), keys % max(n_items, 1)
    frame = {
        "item_a": labels_categorical(a, labels),
        "item_b": labels_categorical(b, labels),
        "count": co.astype(np.int64),
    }
    frame.update(rule_metrics(co, item_counts[a], item_counts[b], n, PAIR_METRICS))
    return pd.DataFrame(frame, copy=False)


@declare(
    _BY_TRANSACTION,
    Param("npartitions", Int(1), none=True, help="partitions of the result (default: those of the input)"),
    extends=pairs.pair_metrics,
    name="pair_metrics",
)
def pair_metrics(
    ddf: Any,
    transaction: str,
    item: str,
    min_support: float = 0.0,
    *,
    min_count: int | None = None,
    partitioned_by_transaction: bool = False,
    npartitions: int | None = None,
) -> Any:
    """The table of :func:`tallisk.pair_metrics` for a Dask DataFrame in long form.

    Returns a lazy Dask DataFrame of ``npartitions`` partitions (by default as many as
    the input has), cut by ranges of the first item's id: each output partition sums, for
    its items, the pair counts of every input partition and computes the metrics in the
    engine's floating-point operations, so no machine ever holds the whole table and the
    values equal the one-machine table's bit for bit. Same columns and dtypes (labels as
    Categoricals over all item labels); rows ordered by (``item_a``, ``item_b``) in
    item-id order, within and across partitions (one machine orders the partners of one
    item by first meeting instead, so compare the two after sorting). ``.compute()``
    gives one pandas DataFrame.

    The labels are counted and the transactions shuffled when this is called; the pair
    counting runs when the result is computed.

    Parameters
    ----------
    ddf : dask.dataframe.DataFrame
        Long form: one row per (transaction, item).
    transaction, item : str
        The columns holding the transaction and the item labels.
    min_support, min_count
        As for :func:`tallisk.pair_metrics` (the same declaration checks them).
    partitioned_by_transaction : bool, default False
        No transaction has rows in two partitions: the shuffle is skipped.
    npartitions : int, optional
        Partitions of the result (default: those of the input).

    Returns
    -------
    dask.dataframe.DataFrame
        Lazy; the columns and dtypes of :func:`tallisk.pair_metrics`.

    Raises
    ------
    InvalidParameterError
        A parameter out of its range, with the one-machine message.
    TypeError, KeyError, ValueError
        As for :func:`frequent_itemsets`.

    Examples
    --------
    >>> import dask, dask.dataframe as dd, tallisk.dask
    >>> orders = pd.DataFrame(
    ...     {"order": [1, 1, 2, 2, 3, 3, 4], "product": ["tea", "milk", "tea", "milk", "tea", "sugar", "milk"]}
    ... )
    >>> with dask.config.set(scheduler="sync"):
    ...     pairs = tallisk.dask.pair_metrics(dd.from_pandas(orders, npartitions=2), "order", "product")
    ...     table = pairs.compute()
    >>> table[["item_a", "item_b", "count"]].values.tolist()
    [['milk', 'tea', 2], ['sugar', 'tea', 1], ['tea', 'milk', 2], ['tea', 'sugar', 1]]
    """
    _check_frame("pair_metrics", ddf, transaction, item)
    prep = _prepare(ddf, transaction, item, partitioned_by_transaction)
    n = sum(prep.n_per_part)
    n_items = len(prep.labels)
    if min_count is not None:
        threshold = int(min_count)
    elif min_support is None or float(min_support) == 0.0:
        threshold = 1
    else:
        threshold = min_count_from_support(min_support, n)
    k = max(1, min(npartitions or len(prep.parts), max(n_items, 1)))
    bounds = np.linspace(0, n_items, k + 1).round().astype(np.int64)
    per_part = [
        delayed(_pair_counts, pure=True, nout=k + 1)(prep.parts[i], n_items, bounds)
        for i, n_p in enumerate(prep.n_per_part)
        if n_p
    ]
    item_counts = _tree(_sum, [p[k] for p in per_part]) if per_part else delayed(np.zeros)(n_items, np.int64)
    table = delayed(_pair_table, pure=True)
    outputs = [table([p[j] for p in per_part], item_counts, n, threshold, prep.labels) for j in range(k)]
    meta = _pair_table([], np.zeros(n_items, np.int64), max(n, 1), 1, prep.labels)
    return dd.from_delayed(outputs, meta=meta, verify_meta=False)
