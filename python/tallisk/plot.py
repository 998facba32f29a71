"""Pictures of rules and pairs (the optional ``plot`` extra: matplotlib, and networkx for
the graph).

* :func:`rules_scatter`: every rule as a point, support against confidence, coloured by
  lift, as people know it from R's arulesViz.
* :func:`rules_graph`: the strongest rules as a network of items and rules.
* :func:`pair_heatmap`: lift (or another measure) between the most frequent items.

Every function takes the measure it colours or ranks by as ``by`` (``color`` and
``metric`` are older names), as :func:`tallisk.association_rules` sorts by ``by``.

Each draws into ``ax`` when given, else into a new pyplot figure, and returns the Axes.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from ._validation import Param, declare

__all__ = ["DPI", "SIZE", "describe", "new_axes", "pair_heatmap", "rules_graph", "rules_scatter"]

DPI = 100
SIZE = (9.0, 6.5)  # inches: 900 x 650 pixels at DPI


def _import_matplotlib() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise ImportError("drawing needs matplotlib: pip install 'tallisk[plot]'", name="matplotlib") from None
    return matplotlib


def new_axes(size: tuple[float, float] = SIZE, pyplot: bool = True) -> Any:
    """Axes on a new figure, for the drawing functions to draw into.

    Parameters
    ----------
    size : tuple of float, default SIZE
        Width and height in inches.
    pyplot : bool, default True
        A pyplot figure (shown in notebooks), or with ``False`` a bare Figure that never
        touches a GUI backend (for files: ``ax.figure.savefig(path)``).

    Returns
    -------
    matplotlib.axes.Axes
        The figure's one Axes.

    Raises
    ------
    ImportError
        Without matplotlib.
    ValueError
        For a size matplotlib does not take.

    Examples
    --------
    >>> import tallisk.plot
    >>> ax = tallisk.plot.new_axes(pyplot=False)
    >>> ax.figure.get_size_inches().tolist(), ax.figure.dpi == tallisk.plot.DPI
    ([9.0, 6.5], True)
    """
    _import_matplotlib()
    if pyplot:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots(figsize=size, dpi=DPI, layout="constrained")
        return ax
    from matplotlib.figure import Figure

    return Figure(figsize=size, dpi=DPI, layout="constrained").add_subplot()


def describe(ax: Any) -> str:
    """What the axes and the colour of a drawing mean (written into the PNG's text, so a
    file can be checked without looking at it).

    Parameters
    ----------
    ax : matplotlib.axes.Axes
        Axes one of the drawing functions drew into.

    Returns
    -------
    str
        E.g. ``x: support; y: confidence; colour: lift``; the parts an Axes lacks are
        left out.

    Raises
    ------
    AttributeError
        For an ``ax`` that is not a matplotlib Axes.

    Examples
    --------
    >>> import tallisk.plot
    >>> baskets = [["tea", "milk"]] * 6 + [["tea", "sugar"]] * 3 + [["bread", "milk"]] * 6 + [["bread"]] * 2
    >>> rules = tallisk.association_rules(baskets, min_support=0.1, min_confidence=0.1)
    >>> ax = tallisk.plot.rules_scatter(rules, tallisk.plot.new_axes(pyplot=False))
    >>> tallisk.plot.describe(ax)
    'x: support; y: confidence; colour: lift'
    """
    parts = []
    if ax.get_xlabel() or ax.get_ylabel():
        parts += [f"x: {ax.get_xlabel()}", f"y: {ax.get_ylabel()}"]
    for other in ax.figure.axes:
        if other is not ax and other.get_ylabel():  # a colour bar's label
            parts.append(f"colour: {other.get_ylabel().split(' (')[0]}")
            break
    return "; ".join(parts)


def _column(df: pd.DataFrame, *names: str) -> str:
    for name in names:
        if name in df.columns:
            return name
    raise KeyError(
        f"the table has none of the columns {', '.join(names)}; its columns are: {', '.join(map(str, df.columns))}"
    )


def _as_tuple(v: Any) -> tuple[Any, ...]:
    if isinstance(v, tuple | list | np.ndarray):
        return tuple(v)
    if isinstance(v, frozenset | set):
        return tuple(sorted(v, key=str))
    return (v,)


def _text(items: tuple[Any, ...], limit: int = 40) -> str:
    s = ", ".join(map(str, items))
    return s if len(s) <= limit else s[: limit - 1] + "…"


def _plain_numbers() -> Any:
    from matplotlib.ticker import FuncFormatter

    return FuncFormatter(lambda v, _: f"{v:g}")


_BY = "the measure to colour (and rank) by"


@declare(Param("by", aliases=("color",), help=_BY), name="rules_scatter")
def rules_scatter(
    rules: pd.DataFrame,
    ax: Any = None,
    *,
    x: str = "support",
    y: str = "confidence",
    by: str = "lift",
    cmap: str = "viridis",
) -> Any:
    """Every rule as a point: ``x`` (support) against ``y`` (confidence), coloured by
    ``by`` (lift). The strongest rules are drawn last, on top.

    Parameters
    ----------
    rules : DataFrame
        A rule table (or any table with the three columns).
    ax : matplotlib.axes.Axes, optional
        Where to draw (default: a new pyplot figure, :func:`new_axes`).
    x, y : str, default "support", "confidence"
        The columns along the axes; a skewed ``x`` is drawn on a log scale.
    by : str, default "lift"
        The column that colours the points (``color`` is its older name).
    cmap : str, default "viridis"
        A matplotlib colour map.

    Returns
    -------
    matplotlib.axes.Axes
        The Axes drawn into, with a colour bar beside it.

    Raises
    ------
    KeyError
        For a column the table does not have.
    TypeError
        For ``by`` given together with ``color``.
    ImportError
        Without matplotlib.

    Examples
    --------
    >>> import tallisk.plot
    >>> baskets = [["tea", "milk"]] * 6 + [["tea", "sugar"]] * 3 + [["bread", "milk"]] * 6 + [["bread"]] * 2
    >>> rules = tallisk.association_rules(baskets, min_support=0.1, min_confidence=0.1)
    >>> ax = tallisk.plot.rules_scatter(rules, tallisk.plot.new_axes(pyplot=False))
    >>> ax.get_title(), ax.get_xlabel(), ax.get_ylabel()
    ('6 rules', 'support', 'confidence')
    """
    _import_matplotlib()
    if ax is None:
        ax = new_axes()
    for name in (x, y, by):
        _column(rules, name)
    order = np.argsort(rules[by].to_numpy(dtype=float), kind="stable")
    xs = rules[x].to_numpy(dtype=float)[order]
    ys = rules[y].to_numpy(dtype=float)[order]
    cs = rules[by].to_numpy(dtype=float)[order]
    finite = np.isfinite(cs)
    if finite.any() and not finite.all():  # conviction is infinite at confidence 1
        cs = np.where(finite, cs, cs[finite].max())
    size = 28 if len(rules) <= 500 else (12 if len(rules) <= 5000 else 4)
    points = ax.scatter(xs, ys, c=cs, cmap=cmap, s=size, alpha=0.85, linewidths=0)
    if len(rules):
        ax.figure.colorbar(points, ax=ax, label=by)
    positive = xs[np.isfinite(xs) & (xs > 0)]
    if positive.size and positive.max() >= 8 * positive.min():
        # Supports are skewed: most rules sit near the minimum, a few far above it.
        from matplotlib.ticker import LogLocator, NullFormatter

        ax.set_xscale("log")
        ax.xaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
        ax.xaxis.set_major_formatter(_plain_numbers())
        ax.xaxis.set_minor_formatter(NullFormatter())
    ax.set_xlabel(x)
    ax.set_ylabel(y)
    ax.set_title(f"{len(rules)} rules")
    ax.grid(True, alpha=0.3)
    return ax


@declare(Param("by", help=_BY), name="rules_graph")
def rules_graph(rules: pd.DataFrame, top: int = 30, ax: Any = None, *, by: str = "lift", cmap: str = "viridis") -> Any:
    """The strongest rules as a network: item names, and one dot per rule (size by
    support, colour by ``by``) with arrows from its antecedent items and to its
    consequent items. Each connected group of rules is laid out on its own.

    Parameters
    ----------
    rules : DataFrame
        A rule table (tallisk's or mlxtend's column names).
    top : int, default 30
        How many rules to draw, the highest by ``by`` first.
    ax : matplotlib.axes.Axes, optional
        Where to draw (default: a new pyplot figure, :func:`new_axes`).
    by : str, default "lift"
        The column that ranks and colours the rules.
    cmap : str, default "viridis"
        A matplotlib colour map.

    Returns
    -------
    matplotlib.axes.Axes
        The Axes drawn into (no axis lines), with a colour bar beside it.

    Raises
    ------
    KeyError
        For a table without antecedent, consequent or ``by`` columns.
    ImportError
        Without matplotlib or networkx.

    Examples
    --------
    >>> import tallisk.plot
    >>> baskets = [["tea", "milk"]] * 6 + [["tea", "sugar"]] * 3 + [["bread", "milk"]] * 6 + [["bread"]] * 2
    >>> rules = tallisk.association_rules(baskets, min_support=0.1, min_confidence=0.1)
    >>> ax = tallisk.plot.rules_graph(rules, top=3, ax=tallisk.plot.new_axes(pyplot=False))
    >>> ax.get_title()
    'top 3 rules by lift: dot size = support, arrows run antecedent → rule → consequent'
    """
    _import_matplotlib()
    try:
        import networkx as nx
    except ImportError:
        raise ImportError("the rule graph needs networkx: pip install 'tallisk[plot]'", name="networkx") from None
    if ax is None:
        ax = new_axes()
    ante = _column(rules, "antecedents", "antecedent")
    cons = _column(rules, "consequents", "consequent")
    _column(rules, by)
    picked = rules.sort_values(by, ascending=False, kind="stable").head(top)
    graph = nx.DiGraph()
    rule_nodes = []
    for k, (a, c) in enumerate(zip(picked[ante].tolist(), picked[cons].tolist(), strict=True)):
        node = ("rule", k)
        rule_nodes.append(node)
        graph.add_node(node)
        for item in _as_tuple(a):
            graph.add_edge(("item", item), node)
        for item in _as_tuple(c):
            graph.add_edge(node, ("item", item))
    item_nodes = [n for n in graph.nodes if n[0] == "item"]
    pos = _component_layout(nx, graph)
    support = picked["support"].to_numpy(dtype=float) if "support" in picked.columns else np.ones(len(picked))
    strength = picked[by].to_numpy(dtype=float)
    finite = np.isfinite(strength)
    if finite.any() and not finite.all():
        strength = np.where(finite, strength, strength[finite].max())
    sizes = 40 + 260 * (support / support.max() if len(support) and support.max() > 0 else support)
    nx.draw_networkx_edges(
        graph,
        pos,
        ax=ax,
        edge_color="#8a8a8a",
        width=0.9,
        arrows=True,
        arrowsize=9,
        node_size=[sizes[n[1]] if n[0] == "rule" else 0 for n in graph.nodes],
        alpha=0.8,
    )
    if rule_nodes:
        dots = nx.draw_networkx_nodes(
            graph, pos, nodelist=rule_nodes, node_size=sizes, node_color=strength, cmap=cmap, ax=ax, linewidths=0
        )
        ax.figure.colorbar(dots, ax=ax, label=by, shrink=0.8)
    nx.draw_networkx_labels(
        graph,
        pos,
        labels={n: str(n[1]) for n in item_nodes},
        font_size=8,
        ax=ax,
        bbox={"boxstyle": "round,pad=0.25", "fc": "white", "ec": "#bbbbbb", "alpha": 0.9},
    )
    ax.set_title(
        f"top {len(picked)} rules by {by}: dot size = support, arrows run antecedent → rule → consequent", fontsize=10
    )
    ax.set_axis_off()
    return ax


def _component_layout(nx: Any, graph: Any) -> dict[Any, np.ndarray]:
    """Each connected group of rules laid out on its own (a spring layout of the whole
    would squeeze every group into a blot far from the others), the groups then placed
    on a grid, larger groups in larger cells, biggest first."""
    groups = sorted(nx.weakly_connected_components(graph), key=lambda g: (-len(g), min(map(str, g))))
    if not groups:
        return {}
    cols = int(np.ceil(np.sqrt(len(groups))))
    biggest = len(groups[0])
    pos = {}
    for k, nodes in enumerate(groups):
        sub = graph.subgraph(nodes)
        if len(nodes) == 1:
            local = {next(iter(nodes)): np.zeros(2)}
        else:
            try:  # graph distances kept as drawn distances: clear for groups this small
                local = nx.kamada_kawai_layout(sub.to_undirected())
            except ImportError:  # it needs SciPy
                local = nx.spring_layout(sub, seed=0, k=1.2 / np.sqrt(len(nodes)), iterations=300)
        points = np.array(list(local.values()))
        span = np.abs(points - points.mean(axis=0)).max() or 1.0
        scale = 0.42 * np.sqrt(len(nodes) / biggest) / span
        centre = np.array([k % cols, -(k // cols)], dtype=float)
        for node, xy in local.items():
            pos[node] = centre + (xy - points.mean(axis=0)) * scale
    return pos


@declare(Param("by", aliases=("metric",), help=_BY), name="pair_heatmap")
def pair_heatmap(
    pairs: pd.DataFrame, top: int = 30, ax: Any = None, *, by: str = "lift", cmap: str | None = None
) -> Any:
    """``by`` (lift) of each ordered pair among the most frequent items of a pair table:
    row = first item (A), column = second item (B); grey where the pair never occurs.
    Lift is drawn on a log scale diverging at 1 (independence).

    Parameters
    ----------
    pairs : DataFrame
        A table of :func:`tallisk.pair_metrics` (or rules of one item each side, or
        mlxtend's names).
    top : int, default 30
        How many of the most frequent items to show.
    ax : matplotlib.axes.Axes, optional
        Where to draw (default: a new pyplot figure, :func:`new_axes`).
    by : str, default "lift"
        The column drawn (``metric`` is its older name).
    cmap : str, optional
        A matplotlib colour map (default: diverging ``RdBu_r`` for lift, else
        ``viridis``).

    Returns
    -------
    matplotlib.axes.Axes
        The Axes drawn into, with a colour bar beside it.

    Raises
    ------
    KeyError
        For a table without the pair, support or ``by`` columns.
    TypeError
        For ``by`` given together with ``metric``.
    ImportError
        Without matplotlib.

    Examples
    --------
    >>> import tallisk.plot
    >>> baskets = [["tea", "milk"]] * 6 + [["tea", "sugar"]] * 3 + [["bread", "milk"]] * 6 + [["bread"]] * 2
    >>> pairs = tallisk.pair_metrics(baskets)
    >>> ax = tallisk.plot.pair_heatmap(pairs, top=3, ax=tallisk.plot.new_axes(pyplot=False))
    >>> ax.get_title(), [t.get_text() for t in ax.get_xticklabels()]
    ('lift of A → B among the 3 most frequent items', ['milk', 'tea', 'bread'])
    """
    matplotlib = _import_matplotlib()
    from matplotlib.colors import LogNorm
    from matplotlib.ticker import FuncFormatter, NullLocator

    if ax is None:
        ax = new_axes()
    a_col = _column(pairs, "item_A", "item_a", "antecedent", "antecedents")
    b_col = _column(pairs, "item_B", "item_b", "consequent", "consequents")
    _column(pairs, by)
    a = pd.Series([_as_tuple(v)[0] for v in pairs[a_col].tolist()], dtype=object)
    b = pd.Series([_as_tuple(v)[0] for v in pairs[b_col].tolist()], dtype=object)
    # Support of each item: given as a column, or support(A,B) / confidence(A -> B).
    if "antecedent support" in pairs.columns:
        item_support = pd.Series(pairs["antecedent support"].to_numpy(dtype=float), index=a)
    elif "support_A" in pairs.columns:
        item_support = pd.Series(pairs["support_A"].to_numpy(dtype=float), index=a)
    else:
        with np.errstate(divide="ignore", invalid="ignore"):
            s = pairs[_column(pairs, "support")].to_numpy(dtype=float) / pairs["confidence"].to_numpy(dtype=float)
        item_support = pd.Series(s, index=a)
    item_support = item_support[~item_support.index.duplicated()]
    chosen = item_support.sort_values(ascending=False, kind="stable").head(top).index.tolist()
    where = {item: k for k, item in enumerate(chosen)}
    matrix = np.full((len(chosen), len(chosen)), np.nan)
    values = pairs[by].to_numpy(dtype=float)
    for k, (x, y) in enumerate(zip(a.tolist(), b.tolist(), strict=True)):
        i, j = where.get(x), where.get(y)
        if i is not None and j is not None:
            matrix[i, j] = values[k]
    shown = matrix[np.isfinite(matrix) & (matrix > 0)]
    norm = None
    if by == "lift" and shown.size:
        # Lift is a ratio: 1/4 is as far from independence as 4, so the scale is
        # logarithmic and symmetric around 1 (white).
        reach = float(max(shown.max(), 1.0 / shown.min(), 1.5))
        norm = LogNorm(vmin=1.0 / reach, vmax=reach)
        matrix = np.where(np.isnan(matrix) | (matrix > 0), matrix, 1.0 / reach)
    colours = matplotlib.colormaps[cmap or ("RdBu_r" if by == "lift" else "viridis")].with_extremes(bad="#cfcfcf")
    image = ax.imshow(np.ma.masked_invalid(matrix), cmap=colours, norm=norm, aspect="auto", interpolation="nearest")
    label = by if norm is None else f"{by} (log scale; grey: pair not in the table)"
    bar = ax.figure.colorbar(image, ax=ax, label=label, shrink=0.85)
    if norm is not None:
        ticks = [t for t in (1 / 16, 1 / 8, 1 / 4, 1 / 2, 1, 2, 4, 8, 16, 32, 64) if 1.0 / reach <= t <= reach]
        bar.set_ticks(ticks)
        bar.ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}" if v >= 1 else f"1/{1 / v:g}"))
        bar.ax.yaxis.set_minor_locator(NullLocator())
    labels = [str(x) for x in chosen]
    ax.set_xticks(range(len(chosen)), labels, rotation=90, fontsize=7 if len(chosen) > 20 else 9)
    ax.set_yticks(range(len(chosen)), labels, fontsize=7 if len(chosen) > 20 else 9)
    ax.set_xlabel("second item (B)")
    ax.set_ylabel("first item (A)")
    ax.set_title(f"{by} of A → B among the {len(chosen)} most frequent items")
    return ax
