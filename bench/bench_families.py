"""The mining families side by side: the six level-wise pipelines (base counter and the
five counting strategies), Eclat and classic Apriori on generated sparse (retail-like)
and dense data, at several supports and k_max 3 and 4.

Every measurement runs in a fresh interpreter, so one run's memory cannot hide
another's: a small launcher process starts the worker and reads the worker's peak
resident size with getrusage(RUSAGE_CHILDREN), which covers exactly that one child. The
"load only" column is the same worker without the call (interpreter, NumPy, module and
input arrays), the floor under every other figure.

    PYTHONPATH=build/dev python3 bench/bench_families.py [--quick] [--repeat N] [--cpu]

Prints one Markdown table: time of the call (best of --repeat runs) and peak memory of
the process, per entry. On a shared machine wall time is noisy; --cpu runs every worker
with one pool thread and reports the CPU time of the call instead, which other load
disturbs much less (and which, with one thread, has no idle spinning in it). Entries
that raise NotImplementedError are shown as "n/a". The number of frequent top-level
sets is checked to agree between the entries.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

ENTRIES = [
    ("base", "rust_compute_pipeline"),
    ("v1_roaring", "rust_compute_pipeline_v1_roaring"),
    ("v2_memo", "rust_compute_pipeline_v2_memo"),
    ("v3_adaptive", "rust_compute_pipeline_v3_adaptive"),
    ("v5_prefilter", "rust_compute_pipeline_v5_prefilter"),
    ("v6_gating", "rust_compute_pipeline_v6_gating"),
    ("eclat", "rust_eclat_pipeline"),
    ("classic", "rust_classic_compute_pipeline"),
]

# (dataset, generator call, supports): supports chosen so both levels hold sets and a
# run takes about a second or less on two cores.
DATASETS = [
    ("sparse 100k", "datagen.sparse(100_000)", (0.01, 0.005, 0.002, 0.001)),
    ("dense 5k", "datagen.dense()", (0.15, 0.1)),
]
QUICK_DATASETS = [
    ("sparse 20k", "datagen.sparse(20_000)", (0.004,)),
    ("dense 2k", "datagen.dense(2_000)", (0.15,)),
]
K_MAX = (3, 4)
TIMEOUT_S = 300


def worker(path: str, fn: str, k_max: int, support: float, repeat: int) -> None:
    """Loads the data, runs the entry `repeat` times and prints the best time and the
    size of the top level as JSON. fn == "" loads only."""
    import _tallisk_rs as m

    data = np.load(path)
    txn, item, n_items = data["txn"], data["item"], int(data["n_items"])
    weights = np.ones(n_items)
    best, n_top = None, None
    clock = time.process_time if os.environ.get("BENCH_CPU") == "1" else time.perf_counter
    if fn:
        f = getattr(m, fn)
        for _ in range(repeat):
            start = clock()
            try:
                if fn == "rust_eclat_pipeline":
                    out = f(txn, item, k_max, n_items, support)
                elif fn == "rust_classic_compute_pipeline":
                    out = f(txn, item, k_max, n_items, 0, support, weights)
                else:
                    out = f(txn, item, k_max, n_items, support, weights)
            except NotImplementedError:
                print(json.dumps({"skip": True}))
                return
            elapsed = clock() - start
            best = elapsed if best is None else min(best, elapsed)
            n_top = int(len(out["counts"]))
            del out
    print(json.dumps({"time": best, "n_top": n_top}))


def launch(args: list[str]) -> None:
    """Runs one worker and adds its peak resident size (KiB on Linux) to its report."""
    proc = subprocess.run(
        [sys.executable, __file__, "--worker", *args], capture_output=True, text=True, timeout=TIMEOUT_S
    )
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    if proc.returncode != 0:
        print(json.dumps({"error": proc.stderr.strip().splitlines()[-1:]}))
        return
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    report["peak_mib"] = peak_kib / 1024.0
    print(json.dumps(report))


def measure(path: str, fn: str, k_max: int, support: float, repeat: int) -> dict:
    try:
        proc = subprocess.run(
            [sys.executable, __file__, "--launch", path, fn, str(k_max), repr(support), str(repeat)],
            capture_output=True,
            text=True,
            timeout=TIMEOUT_S + 10,
        )
    except subprocess.TimeoutExpired:
        return {"error": "timeout"}
    if proc.returncode != 0:
        return {"error": proc.stderr.strip()[-200:]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def cell(r: dict) -> str:
    if r.get("skip"):
        return "n/a"
    if "error" in r:
        return "error"
    if r.get("time") is None:
        return f"{r['peak_mib']:.0f} MiB"
    return f"{r['time']:.2f} s / {r['peak_mib']:.0f} MiB"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="small data, one support")
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--only", default="", help="comma-separated entry labels to run")
    ap.add_argument("--cpu", action="store_true", help="one pool thread, CPU time of the call")
    ns = ap.parse_args()
    if ns.cpu:
        os.environ["BENCH_CPU"] = "1"
        os.environ["RAYON_NUM_THREADS"] = "1"
    import datagen  # noqa: F401  (used by the generator expressions)

    entries = [(label, fn) for label, fn in ENTRIES if not ns.only or label in ns.only.split(",")]
    threads = os.environ.get("RAYON_NUM_THREADS") or str(os.cpu_count())
    header = ["data", "support", "k_max", "top sets", "load only"] + [label for label, _ in entries]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    notes = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, gen, supports in QUICK_DATASETS if ns.quick else DATASETS:
            txn, item, n_items = eval(gen)
            path = os.path.join(tmp, name.replace(" ", "_") + ".npz")
            np.savez(path, txn=txn, item=item, n_items=n_items)
            n_txn = len(np.unique(txn))
            base_line = measure(path, "", 3, 0.0, 1)
            for support in supports:
                for k_max in K_MAX:
                    row = [f"{name} ({n_txn} txns, {len(txn)} rows)", f"{support:g}", str(k_max), cell(base_line)]
                    sizes = {}
                    for label, fn in entries:
                        r = measure(path, fn, k_max, support, ns.repeat)
                        row.append(cell(r))
                        if r.get("n_top") is not None:
                            sizes[label] = r["n_top"]
                        print(f"  {name} s={support:g} k={k_max} {label}: {cell(r)}", file=sys.stderr)
                    if len(set(sizes.values())) > 1:
                        notes.append(f"{name} s={support:g} k_max={k_max}: top-level sizes differ: {sizes}")
                    row.insert(3, str(max(sizes.values())) if sizes else "?")
                    lines.append("| " + " | ".join(row) + " |")
    what = "CPU time of the call" if ns.cpu else "wall time of the call"
    print(
        f"{what} (best of {ns.repeat}) / peak memory of the process, which includes the 'load only' floor. "
        f"Pool threads: {threads}.\n"
    )
    print("\n".join(lines))
    for n in notes:
        print("\nWARNING: " + n)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5]), int(sys.argv[6]))
    elif len(sys.argv) > 1 and sys.argv[1] == "--launch":
        launch(sys.argv[2:])
    else:
        main()
