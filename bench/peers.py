"""The tools the benchmark runs, each as a pair (prepare, mine).

``prepare`` turns the common occurrence arrays into the input the tool wants (arrays for
our module, baskets for pyfim and efficient-apriori, a one-hot DataFrame for mlxtend) and
is timed separately from ``mine``, which runs the tool and returns its raw answer. ``answer``
turns a raw answer into :class:`agreement.Normalised` (itemset tools) or a pair table
(pair tools). Peers are imported inside the functions, so this module loads without them.
"""

from __future__ import annotations

import contextlib
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import agreement
import numpy as np

# Entries of _tallisk_rs that mine itemsets, with the lowest level their result holds.
# The level-wise family starts at pairs, the classic pipeline at single items.
LEVELWISE = (
    "rust_compute_pipeline",
    "rust_compute_pipeline_v1_roaring",
    "rust_compute_pipeline_v2_memo",
    "rust_compute_pipeline_v3_adaptive",
    "rust_compute_pipeline_v5_prefilter",
    "rust_compute_pipeline_v6_gating",
)
OURS_ITEMSETS = LEVELWISE + ("rust_eclat_pipeline", "rust_classic_compute_pipeline")
OURS_PAIRS = ("rust_compute_pairs", "rust_classic_compute_pairs")
PEER_ITEMSETS = (
    "pyfim_apriori",
    "pyfim_eclat",
    "pyfim_fpgrowth",
    "mlxtend_apriori",
    "mlxtend_fpgrowth",
    "efficient_apriori",
)
PEER_PAIRS = ("scipy_pairs", "mlxtend_rules")

# The whole output (no size limit) of the package engine, tallisk._engine, by target, and
# its peers; the counting of given candidates against the level entry that counts them.
ENGINE_TARGETS = ("all", "closed", "maximal")
OURS_ENGINE = ("engine_mine",)
PEER_ENGINE = ("pyfim_fim", "pyfim_eclat_whole", "pyfim_fpgrowth_whole", "pyfim_apriori_whole", "mlxtend_fpmax")
OURS_COUNT = ("engine_count",)
PEER_COUNT = ("rust_compute_itemsets",)
PYFIM_TARGET = {"all": "s", "closed": "c", "maximal": "m"}

# A one-hot table larger than this many cells goes to mlxtend as a sparse DataFrame: the
# dense bool table of retail (88k x 16k) alone would take 1.4 GB.
DENSE_CELLS_LIMIT = 200_000_000


@dataclass
class Data:
    txn_ids: np.ndarray
    item_ids: np.ndarray
    n_items: int
    labels: np.ndarray  # label of each item id
    n_transactions: int


@dataclass
class Setting:
    k_max: int
    min_support: float  # what our entries get; they derive the minimum count themselves
    min_count: int  # ceil(min_support * n): what pyfim gets, as a negative (absolute) support
    fraction: float  # what mlxtend and efficient-apriori get: selects exactly count >= min_count
    target: str = "all"  # engine section: all / closed / maximal, or "count" for candidate counting


def load(path: str) -> Data:
    z = np.load(path, allow_pickle=True)
    return Data(z["txn_ids"], z["item_ids"], int(z["n_items"]), z["labels"], int(z["n_transactions"]))


def min_level(tool: str) -> int:
    return 1 if tool == "rust_classic_compute_pipeline" or tool in PEER_ITEMSETS else 2


def levels_reported(tool: str, k_max: int) -> list[int]:
    """The itemset sizes a tool's answer holds for k_max: k_max and k_max-1, except below the
    lowest level it mines (with k_max = 2 the level-wise pipelines return the pairs under
    "lower_itemsets" and nothing under "itemsets"; their rows are placed by width)."""
    base = tool.split("@")[0]
    return [k for k in (k_max - 1, k_max) if k >= min_level(base)]


# ---- our entries ---------------------------------------------------------------------


def _module():
    import _tallisk_rs

    return _tallisk_rs


def _prepare_ours(data: Data) -> Data:
    _module()  # imports are set-up, not part of the timed call
    return data


def _prepare_scipy(data: Data) -> Data:
    import scipy.sparse  # noqa: F401

    return data


def _mine_ours(name: str) -> Callable[[Data, Setting], Any]:
    def run(d: Data, s: Setting):
        fn = getattr(_module(), name)
        weights = np.zeros(d.n_items, dtype=np.float64)
        if name == "rust_eclat_pipeline":
            return fn(d.txn_ids, d.item_ids, s.k_max, d.n_items, s.min_support)
        if name == "rust_classic_compute_pipeline":
            return fn(d.txn_ids, d.item_ids, s.k_max, d.n_items, d.n_transactions, s.min_support, weights, None)
        if name == "rust_compute_pairs":
            return fn(d.txn_ids, d.item_ids, d.n_items, s.min_support)
        if name == "rust_classic_compute_pairs":
            return fn(d.txn_ids, d.item_ids, d.n_items, d.n_transactions, s.min_support)
        return fn(d.txn_ids, d.item_ids, s.k_max, d.n_items, s.min_support, weights, None)

    return run


def _answer_ours(raw, d: Data):
    if "item_A" in raw:
        return dict(raw)
    return agreement.from_arrays(
        (raw["itemsets"], raw["counts"]), (raw["lower_itemsets"], raw["lower_counts"]), labels=d.labels
    )


# ---- pyfim (C. Borgelt) ------------------------------------------------------------------


def _prepare_baskets(d: Data) -> list[tuple]:
    return agreement.baskets_from_rows(d.txn_ids, d.item_ids, d.labels)


def _prepare_pyfim(d: Data) -> list[tuple]:
    import fim  # noqa: F401

    return _prepare_baskets(d)


def _prepare_efficient_apriori(d: Data) -> list[tuple]:
    import efficient_apriori  # noqa: F401

    return _prepare_baskets(d)


def _mine_pyfim(algo: str):
    def run(baskets, s: Setting):
        import fim

        # negative supp = absolute minimum count, so no fraction is rounded on its side
        return getattr(fim, algo)(
            baskets, target="s", supp=-s.min_count, zmin=max(1, s.k_max - 1), zmax=s.k_max, report="a"
        )

    return run


def _answer_pairs_list(raw, d: Data):
    return agreement.from_pairs(raw)


# ---- efficient-apriori --------------------------------------------------------------------


def _mine_efficient_apriori(baskets, s: Setting):
    from efficient_apriori import itemsets_from_transactions

    # itemsets only: its apriori() would go on to build rules we do not time
    levels, _ = itemsets_from_transactions(baskets, min_support=s.fraction, max_length=s.k_max)
    return levels


def _answer_efficient_apriori(raw, d: Data):
    return agreement.from_pairs((items, c) for level in raw.values() for items, c in level.items())


# ---- mlxtend ------------------------------------------------------------------------------


def one_hot(d: Data):
    """Transactions x items boolean DataFrame with label column names, only items that
    occur; sparse when the dense table would be too large."""
    import pandas as pd
    import scipy.sparse as sp
    from mlxtend import frequent_patterns  # noqa: F401

    baskets = agreement.baskets_from_rows(d.txn_ids, d.item_ids)  # item ids, distinct transactions
    used = np.unique(d.item_ids)
    col = np.full(d.n_items, -1, dtype=np.int64)
    col[used] = np.arange(len(used))
    lengths = np.fromiter((len(b) for b in baskets), dtype=np.int64, count=len(baskets))
    rows = np.repeat(np.arange(len(baskets)), lengths)
    cols = col[np.fromiter((x for b in baskets for x in b), dtype=np.int64, count=int(lengths.sum()))]
    x = sp.csr_matrix((np.ones(len(rows), dtype=bool), (rows, cols)), shape=(len(baskets), len(used)))
    names = d.labels[used].tolist()
    if x.shape[0] * x.shape[1] <= DENSE_CELLS_LIMIT:
        return pd.DataFrame(x.toarray(), columns=names)
    return pd.DataFrame.sparse.from_spmatrix(x, columns=names)


MLXTEND_METRICS = ("antecedent support", "consequent support") + agreement.PAIR_METRICS


@contextlib.contextmanager
def quiet():
    """mlxtend divides by zero on purpose in some metrics; its warnings are not ours."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        yield


def _mine_mlxtend(algo: str):
    def run(df, s: Setting):
        from mlxtend import frequent_patterns as fp

        with quiet():
            return getattr(fp, algo)(df, min_support=s.fraction, use_colnames=True, max_len=s.k_max)

    return run


def _answer_mlxtend(raw, d: Data):
    n = d.n_transactions
    # mlxtend reports support fractions; the counts are whole numbers of transactions
    counts = np.rint(raw["support"].to_numpy() * n).astype(np.int64)
    return agreement.from_pairs(zip(raw["itemsets"].tolist(), counts.tolist(), strict=True))


def _mine_mlxtend_rules(df, s: Setting):
    from mlxtend.frequent_patterns import association_rules, fpgrowth

    with quiet():
        frequent = fpgrowth(df, min_support=s.fraction, use_colnames=True, max_len=2)
        if not (frequent["itemsets"].map(len) == 2).any():
            return None
        # only the metrics we compare, so mlxtend is not timed on work we discard
        return association_rules(
            frequent, num_itemsets=len(df), metric="support", min_threshold=0.0, return_metrics=list(MLXTEND_METRICS)
        )


def _answer_mlxtend_rules(raw, d: Data):
    table = {"antecedent": [], "consequent": []}
    for m in agreement.PAIR_METRICS + ("consequent_support",):
        table[m] = []
    if raw is None:
        return table
    table["antecedent"] = [next(iter(a)) for a in raw["antecedents"]]
    table["consequent"] = [next(iter(c)) for c in raw["consequents"]]
    for m in agreement.PAIR_METRICS:
        table[m] = raw[m].to_numpy(dtype=np.float64)
    table["consequent_support"] = raw["consequent support"].to_numpy(dtype=np.float64)
    return table


# ---- SciPy: what a NumPy user would write for all co-occurring pairs -------------------


def scipy_pair_table(txn_ids, item_ids, n_items, min_count=1):
    """All ordered co-occurring pairs (a != b, count >= min_count) with the seven metrics,
    through one sparse product X.T @ X of the transactions x items incidence matrix.

    Repeated (transaction, item) rows are collapsed first: left in, the product would count
    a transaction once per repetition.
    """
    import scipy.sparse as sp

    txn_ids = np.asarray(txn_ids)
    item_ids = np.asarray(item_ids)
    _, dense = np.unique(txn_ids, return_inverse=True)
    n = int(dense.max()) + 1 if dense.size else 0
    x = sp.csr_matrix((np.ones(len(dense), dtype=np.int32), (dense.ravel(), item_ids)), shape=(n, n_items))
    x.sum_duplicates()
    x.data[:] = 1
    xt = x.T.tocsr()
    co = (xt @ x).tocoo()
    item_counts = np.asarray(x.sum(axis=0)).ravel().astype(np.int64)
    keep = (co.row != co.col) & (co.data >= max(min_count, 1))
    a, b, c = co.row[keep].astype(np.int32), co.col[keep].astype(np.int32), co.data[keep].astype(np.int64)
    order = np.lexsort((b, a))
    a, b, c = a[order], b[order], c[order]
    nf = float(n)
    s = c / nf
    sa = item_counts[a] / nf
    sb = item_counts[b] / nf
    conf = c / item_counts[a]
    with np.errstate(divide="ignore", invalid="ignore"):
        lift = np.where(sb > 0, conf / sb, np.inf)
        conviction = np.where(sb < 1, np.where(conf >= 1, np.inf, (1 - sb) / (1 - conf)), np.nan)
    return {
        "item_A": a,
        "item_B": b,
        "instances": c,
        "support": s,
        "confidence": conf,
        "lift": lift,
        "conviction": conviction,
        "leverage": s - sa * sb,
        "cosine": s / np.sqrt(sa * sb),
        "jaccard": s / (sa + sb - s),
        "n_transactions": n,
    }


def _mine_scipy_pairs(d: Data, s: Setting):
    return scipy_pair_table(d.txn_ids, d.item_ids, d.n_items, s.min_count)


def _answer_table(raw, d: Data):
    return raw


# ---- the package engine: whole output, closed and maximal sets, candidate counts ----------


def _engine():
    try:
        import _engine  # the build directory's copy, as for _tallisk_rs
    except ImportError:
        from tallisk import _engine
    return _engine


def _prepare_engine(d: Data) -> Data:
    _engine()
    return d


def _mine_engine(d: Data, s: Setting):
    return _engine().mine_itemsets(d.txn_ids, d.item_ids, d.n_items, s.min_count, target=s.target)


def _answer_csr(raw, d: Data):
    return agreement.digest_csr(raw["offsets"], raw["items"], raw["counts"], d.labels)


def _mine_pyfim_whole(algo: str):
    def run(baskets, s: Setting):
        import fim

        return getattr(fim, algo)(baskets, target=PYFIM_TARGET[s.target], supp=-s.min_count, zmin=1, report="a")

    return run


def _answer_digest_pairs(raw, d: Data):
    return agreement.digest_pairs(raw)


def _mine_mlxtend_fpmax(df, s: Setting):
    from mlxtend.frequent_patterns import fpmax

    with quiet():
        return fpmax(df, min_support=s.fraction, use_colnames=True)


def _answer_mlxtend_digest(raw, d: Data):
    counts = np.rint(raw["support"].to_numpy() * d.n_transactions).astype(np.int64)
    return agreement.digest_pairs(zip(raw["itemsets"].tolist(), counts.tolist(), strict=True))


def count_candidates(d: Data, min_count: int):
    """The candidates rust_compute_itemsets generates for k = 3 from the frequent pairs,
    found by one call of it: (pairs table, candidate CSR offsets, items)."""
    import _tallisk_rs

    pairs = _engine().mine_itemsets(d.txn_ids, d.item_ids, d.n_items, min_count, min_len=2, max_len=2)
    table = pairs["items"].reshape(-1, 2)
    weights = np.zeros(d.n_items, dtype=np.float64)
    found = _tallisk_rs.rust_compute_itemsets(d.txn_ids, d.item_ids, table, 3, d.n_items, weights, None)
    sets = np.ascontiguousarray(found["itemsets"], dtype=np.int32).reshape(-1, 3)
    offsets = np.arange(0, 3 * len(sets) + 1, 3, dtype=np.int64)
    return table, offsets, sets.ravel()


def _prepare_count(d: Data, s: Setting):
    table, offsets, items = count_candidates(d, s.min_count)
    return d, table, offsets, items


def _mine_engine_count(prepared, s: Setting):
    d, _, offsets, items = prepared
    out = _engine().count_itemsets(d.txn_ids, d.item_ids, d.n_items, offsets, items)
    return {"offsets": offsets, "items": items, "counts": out["counts"]}


def _mine_rust_count(prepared, s: Setting):
    import _tallisk_rs

    d, table, _, _ = prepared
    weights = np.zeros(d.n_items, dtype=np.float64)
    found = _tallisk_rs.rust_compute_itemsets(d.txn_ids, d.item_ids, table, 3, d.n_items, weights, None)
    sets = np.ascontiguousarray(found["itemsets"], dtype=np.int32).reshape(-1, 3)
    return {
        "offsets": np.arange(0, 3 * len(sets) + 1, 3, dtype=np.int64),
        "items": sets.ravel(),
        "counts": np.asarray(found["counts"], dtype=np.int64),
    }


def _answer_count(raw, d: Data):
    return agreement.digest_csr(raw["offsets"], raw["items"], raw["counts"], d.labels)


@dataclass
class Tool:
    prepare: Callable[[Data], Any]
    mine: Callable[[Any, Setting], Any]
    answer: Callable[[Any, Data], Any]
    prepare_takes_setting: bool = False  # the input depends on the setting (candidates)


TOOLS: dict[str, Tool] = {}
for _name in OURS_ITEMSETS + OURS_PAIRS:
    TOOLS[_name] = Tool(_prepare_ours, _mine_ours(_name), _answer_ours)
for _algo in ("apriori", "eclat", "fpgrowth"):
    TOOLS[f"pyfim_{_algo}"] = Tool(_prepare_pyfim, _mine_pyfim(_algo), _answer_pairs_list)
for _algo in ("apriori", "fpgrowth"):
    TOOLS[f"mlxtend_{_algo}"] = Tool(one_hot, _mine_mlxtend(_algo), _answer_mlxtend)
TOOLS["efficient_apriori"] = Tool(_prepare_efficient_apriori, _mine_efficient_apriori, _answer_efficient_apriori)
TOOLS["mlxtend_rules"] = Tool(one_hot, _mine_mlxtend_rules, _answer_mlxtend_rules)
TOOLS["scipy_pairs"] = Tool(_prepare_scipy, _mine_scipy_pairs, _answer_table)
TOOLS["engine_mine"] = Tool(_prepare_engine, _mine_engine, _answer_csr)
TOOLS["pyfim_fim"] = Tool(_prepare_pyfim, _mine_pyfim_whole("fim"), _answer_digest_pairs)
for _algo in ("apriori", "eclat", "fpgrowth"):
    TOOLS[f"pyfim_{_algo}_whole"] = Tool(_prepare_pyfim, _mine_pyfim_whole(_algo), _answer_digest_pairs)
TOOLS["mlxtend_fpmax"] = Tool(one_hot, _mine_mlxtend_fpmax, _answer_mlxtend_digest)
TOOLS["engine_count"] = Tool(_prepare_count, _mine_engine_count, _answer_count, True)
TOOLS["rust_compute_itemsets"] = Tool(_prepare_count, _mine_rust_count, _answer_count, True)
