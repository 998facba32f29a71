"""Benchmark and agreement check: _tallisk_rs against pyfim, mlxtend and efficient-apriori.

    python3 bench/compare.py                 # generated sparse + dense data, full settings
    python3 bench/compare.py --quick         # small data, a minute or so
    python3 bench/compare.py --data /path/retail.dat --supports 0.01,0.005 --k-max 4
    python3 bench/compare.py --publish       # also copy tables and charts to bench/report/

For every dataset and setting (min_support, k_max) it runs, each in its own process
(runner.py): every entry of _tallisk_rs that is implemented (an entry raising
NotImplementedError is skipped), and every installed peer at the same maximum itemset size
and the same absolute minimum count (pyfim takes the count itself; mlxtend and
efficient-apriori take a fraction chosen to select exactly that count). It records the
time of the mining call, the peak RSS of the child and the extra RSS the call needed, and
checks that every tool reports the same frequent k_max- and (k_max-1)-itemsets with the same
counts. A second section times the pair table (rust_compute_pairs) against a SciPy
sparse product and mlxtend's association_rules and compares their metric values.

Tables go to stdout and, with the charts, to bench/results/ (not committed).
"""

from __future__ import annotations

import argparse
import csv
import hashlib
import json
import math
import os
import pickle
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import agreement  # noqa: E402
import datagen  # noqa: E402
import peers  # noqa: E402

# --rounds repeats only the tools that finished within this time: the slow peers are far
# from the goals' margins and would multiply the run's length.
ROUND_LIMIT_S = 2.0
# mlxtend and efficient-apriori are pure Python or NumPy-at-a-time: past this many seconds
# they are stopped, and the lower (harder) supports of the same dataset are not tried.
SLOW_PEERS = (
    "mlxtend_apriori",
    "mlxtend_fpgrowth",
    "mlxtend_rules",
    "efficient_apriori",
    "mlxtend_fpmax",
    "pyfim_apriori_whole",
)

KNOWN_FILES = {  # default (supports, k_max) for the classic public files
    "retail": ([0.01, 0.005, 0.002], 4),
    "T10I4D100K": ([0.01, 0.005, 0.002], 4),
    "chess": ([0.9, 0.85, 0.8], 4),
    "mushroom": ([0.5, 0.4, 0.3], 4),
}


# Engine section (--engine): supports per public file for the whole output (no size limit),
# closed and maximal sets; candidate counting runs at the lowest of them.
ENGINE_SUPPORTS = {
    "chess": [0.9, 0.6, 0.5],
    "retail": [0.001, 0.0005],
    "T10I4D100K": [0.005, 0.0005],
}
# Published totals of frequent itemsets (all sizes) the engine must reproduce.
REFERENCE_TOTALS = {("chess", 0.9): 622, ("T10I4D100K", 0.005): 1073}
ENGINE_REFERENCE = (
    "pyfim_eclat_whole",
    "pyfim_fim",
    "pyfim_fpgrowth_whole",
    "pyfim_apriori_whole",
    "mlxtend_fpmax",
    "rust_compute_itemsets",
    "rust_compute_itemsets@1thread",
)


@dataclass
class Dataset:
    name: str
    path: str  # cached .npz for the children
    n_transactions: int
    n_items: int
    n_rows: int
    supports: list[float]
    k_max: int
    pair_supports: list[float]
    labels: np.ndarray = field(repr=False, default=None)


@dataclass
class Run:
    dataset: str
    k_max: int
    min_support: float
    min_count: int
    tool: str
    status: str
    time_s: float = math.nan
    prep_s: float = math.nan
    peak_mb: float = math.nan
    extra_mb: float = math.nan
    cpu_s: float = math.nan  # process CPU time of the fastest run
    answer: object = None
    note: str = ""
    agree: str = "-"


# ---- datasets ------------------------------------------------------------------------------


def cache_dataset(name, txn_ids, item_ids, n_items, cache_dir, supports, k_max, pair_supports, labels=None):
    labels = np.arange(n_items, dtype=np.int64) if labels is None else np.asarray(labels)
    n_txn = int(len(np.unique(txn_ids)))
    path = os.path.join(cache_dir, f"{name}.npz")
    np.savez(path, txn_ids=txn_ids, item_ids=item_ids, n_items=n_items, labels=labels, n_transactions=n_txn)
    return Dataset(name, path, n_txn, n_items, len(txn_ids), supports, k_max, pair_supports, labels)


def read_file(path, cache_dir):
    """FIMI file -> cached arrays; re-read only when the file changes."""
    st = os.stat(path)
    key = hashlib.sha1(f"{os.path.abspath(path)}:{st.st_size}:{st.st_mtime_ns}".encode()).hexdigest()[:12]
    cached = os.path.join(cache_dir, f"file-{key}.npz")
    if os.path.exists(cached):
        z = np.load(cached)
        return z["txn_ids"], z["item_ids"], int(z["n_items"])
    txn_ids, item_ids, n_items = datagen.read_transactions(path)
    np.savez(cached, txn_ids=txn_ids, item_ids=item_ids, n_items=n_items)
    return txn_ids, item_ids, n_items


def datasets(args, cache_dir):
    out = []
    supports = [float(s) for s in args.supports.split(",")] if args.supports else None
    if not args.data or args.generated:
        if args.quick:
            t, i, n = datagen.sparse(20_000, 2_000, 10.0, seed=0)
            out.append(
                cache_dataset(
                    "sparse-20k", t, i, n, cache_dir, supports or [0.01, 0.005], args.k_max or 3, [0.0, 0.005]
                )
            )
            t, i, n = datagen.dense(2_000, 50, 35.0, seed=0)
            out.append(
                cache_dataset("dense-2k", t, i, n, cache_dir, supports or [0.6, 0.5], args.k_max or 3, [0.0, 0.5])
            )
        else:
            t, i, n = datagen.sparse(100_000, 5_000, 10.0, seed=0)
            out.append(
                cache_dataset(
                    "sparse-100k", t, i, n, cache_dir, supports or [0.01, 0.005, 0.002], args.k_max or 4, [0.0, 0.002]
                )
            )
            # 60 items, ~38 per basket: most items in well over half of the baskets (chess-like).
            # 0.56 * 5000 is 2800.0000000000005 in doubles: our minimum count is 2801, while a
            # peer handed the fraction itself keeps 2800 (--naive-fractions shows the difference).
            t, i, n = datagen.dense(5_000, 60, 40.0, seed=0)
            out.append(
                cache_dataset("dense-5k", t, i, n, cache_dir, supports or [0.6, 0.56, 0.5], args.k_max or 4, [0.0, 0.5])
            )
    for path in args.data or []:
        name = os.path.splitext(os.path.basename(path))[0]
        t, i, n = read_file(path, cache_dir)
        default_supports, default_k = KNOWN_FILES.get(name, ([0.01], 3))
        s = supports or default_supports
        out.append(cache_dataset(name, t, i, n, cache_dir, s, args.k_max or default_k, [0.0, min(s)]))
    return out


# ---- running children -----------------------------------------------------------------------


def child_env(build, threads=None):
    env = dict(os.environ)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    paths = [p for p in (build, HERE) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env


def rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_child(tool, ds, setting, args, tmp):
    """One tool, one setting, one process. Returns the child's result dict, or a status of
    timeout / memory limit / crash."""
    out = os.path.join(tmp, f"{tool}.pkl")
    if os.path.exists(out):
        os.remove(out)
    job = os.path.join(tmp, "job.json")
    with open(job, "w") as f:
        json.dump({"tool": tool, "data": ds.path, "setting": setting.__dict__, "out": out, "repeat": args.repeat}, f)
    timeout = args.timeout * (1 if tool in SLOW_PEERS else args.fast_timeout_factor)
    threads = 1 if tool.endswith("@1thread") else None
    proc = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "runner.py"), job],
        env=child_env(args.build, threads),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    start = time.monotonic()
    killed = None
    while proc.poll() is None:
        if time.monotonic() - start > timeout:
            killed = f"timeout >{timeout:.0f}s"
        elif rss_kb(proc.pid) > args.mem_limit_gb * 1024 * 1024:
            killed = f"memory >{args.mem_limit_gb:g} GB"
        if killed:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            break
        time.sleep(0.05)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if killed:
        return {"status": "killed", "error": killed}
    if not os.path.exists(out):
        return {"status": "crash", "error": f"exit {proc.returncode}: {err[-500:]}"}
    with open(out, "rb") as f:
        return pickle.load(f)


def implemented_entries(args):
    """Which of our entries exist: an entry that raises NotImplementedError on a tiny input
    is left out of this run (it is picked up automatically once it is built)."""
    names = list(peers.OURS_ITEMSETS + peers.OURS_PAIRS)
    code = f"""
import json, numpy as np, _tallisk_rs as m, peers
d = peers.Data(np.array([1, 1, 2, 2, 3], np.int64), np.array([0, 1, 0, 1, 2], np.int32), 3,
               np.arange(3), 3)
s = peers.Setting(3, 0.5, 2, 1.5 / 3)
out = {{}}
for name in {names!r}:
    try:
        peers.TOOLS[name].mine(d, s)
        out[name] = "ok"
    except NotImplementedError:
        out[name] = "not implemented"
    except Exception as e:
        out[name] = f"{{type(e).__name__}}: {{e}}"
out["__file__"] = m.__file__
print(json.dumps(out))
"""
    proc = subprocess.run([sys.executable, "-c", code], env=child_env(args.build), capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"cannot import _tallisk_rs (build it, or pass --build DIR):\n{proc.stderr}")
    found = json.loads(proc.stdout)
    # an installed copy elsewhere on the path must not be timed by mistake
    print(f"_tallisk_rs from {found.pop('__file__')}")
    return found


def installed_peers(args):
    code = """
import importlib.util, json
print(json.dumps({m: importlib.util.find_spec(m) is not None
                  for m in ("fim", "mlxtend", "efficient_apriori", "pandas", "scipy")}))
"""
    found = json.loads(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout)
    need = {
        "pyfim_": ("fim",),
        "mlxtend_": ("mlxtend", "pandas", "scipy"),
        "efficient_": ("efficient_apriori",),
        "scipy_": ("scipy",),
    }
    ok = {}
    for tool in peers.PEER_ITEMSETS + peers.PEER_PAIRS + peers.PEER_ENGINE:
        mods = next(v for k, v in need.items() if tool.startswith(k))
        ok[tool] = all(found[m] for m in mods)
    return ok


def record(ds, setting, tool, res):
    run = Run(ds.name, setting.k_max, setting.min_support, setting.min_count, tool, res["status"])
    if res["status"] in ("ok", "not_implemented"):
        run.time_s = res.get("mine_s", math.nan)
        run.prep_s = res.get("prep_s", math.nan)
        run.peak_mb = res.get("peak_rss_kb", 0) / 1024
        run.extra_mb = res.get("mine_extra_kb", 0) / 1024
        run.cpu_s = res.get("mine_cpu_s", math.nan)
        run.answer = res.get("answer")
    else:
        run.note = res.get("error", "")[:200]
    return run


# ---- the itemset section ------------------------------------------------------------------


def reference_answer(runs):
    for name in ("pyfim_eclat", "pyfim_fpgrowth", "pyfim_apriori", "efficient_apriori", "mlxtend_fpgrowth"):
        for r in runs:
            if r.tool == name and r.status == "ok":
                return r
    return None


def check_itemsets(runs, setting, log):
    """Every answer against the reference peer, on the levels the tool reports."""
    ref = reference_answer(runs)
    if ref is None:
        return
    top = setting.k_max
    checked = []
    for r in runs:
        if r.status != "ok":
            continue
        levels = peers.levels_reported(r.tool, top)
        diffs = agreement.compare_levels(r.answer, ref.answer, levels)
        if r.answer.duplicates:
            r.agree = "DUPLICATE ROWS"
            log.append(f"  {r.tool}: {len(r.answer.duplicates)} duplicated rows, e.g. {r.answer.duplicates[:3]}")
        elif all(d.ok for d in diffs):
            r.agree = "ok" if r is not ref else "ref"
        else:
            r.agree = "MISMATCH"
            log.append(f"  {r.tool} vs {ref.tool}: " + " | ".join(d.describe() for d in diffs if not d.ok))
            for cause in agreement.diagnose(diffs, setting.min_count):
                log.append(f"    likely: {cause}")
        sizes = "/".join(str(len(r.answer.levels.get(k, {}))) for k in levels)
        checked.append(f"{r.tool}[{sizes}]")
        r.note = (r.note + f" sets(k={','.join(map(str, levels))})={sizes}").strip()
    log.append(f"  compared with {ref.tool} on levels {top - 1},{top} (sets per level): " + " ".join(checked))


def our_tools(names, ours, args):
    """Our implemented entries; with --one-thread-too each also as "<name>@1thread", run
    with a pool of one worker (the peers are single-threaded)."""
    tools = []
    for t in names:
        if ours.get(t) == "ok":
            tools.append(t)
            if args.one_thread_too:
                tools.append(t + "@1thread")
    return tools


def run_tools(tools, ds, setting, stopped, args, tmp, note=None):
    """Runs each tool on one dataset and setting, each in its own process. A slow peer
    stopped at a higher support is skipped at the lower (harder) ones; `stopped` carries
    that across settings. `note(tool, run)` adds to the note of a successful run."""
    here = []
    for tool in tools:
        if tool in stopped:
            here.append(
                Run(ds.name, setting.k_max, setting.min_support, setting.min_count, tool, "skipped", note=stopped[tool])
            )
            continue
        res = run_child(tool, ds, setting, args, tmp)
        run = record(ds, setting, tool, res)
        if res["status"] == "killed" and tool in SLOW_PEERS:
            stopped[tool] = f"{res['error']} at min_support {setting.min_support}"
        if note and run.status == "ok":
            run.note = (run.note + " " + note(tool, run)).strip()
        here.append(run)
        print(f"    {tool:36s} {run.status:8s} {run.time_s:9.3f}s  extra {run.extra_mb:8.1f} MB {run.note}", flush=True)
    return here


def again(here, ds, setting, args, tmp):
    """One more round of fresh processes for every tool that finished within ROUND_LIMIT_S,
    in the same order as the first (so a tool and its one-worker run alternate): each
    keeps its fastest time and its largest memory, and an answer that differs from the
    first round's is a mismatch."""
    for run in here:
        if run.status != "ok" or not run.time_s < ROUND_LIMIT_S:
            continue
        res = run_child(run.tool, ds, setting, args, tmp)
        if res["status"] != "ok":
            run.note = (run.note + f" a later round: {res['status']} {res.get('error', '')[:100]}").strip()
            continue
        if run.answer is not None and res.get("answer") != run.answer:
            run.agree = "MISMATCH"
            run.note = (run.note + " answer changed between rounds").strip()
        if res.get("mine_s", math.inf) < run.time_s:
            run.time_s, run.cpu_s = res["mine_s"], res.get("mine_cpu_s", math.nan)
        run.peak_mb = max(run.peak_mb, res.get("peak_rss_kb", 0) / 1024)
        run.extra_mb = max(run.extra_mb, res.get("mine_extra_kb", 0) / 1024)
        print(f"    {run.tool:36s} round    {res.get('mine_s', math.nan):9.3f}s  best {run.time_s:.3f}s", flush=True)


def itemset_section(dsets, ours, have, args, tmp, log):
    runs = []
    for ds in dsets:
        stopped = {}  # slow peer -> why it is not run at lower supports
        for s in sorted(ds.supports, reverse=True):
            m = agreement.min_count(s, ds.n_transactions)
            frac = s if args.naive_fractions else agreement.fraction_for_count(m, ds.n_transactions)
            setting = peers.Setting(ds.k_max, s, m, frac)
            print(f"[{ds.name}] min_support={s} (min_count {m}), k_max={ds.k_max}", flush=True)
            tools = our_tools(peers.OURS_ITEMSETS, ours, args)
            tools += [t for t in peers.PEER_ITEMSETS if have.get(t)]
            if args.tools:
                tools = [t for t in tools if any(t.startswith(p) for p in args.tools.split(","))]
            here = run_tools(tools, ds, setting, stopped, args, tmp)
            log.append(f"[{ds.name}] min_support={s} min_count={m} k_max={ds.k_max}")
            check_itemsets(here, setting, log)
            runs.extend(here)
    return runs


# ---- the engine section: whole output, closed, maximal, candidate counts ---------------------


def engine_tools(target, have, args):
    """Our engine entry (and its one-worker run) and the peers for one target."""
    ours = peers.OURS_COUNT if target == "count" else peers.OURS_ENGINE
    tools = []
    for t in ours:
        tools += [t, t + "@1thread"]
    if target == "count":
        tools += ["rust_compute_itemsets", "rust_compute_itemsets@1thread"]
    else:
        tools += [t for t in peers.PEER_ENGINE if have.get(t) and (t != "mlxtend_fpmax" or target == "maximal")]
    if args.tools:
        tools = [t for t in tools if any(t.startswith(p) for p in args.tools.split(","))]
    return tools


def check_engine(runs, ds, setting, log):
    """Every answer's digest against the reference peer's; published totals too."""
    ref = next((r for name in ENGINE_REFERENCE for r in runs if r.tool == name and r.status == "ok"), None)
    for r in runs:
        if r.status != "ok":
            continue
        r.note = (r.note + f" rows={sum(r.answer.per_length.values())}").strip()
        if ref is None or r.agree == "MISMATCH":  # a mismatch between rounds stands
            continue
        if r.answer.duplicates:
            r.agree = "DUPLICATE ROWS"
        elif r.answer.agrees(ref.answer):
            r.agree = "ok" if r is not ref else "ref"
        else:
            r.agree = "MISMATCH"
            log.append(f"  {r.tool}: {r.answer.describe()} vs {ref.tool}: {ref.answer.describe()}")
    if ref is not None:
        log.append(f"  {setting.target}: every answer compared with {ref.tool} ({ref.answer.describe()})")
    want = REFERENCE_TOTALS.get((ds.name, setting.min_support))
    if want is not None and setting.target == "all":
        for r in runs:
            if r.status == "ok" and r.tool.startswith("engine_mine"):
                got = sum(r.answer.per_length.values())
                verdict = "ok" if got == want else "MISMATCH"
                log.append(f"  {r.tool}: {got} frequent itemsets, published {want}: {verdict}")


def engine_section(dsets, have, args, tmp, log):
    runs = []
    for ds in dsets:
        supports = (
            [float(x) for x in args.supports.split(",")] if args.supports else ENGINE_SUPPORTS.get(ds.name, ds.supports)
        )
        stopped = {}  # per target: slow peer -> why it is not run at lower supports
        for s in sorted(supports, reverse=True):
            m = agreement.min_count(s, ds.n_transactions)
            frac = agreement.fraction_for_count(m, ds.n_transactions)
            targets = peers.ENGINE_TARGETS + (("count",) if s == min(supports) else ())
            for target in targets:
                setting = peers.Setting(0, s, m, frac, target)
                print(f"[{ds.name}] engine {target}, min_support={s} (min_count {m}), no size limit", flush=True)
                here = run_tools(
                    engine_tools(target, have, args), ds, setting, stopped.setdefault(target, {}), args, tmp
                )
                for _ in range(args.rounds - 1):
                    again(here, ds, setting, args, tmp)
                log.append(f"[{ds.name}] engine {target} min_support={s} min_count={m}")
                check_engine(here, ds, setting, log)
                for r in here:
                    r.k_max = target  # the table's setting column holds the target here
                    r.answer = None
                runs.extend(here)
    return runs


def engine_goals(rows):
    """Per row of ours: time against the fastest peer on 2 workers and on 1 (aim: at most
    half), extra memory against the fastest peer's, and the 1 -> 2 worker speed-up."""
    lines = []
    by = {(r["dataset"], r["min_support"], r["k_max"], r["tool"]): r for r in rows}
    for r in rows:
        if not r["tool"].startswith("engine_") or "@" in r["tool"] or r["status"] != "ok":
            continue
        one = by.get((r["dataset"], r["min_support"], r["k_max"], r["tool"] + "@1thread"))
        speedup = one["time_s"] / r["time_s"] if one and one["status"] == "ok" and r["time_s"] > 0 else math.nan
        # CPU time on two workers against one: the work the split adds, whatever the
        # machine's speed did between the runs
        cpu2, cpu1 = float(r.get("cpu_s", math.nan)), float(one.get("cpu_s", math.nan)) if one else math.nan
        cpu = cpu2 / cpu1 if cpu1 > 0 else math.nan
        r1 = one["ratio"] if one else math.nan
        half = "yes" if r["ratio"] <= 0.5 and r1 <= 0.5 else "NO"
        mem = "yes" if not (r["mem_ratio"] > 1) else "NO"
        peer = r["fastest_peer"] or "-"
        lines.append(
            f"{r['dataset']:11s} minsup={r['min_support']:<7g} {r['k_max']:8s} vs {peer:22s}"
            f" ratio 2w {r['ratio']:.2f} 1w {r1:.2f} half={half}  mem {r['mem_ratio']:.2f} ok={mem}"
            f"  1->2 workers {speedup:.2f}x ({one['time_s'] if one else math.nan:.3f}s -> {r['time_s']:.3f}s)"
            f"  cpu 2w/1w {cpu:.2f}"
        )
    return lines


def pair_rows_note(tool, run):
    rows = len(run.answer["antecedent" if tool == "mlxtend_rules" else "item_A"])
    return f"rows={rows}"


# ---- the pair section ---------------------------------------------------------------------


def pair_section(dsets, ours, have, args, tmp, log):
    runs = []
    for ds in dsets:
        stopped = {}
        for s in sorted(ds.pair_supports, reverse=True):
            m = agreement.min_count(s, ds.n_transactions)
            setting = peers.Setting(2, s, m, agreement.fraction_for_count(m, ds.n_transactions))
            print(f"[{ds.name}] pairs, min_support={s} (min_count {m})", flush=True)
            tools = our_tools(peers.OURS_PAIRS, ours, args)
            if s <= 0:  # the classic entry gives frequent pairs only and needs a threshold
                tools = [t for t in tools if not t.startswith("rust_classic_compute_pairs")]
            tools += [t for t in peers.PEER_PAIRS if have.get(t)]
            here = run_tools(tools, ds, setting, stopped, args, tmp, note=pair_rows_note)
            log.append(f"[{ds.name}] pairs min_support={s} min_count={m}")
            check_pairs(here, ds, log)
            for r in here:
                r.answer = None  # tables of millions of rows: keep only the figures
            runs.extend(here)
    return runs


def check_pairs(runs, ds, log):
    by = {r.tool: r for r in runs if r.status == "ok"}
    ref_sp = by.get("scipy_pairs")
    ref_ml = by.get("mlxtend_rules")
    for r in runs:
        if r.status != "ok" or r.tool.split("@")[0] not in peers.OURS_PAIRS:
            continue
        verdicts = []
        if ref_sp is not None:
            d = agreement.compare_pair_tables(
                r.answer, ref_sp.answer, ds.labels, metrics=agreement.PAIR_METRICS + ("cosine", "instances")
            )
            verdicts.append("scipy ok" if d.ok else "scipy MISMATCH")
            log.append(f"  {r.tool} vs scipy_pairs (counts and 7 metrics): {d.describe()}")
        if ref_ml is not None:
            d = agreement.compare_pair_tables(r.answer, ref_ml.answer, ds.labels)
            verdicts.append("mlxtend ok" if d.ok else "mlxtend MISMATCH")
            log.append(f"  {r.tool} vs mlxtend association_rules: {d.describe()}")
        r.agree = ", ".join(verdicts) or "-"


# ---- tables and charts ---------------------------------------------------------------------


def shown(r):
    """Time, or why there is none ("killed timeout >40s", "not_implemented", ...)."""
    if r["status"] == "ok":
        return fmt_t(r["time_s"])
    if r["status"] in ("killed", "skipped"):
        return r["status"] + " " + r["note"].split(" at ")[0]
    return r["status"]


def fmt_t(x):
    return "-" if not math.isfinite(x) else (f"{x:.3f}" if x < 10 else f"{x:.1f}")


def annotate(runs, peer_names):
    """Ratios against the fastest peer of the same dataset and setting."""
    rows = []
    keys = sorted({(r.dataset, r.min_support, r.k_max) for r in runs}, key=lambda k: (k[0], -k[1]))
    for key in keys:
        group = [r for r in runs if (r.dataset, r.min_support, r.k_max) == key]
        ok_peers = [r for r in group if r.tool in peer_names and r.status == "ok"]
        fastest = min(ok_peers, key=lambda r: r.time_s, default=None)
        mlx = [r for r in group if r.tool.startswith("mlxtend")]
        mlx_ok = [r.time_s for r in mlx if r.status == "ok"]
        mlx_floor = [_killed_seconds(r) for r in mlx if r.status in ("killed", "skipped")]
        for r in group:
            row = dict(
                dataset=r.dataset,
                k_max=r.k_max,
                min_support=r.min_support,
                min_count=r.min_count,
                tool=r.tool,
                status=r.status,
                time_s=r.time_s,
                prep_s=r.prep_s,
                peak_mb=r.peak_mb,
                extra_mb=r.extra_mb,
                cpu_s=r.cpu_s,
                agree=r.agree,
                note=r.note,
                fastest_peer="",
                ratio=math.nan,
                mem_ratio=math.nan,
                vs_mlxtend="",
            )
            if fastest is not None and r.status == "ok":
                row["fastest_peer"] = fastest.tool
                row["ratio"] = r.time_s / fastest.time_s if fastest.time_s > 0 else math.nan
                row["mem_ratio"] = r.extra_mb / fastest.extra_mb if fastest.extra_mb > 0 else math.nan
            if r.status == "ok" and not r.tool.startswith("mlxtend") and r.time_s > 0:
                if mlx_ok:
                    row["vs_mlxtend"] = _times(min(mlx_ok) / r.time_s)
                elif any(math.isfinite(x) for x in mlx_floor):
                    row["vs_mlxtend"] = ">" + _times(max(x for x in mlx_floor if math.isfinite(x)) / r.time_s)
            rows.append(row)
    return rows


def _times(x):
    return f"{x:.2f}x" if x < 1 else (f"{x:.1f}x" if x < 10 else f"{x:.0f}x")


def _killed_seconds(r):
    text = r.note
    if "timeout >" in text:
        return float(text.split("timeout >")[1].split("s")[0])
    return math.nan


COLUMNS = [
    "dataset",
    "k_max",
    "min_support",
    "min_count",
    "tool",
    "status",
    "time_s",
    "ratio",
    "vs_mlxtend",
    "peak_mb",
    "extra_mb",
    "mem_ratio",
    "agree",
    "prep_s",
    "note",
    "cpu_s",
]


def write_csv(rows, path):
    with open(path, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=COLUMNS + ["fastest_peer"])
        w.writeheader()
        for r in rows:
            w.writerow({k: r[k] for k in COLUMNS + ["fastest_peer"]})


def markdown(rows, title):
    head = [
        "dataset",
        "k_max",
        "min_support",
        "min_count",
        "tool",
        "time (s)",
        "/ fastest peer",
        "vs mlxtend",
        "peak RSS (MB)",
        "extra RSS (MB)",
        "agreement",
        "note",
    ]
    lines = [f"### {title}", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in rows:
        status = shown(r)
        ratio = f"{r['ratio']:.2f}" if math.isfinite(r["ratio"]) else "-"
        peak = f"{r['peak_mb']:.0f}" if math.isfinite(r["peak_mb"]) else "-"
        extra = f"{r['extra_mb']:.1f}" if math.isfinite(r["extra_mb"]) else "-"
        note = "" if r["status"] in ("killed", "skipped") else r["note"].replace("|", "/")
        lines.append(
            "| "
            + " | ".join(
                map(
                    str,
                    [
                        r["dataset"],
                        r["k_max"],
                        r["min_support"],
                        r["min_count"],
                        r["tool"],
                        status,
                        ratio,
                        r["vs_mlxtend"] or "-",
                        peak,
                        extra,
                        r["agree"],
                        note,
                    ],
                )
            )
            + " |"
        )
    return "\n".join(lines) + "\n"


def print_table(rows, title):
    print(f"\n== {title} ==")
    fmt = "{:14s} {:>5s} {:>8s} {:>8s} {:38s} {:>20s} {:>8s} {:>9s} {:>8s} {:>9s} {:>7s}  {}"
    print(
        fmt.format(
            "dataset",
            "k_max",
            "minsup",
            "mincount",
            "tool",
            "time_s",
            "/fastest",
            "vs_mlxt",
            "peak_MB",
            "extra_MB",
            "mem/fp",
            "agreement",
        )
    )
    for r in rows:
        t = shown(r)
        print(
            fmt.format(
                r["dataset"],
                str(r["k_max"]),
                f"{r['min_support']:g}",
                str(r["min_count"]),
                r["tool"],
                t,
                f"{r['ratio']:.2f}" if math.isfinite(r["ratio"]) else "-",
                r["vs_mlxtend"] or "-",
                f"{r['peak_mb']:.0f}" if math.isfinite(r["peak_mb"]) else "-",
                f"{r['extra_mb']:.1f}" if math.isfinite(r["extra_mb"]) else "-",
                f"{r['mem_ratio']:.2f}" if math.isfinite(r["mem_ratio"]) else "-",
                r["agree"],
            )
        )


def chart(rows, path, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = sorted({r["dataset"] for r in rows})
    tools = sorted({r["tool"] for r in rows})
    colour = {t: plt.get_cmap("tab20")(i % 20) for i, t in enumerate(tools)}  # one colour per tool everywhere
    fig, axes = plt.subplots(1, len(names), figsize=(6 * len(names), 4.5), squeeze=False)
    for ax, name in zip(axes[0], names, strict=True):
        mine = [r for r in rows if r["dataset"] == name]
        for tool in sorted({r["tool"] for r in mine}):
            pts = sorted((r["min_support"], r["time_s"]) for r in mine if r["tool"] == tool and r["status"] == "ok")
            if not pts:
                continue
            style = "-o" if tool.startswith("rust_") else "--s"
            ax.plot(
                [max(p[0], 1e-5) for p in pts],
                [max(p[1], 1e-4) for p in pts],
                style,
                label=tool,
                markersize=4,
                color=colour[tool],
            )
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.invert_xaxis()
        ax.set_xlabel("min_support (log; harder to the right; 0 drawn at 1e-5)")
        ax.set_ylabel("time of the mining call (s, log)")
        k = mine[0]["k_max"] if mine else ""
        ax.set_title(f"{name} (k_max {k})")
        ax.grid(True, which="both", alpha=0.3)
    # One legend for all panels, beside them, so no curve is hidden under it.
    handles = {}
    for ax in axes[0]:
        for h, label in zip(*ax.get_legend_handles_labels(), strict=True):
            handles.setdefault(label, h)
    fig.legend(handles.values(), handles.keys(), fontsize=7, loc="center left", bbox_to_anchor=(1.0, 0.5))
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=90, bbox_inches="tight")
    plt.close(fig)


def goals(rows, peer_names):
    """One line per entry of ours and setting: faster than the fastest peer, >=20x mlxtend,
    extra memory no higher than the fastest peer's."""
    lines = []
    for r in rows:
        if not r["tool"].startswith("rust_") or r["status"] != "ok" or not r["fastest_peer"]:
            continue
        fast = "yes" if r["ratio"] < 1 else "NO"
        v = r["vs_mlxtend"]
        mlx = "-" if not v else ("yes" if float(v.strip(">x")) >= 20 else ("NO" if not v.startswith(">") else "open"))
        mem = "yes" if not (r["mem_ratio"] > 1) else "NO"
        lines.append(
            f"{r['dataset']:14s} minsup={r['min_support']:<8g} {r['tool']:36s} faster-than-fastest-peer"
            f"({r['fastest_peer']})={fast} ({r['ratio']:.2f}) >=20x-mlxtend={mlx} ({v or '-'}) "
            f"mem<=fastest-peer={mem} ({r['mem_ratio']:.2f})"
        )
    return lines


CHART_TITLES = {
    "itemsets": "Frequent itemsets: time vs min_support",
    "pairs": "Pair table: time vs min_support",
    "engine": "Package engine (no size limit): time vs min_support",
}


def replot(args):
    for kind, title in CHART_TITLES.items():
        path = os.path.join(args.out, f"{kind}-{args.replot}.csv")
        if not os.path.exists(path):
            continue
        with open(path) as f:
            rows = [dict(r, min_support=float(r["min_support"]), time_s=float(r["time_s"])) for r in csv.DictReader(f)]
        png = os.path.join(args.out, f"{kind}-{args.replot}.png")
        chart(rows, png, title)
        if args.publish:
            import shutil

            shutil.copy(png, os.path.join(HERE, "report", os.path.basename(png)))


# ---- main ---------------------------------------------------------------------------------


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small generated data, short timeouts")
    ap.add_argument("--data", action="append", help="FIMI-format file (one transaction per line); repeatable")
    ap.add_argument("--generated", action="store_true", help="with --data: also run the generated datasets")
    ap.add_argument("--supports", help="comma-separated min_support values (default: per dataset)")
    ap.add_argument("--k-max", type=int, help="largest itemset size (default: per dataset)")
    ap.add_argument("--tools", help="comma-separated tool name prefixes to run (default: all)")
    ap.add_argument("--timeout", type=float, default=None, help="seconds for mlxtend / efficient-apriori runs")
    ap.add_argument("--mem-limit-gb", type=float, default=4.0, help="kill a child above this RSS")
    ap.add_argument("--build", default=None, help="directory holding _tallisk_rs (default: build/dev)")
    ap.add_argument(
        "--one-thread-too", action="store_true", help="also run each entry of ours with RAYON_NUM_THREADS=1"
    )
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs (while under 3 s in total)")
    ap.add_argument(
        "--rounds",
        type=int,
        default=1,
        help=f"engine section: run every tool that took under {ROUND_LIMIT_S:g} s this many times, each "
        "in a fresh process, keeping its best time and its largest memory (the one- and two-worker "
        "runs alternate, so slow drifts of the machine hit both)",
    )
    ap.add_argument("--skip-pairs", action="store_true")
    ap.add_argument("--skip-itemsets", action="store_true")
    ap.add_argument(
        "--engine",
        action="store_true",
        help="run only the engine section: whole output, closed, maximal sets and candidate counts",
    )
    ap.add_argument(
        "--naive-fractions",
        action="store_true",
        help="hand mlxtend / efficient-apriori the raw min_support instead of a matched fraction",
    )
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    ap.add_argument("--publish", action="store_true", help="copy tables and charts to bench/report/")
    ap.add_argument("--replot", metavar="TAG", help="redraw the charts of an earlier run from its CSV files")
    ap.add_argument(
        "--rules",
        action="store_true",
        help="also run the rules section (bench_rules.py: generate_rules vs pyfim arules and mlxtend) "
        "on the --data files",
    )
    import bench_rules

    bench_rules.add_arguments(ap)
    args = ap.parse_args(argv)
    if args.replot:
        return replot(args)
    if args.timeout is None:
        args.timeout = 20.0 if args.quick else 40.0
    args.fast_timeout_factor = 5.0
    if args.build is None:
        default = os.path.join(ROOT, "build", "dev")
        args.build = default if os.path.isdir(default) else ""
    os.makedirs(args.out, exist_ok=True)
    cache = os.path.join(args.out, "cache")
    os.makedirs(cache, exist_ok=True)

    started = time.monotonic()
    ours = implemented_entries(args)
    have = installed_peers(args)
    print("our entries: " + ", ".join(f"{k}={v}" for k, v in ours.items()))
    print("peers: " + ", ".join(f"{k}={'yes' if v else 'NOT INSTALLED'}" for k, v in have.items()))
    dsets = datasets(args, cache)
    for ds in dsets:
        print(f"dataset {ds.name}: {ds.n_transactions} transactions, {ds.n_items} item ids, {ds.n_rows} rows")
    log = []
    tag = "quick" if args.quick else "full"
    if args.data and not args.generated:
        tag = "-".join(d.name for d in dsets)
    md = [
        f"Run of {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {os.cpu_count()} cores; "
        f"slow peers stopped after {args.timeout:g}s.",
        "",
    ]
    peer_names = set(peers.PEER_ITEMSETS) | set(peers.PEER_PAIRS) | set(peers.PEER_ENGINE)
    peer_names |= set(peers.PEER_COUNT) | {t + "@1thread" for t in peers.PEER_COUNT}
    sections = [
        ("itemsets", itemset_section, "frequent itemsets", "Frequent itemsets", args.skip_itemsets),
        (
            "pairs",
            pair_section,
            "pair table (all co-occurring pairs at min_support 0)",
            "Pair table: rust_compute_pairs vs SciPy X.T @ X vs mlxtend rules",
            args.skip_pairs,
        ),
    ]
    if args.engine:
        sections = [
            (
                "engine",
                lambda d, o, h, a, t, lg: engine_section(d, h, a, t, lg),
                "package engine (setting column = target; no size limit)",
                "Package engine: whole output, closed, maximal sets, candidate counts (k_max column = target)",
                False,
            )
        ]
    glines = []
    with tempfile.TemporaryDirectory() as tmp:
        for kind, section, table_title, md_title, skip in sections:
            if skip:
                continue
            rows = annotate(section(dsets, ours, have, args, tmp, log), peer_names)
            if kind == "engine":
                glines += engine_goals(rows)
            print_table(rows, table_title)
            write_csv(rows, os.path.join(args.out, f"{kind}-{tag}.csv"))
            drawn = rows
            if kind == "engine":
                drawn = [dict(r, tool=f"{r['tool']} {r['k_max']}", k_max="none") for r in rows]
            chart(drawn, os.path.join(args.out, f"{kind}-{tag}.png"), CHART_TITLES[kind])
            md.append(markdown(rows, md_title))
            if kind != "engine":
                glines += goals(rows, peer_names)
    if args.rules:
        print("\n== rules ==")
        rule_rows = bench_rules.section(
            bench_rules.section_args(args), args.data or [], log=lambda line: (print(line), log.append(line))
        )
        bench_rules.write(rule_rows, args.out, tag)
        if rule_rows:
            with open(os.path.join(args.out, f"rules-{tag}.md")) as f:
                md += ["### Rules (generate_rules vs pyfim arules and mlxtend association_rules)", "", f.read(), ""]
    print("\n== agreement ==")
    print("\n".join(log))
    print("\n== goals ==")
    print("\n".join(glines) or "(no entry of ours ran)")
    md += ["### Agreement", "", "```", *log, "```", "", "### Goals", "", "```", *glines, "```", ""]
    report_name = f"report-{'engine-' if args.engine else ''}{tag}.md"
    with open(os.path.join(args.out, report_name), "w") as f:
        f.write("\n".join(md))
    if args.publish:
        import shutil

        report = os.path.join(HERE, "report")
        os.makedirs(report, exist_ok=True)
        for name in (
            report_name,
            f"itemsets-{tag}.png",
            f"itemsets-{tag}.csv",
            f"pairs-{tag}.csv",
            f"pairs-{tag}.png",
            f"engine-{tag}.csv",
            f"engine-{tag}.png",
        ):
            src = os.path.join(args.out, name)
            if os.path.exists(src):
                shutil.copy(src, os.path.join(report, name))
    print(f"\nwrote {args.out} in {time.monotonic() - started:.0f}s")


if __name__ == "__main__":
    main()
