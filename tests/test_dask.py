"""The Dask path against the one-machine functions, on a two-process LocalCluster."""

import os
import signal

import numpy as np
import pandas as pd
import pytest

if os.environ.get("TALLISK_SANITIZED") == "1":
    pytest.skip("worker processes do not load the sanitizer runtime", allow_module_level=True)

distributed = pytest.importorskip("dask.distributed")
dd = pytest.importorskip("dask.dataframe")

import dask  # noqa: E402
import tallisk.dask as tdask  # noqa: E402
from tallisk.mining import frequent_itemsets as one_machine  # noqa: E402
from tallisk.pairs import pair_metrics as one_machine_pairs  # noqa: E402
from tallisk.rules import association_rules  # noqa: E402
from tallisk.transactions import Transactions  # noqa: E402


@pytest.fixture(scope="module")
def client():
    opts = dict(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", env={"RAYON_NUM_THREADS": "1"}
    )
    with distributed.LocalCluster(**opts) as cluster, distributed.Client(cluster) as c:
        yield c


def orders(seed, n_txn=240, n_common=10, rare_block=True):
    """Long-form orders, skewed so that itemsets of several sizes are frequent; with ``rare_block``
    40 more orders of items that occur once each, so that a partition of them has no frequent item."""
    rng = np.random.default_rng(seed)
    weights = 1.0 / np.arange(1, n_common + 1)
    weights /= weights.sum()
    rows = []
    for t in range(n_txn):
        k = int(rng.integers(1, 7))
        for x in rng.choice(n_common, size=min(k, n_common), replace=False, p=weights):
            rows.append((f"o{t:04d}", f"item {x}"))
        if rng.random() < 0.1:  # a duplicated row counts once
            rows.append(rows[-1])
    if rare_block:
        for t in range(n_txn, n_txn + 40):
            rows += [(f"o{t:04d}", f"rare {t}-{j}") for j in range(3)]
    return pd.DataFrame(rows, columns=["order", "product"])


def straddling(df, npartitions):
    """Rows in random order: nearly every order has rows in several partitions."""
    shuffled = df.sample(frac=1.0, random_state=7).reset_index(drop=True)
    return dd.from_pandas(shuffled, npartitions=npartitions, sort=False)


def by_transaction(df):
    """Partitions of whole orders, among them empty partitions and one of only the rare orders."""
    order_ids = df["order"].drop_duplicates().tolist()
    rare = {o for o in order_ids if df.loc[df["order"] == o, "product"].str.startswith("rare").all()}
    common = [o for o in order_ids if o not in rare]
    cuts = np.array_split(np.array(common), 5)
    frames = [df[df["order"].isin(c)] for c in cuts]
    frames.insert(2, df.iloc[:0])
    frames.append(df[df["order"].isin(rare)])
    frames.append(df.iloc[:0])
    return dd.from_map(lambda i: frames[i], range(len(frames)), meta=df.iloc[:0], enforce_metadata=False)


def expected(df, **kw):
    return one_machine(Transactions.from_long(df, transaction="order", item="product"), **kw)


def assert_same_table(got, want):
    pd.testing.assert_frame_equal(got.reset_index(drop=True), want.reset_index(drop=True))
    assert got.attrs == want.attrs


CASES = [
    # layout, target, thresholds and lengths, tiny pass-1 groups
    ("straddling", "all", {"min_support": 0.04}, False),
    ("straddling", "closed", {"min_support": 0.03, "max_len": 3}, True),
    ("straddling", "maximal", {"min_count": 9}, False),
    ("by_transaction", "all", {"min_count": 6, "min_len": 2}, False),
    ("by_transaction", "closed", {"min_support": 0.05}, True),
    ("by_transaction", "maximal", {"min_support": 0.03, "min_len": 2, "max_len": 4}, True),
]


@pytest.mark.parametrize(("layout", "target", "kw", "tiny_groups"), CASES)
def test_equals_one_machine(client, monkeypatch, layout, target, kw, tiny_groups):
    df = orders(seed=len(layout) + len(target))
    if tiny_groups:  # each partition mined alone in pass 1: many false candidates for pass 2 to drop
        monkeypatch.setattr(tdask, "MIN_LOCAL_COUNT", 1)
    straddles = layout == "straddling"
    ddf = straddling(df, npartitions=9) if straddles else by_transaction(df)
    limits = (kw.get("min_support"), kw.get("min_count"), kw.get("min_len", 1), kw.get("max_len"))
    got, stats = tdask._frequent_itemsets(ddf, "order", "product", *limits, target, not straddles)
    want = expected(df, target=target, **kw)
    assert len(want) > 5
    assert_same_table(got, want)
    # Pass 1 reported candidates, pass 2 kept exactly the frequent ones among them.
    assert stats["candidates"] >= len(want)
    if tiny_groups:
        assert stats["groups"] > 1
        if layout == "by_transaction":
            assert 0 in stats["local_candidates"]


@pytest.mark.parametrize("labels", ["integers", "categories"])
def test_public_entry_labels_and_rules(client, labels):
    if labels == "integers":
        df = orders(seed=3, rare_block=False)
        df["order"] = df["order"].str[1:].astype(np.int64) * 1_000_003  # ids far from 0 … n - 1
        df["product"] = df["product"].str[5:].astype(np.int64) * -7
        kw = {"min_support": 0.03}
    else:
        df = orders(seed=10, rare_block=False)
        seen = sorted(df["product"].unique())
        # Category order unlike the sorted order, with a category no row uses.
        df["product"] = pd.Categorical(df["product"], categories=["unused", *reversed(seen)])
        kw = {"min_support": 0.05, "target": "closed"}
    got = tdask.frequent_itemsets(straddling(df, 6), transaction="order", item="product", **kw)
    want = expected(df, **kw)
    if labels == "categories":
        assert want["itemset"].iloc[0][0] == seen[-1]  # the numbering really follows the categories
    assert_same_table(got, want)
    rules = association_rules(got, min_confidence=0.3)
    assert len(rules) > 0
    pd.testing.assert_frame_equal(rules, association_rules(want, min_confidence=0.3))


@pytest.mark.parametrize(
    ("change", "match"),
    [
        (lambda df: df.assign(product=df["product"].where(df.index != 17, None)), "item column 'product' holds 1"),
        (lambda df: df.assign(order=df["order"].where(df.index != 3, None)), "transaction column 'order' holds 1"),
        (lambda df: df.assign(product=df["product"].astype(object).where(df.index % 2 == 0, 5)), "do not sort"),
    ],
)
def test_labels_one_machine_cannot_match_are_refused(change, match):
    df = change(orders(seed=11, n_txn=30, rare_block=False))
    with dask.config.set({"dataframe.convert-string": False, "scheduler": "sync"}):  # keep mixed labels mixed
        ddf = dd.from_pandas(df, npartitions=3)
        with pytest.raises(ValueError, match=match):
            tdask.frequent_itemsets(ddf, "order", "product", min_count=2)


@pytest.mark.parametrize("rare_block", [True, False], ids=["rare-orders-only", "no-rows"])
def test_nothing_frequent(client, rare_block):
    df = orders(seed=4, n_txn=0, rare_block=rare_block)
    got = tdask.frequent_itemsets(straddling(df, 3), "order", "product", min_count=2, target="closed")
    assert len(got) == 0
    assert_same_table(got, expected(df, min_count=2, target="closed"))


@pytest.mark.parametrize(
    ("layout", "kw"), [("straddling", {"min_support": 0.02}), ("by_transaction", {"min_count": 3})]
)
def test_pair_metrics_equal_one_machine(client, layout, kw):
    df = orders(seed=5)
    ddf = straddling(df, 7) if layout == "straddling" else by_transaction(df)
    pm = tdask.pair_metrics(
        ddf, "order", "product", npartitions=3, partitioned_by_transaction=layout != "straddling", **kw
    )
    assert isinstance(pm, dd.DataFrame) and pm.npartitions == 3
    got = pm.compute()
    want = one_machine_pairs(Transactions.from_long(df, transaction="order", item="product"), **kw)
    assert len(want) > 20
    # One machine orders the partners of an item by first meeting; here by item id.
    want = want.sort_values(["item_a", "item_b"], key=lambda c: c.cat.codes, kind="stable")
    pd.testing.assert_frame_equal(got.reset_index(drop=True), want.reset_index(drop=True), check_exact=True)


class KillOnce(distributed.WorkerPlugin):
    """Kills its worker process the first time a counting task of pass 2 starts."""

    def __init__(self, marker):
        self.marker = marker

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and "_count_part" in str(key) and not os.path.exists(self.marker):
            open(self.marker, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)


def test_worker_killed_mid_run(client, tmp_path):
    df = orders(seed=6)
    marker = str(tmp_path / "killed")
    client.register_plugin(KillOnce(marker), name="kill-once")
    try:
        got = tdask.frequent_itemsets(straddling(df, 8), "order", "product", min_support=0.04, target="closed")
    except distributed.KilledWorker as err:  # retries exhausted: a clear error is fine, a wrong table is not
        assert "_count_part" in str(err) or "worker" in str(err).lower()
    else:
        assert_same_table(got, expected(df, min_support=0.04, target="closed"))
    finally:
        client.unregister_worker_plugin("kill-once")
    assert os.path.exists(marker), "no worker was killed"
    client.wait_for_workers(2, timeout=60)


class KillOnPoolSetup(tdask.EnginePool):
    """The engine-pool plugin, killing its worker the first time it is set up anywhere."""

    marker = ""

    def setup(self, worker):
        if not os.path.exists(self.marker):
            open(self.marker, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
        super().setup(worker)


def test_worker_killed_while_the_pool_plugin_registers(client, tmp_path, monkeypatch):
    marker = str(tmp_path / "killed")

    def plugin(sizes):
        p = KillOnPoolSetup(sizes)
        p.marker = marker
        return p

    plugin.name = tdask.EnginePool.name
    monkeypatch.setattr(tdask, "EnginePool", plugin)
    df = orders(seed=12)
    got = tdask.frequent_itemsets(straddling(df, 4), "order", "product", min_support=0.05)
    assert os.path.exists(marker), "no worker was killed"
    assert_same_table(got, expected(df, min_support=0.05))
    client.wait_for_workers(2, timeout=60)


def test_a_loss_that_repeats_is_one_clear_error(monkeypatch):
    from distributed.comm.core import CommClosedError

    class Client:
        def scheduler_info(self, **kw):
            return {"workers": {"tcp://10.0.0.1:1": {"nthreads": 2}}}

        def run(self, func, on_error="raise"):
            return {"tcp://10.0.0.1:1": 4}

        def register_plugin(self, plugin, name):
            raise CommClosedError("in <TCP (closed)>: Stream is closed")

    monkeypatch.setattr(tdask, "_REGISTER_PAUSE", 0.0)
    with pytest.raises(tdask.WorkerLostError, match=r"worker was lost .* \(4 tries; last: CommClosedError"):
        tdask._register_pool(Client())


# Dask's parquet reader still passes inplace=True to pandas 3.1, which warns about it.
@pytest.mark.filterwarnings("ignore:The inplace keyword in DataFrame.reset_index is deprecated")
def test_parquet_on_local_scheduler(tmp_path):
    pytest.importorskip("pyarrow")
    df = orders(seed=8)
    straddling(df, 5).to_parquet(tmp_path / "orders", write_index=False)
    with dask.config.set(scheduler="sync"):
        ddf = dd.read_parquet(tmp_path / "orders")
        assert ddf.npartitions == 5
        got = tdask.frequent_itemsets(ddf, "order", "product", min_support=0.04, target="maximal")
    assert_same_table(got, expected(df, min_support=0.04, target="maximal"))


def test_bad_arguments():
    # the parameters' own checks are the one-machine declarations, walked in test_declarations
    ddf = dd.from_pandas(orders(seed=9, n_txn=10), npartitions=2)
    with pytest.raises(KeyError, match="sku"):
        tdask.frequent_itemsets(ddf, transaction="order", item="sku", min_support=0.1)
    with pytest.raises(TypeError, match="Dask DataFrame"):
        tdask.frequent_itemsets(ddf.compute(), "order", "product", min_support=0.1)
