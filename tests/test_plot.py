"""The drawings hold the numbers of the table they were given."""

from __future__ import annotations

import itertools
import math
import random
from collections import Counter

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("matplotlib")
from helpers import brute_rules  # noqa: E402
from tallisk import plot  # noqa: E402


def baskets(seed: int = 0, n: int = 300) -> list[list[str]]:
    rng = random.Random(seed)
    vocab = [f"item {k}" for k in range(12)]
    out = []
    for _ in range(n):
        b = rng.sample(vocab, rng.randint(1, 5))
        if rng.random() < 0.3:
            b += ["item 0", "item 1"]
        out.append(sorted(set(b)))
    return out


COLUMNS = ["antecedents", "consequents", "support", "confidence", "lift", "conviction"]


def rules_table(data, min_count: int = 8) -> pd.DataFrame:
    """Rules A -> C with one-item consequents among itemsets of up to 3 items, from brute-force counts."""
    rules = brute_rules(data, min_count, max_len=3)
    rows = [(a, c, *(m[k] for k in COLUMNS[2:])) for (a, c), m in rules.items() if len(c) == 1]
    return pd.DataFrame(rows, columns=COLUMNS)


def brute_pairs(data) -> pd.DataFrame:
    n = len(data)
    single = Counter(x for b in data for x in b)
    pair = Counter(p for b in data for p in itertools.permutations(b, 2))
    rows = [(a, b, c, c / n, c / single[a], n * c / (single[a] * single[b])) for (a, b), c in pair.items()]
    return pd.DataFrame(rows, columns=["item_a", "item_b", "count", "support", "confidence", "lift"])


def test_scatter_points_are_the_rules_in_lift_order():
    rules = rules_table(baskets())
    ax = plot.rules_scatter(rules, ax=plot.new_axes(pyplot=False))
    points = ax.collections[0]
    order = np.argsort(rules["lift"].to_numpy(), kind="stable")
    np.testing.assert_allclose(points.get_offsets(), rules[["support", "confidence"]].to_numpy()[order])
    np.testing.assert_allclose(points.get_array(), rules["lift"].to_numpy()[order])
    assert plot.describe(ax) == "x: support; y: confidence; colour: lift"
    assert ax.get_title() == f"{len(rules)} rules"
    # coloured by a metric with an infinite value, the drawing stays finite
    rules.loc[0, "conviction"] = math.inf
    colours = plot.rules_scatter(rules, ax=plot.new_axes(pyplot=False), by="conviction").collections[0].get_array()
    assert np.isfinite(colours).all()
    assert colours.max() == rules["conviction"][np.isfinite(rules["conviction"])].max()


def test_graph_has_one_dot_per_top_rule_and_every_item_named():
    pytest.importorskip("networkx")
    rules = rules_table(baskets())
    top = 7
    ax = plot.rules_graph(rules, top=top, ax=plot.new_axes(pyplot=False))
    picked = rules.sort_values("lift", ascending=False, kind="stable").head(top)
    dots = [c for c in ax.collections if len(c.get_offsets()) == top]
    assert dots, "no collection of one dot per rule"
    np.testing.assert_allclose(np.sort(dots[0].get_array()), np.sort(picked["lift"].to_numpy()))
    items = {x for col in ("antecedents", "consequents") for v in picked[col] for x in v}
    assert {t.get_text() for t in ax.texts} == items


@pytest.mark.parametrize("top", [4, 12])
def test_heatmap_cells_are_the_lifts_of_the_most_frequent_items(top):
    data = baskets(seed=3)
    pairs = brute_pairs(data)
    ax = plot.pair_heatmap(pairs, top=top, ax=plot.new_axes(pyplot=False))
    frequency = Counter(x for b in data for x in b)
    chosen = [x for x, _ in sorted(frequency.items(), key=lambda kv: -kv[1])][:top]
    assert [t.get_text() for t in ax.get_yticklabels()] == chosen
    shown = ax.images[0].get_array()
    lift = {(a, b): v for a, b, v in zip(pairs["item_a"], pairs["item_b"], pairs["lift"], strict=True)}
    for i, a in enumerate(chosen):
        for j, b in enumerate(chosen):
            if (a, b) in lift:
                assert shown[i, j] == pytest.approx(lift[(a, b)])
            else:
                assert np.ma.is_masked(shown[i, j])
    assert plot.describe(ax) == "x: second item (B); y: first item (A); colour: lift"


def test_without_ax_a_pyplot_figure_is_made():
    plt = pytest.importorskip("matplotlib.pyplot")
    try:
        ax = plot.rules_scatter(rules_table(baskets()))
        assert ax.figure in [plt.figure(n) for n in plt.get_fignums()]
    finally:
        plt.close("all")


def test_missing_columns_are_named():
    with pytest.raises(KeyError, match="lift"):
        plot.rules_scatter(pd.DataFrame({"support": [0.1], "confidence": [0.5]}), ax=plot.new_axes(pyplot=False))
