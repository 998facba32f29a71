"""Smoke test of an installed tallisk, run from outside the checkout (by
scripts/check_wheel.sh and by cibuildwheel on each release wheel): both native modules
import from the installation, the version is the distribution's, the demo data is mined
and ruled with its counts checked by pandas, the command answers --help, the mlxtend
drop-in gives the package's own sets, and the engine's thread count holds.

Usage: python smoke.py
"""

import importlib.metadata
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import _tallisk_rs
import numpy as np
import pandas as pd
import tallisk
import tallisk.mlxtend
from tallisk import _engine
from tallisk.datasets import groceries


def check(ok: bool, what: str) -> None:
    if not ok:
        sys.exit(f"smoke: FAILED: {what}")
    print(f"smoke: {what}")


site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
for module in (tallisk, _engine, _tallisk_rs):
    where = pathlib.Path(module.__file__).resolve()
    check(site in where.parents, f"{module.__name__} imported from the installation ({where})")
check(importlib.metadata.version("tallisk") == tallisk.__version__, f"version {tallisk.__version__}")

orders = groceries(5000, seed=1)
tr = tallisk.Transactions.from_long(orders, transaction="basket_id", item="product")
sets = tallisk.frequent_itemsets(tr, min_support=0.02)
rules = tallisk.association_rules(sets, min_confidence=0.3)
baskets = orders.groupby("basket_id")["product"].agg(frozenset)
pairs = sets[sets["length"] == 2]
check(len(pairs) > 0 and len(rules) > 0, f"{len(sets)} itemsets and {len(rules)} rules of the demo data")
wrong = [
    (s, c)
    for s, c in zip(pairs["itemset"], pairs["count"], strict=True)
    if c != int(baskets.map(lambda b, s=frozenset(s): s <= b).sum())
]
check(not wrong, f"the counts of all {len(pairs)} pairs are those pandas counts" + (f", not {wrong[:3]}" * bool(wrong)))

exe = shutil.which("tallisk", path=str(pathlib.Path(sys.executable).parent))
out = subprocess.run([exe or "tallisk", "--help"], capture_output=True, text=True)
check(out.returncode == 0 and out.stdout.startswith("usage: tallisk"), "tallisk --help")

onehot = pd.crosstab(orders["basket_id"], orders["product"]).astype(bool)
dropin = tallisk.mlxtend.apriori(onehot, min_support=0.02, use_colnames=True)
check(
    set(dropin["itemsets"]) == {frozenset(s) for s in sets["itemset"]}
    and np.allclose(np.sort(dropin["support"].to_numpy()), np.sort(sets["support"].to_numpy())),
    f"mlxtend drop-in: the same {len(dropin)} itemsets and supports",
)
dropin_rules = tallisk.mlxtend.association_rules(dropin, len(onehot), metric="confidence", min_threshold=0.3)
check(len(dropin_rules) == len(rules), f"mlxtend drop-in: the same {len(rules)} rules")

tallisk.set_num_threads(1)
check(_engine.measure_threads() == 1, "one engine thread after set_num_threads(1)")
tallisk.set_num_threads(None)
print("smoke: ok")
