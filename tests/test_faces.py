"""One convention on every face: an item in every basket makes the rules towards it sure, and a
sure rule has infinite conviction, whether the table comes from the package, the drop-in,
Dask or the command (mlxtend itself agrees: test_mlxtend_dropin.py's all-true tables)."""

from __future__ import annotations

import json
import math
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
import tallisk
from helpers import brute_rules
from tallisk.transactions import Transactions

# "bread" is in every basket; "jam" only with "tea"
BASKETS = [["bread", "tea", "jam"], ["bread", "tea"], ["bread", "milk"], ["bread", "milk", "tea", "jam"], ["bread"]]


RULES = brute_rules(BASKETS, 1)


def expected_conviction(a, c):
    """Brute force over the baskets: (1 - s(C)) / (1 - conf(A -> C)), infinite when conf is 1."""
    return RULES[(tuple(sorted(a)), tuple(sorted(c)))]["conviction"]


def pair_table(face):
    tr = Transactions.from_baskets(BASKETS)
    if face == "package":
        return tallisk.pair_metrics(tr)
    if face == "dask":
        pytest.importorskip("dask.dataframe")
        import dask
        import dask.dataframe as dd
        import tallisk.dask as tdask

        long = tr.to_long()
        with dask.config.set(scheduler="sync"):
            return tdask.pair_metrics(dd.from_pandas(long, npartitions=2), "transaction", "item").compute()
    raise AssertionError(face)


@pytest.mark.parametrize("face", ["package", "dask"])
def test_pair_tables(face):
    df = pair_table(face)
    assert (df["item_b"] == "bread").sum() == 3  # tea, jam and milk towards bread
    for a, b, conv in zip(df["item_a"], df["item_b"], df["conviction"], strict=True):
        assert conv == pytest.approx(expected_conviction([a], [b]), rel=1e-12), (a, b)
    assert np.isinf(df.loc[df["item_b"] == "bread", "conviction"]).all()


@pytest.mark.parametrize("source", ["table", "transactions"])
def test_rule_tables(source):
    data = tallisk.frequent_itemsets(BASKETS, min_count=1) if source == "table" else BASKETS
    rules = tallisk.association_rules(data, min_confidence=0.0, **({} if source == "table" else {"min_count": 1}))
    for a, c, conv in zip(rules["antecedent"], rules["consequent"], rules["conviction"], strict=True):
        assert conv == pytest.approx(expected_conviction(a, c), rel=1e-12), (a, c)
    assert np.isinf(rules.loc[rules["consequent"] == ("bread",), "conviction"]).all()


def test_the_drop_in():
    fp = pytest.importorskip("mlxtend.frequent_patterns")
    from tallisk import mlxtend as ours

    items = sorted({x for b in BASKETS for x in b})
    df = pd.DataFrame([[x in b for x in items] for b in BASKETS], columns=items)
    table = fp.apriori(df, min_support=0.2, use_colnames=True)
    rules = ours.association_rules(table, num_itemsets=len(BASKETS), metric="confidence", min_threshold=0.0)
    for a, c, conv in zip(rules["antecedents"], rules["consequents"], rules["conviction"], strict=True):
        assert conv == pytest.approx(expected_conviction(a, c), rel=1e-12), (a, c)


def test_the_command(tmp_path):
    (tmp_path / "in.basket").write_text("".join(",".join(b) + "\n" for b in BASKETS))
    r = subprocess.run(
        [sys.executable, "-m", "tallisk", "pairs", "in.basket", "--min-count", "1", "-o", "p.jsonl"],
        cwd=tmp_path,
        capture_output=True,
        timeout=300,
    )
    assert r.returncode == 0, r.stderr.decode()
    recs = [json.loads(line) for line in (tmp_path / "p.jsonl").read_text().splitlines()]
    towards_bread = [float(x["conviction"]) for x in recs if x["item_b"] == "bread"]
    assert len(towards_bread) == 3 and all(math.isinf(v) for v in towards_bread)
