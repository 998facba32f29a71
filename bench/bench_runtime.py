"""Runtime benchmark of the package engine: how fast a call stops, what stopping costs,
and the level-wise pieces (Apriori, the closed/maximal filter) against what they replace.

    bash scripts/build_tree.sh dev                        # the package linked into build/dev
    python3 bench/bench_runtime.py                       # FIMI files from /work/shared/data
    python3 bench/bench_runtime.py --data DIR --repeat 5

Sections (each measurement in a process of its own, best or median of --repeat runs):

* ``stop``: a long call of each kind (depth-first mining, Apriori, counting, rules) gets
  SIGINT 0.3 s after it starts; the time from the signal to KeyboardInterrupt in Python
  (median and worst of --repeat). Then the cost of making calls stoppable: a tiny
  mine_itemsets call made from the main thread (handed to the helper thread, polled) and
  from another thread (run where it is called).
* ``max_itemsets``: chess at support 0.4 with max_itemsets=10**6, time until the
  ValueError: the package's level-by-level path through the contract module (what
  ``algorithm="apriori"`` ran before), the native Apriori and the depth-first search.
* ``apriori``: whole runs of the native Apriori against the depth-first search and
  pyfim's apriori (target all) on chess, retail and T10I4D100K.
* ``filter``: filter_target (closed, maximal) on the table of every frequent itemset
  against the NumPy derivation by levels it replaces, and against mining the target
  directly.

Results: a Markdown table on stdout and in bench/results/runtime.md.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def run(code: str, env_extra: dict | None = None, timeout: float = 900) -> str:
    """Runs `code` in a fresh interpreter that imports the engine from build/dev; returns
    its last stdout line."""
    env = dict(os.environ)
    env.update(env_extra or {})
    build = os.path.join(ROOT, "build", "dev")
    env["PYTHONPATH"] = build + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env, timeout=timeout
    )
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    return proc.stdout.strip().splitlines()[-1]


READ = """
import numpy as np, time
def read(path):
    rows = [line.split() for line in open(path)]
    lens = [len(r) for r in rows]
    t = np.repeat(np.arange(len(rows), dtype=np.int64), lens)
    i = np.array([int(x) for r in rows for x in r], dtype=np.int32)
    return rows, t, i, int(i.max()) + 1
"""

STOP = """
import os, signal, threading, time
import numpy as np
from tallisk import _engine as E
rng = np.random.default_rng(0)
def dense(n_txn, n_items, p):
    t, i = np.nonzero(rng.random((n_txn, n_items)) < p)
    return t.astype(np.int64), i.astype(np.int32)
kind = {kind!r}
if kind == "mine":
    t, i = dense(3000, 40, 0.5)
    call = lambda: E.mine_itemsets(t, i, 40, 2, min_len=41, target="closed")
elif kind == "apriori":
    t, i = dense(200000, 22, 0.9)
    call = lambda: E.mine_itemsets(t, i, 22, 1, algorithm="apriori")
elif kind == "count":
    t, i = dense(200000, 30, 0.5)
    cand = rng.integers(0, 30, size=(3_000_000, 6)).astype(np.int32)
    off = np.arange(0, cand.size + 1, 6, dtype=np.int64)
    call = lambda: E.count_itemsets(t, i, 30, off, cand.ravel())
else:
    t, i = dense(500, 18, 0.95)
    r = E.mine_itemsets(t, i, 18, 1)
    c = r["counts"].astype(np.float64)
    call = lambda: E.generate_rules(r["offsets"], r["items"], c, 500.0, 0.0, min_lift=1e9)
sent = []
def fire():
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
lat = []
for _ in range({repeat}):
    sent.clear()
    timer = threading.Timer(0.3, fire)
    timer.start()
    try:
        call()
        lat.append(float("nan"))
    except KeyboardInterrupt:
        lat.append(time.perf_counter() - sent[0])
    timer.join()
import json; print(json.dumps(lat))
"""

HANDOFF = """
import threading, time
import numpy as np
from tallisk import _engine as E
t = np.array([0, 0, 1, 1, 2], np.int64); i = np.array([0, 1, 0, 1, 1], np.int32)
def per_call():
    best = 1e9
    for _ in range(7):
        t0 = time.perf_counter()
        for _ in range(2000):
            E.mine_itemsets(t, i, 2, 1)
        best = min(best, (time.perf_counter() - t0) / 2000)
    return best
main = per_call()
other = []
th = threading.Thread(target=lambda: other.append(per_call())); th.start(); th.join()
import json; print(json.dumps((main, other[0])))
"""

MAX_ITEMSETS = (
    READ
    + """
from tallisk import _engine as E
from tallisk import mining
rows, t, i, n = read({path!r})
mc = int(np.ceil(0.4 * len(rows)))
def timed(f):
    t0 = time.perf_counter()
    try:
        f()
        return float("nan")
    except ValueError:
        return time.perf_counter() - t0
way = {way!r}
if way == "levelwise_contract":
    f = lambda: mining._mine(t, i, n, mc, 1, None, "all", "apriori", 10**6)
else:
    f = lambda: E.mine_itemsets(t, i, n, mc, max_itemsets=10**6, algorithm=way)
import json; print(json.dumps(min(timed(f) for _ in range({repeat}))))
"""
)

WHOLE = (
    READ
    + """
from tallisk import _engine as E
rows, t, i, n = read({path!r})
mc = int(np.ceil({support} * len(rows)))
way = {way!r}
if way == "pyfim_apriori":
    import fim
    f = lambda: fim.apriori(rows, supp=-mc, target="s")
else:
    f = lambda: E.mine_itemsets(t, i, n, mc, algorithm=way)
best = 1e9
for _ in range({repeat}):
    t0 = time.perf_counter(); out = f(); best = min(best, time.perf_counter() - t0)
import json; print(json.dumps((best, len(out) if way == "pyfim_apriori" else len(out["counts"]))))
"""
)

FILTER = (
    READ
    + """
from tallisk import _engine as E
from tallisk.mining import _derive_target
rows, t, i, n = read({path!r})
mc = int(np.ceil({support} * len(rows)))
r = E.mine_itemsets(t, i, n, mc, order="canonical")
o, it, c = r["offsets"], r["items"], r["counts"]
lengths = np.diff(o)
levels = []
for k in range(1, int(lengths.max()) + 1):
    at = np.flatnonzero(lengths == k)
    levels.append((it[o[at][:, None] + np.arange(k)], c[at]))
def best(f):
    b = 1e9
    for _ in range({repeat}):
        t0 = time.perf_counter(); f(); b = min(b, time.perf_counter() - t0)
    return b
out = {{}}
for target in ("closed", "maximal"):
    out[target] = (
        best(lambda: E.filter_target(o, it, c, target)),
        best(lambda: _derive_target(levels, target)),
        best(lambda: E.mine_itemsets(t, i, n, mc, target=target)),
    )
import json; print(json.dumps((len(c), out)))
"""
)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", default="/work/shared/data", help="folder of chess.dat, retail.dat, T10I4D100K.dat")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--sections", default="stop,max_itemsets,apriori,filter")
    args = ap.parse_args()
    sections = args.sections.split(",")
    path = lambda name: os.path.join(args.data, name + ".dat")  # noqa: E731
    lines = [f"# Runtime benchmark ({os.cpu_count()} logical CPUs, load {os.getloadavg()[0]:.1f} at start)", ""]

    if "stop" in sections:
        lines += ["## Stopping a call (SIGINT 0.3 s in; seconds from the signal to KeyboardInterrupt)", ""]
        lines += ["| call | workers | median | worst |", "|---|---|---|---|"]
        for kind in ("mine", "apriori", "count", "rules"):
            for threads in ("1", "2"):
                lat = json.loads(run(STOP.format(kind=kind, repeat=args.repeat), {"RAYON_NUM_THREADS": threads}))
                lines.append(f"| {kind} | {threads} | {statistics.median(lat):.3f} | {max(lat):.3f} |")
        main_s, other_s = json.loads(run(HANDOFF))
        lines += [
            "",
            f"A tiny mine_itemsets call: {main_s * 1e6:.1f} µs from the main thread (handed to the helper "
            f"thread), {other_s * 1e6:.1f} µs from another thread (run where it is called).",
            "",
        ]

    if "max_itemsets" in sections:
        lines += ["## chess at 0.4 with max_itemsets=10**6: seconds until the ValueError", ""]
        lines += ["| path | seconds |", "|---|---|"]
        for way in ("levelwise_contract", "apriori", "depth_first"):
            s = json.loads(run(MAX_ITEMSETS.format(path=path("chess"), way=way, repeat=args.repeat)))
            lines.append(f"| {way} | {s:.3f} |")
        lines.append("")

    if "apriori" in sections:
        lines += ["## Whole runs, target all: seconds (rows)", ""]
        lines += ["| data | support | apriori | depth_first | pyfim apriori |", "|---|---|---|---|---|"]
        for name, support in (("chess", 0.6), ("retail", 0.0005), ("T10I4D100K", 0.0005)):
            cells = []
            for way in ("apriori", "depth_first", "pyfim_apriori"):
                s, rows = json.loads(run(WHOLE.format(path=path(name), support=support, way=way, repeat=args.repeat)))
                cells.append(f"{s:.3f} ({rows})")
            lines.append(f"| {name} | {support} | " + " | ".join(cells) + " |")
        lines.append("")

    if "filter" in sections:
        lines += ["## Closed and maximal rows of every frequent itemset: seconds", ""]
        lines += [
            "| data | support | rows | target | filter_target | NumPy by levels | mining the target |",
            "|---|---|---|---|---|---|---|",
        ]
        for name, support in (("chess", 0.6), ("chess", 0.5), ("T10I4D100K", 0.0005)):
            n, out = json.loads(run(FILTER.format(path=path(name), support=support, repeat=args.repeat)))
            for target, (f, numpy_s, mined) in out.items():
                lines.append(f"| {name} | {support} | {n} | {target} | {f:.3f} | {numpy_s:.3f} | {mined:.3f} |")
        lines.append("")

    text = "\n".join(lines)
    print(text)
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "runtime.md"), "w") as f:
        f.write(text + "\n")


if __name__ == "__main__":
    t0 = time.perf_counter()
    main()
    print(f"\n({time.perf_counter() - t0:.0f} s)", file=sys.stderr)
