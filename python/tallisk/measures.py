"""Interest measures and significance of association rules, from the counts in a rule table.

A rule A -> C of a table made here holds its ``count`` (transactions with A and C), its
``antecedent_support`` and ``consequent_support``, and ``df.attrs["n_transactions"]``
(n). That is the 2x2 table of A and C over all transactions::

                 C            not C
    A            a            b = n(A) - a
    not A        c = n(C) - a  d = n - n(A) - n(C) + a

and every measure below is a function of it (P(X) = n(X) / n). :data:`MEASURES` names them
with a one-line definition each; :func:`add_measures` adds them as columns,
:func:`add_significance` adds one-sided p-values and their correction for many tests.
Edge cases (an empty cell, A or C in every basket) give the limit the definition states,
or NaN where there is none, without warnings; the p-values are computed natively
(``tallisk._engine.rule_p_values``), the rest as whole-array NumPy operations.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Literal, cast

import numpy as np
import pandas as pd

from . import _engine
from ._tables import RULE_METRICS, rule_metrics
from ._validation import Anything, Int, Kind, Options, Param, Voice, declare, fail

__all__ = [
    "CORRECTIONS",
    "MEASURES",
    "TESTS",
    "MeasureNames",
    "add_measures",
    "add_significance",
    "adjust_p_values",
]

#: Every measure of a rule by name, with its definition. The first thirteen are columns of
#: every rule table; the others are added on request (:func:`add_measures`).
MEASURES: dict[str, str] = {
    "antecedent_support": "P(A): the share of transactions holding A",
    "consequent_support": "P(C): the share of transactions holding C",
    "support": "P(AC): the share of transactions holding A and C",
    "count": "n(AC): the transactions holding A and C",
    "confidence": "P(C|A) = P(AC) / P(A)",
    "lift": "P(AC) / (P(A) P(C)); 1 under independence",
    "leverage": "P(AC) - P(A) P(C) (Piatetsky-Shapiro); 0 under independence",
    "conviction": "(1 - P(C)) / (1 - P(C|A)); inf when the confidence is 1",
    "zhangs_metric": "leverage / max(P(AC) (1 - P(A)), P(A) (P(C) - P(AC))), in [-1, 1]; 0 where that is 0/0",
    "jaccard": "P(AC) / (P(A) + P(C) - P(AC))",
    "certainty": "(P(C|A) - P(C)) / (1 - P(C)); 0 when C is in every transaction",
    "kulczynski": "(P(C|A) + P(A|C)) / 2",
    "cosine": "P(AC) / sqrt(P(A) P(C))",
    "chi_squared": "Pearson's n (ad - bc)^2 / (n(A) n(C) n(not A) n(not C)), no continuity correction; "
    "0 when A or C is in every transaction (every cell is as independence predicts)",
    "phi": "(n a - n(A) n(C)) / sqrt(n(A) n(C) n(not A) n(not C)), the correlation of A and C; "
    "NaN when A or C is in every transaction",
    "odds_ratio": "ad / (bc); inf when bc = 0 < ad, NaN when ad = bc = 0",
    "yules_q": "(ad - bc) / (ad + bc) = (odds ratio - 1) / (odds ratio + 1); NaN when ad = bc = 0",
    "yules_y": "(sqrt(ad) - sqrt(bc)) / (sqrt(ad) + sqrt(bc)); NaN when ad = bc = 0",
    "added_value": "P(C|A) - P(C)",
    "collective_strength": "(P(AC) + P(not A not C)) / (P(A) P(C) + P(not A) P(not C)) x "
    "(1 - P(A) P(C) - P(not A) P(not C)) / (1 - P(AC) - P(not A not C)); 1 under independence, "
    "inf when A and C always occur together, NaN when both are in every transaction",
    "all_confidence": "P(AC) / max(P(A), P(C)) = min(P(C|A), P(A|C))",
    "max_confidence": "max(P(C|A), P(A|C))",
    "gini_index": "P(A) (P(C|A)^2 + P(not C|A)^2) + P(not A) (P(C|not A)^2 + P(not C|not A)^2) - P(C)^2 - "
    "P(not C)^2, the fall in Gini impurity of C once A is known; the not-A term is 0 when A is everywhere",
    "j_measure": "P(AC) log(P(C|A) / P(C)) + P(A not C) log(P(not C|A) / P(not C)) (Smyth and Goodman, "
    "natural log); a term with an empty cell is 0",
    "mutual_information": "the sum over A / not A and C / not C of P(xy) log(P(xy) / (P(x) P(y))), over "
    "min(H(A), H(C)); NaN when A or C is in every transaction",
    "laplace": "(n(AC) + 1) / (n(A) + 2), confidence with one pseudo-count for each outcome",
    "kappa": "(P(AC) + P(not A not C) - P(A) P(C) - P(not A) P(not C)) / (1 - P(A) P(C) - P(not A) P(not C)), "
    "Cohen's agreement of A and C; NaN when both are in every transaction",
    "imbalance_ratio": "|P(A) - P(C)| / (P(A) + P(C) - P(AC))",
    "cross_support_ratio": "min(P(A), P(C)) / max(P(A), P(C)), of the rule's two sides",
    "lambda": "(max(a, b) + max(c, d) - max(n(C), n(not C))) / (n - max(n(C), n(not C))), Goodman and "
    "Kruskal's reduction in the error of predicting C once A is known; NaN when C is in every transaction",
    "least_contradiction": "(P(AC) - P(A not C)) / P(C)",
    "rule_power_factor": "P(AC) P(C|A)",
    "improvement": "P(C|A) minus the highest P(C|B) over the proper subsets B of A, the empty one (P(C)) "
    "included; above 0 for productive rules",
    "p_value": "Fisher's exact one-sided p-value that A and C occur together this often or more if they were "
    "independent (see add_significance)",
}
#: The measures every rule table holds as columns.
TABLE_MEASURES = ("antecedent_support", "consequent_support", "support", "count", *RULE_METRICS)
#: The tests add_significance offers, and the corrections for many tests.
TESTS = ("fisher", "chi2")
CORRECTIONS = ("holm", "bonferroni", "fdr_bh", "none")


@dataclass(frozen=True)
class MeasureNames(Kind):
    """A measure name, or a list of them, from :data:`MEASURES` (checked as a list).

    The kind of the ``measures`` parameters (of :func:`tallisk.add_measures` and
    :func:`tallisk.association_rules`) in their declarations, which check every argument
    and build the command's flags; a program rarely calls its methods itself.
    """

    metavar = "NAME[,NAME...]"

    def describe(self, voice: Voice, low: Any = None) -> str:
        """What the parameter accepts, as an error message words it.

        Parameters
        ----------
        voice : Voice
            Whom the message is for (Python or the command); the words are the same.
        low : object, optional
            Unused: measure names have no lower bound.

        Returns
        -------
        str
            The description.

        Raises
        ------
        None
            Any arguments are taken.

        Examples
        --------
        >>> from tallisk._validation import PYTHON
        >>> tallisk.measures.MeasureNames().describe(PYTHON)
        'a measure name or a list of them, from tallisk.MEASURES'
        """
        return "a measure name or a list of them, from tallisk.MEASURES"

    def check(self, value: Any, bad: Any, low: Any = None) -> list[str]:
        """The names given, as a list, once each is known to be a measure.

        Parameters
        ----------
        value : str or iterable of str
            One name or several.
        bad : callable
            Makes the exception to raise, given an optional list of hints (a declaration
            passes one that words an :class:`~tallisk.InvalidParameterError`).
        low : object, optional
            Unused.

        Returns
        -------
        list of str
            The names, in the order given.

        Raises
        ------
        Exception
            What ``bad`` makes (InvalidParameterError in a declaration): for a value that
            is neither a string nor an iterable of strings, or a name not in
            :data:`MEASURES`.

        Examples
        --------
        >>> names = tallisk.measures.MeasureNames()
        >>> names.check("lift", ValueError), names.check(("phi", "kappa"), ValueError)
        (['lift'], ['phi', 'kappa'])
        >>> names.check("lft", ValueError)
        Traceback (most recent call last):
        ...
        ValueError: ["'lft' is not one of them; see tallisk.MEASURES."]
        """
        if isinstance(value, str):
            names = [value]
        elif isinstance(value, Iterable) and not isinstance(value, bytes | Mapping):
            names = list(value)
        else:
            raise bad()
        if not all(isinstance(m, str) for m in names):
            raise bad()
        unknown = [m for m in names if m not in MEASURES]
        if unknown:
            raise bad([f"{unknown[0]!r} is not one of them; see tallisk.MEASURES."])
        return names

    def parse(self, text: str) -> list[str]:
        """The names in a flag's text: comma-separated, blanks around them ignored.

        Parameters
        ----------
        text : str
            The flag's value.

        Returns
        -------
        list of str
            The names, not yet checked (:meth:`check` does that).

        Raises
        ------
        AttributeError
            For ``text`` that is not a string (the command hands it strings only).

        Examples
        --------
        >>> tallisk.measures.MeasureNames().parse("phi, kappa,")
        ['phi', 'kappa']
        """
        return [m.strip() for m in text.split(",") if m.strip()]

    def invalid(self) -> list[Any]:
        """Values a caller might wrongly pass, which :meth:`check` refuses (the tests of
        every declared parameter try them).

        Returns
        -------
        list
            An unknown name, a number, a list holding a number, a dict.

        Examples
        --------
        >>> tallisk.measures.MeasureNames().invalid()[0]
        'no_such_measure'
        """
        return ["no_such_measure", 3, ["lift", 2], {"lift": 1}]

    def invalid_text(self) -> list[str]:
        """Flag texts a user might wrongly type, which the command refuses.

        Returns
        -------
        list of str
            An unknown name.

        Examples
        --------
        >>> tallisk.measures.MeasureNames().invalid_text()
        ['no_such_measure']
        """
        return ["no_such_measure"]


# ---- the counts of a rule table ---------------------------------------------------------------


def rule_counts(rules: pd.DataFrame, func: str) -> tuple[float, np.ndarray, np.ndarray, np.ndarray]:
    """``(n, a, n(A), n(C))`` of every rule, float64, from the table's ``count`` and side
    supports and ``df.attrs["n_transactions"]``; a ValueError saying what is missing."""
    missing = [c for c in ("count", "antecedent_support", "consequent_support") if c not in rules.columns]
    if missing:
        raise ValueError(f"{func} reads the rules' counts, but the table has no {missing[0]!r} column.")
    a = rules["count"].to_numpy(dtype=np.float64)
    if a.size and not np.isfinite(a).all():
        raise ValueError(
            f"{func} needs the rules' counts, and this table holds supports only (it was made from an itemset "
            "table without counts)."
        )
    given = rules.attrs.get("n_transactions")
    try:
        n = float(cast(Any, given))
    except (TypeError, ValueError):
        n = math.nan
    if not (n >= 1 and n.is_integer()):
        raise ValueError(
            f"{func} needs the number of transactions in rules.attrs['n_transactions'] (the tables this package "
            f"makes carry it; a table read back from CSV does not: set it); got {given!r}."
        )
    # The side counts come back from their supports exactly: c / n in double, times n, is
    # within far less than one half of c for any count below 2**50.
    na = np.rint(rules["antecedent_support"].to_numpy(dtype=np.float64) * n)
    nc = np.rint(rules["consequent_support"].to_numpy(dtype=np.float64) * n)
    return n, a, na, nc


# ---- the measures -----------------------------------------------------------------------------


def _excess(n: float, a: np.ndarray, na: np.ndarray, nc: np.ndarray) -> np.ndarray:
    """n a - n(A) n(C) (= ad - bc), exact: the products of counts beyond 2**26 are not
    exact in double, their difference is what several measures are made of, and extended
    precision holds them whole below 2**64."""
    wide = np.longdouble
    return (a.astype(wide) * wide(n) - na.astype(wide) * nc.astype(wide)).astype(np.float64)


def _xlogy(x: np.ndarray, ratio: np.ndarray) -> np.ndarray:
    """x log(ratio), 0 where x is 0 (the limit of x log x)."""
    return np.where(x > 0, x * np.log(np.where(x > 0, ratio, 1.0)), 0.0)


def _entropy(p: np.ndarray) -> np.ndarray:
    q = 1.0 - p
    return -(_xlogy(p, p) + _xlogy(q, q))


def measure_columns(names: list[str], n: float, a: np.ndarray, na: np.ndarray, nc: np.ndarray) -> dict:
    """The columns of the measures ``names`` (none of them 'improvement' or 'p_value')."""
    table = [m for m in names if m in TABLE_MEASURES]
    out: dict[str, np.ndarray] = {}
    if table:
        metrics = rule_metrics(a, na, nc, n, [m for m in table if m in ("support", *RULE_METRICS)])
        sides = {"antecedent_support": na / n, "consequent_support": nc / n, "count": a.astype(np.int64)}
        out.update((m, metrics[m] if m in metrics else sides[m]) for m in table)
    b, c = na - a, nc - a
    d = n - na - nc + a
    nna, nnc = n - na, n - nc  # transactions without A, without C
    pa, pc, pac, pd_ = na / n, nc / n, a / n, d / n
    margins = na * nc * nna * nnc
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        conf = a / na
        ad, bc = a * d, b * c
        expected_agreement = pa * pc + (nna / n) * (nnc / n)
        formulas = {
            "chi_squared": lambda: np.where(margins > 0, n * _excess(n, a, na, nc) ** 2 / margins, 0.0),
            "phi": lambda: np.where(margins > 0, _excess(n, a, na, nc) / np.sqrt(margins), np.nan),
            "odds_ratio": lambda: np.where(bc > 0, ad / bc, np.where(ad > 0, np.inf, np.nan)),
            "yules_q": lambda: np.where(ad + bc > 0, _excess(n, a, na, nc) / (ad + bc), np.nan),
            "yules_y": lambda: (np.sqrt(ad) - np.sqrt(bc)) / (np.sqrt(ad) + np.sqrt(bc)),
            "added_value": lambda: conf - pc,
            "collective_strength": lambda: _collective_strength(pac, pd_, expected_agreement),
            "all_confidence": lambda: a / np.maximum(na, nc),
            "max_confidence": lambda: a / np.minimum(na, nc),
            "gini_index": lambda: (
                (a**2 + b**2) / (n * na)
                + np.where(nna > 0, (c**2 + d**2) / (n * np.where(nna > 0, nna, 1.0)), 0.0)
                - pc**2
                - (nnc / n) ** 2
            ),
            "j_measure": lambda: _xlogy(a, a * n / (na * nc)) / n + _xlogy(b, b * n / (na * nnc)) / n,
            "mutual_information": lambda: _mutual_information(n, a, b, c, d, na, nc, nna, nnc),
            "laplace": lambda: (a + 1.0) / (na + 2.0),
            "kappa": lambda: np.where(
                expected_agreement < 1.0, (pac + pd_ - expected_agreement) / (1.0 - expected_agreement), np.nan
            ),
            "imbalance_ratio": lambda: np.abs(na - nc) / (na + nc - a),
            "cross_support_ratio": lambda: np.minimum(na, nc) / np.maximum(na, nc),
            "lambda": lambda: _goodman_kruskal(n, a, b, c, d, nc, nnc),
            "least_contradiction": lambda: (a - b) / nc,
            "rule_power_factor": lambda: pac * conf,
        }
        for m in names:
            if m not in out:
                out[m] = np.asarray(formulas[m](), dtype=np.float64)
    return out


def _collective_strength(pac: np.ndarray, pd_: np.ndarray, expected: np.ndarray) -> np.ndarray:
    agree = pac + pd_
    value = agree / expected * (1.0 - expected) / (1.0 - agree)
    # A and C always together: the second factor's denominator is 0 — inf, unless both
    # are in every transaction and nothing can disagree (0/0).
    return np.where(agree < 1.0, value, np.where(expected < 1.0, np.inf, np.nan))


def _mutual_information(n: float, *cells_and_margins: np.ndarray) -> np.ndarray:
    a, b, c, d, na, nc, nna, nnc = cells_and_margins
    joint = sum(
        _xlogy(x / n, x * n / (mx * my)) for x, mx, my in ((a, na, nc), (b, na, nnc), (c, nna, nc), (d, nna, nnc))
    )
    smaller = np.minimum(_entropy(na / n), _entropy(nc / n))
    return np.where(smaller > 0, joint / np.where(smaller > 0, smaller, 1.0), np.nan)


def _goodman_kruskal(n: float, a: np.ndarray, b: np.ndarray, c: np.ndarray, d: np.ndarray, *margins: Any) -> Any:
    nc, nnc = margins
    best = np.maximum(nc, nnc)
    return np.where(best < n, (np.maximum(a, b) + np.maximum(c, d) - best) / (n - best), np.nan)


# ---- corrections for many tests ---------------------------------------------------------------


def adjust_p_values(p: np.ndarray, method: str, n_tests: int) -> np.ndarray:
    """p-values adjusted for ``n_tests`` tests, of which these are the smallest (the others,
    not given, are taken to be larger: the adjusted values are then at least what the
    method gives over all the tests, so never too small).

    Parameters
    ----------
    p : array-like of float
        The p-values.
    method : {"holm", "bonferroni", "fdr_bh", "none"}
        One of :data:`CORRECTIONS`, with m = ``n_tests``: ``bonferroni``: min(1, m p);
        ``holm``: the step-down maximum of min(1, (m - i) p_(i)) over the ascending
        p_(0..r-1); ``fdr_bh`` (Benjamini-Hochberg): the step-up minimum of
        min(1, m p_(i) / (i + 1)); ``none``: p.
    n_tests : int
        The number of tests, at least ``len(p)``.

    Returns
    -------
    ndarray
        float64, the adjusted p-values in the order of ``p``; a new array.

    Raises
    ------
    ValueError
        For an unknown method, or p-values or a number of tests that are not numbers.

    Examples
    --------
    >>> p = np.array([0.01, 0.04, 0.03])
    >>> tallisk.measures.adjust_p_values(p, "holm", 3).tolist()
    [0.03, 0.06, 0.06]
    >>> tallisk.measures.adjust_p_values(p, "fdr_bh", 10).tolist()
    [0.1, 0.13333333333333333, 0.13333333333333333]
    """
    if method not in CORRECTIONS:  # an unknown name must not pass as another method
        raise ValueError(f"method must be one of {', '.join(CORRECTIONS)}; got {method!r}")
    p = np.asarray(p, dtype=np.float64)
    m = float(n_tests)
    if method == "none" or p.size == 0:
        return p.copy()
    if method == "bonferroni":
        return np.minimum(1.0, p * m)
    order = np.argsort(p, kind="stable")
    ranked = p[order]
    i = np.arange(ranked.size, dtype=np.float64)
    if method == "holm":
        adjusted = np.maximum.accumulate(np.minimum(1.0, (m - i) * ranked))
    else:  # fdr_bh
        adjusted = np.minimum.accumulate(np.minimum(1.0, m * ranked / (i + 1.0))[::-1])[::-1]
    out = np.empty_like(p)
    out[order] = adjusted
    return out


# ---- the public functions ---------------------------------------------------------------------


@declare(
    Param(
        "test",
        Options(TESTS),
        none=True,
        none_unsaid=True,
        flag="--p-value",
        help="test each rule (A and C together more often than independence predicts) and keep those whose "
        "adjusted p-value is at most --alpha",
    ),
    Param("correction", Options(CORRECTIONS), help="the correction of the p-values for many tests"),
    Param("n_tests", Int(1), none=True, help="the number of rules tested (default: the rules given)"),
)
def add_significance(
    rules: pd.DataFrame,
    *,
    test: Literal["fisher", "chi2"] | None = None,
    correction: str = "holm",
    n_tests: int | None = None,
) -> pd.DataFrame:
    """The rules with the p-value of each and its correction for many tests.

    ``p_value`` tests whether A and C occur together more often than independence
    predicts, one-sided, on the 2x2 table of A and C over all transactions (see
    :mod:`tallisk.measures`):

    - ``test="fisher"`` (the default): Fisher's exact test, P(X >= count) for X hypergeometric with the
      table's margins (scipy's ``fisher_exact(table, alternative="greater")``), computed
      in log space, so a p-value is 0 only where it is below the smallest double;
    - ``test="chi2"``: Pearson's chi-squared without continuity correction, as a signed
      normal deviate z = (n a - n(A) n(C)) sqrt(n) / sqrt(n(A) n(C) n(not A) n(not C))
      (z^2 is the statistic): p = P(Z >= z), half of scipy's ``chi2_contingency(table,
      correction=False)`` p-value when A and C occur together more often than expected,
      one minus that half otherwise.

    A rule whose antecedent or consequent is in every transaction has p = 1 (nothing can
    show an association). ``p_adjusted`` corrects for ``n_tests`` tests (default: the
    rows; give more when these rules were picked from a larger set that was tested, e.g.
    the top rules of all rules): ``holm`` (default), ``bonferroni``, ``fdr_bh``
    (Benjamini-Hochberg, which bounds the false discovery rate instead) or ``none``; see
    :func:`adjust_p_values`.

    Parameters
    ----------
    rules : DataFrame
        A rule table of this package (``count``, ``antecedent_support``,
        ``consequent_support`` and ``attrs["n_transactions"]``).
    test : {"fisher", "chi2"}, optional
        Default (None): "fisher".
    correction : {"holm", "bonferroni", "fdr_bh", "none"}, default "holm"
    n_tests : int, optional
        At least the number of rows.

    Returns
    -------
    DataFrame
        A new table: the rules with ``p_value`` and ``p_adjusted`` (float64) added, and
        ``attrs`` ``test``, ``correction`` and ``n_tests``.

    Raises
    ------
    ValueError
        For a table without counts or ``attrs["n_transactions"]``, or counts that cannot
        be a 2x2 table.

    Examples
    --------
    >>> import tallisk
    >>> baskets = [["tea", "milk"]] * 8 + [["tea"]] * 2 + [["bread"]] * 10
    >>> rules = tallisk.association_rules(baskets, min_count=2, min_confidence=0.5)
    >>> tested = tallisk.add_significance(rules)
    >>> tested[["antecedent", "consequent", "p_value"]].round(6).to_dict("records")[0]
    {'antecedent': ('tea',), 'consequent': ('milk',), 'p_value': 0.000357}
    """
    func = "add_significance"
    test = test or "fisher"
    n, a, na, nc = rule_counts(rules, func)
    if n_tests is not None and n_tests < len(rules):
        raise fail(
            "n_tests", func, f"at least the number of rules ({len(rules)})", n_tests,
            "The correction is over every rule tested, these among them.",
        )  # fmt: skip
    m = len(rules) if n_tests is None else n_tests
    p = _engine.rule_p_values(a, na, nc, n, test=test)
    out = rules.copy(deep=False)
    out["p_value"] = p
    out["p_adjusted"] = adjust_p_values(p, correction, max(m, 1))
    out.attrs.update(test=test, correction=correction, n_tests=int(m))
    return out


@declare(
    Param("names", MeasureNames(), help="the measures to add, from tallisk.MEASURES"),
    Param("itemsets", Anything(), none=True, help="the itemset table the rules were made from (for improvement)"),
)
def add_measures(rules: pd.DataFrame, names: Any, *, itemsets: pd.DataFrame | None = None) -> pd.DataFrame:
    """The rules with more interest measures as columns.

    Parameters
    ----------
    rules : DataFrame
        A rule table of this package (``count``, ``antecedent_support``,
        ``consequent_support`` and ``attrs["n_transactions"]``).
    names : str or list of str
        Measures from :data:`MEASURES` (``list(tallisk.MEASURES)`` for all). A measure the
        table holds already keeps its column. ``p_value`` is Fisher's, uncorrected (see
        :func:`add_significance` for corrections). ``improvement`` compares each rule with
        every rule of a smaller antecedent, whose counts the rule table does not hold:
        it needs ``itemsets``.
    itemsets : DataFrame, optional
        The itemset table the rules were made from (target "all" or "closed"), for
        ``improvement``. Rules made with ``association_rules(..., measures=["improvement"])``
        carry the column already.

    Returns
    -------
    DataFrame
        A new table: the rules with the measures added after their columns, in the order
        asked.

    Raises
    ------
    InvalidParameterError
        For a name that is not a measure.
    ValueError
        For a table without counts, or ``improvement`` without ``itemsets``.

    Examples
    --------
    >>> import tallisk
    >>> baskets = [["tea", "milk"]] * 8 + [["tea"]] * 2 + [["milk"]] + [["bread"]] * 9
    >>> rules = tallisk.association_rules(baskets, min_count=2, min_confidence=0.5)
    >>> tallisk.add_measures(rules, ["phi", "odds_ratio"])[["phi", "odds_ratio"]].round(3).iloc[0].to_dict()
    {'phi': 0.704, 'odds_ratio': 36.0}
    """
    func = "add_measures"
    wanted = [names] if isinstance(names, str) else list(names)
    todo = list(dict.fromkeys(m for m in wanted if m not in rules.columns))
    out = rules.copy(deep=False)
    if not todo:
        return out
    n, a, na, nc = rule_counts(rules, func)
    formula = [m for m in todo if m not in ("improvement", "p_value")]
    columns = measure_columns(formula, n, a, na, nc)
    if "p_value" in todo:
        columns["p_value"] = _engine.rule_p_values(a, na, nc, n, test="fisher")
    if "improvement" in todo:
        columns["improvement"] = _improvement_of(rules, itemsets, func)
    for m in todo:
        out[m] = columns[m]
    return out


def _improvement_of(rules: pd.DataFrame, itemsets: pd.DataFrame | None, func: str) -> np.ndarray:
    """Each rule's improvement over the sub-rules, from the itemset table's counts."""
    from ._tables import _encode, read_itemsets

    if itemsets is None:
        raise ValueError(
            f"{func}: the improvement of a rule compares it with every rule of a smaller antecedent, whose counts "
            "are not in the rule table: pass itemsets= (the table the rules were made from), or ask "
            "association_rules(..., measures=['improvement'])."
        )
    if itemsets.attrs.get("target") == "maximal":
        raise ValueError(f"{func}: improvement needs the count of every subset, which maximal itemsets do not keep.")
    table, _ = read_itemsets(itemsets)
    sides = {}
    for side in ("antecedent", "consequent"):
        try:
            offsets, ids, _ = _encode(rules[side].to_numpy(), table.labels)
        except ValueError as err:
            raise ValueError(f"{func}: a rule's {side} holds a label the itemset table does not: {err}") from None
        sides[side] = (offsets, ids.astype(np.int32, copy=False))
    return _engine.rule_improvement(
        np.ascontiguousarray(table.offsets, dtype=np.int64),
        np.ascontiguousarray(table.items, dtype=np.int32),
        np.ascontiguousarray(table.counts, dtype=np.float64),
        float(table.n_transactions),
        *sides["antecedent"],
        *sides["consequent"],
        input_target="closed" if itemsets.attrs.get("target") == "closed" else "all",
    )
