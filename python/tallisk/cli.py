"""The ``tallisk`` command: frequent itemsets, association rules and pair metrics from a
transaction file, without writing Python.

Each subcommand is a short pipeline of the package's own functions (read the file, mine,
find rules, write), and its flags are those functions' declared parameters: the type,
range, choices, default and help of ``--min-len`` are those of ``min_len=`` in
:func:`tallisk.frequent_itemsets`, and a refused value gets the package's message worded
with flags. A subcommand takes only the parameters its functions use there, so
``tallisk rules`` has no ``--min-len``. Adding a function to a subcommand is one line of
:func:`subcommands`.

Exit status: 0 done (also when nothing is found: a note on standard error says so);
1 the run failed (unreadable input, an output that cannot be written, too many itemsets,
out of memory); 2 usage error (an unknown flag, a value out of range, flags that do not
go together); 128 + N when stopped by signal N: 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP.
Every failure prints one line on standard error (``-v`` adds the traceback of an
unexpected one) and leaves no partial output file behind.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.util
import inspect
import os
import re
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from ._validation import (
    UNSET,
    Bool,
    Declaration,
    Fraction,
    Int,
    InvalidParameterError,
    Kind,
    Name,
    Options,
    Param,
    Part,
    Voice,
    declaration_of,
    min_count_from_support,
)

PROG = "tallisk"

EXAMPLES = """\
examples:
  tallisk itemsets retail.dat --min-support 1%              FIMI lines on standard output
  tallisk itemsets retail.dat --min-count 50 --max-len 3 -o sets.csv
  tallisk rules baskets.csv.gz --item product --transaction order_id \\
          --min-support 0.5% --min-confidence 0.6 --top 20 --plot rules.png
  tallisk rules shop.basket --sep ';' --strip --by confidence -o rules.parquet
  tallisk pairs retail.dat --min-support 0.2% --by lift --top 50 -o pairs.jsonl
  tallisk rules retail.dat --top 20 --by leverage            the 20 best rules of all, no support to guess
  tallisk rules retail.dat --min-count 50 --min-improvement 0 --p-value fisher --alpha 0.05 --exclude 39,48
  zcat data.dat.gz | tallisk summary -

input formats (--input-format, guessed from the name; gzip and Parquet from the content):
  fimi     one transaction per line, items separated by blanks (.dat .fimi .txt, stdin)
  basket   one transaction per line, items separated by --sep (default ',') (.basket)
  long     one (transaction, item) per row: CSV with a header (.csv, .tsv) or Parquet
output formats (--output-format, guessed from -o's extension; .gz compresses):
  text     aligned for people: '[1] {a, b} => {c}  support confidence lift' (default)
  csv/tsv  one row per result, sets as JSON arrays in one cell (.csv, .tsv)
  parquet  sets as lists (.parquet)            jsonl: one JSON object per line (.jsonl)
  fimi     'a b c (count)'; rules and pairs 'c <- a b (support, confidence)' (.dat)

exit status: 0 done, 1 the run failed, 2 usage error, 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP
"""


class CLIError(Exception):
    """A failed run: printed as one line, exit status 1. ``parts`` word it with flags."""

    def __init__(self, *parts: Part) -> None:
        self.parts = parts
        super().__init__(Voice(command=True).render(parts, ""))


# ---- the subcommands, from the functions' declarations -----------------------------------------


@dataclass(frozen=True)
class Uses:
    """The parameters of one declared function that a subcommand takes as flags."""

    title: str  # the help group
    func: Any
    names: tuple[str, ...]

    @property
    def declaration(self) -> Declaration:
        return declaration_of(self.func)

    def params(self) -> list[tuple[Param, Any]]:
        """(declaration, the function's default) of each flag."""
        decl = self.declaration
        out = []
        for name in self.names:
            default = decl.default(name)
            out.append((decl.params[name], None if default is inspect.Parameter.empty else default))
        return out

    def kwargs(self, args: argparse.Namespace) -> dict[str, Any]:
        return {n: getattr(args, n) for n in self.names}


@dataclass(frozen=True)
class Own:
    """Flags of the command itself (output, plot, run): declared here, as the functions'
    are, with their defaults."""

    title: str
    params: tuple[Param, ...]

    def declaration(self) -> Declaration:
        sig = inspect.Signature(
            [inspect.Parameter(p.name, inspect.Parameter.KEYWORD_ONLY, default=_default(p)) for p in self.params]
        )
        return Declaration(PROG, {p.name: p for p in self.params}, (), sig)


@dataclass(frozen=True)
class Sub:
    name: str
    help: str
    description: str
    groups: tuple[Uses | Own, ...]
    run: Callable[..., None]


def _default(p: Param) -> Any:
    if p.command_default is UNSET:
        return False if isinstance(p.kind, Bool) else None
    return p.command_default


class _Png(Kind):
    metavar = "FILE.png"

    def describe(self, voice: Voice, low: Any = None) -> str:
        return "the name of a PNG file (ending in .png)"

    def check(self, value: Any, bad: Callable[..., InvalidParameterError], low: Any = None) -> str:
        if not isinstance(value, str) or not value.lower().endswith(".png"):
            raise bad()
        return value

    def invalid_text(self) -> list[str]:
        return ["chart.jpg"]


def _output_group() -> Own:
    from .io import OUTPUT_FORMATS

    return Own(
        "output",
        (
            Param(
                "output", flag="-o/--output", metavar="OUT", none=True, help="output file (default: standard output)"
            ),
            Param(
                "output_format",
                Options(OUTPUT_FORMATS),
                none=True,
                help="default: from OUT's extension; the aligned text otherwise",
            ),
            Param("top", Int(1), none=True, help="write only the first N rows (after ordering)"),
        ),
    )


SIGNIFICANCE = Own(
    "significance filter",
    (
        Param(
            "alpha",
            Fraction(zero=True, support=False),
            none=True,
            help="with --p-value: keep the rules whose adjusted p-value is at most this (default 0.05)",
        ),
    ),
)
RUN = Own(
    "run",
    (
        Param("threads", Int(1), none=True, help="worker threads (default: every processor)"),
        Param("quiet", Bool(), flag="-q/--quiet", help="no progress bars"),
        Param("verbose", Bool(), flag="-v/--verbose", help="print each stage's time and counts on stderr"),
    ),
)


def _plot_group(kinds: tuple[str, ...]) -> Own:
    params = [Param("plot", _Png(), none=True, help="also draw the result into a PNG file")]
    if len(kinds) > 1:
        help = "scatter: support against confidence, coloured by --by; graph: the top rules as a network"
        params.append(Param("plot_kind", Options(kinds), command_default=kinds[0], help=help))
    return Own("picture (needs matplotlib; the graph also networkx)", tuple(params))


def subcommands() -> dict[str, Sub]:
    """The subcommands: which functions each runs, and which of their parameters it takes."""
    from .io import read_transactions
    from .measures import add_significance
    from .mining import frequent_itemsets
    from .pairs import PAIR_COLUMNS, pair_metrics
    from .rules import association_rules
    from .transactions import Transactions

    output = _output_group()
    read = Uses("input", read_transactions, ("format", "sep", "strip", "transaction", "item", "encoding"))
    threshold = ("min_support", "min_count")
    pair_by = tuple(PAIR_COLUMNS[2:])
    subs = [
        Sub(
            "itemsets",
            "frequent itemsets",
            "Every itemset held by at least --min-support of the transactions, with its count and support.",
            (
                read,
                Uses(
                    "itemsets",
                    frequent_itemsets,
                    (*threshold, "min_len", "max_len", "target", "max_itemsets", "exclude"),
                ),
                output,
                Own(
                    "order",
                    (
                        Param(
                            "by",
                            Options(("support", "count", "length")),
                            none=True,
                            old_flags=("--sort",),
                            help="order of the rows, largest first (default: by length, then by label)",
                        ),
                    ),
                ),  # fmt: skip
                RUN,
            ),
            _itemsets,
        ),
        Sub(
            "rules",
            "association rules",
            "Rules A -> C between frequent itemsets, with support, confidence, lift and more. With --top K: "
            "the K best rules by --by, ties included, over all rules when no --min-support or --min-count is "
            "given and --by is leverage, support or count (no support to guess), else over the rules at the "
            "threshold.",
            (
                read,
                Uses("itemsets", frequent_itemsets, (*threshold, "max_len", "max_itemsets", "exclude")),
                Uses(
                    "rules",
                    association_rules,
                    ("min_confidence", "min_lift", "max_consequent_len", "by", "min_improvement"),
                ),
                Uses("significance", add_significance, ("test", "correction")),
                SIGNIFICANCE,
                output,
                _plot_group(("scatter", "graph")),
                RUN,
            ),
            _rules,
        ),
        Sub(
            "pairs",
            "metrics of every pair of items",
            "Support, confidence, lift and more for every ordered pair of items bought together.",
            (
                read,
                Uses("pairs", pair_metrics, threshold),
                output,
                Own(
                    "order",
                    (
                        Param(
                            "by",
                            Options(pair_by),
                            none=True,
                            old_flags=("--sort",),
                            help="order of the rows, largest first (default: by first item)",
                        ),
                    ),
                ),  # fmt: skip
                _plot_group(("heatmap",)),
                RUN,
            ),
            _pairs,
        ),
        Sub(
            "summary",
            "describe the transactions",
            "Counts, the most frequent items and basket sizes.",
            (read, Uses("summary", Transactions.summary, ("top",)), RUN),
            _summary,
        ),
    ]
    return {s.name: s for s in subs}


# ---- the parser ------------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, pointing at --help, rather than the whole usage block."""

    def error(self, message: str) -> Any:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def flag_names(p: Param) -> list[str]:
    """The option strings of a parameter's flag, the one messages name first."""
    if p.flag:
        names = p.flag.split("/")
        return sorted(names, key=lambda n: not n.startswith("--"))
    return ["--" + p.name.replace("_", "-")]


def _help(p: Param, default: Any) -> str:
    text = p.help
    if p.command_default is not UNSET:
        default = p.command_default
    if default not in (None, False) and "default" not in text:
        text += f" (default {default:g})" if isinstance(default, float) else f" (default {default})"
    return text.replace("%", "%%")  # argparse formats help with %


def _add_flag(group: Any, p: Param, default: Any, texts: dict[str, str]) -> None:
    kw: dict[str, Any] = {"dest": p.name, "default": default, "help": _help(p, default)}
    if isinstance(p.kind, Bool):
        kw["action"] = "store_true"
    elif isinstance(p.kind, Options):
        kw["choices"] = p.kind.values
        kw["metavar"] = p.metavar
    else:
        kind = p.kind

        def read(text: str) -> Any:
            texts[p.name] = text
            try:
                return kind.parse(text)
            except ValueError as e:
                raise argparse.ArgumentTypeError(str(e)) from None

        kw["type"] = read
        kw["metavar"] = p.metavar or kind.metavar
    names = flag_names(p)
    group.add_argument(*sorted(names, key=lambda n: n.startswith("--")), **kw)
    if p.old_flags:
        group.add_argument(*p.old_flags, **{**kw, "help": argparse.SUPPRESS})


def flags_of(sub: Sub) -> list[tuple[Param, Any, Declaration]]:
    """Every flag of a subcommand: its declaration, the command's default and the
    declaration it belongs to."""
    out = []
    for group in sub.groups:
        if isinstance(group, Uses):
            decl = group.declaration
            out += [(p, d, decl) for p, d in group.params()]
        else:
            decl = group.declaration()
            out += [(p, _default(p), decl) for p in group.params]
    return out


def build_parser(texts: dict[str, str] | None = None) -> argparse.ArgumentParser:
    """The command's parser; ``texts`` collects the values as typed (for messages)."""
    from . import __version__

    texts = {} if texts is None else texts
    parser = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Frequent itemsets, association rules and pair metrics from a transaction file.",
        epilog=EXAMPLES,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub_parsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for sub in subcommands().values():
        p = sub_parsers.add_parser(
            sub.name,
            formatter_class=argparse.RawDescriptionHelpFormatter,
            help=sub.help,
            description=sub.description,
            epilog=EXAMPLES,
        )
        p.add_argument("input", metavar="IN", help="transaction file; '-' reads standard input")
        for group in sub.groups:
            g = p.add_argument_group(group.title)
            pairs = group.params() if isinstance(group, Uses) else [(q, _default(q)) for q in group.params]
            for param, default in pairs:
                _add_flag(g, param, default, texts)
    return parser


def _voice(sub: Sub, texts: dict[str, str]) -> Voice:
    flags = {p.name: flag_names(p)[0] for p, _, _ in flags_of(sub)}
    return Voice(command=True, flags=flags, texts=texts, caller=f"{PROG} {sub.name}")


def _check(sub: Sub, args: argparse.Namespace) -> None:
    """Every flag's value checked by its declaration (ranges, rules between flags) before
    the work starts; the command's defaults fill in where the caller gave nothing."""
    for group in sub.groups:
        if isinstance(group, Uses):
            decl = group.declaration
            values = group.kwargs(args)
            _fill_command_defaults(decl, values)
        else:
            decl = group.declaration()
            values = {p.name: getattr(args, p.name) for p in group.params}
        for name, value in decl.check(values).items():
            setattr(args, name, value)


def _fill_command_defaults(decl: Declaration, values: dict[str, Any]) -> None:
    """The command's own default of a parameter (--min-support 1%) where the caller gave
    neither it nor the parameter a rule pairs it with (--min-count)."""
    for name in list(values):
        p = decl.params[name]
        if p.command_default is UNSET or values[name] != decl.default(name):
            continue
        partners = {n for rule in decl.rules for n in getattr(rule, "names", ()) if name in getattr(rule, "names", ())}
        if all(values.get(n) is None for n in partners - {name}):
            values[name] = p.command_default


# ---- progress and timings ---------------------------------------------------------------------


class _Report:
    """Progress on a terminal (rich, unless -q): one transient line per stage, cleared when
    the stage ends; -v stage lines and notes on stderr. ``stage`` is the running stage's
    name, kept after a failure for the message."""

    def __init__(self, quiet: bool, verbose: bool) -> None:
        self.verbose = verbose
        self.stage = ""
        self.bars = not quiet and sys.stderr.isatty() and importlib.util.find_spec("rich") is not None

    def note(self, text: str) -> None:
        if self.verbose:
            self.say(text)

    def say(self, text: str) -> None:
        print(f"{PROG}: {text}", file=sys.stderr, flush=True)

    @contextlib.contextmanager
    def running(
        self, stage: str, total: int | None = None, unit: str = "bytes"
    ) -> Iterator[Callable[[int], None] | None]:
        """A stage; yields a function to advance its bar by some ``unit`` (bytes or rows)
        when ``total`` is known (else None: an elapsed-time line, refreshed by the
        library's own thread)."""
        self.stage = stage
        if not self.bars:
            yield None
            self.stage = ""
            return
        from rich.console import Console
        from rich.progress import (
            BarColumn,
            DownloadColumn,
            MofNCompleteColumn,
            Progress,
            SpinnerColumn,
            TextColumn,
            TimeElapsedColumn,
        )

        columns: list[Any] = [SpinnerColumn(), TextColumn("{task.description}")]
        if total:
            columns += [BarColumn(), DownloadColumn(binary_units=True) if unit == "bytes" else MofNCompleteColumn()]
        columns.append(TimeElapsedColumn())
        with Progress(*columns, console=Console(file=sys.stderr), transient=True) as progress:
            task = progress.add_task(stage, total=total or None)
            yield (lambda n: progress.advance(task, n)) if total else None
        self.stage = ""


def _clock() -> tuple[float, float]:
    return time.perf_counter(), time.process_time()


def _since(start: tuple[float, float]) -> str:
    """Wall time, and the CPU time of every thread of the process (on a busy machine
    the second says what the stage cost; with worker threads it can exceed the first)."""
    wall, cpu = _clock()
    return f"{wall - start[0]:.3f} s (CPU {cpu - start[1]:.3f} s)"


def _size(n: float) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1024 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GB"


# ---- stages -------------------------------------------------------------------------------------


def _uses(sub: Sub, func_name: str) -> Uses:
    return next(g for g in sub.groups if isinstance(g, Uses) and g.func.__name__ == func_name)


def _read(sub: Sub, args: argparse.Namespace, report: _Report) -> Any:
    name = "standard input" if args.input == "-" else args.input
    total = None
    if args.input != "-":
        with contextlib.suppress(OSError):
            total = os.path.getsize(args.input)
    start = _clock()
    read = _uses(sub, "read_transactions")
    with report.running("reading", total) as progress:
        tx = read.func(args.input, **read.kwargs(args), progress=progress)
    if tx.n_occurrences == 0:
        raise CLIError(f"{name}: empty input (no items)" if tx.n_transactions else f"{name}: empty input")
    size = f", {_size(total)}" if total is not None else ""
    report.note(
        f"read {name}: {tx.n_transactions} transactions, {tx.n_items} items, "
        f"{tx.n_occurrences} occurrences{size} in {_since(start)}"
    )
    return tx


def _mine(sub: Sub, args: argparse.Namespace, tx: Any, report: _Report) -> Any:
    mine = _uses(sub, "frequent_itemsets")
    start = _clock()
    with report.running("mining the itemsets"):
        try:
            sets = mine.func(tx, **mine.kwargs(args))
        except ValueError as e:
            limit = getattr(args, "max_itemsets", None)
            if limit is not None and str(e).startswith(f"more than {limit} "):
                raise CLIError(
                    f"more than {limit} frequent itemsets (", Name("max_itemsets"), "); raise ",
                    Name("min_support"), " or set ", Name("max_len"),
                ) from None  # fmt: skip
            raise
    target = getattr(args, "target", "all")
    report.note(
        f"mined {len(sets)} {target if target != 'all' else 'frequent'} itemsets "
        f"(at least {sets.attrs.get('min_count')} transactions) in {_since(start)}"
    )
    if sets.empty:
        counts = tx.item_counts
        report.say(
            f"no itemsets at this support; the most frequent item, {counts.idxmax()!r}, is in "
            f"{counts.max()} of {tx.n_transactions} transactions"
        )
    return sets


def _ordered(df: Any, by: str | None, top: int | None) -> Any:
    if by is not None and by in df.columns:
        df = df.sort_values(by, ascending=False, kind="stable").reset_index(drop=True)
    return df.head(top) if top is not None else df


def _write(args: argparse.Namespace, df: Any, what: str, report: _Report) -> None:
    from .io import guess_output_format, write_table

    start = _clock()
    fmt = args.output_format or guess_output_format(args.output)
    with report.running("writing", len(df), unit="rows") as progress:
        write_table(df, args.output, fmt, progress=progress)
    where = "standard output" if args.output in (None, "-") else args.output
    report.note(f"wrote {len(df)} {what} to {where} ({fmt}) in {_since(start)}")


def _plot(args: argparse.Namespace, df: Any, kind: str, report: _Report) -> None:
    if not args.plot:
        return
    os.environ.setdefault("MPLBACKEND", "Agg")
    from . import plot as tplot
    from .io import atomic_write

    start = _clock()
    draws: dict[str, Callable[..., Any]] = {
        "scatter": tplot.rules_scatter,
        "graph": tplot.rules_graph,
        "heatmap": tplot.pair_heatmap,
    }
    draw = draws[kind]
    # A bare Figure renders with Agg and never opens a window, on any machine.
    with report.running("drawing"):
        ax = draw(df, ax=tplot.new_axes(pyplot=False), by=args.by or "lift")
        fig = ax.figure
        with atomic_write(args.plot) as f:
            fig.savefig(f, format="png", dpi=tplot.DPI, metadata={"Title": ax.get_title(), "Axes": tplot.describe(ax)})
    report.note(f"drew {kind} to {args.plot} in {_since(start)}")


def _itemsets(sub: Sub, args: argparse.Namespace, report: _Report) -> None:
    tx = _read(sub, args, report)
    args.exclude = _labels(tx, args.exclude)
    sets = _mine(sub, args, tx, report)
    _write(args, _ordered(sets, args.by, args.top), "itemsets", report)


def _labels(tx: Any, texts: Any) -> Any:
    """Labels typed on the command line as the file's own (numbers where the file's labels
    are numbers); None stays None."""
    if texts is None:
        return None
    own = {str(x): x for x in tx.items}
    return [own.get(t, t) for t in texts]


def _rules(sub: Sub, args: argparse.Namespace, report: _Report) -> None:
    from .decisions import BOUNDED_MEASURES, top_rules

    tx = _read(sub, args, report)
    args.exclude = _labels(tx, args.exclude)
    find = _uses(sub, "association_rules")
    if args.alpha is not None and args.test is None:
        raise InvalidParameterError(Name("alpha"), " filters by the p-values of ", Name("test"), "; give both.")
    # --top K: the K best rules by --by, ties included, from the search that needs no
    # support: over all rules when no threshold was typed (for the measures whose value
    # bounds the support), else over the rules at the threshold.
    typed = args.typed & {"min_support", "min_count"}
    by = args.by or "lift"
    if args.top is not None and (typed or by in BOUNDED_MEASURES):
        if args.min_lift is not None:
            raise InvalidParameterError(
                Name("min_lift"), " does not combine with ", Name("top"), "; rank by ", Name("by"), " instead."
            )
        start = _clock()
        min_count = None
        if typed:
            min_count = args.min_count or min_count_from_support(args.min_support, tx.n_transactions)
        with report.running("finding the top rules"):
            rules = top_rules(
                tx, args.top, by, min_confidence=args.min_confidence, min_count=min_count, max_len=args.max_len,
                max_consequent_len=args.max_consequent_len, exclude=args.exclude,
            )  # fmt: skip
        if args.min_improvement is not None:
            from .measures import add_measures

            report.note("--min-improvement with --top: improvement counted against the rules' own itemsets")
            sets = _sets_under(tx, rules, args)
            rules = add_measures(rules, "improvement", itemsets=sets)
            rules = rules[rules["improvement"] > args.min_improvement].reset_index(drop=True)
        report.note(f"found the {len(rules)} best rules by {by} in {_since(start)}")
    else:
        sets = _mine(sub, args, tx, report)
        start = _clock()
        with report.running("finding the rules"):
            rules = find.func(sets, **find.kwargs(args))
        report.note(f"found {len(rules)} rules in {_since(start)}")
        if rules.empty:
            report.say(_no_rules(find.func, sets, args))
        rules = _ordered(rules, None, args.top)
    if args.test is not None:
        test = _uses(sub, "add_significance")
        rules = test.func(rules, **test.kwargs(args))
        alpha = 0.05 if args.alpha is None else args.alpha
        rules = rules[rules["p_adjusted"] <= alpha].reset_index(drop=True)
        report.note(f"{len(rules)} rules with adjusted p-value at most {alpha:g}")
    _plot(args, rules, args.plot_kind, report)
    _write(args, rules, "rules", report)


def _sets_under(tx: Any, rules: Any, args: argparse.Namespace) -> Any:
    """Every itemset at the least count among the rules: the counts improvement compares
    a rule with (every sub-rule's itemset is at least as frequent)."""
    from .mining import frequent_itemsets

    least = int(rules["count"].min()) if len(rules) else 1
    return frequent_itemsets(tx, min_count=least, max_len=args.max_len, exclude=args.exclude)


def _no_rules(find: Callable[..., Any], sets: Any, args: argparse.Namespace) -> str:
    """Says why a run found no rules: no itemset to split, or the best confidence there is."""
    if not (sets["length"] >= 2).any():
        return "no rules at this support: no two items are bought together often enough"
    # The most confident rule has one item on the right: moving an item to the left
    # shrinks the antecedent's support and so raises the confidence.
    from .io import format_table

    top = find(sets, min_confidence=0.0, max_consequent_len=1, by="confidence").head(1)
    best = top.iloc[0]
    # the rule as the text output writes it, without its row number
    rule = format_table(top, n=1, measures=[]).splitlines()[1].split("] ", 1)[1].strip()
    return (
        f"no rules at this support and confidence; the most confident rule has confidence "
        f"{best['confidence']:.4g} (lift {best['lift']:.4g}): {rule}"
    )


def _pairs(sub: Sub, args: argparse.Namespace, report: _Report) -> None:
    tx = _read(sub, args, report)
    count = _uses(sub, "pair_metrics")
    start = _clock()
    with report.running("counting the pairs"):
        pairs = count.func(tx, **count.kwargs(args))
    report.note(f"computed {len(pairs)} pairs in {_since(start)}")
    pairs = _ordered(pairs, args.by, None)
    _plot(args, pairs, "heatmap", report)
    _write(args, pairs.head(args.top) if args.top else pairs, "pairs", report)


def _summary(sub: Sub, args: argparse.Namespace, report: _Report) -> None:
    tx = _read(sub, args, report)
    print(tx.summary(**_uses(sub, "summary").kwargs(args)))


# ---- failures ----------------------------------------------------------------------------------


# What helps when memory runs out in each stage: the flags that shrink what it builds.
_MEMORY_HELP: dict[str, list[Part]] = {
    "reading": ["the transactions do not fit in memory"],
    "mining the itemsets": ["raise ", Name("min_support"), " or set ", Name("max_len")],
    "finding the rules": ["raise ", Name("min_confidence"), " or set ", Name("max_consequent_len")],
    "counting the pairs": ["raise ", Name("min_support")],
    "writing": ["write fewer rows with ", Name("top")],
    "drawing": ["draw fewer rows with ", Name("top")],
}


def _memory_message(e: MemoryError, stage: str, voice: Voice) -> str:
    detail = str(e).strip()
    text = f"out of memory while {stage or 'starting'}"
    if detail:
        text += f": {detail}"
    help = _MEMORY_HELP.get(stage)
    return text + (f" ({voice.render(help, '')})" if help else "")


def _one_line(e: BaseException) -> str:
    text = str(e).strip()
    if isinstance(e, KeyError) and len(e.args) == 1:
        text = str(e.args[0])
    return text.splitlines()[0] if text else type(e).__name__


def _prepare_plot(args: argparse.Namespace) -> None:
    """Before the work, not after it: a missing extra or an unwritable name is found in a second."""
    if getattr(args, "plot", None) is None:
        return
    _check_writable(args.plot)
    wanted = ["matplotlib"] + (["networkx"] if getattr(args, "plot_kind", None) == "graph" else [])
    for module in wanted:
        try:
            importlib.import_module(module)
        except ImportError:
            raise CLIError(f"--plot needs {module}: pip install 'tallisk[plot]'") from None


def _check_writable(path: str) -> None:
    """Fail before the work rather than after it when the output cannot be placed."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CLIError(f"cannot write {path}: no directory {directory}")
    if os.path.isdir(path):
        raise CLIError(f"cannot write {path}: it is a directory")
    if not os.access(directory, os.W_OK):
        raise CLIError(f"cannot write {path}: permission denied")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments (default: ``sys.argv[1:]``).

    Returns
    -------
    int
        The exit status (the console script exits with it): 0 done, 1 the run failed,
        2 usage error, 128 + N when stopped by signal N. argparse's own usage errors and
        ``--help`` leave through ``SystemExit`` with 2 and 0.
    """
    texts: dict[str, str] = {}
    parser = build_parser(texts)
    args = parser.parse_args(argv)
    args.typed = frozenset(texts)  # the flags given values (not left to their defaults)
    sub = subcommands()[args.command]
    voice = _voice(sub, texts)
    try:
        _check(sub, args)
    except InvalidParameterError as e:
        return _usage_error(args.command, e.message(voice))
    if args.threads is not None:
        # The engine's own count, and the variable the pair table's module sizes its
        # pool from at its first parallel call, which comes later in this process.
        from ._threads import set_num_threads

        set_num_threads(args.threads)
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    report = _Report(args.quiet, args.verbose)
    start = _clock()
    from .io import SignalExit, raise_on_signals

    try:
        # SIGTERM and SIGHUP raise while the run lasts, as Ctrl-C does, so a file being
        # written is removed on the way out.
        with raise_on_signals():
            if getattr(args, "output", None) not in (None, "-"):
                _check_writable(args.output)
            _prepare_plot(args)
            sub.run(sub, args, report)
    except KeyboardInterrupt:
        report.say("interrupted")
        return 130
    except SignalExit as e:
        report.say(str(e))
        return 128 + e.signum
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`): not an error of ours.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return 0
    except InvalidParameterError as e:
        return _usage_error(args.command, e.message(voice))
    except MemoryError as e:
        report.say(f"error: {_memory_message(e, report.stage, voice)}")
        return 1
    except CLIError as e:
        report.say(f"error: {voice.render(e.parts, '')}")
        return 1
    except (ValueError, TypeError, KeyError, OSError, ImportError) as e:
        msg = _in_flags(e, voice)
        if isinstance(e, OSError) and e.filename and e.strerror:
            msg = f"{e.filename}: {e.strerror}"
        if isinstance(e, ImportError) and e.name and "pip install" not in msg:
            msg = f"{msg} (install it: pip install 'tallisk[all]')"
        report.say(f"error: {msg}")
        _traceback(args.verbose)
        return 1
    except Exception as e:  # noqa: BLE001 - the command's promise is one line, not a traceback
        report.say(f"error: unexpected {type(e).__name__}: {_one_line(e)} (run with -v for details)")
        _traceback(args.verbose)
        return 1
    report.note(f"done in {_since(start)}")
    return 0


def _in_flags(e: BaseException, voice: Voice) -> str:
    """The error's line, with the reader's advice (``format='long'``) in flags
    (``--input-format long``): a file-layer error names the parameter that would fix it."""
    text = _one_line(e)
    param = getattr(e, "parameter", None)
    if isinstance(param, str):
        flag = voice.flag(param)
        setting = re.compile(rf"\b{re.escape(param)}=(['\"]?)([^'\"\s,;()]*)\1")
        text = setting.sub(lambda m: f"{flag} {m.group(2)}", text)
    return text


def _usage_error(command: str, message: str) -> int:
    print(f"{PROG} {command}: error: {message} (see {PROG} {command} --help)", file=sys.stderr)
    return 2


def _traceback(verbose: bool) -> None:
    if verbose:
        import traceback

        traceback.print_exc()


if __name__ == "__main__":
    sys.exit(main())
