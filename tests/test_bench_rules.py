"""The rules benchmark's agreement check (bench/bench_rules.py): it must flag a missing or
extra rule and a differing value, and accept equal infinities."""

from __future__ import annotations

import math
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))

import bench_rules  # noqa: E402

BASE = {((1,), (2,)): (0.5, math.inf), ((2,), (1,)): (0.25, 1.5)}


@pytest.mark.parametrize("other, metrics, verdict", [
    (dict(BASE), True, "ok"),
    ({**BASE, ((2,), (1,)): (0.25, 1.5 * (1 + 1e-11))}, True, "ok"),
    ({**BASE, ((2,), (1,)): (0.25, 1.5 * (1 + 1e-11))}, False, "DIFFERS: 1 values"),
    ({**BASE, ((2,), (1,)): (0.25, 1.6)}, True, "DIFFERS: 1 values"),
    ({**BASE, ((1,), (2,)): (0.5, 3.0)}, True, "DIFFERS: 1 values"),
    ({((1,), (2,)): BASE[((1,), (2,))]}, True, "DIFFERS: 0 missing, 1 extra"),
    ({**BASE, ((3,), (1,)): (0.1, 1.0)}, True, "DIFFERS: 1 missing, 0 extra"),
])
def test_agree_flags_every_difference(other, metrics, verdict):
    assert bench_rules.agree(BASE, other, metrics).startswith(verdict)


def test_agree_without_an_answer_and_without_rules():
    assert bench_rules.agree(None, BASE, True) == "-"
    assert bench_rules.agree({}, {}, True) == "ok (no rules)"
