"""A reproducible grocery-shop dataset with product names, for the demo, the docs and
tests.

:func:`groceries` draws each basket from a seed alone: a few staples picked by a skewed
popularity (milk and bread in many baskets, anchovies in few), and in most baskets one
or two shopping "missions" (pasta night, a barbecue, a baby run, baking...) of which
the shopper buys most, not all, items. That gives what real baskets show: strong rules
inside a mission (spaghetti -> tomato sauce), popular items that go with everything
at a lift near 1, and weak links between missions.

``python -m tallisk.datasets OUT [--transactions N] [--seed S]`` writes the data; the
extension picks the layout: ``.csv`` a long table (basket_id, product), ``.basket`` one
basket per line with comma-separated names, ``.gz`` compressed.
"""

from __future__ import annotations

import argparse
import gzip
import os
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["MISSIONS", "STAPLES", "groceries", "write_groceries"]

# Everyday products, most popular first (popularity falls off as 1 / rank).
STAPLES = (
    "whole milk",
    "bananas",
    "white bread",
    "eggs",
    "butter",
    "yogurt",
    "tomatoes",
    "potatoes",
    "onions",
    "apples",
    "cheddar",
    "orange juice",
    "bottled water",
    "carrots",
    "chicken breast",
    "rice",
    "pasta",
    "coffee",
    "sugar",
    "toilet paper",
    "soda",
    "chocolate bar",
    "ham",
    "lettuce",
    "cucumber",
    "oranges",
    "frozen pizza",
    "ice cream",
    "cereal",
    "peanut butter",
    "jam",
    "lemons",
    "garlic",
    "paper towels",
    "dish soap",
    "shampoo",
    "toothpaste",
    "canned tuna",
    "baked beans",
    "crackers",
    "grapes",
    "strawberries",
    "mushrooms",
    "bell peppers",
    "spinach",
    "ground beef",
    "sausages",
    "bacon",
    "salmon",
    "tea",
    "honey",
    "olive oil",
    "flour",
    "ketchup",
    "mayonnaise",
    "mustard",
    "soy sauce",
    "tortilla chips",
    "popcorn",
    "cookies",
    "sparkling water",
    "beer",
    "red wine",
    "white wine",
    "cat food",
    "dog food",
    "batteries",
    "light bulbs",
    "sponges",
    "trash bags",
    "anchovies",
)

# Things bought together, and how often a basket holds each mission (relative weights).
MISSIONS: dict[str, tuple[tuple[str, ...], float]] = {
    "pasta night": (("spaghetti", "tomato sauce", "parmesan", "garlic", "basil"), 1.0),
    "taco night": (("tortillas", "ground beef", "salsa", "shredded cheese", "sour cream", "avocados"), 0.8),
    "barbecue": (("sausages", "burger buns", "ketchup", "charcoal", "beer"), 0.7),
    "baby run": (("diapers", "baby wipes", "baby food", "beer"), 0.6),
    "baking": (("flour", "sugar", "eggs", "butter", "baking powder", "vanilla extract"), 0.6),
    "pancakes": (("flour", "eggs", "whole milk", "maple syrup"), 0.5),
    "breakfast": (("whole milk", "cereal", "bananas", "orange juice"), 1.2),
    "coffee break": (("coffee", "coffee filters", "cream", "cookies"), 0.8),
    "sandwiches": (("white bread", "ham", "cheddar", "lettuce", "mustard"), 0.9),
    "greek salad": (("lettuce", "tomatoes", "cucumber", "feta", "olives", "olive oil"), 0.6),
    "game night": (("tortilla chips", "salsa", "guacamole", "beer", "soda"), 0.6),
    "wine and cheese": (("red wine", "brie", "crackers", "grapes"), 0.5),
    "curry": (("rice", "chicken breast", "curry paste", "coconut milk", "onions"), 0.6),
    "cat owner": (("cat food", "cat litter"), 0.5),
    "cleaning": (("dish soap", "sponges", "paper towels", "trash bags"), 0.5),
    "tea time": (("tea", "lemons", "honey", "scones"), 0.4),
    "sushi at home": (("sushi rice", "nori", "salmon", "soy sauce", "wasabi"), 0.3),
    "movie night": (("popcorn", "soda", "chocolate bar", "ice cream"), 0.5),
}


def groceries(n_transactions: int = 20_000, seed: int = 0) -> pd.DataFrame:
    """Baskets of a grocery shop as a long table, drawn from a seed alone.

    Parameters
    ----------
    n_transactions : int, default 20000
        The number of baskets, 0 or more.
    seed : int, default 0
        The seed of NumPy's random generator; the same seed gives the same table on
        every machine.

    Returns
    -------
    DataFrame
        One row per (basket, product): columns ``basket_id`` (int64, 1 …) and
        ``product`` (str). A basket may be empty, then it has no row.

    Raises
    ------
    ValueError
        For a negative number of baskets.
    TypeError
        For a number of baskets or a seed that is not an int.

    Examples
    --------
    >>> from tallisk.datasets import groceries
    >>> df = groceries(5, seed=1)
    >>> df.columns.tolist(), df["basket_id"].unique().tolist()
    (['basket_id', 'product'], [1, 2, 3, 4, 5])
    >>> df.loc[df["basket_id"] == 1, "product"].tolist()
    ['white bread', 'potatoes', 'dog food', 'beer', 'ham', 'cheddar']
    >>> groceries(5, seed=1).equals(df)
    True
    """
    if n_transactions < 0:
        raise ValueError(f"n_transactions must be 0 or more; got {n_transactions}")
    rng = np.random.default_rng(seed)
    names = list(MISSIONS)
    vocab = list(dict.fromkeys(list(STAPLES) + [x for m in names for x in MISSIONS[m][0]]))
    ids = {x: k for k, x in enumerate(vocab)}
    popularity = 1.0 / np.arange(1, len(STAPLES) + 1) ** 0.9
    popularity /= popularity.sum()
    weights = np.array([MISSIONS[m][1] for m in names])
    weights /= weights.sum()
    width = max(len(MISSIONS[m][0]) for m in names)
    members = np.full((len(names), width), -1, dtype=np.int64)
    # The first items of a mission are its core: remembered more often than the last.
    remember = np.zeros((len(names), width))
    for k, m in enumerate(names):
        items = MISSIONS[m][0]
        members[k, : len(items)] = [ids[x] for x in items]
        remember[k, : len(items)] = np.linspace(0.92, 0.55, len(items))

    n = n_transactions
    n_staples = rng.poisson(3.2, size=n)
    staple_txn = np.repeat(np.arange(n, dtype=np.int64), n_staples)
    staple_item = rng.choice(len(STAPLES), size=int(n_staples.sum()), p=popularity).astype(np.int64)
    n_missions = rng.choice(3, size=n, p=[0.3, 0.55, 0.15])
    first = rng.choice(len(names), size=n, p=weights)
    second = rng.choice(len(names), size=n, p=weights)
    while (same := second == first).any():  # two different missions
        second[same] = rng.choice(len(names), size=int(same.sum()), p=weights)
    txn_parts, item_parts = [staple_txn], [staple_item]
    for slot, mission in enumerate((first, second)):
        take = (rng.random((n, width)) < remember[mission]) & (members[mission] >= 0)
        take &= (n_missions > slot)[:, None]
        rows, cols = np.nonzero(take)
        txn_parts.append(rows.astype(np.int64))
        item_parts.append(members[mission[rows], cols])
    # A basket holds something: an empty one gets the most popular staple it drew last.
    txn = np.concatenate(txn_parts)
    item = np.concatenate(item_parts)
    empty = np.setdiff1d(np.arange(n, dtype=np.int64), txn)
    txn = np.concatenate((txn, empty))
    item = np.concatenate((item, rng.choice(len(STAPLES), size=len(empty), p=popularity)))
    order = np.argsort(txn, kind="stable")
    df = pd.DataFrame({"basket_id": txn[order] + 1, "product": np.array(vocab, dtype=object)[item[order]]})
    df = df.drop_duplicates(ignore_index=True)
    df["product"] = df["product"].astype("str")
    return df


def write_groceries(path: str, n_transactions: int = 20_000, seed: int = 0) -> pd.DataFrame:
    """Write :func:`groceries` to a file; the directory is made when missing.

    Parameters
    ----------
    path : str
        ``.csv``: the long table with its header; ``.basket``: one basket per line, its
        products comma-separated; either ending in ``.gz``: gzip-compressed.
    n_transactions : int, default 20000
        The number of baskets.
    seed : int, default 0
        The seed, as for :func:`groceries`.

    Returns
    -------
    DataFrame
        The table written, as :func:`groceries` returns it.

    Raises
    ------
    ValueError
        For another extension, or a negative number of baskets.
    TypeError
        For a number of baskets or a seed that is not an int.
    OSError
        When the file cannot be written.

    Examples
    --------
    >>> import os, shutil, tempfile
    >>> from tallisk.datasets import write_groceries
    >>> d = tempfile.mkdtemp()
    >>> df = write_groceries(os.path.join(d, "shop.basket"), 3, seed=1)
    >>> tr = tallisk.read_transactions(os.path.join(d, "shop.basket"))
    >>> tr.n_transactions, tr.n_occurrences == len(df.drop_duplicates())
    (3, True)
    >>> shutil.rmtree(d)
    """
    df = groceries(n_transactions, seed)
    low = path.lower()
    opener: Any = gzip.open if low.endswith(".gz") else open
    base = low[:-3] if low.endswith(".gz") else low
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with opener(path, "wt", encoding="utf-8", newline="") as f:
        if base.endswith(".csv"):
            df.to_csv(f, index=False, lineterminator="\n")
        elif base.endswith(".basket"):
            for _, group in df.groupby("basket_id", sort=True)["product"]:
                f.write(",".join(group.tolist()) + "\n")
        else:
            raise ValueError(f"write_groceries writes .csv or .basket files (optionally .gz); got {path}")
    return df


def main(argv: list[str] | None = None) -> None:
    ap = argparse.ArgumentParser(prog="python -m tallisk.datasets", description=__doc__.split("\n\n")[0])
    ap.add_argument("output", help="file to write: .csv (long table) or .basket, optionally .gz")
    ap.add_argument("--transactions", type=int, default=20_000)
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args(argv)
    df = write_groceries(args.output, args.transactions, args.seed)
    print(
        f"wrote {args.output}: {df['basket_id'].nunique()} baskets, {df['product'].nunique()} products, {len(df)} rows"
    )


if __name__ == "__main__":
    main()
