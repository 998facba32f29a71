"""Shared test helpers: basket generation, a brute-force miner used as the oracle, and
running code in a subprocess with a chosen worker-pool size."""

from __future__ import annotations

import inspect
import itertools
import math
import os
import pickle
import subprocess
import sys
import textwrap
from collections import Counter

import numpy as np

SANITIZED = os.environ.get("TALLISK_SANITIZED") == "1"


def to_arrays(baskets, labels=None):
    """Baskets (lists of item ids) -> (txn_ids int64, item_ids int32) occurrence rows."""
    txn, items = [], []
    for t, basket in enumerate(baskets):
        label = labels[t] if labels is not None else t
        for x in basket:
            txn.append(label)
            items.append(x)
    return np.array(txn, dtype=np.int64), np.array(items, dtype=np.int32)


def random_baskets(rng, n_txn, n_items, avg_len, gravity=0.6):
    """Random baskets whose items cluster (a moving 'gravity' centre), so that random
    data actually holds frequent itemsets of size 3 and more."""
    baskets = []
    centre = 0
    for _ in range(n_txn):
        if rng.random() > gravity:
            centre = int(rng.integers(0, max(n_items, 1)))
        n = max(1, int(rng.poisson(avg_len)))
        width = max(2, n_items // 4)
        items = (centre + rng.integers(0, width, size=n)) % n_items
        baskets.append(sorted(set(int(x) for x in items)))
    return baskets


def min_count_of(min_support, n_txn):
    """ceil(min_support * n) in double precision; 1 when min_support is not positive, and
    never 0 (a set no basket holds is not frequent); 2**32 - 1 when the product is infinite."""
    c = min_support * float(n_txn)
    if not (min_support > 0.0) or math.isnan(c):
        return 1
    return max(1, math.ceil(c)) if math.isfinite(c) else 2**32 - 1


def scrambled(rng, baskets):
    """Occurrence rows of `baskets` with arbitrary int64 labels (all equal in their low 32
    bits), in random order, a fifth of them repeated: only equality of labels may matter,
    and a repeat counts once."""
    labels = rng.permutation(len(baskets)) * 2**32 - 2**62
    txn, items = to_arrays(baskets, labels=labels.tolist())
    order = rng.permutation(np.concatenate([np.arange(len(txn)), rng.integers(0, max(len(txn), 1), len(txn) // 5)]))
    return txn[order], items[order]


def to_csr(rows):
    """(offsets int64, items int32) of a sequence of itemsets."""
    offsets = np.zeros(len(rows) + 1, np.int64)
    offsets[1:] = np.cumsum([len(r) for r in rows])
    return offsets, np.array([x for r in rows for x in r], np.int32)


def by_target(sets, target):
    """The closed or maximal sets of a {sorted itemset: count} table of every frequent set.
    One-item extensions suffice: a superset with the same count (or any frequent superset)
    implies a one-item one."""
    if target == "all":
        return dict(sets)
    items = sorted({x for s in sets for x in s})
    ext = lambda s: (tuple(sorted(s + (x,))) for x in items if x not in s)  # noqa: E731
    if target == "closed":
        return {s: c for s, c in sets.items() if all(sets.get(e) != c for e in ext(s))}
    return {s: c for s, c in sets.items() if not any(e in sets for e in ext(s))}


def pair_metrics(c, n_x, n_y, n):
    """(support, confidence, lift, conviction, leverage, cosine, jaccard) of x -> y from
    the counts of both, x and y among n transactions, as the pair tables define them."""
    s, sx, sy = c / n, n_x / n, n_y / n
    conf = c / n_x
    lift = conf / sy if sy > 0 else math.inf
    conviction = math.nan if not sy < 1 else (math.inf if conf >= 1 else (1 - sy) / (1 - conf))
    return (s, conf, lift, conviction, s - sx * sy, s / math.sqrt(sx * sy), s / (sx + sy - s))


def cap_basket(basket, weights, cap, nan_last=True):
    """The `cap` heaviest items of a basket: missing weights are 0.0, smaller ids first
    among equal weights, NaN weights all below (nan_last) or all above every number."""
    items = sorted(set(basket))
    if cap is None or len(items) <= cap:
        return items

    def key(x):
        w = float(weights[x]) if x < len(weights) else 0.0
        return (math.isnan(w) == nan_last, 0.0 if math.isnan(w) else -w, x)

    return sorted(sorted(items, key=key)[:cap])


def oracle_counter(baskets, freq_lower, pair_set, k, weights=(), cap=None, nan_last=True):
    """The candidate k-sets of one level-wise count, with their counts, from the definition.
    A basket is seen as its items that some member of freq_lower holds, when there are at
    least k, capped to the `cap` heaviest. An anchor is a member of freq_lower (ascending,
    k-1 items) inside such a row; each other item x of the row, paired in pair_set with
    every item of the anchor (when pair_set is not empty), makes anchor + {x}; its count
    is the number of rows holding it."""
    if k == 0 or not freq_lower:
        return {}
    relevant = {x for s in freq_lower for x in s}
    anchors = {tuple(s) for s in freq_lower if len(s) == k - 1 and all(s[i] < s[i + 1] for i in range(len(s) - 1))}
    rows = [sorted({x for x in basket if x in relevant}) for basket in baskets]
    rows = [cap_basket(row, weights, cap, nan_last) for row in rows if len(row) >= k]
    held = Counter(combo for row in rows for combo in itertools.combinations(row, k))

    def produced(c):
        # Some x of c extends the anchor c - {x}, which lies in every row holding c.
        for j, x in enumerate(c):
            anchor = c[:j] + c[j + 1 :]
            if anchor in anchors and (not pair_set or all((min(a, x), max(a, x)) in pair_set for a in anchor)):
                return True
        return False

    return {c: n for c, n in held.items() if produced(c)}


def pairs_of(sets):
    return {(min(s[i], s[j]), max(s[i], s[j])) for s in sets for i in range(len(s)) for j in range(i + 1, len(s))}


def brute_force_counts(baskets, k):
    """Every k-itemset contained in some basket with its count of distinct baskets."""
    counts = Counter()
    for basket in baskets:
        for combo in itertools.combinations(sorted(set(basket)), k):
            counts[combo] += 1
    return counts


def frequent(baskets, k, min_count):
    return {s: c for s, c in brute_force_counts(baskets, k).items() if c >= max(min_count, 1)}


def rows_to_dict(itemsets, counts):
    """A result table (2-D itemsets, 1-D counts) as {tuple(row): count}; rows must be unique."""
    itemsets = np.asarray(itemsets)
    out = {}
    for row, c in zip(itemsets.tolist(), np.asarray(counts).tolist(), strict=True):
        key = tuple(row)
        assert key not in out, f"duplicate row {key}"
        out[key] = c
    return out


def run_in_subprocess(code, threads=None, timeout=300, env=None):
    """Runs `code` in a fresh interpreter; the code must assign `result`, which is
    pickled back; it can import these helpers. `threads` sets RAYON_NUM_THREADS; with
    `env`, the child sees no thread variable but those `env` sets."""
    if env is None:
        env = dict(os.environ)
    else:
        env = {k: v for k, v in os.environ.items() if k not in ("TALLISK_NUM_THREADS", "RAYON_NUM_THREADS")} | env
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    here = os.path.dirname(os.path.abspath(__file__))
    script = f"import sys; sys.path.insert(0, {here!r})\n{textwrap.dedent(code)}\n"
    script += "import pickle, sys\nsys.stdout.buffer.write(pickle.dumps(result))\n"
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, env=env, timeout=timeout)
    if proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stderr.decode()}")
    return pickle.loads(proc.stdout)


def command(*argv):
    """The exit status of the ``tallisk`` command run in this process (argparse's own usage
    errors exit)."""
    from tallisk import cli

    try:
        return cli.main(list(argv))
    except SystemExit as e:
        return e.code


# ---- the contract module ----------------------------------------------------------------

# The pair table's columns: the two ids, their co-occurrence count, then pair_metrics' measures.
PAIR_COLUMNS = ["item_A", "item_B", "instances", "support", "confidence", "lift", "conviction", "leverage"]
PAIR_COLUMNS += ["cosine", "jaccard"]


def contract_kwargs(name, **values):
    """Keyword arguments for the contract function `name`, each parameter taken from `values`
    by its name (values may hold more names than one function takes)."""
    import _tallisk_rs

    return {p: values[p] for p in inspect.signature(getattr(_tallisk_rs, name)).parameters}


def panic_class():
    """The class the contract module's panics raise, found by causing one (an item id
    outside n_items)."""
    import _tallisk_rs

    try:
        _tallisk_rs.rust_compute_pairs(np.zeros(1, np.int64), np.ones(1, np.int32), 1)
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return type(e)
    raise AssertionError("no panic")


def result_levels(result, *pairs):
    """{itemset: count} of each (rows key, counts key) of a contract result, after checking
    the layout: int32 rows of one width (shape (0, 0) when there are none), one int64
    count a row, no row twice."""
    out = []
    for rows_key, counts_key in pairs:
        rows, counts = result[rows_key], result[counts_key]
        assert rows.dtype == np.int32 and counts.dtype == np.int64
        assert rows.ndim == 2 and counts.shape == (rows.shape[0],)
        assert rows.shape[0] or rows.shape == (0, 0)
        out.append(rows_to_dict(rows, counts))
    return out


def cap_weights(kind, rng, n_items):
    """Item weights for cap tests: distinct, with ties, shorter than the item space
    (missing items weigh 0.0), negative and short (missing items then rank above), or
    with NaN among them (any consistent placement of NaN is acceptable)."""
    return {
        "nan": lambda: np.where(rng.random(n_items) < 0.4, np.nan, rng.random(n_items)),
        "distinct": lambda: rng.permutation(n_items).astype(np.float64),
        "ties": lambda: rng.integers(0, 3, size=n_items).astype(np.float64),
        "short": lambda: rng.random(n_items // 2),
        "negative": lambda: -rng.random(n_items - 4),
    }[kind]()


# ---- label-level oracles of the package layer ------------------------------------------


def labelled_baskets(seed, names, n, max_size, p=0.3, empty=True):
    """Baskets of `names` with a skewed popularity (earlier names more often), so that sets
    of several items come out frequent; a basket may be empty unless `empty` is false."""
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(n):
        k = int(rng.integers(0 if empty else 1, max_size + 1))
        out.append([names[i] for i in np.minimum(rng.geometric(p, size=k) - 1, len(names) - 1)])
    return out


def long_frame(baskets):
    """Baskets as long-form rows: an 'order' column of labels 'order-<t>' and a 'product' column."""
    import pandas as pd  # here, so that subprocesses importing this module stay on NumPy alone

    return pd.DataFrame([(f"order-{t}", x) for t, b in enumerate(baskets) for x in b], columns=["order", "product"])


def itemset_counts(baskets, min_count=1, max_len=None):
    """Every itemset (a sorted tuple of labels) held by at least `min_count` baskets, with its count."""
    counts = Counter()
    for basket in baskets:
        items = sorted(set(basket))
        for k in range(1, min(len(items), max_len or len(items)) + 1):
            counts.update(itertools.combinations(items, k))
    return {s: c for s, c in counts.items() if c >= min_count}


def rule_metrics(count, ante_count, cons_count, n):
    """Every metric of a rule A -> C from the counts of A and C together, A, and C in n baskets."""
    s, sa, sc = count / n, ante_count / n, cons_count / n
    conf = s / sa
    return dict(
        antecedent_support=sa,
        consequent_support=sc,
        support=s,
        count=count,
        confidence=conf,
        lift=conf / sc,
        leverage=s - sa * sc,
        conviction=math.inf if conf == 1 else (1 - sc) / (1 - conf),
        zhangs_metric=(s - sa * sc) / max(s * (1 - sa), sa * (sc - s)) if sa < 1 or sc > s else 0.0,
        jaccard=s / (sa + sc - s),
        certainty=(conf - sc) / (1 - sc) if sc < 1 else 0.0,
        kulczynski=(s / sa + s / sc) / 2,
        cosine=s / math.sqrt(sa * sc),
    )


def brute_rules(baskets, min_count, min_confidence=0.0, max_len=None):
    """{(antecedent, consequent): rule_metrics} for every rule among the frequent itemsets."""
    counts = itemset_counts(baskets, min_count, max_len)
    rules = {}
    for itemset, c in counts.items():
        for r in range(1, len(itemset)):
            for a in itertools.combinations(itemset, r):
                cons = tuple(x for x in itemset if x not in a)
                m = rule_metrics(c, counts[a], counts[cons], len(baskets))
                if m["confidence"] >= min_confidence:
                    rules[(a, cons)] = m
    return rules


def check_rows(df, key_a, key_b, expected, rel=1e-9, abs=1e-12):
    """The table's rows, keyed by columns `key_a` and `key_b`, are exactly `expected` ({key: {column: value}})."""
    import pytest

    got = {(a, b): row for a, b, row in zip(df[key_a], df[key_b], df.to_dict("records"), strict=True)}
    assert len(got) == len(df) and set(got) == set(expected)
    for key, want in expected.items():
        for col, value in want.items():
            assert got[key][col] == pytest.approx(value, rel=rel, abs=abs), (key, col)
