"""Rules benchmark: tallisk._engine.generate_rules against pyfim's arules and mlxtend's
association_rules, with the agreement of their answers checked in the same run.

    python3 bench/bench_rules.py --data /work/shared/data/chess.dat --data /work/shared/data/T10I4D100K.dat
    python3 bench/compare.py --rules --data ...      # the same section from the main benchmark

For every dataset and setting (min_support, min_confidence) the frequent itemsets of every
size are mined once, in the parent, with pyfim's fpgrowth (absolute minimum count
ceil(min_support * n)); ours and mlxtend get that same table. Each tool then runs in a
process of its own (best of up to 3 runs within 3 s; peak extra memory of the call alone,
through /proc/self/clear_refs):

* ``ours_c1``: generate_rules with max_consequent_len=1 (single-item consequents, the
  rules pyfim reports), on 2 workers and on 1 (``@1thread``);
* ``ours``: generate_rules with no consequent limit (every split, the rules mlxtend
  reports), on 2 workers and on 1;
* ``ours_mine_c1``: mine_itemsets + generate_rules, the whole job pyfim's arules does,
  once mine_itemsets is built (left out while it raises NotImplementedError);
* ``pyfim_arules``: fim.arules(baskets, supp=-m, conf, zmin=2, mode='o'), which mines and
  generates in one call; mode 'o' makes the rule support that of A ∪ C, as ours;
* ``pyfim_mine``: fim.fpgrowth alone on the same setting, so that the rule phase of
  arules (its time minus this, column pyfim_rule_phase_s) can be set against
  generate_rules alone;
* ``mlxtend_rules``: association_rules(itemsets, num_itemsets=n, metric='confidence')
  on the same table (supports = counts / n); stopped after --timeout seconds.

vs_peer is our time over the peer's whole call: pyfim_arules for the single-consequent
rows, mlxtend_rules for the others. Agreement: ours_c1 and pyfim_arules must report the
same rules with the same counts of A ∪ C and of A; ours and mlxtend the same rules with
their nine metrics within a relative 1e-9; one worker the same arrays as two. Results go
to bench/results/rules-<datasets>.{csv,md}.
"""

from __future__ import annotations

import argparse
import csv
import gc
import json
import math
import os
import pickle
import signal
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import datagen  # noqa: E402
import runner  # noqa: E402

# (min_support, min_confidence) per public file: mlxtend finishes the first, pyfim and ours all.
SETTINGS = {
    "chess": [(0.8, 0.9), (0.7, 0.9)],
    "T10I4D100K": [(0.002, 0.5), (0.0005, 0.5)],
    "retail": [(0.002, 0.5), (0.0005, 0.5)],
    "mushroom": [(0.3, 0.9)],
}
MLXTEND_METRICS = {
    "support": "support",
    "confidence": "confidence",
    "lift": "lift",
    "leverage": "leverage",
    "conviction": "conviction",
    "zhangs_metric": "zhangs_metric",
    "jaccard": "jaccard",
    "certainty": "certainty",
    "kulczynski": "kulczynski",
}
# Peers first: our answers are only turned into comparable dicts when the peer finished.
TOOLS = (
    "pyfim_mine",
    "pyfim_arules",
    "mlxtend_rules",
    "ours_c1",
    "ours_c1@1thread",
    "ours",
    "ours@1thread",
    "ours_mine_c1",
    "ours_mine_c1@1thread",
)


# ---- the tools (run in the child) -----------------------------------------------------------


def _table(z):
    return z["offsets"], z["items"], z["counts"].astype(np.float64)


def _rules_of(r):
    ao, ai = r["antecedent_offsets"], r["antecedent_items"]
    co, ci = r["consequent_offsets"], r["consequent_items"]
    return [(tuple(ai[ao[i] : ao[i + 1]].tolist()), tuple(ci[co[i] : co[i + 1]].tolist())) for i in range(len(ao) - 1)]


def prepare(tool, z):
    if tool.startswith("pyfim"):
        baskets = [[] for _ in range(int(z["n"]))]
        for t, i in zip(z["txn_ids"].tolist(), z["item_ids"].tolist(), strict=True):
            baskets[t].append(i)
        return baskets
    if tool == "mlxtend_rules":
        import pandas as pd

        offsets, items, counts = _table(z)
        sets = [frozenset(items[offsets[i] : offsets[i + 1]].tolist()) for i in range(len(counts))]
        return pd.DataFrame({"support": counts / float(z["n"]), "itemsets": sets})
    return z


def mine(tool, prepared, s):
    n, m, conf = s["n"], s["min_count"], s["min_confidence"]
    if tool.startswith("ours"):
        from tallisk import _engine

        z = prepared
        max_c = 1 if "c1" in tool else None
        if tool.startswith("ours_mine"):
            found = _engine.mine_itemsets(z["txn_ids"], z["item_ids"], int(z["n_items"]), m)
            table = found["offsets"], found["items"], found["counts"].astype(np.float64)
            return _engine.generate_rules(*table, found["n_transactions"], conf, max_consequent_len=max_c)
        return _engine.generate_rules(*_table(z), n, conf, max_consequent_len=max_c)
    import fim

    if tool == "pyfim_arules":
        return fim.arules(prepared, supp=-m, conf=100.0 * conf, zmin=2, report="ab", mode="o")
    if tool == "pyfim_mine":
        return fim.fpgrowth(prepared, target="s", supp=-m, zmin=1, report="a")
    from mlxtend.frequent_patterns import association_rules

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return association_rules(prepared, num_itemsets=n, metric="confidence", min_threshold=conf)


def digest(raw):
    import hashlib

    h = hashlib.sha1()
    for k in sorted(raw):
        h.update(k.encode())
        h.update(np.ascontiguousarray(raw[k]).tobytes())
    return h.hexdigest()


def answer(tool, raw):
    """Comparable answers: {(A, C): values}."""
    if tool.startswith("ours"):
        keys = _rules_of(raw)
        if "c1" in tool:
            vals = zip(raw["count"].tolist(), raw["antecedent_count"].tolist(), strict=True)
        else:
            vals = zip(*(raw[c].tolist() for c in MLXTEND_METRICS.values()), strict=True)
        return dict(zip(keys, vals, strict=True))
    if tool == "pyfim_arules":
        return {(tuple(sorted(body)), (head,)): (float(a), float(b)) for head, body, a, b in raw}
    if tool == "pyfim_mine":
        return len(raw)
    cols = [raw[c].to_numpy(dtype=float).tolist() for c in MLXTEND_METRICS]
    keys = [(tuple(sorted(a)), tuple(sorted(c))) for a, c in zip(raw["antecedents"], raw["consequents"], strict=True)]
    return dict(zip(keys, zip(*cols, strict=True), strict=True))


def child(job_path):
    with open(job_path) as f:
        job = json.load(f)
    result = {"status": "error"}
    try:
        z = dict(np.load(job["data"]))
        tool = job["tool"].split("@")[0]
        prepared = prepare(tool, z)
        gc.collect()
        runner.release_free_heap()
        runner.reset_peak()
        base = runner.status_kb()["VmRSS"]
        times, raw = [], None
        while len(times) < job["repeat"] and sum(times) < runner.REPEAT_BUDGET_S:
            raw = None
            t0 = time.perf_counter()
            raw = mine(tool, prepared, job["setting"])
            times.append(time.perf_counter() - t0)
        result.update(
            time_s=min(times),
            extra_mb=max(0, runner.status_kb()["VmHWM"] - base) / 1024,
            rules=len(raw["rule_row"]) if isinstance(raw, dict) else len(raw),
            status="ok",
        )
        if tool.startswith("ours"):
            result["digest"] = digest(raw)
        if job["answer"]:
            result["answer"] = answer(tool, raw)
    except NotImplementedError as e:
        result.update(status="not_implemented", error=str(e))
    except Exception as e:  # reported to the parent
        result.update(status="error", error=f"{type(e).__name__}: {e}")
    with open(job["out"], "wb") as f:
        pickle.dump(result, f, protocol=pickle.HIGHEST_PROTOCOL)


# ---- the parent -----------------------------------------------------------------------------


def run_child(tool, data_path, setting, args, tmp, want_answer=True):
    out, job = os.path.join(tmp, "rules.pkl"), os.path.join(tmp, "rules-job.json")
    if os.path.exists(out):
        os.remove(out)
    with open(job, "w") as f:
        json.dump(
            {
                "tool": tool,
                "data": data_path,
                "setting": setting,
                "out": out,
                "repeat": args.repeat,
                "answer": want_answer,
            },
            f,
        )
    env = dict(os.environ)
    if tool.endswith("@1thread"):
        env["RAYON_NUM_THREADS"] = "1"
    if args.build:
        env["PYTHONPATH"] = os.pathsep.join([args.build] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    proc = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "--child", job],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    timeout = args.timeout if tool.startswith("mlxtend") else 10 * args.timeout
    try:
        _, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return {"status": "killed", "error": f"timeout >{timeout:.0f}s"}
    if not os.path.exists(out):
        return {"status": "crash", "error": err.decode(errors="replace")[-300:]}
    with open(out, "rb") as f:
        return pickle.load(f)


def itemset_table(txn_ids, item_ids, n, min_count):
    """Every frequent itemset (pyfim fpgrowth, absolute count) as CSR + counts."""
    import fim

    baskets = [[] for _ in range(n)]
    for t, i in zip(txn_ids.tolist(), item_ids.tolist(), strict=True):
        baskets[t].append(i)
    sets = fim.fpgrowth(baskets, target="s", supp=-min_count, zmin=1, report="a")
    offsets = np.zeros(len(sets) + 1, dtype=np.int64)
    offsets[1:] = np.cumsum([len(s) for s, _ in sets])
    items = np.array([x for s, _ in sets for x in sorted(s)], dtype=np.int32)
    counts = np.array([c for _, c in sets], dtype=np.int64)
    return offsets, items, counts


def agree(a, b, metrics):
    """'ok', or what differs between two {(A, C): values} answers."""
    if a is None or b is None:
        return "-"
    missing, extra = set(b) - set(a), set(a) - set(b)
    if missing or extra:
        return f"DIFFERS: {len(missing)} missing, {len(extra)} extra (e.g. {next(iter(missing or extra))})"
    if not a:
        return "ok (no rules)"
    keys = list(a)
    x = np.array([a[k] for k in keys], dtype=float)
    y = np.array([b[k] for k in keys], dtype=float)
    if metrics:
        close = np.isclose(x, y, rtol=1e-9, atol=1e-12) | ((x == y) & np.isinf(x))
    else:
        close = x == y
    if close.all():
        return "ok"
    i, j = map(int, np.argwhere(~close)[0])
    return f"DIFFERS: {int((~close).sum())} values, e.g. rule {keys[i]} column {j}: {x[i, j]} vs {y[i, j]}"


def section(args, paths, log=print):
    """Runs every setting of every file; returns the rows (dicts) of the table."""
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for path in paths:
            name = os.path.splitext(os.path.basename(path))[0]
            txn_ids, item_ids, n_items = datagen.read_transactions(path)
            n = int(txn_ids.max()) + 1 if len(txn_ids) else 0
            for min_support, min_conf in SETTINGS.get(name, [(0.01, 0.5)]) if not args.settings else args.settings:
                m = max(1, math.ceil(min_support * n))
                offsets, items, counts = itemset_table(txn_ids, item_ids, n, m)
                data_path = os.path.join(tmp, f"{name}.npz")
                np.savez(
                    data_path,
                    offsets=offsets,
                    items=items,
                    counts=counts,
                    n=n,
                    n_items=n_items,
                    txn_ids=txn_ids,
                    item_ids=item_ids,
                )
                setting = {"n": n, "min_count": m, "min_confidence": min_conf}
                log(
                    f"{name} min_support={min_support} (count {m}) min_confidence={min_conf}: "
                    f"{len(counts)} frequent itemsets"
                )
                res = {}
                for tool in TOOLS:
                    if args.tools and not tool.startswith(tuple(args.tools.split(","))):
                        continue
                    peer = "pyfim_arules" if "c1" in tool else "mlxtend_rules"
                    want = not tool.startswith("ours") or ("@" not in tool and res.get(peer, {}).get("status") == "ok")
                    res[tool] = run_child(tool, data_path, setting, args, tmp, want)
                    r = res[tool]
                    if r["status"] == "not_implemented":
                        continue
                    log(
                        f"  {tool:22} {r['status']:>7} {r.get('time_s', math.nan):8.3f}s "
                        f"{r.get('rules', 0):>10} rules {r.get('extra_mb', math.nan):8.1f} MB extra "
                        f"{r.get('error', '')}"
                    )
                ans = {t: r.get("answer") for t, r in res.items()}
                checks = {
                    "ours_c1": agree(ans.get("ours_c1"), ans.get("pyfim_arules"), False),
                    "ours_mine_c1": agree(ans.get("ours_mine_c1"), ans.get("pyfim_arules"), False),
                    "ours": agree(ans.get("ours"), ans.get("mlxtend_rules"), True),
                }
                for tool, verdict in list(checks.items()):
                    if verdict != "-":
                        log(f"  agreement {tool} vs {'pyfim_arules' if 'c1' in tool else 'mlxtend_rules'}: {verdict}")
                    # one worker against two: the very same arrays, byte for byte
                    one, two = res.get(tool + "@1thread", {}).get("digest"), res.get(tool, {}).get("digest")
                    if one and two:
                        checks[tool + "@1thread"] = "same as 2 workers" if one == two else "DIFFERS from 2 workers"
                        log(f"  {tool}@1thread: {checks[tool + '@1thread']}")
                # arules mines and generates in one call; its time less fpgrowth's alone is an
                # estimate of its rule phase (noisy when both are a few milliseconds).
                pyfim_rule_phase = ""
                if all(res.get(t, {}).get("status") == "ok" for t in ("pyfim_arules", "pyfim_mine")):
                    pyfim_rule_phase = round(res["pyfim_arules"]["time_s"] - res["pyfim_mine"]["time_s"], 4)
                for tool, r in res.items():
                    if r["status"] == "not_implemented":
                        continue
                    peer = "pyfim_arules" if "c1" in tool else "mlxtend_rules" if tool.startswith("ours") else None
                    peer_t = res.get(peer, {}).get("time_s") if peer else None
                    rows.append(
                        {
                            "dataset": name,
                            "min_support": min_support,
                            "min_count": m,
                            "min_confidence": min_conf,
                            "itemsets": len(counts),
                            "tool": tool,
                            "status": r["status"],
                            "rules": r.get("rules", ""),
                            "time_s": round(r.get("time_s", math.nan), 4),
                            "extra_mb": round(r.get("extra_mb", math.nan), 1),
                            "vs_peer": round(r["time_s"] / peer_t, 3) if peer_t and r.get("time_s") else "",
                            "pyfim_rule_phase_s": pyfim_rule_phase if "c1" in tool or tool == "pyfim_arules" else "",
                            "agree": checks.get(tool, ""),
                            "note": r.get("error", "")[:120],
                        }
                    )
    return rows


def write(rows, out_dir, tag):
    os.makedirs(out_dir, exist_ok=True)
    if not rows:
        return
    with open(os.path.join(out_dir, f"rules-{tag}.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=list(rows[0]))
        w.writeheader()
        w.writerows(rows)
    cols = [
        "dataset",
        "min_support",
        "min_confidence",
        "itemsets",
        "tool",
        "rules",
        "time_s",
        "extra_mb",
        "vs_peer",
        "pyfim_rule_phase_s",
        "agree",
    ]
    md = ["| " + " | ".join(cols) + " |", "|" + "---|" * len(cols)]
    md += ["| " + " | ".join(str(r[c]) for c in cols) + " |" for r in rows]
    with open(os.path.join(out_dir, f"rules-{tag}.md"), "w") as f:
        f.write("\n".join(md) + "\n")


def section_args(args):
    """The options of this section from compare.py's: its own tool names, the installed
    tallisk package, mlxtend's timeout."""
    return argparse.Namespace(
        settings=getattr(args, "settings", None), tools=None, timeout=args.timeout, repeat=args.repeat, build=""
    )


def add_arguments(ap):
    ap.add_argument(
        "--rule-settings",
        dest="settings",
        type=lambda s: [tuple(map(float, p.split(":"))) for p in s.split(",")],
        help="min_support:min_confidence pairs, comma-separated (default: per dataset)",
    )


def main(argv=None):
    if argv is None and len(sys.argv) == 3 and sys.argv[1] == "--child":
        return child(sys.argv[2])
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", action="append", required=True, help="FIMI file; repeatable")
    ap.add_argument("--tools", help="comma-separated tool name prefixes (default: all)")
    ap.add_argument("--timeout", type=float, default=60.0, help="seconds for mlxtend (10x for the others)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--build", default="", help="directory to put first on PYTHONPATH in the children")
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    add_arguments(ap)
    args = ap.parse_args(argv)
    rows = section(args, args.data)
    tag = "-".join(os.path.splitext(os.path.basename(p))[0] for p in args.data)
    write(rows, args.out, tag)
    print(f"wrote {os.path.join(args.out, f'rules-{tag}.csv')}")


if __name__ == "__main__":
    main()
