"""The README's first command: a generated grocery shop's baskets through the `tallisk`
command, the strongest rules printed and the chart of all of them written.

Usage: python3 scripts/demo.py [--transactions N] [--seed S] [--min-support S] [--top K] [--out DIR]
"""

import argparse
import os
import shlex
import subprocess
import sys
import time

import pandas as pd
from tallisk.datasets import write_groceries


def tallisk(*args: str) -> None:
    """Run the installed command (as `python -m tallisk`, which works whether or not pip's
    script directory is on PATH) and show it as a user would type it."""
    print("$ tallisk " + " ".join(shlex.quote(a) for a in args), flush=True)
    subprocess.run([sys.executable, "-m", "tallisk", *args], check=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--transactions", type=int, default=20_000)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--min-support", default="1%")
    ap.add_argument("--top", type=int, default=12)
    ap.add_argument("--out", default=os.path.join("build", "demo"))
    args = ap.parse_args()

    os.makedirs(args.out, exist_ok=True)
    data = os.path.join(args.out, "groceries.csv")
    start = time.perf_counter()
    df = write_groceries(data, args.transactions, args.seed)
    print(
        f"generated {data}: {df['basket_id'].nunique()} baskets of a grocery shop, "
        f"{df['product'].nunique()} products, {len(df)} (basket, product) rows "
        f"in {time.perf_counter() - start:.1f} s\n"
    )

    rules = os.path.join(args.out, "rules.csv")
    chart = os.path.join(args.out, "rules.png")
    graph = os.path.join(args.out, "rules-graph.png")
    tallisk(
        "rules", data, "--min-support", args.min_support, "--min-confidence", "0.5", "-o", rules, "--plot", chart, "-v"
    )
    tallisk(
        "rules",
        data,
        "--min-support",
        args.min_support,
        "--min-confidence",
        "0.5",
        "-q",
        "--plot",
        graph,
        "--plot-kind",
        "graph",
        "-o",
        os.devnull,
        "--output-format",
        "csv",
    )

    table = pd.read_csv(rules)
    ante_all = table["antecedent" if "antecedent" in table.columns else "antecedents"].str.strip("{}")
    cons_all = table["consequent" if "consequent" in table.columns else "consequents"].str.strip("{}")
    # One rule per set of products (its most confident direction): the table holds each
    # set in every direction, which would fill the top with one shopping trip.
    together = [",".join(sorted(a.split(",") + c.split(","))) for a, c in zip(ante_all, cons_all, strict=True)]
    best = table.assign(_set=together).sort_values("confidence", ascending=False, kind="stable")
    show_idx = best.drop_duplicates("_set").sort_values("lift", ascending=False, kind="stable").index[: args.top]
    show = table.loc[show_idx]
    ante, cons = ante_all[show_idx], cons_all[show_idx]
    print(f"\nthe {len(show)} strongest of {len(table)} rules (by lift, one per set of products):\n")
    width = max(ante.str.len().max(), len("if a basket holds"))
    print(f"{'if a basket holds':<{width}}   {'it often holds':<18} {'support':>8} {'confidence':>10} {'lift':>6}")
    for a, c, s, conf, lift in zip(ante, cons, show["support"], show["confidence"], show["lift"], strict=True):
        print(f"{a:<{width}} → {c:<18} {s:>8.4f} {conf:>10.3f} {lift:>6.2f}")
    print(f"\nall {len(table)} rules: {rules}")
    print(f"chart (support against confidence, coloured by lift): {chart}")
    print(f"the top 30 rules as a network: {graph}")


if __name__ == "__main__":
    main()
