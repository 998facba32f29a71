"""tallisk._engine's MemoryError says which call ran out, how far it had got and which
arguments make it smaller; the process goes on and the next call answers right. The
contract module's MemoryError stays bare. Each case runs in a fresh interpreter under an
address-space limit a little above what it has mapped."""

from __future__ import annotations

import re

import pytest
from helpers import SANITIZED, run_in_subprocess

pytestmark = pytest.mark.skipif(SANITIZED, reason="address-space limits do not mix with the sanitizer's shadow memory")

CODE = """
import resource
import numpy as np
import _tallisk_rs
from tallisk import _engine as E

rng = np.random.default_rng(0)
t, i = np.nonzero(rng.random((2000, 26)) < 0.8)
t, i = t.astype(np.int64), i.astype(np.int32)
small = lambda: E.mine_itemsets(t[:200], i[:200], 26, 2)["counts"].tolist()
want = small()  # starts the pool and the helper before the limit

def mapped():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

{setup}

def call():
    {call}

resource.setrlimit(resource.RLIMIT_AS, (mapped() + ({extra_mib} << 20), resource.RLIM_INFINITY))
try:
    call()
    message = "no error"
except MemoryError as e:
    message = str(e)
finally:
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
result = message, small() == want
"""

ROWS = r"\((\d+ rows so far|while writing the \d+ rows found)\)"
MINE = f"out of memory while mining the itemsets {ROWS}; raise min_count, or set max_len or max_itemsets"
RULES = (
    r"out of memory while generating the rules \((\d+ rules so far|while writing the \d+ rules found)\); "
    "raise min_confidence or min_lift, or set max_consequent_len"
)
MINED = "r = E.mine_itemsets(t, i, 26, 400); c = r['counts'].astype(float)"
MAXIMAL = "n = 6_000_000; o, s, c = np.arange(n + 1), np.arange(n, dtype=np.int32), np.ones(n, np.int64)"
CASES = {  # setup, call, address space given (MiB), message
    "mine": ("", "E.mine_itemsets(t, i, 26, 1)", 200, MINE),
    "apriori": ("", "E.mine_itemsets(t, i, 26, 1, target='closed', algorithm='apriori')", 200, MINE),
    "rules": (MINED, "E.generate_rules(r['offsets'], r['items'], c, 2000.0, 0.0)", 200, RULES),
    "count": (
        "",
        "E.count_itemsets(t, i, 2**31 - 1, np.zeros(1, np.int64), np.zeros(0, np.int32))",
        200,
        "out of memory while counting the itemsets; count fewer candidates at a time",
    ),
    "filter": (MAXIMAL, "E.filter_target(o, s, c, 'maximal')", 40, "out of memory while filtering the itemsets"),
    # The contract module keeps its bare MemoryError.
    "contract": (
        "",
        "_tallisk_rs.rust_compute_pairs(np.zeros(0, np.int64), np.zeros(0, np.int32), 2**32 - 1)",
        200,
        "",
    ),
}


@pytest.mark.parametrize("setup,call,extra_mib,message", CASES.values(), ids=CASES)
def test_memory_error_says_what_ran_out(setup, call, extra_mib, message):
    code = CODE.format(setup=setup, call=call, extra_mib=extra_mib)
    got, clean = run_in_subprocess(code, threads=2, timeout=300)
    assert re.fullmatch(message, got), got
    assert clean
