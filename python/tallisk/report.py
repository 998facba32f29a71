"""Reading results: a summary of an itemset or rule table, and rules printed for people."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from ._validation import Anything, Int, Param, declare

__all__ = ["TableSummary", "format_rules", "summary"]

#: The statistics of each measure in a summary, in column order.
STATISTICS = ("min", "25%", "50%", "mean", "75%", "max")
# attrs shown in a summary's heading, in this order, when the table has them.
_SETTINGS = ("n_transactions", "min_count", "target", "by", "k", "test", "correction", "n_tests")


@dataclass(frozen=True)
class TableSummary:
    """What :func:`summary` tells of a table; ``str()`` (and the repr) give the printed
    form, :meth:`to_frame` the statistics of every measure as a DataFrame."""

    kind: str  # "itemsets" or "rules"
    n_rows: int
    lengths: pd.Series  # rows by length (rules: antecedent and consequent items together)
    measures: pd.DataFrame  # one row per measure column, one column per statistic
    settings: dict[str, Any] = field(default_factory=dict)  # the table's thresholds, from attrs

    def to_frame(self) -> pd.DataFrame:
        """The statistics of every measure as a table.

        Returns
        -------
        DataFrame
            Rows by measure, columns min, 25%, 50%, mean, 75%, max (NaN values left
            out; an empty table gives NaN); a copy, free to change.

        Examples
        --------
        >>> baskets = [["tea", "milk"]] * 6 + [["tea", "sugar"]] * 3 + [["bread"]] * 6
        >>> stats = tallisk.summary(tallisk.frequent_itemsets(baskets, min_count=3)).to_frame()
        >>> stats.loc["count"].tolist()
        [3.0, 3.75, 6.0, 5.5, 6.0, 9.0]
        """
        return self.measures.copy()

    def __str__(self) -> str:
        heading = f"{self.n_rows} {self.kind if self.n_rows != 1 else self.kind[:-1]}"
        if self.settings:
            heading += " (" + ", ".join(f"{k} {_text(v)}" for k, v in self.settings.items()) + ")"
        n, min_count = self.settings.get("n_transactions"), self.settings.get("min_count")
        if n and min_count is not None:
            heading += f"; the least support kept is {min_count / n:.6g}"
        what = "itemset length" if self.kind == "itemsets" else "rule length (antecedent + consequent items)"
        lines = [heading, "", f"{what}: rows"]
        if len(self.lengths):
            lines.append(self.lengths.to_string())
        lines += ["", "measures:"]
        if len(self.measures):
            lines.append(self.measures.to_string(float_format=lambda x: f"{x:.6g}"))
        return "\n".join(lines)

    def __repr__(self) -> str:
        return str(self)


def _text(value: Any) -> str:
    return f"{value:.6g}" if isinstance(value, float) else str(value)


def _lengths(table: pd.DataFrame, kind: str) -> np.ndarray:
    if kind == "itemsets":
        if "length" in table.columns:
            return table["length"].to_numpy(dtype=np.int64)
        column = "itemset" if "itemset" in table.columns else "itemsets"
        return np.fromiter(map(len, table[column]), dtype=np.int64, count=len(table))
    sizes = [
        np.fromiter(map(len, table[side]), dtype=np.int64, count=len(table)) for side in ("antecedent", "consequent")
    ]
    return sizes[0] + sizes[1]


@declare(Param("table", Anything(), help="an itemset or rule table"))
def summary(table: pd.DataFrame) -> TableSummary:
    """A summary of an itemset or rule table, as arules' ``summary`` gives one: rows by
    length, the spread of every measure, and the thresholds the table was made with.

    Parameters
    ----------
    table : DataFrame
        An itemset table (an ``itemset`` column) or a rule table (``antecedent`` and
        ``consequent``), of this package or alike.

    Returns
    -------
    TableSummary
        ``kind``, ``n_rows``, ``lengths`` (a Series: rows by length), ``measures`` (a
        DataFrame: min, quartiles, mean and max of every numeric column but ``length``;
        also :meth:`TableSummary.to_frame`) and ``settings`` (``n_transactions``,
        ``min_count``, ``target``, ``by``, ``k``, ``test``, ``correction``, ``n_tests``
        where ``attrs`` holds them). Printing it shows all of that.

    Raises
    ------
    ValueError
        For a table that is neither.

    Examples
    --------
    >>> import tallisk
    >>> baskets = [["tea", "milk"]] * 6 + [["tea", "sugar"]] * 3 + [["bread"]] * 6
    >>> s = tallisk.summary(tallisk.frequent_itemsets(baskets, min_count=3))
    >>> s.n_rows, s.lengths.to_dict()
    (6, {1: 4, 2: 2})
    >>> s.to_frame().loc["count", ["min", "max"]].tolist()
    [3.0, 9.0]
    """
    if {"antecedent", "consequent"} <= set(table.columns):
        kind = "rules"
    elif "itemset" in table.columns or "itemsets" in table.columns:
        kind = "itemsets"
    else:
        raise ValueError(
            "summary needs an itemset table (an 'itemset' column) or a rule table ('antecedent' and 'consequent')."
        )
    lengths = _lengths(table, kind)
    by_length = pd.Series(np.bincount(lengths) if lengths.size else np.zeros(0, np.int64), name="rows")
    by_length = by_length[by_length > 0]
    by_length.index.name = "length"
    numeric = [c for c in table.columns if c != "length" and table[c].dtype.kind in "iufb"]
    stats = {}
    for column in numeric:
        values = table[column].to_numpy(dtype=np.float64)
        values = values[~np.isnan(values)]
        if values.size:
            with np.errstate(invalid="ignore"):
                q = np.quantile(values, [0.0, 0.25, 0.5, 0.75, 1.0])
            # Between two infinite values (a conviction of inf) the interpolation reads
            # inf - inf; the quantile there is inf itself.
            q[np.isnan(q)] = np.inf
            stats[column] = [q[0], q[1], q[2], float(np.mean(values)), q[3], q[4]]
        else:
            stats[column] = [np.nan] * len(STATISTICS)
    measures = pd.DataFrame.from_dict(stats, orient="index", columns=list(STATISTICS))
    settings = {k: table.attrs[k] for k in _SETTINGS if k in table.attrs}
    return TableSummary(kind, len(table), by_length, measures, settings)


@declare(
    Param("rules", Anything(), help="a rule (or itemset) table"),
    Param("n", Int(1), none=True, help="how many rows (None: all)"),
    Param("measures", Anything(), none=True, help="the measure columns to show after the sets"),
)
def format_rules(rules: pd.DataFrame, n: int | None = 10, measures: Any = None) -> str:
    """Rules as text for people, one ``{a, b} => {c}`` line each with its measures,
    aligned as arules' ``inspect`` prints them (the command's text output).

    Parameters
    ----------
    rules : DataFrame
        A rule table (or an itemset table: ``{a, b}`` lines).
    n : int or None, default 10
        The first n rows (None: all), then a line saying how many are left out.
    measures : list of str, optional
        The columns after the sets (default support, confidence and lift).

    Returns
    -------
    str
        The lines, each ending in a newline.

    Raises
    ------
    InvalidParameterError
        For an ``n`` that is not an int of at least 1 or None.
    ValueError
        For a table that is neither a rule (or pair) nor an itemset table, or a measure
        it has no column for.

    Examples
    --------
    >>> import tallisk
    >>> baskets = [["tea", "milk"]] * 6 + [["tea", "sugar"]] * 3 + [["bread"]] * 6
    >>> top = tallisk.top_rules(baskets, k=2)
    >>> print(tallisk.format_rules(top, measures=["leverage", "confidence"]), end="")
        lhs       rhs     leverage confidence
    [1] {milk} => {tea}       0.16          1
    [2] {tea}  => {milk}      0.16   0.666667
    """
    # The file layer's formatter (the command's text output) does the writing; imported
    # when called, so that `import tallisk` stays light.
    from .io import format_table

    return format_table(rules, n=n, measures=measures)
