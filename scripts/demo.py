"""Mines a generated market-basket dataset and prints the strongest pair rules.

Usage: python3 scripts/demo.py [--transactions N] [--seed S] [--min-support F] [--top K]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
import _tallisk_rs  # noqa: E402
import datagen  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--transactions", type=int, default=100_000)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--min-support", type=float, default=0.002)
    ap.add_argument("--top", type=int, default=15)
    args = ap.parse_args()

    txn_ids, item_ids, n_items = datagen.sparse(n_txn=args.transactions, seed=args.seed)
    print(f"{args.transactions} baskets, {len(txn_ids)} (basket, item) rows, {n_items} items")
    start = time.perf_counter()
    r = _tallisk_rs.rust_compute_pairs(txn_ids, item_ids, n_items, args.min_support)
    elapsed = time.perf_counter() - start
    print(f"{len(r['item_A'])} rules with support >= {args.min_support} in {elapsed * 1000:.1f} ms\n")

    order = np.lexsort((-r["instances"], -r["lift"]))[: args.top]
    print(f"{'antecedent':>10} {'consequent':>10} {'count':>7} {'support':>8} {'confidence':>10} "
          f"{'lift':>8} {'leverage':>9} {'jaccard':>8}")
    for j in order:
        print(f"{r['item_A'][j]:>10} {r['item_B'][j]:>10} {r['instances'][j]:>7} {r['support'][j]:>8.4f} "
              f"{r['confidence'][j]:>10.3f} {r['lift'][j]:>8.2f} {r['leverage'][j]:>9.5f} {r['jaccard'][j]:>8.3f}")


if __name__ == "__main__":
    main()
