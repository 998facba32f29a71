"""Benchmark of the depth-first pipeline `rust_eclat_pipeline`.

Runs each setting in its own interpreter and prints the best wall time of three calls
and the peak resident memory of that process (taken from the rusage of the finished
child, the per-child form of RUSAGE_CHILDREN), next to the memory the process held just
before the calls (interpreter, NumPy and the input arrays) and the growth of the peak
during the calls. The level-wise pipeline
`rust_compute_pipeline` is timed side by side when it is available in the build.

Datasets: ``datagen.sparse(100_000)`` at k_max 3 and 4 with min_support 0.01 and
0.005, ``datagen.dense(10_000, 60, 45)`` at high support, and the public ``chess.dat``
at 0.8 (and 0.6) when the data directory holds it. Finally the frequent-set counts per
size are checked against the reference counts published with the data files.

Usage: PYTHONPATH=build/dev python3 bench/bench_eclat.py [--threads N] [--quick]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import time

DATA_DIR = "/work/shared/data"

# Frequent sets per size (1, 2, 3, ...) from the data directory's README.
REFERENCE = {
    ("chess.dat", 0.9): [13, 68, 167, 203, 128, 39, 4],
    ("T10I4D100K.dat", 0.005): [569, 342, 110, 43, 9],
    ("T10I4D100K.dat", 0.01): [375, 9, 1],
}

CHILD = r"""
import json, resource, sys, time
import numpy as np
import _tallisk_rs as m
spec = json.loads(sys.argv[1])
d = np.load(spec["path"])
txn, item, n_items = d["txn"], d["item"], int(d["n_items"])
def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1

fn = getattr(m, spec["fn"])
args = (txn, item, spec["k_max"], n_items, spec["min_support"])
if spec["fn"] != "rust_eclat_pipeline":
    args += (np.ones(n_items),)
try:
    # A first tiny call starts the worker pool, which is not part of a run's cost.
    fn(*((np.zeros(1, np.int64), np.zeros(1, np.int32)) + args[2:]))
    before = status_kib("VmRSS")
    try:  # resets the high-water mark, so VmHWM afterwards is the peak of the calls
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    dt = float("inf")
    for _ in range(spec["repeat"]):
        t0 = time.perf_counter()
        r = fn(*args)
        dt = min(dt, time.perf_counter() - t0)
except NotImplementedError:
    print(json.dumps({"skipped": True}))
    sys.exit(0)
print(json.dumps({"seconds": dt, "before_kib": before, "call_peak_kib": status_kib("VmHWM"),
                  "n_top": int(len(r["counts"])),
                  "n_lower": int(len(r["lower_counts"]))}))
"""


MAKE_DATA = r"""
import os, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import datagen
tmp, chess = sys.argv[2], sys.argv[3]
sets = {"sparse100k": datagen.sparse(100_000), "dense10k": datagen.dense(10_000, 60, 45.0)}
if os.path.exists(chess):
    sets["chess"] = datagen.read_transactions(chess)
for name, (txn, item, n_items) in sets.items():
    np.savez(os.path.join(tmp, name + ".npz"), txn=txn, item=item, n_items=n_items)
"""


def make_datasets(tmp: str) -> dict:
    """Generates the datasets in a separate process: a child's peak RSS includes the
    memory of the process that launched it, so the driver must stay small."""
    chess = os.path.join(DATA_DIR, "chess.dat")
    here = os.path.dirname(os.path.abspath(__file__))
    subprocess.run([sys.executable, "-c", MAKE_DATA, here, tmp, chess], check=True)
    return {f[:-4]: os.path.join(tmp, f) for f in sorted(os.listdir(tmp)) if f.endswith(".npz")}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--threads", type=int, default=None)
    ap.add_argument("--quick", action="store_true", help="skip the level-wise pipeline and the reference check")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        datasets = make_datasets(tmp)

        settings = [("sparse100k", k, s) for s in (0.01, 0.005) for k in (3, 4)]
        settings += [("dense10k", k, s) for s in (0.7, 0.6, 0.5) for k in (3, 5)]
        if "chess" in datasets:
            settings += [("chess", k, 0.8) for k in (3, 5, 8)] + [("chess", 8, 0.6)]

        fns = ["rust_eclat_pipeline"] + ([] if args.quick else ["rust_compute_pipeline"])
        print(f"workers: {args.threads or os.cpu_count()} (RAYON_NUM_THREADS)")
        print("peak: the child's peak RSS (its rusage); before: RSS before the calls;")
        print("call +: growth of the peak during the calls (high-water mark reset before them)")
        print(f"{'data':<11} {'k_max':>5} {'min_sup':>7}  {'function':<22} {'seconds':>8} "
              f"{'peak MiB':>9} {'before':>7} {'call +':>7} {'n_top':>8} {'n_lower':>8}")
        for name, k_max, ms in settings:
            for fn in fns:
                spec = {"path": datasets[name], "fn": fn, "k_max": k_max, "min_support": ms, "repeat": 3}
                res = run_child_isolated(spec, args.threads)
                if res.get("skipped"):
                    print(f"{name:<11} {k_max:>5} {ms:>7}  {fn:<22} {'not implemented in this build':>40}")
                    continue
                print(f"{name:<11} {k_max:>5} {ms:>7}  {fn:<22} {res['seconds']:>8.3f} "
                      f"{res['peak_kib'] / 1024:>9.1f} {res['before_kib'] / 1024:>7.1f} "
                      f"{max(0, res['call_peak_kib'] - res['before_kib']) / 1024:>7.1f} "
                      f"{res['n_top']:>8} {res['n_lower']:>8}")

        if not args.quick:
            check_reference(tmp, args.threads)


def run_child_isolated(spec: dict, threads: int | None) -> dict:
    """Runs one setting and returns its figures with the peak RSS of that child alone.

    RUSAGE_CHILDREN keeps the maximum over every child reaped so far, so a small run
    after a large one would report the large one's peak; wait4 gives the rusage of
    this child only."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")  # no BLAS buffers in the figures
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    proc = subprocess.Popen([sys.executable, "-c", CHILD, json.dumps(spec)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    out = proc.stdout.read()
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(err.decode())
    res = json.loads(out.decode().strip().splitlines()[-1])
    res["peak_kib"] = usage.ru_maxrss
    return res


def check_reference(tmp: str, threads: int | None) -> None:
    print("\nagreement with the published reference counts (sizes 2 and up from the pipeline,")
    print("size 1 from item_counts):")
    # Imported only now: while the table runs, the driver stays small (see make_datasets).
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import _tallisk_rs as m
    import datagen
    for (fname, ms), want in REFERENCE.items():
        path = os.path.join(DATA_DIR, fname)
        if not os.path.exists(path):
            print(f"  {fname}: missing, skipped")
            continue
        txn, item, n_items = datagen.read_transactions(path)
        got = []
        t0 = time.perf_counter()
        for k in range(2, len(want) + 2):
            r = m.rust_eclat_pipeline(txn, item, k, n_items, ms)
            if k == 2:
                min_count = math.ceil(ms * r["n_transactions"])
                got.append(int((r["item_counts"] >= min_count).sum()))
            got.append(len(r["counts"]))
            if k >= 3:
                assert len(r["lower_counts"]) == got[k - 2], "lower level disagrees with the previous call"
        got = got[: len(want) + 1]
        ok = got[: len(want)] == want and got[len(want)] == 0
        print(f"  {fname} min_support {ms}: by size {got[:len(want)]} (next size {got[len(want)]}), "
              f"reference {want}: {'AGREES' if ok else 'DISAGREES'} ({time.perf_counter() - t0:.2f} s)")


if __name__ == "__main__":
    main()
