"""Times rust_compute_pairs on generated retail-like baskets or on FIMI files (--data).

Each setting runs in a fresh process. `base` is the resident set just before the calls
(interpreter, NumPy and the input arrays); the kernel's peak mark is reset there, so
`peak` is the maximum resident set during the calls alone, not during data generation.

    python3 bench/bench_pairs.py [--transactions 100000 1000000] [--repeat 3]
    python3 bench/bench_pairs.py --data /work/shared/data/retail.dat --min-support 0
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import json, sys, time
sys.path.insert(0, {here!r})
import datagen, _tallisk_rs
path = {path!r}
if path:
    txn, item, n_items = datagen.read_transactions(path)
else:
    txn, item, n_items = datagen.sparse(n_txn={n_txn}, seed=0)
def status_mb(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) / 1024
import ctypes, gc
gc.collect()
ctypes.CDLL("libc.so.6").malloc_trim(0)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak resident set (VmHWM) to the current one
base = status_mb("VmRSS")
times, cpu = [], []
for _ in range({repeat}):
    start, start_cpu = time.perf_counter(), time.process_time()
    r = _tallisk_rs.rust_compute_pairs(txn, item, n_items, {min_support})
    times.append(time.perf_counter() - start)
    cpu.append(time.process_time() - start_cpu)
    rows = len(r["item_A"])
    del r
peak = status_mb("VmHWM")
print(json.dumps(dict(rows=rows, occurrences=len(txn), best=min(times), cpu=min(cpu), base=base, peak=peak)))
"""


def run(n_txn, min_support, repeat, path=None):
    code = CHILD.format(here=HERE, n_txn=n_txn, min_support=min_support, repeat=repeat, path=path)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--transactions", type=int, nargs="+", default=[100_000, 1_000_000])
    ap.add_argument("--min-support", type=float, nargs="+", default=[0.0, 0.001])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--data", nargs="+", default=[], help="FIMI files to time instead of generated data")
    args = ap.parse_args()
    print(
        f"rust_compute_pairs, {os.cpu_count()} logical CPUs, "
        f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}"
    )
    print(
        f"{'baskets':>9} {'rows in':>9} {'min_sup':>8} {'rows out':>10} {'best s':>8} "
        f"{'cpu s':>8} {'Mocc/s':>8} {'base MB':>8} {'peak MB':>8}"
    )
    inputs = [(os.path.basename(p), None, p) for p in args.data] or [(n, n, None) for n in args.transactions]
    for label, n, path in inputs:
        for s in args.min_support:
            r = run(n, s, args.repeat, path)
            print(
                f"{label:>9} {r['occurrences']:>9} {s:>8} {r['rows']:>10} {r['best']:>8.3f} {r['cpu']:>8.3f} "
                f"{r['occurrences'] / r['best'] / 1e6:>8.1f} {r['base']:>8.0f} {r['peak']:>8.0f}"
            )


if __name__ == "__main__":
    main()
