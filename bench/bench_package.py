"""End-to-end benchmark of the tallisk package against the routes people take today.

    python3 bench/bench_package.py                       # shared FIMI files + a generated table
    python3 bench/bench_package.py --quick               # small generated table only
    python3 bench/bench_package.py --data /work/shared/data/retail.dat --publish   # bench/report/package-long.md

Every route starts from the same long pandas DataFrame (one row per (order, product),
product labels as strings, loaded before the clock starts) and ends with its result:

* tallisk: ``Transactions.from_long`` -> ``frequent_itemsets`` (-> ``association_rules``),
  DataFrames with tuples of labels;
* pyfim: basket lists built from the DataFrame (see ``baskets_of``) -> the
  fastest of ``fim.apriori`` / ``fim.eclat`` / ``fim.fpgrowth`` (each run, the best one
  reported), or ``fim.arules`` with union support (mode "o") for rules; its result stays
  a Python list (no DataFrame built);
* mlxtend: the same basket lists -> ``TransactionEncoder`` (sparse for large tables) ->
  ``fpgrowth`` -> ``association_rules``.

Each route runs in a process of its own (``--child``), like compare.py's runner, whose
memory probes it reuses: peak memory is the rise of VmHWM over the resident set after
the DataFrame is loaded, during the first run; the time is the best of up to three
runs. The answers are compared in the same run: itemsets and counts with pyfim's and
mlxtend's; rules with one-item consequents with ``fim.arules``, every rule with
mlxtend's ``association_rules`` (counts and confidences). For tallisk, the time inside
the native calls (``tallisk._engine`` and ``_tallisk_rs``) is measured too, so the
share of the time spent in the package layer is reported.
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

SHARED = "/work/shared/data"
# (min_support, min_confidence) per data set; chess is dense, so higher thresholds
SETTINGS = {
    "retail": (0.002, 0.5),
    "T10I4D100K": (0.002, 0.5),
    "chess": (0.8, 0.9),
    "generated": (0.002, 0.5),
    "quick": (0.01, 0.5),
}
REPEAT_BUDGET_S = 3.0
TIMEOUT_S = 600

ROUTES = {
    "itemsets": ["tallisk_itemsets", "pyfim_apriori", "pyfim_eclat", "pyfim_fpgrowth", "mlxtend_itemsets"],
    "rules, 1-item consequents": ["tallisk_rules_1", "pyfim_arules"],
    "rules": ["tallisk_rules", "mlxtend_rules"],
}


# ---- data --------------------------------------------------------------------------------


def long_frame_from_fimi(path: str):
    """A FIMI file (one basket of item numbers per line) as a long DataFrame: order ids
    are line numbers, products the item tokens as strings."""
    import pandas as pd

    with open(path) as f:
        lines = f.read().splitlines()
    baskets = [line.split() for line in lines]
    sizes = np.fromiter(map(len, baskets), dtype=np.int64, count=len(baskets))
    orders = np.repeat(np.arange(len(baskets), dtype=np.int64), sizes)
    products = [x for b in baskets for x in b]
    return pd.DataFrame({"order": orders, "product": pd.Series(products)})


def long_frame_generated(n_txn: int, seed: int = 0):
    """Retail-like baskets (bench/datagen.py) with product names and order numbers that
    are not 0 … n-1, rows shuffled within each order."""
    import datagen
    import pandas as pd

    txn, item, n_items = datagen.sparse(n_txn=n_txn, n_items=5_000, seed=seed)
    rng = np.random.default_rng(seed)
    key = txn * (n_items + 1) + rng.permutation(n_items)[item]  # shuffle items within an order
    order = np.argsort(key, kind="stable")
    names = np.array([f"product-{i:05d}" for i in range(n_items)], dtype=object)
    return pd.DataFrame({"order": 1_000_000 + txn[order] * 7, "product": pd.Series(names[item[order]].tolist())})


# ---- routes (run in the child) -------------------------------------------------------------


class EngineClock:
    """Time spent inside the native calls (tallisk._engine and _tallisk_rs), or only in
    those of ``names``."""

    def __init__(self, names: tuple[str, ...] | None = None) -> None:
        import _tallisk_rs
        from tallisk import _engine

        self.total = 0.0
        for module in (_engine, _tallisk_rs):
            for name in dir(module):
                fn = getattr(module, name)
                if name.startswith("_") or not callable(fn) or (names is not None and name not in names):
                    continue

                def timed(*a, _fn=fn, **k):
                    t0 = time.perf_counter()
                    try:
                        return _fn(*a, **k)
                    finally:
                        self.total += time.perf_counter() - t0

                setattr(module, name, timed)


def baskets_of(df):
    """Basket lists from the long DataFrame, the fastest way we found: factorise the order
    column, sort stably by it, slice one list of labels. (``groupby(...).agg(list)``,
    the usual idiom, takes 10-20 times longer and would flatter the peers' routes.)"""
    import pandas as pd

    codes, _ = pd.factorize(df["order"])
    order = np.argsort(codes, kind="stable")
    labels = df["product"].to_numpy(dtype=object)[order].tolist()
    ends = np.cumsum(np.bincount(codes)).tolist()
    starts = [0, *ends[:-1]]
    return list(map(labels.__getitem__, map(slice, starts, ends)))


def run_route(route: str, df, min_count: int, fraction: float, conf: float, algorithm: str):
    if route.startswith("tallisk"):
        import tallisk

        tr = tallisk.Transactions.from_long(df, transaction="order", item="product")
        if route == "tallisk_rules_1" and algorithm == "auto":
            return tallisk.association_rules(tr, min_count=min_count, min_confidence=conf, max_consequent_len=1)
        itemsets = tallisk.frequent_itemsets(tr, min_count=min_count, algorithm=algorithm)
        if route == "tallisk_rules_1":
            return tallisk.association_rules(itemsets, min_confidence=conf, max_consequent_len=1)
        if route == "tallisk_itemsets":
            return itemsets
        return itemsets, tallisk.association_rules(itemsets, min_confidence=conf)
    if route.startswith("pyfim"):
        import fim

        baskets = baskets_of(df)
        if route == "pyfim_arules":
            return fim.arules(baskets, supp=-min_count, conf=conf * 100, zmin=2, report="ac", mode="o")
        miner = getattr(fim, route.split("_", 1)[1])
        return miner(baskets, target="s", supp=-min_count, zmin=1, report="a")
    if route.startswith("mlxtend"):
        import pandas as pd
        from mlxtend.frequent_patterns import association_rules, fpgrowth
        from mlxtend.preprocessing import TransactionEncoder

        baskets = baskets_of(df)
        te = TransactionEncoder()
        x = te.fit(baskets).transform(baskets, sparse=True)
        onehot = pd.DataFrame.sparse.from_spmatrix(x, columns=te.columns_)
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            itemsets = fpgrowth(onehot, min_support=fraction, use_colnames=True)
            if route == "mlxtend_itemsets":
                return itemsets
            return itemsets, association_rules(
                itemsets, num_itemsets=len(baskets), metric="confidence", min_threshold=conf
            )
    raise ValueError(route)


def answer(route: str, raw, n: int):
    """Itemsets: {frozenset: count}; rules: {(frozenset A, frozenset C): (count, confidence)}."""
    if route == "tallisk_itemsets":
        return {frozenset(s): c for s, c in zip(raw["itemset"], raw["count"].tolist(), strict=True)}
    if route in ("tallisk_rules", "tallisk_rules_1"):
        rules = raw[1] if isinstance(raw, tuple) else raw
        return {
            (frozenset(a), frozenset(c)): (k, f)
            for a, c, k, f in zip(
                rules["antecedent"],
                rules["consequent"],
                rules["count"].tolist(),
                rules["confidence"].tolist(),
                strict=True,
            )
        }
    if route == "pyfim_arules":
        return {(frozenset(body), frozenset([head])): (k, f) for head, body, k, f in raw}
    if route.startswith("pyfim"):
        return {frozenset(s): c for s, c in raw}
    if route == "mlxtend_itemsets":
        counts = np.rint(raw["support"].to_numpy() * n).astype(np.int64).tolist()
        return {frozenset(s): c for s, c in zip(raw["itemsets"], counts, strict=True)}
    if route == "mlxtend_rules":
        rules = raw[1]
        counts = np.rint(rules["support"].to_numpy() * n).astype(np.int64).tolist()
        return {
            (frozenset(a), frozenset(c)): (k, f)
            for a, c, k, f in zip(
                rules["antecedents"], rules["consequents"], counts, rules["confidence"].tolist(), strict=True
            )
        }
    raise ValueError(route)


def child(job_path: str) -> int:
    import runner  # memory probes shared with compare.py's runner

    with open(job_path) as f:
        job = json.load(f)
    out = {"route": job["route"], "status": "error"}
    try:
        import pandas as pd

        df = pd.read_pickle(job["data"])
        n = int(df["order"].nunique())
        route = job["route"]
        # imports are set-up, not part of the route's time
        if route.startswith("tallisk"):
            import tallisk  # noqa: F401

            clock = EngineClock()
        else:
            clock = None
            if route.startswith("pyfim"):
                import fim  # noqa: F401
            else:
                import mlxtend.frequent_patterns  # noqa: F401
                import mlxtend.preprocessing  # noqa: F401
        gc.collect()
        runner.release_free_heap()
        runner.reset_peak()
        base = runner.status_kb()["VmRSS"]
        times, engine = [], []
        raw = None
        extra_kb = None
        while len(times) < job["repeat"] and sum(times) < REPEAT_BUDGET_S:
            raw = None
            if clock:
                clock.total = 0.0
            t0 = time.perf_counter()
            raw = run_route(route, df, job["min_count"], job["fraction"], job["conf"], job["algorithm"])
            times.append(time.perf_counter() - t0)
            if clock:
                engine.append(clock.total)
            if extra_kb is None:
                # the peak of one run, as a user meets it; later runs only refine the time
                extra_kb = max(0, runner.status_kb()["VmHWM"] - base)
        best = int(np.argmin(times))
        out.update(
            time_s=times[best],
            engine_s=engine[best] if engine else None,
            extra_kb=extra_kb,
            runs=len(times),
            answer=answer(route, raw, n),
            n_rows=len(raw[1] if isinstance(raw, tuple) else raw),
            status="ok",
        )
    except Exception as e:  # reported to the parent
        import traceback

        out.update(error=f"{type(e).__name__}: {e}", trace=traceback.format_exc())
    with open(job["out"], "wb") as f:
        pickle.dump(out, f, protocol=pickle.HIGHEST_PROTOCOL)
    return 0


# ---- parent -----------------------------------------------------------------------------


def run_child(
    tmp: str, route: str, data_path: str, min_count: int, fraction: float, conf: float, repeat: int, algorithm: str
):
    job = dict(
        route=route,
        data=data_path,
        min_count=min_count,
        fraction=fraction,
        conf=conf,
        repeat=repeat,
        algorithm=algorithm,
        out=os.path.join(tmp, f"{route}.pkl"),
    )
    job_path = os.path.join(tmp, f"{route}.json")
    with open(job_path, "w") as f:
        json.dump(job, f)
    try:
        subprocess.run([sys.executable, os.path.abspath(__file__), "--child", job_path], timeout=TIMEOUT_S, check=False)
    except subprocess.TimeoutExpired:
        return {"route": route, "status": "timeout", "error": f"stopped after {TIMEOUT_S} s"}
    with open(job["out"], "rb") as f:
        return pickle.load(f)


def agree(a: dict, b: dict) -> str:
    if a.keys() != b.keys():
        return f"differ: {len(a.keys() - b.keys())} only ours, {len(b.keys() - a.keys())} only theirs"
    for k, v in a.items():
        w = b[k]
        if isinstance(v, tuple):
            if v[0] != w[0] or not math.isclose(v[1], w[1], rel_tol=1e-9):
                return f"differ at {sorted(map(sorted, k))}: {v} vs {w}"
        elif v != w:
            return f"differ at {sorted(k)}: {v} vs {w}"
    return f"same {len(a)}"


def fmt(r) -> str:
    if r is None or r.get("status") != "ok":
        return "—" if r is None else r.get("status", "error")
    return f"{r['time_s'] * 1e3:.1f} ms / {r['extra_kb'] / 1024:.1f} MB"


def bench_dataset(name: str, df, tmp: str, repeat: int, skip: set[str], algorithm: str) -> list[dict]:
    from tallisk._validation import min_count_from_support

    support, conf = SETTINGS.get(name, (0.005, 0.5))
    n = int(df["order"].nunique())
    min_count = min_count_from_support(support, n)
    fraction = (min_count - 0.5) / n  # selects exactly count >= min_count under c / n >= f
    data_path = os.path.join(tmp, f"{name}.pkl")
    df.to_pickle(data_path)
    rows = []
    for task, routes in ROUTES.items():
        results = {}
        for route in routes:
            if route.split("_")[0] in skip:
                continue
            r = run_child(tmp, route, data_path, min_count, fraction, conf, repeat, algorithm)
            results[route] = r
            if r.get("status") != "ok":
                print(f"  {name} {route}: {r.get('status')} {r.get('error', '')}", file=sys.stderr)
                if r.get("trace"):
                    print(r["trace"], file=sys.stderr)
        ours = results.get(routes[0])
        pyfim = [r for k, r in results.items() if k.startswith("pyfim") and r.get("status") == "ok"]
        best_pyfim = min(pyfim, key=lambda r: r["time_s"]) if pyfim else None
        mlx = next((r for k, r in results.items() if k.startswith("mlxtend")), None)
        row = dict(
            data=name,
            n=n,
            min_support=support,
            min_count=min_count,
            conf=conf,
            task=task,
            ours=ours,
            pyfim=best_pyfim,
            mlxtend=mlx,
        )
        ok = ours is not None and ours.get("status") == "ok"
        if ok:
            row["rows"] = ours["n_rows"]
            row["share_outside"] = 1 - ours["engine_s"] / ours["time_s"] if ours["time_s"] > 0 else float("nan")
            row["agree_pyfim"] = agree(ours["answer"], best_pyfim["answer"]) if best_pyfim else "—"
            for r in pyfim:  # every pyfim miner must agree, not only the fastest
                if r is not best_pyfim and agree(r["answer"], best_pyfim["answer"]).startswith("differ"):
                    row["agree_pyfim"] += f"; {r['route']} differs"
            row["agree_mlxtend"] = agree(ours["answer"], mlx["answer"]) if mlx and mlx.get("status") == "ok" else "—"
        for r in results.values():
            r.pop("answer", None)
        rows.append(row)
        print(render([row], header=not rows[:-1]), flush=True)
    return rows


def render(rows: list[dict], header: bool = True) -> str:
    lines = []
    if header:
        lines += [
            "| data | transactions | min_support (count) | task | result rows | tallisk | outside engine | "
            "pyfim (fastest) | tallisk / pyfim (time, memory) | mlxtend | mlxtend / tallisk (time) | agreement |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|",
        ]
    for r in rows:
        ours, py, mlx = r["ours"], r["pyfim"], r["mlxtend"]
        ok = ours is not None and ours.get("status") == "ok"
        vs_py = "—"
        if ok and py and py.get("status") == "ok":
            vs_py = f"{ours['time_s'] / py['time_s']:.2f}, {ours['extra_kb'] / max(py['extra_kb'], 1):.2f}"
        vs_mlx = "—"
        if ok and mlx and mlx.get("status") == "ok":
            vs_mlx = f"{mlx['time_s'] / ours['time_s']:.0f}x"
        py_name = f"{py['route'].split('_', 1)[1]}: {fmt(py)}" if py else "—"
        agreement = "; ".join(
            f"{who}: {r.get(f'agree_{who}', '—')}" for who in ("pyfim", "mlxtend") if r.get(f"agree_{who}", "—") != "—"
        )
        lines.append(
            f"| {r['data']} | {r['n']} | {r['min_support']} ({r['min_count']}) | {r['task']} | {r.get('rows', '—')} | "
            f"{fmt(ours)} | {r.get('share_outside', float('nan')):.0%} | {py_name} | {vs_py} | {fmt(mlx)} | "
            f"{vs_mlx} | {agreement or '—'} |"
        )
    return "\n".join(lines)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--data", action="append", help="a FIMI file (default: the shared files)")
    ap.add_argument("--generated", type=int, default=200_000, help="transactions of the generated table (0: none)")
    ap.add_argument("--quick", action="store_true", help="a small generated table only")
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs (within a small time budget)")
    ap.add_argument("--skip", default="", help="comma-separated route families to leave out (pyfim, mlxtend)")
    ap.add_argument("--algorithm", default="auto", help="tallisk's miner (frequent_itemsets' algorithm)")
    ap.add_argument("--publish", action="store_true", help="write the table to bench/report/package-long.md")
    args = ap.parse_args()
    if args.child:
        return child(args.child)

    datasets = []
    if args.quick:
        datasets.append(("quick", lambda: long_frame_generated(20_000)))
    else:
        paths = args.data or [os.path.join(SHARED, f"{n}.dat") for n in ("retail", "T10I4D100K", "chess")]
        for p in paths:
            if os.path.exists(p):
                datasets.append((os.path.splitext(os.path.basename(p))[0], lambda p=p: long_frame_from_fimi(p)))
        if args.generated:
            datasets.append(("generated", lambda: long_frame_generated(args.generated)))
    skip = set(filter(None, args.skip.split(",")))
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, make in datasets:
            rows += bench_dataset(name, make(), tmp, args.repeat, skip, args.algorithm)
    table = render(rows)
    print("\n" + table)
    if args.publish:
        path = os.path.join(HERE, "report", "package-long.md")
        with open(path, "w") as f:
            f.write("# Package benchmark: long DataFrame to result DataFrame\n\n")
            f.write(
                "Shared 2-core machine; best of up to 3 runs; memory is the rise of the peak RSS over the "
                "loaded DataFrame. `python3 bench/bench_package.py --publish`.\n\n"
            )
            f.write(table + "\n")
        print(f"written {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
