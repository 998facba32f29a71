"""Decision tools benchmark: top_rules against the route a user has without it, and
add_significance on a million rules.

    python3 bench/bench_decide.py                       # groceries, retail, T10I4D100K
    python3 bench/bench_decide.py --data groceries-like # the package's demo data (no files needed)
    python3 bench/bench_decide.py --data PATH ... --k 10 100 1000

top_rules(data, k, by="leverage") finds the k rules of highest leverage with no minimum
support given. Without it a user mines every itemset at some support, makes every rule at
confidence 0 and sorts them: ``association_rules(frequent_itemsets(data, min_count=m),
min_confidence=0.0, by="leverage")``, keeping the first k (and ties). Two such routes are
timed, both on this package's own miner:

* handed the answer: m is the smallest count among the top k rules, which a user cannot
  know beforehand (the least any exact route can mine);
* finding it: m starts at 1 % of the transactions and halves until k rules come out; the
  k-th leverage L then tells the count below which no rule can reach it (a rule's
  leverage is at most s - s^2 for its support s), and one more run at that count, when it
  is lower, makes the answer exact. This is what a user who knows the bound would do.

Both start from the same Transactions; each figure is the best of --repeat runs in this
process. "rules examined" is the rules whose value each route computed: the search's (from
the engine) against every rule the routes generate. The answers are checked to be the same
rules.

add_significance runs on the first million rules of T10I4D100K at min_count 30 (Fisher and
chi-squared, each with the Holm correction). Results go to bench/report/decide.md.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SHARED = "/work/shared/data"


def best_of(fn, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def load(name):
    import tallisk

    if name == "groceries-like":
        from tallisk.datasets import groceries

        df = groceries()
        return tallisk.Transactions.from_long(df, transaction="basket_id", item="product")
    path = name if os.path.exists(name) else os.path.join(SHARED, f"{name}.dat")
    if name == "groceries" and os.path.exists(os.path.join(HERE, "data", "groceries.csv")):
        path = os.path.join(HERE, "data", "groceries.csv")
    return tallisk.read_transactions(path)


def rule_keys(df):
    return set(zip(df["antecedent"], df["consequent"], strict=True))


def top_k_rows(rules, k, by):
    """The first k rows of a sorted table and every row tied with the k-th (as top_rules
    defines ties: equal up to a relative 1e-12)."""
    values = rules[by].to_numpy()
    if len(values) <= k:
        return rules
    kth = values[k - 1]
    return rules.iloc[: int(np.count_nonzero(values >= kth - 1e-12 * abs(kth)))]


def least_count(level, n):
    """The smallest count c with c/n - (c/n)^2 >= level: below it no rule reaches level."""
    c = 1
    while c <= n // 2 and c / n - (c / n) ** 2 < level:
        c += 1
    return c


def rules_at(tr, m, k):
    import tallisk

    sets = tallisk.frequent_itemsets(tr, min_count=m)
    rules = tallisk.association_rules(sets, min_confidence=0.0, by="leverage")
    return len(sets), len(rules), top_k_rows(rules, k, "leverage")


def finding_route(tr, k):
    """Halve the support until k rules come out, then once more at the count the k-th
    leverage needs: (itemsets mined, rules generated, answer) over all the runs."""
    n = tr.n_transactions
    m, n_sets, n_rules = max(1, n // 100), 0, 0
    while True:
        sets, rules, top = rules_at(tr, m, k)
        n_sets, n_rules = n_sets + sets, n_rules + rules
        if len(top) >= k or m == 1:
            needed = least_count(float(top["leverage"].iloc[min(k, len(top)) - 1]), n) if len(top) else 1
            if needed >= m or m == 1:
                return n_sets, n_rules, top
            sets, rules, top = rules_at(tr, needed, k)
            return n_sets + sets, n_rules + rules, top
        m = max(1, m // 2)


def bench_top(name, tr, ks, repeat):
    import tallisk
    from tallisk import _engine

    rows = []
    for k in ks:
        t_top, top = best_of(lambda k=k: tallisk.top_rules(tr, k), repeat)
        raw = _engine.top_rules(tr.txn_ids, tr.item_ids, tr.n_items, k, "leverage", n_transactions=tr.n_transactions)
        m = int(top["count"].min())

        t_alt, (n_sets, n_rules, alt) = best_of(lambda m=m, k=k: rules_at(tr, m, k), repeat)
        t_find, (f_sets, f_rules, found) = best_of(lambda k=k: finding_route(tr, k), repeat)
        rows.append(
            {
                "data": name,
                "k": k,
                "rows": len(top),
                "kth": float(top["leverage"].iloc[min(k, len(top)) - 1]),
                "count": m,
                "floor": int(top.attrs["min_count"]),
                "top_s": t_top,
                "top_sets": int(raw["itemsets"]),
                "top_examined": int(raw["examined"]),
                "alt_s": t_alt,
                "alt_sets": n_sets,
                "alt_rules": n_rules,
                "find_s": t_find,
                "find_sets": f_sets,
                "find_rules": f_rules,
                "same": rule_keys(alt) == rule_keys(top) == rule_keys(found),
            }
        )
        print(rows[-1], flush=True)
    return rows


def bench_significance(repeat):
    import tallisk

    tr = tallisk.read_transactions(os.path.join(SHARED, "T10I4D100K.dat"))
    rules = tallisk.association_rules(tr, min_count=30, min_confidence=0.0, by=None).iloc[:1_000_000]
    rules = rules.reset_index(drop=True)
    out = []
    for test in ("fisher", "chi2"):
        t, _ = best_of(lambda test=test: tallisk.add_significance(rules, test=test), repeat)
        out.append({"test": test, "rules": len(rules), "seconds": t})
        print(out[-1], flush=True)
    return out


def report(top_rows, sig_rows, path, threads):
    load = os.getloadavg()
    lines = [
        "# Decision tools: top_rules and add_significance",
        "",
        f"Machine: {os.cpu_count()} cores, {threads} worker threads; load average at the end of the run "
        f"{load[0]:.1f} / {load[1]:.1f} / {load[2]:.1f} (1 / 5 / 15 min). Times are the best of the runs; "
        "on a shared machine they are noisy. Produced by `python3 bench/bench_decide.py`.",
        "",
        "## top_rules(data, k, by='leverage') against mining at a support and sorting",
        "",
        "'handed the answer' mines at the smallest count among the top k rules, which no "
        "user knows beforehand; 'finding it' halves the support from 1 % until k rules come "
        "out, then mines once more where the k-th leverage says no rule below can reach it "
        "(see the script). 'sets' are the itemsets each route reached or mined, 'rules' the "
        "rules whose value each computed (all runs). 'same': all three give the same rules.",
        "",
        "| data | k | rows | k-th leverage | least count in the top k (search floor) | top_rules | sets | rules "
        "| handed the answer | sets | rules | finding it | sets | rules | same |",
        "|---" * 15 + "|",
    ]
    for r in top_rows:
        lines.append(
            f"| {r['data']} | {r['k']} | {r['rows']} | {r['kth']:.5g} | {r['count']} ({r['floor']}) | "
            f"{r['top_s'] * 1e3:.1f} ms | {r['top_sets']} | {r['top_examined']} | {r['alt_s'] * 1e3:.1f} ms | "
            f"{r['alt_sets']} | {r['alt_rules']} | {r['find_s'] * 1e3:.1f} ms | {r['find_sets']} | "
            f"{r['find_rules']} | {'yes' if r['same'] else 'NO'} |"
        )
    lines += [
        "",
        "## add_significance on one million rules",
        "",
        "The first 1,000,000 rules of T10I4D100K at min_count 30 (confidence 0); the p-value of "
        "every rule and the Holm correction.",
        "",
        "| test | rules | time |",
        "|---|---|---|",
    ]
    lines += [f"| {r['test']} | {r['rules']:,} | {r['seconds'] * 1e3:.0f} ms |" for r in sig_rows]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


def main(argv=None):
    sys.path.insert(0, HERE)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", nargs="*", default=["groceries", "retail", "T10I4D100K"])
    parser.add_argument("--k", type=int, nargs="*", default=[10, 100, 1000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-significance", action="store_true")
    parser.add_argument("--out", default=os.path.join(HERE, "report", "decide.md"))
    args = parser.parse_args(argv)
    import tallisk

    top_rows = []
    for name in args.data:
        tr = load(name)
        top_rows += bench_top(os.path.basename(name).split(".")[0], tr, args.k, args.repeat)
    sig_rows = [] if args.no_significance else bench_significance(args.repeat)
    threads = tallisk.get_num_threads() if hasattr(tallisk, "get_num_threads") else os.cpu_count()
    report(top_rows, sig_rows, args.out, threads)


if __name__ == "__main__":
    main()
