"""Time and peak memory of the classic Apriori entries.

Runs rust_classic_compute_pipeline (k_max 3 and 4) and rust_classic_compute_pairs on
datagen.sparse(100_000) at min_support 0.01 and 0.005. Every setting runs in its own
child process, so each peak RSS belongs to one call: it is the child's ru_maxrss as the
kernel reports it for a waited-for child (os.wait4, the per-child form of
getrusage(RUSAGE_CHILDREN)). "base" is the child's RSS before the call (interpreter,
NumPy, module and input arrays), so peak - base is what the call itself added.

The level-wise and Eclat pipelines can be timed in the same table with --entries
(they are reported as "n/a" where the build does not provide them yet).

--agree checks the classic pipeline against the reference counts of frequent itemsets
of T10I4D100K, retail and chess given in /work/shared/data/README.md.

Usage (from the repository root, against a build directory):
    PYTHONPATH=build/dev python3 bench/bench_classic.py [--threads N] [--entries ...] [--agree]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = "/work/shared/data"

# Reference counts by itemset size (README of the data directory).
REFERENCE = {
    ("T10I4D100K.dat", 0.01): [375, 9, 1],
    ("T10I4D100K.dat", 0.005): [569, 342, 110, 43, 9],
    ("retail.dat", 0.01): [70, 58, 25, 6],
    ("retail.dat", 0.005): [221, 237, 102, 19, 1],
    ("chess.dat", 0.9): [13, 68, 167, 203, 128, 39, 4],
}

ENTRIES = {
    # name: (function, argument builder(txn, items, n_items, k_max, min_support))
    "classic_pipeline": ("rust_classic_compute_pipeline",
                         lambda t, i, n, k, s: (t, i, k, n, 0, s, np.zeros(0), None)),
    "classic_pairs": ("rust_classic_compute_pairs", lambda t, i, n, k, s: (t, i, n, len(np.unique(t)), s)),
    "pipeline": ("rust_compute_pipeline", lambda t, i, n, k, s: (t, i, k, n, s, np.zeros(0), None)),
    "eclat": ("rust_eclat_pipeline", lambda t, i, n, k, s: (t, i, k, n, s)),
}


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def run_one(data_dir, entry, k_max, min_support):
    """Child side: load the arrays, time one call, print a JSON line."""
    import _tallisk_rs as m

    txn = np.load(os.path.join(data_dir, "txn.npy"))
    items = np.load(os.path.join(data_dir, "items.npy"))
    n_items = int(np.load(os.path.join(data_dir, "n_items.npy")))
    fn_name, build_args = ENTRIES[entry]
    args = build_args(txn, items, n_items, k_max, min_support)
    base = rss_kib()
    start = time.perf_counter()
    try:
        r = getattr(m, fn_name)(*args)
    except NotImplementedError:
        print(json.dumps({"status": "n/a"}))
        return
    seconds = time.perf_counter() - start
    rows = len(r["item_A"]) if "item_A" in r else len(r["counts"])
    lower = len(r["lower_counts"]) if "lower_counts" in r else None
    print(json.dumps({"status": "ok", "seconds": seconds, "base_kib": base, "rows": rows, "lower": lower}))


def spawn(args, threads):
    env = dict(os.environ)
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__)] + args, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    out = proc.stdout.read()
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"child failed: {err.decode()}")
    return json.loads(out.decode().strip().splitlines()[-1]), usage.ru_maxrss


def generate(data_dir):
    """Child side: write the benchmark data set."""
    sys.path.insert(0, HERE)
    import datagen

    txn, items, n_items = datagen.sparse(100_000)
    np.save(os.path.join(data_dir, "txn.npy"), txn)
    np.save(os.path.join(data_dir, "items.npy"), items)
    np.save(os.path.join(data_dir, "n_items.npy"), np.array(n_items))
    print(json.dumps({"n_txn": len(np.unique(txn)), "rows": len(txn), "n_items": n_items}))


def bench(entries, threads):
    with tempfile.TemporaryDirectory() as tmp:
        # Linux carries the parent's RSS high-water mark into a forked child's
        # ru_maxrss, so the parent stays small: the data is generated in a child too.
        info, _ = spawn(["--gen", tmp], threads)
        print(f"data: datagen.sparse(100_000): {info['n_txn']} transactions, {info['rows']} rows, "
              f"{info['n_items']} items; pool threads: {threads or os.cpu_count()}")
        print(f"{'entry':<18}{'k_max':>6}{'min_sup':>9}{'rows':>9}{'lower':>8}{'time s':>9}"
              f"{'peak MiB':>10}{'base MiB':>10}")
        for entry in entries:
            for k_max in ([2] if entry == "classic_pairs" else [3, 4]):
                for min_support in (0.01, 0.005):
                    result, peak = spawn(["--run", tmp, entry, str(k_max), str(min_support)], threads)
                    if result["status"] != "ok":
                        print(f"{entry:<18}{k_max:>6}{min_support:>9}{'n/a':>9}")
                        continue
                    lower = "" if result["lower"] is None else result["lower"]
                    print(f"{entry:<18}{k_max:>6}{min_support:>9}{result['rows']:>9}{lower:>8}"
                          f"{result['seconds']:>9.3f}{peak / 1024:>10.1f}{result['base_kib'] / 1024:>10.1f}")


def agree():
    sys.path.insert(0, HERE)
    import datagen
    import _tallisk_rs as m

    ok = True
    for (name, min_support), reference in REFERENCE.items():
        txn, items, n_items = datagen.read_transactions(os.path.join(DATA, name))
        sizes = []
        for k in range(1, len(reference) + 2):
            r = m.rust_classic_compute_pipeline(txn, items, k, n_items, 0, min_support, np.zeros(0), None)
            sizes.append(len(r["counts"]))
        while sizes and sizes[-1] == 0:
            sizes.pop()
        n_txn = len(np.unique(txn))
        pairs = m.rust_classic_compute_pairs(txn, items, n_items, n_txn, min_support)
        pair_rows = len(pairs["item_A"])
        match = sizes == reference and pair_rows == 2 * reference[1]
        ok &= match
        print(f"{name} min_support {min_support}: by size {sizes} (reference {reference}), "
              f"pair rows {pair_rows} (2 x {reference[1]}): {'agree' if match else 'DISAGREE'}")
    return ok


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--run", nargs=4, metavar=("DATA_DIR", "ENTRY", "K_MAX", "MIN_SUPPORT"))
    p.add_argument("--gen", metavar="DATA_DIR")
    p.add_argument("--threads", type=int, default=0)
    p.add_argument("--entries", nargs="+", default=["classic_pipeline", "classic_pairs"], choices=list(ENTRIES))
    p.add_argument("--agree", action="store_true")
    a = p.parse_args()
    if a.run:
        data_dir, entry, k_max, min_support = a.run
        run_one(data_dir, entry, int(k_max), float(min_support))
        return
    if a.gen:
        generate(a.gen)
        return
    if a.agree:
        sys.exit(0 if agree() else 1)
    bench(a.entries, a.threads)


if __name__ == "__main__":
    main()
