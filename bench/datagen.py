"""Reproducible synthetic market-basket data.

Two shapes, both built from a seed alone:

* ``sparse``: retail-like. Many items with a skewed (Zipf) popularity, short baskets
  (about ``avg_len`` items), a fraction of each basket drawn from a pool of recurring
  patterns so that frequent itemsets of size 3 and 4 exist, as in real baskets.
* ``dense``: few items, long baskets, high support (a chess- or census-like table).

Each function returns ``(txn_ids, item_ids, n_items)``: one row per (transaction, item)
occurrence, int64 labels and int32 item ids, items of a basket distinct.
"""

from __future__ import annotations

import numpy as np


def _rows(baskets: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    lengths = np.fromiter((len(b) for b in baskets), dtype=np.int64, count=len(baskets))
    txn_ids = np.repeat(np.arange(len(baskets), dtype=np.int64), lengths)
    item_ids = np.concatenate(baskets).astype(np.int32) if baskets else np.zeros(0, np.int32)
    return txn_ids, item_ids


def sparse(
    n_txn: int = 100_000,
    n_items: int = 5_000,
    avg_len: float = 10.0,
    n_patterns: int = 400,
    pattern_share: float = 0.5,
    seed: int = 0,
) -> tuple[np.ndarray, np.ndarray, int]:
    rng = np.random.default_rng(seed)
    ranks = np.arange(1, n_items + 1, dtype=np.float64)
    popularity = 1.0 / ranks**1.1
    popularity /= popularity.sum()
    perm = rng.permutation(n_items)  # popular items are not simply the low ids
    pattern_len = rng.integers(2, 7, size=n_patterns)
    patterns = [perm[rng.choice(n_items // 4, size=l, replace=False)] for l in pattern_len]  # noqa: E741
    pattern_weight = rng.exponential(1.0, size=n_patterns)
    pattern_weight /= pattern_weight.sum()

    lengths = np.maximum(1, rng.poisson(avg_len - 1, size=n_txn) + 1)
    n_from_pattern = rng.binomial(1, pattern_share, size=n_txn)
    chosen_pattern = rng.choice(n_patterns, size=n_txn, p=pattern_weight)
    noise = perm[rng.choice(n_items, size=int(lengths.sum()), p=popularity)]
    baskets = []
    pos = 0
    for t in range(n_txn):
        l = int(lengths[t])  # noqa: E741
        basket = noise[pos : pos + l]
        pos += l
        if n_from_pattern[t]:
            p = patterns[chosen_pattern[t]]
            # a shopper buys most, not always all, of a pattern
            keep = p[rng.random(len(p)) < 0.85]
            basket = np.concatenate([keep, basket[: max(0, l - len(keep))]])
        baskets.append(np.unique(basket))
    txn_ids, item_ids = _rows(baskets)
    return txn_ids, item_ids, n_items


def dense(
    n_txn: int = 5_000, n_items: int = 80, avg_len: float = 30.0, seed: int = 0
) -> tuple[np.ndarray, np.ndarray, int]:
    rng = np.random.default_rng(seed)
    # every item has its own inclusion probability; a few are near-universal
    prob = np.clip(rng.beta(2.0, 2.0, size=n_items) * (2 * avg_len / n_items), 0.02, 0.97)
    # correlated groups make long frequent itemsets, as in real dense data
    groups = rng.integers(0, 8, size=n_items)
    mood = rng.random((n_txn, 8)) < 0.5
    boost = np.where(mood[:, groups], 1.25, 0.75)
    present = rng.random((n_txn, n_items)) < np.clip(prob * boost, 0.0, 0.99)
    t, i = np.nonzero(present)
    return t.astype(np.int64), i.astype(np.int32), n_items


def read_transactions(path: str) -> tuple[np.ndarray, np.ndarray, int]:
    """Reads one transaction per line of space-separated item ids (the FIMI format).

    Item ids are used as they are when they are small non-negative integers; otherwise
    they are factorised. Repeated items on a line count once.
    """
    txn, items = [], []
    with open(path) as f:
        t = 0
        for line in f:
            parts = line.split()
            if not parts:
                continue
            vals = sorted(set(parts), key=lambda s: (len(s), s))
            txn.extend([t] * len(vals))
            items.extend(vals)
            t += 1
    try:
        ids = np.array([int(x) for x in items], dtype=np.int64)
        if ids.size and (ids.min() < 0 or ids.max() > 10_000_000):
            raise ValueError
        n_items = int(ids.max()) + 1 if ids.size else 0
        item_ids = ids.astype(np.int32)
    except ValueError:
        uniq, inv = np.unique(np.array(items), return_inverse=True)
        item_ids = inv.astype(np.int32)
        n_items = len(uniq)
    return np.array(txn, dtype=np.int64), item_ids, n_items
