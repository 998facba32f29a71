"""Time and peak memory of rust_compute_pipeline, plus one agreement check.

Each setting runs in its own child interpreter, started by a small launcher that
reads the child's peak resident memory with resource.getrusage(RUSAGE_CHILDREN)
(ru_maxrss, KiB on Linux).
A baseline child maps the data without calling the module; peak minus baseline is
what the computation needed on top of the interpreter, NumPy and the input arrays.

Usage (from the worktree root, after building build/dev):
    PYTHONPATH=build/dev python3 bench/bench_pipeline.py [--n-txn 100000] [--repeat 1]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datagen  # noqa: E402

T10I4D100K = Path("/work/shared/data/T10I4D100K.dat")
# Frequent itemsets of T10I4D100K at minsup 0.005, by size (from the data README).
T10_REFERENCE_0005 = {1: 569, 2: 342, 3: 110, 4: 43, 5: 9}

CHILD = r"""
import json, sys, time
import numpy as np
import _tallisk_rs as m
# Memory-mapped, so loading leaves no transient copy in the peak; the pages the call
# reads are counted in its peak.
txn = np.load(sys.argv[1] + ".txn.npy", mmap_mode="r")
item = np.load(sys.argv[1] + ".item.npy", mmap_mode="r")
n_items = int(open(sys.argv[1] + ".n_items").read())
k_max, min_support, repeat = int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
weights = np.zeros(0)
times = []
for _ in range(repeat if k_max >= 0 else 0):
    t0 = time.perf_counter()
    r = m.rust_compute_pipeline(txn, item, k_max, n_items, min_support, weights)
    times.append(time.perf_counter() - t0)
if not times:  # baseline run: interpreter, NumPy and the loaded arrays only
    r = {"counts": [], "lower_counts": [], "n_transactions": 0}
print(json.dumps({"seconds": min(times, default=0.0),
                  "n_top": len(r["counts"]), "n_lower": len(r["lower_counts"])}))
"""


# Linux keeps a process's peak RSS across exec, so a child forked straight from this
# (large) process would report at least our own size. A small launcher interpreter
# runs the measured child instead; as that is its only child, its RUSAGE_CHILDREN peak
# is exactly the child's peak.
LAUNCHER = r"""
import json, resource, subprocess, sys
out = subprocess.run(sys.argv[1:], capture_output=True)
if out.returncode != 0:
    sys.exit(out.stderr.decode())
result = json.loads(out.stdout)
result["peak_kib"] = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print(json.dumps(result))
"""


def measure(data_path: str, k_max: int, min_support: float, repeat: int) -> dict:
    child = [sys.executable, "-c", CHILD, data_path, str(k_max), str(min_support), str(repeat)]
    proc = subprocess.run([sys.executable, "-c", LAUNCHER, *child], capture_output=True)
    if proc.returncode != 0:
        raise SystemExit(f"child failed: {proc.stderr.decode()}")
    return json.loads(proc.stdout)


def save(path: str, txn, item, n_items) -> None:
    np.save(path + ".txn.npy", txn)
    np.save(path + ".item.npy", item)
    Path(path + ".n_items").write_text(str(n_items))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n-txn", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-reference", action="store_true")
    args = ap.parse_args()

    threads = os.environ.get("RAYON_NUM_THREADS", f"default ({os.cpu_count()} cpus)")
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "sparse")
        t0 = time.perf_counter()
        txn, item, n_items = datagen.sparse(args.n_txn)
        save(data, txn, item, n_items)
        print(f"datagen.sparse({args.n_txn}): {len(txn)} occurrences, {n_items} items "
              f"({time.perf_counter() - t0:.1f} s to generate); threads: {threads}")
        baseline = measure(data, -1, 0.0, 0)["peak_kib"]
        print(f"baseline child (interpreter, NumPy, mapped inputs): {baseline / 1024:.1f} MiB")
        print(f"{'k_max':>5} {'min_support':>11} {'seconds':>8} {'peak MiB':>9} {'over base':>9} "
              f"{'top sets':>9} {'lower sets':>10}")
        for min_support in (0.01, 0.005):
            for k_max in (3, 4):
                r = measure(data, k_max, min_support, args.repeat)
                print(f"{k_max:>5} {min_support:>11} {r['seconds']:>8.3f} {r['peak_kib'] / 1024:>9.1f} "
                      f"{(r['peak_kib'] - baseline) / 1024:>9.1f} {r['n_top']:>9} {r['n_lower']:>10}")

        if args.skip_reference or not T10I4D100K.exists():
            return
        # Agreement: frequent sets by size on T10I4D100K at minsup 0.005.
        txn, item, n_items = datagen.read_transactions(str(T10I4D100K))
        import _tallisk_rs as m
        n_txn = len(np.unique(txn))
        counts = {1: int((np.bincount(item, minlength=n_items) >= np.ceil(0.005 * n_txn)).sum())}
        t0 = time.perf_counter()
        # k_max = 3, 5, 7, ... gives levels (2, 3), (4, 5), ... until a top level is empty.
        for k_max in range(3, 64, 2):
            r = m.rust_compute_pipeline(txn, item, k_max, n_items, 0.005, np.zeros(0))
            counts[k_max - 1], counts[k_max] = len(r["lower_counts"]), len(r["counts"])
            if not len(r["counts"]):
                break
        seconds = time.perf_counter() - t0
        counts = {s: c for s, c in sorted(counts.items()) if c}
        status = "agrees" if counts == T10_REFERENCE_0005 else f"DIFFERS from {T10_REFERENCE_0005}"
        print(f"T10I4D100K minsup 0.005 by size {counts} (total {sum(counts.values())}): {status} "
              f"[{seconds:.2f} s for all levels]")


if __name__ == "__main__":
    main()
