"""tallisk.mlxtend against mlxtend 0.25: each function against its namesake on one-hot
DataFrames, the call alone timed (the one-hot -> engine conversion is inside our call),
with its peak memory.

Every (dataset, frame kind, function, min_support, library) runs in a process of its own
(the child mode of this script, built on runner.py's memory helpers); a run that takes
longer than the cap is stopped and reported as "> cap". The two libraries' answers are
compared (row count and total support) in the same run. A call is repeated while the
runs so far took less than 3 s (at most 5 times) and the best time is kept; the memory
column is the peak resident set size above the process's size before the first call.
Both libraries first make one call on a tiny frame, so that one-time costs of a process
(our worker pool starting) are not counted as a call's.

Frames: retail (88k x 16k) only as a sparse frame: its dense bool frame is 1.4 GB, which
mlxtend then copies several times. The other files and the generated data go both dense
and sparse (pd.DataFrame.sparse.from_spmatrix, as TransactionEncoder(sparse=True) users
have).

    python3 bench/bench_mlxtend.py                 # everything, cap 120 s (about an hour)
    python3 bench/bench_mlxtend.py --quick         # small generated data only
    python3 bench/bench_mlxtend.py --cap 60 --only chess,gen-dense
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pickle
import subprocess
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

DATA_DIR = "/work/shared/data"
FUNCTIONS = ("apriori", "fpgrowth", "fpmax", "hmine", "association_rules")

# (name, source, frame kinds, supports): supports chosen so that mlxtend's runs range from
# a fraction of a second to past the cap
DATASETS = [
    ("chess", "file:chess.dat", ("dense", "sparse"), (0.9, 0.8)),
    ("T10I4D100K", "file:T10I4D100K.dat", ("dense", "sparse"), (0.02, 0.01)),
    ("retail", "file:retail.dat", ("sparse",), (0.01, 0.005)),
    ("gen-sparse", "gen:sparse", ("dense", "sparse"), (0.01, 0.005)),
    ("gen-dense", "gen:dense", ("dense", "sparse"), (0.5, 0.4)),
]
# every child is limited to this much address space: mlxtend's dense apriori materialises
# (rows x candidates x k) booleans and would otherwise take the shared machine's memory
MEMORY_LIMIT_GB = 8
REPEATS, REPEAT_BUDGET_S = 5, 3.0
QUICK = [
    ("gen-sparse-small", "gen:sparse-small", ("dense", "sparse"), (0.02,)),
    ("gen-dense-small", "gen:dense-small", ("dense", "sparse"), (0.6,)),
]


def load_occurrences(source: str):
    import datagen
    import numpy as np

    kind, what = source.split(":", 1)
    if kind == "file":
        txn, item, _ = datagen.read_transactions(os.path.join(DATA_DIR, what))
    elif what == "sparse":
        txn, item, _ = datagen.sparse(20_000, 2_000, 10.0, seed=0)
    elif what == "dense":
        txn, item, _ = datagen.dense(5_000, 60, 30.0, seed=0)
    elif what == "sparse-small":
        txn, item, _ = datagen.sparse(5_000, 500, 8.0, seed=1)
    elif what == "dense-small":
        txn, item, _ = datagen.dense(1_000, 30, 15.0, seed=1)
    else:
        raise ValueError(source)
    # one column per item that occurs, as a one-hot encoder makes
    used, item = np.unique(item, return_inverse=True)
    return txn, item.astype(np.int32), len(used), [f"i{u}" for u in used]


def build_frame(source: str, kind: str):
    import numpy as np
    import pandas as pd

    txn, item, n_items, labels = load_occurrences(source)
    _, rows = np.unique(txn, return_inverse=True)
    n = int(rows.max()) + 1
    if kind == "dense":
        x = np.zeros((n, n_items), dtype=bool)
        x[rows, item] = True
        return pd.DataFrame(x, columns=labels)
    from scipy import sparse

    m = sparse.csc_matrix((np.ones(len(rows), dtype=bool), (rows, item)), shape=(n, n_items))
    return pd.DataFrame.sparse.from_spmatrix(m, columns=labels)


# ---------------------------------------------------------------------------------------
# child


def child(job_path: str) -> int:
    import resource

    import runner

    with open(job_path) as f:
        job = json.load(f)
    limit = int(job.get("memory_gb", MEMORY_LIMIT_GB) * 2**30)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    out = {"status": "error"}
    try:
        if job["lib"] == "mlxtend":
            import mlxtend.frequent_patterns as lib
        else:
            import tallisk.mlxtend as lib
        warnings.simplefilter("ignore")
        df = build_frame(job["source"], job["kind"])
        fn = job["function"]
        if fn == "association_rules":
            table = lib.fpgrowth(df, min_support=job["min_support"], use_colnames=True)
            args = (table,)
            kwargs = dict(num_itemsets=len(df), metric="confidence", min_threshold=0.5)
        else:
            args = (df,)
            kwargs = dict(min_support=job["min_support"], use_colnames=True)
        # one call on a tiny frame first, for both libraries: one-time costs of a process
        # (our worker pool starting, first-use paths in pandas) are not a call's cost
        import numpy as np
        import pandas as pd

        tiny = pd.DataFrame(np.random.default_rng(0).random((50, 6)) < 0.5, columns=list("abcdef"))
        lib.association_rules(lib.fpgrowth(tiny, min_support=0.2), min_threshold=0.5)
        lib.apriori(tiny, min_support=0.2)
        gc.collect()
        runner.release_free_heap()
        base = runner.status_kb()["VmRSS"]
        runner.reset_peak()
        base = runner.status_kb()["VmRSS"]
        times = []
        # best of a few runs against the noise of a shared machine, within a small budget
        while len(times) < REPEATS and sum(times) < REPEAT_BUDGET_S:
            res = None
            t0 = time.perf_counter()
            res = getattr(lib, fn)(*args, **kwargs)
            times.append(time.perf_counter() - t0)
        out["seconds"] = min(times)
        out["runs"] = len(times)
        out["extra_kb"] = max(0, runner.status_kb()["VmHWM"] - base)
        out["rows"] = len(res)
        out["support_sum"] = float(res["support"].astype(float).sum()) if len(res) else 0.0
        out["status"] = "ok"
    except MemoryError:
        out["status"] = "memory"
    except Exception as e:  # reported by the parent
        out["error"] = f"{type(e).__name__}: {e}"
    with open(job["out"], "wb") as f:
        pickle.dump(out, f)
    return 0


# ---------------------------------------------------------------------------------------
# parent


def run_one(job: dict, cap: float, tmp: str) -> dict:
    path = os.path.join(tmp, "job.json")
    job = dict(job, out=os.path.join(tmp, "out.pkl"))
    if os.path.exists(job["out"]):
        os.remove(job["out"])
    with open(path, "w") as f:
        json.dump(job, f)
    try:
        subprocess.run([sys.executable, os.path.abspath(__file__), "--child", path], timeout=cap + 60, check=False)
    except subprocess.TimeoutExpired:
        return {"status": "cap"}
    if not os.path.exists(job["out"]):
        return {"status": "error", "error": "child died"}
    with open(job["out"], "rb") as f:
        res = pickle.load(f)
    if res.get("status") == "ok" and res["seconds"] > cap:
        res["status"] = "cap"
    return res


def run_key(job: dict) -> str:
    return json.dumps([job["source"], job["kind"], job["function"], job["min_support"], job["lib"]])


def load_cache(path: str) -> dict:
    out = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                rec = json.loads(line)
                out[rec["key"]] = rec["result"]
    return out


def cached(cache: dict, job: dict, args, tmp: str, stopped: set) -> dict:
    """A run from the cache, or run now and cached. Supports go from high to low, so once
    a library hits the cap or the memory limit on a (data, frame, function) the lower
    supports are not tried."""
    key = run_key(job)
    group = (job["source"], job["kind"], job["function"], job["lib"])
    if key in cache and job["lib"] not in args.rerun.split(","):
        res = cache[key]
    elif job["lib"] not in args.libs.split(","):
        return {"status": "not run"}
    elif group in stopped:
        res = {"status": "cap", "skipped": True}
    else:
        res = run_one(job, args.cap, tmp)
        cache[key] = res
        os.makedirs(os.path.dirname(args.cache), exist_ok=True)
        with open(args.cache, "a") as f:
            f.write(json.dumps({"key": key, "result": res}) + "\n")
    if res["status"] in ("cap", "memory"):
        stopped.add(group)
    return res


def fmt_s(r, cap):
    if r["status"] == "cap":
        return f"> {cap:.0f} s"
    if r["status"] == "memory":
        return f"> {MEMORY_LIMIT_GB} GB"
    if r["status"] == "not run":
        return "–"
    if r["status"] != "ok":
        return "error"
    s = r["seconds"]
    return f"{s * 1000:.1f} ms" if s < 1 else f"{s:.2f} s"


def fmt_mb(r):
    return f"{r['extra_kb'] / 1024:.0f}" if r.get("status") == "ok" else "–"


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--child")
    ap.add_argument("--cap", type=float, default=120.0)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", default="")
    ap.add_argument("--functions", default=",".join(FUNCTIONS))
    ap.add_argument("--out", default=os.path.join(HERE, "results", "mlxtend.md"))
    ap.add_argument(
        "--cache",
        default=os.path.join(HERE, "results", "mlxtend_runs.jsonl"),
        help="runs already done are read from here and new ones appended",
    )
    ap.add_argument("--libs", default="tallisk,mlxtend", help="libraries to run (others only from the cache)")
    ap.add_argument("--rerun", default="", help="libraries to run again even when cached")
    args = ap.parse_args()
    if args.child:
        return child(args.child)
    datasets = QUICK if args.quick else DATASETS
    if args.only:
        keep = set(args.only.split(","))
        datasets = [d for d in datasets if d[0] in keep]
    functions = args.functions.split(",")
    header = (
        "| data | frame | function | min_support | rows | mlxtend | tallisk | speed-up | "
        "mlxtend MB | tallisk MB | agree |"
    )
    lines = [header, "|" + "---|" * 11]
    print(header, flush=True)
    cache = load_cache(args.cache)
    stopped = set()  # (data, kind, function, lib) that hit the cap or the memory limit
    with tempfile.TemporaryDirectory() as tmp:
        for name, source, kinds, supports in datasets:
            for kind in kinds:
                for fn in functions:
                    for s in supports:
                        job = dict(source=source, kind=kind, function=fn, min_support=s)
                        ours = cached(cache, dict(job, lib="tallisk"), args, tmp, stopped)
                        theirs = cached(cache, dict(job, lib="mlxtend"), args, tmp, stopped)
                        speed = ""
                        if ours["status"] == "ok" and theirs["status"] in ("ok", "cap"):
                            t = theirs["seconds"] if theirs["status"] == "ok" else args.cap
                            speed = ("> " if theirs["status"] == "cap" else "") + f"{t / ours['seconds']:.0f}x"
                        agree = ""
                        if ours["status"] == theirs["status"] == "ok":
                            agree = (
                                "yes"
                                if (
                                    ours["rows"] == theirs["rows"]
                                    and abs(ours["support_sum"] - theirs["support_sum"]) < 1e-6
                                )
                                else "NO"
                            )
                        rows = ours.get("rows", theirs.get("rows", ""))
                        line = (
                            f"| {name} | {kind} | {fn} | {s} | {rows} | {fmt_s(theirs, args.cap)} | "
                            f"{fmt_s(ours, args.cap)} | {speed} | {fmt_mb(theirs)} | {fmt_mb(ours)} | {agree} |"
                        )
                        for r, who in ((ours, "tallisk"), (theirs, "mlxtend")):
                            if r["status"] == "error":
                                line += f" {who}: {r.get('error', '')[:80]}"
                        print(line, flush=True)
                        lines.append(line)
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
