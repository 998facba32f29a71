"""Interest measures and significance of rules: every measure against its definition on
hand-built 2x2 tables (empty cells, an item in every basket), cross-checks with SciPy,
p-values against SciPy's tests (and exact sums where SciPy itself runs out of digits),
the corrections against direct implementations of each method."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd
import pytest
import tallisk
from tallisk.measures import adjust_p_values

scipy_stats = pytest.importorskip("scipy.stats")


def rule_table(tables):
    """A rule table of (a, n(A), n(C), n) cells, all of one n: the columns add_measures reads."""
    n = tables[0][3]
    assert all(t[3] == n for t in tables)
    a, na, nc = (np.array([t[i] for t in tables], dtype=np.int64) for i in range(3))
    df = pd.DataFrame(
        {
            "antecedent": [(f"A{i}",) for i in range(len(tables))],
            "consequent": [(f"C{i}",) for i in range(len(tables))],
            "antecedent_support": na / n,
            "consequent_support": nc / n,
            "support": a / n,
            "count": a,
        }
    )
    df.attrs["n_transactions"] = n
    return df


def xlogy(x, y):
    return 0.0 if x == 0 else x * math.log(y)


def definition(name, a, na, nc, n):
    """Each measure straight from its definition in probabilities, with the documented
    value where the definition divides 0 by 0 or by 0."""
    b, c, d = na - a, nc - a, n - na - nc + a
    pa, pc, pac, pnanc = na / n, nc / n, a / n, d / n
    pna, pnc = 1 - pa, 1 - pc
    conf, conf_back = a / na, a / nc
    degenerate = na in (0, n) or nc in (0, n)
    agree, expected = pac + pnanc, pa * pc + pna * pnc
    if name == "chi_squared":
        if degenerate:
            return 0.0
        cells = [(a, na * nc / n), (b, na * (n - nc) / n), (c, (n - na) * nc / n), (d, (n - na) * (n - nc) / n)]
        return sum((o - e) ** 2 / e for o, e in cells)
    if name == "phi":
        return math.nan if degenerate else (pac - pa * pc) / math.sqrt(pa * pc * pna * pnc)
    if name == "odds_ratio":
        return a * d / (b * c) if b * c else (math.inf if a * d else math.nan)
    if name in ("yules_q", "yules_y"):
        x, y = (a * d, b * c) if name == "yules_q" else (math.sqrt(a * d), math.sqrt(b * c))
        return (x - y) / (x + y) if x + y else math.nan
    if name == "added_value":
        return conf - pc
    if name == "collective_strength":
        if agree == 1:
            return math.inf if expected < 1 else math.nan
        return agree / expected * (1 - expected) / (1 - agree)
    if name == "all_confidence":
        return min(conf, conf_back)
    if name == "max_confidence":
        return max(conf, conf_back)
    if name == "gini_index":
        given_a = pa * (conf**2 + (1 - conf) ** 2)
        given_not_a = 0.0 if na == n else pna * ((c / (n - na)) ** 2 + (d / (n - na)) ** 2)
        return given_a + given_not_a - pc**2 - pnc**2
    if name == "j_measure":
        return xlogy(pac, conf / pc) + (0.0 if b == 0 else xlogy(b / n, (b / na) / pnc))
    if name == "mutual_information":
        cells = [(a, pa, pc), (b, pa, pnc), (c, pna, pc), (d, pna, pnc)]
        joint = sum(x / n * math.log(x / n / (px * py)) for x, px, py in cells if x)
        h = min(-xlogy(pa, pa) - xlogy(pna, pna), -xlogy(pc, pc) - xlogy(pnc, pnc))
        return math.nan if h == 0 else joint / h
    if name == "laplace":
        return (a + 1) / (na + 2)
    if name == "kappa":
        return math.nan if expected == 1 else (agree - expected) / (1 - expected)
    if name == "imbalance_ratio":
        return abs(pa - pc) / (pa + pc - pac)
    if name == "cross_support_ratio":
        return min(pa, pc) / max(pa, pc)
    if name == "lambda":
        best = max(nc, n - nc)
        return math.nan if best == n else (max(a, b) + max(c, d) - best) / (n - best)
    if name == "least_contradiction":
        return (pac - b / n) / pc
    if name == "rule_power_factor":
        return pac * conf
    raise KeyError(name)


FORMULA_MEASURES = [m for m in tallisk.MEASURES if m not in tallisk.measures.TABLE_MEASURES][:-2]

# (a, n(A), n(C), n): ordinary tables, then every cell empty in turn, A or C or both in
# every basket, independence, a single basket.
TABLES = [
    (30, 50, 60, 200),
    (5, 80, 90, 200),
    (40, 40, 70, 200),  # b = 0: C whenever A
    (40, 70, 40, 200),  # c = 0: A whenever C
    (40, 120, 120, 200),  # d = 0: every basket holds A or C
    (60, 60, 60, 200),  # b = c = 0: A and C always together
    (70, 200, 70, 200),  # A in every basket
    (70, 70, 200, 200),  # C in every basket
    (200, 200, 200, 200),  # both in every basket
    (25, 50, 100, 200),  # independence
    (1, 1, 1, 1),
]


def test_every_measure_against_its_definition_on_hand_built_tables():
    for n in sorted({t[3] for t in TABLES}):
        tables = [t for t in TABLES if t[3] == n]
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # no warning storm on empty cells
            got = tallisk.add_measures(rule_table(tables), FORMULA_MEASURES)
        for name in FORMULA_MEASURES:
            want = [definition(name, *t) for t in tables]
            np.testing.assert_allclose(got[name].to_numpy(), want, rtol=1e-12, atol=1e-15, err_msg=name)


def random_tables(rng, count, n):
    out = []
    for _ in range(count):
        na, nc = (int(x) for x in rng.integers(1, n, size=2))
        lo, hi = max(0, na + nc - n), min(na, nc)
        mean = na * nc / n
        # half of them in the upper tail, where the p-values get small
        a = rng.integers(lo, hi + 1) if rng.random() < 0.5 else mean + rng.exponential(4) * math.sqrt(mean + 1)
        out.append((int(min(hi, max(lo, a))), na, nc))
    return out


def test_measures_agree_with_scipy_and_numpy_on_random_tables():
    tables = [(*t, 500) for t in random_tables(np.random.default_rng(5), 200, 500)]
    got = tallisk.add_measures(rule_table(tables), ["chi_squared", "phi", "odds_ratio", "mutual_information"])
    for i, (a, na, nc, n) in enumerate(tables):
        cells = np.array([[a, na - a], [nc - a, n - na - nc + a]])
        stat = scipy_stats.chi2_contingency(cells, correction=False)[0]
        assert got["chi_squared"][i] == pytest.approx(stat, rel=1e-9)
        # phi is the correlation of the two indicators over the baskets
        x = np.r_[np.ones(na), np.zeros(n - na)]
        y = np.r_[np.ones(a), np.zeros(na - a), np.ones(nc - a), np.zeros(n - na - nc + a)]
        assert got["phi"][i] == pytest.approx(np.corrcoef(x, y)[0, 1], rel=1e-9, abs=1e-12)
        if (cells > 0).all():
            ratio = scipy_stats.contingency.odds_ratio(cells, kind="sample").statistic
            assert got["odds_ratio"][i] == pytest.approx(ratio, rel=1e-9)
        # I(A; C) = H(A) + H(C) - H(A, C), normalised by the smaller entropy
        h = scipy_stats.entropy
        joint = h([na, n - na]) + h([nc, n - nc]) - h(cells.ravel())
        assert got["mutual_information"][i] == pytest.approx(joint / min(h([na, n - na]), h([nc, n - nc])), rel=1e-9)


def test_table_measures_are_the_tables_own_and_present_columns_stay():
    baskets = [["a", "b"]] * 5 + [["a", "c"]] * 3 + [["b", "c"]] * 2 + [["c"]] * 4
    rules = tallisk.association_rules(baskets, min_count=1, min_confidence=0.0)
    table_measures = list(tallisk.measures.TABLE_MEASURES)
    counts = ["antecedent_support", "consequent_support", "count"]
    rebuilt = tallisk.add_measures(rules.drop(columns=[m for m in table_measures if m not in counts]), table_measures)
    pd.testing.assert_frame_equal(rebuilt[rules.columns], rules)
    assert tallisk.add_measures(rules, "lift").columns.tolist() == rules.columns.tolist()


# ---- significance ---------------------------------------------------------------------------


@pytest.mark.parametrize("n", [7, 100, 10_000, 1_000_000])
def test_p_values_match_scipy(n):
    rng = np.random.default_rng(n)
    base = [t for t in random_tables(rng, 150, n) if t[0] >= 1]
    # then each with A and C swapped (the same test), and A or C in every basket (no association can show)
    tables = base + [(a, nc, na) for a, na, nc in base] + [(c, n, c) for c in (1, n // 2)] + [(c, c, n) for c in (1, 3)]
    rules = rule_table([(*t, n) for t in tables])
    fisher = tallisk.add_significance(rules, correction="none")["p_value"].to_numpy()
    chi2 = tallisk.add_significance(rules, test="chi2", correction="none")["p_value"].to_numpy()
    m = len(base)
    for p in (fisher, chi2):
        assert p[:m].tolist() == p[m : 2 * m].tolist() and p[2 * m :].tolist() == [1.0] * 4
    for (a, na, nc), pf, pc in zip(tables, fisher, chi2, strict=True):
        cells = [[a, na - a], [nc - a, n - na - nc + a]]
        want = scipy_stats.fisher_exact(cells, alternative="greater")[1]
        if want >= 1e-300:
            assert pf == pytest.approx(want, rel=1e-9), (a, na, nc)
        if na == n or nc == n:
            assert pc == 1.0
            continue
        p2 = scipy_stats.chi2_contingency(cells, correction=False)[1]
        want = p2 / 2 if a * n > na * nc else 1 - p2 / 2
        if want >= 1e-300:
            assert pc == pytest.approx(want, rel=1e-9), (a, na, nc)


def test_fisher_far_tails_of_large_tables_against_exact_sums():
    # SciPy's hypergeometric tail loses digits at a billion transactions; an exact sum in
    # 50-digit arithmetic is the oracle there.
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.dps = 50
    n = 10**9
    tables = [(88_125_137, 333_621_755, 263_861_325), (2_000, 1_000_000, 1_000_000), (1_100, 1_000_000, 1_000_000)]

    def exact(a, na, nc):
        def log_pmf(x):
            lg = mpmath.loggamma
            return (
                lg(na + 1) - lg(x + 1) - lg(na - x + 1) + lg(n - na + 1) - lg(nc - x + 1) - lg(n - na - nc + x + 1)
                - lg(n + 1) + lg(nc + 1) + lg(n - nc + 1)
            )  # fmt: skip

        term, total, x = mpmath.mpf(1), mpmath.mpf(0), a
        while term > total * mpmath.mpf(10) ** -40 and x <= min(na, nc):
            total += term
            term *= mpmath.mpf(na - x) * (nc - x) / ((x + 1) * (n - na - nc + x + 1))
            x += 1
        return mpmath.exp(log_pmf(a)) * total

    got = tallisk.add_significance(rule_table([(*t, n) for t in tables]), correction="none")["p_value"]
    for (a, na, nc), p in zip(tables, got, strict=True):
        assert p == pytest.approx(float(exact(a, na, nc)), rel=1e-9)
        assert p > 0.0


def direct_correction(p, method, m):
    """Each correction written out as its definition, one p-value at a time."""
    r = len(p)
    order = sorted(range(r), key=lambda i: (p[i], i))
    out = [0.0] * r
    for rank, i in enumerate(order):
        if method == "bonferroni":
            out[i] = min(1.0, m * p[i])
        elif method == "holm":
            out[i] = max(min(1.0, (m - j) * p[order[j]]) for j in range(rank + 1))
        elif method == "fdr_bh":
            out[i] = min(min(1.0, m * p[order[j]] / (j + 1)) for j in range(rank, r))
        else:
            out[i] = p[i]
    return out


@pytest.mark.parametrize("method", ["holm", "bonferroni", "fdr_bh", "none"])
@pytest.mark.parametrize("extra", [0, 37])
def test_corrections_against_their_definitions(method, extra):
    rng = np.random.default_rng(3)
    p = np.concatenate([rng.uniform(0, 0.05, 30), rng.uniform(0, 1, 30), [0.01, 0.01, 0.5, 0.0, 1.0]])
    rng.shuffle(p)
    got = adjust_p_values(p, method, len(p) + extra)
    np.testing.assert_allclose(got, direct_correction(list(p), method, len(p) + extra), rtol=1e-15)


@pytest.mark.parametrize("method", ["Holm", "fdr", "BH", ""])
def test_an_unknown_correction_is_refused_not_taken_for_another(method):
    with pytest.raises(ValueError, match="method must be one of"):
        adjust_p_values(np.array([0.01, 0.2]), method, 2)


def test_add_significance_columns_attrs_and_bad_tables():
    baskets = [["tea", "milk"]] * 8 + [["tea"]] * 2 + [["milk"]] + [["bread"]] * 9
    rules = tallisk.association_rules(baskets, min_count=1, min_confidence=0.0)
    out = tallisk.add_significance(rules, correction="bonferroni", n_tests=100)
    assert out.attrs["n_tests"] == 100 and out.attrs["test"] == "fisher" and "p_value" not in rules.columns
    np.testing.assert_allclose(out["p_adjusted"], np.minimum(1, out["p_value"] * 100))
    with pytest.raises(tallisk.InvalidParameterError, match="'n_tests'.*at least the number of rules"):
        tallisk.add_significance(rules, n_tests=1)
    no_n = rules.copy()
    no_n.attrs = {}
    supports_only = tallisk.association_rules(
        pd.DataFrame({"itemset": [("a",), ("b",), ("a", "b")], "support": [0.5, 0.5, 0.25]}), min_confidence=0.0
    )
    for bad, match in [(no_n, "n_transactions"), (supports_only, "supports only")]:
        with pytest.raises(ValueError, match=match):
            tallisk.add_significance(bad)
    with pytest.raises(ValueError, match="cannot exist|exceeds"):
        broken = rules.copy()
        broken["count"] = 50
        tallisk.add_significance(broken)
