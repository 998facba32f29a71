"""The engine's thread count: set_num_threads / get_num_threads, the environment,
threadpoolctl and the Dask worker plugin. Each count is checked by the size the engine
reports from inside a parallel section, and the tables must not depend on it."""

from __future__ import annotations

import os
import pickle
import types

import numpy as np
import pandas as pd
import pytest
import tallisk
from helpers import labelled_baskets, long_frame, random_baskets, run_in_subprocess
from tallisk import _engine

NAMES = ["milk", "bread", "eggs", "butter", "tea", "beer", "jam", "rice", "salt", "soap"]


@pytest.fixture(autouse=True)
def default_count():
    tallisk.set_num_threads(None)
    yield
    tallisk.set_num_threads(None)


def mine(baskets, min_count):
    tr = tallisk.Transactions.from_long(long_frame(baskets), transaction="order", item="product")
    sets = tallisk.frequent_itemsets(tr, min_count=min_count)
    return sets, tallisk.association_rules(sets, min_confidence=0.3)


def cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


# ---- the count and what it bounds ------------------------------------------------------


def test_every_count_is_the_engines_and_leaves_the_tables_as_they_are():
    # (The tables against brute force: test_package_mining.py and test_package_rules.py.)
    large = random_baskets(np.random.default_rng(5), 6000, 40, 9)
    tallisk.set_num_threads(1)
    want = mine(large, 60)
    # One thread, the machine's count on two cores, and more threads than two cores; as
    # NumPy integers (plain ones are set by the fixture and the other tests).
    for k in (1, 2, 3):
        tallisk.set_num_threads(np.int64(k))
        assert (tallisk.get_num_threads(), _engine.measure_threads()) == (k, k)
        for got_frame, want_frame in zip(mine(large, 60), want, strict=True):
            pd.testing.assert_frame_equal(got_frame, want_frame)
    tallisk.set_num_threads(None)
    assert tallisk.get_num_threads() == _engine.measure_threads()


@pytest.mark.parametrize("value", [0, -1, 1.5, "2", True, 2**31, [2]])
def test_a_bad_count_is_refused_and_changes_nothing(value):
    tallisk.set_num_threads(3)
    with pytest.raises(tallisk.InvalidParameterError, match="'n' parameter of set_num_threads"):
        tallisk.set_num_threads(value)
    assert tallisk.get_num_threads() == 3


@pytest.mark.parametrize(
    "env, want, warned",
    [
        ({}, None, False),
        ({"TALLISK_NUM_THREADS": "1"}, 1, False),
        ({"TALLISK_NUM_THREADS": " 3 "}, 3, False),
        ({"TALLISK_NUM_THREADS": "3", "RAYON_NUM_THREADS": "1"}, 3, False),
        ({"RAYON_NUM_THREADS": "3"}, 3, False),
        ({"TALLISK_NUM_THREADS": ""}, None, False),
        ({"TALLISK_NUM_THREADS": "abc"}, None, True),
        ({"TALLISK_NUM_THREADS": "0"}, None, True),
    ],
)
def test_the_environment_sets_the_count_at_import(env, want, warned):
    code = """
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import tallisk
    from tallisk import _engine
    first = (tallisk.get_num_threads(), _engine.measure_threads())
    tallisk.set_num_threads(2)
    tallisk.set_num_threads(None)
    result = first, tallisk.get_num_threads(), [str(w.message) for w in caught]
    """
    first, reset, warnings = run_in_subprocess(code, env=env)
    rayon = int(env.get("RAYON_NUM_THREADS", 0)) or cores()
    assert first == ((want or rayon),) * 2
    # None goes back to the default, which TALLISK_NUM_THREADS is not part of.
    assert reset == rayon
    assert any("TALLISK_NUM_THREADS" in w for w in warnings) == warned


# ---- threadpoolctl -----------------------------------------------------------------------


def test_threadpoolctl_lists_and_limits_the_engine():
    threadpoolctl = pytest.importorskip("threadpoolctl", minversion="3.3")
    tallisk.set_num_threads(3)
    ours = [i for i in threadpoolctl.threadpool_info() if i["internal_api"] == "tallisk"]
    assert len(ours) == 1
    assert os.path.realpath(ours[0]["filepath"]) == os.path.realpath(_engine.__file__)
    assert (ours[0]["num_threads"], ours[0]["version"]) == (3, tallisk.__version__)
    baskets = labelled_baskets(4, NAMES, 200, 6)
    want = mine(baskets, 10)
    with threadpoolctl.threadpool_limits(1):
        assert (tallisk.get_num_threads(), _engine.measure_threads()) == (1, 1)
        for got, expected in zip(mine(baskets, 10), want, strict=True):
            pd.testing.assert_frame_equal(got, expected)
    assert tallisk.get_num_threads() == 3
    # Limits aimed at other libraries leave the engine alone.
    with threadpoolctl.threadpool_limits(1, user_api="blas"):
        assert tallisk.get_num_threads() == 3
    with threadpoolctl.ThreadpoolController().select(user_api="tallisk").limit(limits=2):
        assert _engine.measure_threads() == 2


# ---- Dask workers ------------------------------------------------------------------------


def fake_worker(address="tcp://10.0.0.7:4000", nthreads=2):
    return types.SimpleNamespace(address=address, state=types.SimpleNamespace(nthreads=nthreads))


def test_the_dask_plugin_sets_each_worker_processs_count():
    pytest.importorskip("dask")
    import tallisk.dask as dask_face

    # (plugin sizes, the worker's environment, the count its engine gets from 7); one
    # worker process runs them all, as Dask imports are slow to repeat.
    cases = [
        (3, {}, 3),
        ({"10.0.0.7": 2, "10.0.0.8": 5}, {}, 2),
        ({"tcp://10.0.0.7:4000": 1, "10.0.0.7": 2}, {}, 1),
        (None, {}, max(1, cores() // 2)),
        (3, {"TALLISK_NUM_THREADS": "1"}, 7),
        (3, {"RAYON_NUM_THREADS": "2"}, 7),
    ]
    plugins = [(dask_face.EnginePool(threads), env) for threads, env, _ in cases]
    code = f"""
    import os, pickle, tallisk
    from test_threads import fake_worker
    result = []
    for plugin, env in pickle.loads({pickle.dumps(plugins)!r}):
        os.environ.update(env)
        tallisk.set_num_threads(7)
        plugin.setup(fake_worker())
        result.append(tallisk.get_num_threads())
        for name in env:
            del os.environ[name]
    """
    got = run_in_subprocess(code, env={})
    assert got == [want for _, _, want in cases]


def test_the_dask_plugin_leaves_the_clients_own_process_alone():
    pytest.importorskip("dask")
    import tallisk.dask as dask_face

    tallisk.set_num_threads(3)
    dask_face.EnginePool(1).setup(fake_worker())
    assert tallisk.get_num_threads() == 3
