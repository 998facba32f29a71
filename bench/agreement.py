"""Label mapping and result comparison for the benchmark's agreement check.

Every tool answers in its own shape: our pipelines give 2-D arrays of item ids in an
unspecified row order, pyfim gives tuples of labels in its own item order, mlxtend gives
frozensets of column names, efficient-apriori gives a dict per level. Everything here
turns those answers into one form, ``{level: {sorted label tuple: count}}``, compares two
of them as sets, and says what a difference most likely means. Pair tables (ours and
mlxtend's association rules) are compared per ordered pair and metric.

The module needs NumPy only, so its tests run without any peer installed.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np

Levels = dict[int, dict[tuple, int]]

# Metrics mlxtend's association_rules reports that our pair table also has (it has no cosine).
PAIR_METRICS = ("support", "confidence", "lift", "leverage", "conviction", "jaccard")


# ---- thresholds ---------------------------------------------------------------------


def min_count(min_support: float, n_transactions: int) -> int:
    """Our rule: ceil(min_support * n) in double precision, no tolerance; 1 when
    min_support is not positive (0.07 over 100 transactions gives 8)."""
    if not (min_support > 0.0):
        return 1
    return math.ceil(min_support * float(n_transactions))


def fraction_for_count(count: int, n_transactions: int) -> float:
    """A fraction f such that, for every integer c, ``c / n >= f`` exactly when c >= count.

    For peers that only take a fraction and compare ``count / n >= f`` (mlxtend,
    efficient-apriori). Half a transaction below the target keeps both neighbours
    clear of rounding: count/n and (count-1)/n are 1/(2n) away from it.
    """
    if count <= 1 or n_transactions <= 0:
        return 0.5 / n_transactions if n_transactions > 0 else 0.0
    return (count - 0.5) / n_transactions


def fraction_peer_count(min_support: float, n_transactions: int) -> int:
    """The minimum count a peer effectively applies when handed the fraction itself and
    testing ``c / n >= min_support`` in double precision. It can be lower than
    :func:`min_count`: 0.07 over 100 transactions gives 7 here and 8 with our rule."""
    n = int(n_transactions)
    if n <= 0:
        return 0
    c = max(0, math.floor(min_support * n) - 1)
    while c <= n and c / n < min_support:
        c += 1
    return c


# ---- label mapping ------------------------------------------------------------------


def baskets_from_rows(txn_ids: np.ndarray, item_ids: np.ndarray, labels: Sequence | None = None) -> list[tuple]:
    """Occurrence rows -> one basket per distinct transaction label, in order of first
    appearance, each a sorted tuple of distinct item labels.

    This is the transaction model our module uses: rows of one label belong together even
    when they are not adjacent, and a repeated (transaction, item) row counts once. Feeding
    peers anything else (one basket per run of equal labels, duplicates kept) makes them
    count other transactions than we do.
    """
    txn_ids = np.asarray(txn_ids)
    item_ids = np.asarray(item_ids)
    if txn_ids.size == 0:
        return []
    _, first, dense = np.unique(txn_ids, return_index=True, return_inverse=True)
    # renumber labels by first appearance so basket order matches the module's
    rank = np.empty(len(first), dtype=np.int64)
    rank[np.argsort(first, kind="stable")] = np.arange(len(first))
    dense = rank[dense.ravel()]
    order = np.lexsort((item_ids, dense))
    d, it = dense[order], item_ids[order]
    keep = np.ones(len(d), dtype=bool)
    keep[1:] = (d[1:] != d[:-1]) | (it[1:] != it[:-1])
    d, it = d[keep], it[keep]
    bounds = np.flatnonzero(np.diff(d)) + 1
    lab = np.asarray(labels, dtype=object) if labels is not None else None
    out = []
    for chunk in np.split(it, bounds):
        items = chunk.tolist() if lab is None else lab[chunk].tolist()
        out.append(tuple(sorted(items, key=_label_key)))
    return out


def _label_key(x):
    # labels of one dataset share a type; the type name only separates mixed ones
    return (type(x).__name__, x)


def _key(items: Iterable) -> tuple:
    return tuple(sorted(items, key=_label_key))


@dataclass
class Normalised:
    """One tool's answer as {level: {sorted label tuple: count}}, plus rows seen twice."""

    levels: Levels = field(default_factory=dict)
    duplicates: list[tuple] = field(default_factory=list)

    def add(self, items: Iterable, count: int) -> None:
        key = _key(items)
        level = self.levels.setdefault(len(key), {})
        if key in level:
            self.duplicates.append(key)
            if level[key] != count:
                level[key] = max(level[key], int(count))
            return
        level[key] = int(count)


def from_arrays(*tables: tuple[np.ndarray, np.ndarray], labels: Sequence | None = None) -> Normalised:
    """Our result arrays -> labels. Each table is (2-D int32 itemsets, 1-D counts); rows are
    placed by their width, so an empty (0, 0) array contributes nothing."""
    out = Normalised()
    lab = np.asarray(labels, dtype=object) if labels is not None else None
    for itemsets, counts in tables:
        itemsets = np.asarray(itemsets)
        counts = np.asarray(counts)
        if itemsets.shape[0] != counts.shape[0]:
            raise ValueError(f"{itemsets.shape[0]} itemset rows but {counts.shape[0]} counts")
        if itemsets.size == 0:
            continue
        if lab is not None and (itemsets.min() < 0 or itemsets.max() >= len(lab)):
            raise ValueError("item id outside the label table")
        rows = itemsets.tolist() if lab is None else lab[itemsets].tolist()
        for row, c in zip(rows, counts.tolist(), strict=True):
            out.add(row, c)
    return out


def from_pairs(found: Iterable[tuple[Iterable, int]]) -> Normalised:
    """A peer's (itemset, count) pairs, items in any order or container."""
    out = Normalised()
    for items, count in found:
        out.add(items, count)
    return out


# ---- whole outputs -------------------------------------------------------------------


@dataclass
class Digest:
    """A whole answer in a few numbers: rows per itemset length, and an order-free sum of
    a hash of every (sorted label tuple, count) row. Millions of rows compare without
    shipping them between processes."""

    per_length: dict[int, int]
    checksum: int
    duplicates: int = 0

    def agrees(self, other: Digest) -> bool:
        return self.per_length == other.per_length and self.checksum == other.checksum and not self.duplicates

    def describe(self) -> str:
        return f"{sum(self.per_length.values())} rows, per length {dict(sorted(self.per_length.items()))}"


def _digest_rows(rows: Iterable[tuple[tuple, int]]) -> Digest:
    per_length: dict[int, int] = {}
    total = 0
    seen = 0
    keys = set()
    for key, count in rows:
        per_length[len(key)] = per_length.get(len(key), 0) + 1
        # tuples of ints and str hash the same in every process only for ints; the labels
        # here are ints (FIMI ids) or are hashed through their repr
        h = hash((key, int(count))) if all(isinstance(x, int) for x in key) else hash(repr((key, int(count))))
        total = (total + h) & 0xFFFFFFFFFFFFFFFF
        seen += 1
        keys.add(key)
    return Digest(per_length, total, seen - len(keys))


def digest_pairs(found: Iterable[tuple[Iterable, int]]) -> Digest:
    """A peer's (itemset, count) pairs (pyfim tuples, mlxtend frozensets)."""
    return _digest_rows((_key(items), count) for items, count in found)


def digest_csr(offsets: np.ndarray, items: np.ndarray, counts: np.ndarray, labels: Sequence | None = None) -> Digest:
    """Our CSR answer (offsets, item ids, counts), ids mapped to labels."""
    lab = np.asarray(labels, dtype=object) if labels is not None else None
    mapped = (items if lab is None else lab[items]).tolist()
    off = np.asarray(offsets).tolist()
    c = np.asarray(counts).tolist()
    return _digest_rows((_key(mapped[off[k] : off[k + 1]]), c[k]) for k in range(len(c)))


# ---- itemset comparison -------------------------------------------------------------


@dataclass
class LevelDiff:
    """How two answers differ on one level. Empty lists mean agreement."""

    level: int
    n_ours: int
    n_peer: int
    only_ours: list[tuple[tuple, int]]
    only_peer: list[tuple[tuple, int]]
    count_diff: list[tuple[tuple, int, int]]  # (set, ours, peer)

    @property
    def ok(self) -> bool:
        return not (self.only_ours or self.only_peer or self.count_diff)

    def describe(self, limit: int = 3) -> str:
        if self.ok:
            return f"level {self.level}: {self.n_ours} sets agree"
        parts = [f"level {self.level}: ours {self.n_ours}, peer {self.n_peer}"]
        if self.only_ours:
            parts.append(f"{len(self.only_ours)} only ours, e.g. {self.only_ours[:limit]}")
        if self.only_peer:
            parts.append(f"{len(self.only_peer)} only peer, e.g. {self.only_peer[:limit]}")
        if self.count_diff:
            parts.append(f"{len(self.count_diff)} counts differ (set, ours, peer), e.g. {self.count_diff[:limit]}")
        return "; ".join(parts)


def compare_levels(ours: Normalised | Levels, peer: Normalised | Levels, levels: Iterable[int]) -> list[LevelDiff]:
    """Compares the given levels as sets of (itemset, count). A level missing on one side
    is an empty level there."""
    a = ours.levels if isinstance(ours, Normalised) else ours
    b = peer.levels if isinstance(peer, Normalised) else peer
    diffs = []
    for k in sorted(set(levels)):
        x, y = a.get(k, {}), b.get(k, {})
        only_x = sorted(((s, c) for s, c in x.items() if s not in y), key=_row_key)
        only_y = sorted(((s, c) for s, c in y.items() if s not in x), key=_row_key)
        diff = sorted(((s, c, y[s]) for s, c in x.items() if s in y and y[s] != c), key=_row_key)
        diffs.append(LevelDiff(k, len(x), len(y), only_x, only_y, diff))
    return diffs


def _row_key(row):
    return tuple(_label_key(x) for x in row[0])


def diagnose(diffs: Sequence[LevelDiff], min_count_ours: int) -> list[str]:
    """Most likely causes of a disagreement, from the pattern of the differences.

    * sets only the peer has, all with a count just below our minimum: the peer applied a
      lower minimum count (a fraction rounded differently);
    * sets only we have, below the minimum: we applied a lower minimum count; at or above
      it: the peer applied a higher one, or we are wrong;
    * the peer counting a set more often than we do: it counted a transaction twice
      (duplicated rows or repeated items) or split one transaction label into several;
    * the peer counting less: it merged transactions or dropped some.
    """
    causes = []
    only_peer = [c for d in diffs for _, c in d.only_peer]
    only_ours = [c for d in diffs for _, c in d.only_ours]
    higher = [p - o for d in diffs for _, o, p in d.count_diff if p > o]
    lower = [o - p for d in diffs for _, o, p in d.count_diff if p < o]
    if only_peer and all(c < min_count_ours for c in only_peer):
        causes.append(
            f"peer used a lower minimum count: its extra sets have counts {min(only_peer)}.."
            f"{max(only_peer)}, below ours ({min_count_ours})"
        )
    elif only_peer:
        causes.append(
            "peer reports sets at or above our minimum count that we miss: ours is wrong "
            "or the two sides counted different transactions"
        )
    if only_ours and all(c < min_count_ours for c in only_ours):
        causes.append(
            f"the tested side used a lower minimum count: its {len(only_ours)} extra sets have counts"
            f" {min(only_ours)}..{max(only_ours)}, below {min_count_ours} (a fraction compared as"
            " count / n >= f can round differently from ceil(f * n))"
        )
    elif only_ours and not higher and not lower:
        causes.append(
            f"we report {len(only_ours)} sets the peer misses (counts {min(only_ours)}..{max(only_ours)}):"
            " peer used a higher minimum count, or ours is wrong"
        )
    if higher:
        causes.append(
            f"peer counts {len(higher)} sets higher (by up to {max(higher)}): it counted duplicated"
            " rows / repeated items, or one transaction label as several transactions"
        )
    if lower:
        causes.append(
            f"peer counts {len(lower)} sets lower (by up to {max(lower)}): it merged or dropped"
            " transactions, or ours counts a transaction twice"
        )
    return causes


# ---- pair table comparison ----------------------------------------------------------


@dataclass
class PairDiff:
    """Disagreement between two pair tables keyed by ordered (antecedent, consequent).

    The lists hold up to ``EXAMPLES`` entries each; the ``n_*`` fields count them all.
    """

    n_ours: int
    n_peer: int
    only_ours: list[tuple]
    only_peer: list[tuple]
    metric_diff: list[tuple]  # ((a, b), metric, ours, peer)
    documented: list[tuple]  # same shape, differences the module defines on purpose
    max_rel_err: dict[str, float]
    duplicates: int = 0
    n_only_ours: int = 0
    n_only_peer: int = 0
    n_metric_diff: int = 0
    n_documented: int = 0

    @property
    def ok(self) -> bool:
        return not (self.n_only_ours or self.n_only_peer or self.n_metric_diff or self.duplicates)

    def describe(self, limit: int = 3) -> str:
        parts = [f"{self.n_ours} ordered pairs ours, {self.n_peer} peer"]
        if self.n_only_ours:
            parts.append(f"{self.n_only_ours} only ours, e.g. {self.only_ours[:limit]}")
        if self.n_only_peer:
            parts.append(f"{self.n_only_peer} only peer, e.g. {self.only_peer[:limit]}")
        if self.duplicates:
            parts.append(f"{self.duplicates} duplicated pairs")
        if self.n_metric_diff:
            parts.append(f"{self.n_metric_diff} metric values differ, e.g. {self.metric_diff[:limit]}")
        if self.n_documented:
            metrics = sorted({m for _, m, _, _ in self.documented})
            parts.append(
                f"{self.n_documented} documented differences ({', '.join(metrics)}; consequent in"
                " every transaction: ours NaN)"
            )
        worst = max(self.max_rel_err.values(), default=0.0)
        parts.append(f"max rel. error {worst:.1e}")
        return "; ".join(parts)


EXAMPLES = 1000


def close(a: float, b: float, tol: float) -> bool:
    """Equal within tol relative to max(1, |a|, |b|); NaN equals NaN, inf equals same inf."""
    return bool(_close(np.array([a], dtype=np.float64), np.array([b], dtype=np.float64), tol)[0])


def _close(a: np.ndarray, b: np.ndarray, tol: float) -> np.ndarray:
    with np.errstate(invalid="ignore", over="ignore"):
        both_nan = np.isnan(a) & np.isnan(b)
        finite = np.isfinite(a) & np.isfinite(b)
        scale = np.maximum(1.0, np.maximum(np.abs(a), np.abs(b)))
        near = np.where(finite, np.abs(a - b) <= tol * scale, a == b)
    return both_nan | (near & ~np.isnan(a) & ~np.isnan(b))


def _rel_err(a: np.ndarray, b: np.ndarray) -> float:
    finite = np.isfinite(a) & np.isfinite(b)
    if not finite.any():
        return 0.0
    a, b = a[finite], b[finite]
    return float(np.max(np.abs(a - b) / np.maximum(1.0, np.maximum(np.abs(a), np.abs(b)))))


def _codes(values, code_of: dict) -> np.ndarray:
    """Labels -> their index in the label table, -1 for labels it does not hold."""
    return np.fromiter((code_of.get(v, -1) for v in values), dtype=np.int64, count=len(values))


def compare_pair_tables(
    ours: Mapping,
    peer: Mapping,
    labels: Sequence | None = None,
    tol: float = 1e-12,
    metrics: Sequence[str] = PAIR_METRICS,
) -> PairDiff:
    """Compares our pair table (keys "item_A", "item_B" and the metric columns) with a peer
    table, keyed by ordered pair. The peer gives either labels ("antecedent", "consequent";
    our ids are mapped through ``labels``) or ids of the same label table ("item_A",
    "item_B"). Vectorised: tables of millions of pairs compare in seconds.

    Conviction is NaN in our table when the consequent is in every transaction (support 1),
    where mlxtend says inf: listed as documented, not as a mismatch. When the peer gives
    "consequent_support", only consequents it puts at 1.0 qualify.
    """
    a = np.asarray(ours["item_A"], dtype=np.int64)
    b = np.asarray(ours["item_B"], dtype=np.int64)
    lab = np.asarray(labels, dtype=object) if labels is not None else None
    if "antecedent" in peer and lab is None:  # without a label table our ids are the labels
        pa = np.asarray(list(peer["antecedent"]), dtype=np.int64)
        pb = np.asarray(list(peer["consequent"]), dtype=np.int64)
    elif "antecedent" in peer:
        code_of = {v: i for i, v in enumerate(lab.tolist())}
        pa = _codes(list(peer["antecedent"]), code_of)
        pb = _codes(list(peer["consequent"]), code_of)
    else:
        pa = np.asarray(peer["item_A"], dtype=np.int64)
        pb = np.asarray(peer["item_B"], dtype=np.int64)
    width = int(max(a.max(initial=0), b.max(initial=0), pa.max(initial=0), pb.max(initial=0))) + 2
    name = (lambda i: lab[i]) if lab is not None else (lambda i: int(i))
    unknown = (pa < 0) | (pb < 0)  # peer labels absent from our table: pairs only the peer has

    def keyed(x, y):
        key = (x + 1) * width + (y + 1)
        order = np.argsort(key, kind="stable")
        k = key[order]
        dup = int(np.count_nonzero(k[1:] == k[:-1]))
        first = np.ones(len(k), dtype=bool)
        first[1:] = k[1:] != k[:-1]
        return k[first], order[first], dup

    ka, ia, dup_a = keyed(a, b)
    kb, ib, dup_b = keyed(pa[~unknown], pb[~unknown])
    ib = np.flatnonzero(~unknown)[ib]
    _, ja, jb = np.intersect1d(ka, kb, assume_unique=True, return_indices=True)
    ra, rb = ia[ja], ib[jb]

    def pair(i, x, y):
        return (name(x[i]), name(y[i]))

    only_a = np.setdiff1d(np.arange(len(ka)), ja, assume_unique=True)
    only_b = np.setdiff1d(np.arange(len(kb)), jb, assume_unique=True)
    only_ours = [pair(ia[i], a, b) for i in only_a[:EXAMPLES]]
    extra_unknown = np.flatnonzero(unknown)
    only_peer = [pair(ib[i], pa, pb) for i in only_b[:EXAMPLES]]
    only_peer += [(peer["antecedent"][i], peer["consequent"][i]) for i in extra_unknown[:EXAMPLES]]

    universal = None  # consequents the peer says are in every transaction
    if "consequent_support" in peer:
        universal = np.asarray(peer["consequent_support"], dtype=np.float64)[rb] == 1.0
    diff, documented, n_diff, n_doc = [], [], 0, 0
    worst = {}
    for m in metrics:
        x = np.asarray(ours[m], dtype=np.float64)[ra]
        y = np.asarray(peer[m], dtype=np.float64)[rb]
        bad = ~_close(x, y, tol)
        if m == "conviction":
            doc = bad & np.isnan(x) & np.isinf(y)
            if universal is not None:
                doc &= universal
            bad &= ~doc
            n_doc += int(doc.sum())
            documented += [(pair(ra[i], a, b), m, float(x[i]), float(y[i])) for i in np.flatnonzero(doc)[:EXAMPLES]]
        n_diff += int(bad.sum())
        diff += [(pair(ra[i], a, b), m, float(x[i]), float(y[i])) for i in np.flatnonzero(bad)[:EXAMPLES]]
        worst[m] = _rel_err(x, y)
    return PairDiff(
        len(a),
        len(pa),
        only_ours,
        only_peer,
        diff,
        documented,
        worst,
        dup_a + dup_b,
        len(only_a),
        len(only_b) + len(extra_unknown),
        n_diff,
        n_doc,
    )
