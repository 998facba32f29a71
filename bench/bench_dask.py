"""The Dask path against the one-machine call on replicated T10I4D100K.

T10I4D100K is replicated (new transaction ids) to 1 and 10 million transactions and
written as Parquet under a temporary directory (deleted at the end), one file per slice
of whole transactions. For each size:

- the one-machine call (``pd.read_parquet`` -> ``Transactions.from_long`` ->
  ``frequent_itemsets``) in its own process: time and peak memory;
- ``tallisk.dask.frequent_itemsets`` on a fresh ``LocalCluster`` of 1 and 2 worker
  processes (one Dask thread and one engine thread each), with 1, 2 and 4 partitions
  per worker, with and without the shuffle: wall time, bytes shuffled (P2P shards),
  bytes moved between workers for task inputs, bytes to the client, peak RSS per
  worker, candidate list sizes, and the time per phase and per task;
- a model of the time on N machines from the per-task times of one run, checked against
  the other runs.

Every distributed result is compared with the one-machine table (same rows, order,
counts). Run: ``python bench/bench_dask.py [--sizes 1,10] [--min-support 0.005]``.
Timings on a shared 2-core machine are noisy; the script reports what it ran.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pickle
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

DATA = Path("/work/shared/data/T10I4D100K.dat")
if not DATA.exists():  # a copy of the shared folder beside the checkout
    DATA = Path(__file__).resolve().parents[2] / "shared" / "data" / "T10I4D100K.dat"


def read_fimi(path: Path) -> tuple[np.ndarray, np.ndarray]:
    txn, items = [], []
    with open(path) as fh:
        for t, line in enumerate(fh):
            ids = np.array(line.split(), dtype=np.int32)
            txn.append(np.full(len(ids), t, np.int64))
            items.append(ids)
    return np.concatenate(txn), np.concatenate(items)


def write_replicas(out: Path, millions: float, files: int) -> int:
    """Writes the base data replicated to `millions` million transactions (replica r has
    transaction ids shifted by r * n_base) into `files` Parquet files holding equal
    runs of whole transactions. Returns the number of rows."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    base_txn, base_item = read_fimi(DATA)
    n_base = int(base_txn.max()) + 1
    starts = np.searchsorted(base_txn, np.arange(n_base + 1))  # rows of base transaction t
    total = max(1, round(millions * 1_000_000) // n_base) * n_base
    out.mkdir(parents=True, exist_ok=True)
    rows = 0
    for f, txns in enumerate(np.array_split(np.arange(total, dtype=np.int64), files)):
        base = txns % n_base
        lengths = starts[base + 1] - starts[base]
        first = np.repeat(starts[base] - np.r_[0, np.cumsum(lengths)[:-1]], lengths)
        pos = np.arange(int(lengths.sum())) + first
        table = pa.table({"txn": np.repeat(txns, lengths), "item": base_item[pos]})
        pq.write_table(table, out / f"part-{f:04d}.parquet", row_group_size=1 << 20)
        rows += table.num_rows
    return rows


ONE_MACHINE = r"""
import json, pickle, resource, sys, time
import pandas as pd
from tallisk.mining import frequent_itemsets
from tallisk.transactions import Transactions
path, min_support, target, out = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4]
t0 = time.perf_counter()
df = pd.read_parquet(path)
t1 = time.perf_counter()
data = Transactions.from_long(df, transaction="txn", item="item")
del df
t2 = time.perf_counter()
table = frequent_itemsets(data, min_support, target=target)
t3 = time.perf_counter()
table.to_pickle(out)
print(json.dumps({"read_s": t1 - t0, "encode_s": t2 - t1, "mine_s": t3 - t2, "total_s": t3 - t0,
                  "rows": len(table), "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def one_machine(path: Path, min_support: float, target: str, tmp: Path) -> tuple[dict, object]:
    import pandas as pd

    out = tmp / "one_machine.pkl"
    env = dict(os.environ)
    proc = subprocess.run(
        [sys.executable, "-c", ONE_MACHINE, str(path), str(min_support), target, str(out)],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    figures = json.loads(proc.stdout.strip().splitlines()[-1])
    return figures, pd.read_pickle(out)


def _worker_figures(dask_worker=None) -> dict:
    shuffled = sum(
        v
        for k, v in dask_worker.digests_total.items()
        if len(k) == 5 and k[0] == "p2p" and k[2:] == ("foreground", "shards", "bytes")
    )
    return {
        "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
        "shuffled_bytes": int(shuffled),
        "transfer_bytes": int(dask_worker.transfer_outgoing_bytes_total),
    }


def dask_run(
    path: Path, workers: int, partitions: int, min_support: float, target: str, shuffle: bool, memory_limit: str
) -> tuple[dict, object]:
    import dask.dataframe as dd
    import tallisk.dask as tdask
    from distributed import Client, LocalCluster

    with (
        LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            memory_limit=memory_limit,
            env={"RAYON_NUM_THREADS": "1"},
        ) as cluster,
        Client(cluster) as client,
    ):
        # Warm-up on a slice: imports on the workers are not part of the figure.
        warm = dd.read_parquet(path).partitions[0].head(20_000, compute=False)
        tdask.frequent_itemsets(warm, "txn", "item", 0.05)
        client.run(lambda: None)
        ddf = dd.read_parquet(path)
        if ddf.npartitions != partitions:
            ddf = ddf.repartition(npartitions=partitions)
        before = client.run(_worker_figures)
        with _TaskStream(client) as stream:
            t0 = time.time()
            table, stats = tdask._frequent_itemsets(ddf, "txn", "item", min_support, None, 1, None, target, not shuffle)
            wall = time.time() - t0
        after = client.run(_worker_figures)
    per_worker = {
        addr: {
            "peak_rss_mb": round(after[addr]["peak_rss_mb"]),
            "shuffled_mb": (after[addr]["shuffled_bytes"] - before[addr]["shuffled_bytes"]) / 1e6,
            "transfer_mb": (after[addr]["transfer_bytes"] - before[addr]["transfer_bytes"]) / 1e6,
        }
        for addr in after
    }
    figures = {
        "workers": workers,
        "partitions": partitions,
        "shuffle": shuffle,
        "wall_s": wall,
        "per_worker": per_worker,
        "shuffled_mb": sum(w["shuffled_mb"] for w in per_worker.values()),
        "transfer_mb": sum(w["transfer_mb"] for w in per_worker.values()),
        "to_client_mb": len(pickle.dumps(table)) / 1e6,
        "stats": stats,
        "phases": phase_tasks(stats["phases"], stream.tasks, t0, wall),
    }
    return figures, table


class _TaskStream:
    def __init__(self, client):
        self.client = client

    def __enter__(self):
        from distributed import get_task_stream

        self._ctx = get_task_stream(client=self.client)
        self._ts = self._ctx.__enter__()
        return self

    def __exit__(self, *exc):
        self._ctx.__exit__(*exc)
        self.tasks = self._ts.data
        return False


def _prefix(key) -> str:
    name = key[0] if isinstance(key, tuple) else key
    return str(name).rsplit("-", 1)[0]


def phase_tasks(phases, tasks, t0, wall) -> dict:
    """Per phase (labels, encode, pass1, pass2): the span on the client, the number of
    tasks that started in it, their summed and longest compute time."""
    out = {}
    for name, start, stop in phases:
        by_prefix: dict[str, float] = {}
        durations = []
        for task in tasks:
            for ss in task["startstops"]:
                if ss["action"] == "compute" and start <= ss["start"] <= stop:
                    durations.append(ss["stop"] - ss["start"])
                    prefix = _prefix(task["key"])
                    by_prefix[prefix] = by_prefix.get(prefix, 0.0) + durations[-1]
        out[name] = {
            "span_s": stop - start,
            "tasks": len(durations),
            "sum_s": sum(durations),
            "max_s": max(durations, default=0.0),
            "by_task": {k: round(v, 3) for k, v in sorted(by_prefix.items(), key=lambda kv: -kv[1])},
        }
    out["overhead_s"] = wall - sum(out[p]["span_s"] for p, _, _ in phases)
    return out


PHASES = ("labels", "encode", "pass1", "pass2")


def model(run: dict, machines: int, partitions: int | None = None) -> float:
    """Time on `machines` workers like the run's, from the run's per-task times.

    Every phase is a set of independent partition tasks (plus small reductions): the
    same work cut into P tasks of mean time S / P takes ceil(P / N) * S / P on N
    workers. What a phase's span holds beyond its tasks' time on the run's workers
    (scheduling, client round trips, the shuffle's background transfers) is kept as a
    fixed cost per phase, as is the time outside the phases.
    """
    phases = run["phases"]
    p = partitions or run["partitions"]
    total = phases["overhead_s"]
    for name in PHASES:
        ph = phases[name]
        busy = max(ph["sum_s"] / run["workers"], ph["max_s"])
        total += max(0.0, ph["span_s"] - busy) + math.ceil(p / machines) * ph["sum_s"] / p
    return total


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="1,10", help="millions of transactions, comma separated")
    ap.add_argument("--workers", default="1,2")
    ap.add_argument("--per-worker", default="1,2,4", help="partitions per worker")
    ap.add_argument("--min-support", type=float, default=0.005)
    ap.add_argument("--target", default="all")
    ap.add_argument("--shuffle", default="yes,no", help="run with the shuffle, without it, or both")
    ap.add_argument("--big-runs", default="2", help="partitions per worker used for sizes above 1 million")
    ap.add_argument("--memory-limit", default="6GiB")
    ap.add_argument("--out", default=None, help="write all figures as JSON here")
    args = ap.parse_args()

    results = []
    tmp = Path(tempfile.mkdtemp(prefix="tallisk-dask-bench-"))
    try:
        for millions in [float(s) for s in args.sizes.split(",")]:
            path = tmp / f"t10i4d_{millions:g}m"
            t = time.perf_counter()
            rows = write_replicas(path, millions, files=8)
            size_mb = sum(f.stat().st_size for f in path.iterdir()) / 1e6
            print(
                f"\n== {millions:g}M transactions: {rows:,} rows, {size_mb:.0f} MB Parquet "
                f"(written in {time.perf_counter() - t:.1f} s)",
                flush=True,
            )
            om, want = one_machine(path, args.min_support, args.target, tmp)
            print(
                f"one machine: {om['total_s']:.2f} s (read {om['read_s']:.2f}, encode {om['encode_s']:.2f}, "
                f"mine {om['mine_s']:.2f}), {om['rows']} itemsets, peak {om['peak_rss_mb']:.0f} MB",
                flush=True,
            )
            per_worker = [int(x) for x in (args.per_worker if millions <= 1 else args.big_runs).split(",")]
            for shuffle in [s == "yes" for s in args.shuffle.split(",")]:
                for workers in [int(w) for w in args.workers.split(",")]:
                    for ppw in per_worker:
                        run, got = dask_run(
                            path, workers, workers * ppw, args.min_support, args.target, shuffle, args.memory_limit
                        )
                        import pandas as pd

                        pd.testing.assert_frame_equal(got, want)
                        assert got.attrs == want.attrs
                        run.update(millions=millions, one_machine=om, ratio=run["wall_s"] / om["total_s"])
                        results.append(run)
                        st = run["stats"]
                        peaks = "/".join(str(w["peak_rss_mb"]) for w in run["per_worker"].values())
                        ph = run["phases"]
                        print(
                            f"dask shuffle={'yes' if shuffle else 'no '} workers={workers} partitions="
                            f"{workers * ppw}: {run['wall_s']:.2f} s = {run['ratio']:.2f}x one machine "
                            f"[labels {ph['labels']['span_s']:.1f}, encode {ph['encode']['span_s']:.1f}, "
                            f"pass 1 {ph['pass1']['span_s']:.1f}, pass 2 {ph['pass2']['span_s']:.1f} s; "
                            f"task-s {'/'.join(format(ph[p]['sum_s'], '.1f') for p in PHASES)}]; "
                            f"shuffled {run['shuffled_mb']:.0f} MB, "
                            f"between workers {run['transfer_mb']:.1f} MB, to client {run['to_client_mb']:.2f} MB; "
                            f"peak RSS/worker {peaks} MB; candidates {st['local_candidates']} -> "
                            f"{st['candidates']} ({st['candidate_bytes'] / 1e3:.0f} kB), result "
                            f"{st['result_rows']}; exact: yes",
                            flush=True,
                        )
            # The model from each worker count's run with the most partitions, checked
            # against that worker count's other runs; machines beyond 2 from the 1-worker run.
            mine = [r for r in results if r["millions"] == millions]
            for shuffle in sorted({r["shuffle"] for r in mine}):
                for workers in sorted({r["workers"] for r in mine}):
                    runs = [r for r in mine if r["shuffle"] == shuffle and r["workers"] == workers]
                    base = max(runs, key=lambda r: r["partitions"])
                    print(
                        f"model (shuffle={'yes' if shuffle else 'no'}) from {workers} worker(s), "
                        f"{base['partitions']} partitions:"
                    )
                    for r in runs:
                        pred = model(base, workers, r["partitions"])
                        print(
                            f"  partitions={r['partitions']}: model {pred:.2f} s, measured {r['wall_s']:.2f} s "
                            f"({pred / r['wall_s'] - 1:+.0%})"
                        )
                    if workers == 1:
                        print(
                            "  N machines like this worker, 2 partitions each: "
                            + ", ".join(f"N={n}: {model(base, n, 2 * n):.1f} s" for n in (1, 2, 4, 8, 16, 32))
                        )
            shutil.rmtree(path, ignore_errors=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        if args.out:
            Path(args.out).write_text(json.dumps(results, indent=1, default=str))


if __name__ == "__main__":
    main()
