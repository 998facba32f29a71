"""The process around the engine: sub-interpreters, fork while the pool is idle or busy, and
running out of address space. Each case runs in a child process, so a crash or a
hang fails the test instead of the run."""

import textwrap

import pytest
from helpers import SANITIZED, run_in_subprocess

MODULES = ["_tallisk_rs", "tallisk._engine"]


@pytest.mark.parametrize("module", MODULES)
def test_sub_interpreter_import_is_refused_after_main_imported(module):
    # A module whose definition has size -1 would be copied into the sub-interpreter
    # without running its init function, sharing the main interpreter's state. The
    # extension is loaded from its file, so that the refusal seen is the module's own
    # and not that of NumPy, which the tallisk package imports first.
    code = f"""
    import importlib, os
    try:
        import _interpreters as xi
    except ImportError:
        import _xxsubinterpreters as xi
    path = importlib.import_module("{module}").__file__
    r, w = os.pipe()
    iid = xi.create()
    inner = ("import os, importlib.util\\n"
             "from importlib.machinery import ExtensionFileLoader\\n"
             "spec = importlib.util.spec_from_file_location("
             "{module!r}, %r, loader=ExtensionFileLoader({module!r}, %r))\\n"
             "try:\\n    importlib.util.module_from_spec(spec)\\n    res = 'imported'\\n"
             "except ImportError as e:\\n    res = 'ImportError: ' + str(e)\\n"
             "os.write(%d, res.encode())\\n" % (path, path, w))
    xi.run_string(iid, inner)
    xi.destroy(iid)
    os.close(w)
    result = os.read(r, 1000).decode()
    """
    result = run_in_subprocess(code, timeout=120)
    assert result == f"ImportError: {module} cannot be imported in a sub-interpreter"


LEVEL_WISE = ["rust_compute_pipeline"] + [
    f"rust_compute_pipeline_{v}" for v in ("v1_roaring", "v2_memo", "v3_adaptive", "v5_prefilter", "v6_gating")
]

# Baskets of 6-12 items out of 30, every level-wise phase busy at k_max 4 and no
# threshold: the address-space limits below run out in the worker start-up, the
# workers' first use of thread-local storage, the counters and the Roaring calls.
BASKETS = """
import numpy as np
rng = np.random.default_rng(0)
sizes = rng.integers(6, 13, size=20_000)
items = np.concatenate([rng.choice(30, s, replace=False) for s in sizes]).astype(np.int32)
txn = np.repeat(np.arange(sizes.size, dtype=np.int64), sizes)
weights = np.ones(30)
"""


@pytest.mark.skipif(SANITIZED, reason="address-space limits do not mix with the sanitizer's shadow memory")
@pytest.mark.parametrize("warm", [False, True], ids=["pool-starts-under-limit", "pool-started-before"])
@pytest.mark.parametrize("name", LEVEL_WISE)
def test_running_out_of_address_space_raises_memory_error_and_the_process_goes_on(name, warm):
    code = BASKETS + textwrap.dedent(f"""
    import resource, _tallisk_rs as m
    fn = m.{name}
    def signature(r):
        return (len(r["counts"]), int(r["counts"].sum()), len(r["lower_counts"]), int(r["lower_counts"].sum()))
    if {warm}:
        fn(txn[:100], items[:100], 4, 30, 0.0, weights)
    def mapped():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()
    outcomes = []
    for extra_mib in (4, 12, 24, 40, 64, 96):
        resource.setrlimit(resource.RLIMIT_AS, (mapped() + (extra_mib << 20), resource.RLIM_INFINITY))
        try:
            outcomes.append(signature(fn(txn, items, 4, 30, 0.0, weights)))
        except MemoryError:
            outcomes.append("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    result = outcomes, signature(fn(txn, items, 4, 30, 0.0, weights))
    """)
    outcomes, after = run_in_subprocess(code, timeout=600)
    assert after[0] > 0
    assert all(o in ("MemoryError", after) for o in outcomes), outcomes
    assert outcomes[0] == "MemoryError"  # 4 MiB cannot hold the index


def test_fork_gives_the_child_a_working_pool():
    # The parent's workers do not exist in the child (multiprocessing forks by default on
    # Linux), and a running call holds the arena: a child that reused the inherited pool
    # would wait for them forever. One fork while the started pool is idle, then (not
    # under the sanitizer, where forking a busy process is slow) 16 while a thread computes.
    code = BASKETS + textwrap.dedent(f"""
    import os, threading, time, _tallisk_rs as m
    args = (txn, items, 3, 30, 0.01, weights)
    want = int(m.rust_compute_pipeline(*args)["counts"].sum())
    def fork_and_check():
        pid = os.fork()
        if pid == 0:
            got = int(m.rust_compute_pipeline(*args)["counts"].sum())
            os._exit(0 if got == want else 3)
        deadline = time.monotonic() + 20
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                return "hung"
            time.sleep(0.01)
    outcomes = [fork_and_check()]
    stop = threading.Event()
    def busy():
        while not stop.is_set():
            m.rust_compute_pipeline(*args)
    thread = threading.Thread(target=busy)
    thread.start()
    try:
        for _ in range({0 if SANITIZED else 16}):
            time.sleep(0.005)
            outcomes.append(fork_and_check())
    finally:
        stop.set()
        thread.join()
    result = outcomes
    """)
    outcomes = run_in_subprocess(code, threads=2, timeout=600)
    assert outcomes == [0] * (1 if SANITIZED else 17)
