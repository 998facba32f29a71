"""Labels in, table out: the calls users make, against pyfim and mlxtend given the same input.

    python3 bench/bench_labels.py                 # every section, every data set found
    python3 bench/bench_labels.py --quick         # small rows only (a smoke run)
    python3 bench/bench_labels.py --publish       # also write bench/report/package.md

Sections, each row run in a process of its own (``--child``), with the worker count set
through ``RAYON_NUM_THREADS`` (1 and 2):

* **itemsets**: ``tallisk.frequent_itemsets(baskets, min_count=m, target=t)`` on a list of
  baskets of strings (read before the clock starts), the whole call, against the fastest of
  pyfim's ``eclat``, ``fpgrowth``, ``relim`` and ``sam`` given the same list and target
  (``supp=-m``, ``report="a"``). The time inside the engine's miners is measured too, so
  the share of the call outside the engine is reported. Every row checks that tallisk and pyfim
  found the same sets with the same counts.
* **rules**: ``frequent_itemsets`` then ``association_rules(max_consequent_len=1)`` against
  ``fim.arules`` (``mode="o"``: the support of A and C together, one-item consequents), and
  ``association_rules`` alone against mlxtend's ``association_rules`` on the same itemsets
  (mlxtend's table built from ours).
* **reading**: ``Transactions.from_baskets`` against pyfim reading the same lists (``eclat``
  with nothing frequent, so its time is reading and counting items), and
  ``Transactions.from_long`` on an Instacart-like table (3 M orders of 10 products, 50 k
  product names) against ``pd.factorize`` of its two columns (the two taking turns), with
  the peak memory of each call over the loaded table.

Time: best of up to ``--repeat`` runs (within a budget); pyfim and mlxtend run single-threaded,
so they are measured once, in the one-worker child. Data: the FIMI files of
/work/shared/data, and mushroom.dat / groceries.csv from bench/data/ when present.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import pickle
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_package import EngineClock  # noqa: E402  (the time inside the native calls)
from runner import reset_peak, status_kb  # noqa: E402  (memory probes)

SHARED = "/work/shared/data"
TARGETS = ("all", "closed", "maximal")
# (data, min_support) rows of the itemsets section, as the goals name them
ITEMSET_ROWS = [
    ("mushroom", 0.1), ("mushroom", 0.2), ("chess", 0.6), ("chess", 0.5),
    ("groceries", 0.001), ("T10I4D100K", 0.0005), ("retail", 0.0005),
]  # fmt: skip
RULE_ROWS = [("groceries", 0.001, 0.5), ("chess", 0.6, 0.9)]
QUICK_ITEMSETS = [("chess", 0.8), ("retail", 0.005)]
QUICK_RULES = [("chess", 0.8, 0.9)]
PYFIM_MINERS = ("eclat", "fpgrowth", "relim", "sam")
REPEAT_BUDGET_S = 4.0
# The engine's own work, as "inside the engine" counts it: the miners and rule generation
# of both native modules. The package's native helpers (the label columns, the basket
# factoriser, grouping, sorting) count as the package layer's time.
MINERS = ("mine_itemsets", "generate_rules", "count_itemsets", "filter_target")
TIMEOUT_S = 900


# ---- data ------------------------------------------------------------------------------------


def data_path(name: str) -> str | None:
    for path in (os.path.join(HERE, "data", f"{name}.dat"), os.path.join(HERE, "data", f"{name}.csv"),
                 os.path.join(SHARED, f"{name}.dat")):  # fmt: skip
        if os.path.exists(path):
            return path
    return None


def load_baskets(name: str) -> list[list[str]]:
    """One basket of string labels per line: FIMI files split on blanks, CSV files (the
    groceries list) on commas."""
    path = data_path(name)
    assert path is not None, name
    with open(path) as f:
        lines = f.read().splitlines()
    sep = "," if path.endswith(".csv") else None
    return [[x.strip() for x in line.split(sep) if x.strip()] for line in lines if line.strip()]


def instacart_like(n_orders: int, seed: int = 0):
    """Long table: ``n_orders`` orders of 10 products each, 50 k product names with a Zipf
    popularity, order numbers increasing (as exports come), labels as pandas strings."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    names = np.array([f"product {i:05d} of the catalogue" for i in range(50_000)], dtype=object)
    popular = rng.zipf(1.3, size=n_orders * 10) % names.size
    order = np.repeat(np.arange(n_orders, dtype=np.int64) * 3 + 1_000_000, 10)
    return pd.DataFrame({"order": order, "product": pd.array(names[popular], dtype="str")})


# ---- clocks ----------------------------------------------------------------------------------


def best_of(call, repeat: int, clock: EngineClock | None = None) -> tuple[float, float | None, object]:
    """(best time, engine time of that run, last result)."""
    times, engine, out = [], [], None
    while len(times) < repeat and sum(times) < REPEAT_BUDGET_S:
        out = None
        gc.collect()
        if clock:
            clock.total = 0.0
        t0 = time.perf_counter()
        out = call()
        times.append(time.perf_counter() - t0)
        if clock:
            engine.append(clock.total)
    i = int(np.argmin(times))
    return times[i], (engine[i] if clock else None), out


# ---- jobs (run in the child) -------------------------------------------------------------------


def job_itemsets(job: dict) -> dict:
    import tallisk

    baskets = load_baskets(job["data"])
    m = math.ceil(job["support"] * len(baskets))
    clock = EngineClock(MINERS)
    target = job["target"]
    t, engine, df = best_of(lambda: tallisk.frequent_itemsets(baskets, min_count=m, target=target), job["repeat"],
                            clock)  # fmt: skip
    out = {"time_s": t, "engine_s": engine, "rows": len(df), "min_count": m, "n": len(baskets)}
    if job["peers"]:
        import fim

        ours = dict(zip(map(frozenset, df["itemset"]), df["count"].tolist(), strict=True))
        del df
        peers = {}
        code = {"all": "s", "closed": "c", "maximal": "m"}[target]
        for miner in PYFIM_MINERS:
            fn = getattr(fim, miner)
            pt, _, raw = best_of(lambda fn=fn: fn(baskets, target=code, supp=-m, zmin=1, report="a"), job["repeat"])
            same = len(raw) == len(ours) and all(ours.get(frozenset(s)) == c for s, c in raw)
            peers[miner] = {"time_s": pt, "same": same}
            del raw
        out["pyfim"] = peers
    return out


def job_rules(job: dict) -> dict:
    import tallisk

    baskets = load_baskets(job["data"])
    m = math.ceil(job["support"] * len(baskets))
    conf = job["conf"]
    clock = EngineClock(MINERS)

    def whole():
        itemsets = tallisk.frequent_itemsets(baskets, min_count=m)
        return tallisk.association_rules(itemsets, min_confidence=conf, max_consequent_len=1)

    t, engine, rules = best_of(whole, job["repeat"], clock)
    itemsets = tallisk.frequent_itemsets(baskets, min_count=m)
    tr, engine_r, _ = best_of(lambda: tallisk.association_rules(itemsets, min_confidence=conf, max_consequent_len=1),
                              job["repeat"], clock)  # fmt: skip
    t_all, _, all_rules = best_of(lambda: tallisk.association_rules(itemsets, min_confidence=conf), job["repeat"])
    out = {"time_s": t, "engine_s": engine, "rules_s": tr, "rules_engine_s": engine_r, "rows": len(rules),
           "all_rules_s": t_all, "all_rows": len(all_rules), "min_count": m, "n": len(baskets)}  # fmt: skip
    if job["peers"]:
        import fim

        ours = {(frozenset(a), c[0]): (k, f) for a, c, k, f in
                zip(rules["antecedent"], rules["consequent"], rules["count"].tolist(), rules["confidence"].tolist(),
                    strict=True)}  # fmt: skip
        pt, _, raw = best_of(lambda: fim.arules(baskets, supp=-m, conf=conf * 100, zmin=2, report="ac", mode="o"),
                             job["repeat"])  # fmt: skip
        same = len(raw) == len(ours) and all(
            (got := ours.get((frozenset(body), head))) is not None and got[0] == k and math.isclose(got[1], f)
            for head, body, k, f in raw
        )
        out["pyfim"] = {"time_s": pt, "same": same}
    return out


def job_mlxtend(job: dict) -> dict:
    """mlxtend's association_rules on our itemsets (its table built from ours), once."""
    import pandas as pd
    import tallisk
    from mlxtend.frequent_patterns import association_rules as mlx_rules

    baskets = load_baskets(job["data"])
    m = math.ceil(job["support"] * len(baskets))
    itemsets = tallisk.frequent_itemsets(baskets, min_count=m)
    frame = pd.DataFrame({"support": itemsets["support"], "itemsets": itemsets["itemset"].map(frozenset)})
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        t, _, raw = best_of(lambda: mlx_rules(frame, num_itemsets=len(baskets), min_threshold=job["conf"]), 1)
    return {"time_s": t, "rows": len(raw)}


def job_reading(job: dict) -> dict:
    out: dict = {}
    if job["what"] == "baskets":
        import tallisk

        baskets = load_baskets(job["data"])
        out["labels"] = sum(map(len, baskets))
        out["time_s"], _, _ = best_of(lambda: tallisk.Transactions.from_baskets(baskets), job["repeat"])
        if job["peers"]:
            import fim

            # nothing is frequent: pyfim's time is reading the lists and counting the items
            out["pyfim_s"], _, _ = best_of(lambda: fim.eclat(baskets, supp=100, zmax=1), job["repeat"])
        return out
    import pandas as pd
    import tallisk

    df = instacart_like(job["orders"])
    out["input_mb"] = float(df.memory_usage(deep=True).sum()) / 2**20
    calls = {
        "from_long": lambda: tallisk.Transactions.from_long(df, transaction="order", item="product"),
        "factorize": lambda: (pd.factorize(df["order"]), pd.factorize(df["product"])),
    }
    for name, call in calls.items():
        gc.collect()
        base = status_kb()["VmRSS"]
        reset_peak()
        call()
        out[f"{name}_peak_mb"] = (status_kb()["VmHWM"] - base) / 1024
    # The two calls take turns, so that the machine's drift over the seconds each takes
    # falls on both alike; the best of each is kept.
    times: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(job["repeat"]):
        for name, call in calls.items():
            gc.collect()
            t0 = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - t0)
    for name, spent in times.items():
        out[f"{name}_s"] = min(spent)
    return out


JOBS = {"job_itemsets": job_itemsets, "job_rules": job_rules, "job_mlxtend": job_mlxtend, "job_reading": job_reading}


def child(job_path: str) -> int:
    with open(job_path) as f:
        job = json.load(f)
    try:
        result = JOBS[job["kind"]](job)
        result["status"] = "ok"
    except Exception as e:  # reported to the parent
        import traceback

        result = {"status": "error", "error": f"{type(e).__name__}: {e}", "trace": traceback.format_exc()}
    with open(job["out"], "wb") as f:
        pickle.dump(result, f)
    return 0


# ---- parent ------------------------------------------------------------------------------------


def run(tmp: str, job: dict, workers: int, timeout: float = TIMEOUT_S) -> dict:
    job = dict(job, out=os.path.join(tmp, "out.pkl"))
    path = os.path.join(tmp, "job.json")
    with open(path, "w") as f:
        json.dump(job, f)
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    try:
        subprocess.run([sys.executable, os.path.abspath(__file__), "--child", path], env=env, timeout=timeout,
                       check=False)  # fmt: skip
    except subprocess.TimeoutExpired:
        return {"status": "timeout", "timeout_s": timeout}
    with open(job["out"], "rb") as f:
        result = pickle.load(f)
    if result["status"] != "ok":
        print(result.get("trace", result), file=sys.stderr)
    return result


def run_both(tmp: str, job: dict, lines: list[str], head: str) -> tuple[dict | None, dict | None]:
    """The job with one worker (peers too) and with two; a failed run is noted in ``lines``."""
    one = run(tmp, dict(job, peers=True), 1)
    two = run(tmp, dict(job, peers=False), 2)
    if one["status"] != "ok" or two["status"] != "ok":
        lines.append(f"{head} {one['status']} / {two['status']} | | | | | | | | |")
        return None, None
    return one, two


def ms(s: float | None) -> str:
    return "—" if s is None else f"{s * 1e3:.0f} ms" if s >= 0.01 else f"{s * 1e3:.1f} ms"


def itemsets_section(tmp: str, rows: list, repeat: int) -> list[str]:
    lines = [
        "| data | min_support (count) | target | itemsets | tallisk, 1 worker | outside engine | tallisk, 2 workers "
        "| outside engine | 1 → 2 workers | pyfim fastest | tallisk / pyfim (1 w, 2 w) | same answer |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for name, support in rows:
        if data_path(name) is None:
            lines.append(f"| {name} | {support} | — | data not found | | | | | | | | |")
            continue
        for target in TARGETS:
            job = {"kind": "job_itemsets", "data": name, "support": support, "target": target, "repeat": repeat}
            one, two = run_both(tmp, job, lines, f"| {name} | {support} | {target} |")
            if one is None:
                continue
            fastest = min(one["pyfim"], key=lambda k: one["pyfim"][k]["time_s"])
            p = one["pyfim"][fastest]["time_s"]
            same = all(v["same"] for v in one["pyfim"].values())
            lines.append(
                f"| {name} | {support} ({one['min_count']}) | {target} | {one['rows']} | {ms(one['time_s'])} | "
                f"{1 - one['engine_s'] / one['time_s']:.0%} | {ms(two['time_s'])} | "
                f"{1 - two['engine_s'] / two['time_s']:.0%} | {one['time_s'] / two['time_s']:.2f}x | "
                f"{fastest} {ms(p)} | {one['time_s'] / p:.2f}, {two['time_s'] / p:.2f} | {'yes' if same else 'NO'} |"
            )
            print(lines[-1], flush=True)
    if any(name == "mushroom" for name, _ in rows):
        lines += [
            "",
            '"NO" on mushroom is pyfim\'s: item 85 is in every basket, and pyfim never reports an item held by '
            "every basket as a set of its own (574,430 sets against the reference 574,431 that tallisk gives; see "
            "bench/data/README.md).",
        ]
    return lines


def rules_section(tmp: str, rows: list, repeat: int, mlxtend_timeout: float) -> list[str]:
    lines = [
        "| data | min_support | min_confidence | rules (1-item consequents) | tallisk itemsets + rules, 1 w / 2 w "
        "| pyfim arules | tallisk / pyfim (1 w, 2 w) | association_rules alone, 1 w | all rules: rows, tallisk "
        "| mlxtend association_rules | mlxtend / tallisk | same answer (pyfim, mlxtend) |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for name, support, conf in rows:
        if data_path(name) is None:
            lines.append(f"| {name} | {support} | {conf} | data not found | | | | | | | | |")
            continue
        job = {"kind": "job_rules", "data": name, "support": support, "conf": conf, "repeat": repeat}
        one, two = run_both(tmp, job, lines, f"| {name} | {support} | {conf} |")
        if one is None:
            continue
        mlx = run(tmp, dict(job, kind="job_mlxtend"), 1, timeout=mlxtend_timeout)
        if mlx["status"] == "ok":
            mx, vs = ms(mlx["time_s"]), f"{mlx['time_s'] / one['all_rules_s']:.0f}x"
            same_mlx = "yes" if mlx["rows"] == one["all_rows"] else f"NO ({mlx['rows']} rows)"
        else:
            mx, same_mlx = f"> {mlxtend_timeout:.0f} s ({mlx['status']})", "—"
            vs = f"> {mlxtend_timeout / one['all_rules_s']:.0f}x"
        p = one["pyfim"]["time_s"]
        lines.append(
            f"| {name} | {support} ({one['min_count']}) | {conf} | {one['rows']} | {ms(one['time_s'])} / "
            f"{ms(two['time_s'])} | {ms(p)} | {one['time_s'] / p:.2f}, {two['time_s'] / p:.2f} | "
            f"{ms(one['rules_s'])} | {one['all_rows']}, {ms(one['all_rules_s'])} | {mx} | {vs} | "
            f"{'yes' if one['pyfim']['same'] else 'NO'}, {same_mlx} |"
        )
        print(lines[-1], flush=True)
    lines += [
        "",
        '"same answer" for mlxtend compares the number of rules. mlxtend computes a rule\'s confidence from '
        "the float supports, s(A | C) n / (s(A) n), so a rule whose confidence is exactly the threshold (9 of "
        "10 antecedent transactions at 0.9) can come out a hair below it and be dropped; tallisk compares the "
        "counts. On chess 0.6 / 0.9, 837 of the 10,637 rules of confidence exactly 0.9 fall below it that way.",
    ]
    return lines


def reading_section(tmp: str, repeat: int, orders: int, baskets: list[str]) -> list[str]:
    lines = ["| input | labels | tallisk | peer | tallisk / peer | peak memory over the input |", "|---" * 6 + "|"]
    for name in baskets:
        if data_path(name) is None:
            continue
        r = run(tmp, {"kind": "job_reading", "what": "baskets", "data": name, "repeat": repeat, "peers": True}, 1)
        if r["status"] == "ok":
            lines.append(
                f"| {name}: Transactions.from_baskets | {r['labels']} | {ms(r['time_s'])} | pyfim reading "
                f"{ms(r['pyfim_s'])} | {r['time_s'] / r['pyfim_s']:.2f} | — |"
            )
    for workers in (1, 2):
        r = run(tmp, {"kind": "job_reading", "what": "long", "orders": orders, "repeat": repeat}, workers)
        if r["status"] == "ok":
            lines.append(
                f"| Instacart-like {orders // 1000} k orders × 10: Transactions.from_long, {workers} w | "
                f"{orders * 10} | {ms(r['from_long_s'])} | pd.factorize of both columns {ms(r['factorize_s'])} | "
                f"{r['from_long_s'] / r['factorize_s']:.2f} | {r['from_long_peak_mb']:.0f} MB "
                f"({r['from_long_peak_mb'] / r['input_mb']:.2f} × the {r['input_mb']:.0f} MB input; "
                f"pd.factorize {r['factorize_peak_mb']:.0f} MB) |"
            )
    for line in lines[2:]:
        print(line, flush=True)
    return lines


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--quick", action="store_true", help="small rows only")
    ap.add_argument("--sections", default="itemsets,rules,reading")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--orders", type=int, default=3_000_000, help="orders of the Instacart-like table")
    ap.add_argument("--mlxtend-timeout", type=float, default=900, help="seconds before mlxtend's rules are stopped")
    ap.add_argument("--publish", action="store_true", help="write bench/report/package.md")
    args = ap.parse_args()
    if args.child:
        return child(args.child)
    sections = set(args.sections.split(","))
    out = []
    with tempfile.TemporaryDirectory() as tmp:
        if "itemsets" in sections:
            out += ["## Labels in, table out: frequent_itemsets", ""]
            out += itemsets_section(tmp, QUICK_ITEMSETS if args.quick else ITEMSET_ROWS, args.repeat) + [""]
        if "rules" in sections:
            out += ["## Rules", ""]
            rows = QUICK_RULES if args.quick else RULE_ROWS
            out += rules_section(tmp, rows, args.repeat, args.mlxtend_timeout) + [""]
        if "reading" in sections:
            out += ["## Reading labels", ""]
            orders = 100_000 if args.quick else args.orders
            out += reading_section(tmp, args.repeat, orders, ["T10I4D100K", "retail"]) + [""]
    text = "\n".join(out)
    print("\n" + text)
    if args.publish:
        path = os.path.join(HERE, "report", "package.md")
        with open(path, "w") as f:
            f.write(HEADER.format(cores=os.cpu_count(), load=os.getloadavg()[0]) + "\n" + text)
        print(f"written {path}")
    return 0


HEADER = """# Package benchmark: labels in, table out

`python3 bench/bench_labels.py --publish` (see its docstring for what runs). Machine:
{cores} logical CPUs; load average {load:.1f} when the run ended (the machine is shared
with other builds and tests, so absolute times are inflated and noisy; ratios within one
row are taken minutes apart at most). Workers: `RAYON_NUM_THREADS`; pyfim and mlxtend
are single-threaded. "outside engine": the share of the whole call spent outside the
engine's mining and rule generation (the package's own native helpers, such as the label
columns and the basket factoriser, count as outside). The long-DataFrame routes of
`bench/bench_package.py` are in [package-long.md](package-long.md).
"""


if __name__ == "__main__":
    sys.exit(main())
